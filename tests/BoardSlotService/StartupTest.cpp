// BoardSlotService's start: what it registers, how each registration behaves later, and what a
// failed start leaves behind (nothing).
#include <gtest/gtest.h>

#include "BoardHookProtocol.h"
#include "BoardInfoProtocol.h"
#include "RegisterAccessProtocol.h"
#include "Tests.h"
#include "TriggerProtocols.h"

namespace {

UINT8 gTrigger;

class StartupTest : public testing::Test {
 protected:
  emu::Platform &Start(emu::BoardDescription board = emu::DefaultBoard()) {
    platform_.reset();
    platform_ = std::make_unique<emu::Platform>(std::move(board));
    status_ = platform_->StartImage("BoardSlotService");
    return *platform_;
  }
  size_t DriverCalls(const std::string &member) {
    return test::CountOf(test::CallsBy(platform_->Calls(), "BoardSlotService"), member);
  }
  std::unique_ptr<emu::Platform> platform_;
  EFI_STATUS status_ = EFI_SUCCESS;
};

TEST_F(StartupTest, StartRegistersThreeEventsAndPublishesTheHookProtocol) {
  emu::Platform &p = Start();
  ASSERT_EQ(status_, EFI_SUCCESS);
  EXPECT_TRUE(p.IsResident("BoardSlotService"));
  EXPECT_EQ(p.LiveEvents(), 3u);
  EXPECT_EQ(p.LiveRegistrations(), 2u);
  EXPECT_EQ(p.CountProtocol(gBoardHookProtocolGuid), 1u);
  for (const auto &args : test::ArgsOf(p.Calls(), "BS.CreateEvent")) {
    EXPECT_EQ(args, (std::vector<uint64_t>{EVT_NOTIFY_SIGNAL, TPL_CALLBACK}));
  }
  EXPECT_EQ(test::ArgsOf(p.Calls(), "BS.CreateEventEx"),
            (std::vector<std::vector<uint64_t>>{{EVT_NOTIFY_SIGNAL, TPL_CALLBACK}}));
}

// The frame first, then the KVRN port placement, the hook protocol, the ReadyToBoot event and
// the two registrations: a trigger must find its event armed, and the hook is there before
// anything can fire.
TEST_F(StartupTest, StartTakesItsStepsInOrder) {
  emu::Platform &p = Start();
  ASSERT_EQ(status_, EFI_SUCCESS);
  auto guid = [](const EFI_GUID &g) { return " " + emu::GuidToString(g); };
  EXPECT_EQ(
      test::EntryPointSteps(p.Calls(), "BoardSlotService"),
      (std::vector<std::string>{
          "BS.AllocatePool",
          "BS.LocateProtocol" + guid(gBoardInfoProtocolGuid),
          "BoardInfo.InitNotify",
          "BS.LocateProtocol" + guid(gRegisterAccessProtocolGuid),
          "slot walk",
          "BS.InstallProtocolInterface" + guid(gBoardHookProtocolGuid),
          "BS.CreateEventEx" + guid(gEfiEventReadyToBootGuid) + " ReadyToBootNotify",
          "BS.CreateEvent SmbiosSlotNotify",
          "BS.RegisterProtocolNotify" + guid(gSlotRecordsTriggerProtocolGuid) + " SmbiosSlotNotify",
          "BS.CreateEvent RootPortAdjustNotify",
          "BS.RegisterProtocolNotify" + guid(gRootPortAdjustTriggerProtocolGuid) +
              " RootPortAdjustNotify",
      }));
}

TEST_F(StartupTest, HookProtocolAnswersFixedValuesWhateverItIsPassed) {
  emu::Platform &p = Start();
  auto *hook = static_cast<BOARD_HOOK_PROTOCOL *>(p.FindProtocol(gBoardHookProtocolGuid));
  ASSERT_NE(hook, nullptr);
  for (UINTN arg : {UINTN{0}, UINTN{1}, ~UINTN{0}}) {
    EXPECT_EQ(hook->DeclineQuery(arg, arg, arg, arg), FALSE);
    EXPECT_EQ(hook->AffirmQuery(arg, 0, arg, 0), TRUE);
    EXPECT_EQ(hook->AcknowledgeCall(0, arg, 0, arg), EFI_SUCCESS);
  }
  EXPECT_EQ(hook->Member2, nullptr);
  for (VOID *member : hook->Member6To9) EXPECT_EQ(member, nullptr);
}

TEST_F(StartupTest, ReadyToBootClosesItsOwnEventOnce) {
  emu::Platform &p = Start();
  p.SignalEventGroup(gEfiEventReadyToBootGuid);
  EXPECT_EQ(p.LiveEvents(), 2u);
  EXPECT_EQ(DriverCalls("BS.CloseEvent"), 1u);
  p.SignalEventGroup(gEfiEventReadyToBootGuid);
  EXPECT_EQ(DriverCalls("BS.CloseEvent"), 1u);
}

TEST_F(StartupTest, SlotRecordsRunOnceButRootPortAdjustmentStaysArmed) {
  emu::Platform &p = Start();
  p.InstallProtocol(gSlotRecordsTriggerProtocolGuid, &gTrigger);
  p.InstallProtocol(gSlotRecordsTriggerProtocolGuid, &gTrigger);
  EXPECT_EQ(DriverCalls("BS.CloseEvent"), 1u);
  EXPECT_EQ(p.LiveRegistrations(), 1u);
  p.InstallProtocol(gRootPortAdjustTriggerProtocolGuid, &gTrigger);
  p.InstallProtocol(gRootPortAdjustTriggerProtocolGuid, &gTrigger);
  EXPECT_EQ(p.LiveRegistrations(), 1u);
  EXPECT_EQ(p.LiveEvents(), 2u);
}

TEST_F(StartupTest, TriggersInstalledBeforeTheStartDoNotFire) {
  emu::BoardDescription board = emu::DefaultBoard();
  platform_ = std::make_unique<emu::Platform>(board);
  platform_->InstallProtocol(gSlotRecordsTriggerProtocolGuid, &gTrigger);
  ASSERT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
  EXPECT_EQ(DriverCalls("BS.CloseEvent"), 0u);
  EXPECT_EQ(platform_->LiveEvents(), 3u);
}

// Steps whose failure start-up passes over: the driver still starts and stays armed.
TEST_F(StartupTest, EarlyFailuresArePassedOver) {
  for (const char *member : {"BS.InstallProtocolInterface", "BS.CreateEventEx"}) {
    SCOPED_TRACE(member);
    emu::BoardDescription board = emu::DefaultBoard();
    board.faults.push_back({member, 1, EFI_OUT_OF_RESOURCES});
    emu::Platform &p = Start(board);
    EXPECT_EQ(status_, EFI_SUCCESS);
    EXPECT_EQ(p.LiveRegistrations(), 2u);
  }
  {
    SCOPED_TRACE("first CreateEvent");
    emu::BoardDescription board = emu::DefaultBoard();
    board.faults.push_back({"BS.CreateEvent", 1, EFI_OUT_OF_RESOURCES});
    emu::Platform &p = Start(board);
    EXPECT_EQ(status_, EFI_SUCCESS);
    EXPECT_EQ(test::CountOf(p.Calls(), "BS.RegisterProtocolNotify"), 1u);
    // Without its event the slot records never run, but the adjustment is still armed.
    p.InstallProtocol(gSlotRecordsTriggerProtocolGuid, &gTrigger);
    EXPECT_EQ(DriverCalls("BS.CloseEvent"), 0u);
  }
  {
    // As the contract stands, the slot-records event stays open although nothing can signal
    // it: the records are never written.
    SCOPED_TRACE("first RegisterProtocolNotify");
    emu::BoardDescription board = emu::DefaultBoard();
    board.faults.push_back({"BS.RegisterProtocolNotify", 1, EFI_OUT_OF_RESOURCES});
    emu::Platform &p = Start(board);
    EXPECT_EQ(status_, EFI_SUCCESS);
    EXPECT_EQ(p.LiveEvents(), 3u);
    EXPECT_EQ(p.LiveRegistrations(), 1u);
    p.InstallProtocol(gSlotRecordsTriggerProtocolGuid, &gTrigger);
    EXPECT_EQ(DriverCalls("BS.CloseEvent"), 0u);
  }
}

// The last two steps decide the status. A failed start is unloaded by the DXE core, so it
// must leave no event, registration, protocol or pool block behind.
TEST_F(StartupTest, FailedStartReturnsTheErrorAndLeavesNothingBehind) {
  struct Case {
    const char *member;
    uint32_t occurrence;
    EFI_STATUS status;
  } cases[] = {
      {"BS.CreateEvent", 2, EFI_OUT_OF_RESOURCES},
      {"BS.RegisterProtocolNotify", 2, EFI_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.member);
    emu::BoardDescription board = emu::DefaultBoard();
    board.faults.push_back({c.member, c.occurrence, c.status});
    emu::Platform &p = Start(board);
    EXPECT_EQ(status_, c.status);
    EXPECT_FALSE(p.IsResident("BoardSlotService"));
    EXPECT_EQ(p.LiveEvents(), 0u);
    EXPECT_EQ(p.LiveRegistrations(), 0u);
    EXPECT_EQ(p.CountProtocol(gBoardHookProtocolGuid), 0u);
    EXPECT_EQ(p.LivePoolBlocks(), 0u);
    EXPECT_EQ(DriverCalls("BS.FreePool"), 1u);

    // Nothing of the unloaded driver runs when its triggers appear.
    size_t before = p.Calls().size();
    p.InstallProtocol(gSlotRecordsTriggerProtocolGuid, &gTrigger);
    p.InstallProtocol(gRootPortAdjustTriggerProtocolGuid, &gTrigger);
    p.SignalEventGroup(gEfiEventReadyToBootGuid);
    EXPECT_EQ(p.Calls().size(), before);
  }
}

TEST_F(StartupTest, FailedStartWithoutAPoolFreesNothing) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults.push_back({"BS.AllocatePool", 1, EFI_OUT_OF_RESOURCES});
  board.faults.push_back({"BS.CreateEvent", 2, EFI_OUT_OF_RESOURCES});
  emu::Platform &p = Start(board);
  EXPECT_EQ(status_, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(DriverCalls("BS.FreePool"), 0u);
  EXPECT_EQ(p.LivePoolBlocks(), 0u);
}

// A refused release of the scratch pool alone leaves nothing pointing into the image: the
// start fails all the same and the image goes, leaking the pool.
TEST_F(StartupTest, ARefusedPoolReleaseAloneStillFailsTheStart) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults = {{"BS.RegisterProtocolNotify", 2, EFI_OUT_OF_RESOURCES},
                  {"BS.FreePool", 1, EFI_INVALID_PARAMETER}};
  test::ExpectViolation leak("BoardSlotService failed to start and leaked 8192 bytes");
  emu::Platform &p = Start(board);
  EXPECT_EQ(status_, EFI_OUT_OF_RESOURCES);
  EXPECT_FALSE(p.IsResident("BoardSlotService"));
  EXPECT_EQ(p.LiveEvents(), 0u);
  EXPECT_EQ(p.CountProtocol(gBoardHookProtocolGuid), 0u);
}

// When the start fails and the DXE core refuses to withdraw something that points into the
// image, the image must stay: the start is abandoned with EFI_SUCCESS, the image keeps its
// scratch pool, the notify functions still registered do nothing, and a hook protocol that a
// consumer holds open keeps answering it. Nothing is left pointing into an unloaded image.
TEST(AbandonedStartTest, ARefusedWithdrawalKeepsTheImageAndIdlesItsNotifies) {
  constexpr EFI_STATUS kRefused = EFI_ACCESS_DENIED;
  const emu::Fault rootPortRegistration{"BS.RegisterProtocolNotify", 2, EFI_OUT_OF_RESOURCES};
  const emu::BootResult fine = emu::RunBoot(emu::DefaultBoard());
  struct Case {
    const char *what;
    std::vector<emu::Fault> faults;
    bool hookHeldOpen;
    bool hookStays;
  } cases[] = {
      {"hook held open by its consumer", {rootPortRegistration}, true, true},
      {"hook uninstall refused",
       {rootPortRegistration, {"BS.UninstallProtocolInterface", 1, kRefused}},
       false,
       true},
      {"root-port event not closed",
       {rootPortRegistration, {"BS.CloseEvent", 1, EFI_INVALID_PARAMETER}},
       false,
       false},
      {"slot-records event not closed",
       {rootPortRegistration, {"BS.CloseEvent", 2, EFI_INVALID_PARAMETER}},
       false,
       false},
      {"ReadyToBoot event not closed",
       {rootPortRegistration, {"BS.CloseEvent", 3, EFI_INVALID_PARAMETER}},
       false,
       false},
      {"root-port event not created, nothing withdrawn",
       {{"BS.CreateEvent", 2, EFI_OUT_OF_RESOURCES},
        {"BS.CloseEvent", 0, EFI_INVALID_PARAMETER},
        {"BS.UninstallProtocolInterface", 1, kRefused}},
       false,
       true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    emu::BoardDescription board = emu::DefaultBoard();
    board.faults = c.faults;
    if (c.hookHeldOpen) board.heldOpen.push_back(gBoardHookProtocolGuid);
    emu::BootResult result = emu::RunBoot(board);  // a violation fails the test
    EXPECT_TRUE(result.violations.empty());
    ASSERT_EQ(result.drivers.size(), 2u);
    EXPECT_EQ(result.drivers[0].status, EFI_SUCCESS);
    EXPECT_TRUE(result.drivers[0].resident);
    EXPECT_EQ(result.drivers[1].status, EFI_SUCCESS);
    // The ports were placed before the start failed; nothing after it runs.
    EXPECT_EQ(result.slotsAfter, fine.slotsAfter);
    EXPECT_TRUE(result.smbiosAfter == board.smbios);
    for (const emu::CallRecord &call : result.calls) {
      EXPECT_TRUE(call.during != "SmbiosSlotNotify" && call.during != "RootPortAdjustNotify")
          << call.during << " made " << call.member;
    }
    // A hook protocol that stayed answers as it would have.
    EXPECT_EQ(result.nicMacs.collected, c.hookStays);
    if (c.hookStays) {
      EXPECT_EQ(result.nicMacs.primary, fine.nicMacs.primary);
      EXPECT_EQ(result.nicMacs.secondary, fine.nicMacs.secondary);
    }
    for (const emu::PciWrite &write : result.pciWrites) {
      EXPECT_NE(write.offset, 0x15C) << "the root-port adjustment ran";
    }
    // The other driver is not disturbed.
    EXPECT_EQ(result.menusAfter.edits, fine.menusAfter.edits);
  }
}

// boardsim finds nothing left behind in the cases a user met.
TEST(AbandonedStartTest, BoardsimFindsNothingLeftBehind) {
  for (const char *faults : {"--fault BS.UninstallProtocolInterface=1=0x800000000000000F",
                             "--fault BS.CloseEvent=1=0x8000000000000002"}) {
    SCOPED_TRACE(faults);
    test::CommandRun run = test::Boardsim(
        std::string("--fault BS.RegisterProtocolNotify=2=0x8000000000000009 ") + faults);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(test::HasRow(run.out, "BoardSlotService EFI_SUCCESS resident")) << run.out;
  }
}

TEST_F(StartupTest, EveryBootStartsFromAFreshImage) {
  // The first boot's placement must not leak into the second through module globals.
  auto driverCalls = [](const emu::BootResult &boot) {
    return test::CallsBy(boot.calls, "BoardSlotService");
  };
  emu::BootResult first = emu::RunBoot(test::BoardWithKvrn(0x0E));
  emu::BootResult second = emu::RunBoot(test::BoardWithKvrn(0x02));
  EXPECT_EQ(test::CountOf(driverCalls(second), "BS.AllocatePool"), 1u);
  EXPECT_EQ(test::CountOf(driverCalls(second), "BS.LocateProtocol"),
            test::CountOf(driverCalls(first), "BS.LocateProtocol"));
}

}  // namespace
