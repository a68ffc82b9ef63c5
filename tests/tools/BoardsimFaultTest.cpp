// Faults on boardsim's command line and in its board files: a mistake is an error that names
// the nearest valid words, a fault the dispatch dependency rules out is refused, and the report
// says what became of each fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "Boot.h"
#include "Faults.h"
#include "Tests.h"

namespace {

using test::Boardsim;
using test::CommandRun;
using test::HasRow;

TEST(BoardsimFaultTest, MistypedFaultsAreErrorsThatNameTheNearestMembers) {
  test::ExpectRefusedInOneLine(Boardsim("--fault BS.Foo=1=1"),
                               "no platform member 'BS.Foo' can be failed; nearest: BS.FreePool");
  test::ExpectRefusedInOneLine(Boardsim("--fault bs.createevent=2=0x8000000000000009"),
                               "(names are case-sensitive); did you mean BS.CreateEvent?");
  test::ExpectRefusedInOneLine(Boardsim("--fault BS.CreateEvent=0=0x8000000000000009"),
                               "occurrence 0: calls count from 1; write * to fail every call");
  test::ExpectRefusedInOneLine(
      Boardsim("--fault BS.CreateEvent=1=0"),
      "BS.CreateEvent returns a status, and 0x0 (EFI_SUCCESS) is not an error");
  test::ExpectRefusedInOneLine(Boardsim("--fault BS.CreateEvent=1"),
                               "a fault is MEMBER=OCCURRENCE=VALUE");
  test::ExpectRefusedInOneLine(Boardsim("--fault BoardInfo.QueryBoardByte=1=0x1FF"),
                               "0 to 0xFF, not 0x1FF");
  // The same rules in a board file, which names the line.
  test::TempFolder dir;
  std::ofstream(dir / "faults.txt") << "riser-type 6\nfault bs.createevent 2 EFI_DEVICE_ERROR\n";
  test::ExpectRefusedInOneLine(
      Boardsim("--board " + dir / "faults.txt"),
      "line 2: fault bs.createevent 2 EFI_DEVICE_ERROR: no platform member");
}

// The boot's first four lookups are of the protocols the drivers are dispatched after; the
// drivers use them unchecked, so failing them would only crash the emulator.
TEST(BoardsimFaultTest, FaultsOnLookupsTheDependencyGuaranteesAreRefused) {
  const char *protocols[] = {"board information protocol", "register access protocol"};
  for (int occurrence = 1; occurrence <= 4; ++occurrence) {
    SCOPED_TRACE(occurrence);
    test::ExpectRefusedInOneLine(
        Boardsim("--fault BS.LocateProtocol=" + std::to_string(occurrence) + "=0x800000000000000E"),
        std::string("lookup of the ") + protocols[(occurrence - 1) % 2] +
            ", which the dispatch dependency guarantees");
  }
  // Every lookup: the dependency's are left alone, the others fail.
  CommandRun run = Boardsim("--fault BS.LocateProtocol=*=EFI_NOT_FOUND");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(HasRow(run.out,
                     "refused on call #2, #4, #22, #24: a lookup the dispatch "
                     "dependency guarantees, never failed"))
      << run.out;
}

TEST(BoardsimFaultTest, TheReportSaysWhichFaultsFiredAndWhichNeverMatched) {
  CommandRun run = Boardsim(
      "--fault BS.RegisterProtocolNotify=2=EFI_OUT_OF_RESOURCES "
      "--fault BS.CreateEvent=99999=EFI_OUT_OF_RESOURCES --fault "
      "'SetupEdit.HideItem=*=0x8000000000000007'");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(HasRow(run.out,
                     "BS.RegisterProtocolNotify=2=EFI_OUT_OF_RESOURCES fired on call #20 "
                     "(BoardSlotService, in BoardSlotServiceEntryPoint)"))
      << run.out;
  EXPECT_TRUE(HasRow(run.out,
                     "BS.CreateEvent=99999=EFI_OUT_OF_RESOURCES never matched a call: "
                     "the boot called BS.CreateEvent 4 times"));
  EXPECT_TRUE(HasRow(run.out,
                     "boardsim: warning: fault BS.CreateEvent=99999=EFI_OUT_OF_RESOURCES "
                     "never matched a call: the boot called BS.CreateEvent 4 times"));
  EXPECT_TRUE(HasRow(run.out, "SetupEdit.HideItem=*=EFI_DEVICE_ERROR fired on call"));
}

// --list-faults is the emulator's own table: every member it lists is taken by --fault, and
// every member the table has is listed.
TEST(BoardsimFaultTest, ListFaultsShowsEveryMemberTheEmulatorCanFail) {
  CommandRun run = Boardsim("--list-faults");
  ASSERT_EQ(run.status, 0) << run.out;
  std::string everyMember;
  for (const emu::PlatformMember &member : emu::PlatformMembers()) {
    SCOPED_TRACE(member.name);
    if (member.result == emu::MemberResult::kNothing) {
      EXPECT_TRUE(HasRow(run.out, std::string(member.name) + ": it returns nothing"));
      continue;
    }
    EXPECT_TRUE(
        HasRow(run.out, std::string(member.name) +
                            (member.result == emu::MemberResult::kStatus ? " status" : " data")));
    std::string value = member.result == emu::MemberResult::kStatus ? "EFI_DEVICE_ERROR" : "0";
    everyMember += " --fault " + std::string(member.name) + "=999=" + value;
  }
  CommandRun faulted = Boardsim(everyMember);
  EXPECT_EQ(faulted.status, 0) << faulted.out.substr(0, 300);
  EXPECT_TRUE(HasRow(run.out,
                     "BS.LocateProtocol of the board information protocol: the dispatch "
                     "dependency guarantees it"));
}

TEST(BoardsimFaultTest, TheTraceShowsEveryCallDecodedInOrder) {
  CommandRun run = Boardsim("--trace --fault BS.RegisterProtocolNotify=2=EFI_OUT_OF_RESOURCES");
  ASSERT_EQ(run.status, 0) << run.out;
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults.push_back({"BS.RegisterProtocolNotify", 2, EFI_OUT_OF_RESOURCES});
  emu::BootResult boot = emu::RunBoot(board);
  EXPECT_TRUE(HasRow(run.out, "Calls the drivers made to the platform, in order (" +
                                  std::to_string(boot.calls.size()) + ")"))
      << run.out;
  EXPECT_TRUE(HasRow(run.out, "# driver function member concerns arguments result"));
  for (const char *row : {
           "1 BoardSlotService BoardSlotServiceEntryPoint BS.AllocatePool - EfiBootServicesData, "
           "8192 bytes EFI_SUCCESS",
           "2 BoardSlotService BoardSlotServiceEntryPoint BS.LocateProtocol board information "
           "protocol - EFI_SUCCESS",
           "5 BoardSlotService BoardSlotServiceEntryPoint BoardInfo.QueryBoardByte board byte 191 "
           "(KVRN configuration) - 0x8E",
           "9 BoardSlotService BoardSlotServiceEntryPoint BoardInfo.SetSlotLocation slot 172 code "
           "0x22B000 EFI_SUCCESS",
           "16 BoardSlotService BoardSlotServiceEntryPoint BS.CreateEventEx ReadyToBoot event "
           "group, notify ReadyToBootNotify EVT_NOTIFY_SIGNAL, TPL_CALLBACK EFI_SUCCESS",
           "20 BoardSlotService BoardSlotServiceEntryPoint BS.RegisterProtocolNotify root-port "
           "adjustment trigger protocol -> RootPortAdjustNotify - EFI_OUT_OF_RESOURCES (fault)",
           "MenuPruner RiserMenuEditsNotify RT.GetVariable variable \"Setup\" buffer of 3820 bytes",
           "MenuPruner RiserMenuEditsNotify SetupEdit.HideItem \"Setup\" 143 - EFI_SUCCESS",
       }) {
    EXPECT_TRUE(HasRow(run.out, row)) << row;
  }
  // One row per call, in the boot's order.
  size_t rows = 0;
  for (size_t i = 0; i < boot.calls.size(); ++i) {
    rows += HasRow(run.out, std::to_string(i + 1) + " " +
                                (boot.calls[i].image.empty() ? "-" : boot.calls[i].image) + " " +
                                boot.calls[i].during + " " + boot.calls[i].member);
  }
  EXPECT_EQ(rows, boot.calls.size());
}

// A driver that dereferences a failed lookup's result crashes the process it runs in; boardsim
// says which driver function crashed and what the driver last asked of the platform.
TEST(BoardsimFaultTest, ADriverCrashIsReportedWithItsFunctionAndLastCall) {
  CommandRun run =
      test::Run(std::string("BOARDSIM_IMAGE_DIR=") + CRASHING_IMAGE_DIR + " " + BOARDSIM_PATH);
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
  EXPECT_TRUE(HasRow(run.out,
                     "boardsim: BoardSlotService crashed in FollowUncheckedLookup (called "
                     "from BoardSlotServiceEntryPoint); the last call: #1 "
                     "BS.LocateProtocol 0B5E55ED-1234-4321-8000-000000000001 -> "
                     "EFI_NOT_FOUND in BoardSlotServiceEntryPoint (SIGSEGV at address"))
      << run.out;
}

}  // namespace
