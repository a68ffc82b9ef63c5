// The onboard NIC item: "Setup" 551 is suppressed, between the fixed hides and the KVRN slot's
// retitle, only when slot 128's root port does not answer and Setup byte 288 holds 1.
#include <gtest/gtest.h>

#include "MenuEdits.h"
#include "PciAccess.h"

namespace {

using namespace test;

constexpr uint16_t kNicRootPort = PciBdf(0x17, 0, 0);  // slot 128 (0x12A000) on the default board

emu::BoardDescription NicBoard(uint8_t setupByte288, bool rootPortAnswers) {
  emu::BoardDescription board = BoardWithRiser(3);
  board.SetSetupByte(288, setupByte288);
  if (!rootPortAnswers) board.pci.erase(kNicRootPort);
  return board;
}

Edits FixedEditsWithNicItem() {
  Edits edits = FixedEdits();
  auto kvrnRetitle =
      std::find(edits.begin(), edits.end(), Retitle(kSocket, 2337, "KVRN: CPU2 PCI-E 3.0"));
  edits.insert(kvrnRetitle, emu::SetupEditCall{"SuppressItem", kSetup, 551, ""});
  return edits;
}

// Configuration reads MenuPruner made.
size_t ConfigAccesses(const emu::BootResult &result) {
  return CountOf(CallsBy(result.calls, "MenuPruner"), "RegisterAccess.GetRegisterAddress");
}

TEST(OnboardNicItemTest, AbsentRootPortAndSetupByteOneSuppressTheItemInItsPlace) {
  emu::BootResult result = BootMenuPruner(NicBoard(1, false));
  EXPECT_EQ(result.menusAfter.edits, FixedEditsWithNicItem());
  EXPECT_EQ(ConfigAccesses(result), 1u);
}

TEST(OnboardNicItemTest, OnlySetupByteOneAsksForTheSuppression) {
  for (uint8_t value : {0, 2, 0xFF}) {
    SCOPED_TRACE(int{value});
    emu::BootResult result = BootMenuPruner(NicBoard(value, false));
    EXPECT_EQ(result.menusAfter.edits, FixedEdits());
    EXPECT_EQ(ConfigAccesses(result), 1u);  // the port is read whatever the byte holds
  }
}

TEST(OnboardNicItemTest, ARootPortThatAnswersKeepsTheItem) {
  emu::BoardDescription present = NicBoard(1, true);
  // Only the vendor half reading all ones still answers.
  emu::BoardDescription halfAnswer = NicBoard(1, true);
  halfAnswer.pci[kNicRootPort].vendorId = 0xFFFF;
  for (const emu::BoardDescription &board : {present, halfAnswer}) {
    emu::BootResult result = BootMenuPruner(board);
    EXPECT_EQ(result.menusAfter.edits, FixedEdits());
  }
}

TEST(OnboardNicItemTest, WithoutASetupVariableNothingIsReadOrSuppressed) {
  emu::BoardDescription absent = NicBoard(1, false);
  std::string error;
  ASSERT_TRUE(emu::ParseBoardText("setup-size absent", absent, error)) << error;
  emu::BoardDescription tooLarge = NicBoard(1, false);
  tooLarge.variables.at(0).data.resize(3821, 1);
  for (const emu::BoardDescription &board : {absent, tooLarge}) {
    emu::BootResult result = BootMenuPruner(board);
    EXPECT_EQ(result.menusAfter.edits, FixedEdits());
    EXPECT_EQ(ConfigAccesses(result), 0u);
  }
}

// Leaves the stack below the caller full of `value`, as a firmware stack that has seen other
// drivers would be, so a buffer that is not cleared does not read as zeros by luck.
__attribute__((noinline)) void DirtyStack(uint8_t value) {
  volatile uint8_t junk[64 * 1024];
  for (auto &byte : junk) byte = value;
}

TEST(OnboardNicItemTest, ASetupVariableTooShortToHoldTheByteReadsAsOff) {
  emu::BoardDescription board = NicBoard(0, false);
  board.variables.at(0).data.resize(288);
  emu::Platform platform(board);
  ASSERT_EQ(platform.StartImage("MenuPruner"), EFI_SUCCESS);
  DirtyStack(1);
  platform.InstallProtocol(gSetupEditProtocolGuid, emu::SetupEditInterface());
  EXPECT_EQ(platform.Board().setupMenus.edits, FixedEdits());
}

}  // namespace
