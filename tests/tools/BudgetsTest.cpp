// The budget reports' readers: which instructions of a callgrind profile count as the drivers',
// and which images the image report takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
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

// A broken image is no row of the report: one line on the error stream names the file and the
// reader's reason, and the report as a whole fails.
TEST(BudgetsTest, AnImageTheReaderRefusesFailsTheReportWithItsReason) {
  const std::string shipped = std::string(FIRMWARE_DIR) + "/BoardSlotService.efi";
  std::ifstream in(shipped, std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(image.size(), 0x200u);
  std::vector<uint8_t> broken = image;
  const size_t sizeOfImage = broken[0x3C] + 24 + 56;
  std::fill_n(broken.begin() + static_cast<long>(sizeOfImage), 4, 0);
  std::ostringstream out, errors;
  EXPECT_FALSE(budgets::ReportImages({{shipped, image}, {"dir/Broken.efi", broken}}, out, errors));
  EXPECT_EQ(errors.str(), "budgets: dir/Broken.efi: SizeOfImage is 0\n");
  EXPECT_NE(out.str().find("BoardSlotService.efi: " + std::to_string(image.size()) + " bytes"),
            std::string::npos)
      << out.str();
  EXPECT_EQ(out.str().find("Broken.efi"), std::string::npos) << out.str();
}

}  // namespace
