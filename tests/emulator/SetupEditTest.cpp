// The emulated setup edit protocol: edits land on the board's menus, every call is logged in
// order, and what a real setup would refuse is refused.
#include <gtest/gtest.h>

#include "Tests.h"

namespace {

TEST(SetupEditTest, CallsEditTheMenusAndAreLoggedInOrder) {
  emu::Platform p(emu::DefaultBoard());
  SETUP_EDIT_PROTOCOL *edit = emu::SetupEditInterface();
  EXPECT_EQ(edit->UpdateString("Setup", 1600, "Slot 172 OPROM (KVRN)"), EFI_SUCCESS);
  EXPECT_EQ(edit->HideItem("Socket Configuration", 2641), EFI_SUCCESS);
  EXPECT_EQ(edit->SuppressItem("Setup", 551), EFI_SUCCESS);
  EXPECT_EQ(edit->HideItem("Setup", 9999), EFI_NOT_FOUND);
  EXPECT_EQ(edit->HideItem("Socket configuration", 2641), EFI_NOT_FOUND);
  EXPECT_EQ(edit->HideItem(nullptr, 143), EFI_INVALID_PARAMETER);
  EXPECT_EQ(edit->UpdateString("Setup", 1601, nullptr), EFI_INVALID_PARAMETER);

  const emu::SetupMenus &menus = p.Board().setupMenus;
  EXPECT_EQ(menus.Find("Setup", 1600)->text, "Slot 172 OPROM (KVRN)");
  EXPECT_TRUE(menus.Find("Socket Configuration", 2641)->hidden);
  EXPECT_TRUE(menus.Find("Setup", 551)->suppressed);
  EXPECT_FALSE(menus.Find("Setup", 143)->hidden);
  EXPECT_EQ(menus.Find("Setup", 1601)->text, "Enables or disables Slot 172 OPROM option.");
  ASSERT_EQ(menus.edits.size(), 7u);
  EXPECT_EQ(menus.edits[0],
            (emu::SetupEditCall{"UpdateString", "Setup", 1600, "Slot 172 OPROM (KVRN)"}));
  EXPECT_EQ(menus.edits[4].formSet, "Socket configuration");
  EXPECT_EQ(menus.edits[6].status, EFI_INVALID_PARAMETER);
  EXPECT_EQ(test::FirstArgsOf(p.Calls(), "SetupEdit.HideItem"),
            (std::vector<uint64_t>{2641, 9999, 2641, 143}));
}

TEST(SetupEditTest, ADriverMustHandOverItsOwnStaticText) {
  emu::Platform p(emu::DefaultBoard());
  ASSERT_EQ(p.StartImage("MenuPruner"), EFI_SUCCESS);
  const void *driverCode = p.ImageSymbol("MenuPruner", "MenuPrunerEntryPoint");
  char buffer[] = "on the stack";
  test::ExpectViolation expect("not its own static data");
  p.AsImageOf(driverCode,
              [&] { return emu::SetupEditInterface()->UpdateString("Setup", 1600, buffer); });
}

TEST(SetupEditTest, MembersBetweenTheSecondAndTheSixthAreNotForDrivers) {
  emu::Platform p(emu::DefaultBoard());
  auto member = reinterpret_cast<EFI_STATUS(EFIAPI *)()>(emu::SetupEditInterface()->Member2To4[1]);
  test::ExpectViolation expect("setup edit member it must not use");
  EXPECT_EQ(member(), EFI_UNSUPPORTED);
}

}  // namespace
