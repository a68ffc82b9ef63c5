// DEBUG images in real firmware: EDK II's own status-code handler, built from Debian's edk2
// source with serial output on, prints the lines the images report, and they are the emulator's.
#include <gtest/gtest.h>

#include <cstdio>

#include "BothWorlds.h"

namespace {

// A driver that reports a line with every directive the drivers use, at each level, from its
// entry point and a notify function, in BoardSlotService's place.
TEST(FirmwareDebugLogTest, EveryDirectivePrintsInOvmfAsInTheEmulator) {
  test::DebugImages images;
  images.volume = std::string(REPORTING_DRIVER_DIR) + "/BoardDrivers.fv";
  images.symbolDir = images.hostDir = REPORTING_DRIVER_DIR;
  images.drivers = {"BoardSlotService"};
  test::BothWorlds boots;
  ASSERT_TRUE(test::BootDebugImagesBothWays(emu::DefaultBoard(), images, boots));
  EXPECT_TRUE(boots.emulated.violations.empty());
  ASSERT_GE(boots.firmware.result.debugLines.size(), 9u) << boots.firmware.run.serialLog;
  std::printf("EDK II's status-code handler printed:\n");
  for (const std::string &line : emu::DebugLogLines(boots.firmware.result.debugLines)) {
    std::printf("  %s\n", line.c_str());
  }
  test::ExpectSameDebugLog(boots);
  test::ExpectSameCalls(boots.firmware.result.calls, boots.emulated.calls);
}

// The drivers' own DEBUG build on the default board: the package boots in OVMF beside EDK II's
// handler, and the calls and the log are the emulator's.
TEST(FirmwareDebugLogTest, TheDriversDebugImagesBootInOvmfAsInTheEmulator) {
  test::BothWorlds boots;
  ASSERT_TRUE(test::BootDebugImagesBothWays(emu::DefaultBoard(), test::DebugImages{}, boots));
  EXPECT_TRUE(boots.emulated.violations.empty());
  ASSERT_EQ(boots.firmware.images.size(), 2u);
  test::ExpectSameCalls(boots.firmware.result.calls, boots.emulated.calls);
  test::ExpectSameDebugLog(boots);
}

}  // namespace
