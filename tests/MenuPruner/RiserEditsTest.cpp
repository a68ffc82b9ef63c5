// The riser-dependent menu edits: the whole call sequence of each riser type class against the
// transcribed tables, and how the sequence behaves when the setup edit protocol misbehaves.
#include <gtest/gtest.h>

#include "MenuEdits.h"

namespace {

using namespace test;

// Every riser type of a class makes exactly `expected`, and every edit names an item of the
// default board's menus. (No KVRN port sits in the slot table, so the labels add nothing.)
void ExpectSequence(std::initializer_list<uint8_t> riserTypes, const Edits &expected) {
  for (uint8_t riserType : riserTypes) {
    SCOPED_TRACE("riser type " + std::to_string(riserType));
    emu::BootResult result = BootMenuPruner(BoardWithRiser(riserType));
    EXPECT_EQ(result.menusAfter.edits, expected);
    for (const emu::SetupEditCall &edit : result.menusAfter.edits) {
      EXPECT_EQ(edit.status, EFI_SUCCESS) << edit;
    }
  }
}

TEST(RiserEditsTest, RiserTypesZeroToTwoGetTheNvmeEdits) {
  ExpectSequence({0, 1, 2}, FixedEdits() + M2Edits() + NvmeEdits());
}

TEST(RiserEditsTest, OtherRiserTypesGetTheFixedEditsOnly) {
  ExpectSequence({3, 4, 7, 128, 255}, FixedEdits());
  // The M.2 items keep their own texts.
  emu::BootResult result = BootMenuPruner(BoardWithRiser(255));
  EXPECT_EQ(result.menusAfter.Find(kSocket, 878)->text,
            result.board.setupMenus.Find(kSocket, 878)->text);
}

TEST(RiserEditsTest, RiserLayout5RetitlesTheRiserSlots) {
  ExpectSequence({5}, FixedEdits() + M2Edits() + RiserLayout5Edits());
}

TEST(RiserEditsTest, RiserLayout6RetitlesSixSlotsAndHidesTwo) {
  ExpectSequence({6}, FixedEdits() + M2Edits() + RiserLayout6Edits());
  emu::BootResult result = BootMenuPruner(BoardWithRiser(6));
  EXPECT_TRUE(result.menusAfter.Find(kSetup, 1614)->hidden);
  EXPECT_EQ(result.menusAfter.Find(kSocket, 2492)->text, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16");
  // Not in this layout.
  EXPECT_EQ(result.menusAfter.Find(kSocket, 2389)->text,
            result.board.setupMenus.Find(kSocket, 2389)->text);
}

TEST(RiserEditsTest, FailedEditsDoNotStopTheSequence) {
  emu::BoardDescription board = BoardWithRiser(5);
  board.faults.push_back({"SetupEdit.HideItem", 1, EFI_DEVICE_ERROR});
  board.faults.push_back({"SetupEdit.UpdateString", 0, EFI_OUT_OF_RESOURCES});
  emu::BootResult result = BootMenuPruner(board);
  EXPECT_EQ(result.menusAfter.edits, FixedEdits() + M2Edits() + RiserLayout5Edits());
  EXPECT_FALSE(result.menusAfter.Find(kSetup, 143)->hidden);
  EXPECT_TRUE(result.menusAfter.Find(kSetup, 1655)->hidden);
  EXPECT_EQ(result.menusAfter.Find(kSetup, 1602)->text, "Slot 173 OPROM");
}

// Starts MenuPruner, then makes the n-th LocateProtocol from now on fail and installs the setup
// edit protocol.
emu::SetupMenus InstallWithLocateFailing(emu::Platform &p, uint32_t nth) {
  EXPECT_EQ(p.StartImage("MenuPruner"), EFI_SUCCESS);
  uint32_t before = static_cast<uint32_t>(p.CountCalls("BS.LocateProtocol"));
  p.Board().faults.push_back({"BS.LocateProtocol", before + nth, EFI_NOT_FOUND});
  p.InstallProtocol(gSetupEditProtocolGuid, emu::SetupEditInterface());
  return p.Board().setupMenus;
}

TEST(RiserEditsTest, WithoutTheProtocolEachNotifyEditsNothingAndTheOtherGoesOn) {
  emu::BoardDescription board = BoardWithRiser(5);
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x02);
  board.slots[172] = KVRN_PORT_CODE_B;
  {
    SCOPED_TRACE("riser edits find no protocol");
    emu::Platform p(board);
    EXPECT_EQ(InstallWithLocateFailing(p, 1).edits, KvrnLabel(172, 'B'));
  }
  {
    SCOPED_TRACE("KVRN labels find no protocol");
    emu::Platform p(board);
    EXPECT_EQ(InstallWithLocateFailing(p, 2).edits, FixedEdits() + M2Edits() + RiserLayout5Edits());
    // The labels read the configuration byte, then looked for the protocol, and stopped.
    std::vector<emu::CallRecord> calls = CallsBy(p.Calls(), "MenuPruner");
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].member, "BoardInfo.QueryBoardByte");
    EXPECT_EQ(calls[calls.size() - 2].args, std::vector<uint64_t>{BOARD_BYTE_KVRN_CONFIG});
    EXPECT_EQ(calls.back().member, "BS.LocateProtocol");
  }
}

TEST(RiserEditsTest, AProtocolInstalledWithoutAnInterfaceEditsNothing) {
  emu::Platform p(BoardWithRiser(5));
  ASSERT_EQ(p.StartImage("MenuPruner"), EFI_SUCCESS);
  p.InstallProtocol(gSetupEditProtocolGuid, nullptr);
  EXPECT_TRUE(p.Board().setupMenus.edits.empty());
}

}  // namespace
