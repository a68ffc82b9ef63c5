// MenuPruner's start: two registrations for the setup edit protocol and nothing else, edits
// only on installations that follow, nothing left behind by a failed start; and a boot with
// BoardSlotService, whose slot placement the labels follow.
#include <gtest/gtest.h>

#include "MenuEdits.h"
#include "RegisterAccessProtocol.h"

namespace {

using namespace test;

class MenuStartupTest : public testing::Test {
 protected:
  emu::Platform &Start(emu::BoardDescription board = BoardWithRiser(5)) {
    platform_.reset();
    platform_ = std::make_unique<emu::Platform>(std::move(board));
    status_ = platform_->StartImage("MenuPruner");
    return *platform_;
  }
  void InstallSetupEdit() {
    platform_->InstallProtocol(gSetupEditProtocolGuid, emu::SetupEditInterface());
  }
  const Edits &Log() { return platform_->Board().setupMenus.edits; }
  size_t DriverCalls(const std::string &member) {
    return CountOf(CallsBy(platform_->Calls(), "MenuPruner"), member);
  }
  std::unique_ptr<emu::Platform> platform_;
  EFI_STATUS status_ = EFI_SUCCESS;
};

const Edits kLayout5 = FixedEdits() + M2Edits() + RiserLayout5Edits();

TEST_F(MenuStartupTest, StartRegistersTwoEventsAndEditsNothing) {
  emu::Platform &p = Start();
  ASSERT_EQ(status_, EFI_SUCCESS);
  EXPECT_TRUE(p.IsResident("MenuPruner"));
  EXPECT_EQ(p.LiveEvents(), 2u);
  EXPECT_EQ(p.LiveRegistrations(), 2u);
  EXPECT_EQ(ArgsOf(p.Calls(), "BS.CreateEvent"),
            (std::vector<std::vector<uint64_t>>(2, {EVT_NOTIFY_SIGNAL, TPL_CALLBACK})));
  EXPECT_TRUE(Log().empty());
}

// The frame first, then the riser edits' event and the labels' event, each registered before
// the next is created: one installation of the protocol runs the riser edits first.
TEST_F(MenuStartupTest, StartTakesItsStepsInOrder) {
  emu::Platform &p = Start();
  ASSERT_EQ(status_, EFI_SUCCESS);
  const std::string setupEdit = " " + emu::GuidToString(gSetupEditProtocolGuid);
  EXPECT_EQ(EntryPointSteps(p.Calls(), "MenuPruner"),
            (std::vector<std::string>{
                "BS.AllocatePool",
                "BS.LocateProtocol " + emu::GuidToString(gBoardInfoProtocolGuid),
                "BoardInfo.InitNotify",
                "BS.LocateProtocol " + emu::GuidToString(gRegisterAccessProtocolGuid),
                "BS.CreateEvent RiserMenuEditsNotify",
                "BS.RegisterProtocolNotify" + setupEdit + " RiserMenuEditsNotify",
                "BS.CreateEvent KvrnLabelsNotify",
                "BS.RegisterProtocolNotify" + setupEdit + " KvrnLabelsNotify",
            }));
}

TEST_F(MenuStartupTest, AProtocolInstalledBeforeTheStartEditsNothingUntilTheNextOne) {
  emu::Platform &p = *(platform_ = std::make_unique<emu::Platform>(BoardWithRiser(5)));
  InstallSetupEdit();
  ASSERT_EQ(p.StartImage("MenuPruner"), EFI_SUCCESS);
  EXPECT_TRUE(Log().empty());
  InstallSetupEdit();
  EXPECT_EQ(Log(), kLayout5);
}

TEST_F(MenuStartupTest, EachInstallationRunsBothPassesAgain) {
  emu::BoardDescription board = BoardWithRiser(5);
  board.slots[172] = KVRN_PORT_CODE_B;
  Start(board);
  InstallSetupEdit();
  InstallSetupEdit();
  Edits once = kLayout5 + KvrnLabel(172, 'B');
  EXPECT_EQ(Log(), once + once);
  EXPECT_EQ(platform_->LiveRegistrations(), 2u);
}

// As the contract stands, every pass edits the instance the lookup finds first: a second
// instance's installation runs the passes again, on the first.
size_t gSecondInstanceCalls = 0;
EFI_STATUS EFIAPI CountHide(const CHAR8 *, UINT16) {
  ++gSecondInstanceCalls;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI CountUpdate(const CHAR8 *, UINT16, const CHAR8 *) {
  ++gSecondInstanceCalls;
  return EFI_SUCCESS;
}

TEST_F(MenuStartupTest, OnlyTheFirstInstanceOfTheSetupEditProtocolIsEdited) {
  Start();
  InstallSetupEdit();
  SETUP_EDIT_PROTOCOL second{CountHide, CountUpdate, {}, CountHide};
  gSecondInstanceCalls = 0;
  platform_->InstallProtocol(gSetupEditProtocolGuid, &second);
  EXPECT_EQ(gSecondInstanceCalls, 0u);
  EXPECT_EQ(Log(), kLayout5 + kLayout5);
}

// Steps whose failure start-up passes over: the driver loads with the KVRN labels alone.
TEST_F(MenuStartupTest, WithoutTheRiserEventTheLabelsStillRun) {
  for (const char *member : {"BS.CreateEvent", "BS.RegisterProtocolNotify"}) {
    SCOPED_TRACE(member);
    emu::BoardDescription board = BoardWithRiser(5);
    board.slots[172] = KVRN_PORT_CODE_B;
    board.faults.push_back({member, 1, EFI_OUT_OF_RESOURCES});
    emu::Platform &p = Start(board);
    EXPECT_EQ(status_, EFI_SUCCESS);
    // An event no registration can signal is not kept.
    EXPECT_EQ(p.LiveEvents(), 1u);
    EXPECT_EQ(p.LiveRegistrations(), 1u);
    InstallSetupEdit();
    EXPECT_EQ(Log(), KvrnLabel(172, 'B'));
  }
}

// The KVRN labels' event decides the status. A failed start is unloaded by the DXE core, so it
// must leave no event, registration or pool block behind (the platform reports any as a
// violation).
TEST_F(MenuStartupTest, FailedStartReturnsTheErrorAndLeavesNothingBehind) {
  struct Case {
    const char *what;
    std::vector<emu::Fault> faults;
    EFI_STATUS status;
    size_t frees;
  } cases[] = {
      {"second CreateEvent",
       {{"BS.CreateEvent", 2, EFI_OUT_OF_RESOURCES}},
       EFI_OUT_OF_RESOURCES,
       1},
      {"second registration",
       {{"BS.RegisterProtocolNotify", 2, EFI_INVALID_PARAMETER}},
       EFI_INVALID_PARAMETER,
       1},
      {"both CreateEvents", {{"BS.CreateEvent", 0, EFI_OUT_OF_RESOURCES}}, EFI_OUT_OF_RESOURCES, 1},
      {"both registrations",
       {{"BS.RegisterProtocolNotify", 0, EFI_OUT_OF_RESOURCES}},
       EFI_OUT_OF_RESOURCES,
       1},
      {"no scratch pool",
       {{"BS.AllocatePool", 1, EFI_OUT_OF_RESOURCES}, {"BS.CreateEvent", 2, EFI_DEVICE_ERROR}},
       EFI_DEVICE_ERROR,
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    emu::BoardDescription board = BoardWithRiser(5);
    board.faults = c.faults;
    emu::Platform &p = Start(board);
    EXPECT_EQ(status_, c.status);
    EXPECT_FALSE(p.IsResident("MenuPruner"));
    EXPECT_EQ(p.LiveEvents(), 0u);
    EXPECT_EQ(p.LiveRegistrations(), 0u);
    EXPECT_EQ(p.LivePoolBlocks(), 0u);
    EXPECT_EQ(DriverCalls("BS.FreePool"), c.frees);
    // Nothing of the unloaded driver runs when the protocol appears.
    InstallSetupEdit();
    EXPECT_TRUE(Log().empty());
  }
}

// A failed start whose withdrawal the DXE core refuses stays resident with EFI_SUCCESS and
// its pool; an event it could not close does nothing when the setup edit protocol appears.
TEST_F(MenuStartupTest, ARefusedWithdrawalKeepsTheImageAndEditsNothing) {
  const emu::Fault labelsRegistration{"BS.RegisterProtocolNotify", 2, EFI_OUT_OF_RESOURCES};
  struct Case {
    const char *what;
    std::vector<emu::Fault> faults;
    size_t events;  // still open
  } cases[] = {
      {"labels event not closed",
       {labelsRegistration, {"BS.CloseEvent", 1, EFI_INVALID_PARAMETER}},
       1},
      {"riser event not closed",
       {labelsRegistration, {"BS.CloseEvent", 2, EFI_INVALID_PARAMETER}},
       1},
      {"labels event not created, riser event not closed",
       {{"BS.CreateEvent", 2, EFI_OUT_OF_RESOURCES}, {"BS.CloseEvent", 1, EFI_INVALID_PARAMETER}},
       1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    emu::BoardDescription board = BoardWithRiser(5);
    board.faults = c.faults;
    emu::Platform &p = Start(board);
    EXPECT_EQ(status_, EFI_SUCCESS);
    EXPECT_TRUE(p.IsResident("MenuPruner"));
    EXPECT_EQ(p.LiveEvents(), c.events);
    EXPECT_EQ(p.LivePoolBlocks(), 1u);  // the scratch pool, as any resident image keeps it
    size_t before = p.Calls().size();
    InstallSetupEdit();
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(p.Calls().size(), before);  // the notify functions that ran made no call
  }
}

// A refused release of the scratch pool alone points nothing into the image: the start fails
// with its error and the image goes, leaving the 8 KiB behind, the one leak of the boot.
TEST(MenuBootTest, ARefusedPoolReleaseAloneStillFailsTheStart) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults = {{"BS.RegisterProtocolNotify", 4, EFI_OUT_OF_RESOURCES},
                  {"BS.FreePool", 1, EFI_INVALID_PARAMETER}};
  test::ExpectViolation leak("MenuPruner failed to start and leaked 8192 bytes");
  emu::BootResult result = emu::RunBoot(board);
  EXPECT_EQ(result.violations.size(), 1u);
  EXPECT_EQ(result.drivers[1].status, EFI_OUT_OF_RESOURCES);
  EXPECT_FALSE(result.drivers[1].resident);
  EXPECT_TRUE(result.menusAfter.edits.empty());
}

// Both drivers, as the platform dispatches them: the labels land where BoardSlotService put the
// ports, read back through the board information protocol's slot table.
TEST(MenuBootTest, KvrnLabelsFollowTheSlotsBoardSlotServiceAssigned) {
  emu::BootResult result = emu::RunBoot(emu::DefaultBoard());  // 170, 171, 173 taken
  ASSERT_EQ(result.drivers.size(), 2u);
  EXPECT_EQ(result.drivers[1].status, EFI_SUCCESS);
  EXPECT_EQ(result.slotsAfter.at(172), KVRN_PORT_CODE_B);
  EXPECT_EQ(result.slotsAfter.at(174), KVRN_PORT_CODE_C);
  EXPECT_EQ(result.slotsAfter.at(175), KVRN_PORT_CODE_D);
  // The labels come after the layout 5 retitles of the same OPROM items, and stand.
  EXPECT_EQ(result.menusAfter.edits,
            kLayout5 + KvrnLabel(172, 'B') + KvrnLabel(174, 'C') + KvrnLabel(175, 'D'));
  EXPECT_EQ(result.menusAfter.Find(kSetup, 1604)->text, "KVRN(C): CPU2 PCI-E 3.0 OPROM");
  EXPECT_EQ(result.menusAfter.Find(kSetup, 1602)->text,
            "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16 OPROM");

  // Elsewhere on another board: C and D only, on the first free slots.
  emu::BootResult moved = emu::RunBoot(BoardWithKvrn(0x0C));
  EXPECT_EQ(moved.slotsAfter.at(170), KVRN_PORT_CODE_C);
  EXPECT_EQ(moved.slotsAfter.at(171), KVRN_PORT_CODE_D);
  EXPECT_EQ(moved.menusAfter.edits, kLayout5 + KvrnLabel(170, 'C') + KvrnLabel(171, 'D'));
}

}  // namespace
