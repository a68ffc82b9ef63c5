#include "BothWorlds.h"

#include <gtest/gtest.h>

namespace test {

std::string Describe(const emu::CallRecord &call) {
  std::string text =
      call.member + " by " + call.image + " during " + call.during + " (" + call.what + ") args";
  for (uint64_t arg : call.args) text += " " + std::to_string(arg);
  return text + " -> " + std::to_string(call.result);
}

namespace {

std::vector<std::string> Lines(const std::vector<emu::DebugLine> &lines) {
  std::vector<std::string> out;
  for (const emu::DebugLine &line : lines) {
    out.push_back(line.driver + " " + (line.hasLevel ? emu::DebugLevelName(line.level) : "-") +
                  " " + line.callerId + " " + (line.unpacked ? line.text : "! " + line.problem));
  }
  return out;
}

}  // namespace

bool BootDebugImagesBothWays(const emu::BoardDescription &board, const DebugImages &images,
                             BothWorlds &boots) {
  fw::RunRequest request;
  std::string why;
  EXPECT_TRUE(fw::StatusCodeVolume(request.statusCodeVolume, why)) << why;
  if (!why.empty()) return false;
  request.driverVolume = images.volume;
  request.symbolDir = images.symbolDir;
  request.debugImages = true;
  boots.firmware = fw::BootInFirmware(board, request);
  EXPECT_TRUE(boots.firmware.ok) << boots.firmware.error << "\n" << boots.firmware.run.debugLog;
  if (!boots.firmware.ok) return false;
  EXPECT_EQ(boots.firmware.callsLost, 0u);
  emu::BootPlan plan;
  plan.drivers = images.drivers;
  plan.images = emu::ImageBuild::kDebug;
  plan.imageDir = images.hostDir;
  boots.emulated = emu::RunBoot(boots.firmware.seen, plan);
  return true;
}

void ExpectSameCalls(const std::vector<emu::CallRecord> &firmware,
                     const std::vector<emu::CallRecord> &emulated) {
  std::vector<emu::CallRecord> expected;
  for (const emu::CallRecord &call : emulated) {
    if (call.member != "CPU.Cpuid") expected.push_back(call);
  }
  EXPECT_EQ(firmware.size(), expected.size());
  for (size_t i = 0; i < firmware.size() && i < expected.size(); ++i) {
    SCOPED_TRACE("call " + std::to_string(i) + ": " + Describe(firmware[i]));
    EXPECT_EQ(Describe(firmware[i]), Describe(expected[i]));
  }
}

void ExpectSameDebugLog(const BothWorlds &boots) {
  const std::vector<emu::DebugLine> &printed = boots.firmware.result.debugLines;
  size_t reports = 0;
  for (const emu::CallRecord &call : boots.firmware.result.calls) {
    reports += call.member == "StatusCode.ReportStatusCode" && call.args.size() == 4;
  }
  EXPECT_EQ(printed.size(), reports) << boots.firmware.run.serialLog;
  const std::vector<std::string> firmware = Lines(printed),
                                 emulated = Lines(boots.emulated.debugLines);
  EXPECT_EQ(firmware.size(), emulated.size());
  for (size_t i = 0; i < firmware.size() && i < emulated.size(); ++i) {
    EXPECT_EQ(firmware[i], emulated[i]) << "line " << i + 1;
  }
  // What goes onto the serial port, line for line, as a reader of the log sees it.
  EXPECT_EQ(emu::DebugLogLines(printed), emu::DebugLogLines(boots.emulated.debugLines));
}

}  // namespace test
