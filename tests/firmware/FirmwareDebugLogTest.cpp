// DEBUG images in real firmware: EDK II's own status-code handler, built from Debian's edk2
// source with serial output on, prints the lines the images report, and they are the emulator's.
#include <gtest/gtest.h>

#include <cstdio>

#include "BothWorlds.h"
#include "PciAccess.h"
#include "StatusCode.h"

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

// A board where the DEBUG images have failures to report: a Setup variable past the drivers'
// buffer, a NIC function without memory, a riser type without a row and an unusable KVRN module,
// on a processor without a root-port table. EDK II prints the same lines the emulator shows.
TEST(FirmwareDebugLogTest, TheDriversFailuresPrintInOvmfAsInTheEmulator) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetSetupByte(3999, 0);
  board.cpuidEax = 0x406F1;
  board.slots[SLOT_INDEX_ONBOARD_NIC] = PciBdf(0x17, 0, 0);  // a BDF, whatever the processor
  board.pci.at(PciBdf(0x18, 0, 1)).memory = 0;
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, 9);
  board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, 1);
  test::BothWorlds boots;
  ASSERT_TRUE(test::BootDebugImagesBothWays(board, test::DebugImages{}, boots));
  size_t warnings = 0;
  for (const emu::DebugLine &line : boots.emulated.debugLines) warnings += line.level == DEBUG_WARN;
  EXPECT_GE(warnings, 3u);  // Setup twice, the NIC function
  test::ExpectSameCalls(boots.firmware.result.calls, boots.emulated.calls);
  test::ExpectSameDebugLog(boots);
}

}  // namespace
