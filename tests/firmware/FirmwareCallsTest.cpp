// What the platform application records of the drivers' calls in real firmware: the emulator's
// call records, member by member, for every call the application can see (its stand-in
// protocols and the boot and runtime services it wraps; CPUID is an instruction, unseen).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "BothWorlds.h"
#include "FirmwareBoot.h"
#include "Tests.h"

namespace {

using test::Describe;

TEST(FirmwareCallsTest, EveryCallTheApplicationSeesIsTheEmulatorsRecord) {
  // The Ice Lake board with the KVRN module unusable: the KVRN slot record is removed, so the
  // records hold an SMBIOS handle the firmware chose.
  emu::BoardDescription board = emu::DefaultBoard();
  std::ifstream file(std::string(FIRMWARE_SCENARIOS) + "/icelake-riser6.board");
  std::string text((std::istreambuf_iterator<char>(file)), {}), error;
  ASSERT_TRUE(emu::ParseBoardText(text, board, error)) << error;
  fw::FirmwareBoot boot = fw::BootInFirmware(board);
  ASSERT_TRUE(boot.ok) << boot.error << "\n" << boot.run.debugLog;
  EXPECT_EQ(boot.callsLost, 0u);
  ASSERT_EQ(boot.images.size(), 2u);
  EXPECT_EQ(boot.images[0].name, "BoardSlotService");
  EXPECT_EQ(boot.images[1].name, "MenuPruner");

  // The emulator, on the board as the firmware made it (its buses and SMBIOS handles).
  emu::BootResult emulated = emu::RunBoot(boot.seen);
  const std::vector<emu::CallRecord> &seen = boot.result.calls;
  test::ExpectSameCalls(seen, emulated.calls);

  // Written out: what the records say where a slip would show.
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(Describe(seen[0]),
            "BS.AllocatePool by BoardSlotService during BoardSlotServiceEntryPoint () args 4 "
            "8192 -> 0");
  auto find = [&seen](const std::string &member, const std::string &during) {
    for (const emu::CallRecord &call : seen) {
      if (call.member == member && call.during == during) return call;
    }
    return emu::CallRecord{};
  };
  EXPECT_EQ(find("BS.RegisterProtocolNotify", "BoardSlotServiceEntryPoint").what,
            "F42A009D-977F-4F08-9440-BCA5A3BED9AF SmbiosSlotNotify");
  EXPECT_EQ(find("RT.GetVariable", "RootPortAdjustNotify").what, "Setup");
  EXPECT_EQ(find("Smbios.RemoveRecord", "SmbiosSlotNotify").image, "BoardSlotService");
  // ReadyToBootNotify ends in its call to CloseEvent (a tail call): it is still the driver's.
  EXPECT_EQ(find("BS.CloseEvent", "ReadyToBootNotify").image, "BoardSlotService");
  const emu::CallRecord read = find("RegisterAccess.GetRegisterAddress", "CollectNicMacAddresses");
  ASSERT_EQ(read.args.size(), 4u);
  EXPECT_EQ(read.result, 0x80000000 + read.args[0]);
  EXPECT_EQ(test::CountOf(seen, "CPU.Cpuid"), 0u);
  for (const emu::CallRecord &call : seen) EXPECT_NE(call.during, "") << Describe(call);
}

TEST(FirmwareCallsTest, CallLinesThatAreNotRecordsAreRefused) {
  const std::vector<fw::DriverImage> images = {{"BoardSlotService", 0x1000000, ""}};
  emu::CallRecord call;
  ASSERT_TRUE(fw::ReadCallRecord(
      "call RT.GetVariable BoardSlotService 0x0 0x0 1 0xEEC variable Setup Mode", images, call));
  EXPECT_EQ(call.what, "Setup Mode");
  EXPECT_EQ(call.args, std::vector<uint64_t>{0xEEC});
  EXPECT_EQ(call.during, "");  // no function of a driver there
  for (const char *line : {
           "call BS.FreePool BoardSlotService 0x0 0x0",                    // no argument count
           "call BS.FreePool BoardSlotService 0x0 0x0 2 0x1",              // fewer arguments
           "call BS.FreePool BoardSlotService 0x0 0x0 5 1 2 3 4 5",        // more than four
           "call BS.LocateProtocol BoardSlotService 0x0 0x0 0 guid 1234",  // not a GUID
           "call BS.LocateProtocol BoardSlotService 0x0 0x0 0 frob 0x1",   // unknown part
           "call BS.LocateProtocol BoardSlotService 0x0 0x0 0 notify",     // part without value
           "calls BS.FreePool BoardSlotService 0x0 0x0 0",
           "call BS.FreePool BoardSlotService zero 0x0 0",
       }) {
    EXPECT_FALSE(fw::ReadCallRecord(line, images, call)) << line;
  }
}

}  // namespace
