// The shipped package in real firmware (OVMF under QEMU): the dependency holds the drivers back
// until the board's protocols exist, then the DXE dispatcher starts them.
#include <gtest/gtest.h>

#include "FirmwareRun.h"
#include "ScenarioFile.h"

namespace {

TEST(FirmwareDependencyTest, DriversWaitForBothProtocolsThenStart) {
  std::vector<uint8_t> scenario;
  std::string why;
  ASSERT_TRUE(fw::BuildScenario(emu::DefaultBoard(), scenario, why)) << why;
  fw::RunRequest request;
  request.files["scenario.bin"] = scenario;
  fw::RunResult run = fw::RunInOvmf(request);
  ASSERT_TRUE(run.ran) << run.error << "\n" << run.debugLog;
  EXPECT_EQ(run.exitCode, 0) << run.debugLog;
  EXPECT_NE(run.debugLog.find("withdrew firmware instance of 0x11B34006"), std::string::npos);
  EXPECT_NE(run.debugLog.find("process-firmware-volume 0x0\n"), std::string::npos);
  // EFI_NOT_FOUND: nothing could be dispatched.
  EXPECT_NE(run.debugLog.find("dispatch-without-dependency 0x800000000000000E started 0"),
            std::string::npos)
      << run.debugLog;
  EXPECT_NE(run.debugLog.find("dispatch-with-dependency 0x0 started 1"), std::string::npos)
      << run.debugLog;
}

}  // namespace
