// The budget reports' readers: which instructions of a callgrind profile count as the drivers'.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "Budgets.h"
#include "Tests.h"

namespace {

std::string WriteProfile(const test::TempFolder &dir, const std::string &name,
                         const std::string &text) {
  std::string path = dir / name;
  std::ofstream(path) << text;
  return path;
}

// The pass's own function calls into the emulator (whose work is not the driver's) and into
// another function of the driver; the emulator's thunk calls nothing back.
constexpr char kProfile[] =
    "version: 1\n"
    "positions: line\n"
    "events: Ir\n"
    "summary: 1000\n"
    "\n"
    "ob=/tmp/bin/budgets\n"
    "fl=Platform.cpp\n"
    "fn=emu::ThunkLocateProtocol\n"
    "10 400\n"
    "\n"
    "ob=/tmp/bin/BoardSlotService.so\n"
    "fl=RootPortAdjust.cpp\n"
    "fn=RootPortAdjustNotify(void*, void*)\n"
    "20 30\n"
    "cob=/tmp/bin/budgets\n"
    "cfn=emu::ThunkLocateProtocol\n"
    "calls=1 10\n"
    "21 400\n"
    "cfn=FindGuidHob(EFI_GUID const*)\n"
    "calls=2 30\n"
    "22 250\n"
    "23 12\n"
    "fn=FindGuidHob(EFI_GUID const*)\n"
    "30 250\n"
    "\n"
    "totals: 942\n";

TEST(BudgetsTest, OnlyTheDriversOwnInstructionsCount) {
  test::TempFolder dir;
  std::string profile = WriteProfile(dir, "pass.out", kProfile);
  std::ostringstream out;
  ASSERT_TRUE(budgets::ReportBootCost({"RootPortAdjustNotify", profile}, out));
  // 30 + 12 of the notify function itself, 250 of FindGuidHob; neither the emulator's 400 nor
  // the calls' inclusive costs.
  const std::regex row("RootPortAdjustNotify +BoardSlotService +292\n");
  EXPECT_TRUE(std::regex_search(out.str(), row)) << out.str();
  EXPECT_NE(out.str().find("RootPortAdjustNotify: FindGuidHob 250, RootPortAdjustNotify 42"),
            std::string::npos)
      << out.str();
}

TEST(BudgetsTest, PassesOverTheirBudgetAreNamed) {
  test::TempFolder dir;
  std::string profile = WriteProfile(dir, "heavy.out",
                                     "ob=/x/MenuPruner.so\nfn=KvrnLabelsNotify(void*, void*)\n"
                                     "1 60000\n");
  std::ostringstream out;
  ASSERT_TRUE(budgets::ReportBootCost({"KvrnLabelsNotify", profile}, out));
  EXPECT_NE(out.str().find("60000  OVER the pass budget"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("A budget is exceeded."), std::string::npos);
  EXPECT_FALSE(budgets::ReportBootCost({"missing", dir / "none.out"}, out));
}

}  // namespace
