// The build's own budget check: an image past its budget fails the build in a line naming it,
// and does not stay behind looking built.
#include <gtest/gtest.h>

#include <filesystem>

#include "Tests.h"

namespace {

TEST(ImageBudgetTest, AnImagePastItsBudgetFailsTheBuildAndIsRemoved) {
  test::TempFolder dir;
  const std::string image = dir / "MenuPruner.efi";
  std::filesystem::copy_file(std::string(FIRMWARE_DIR) + "/MenuPruner.efi", image);
  const auto size = std::filesystem::file_size(image);
  auto check = [&](uintmax_t budget) {
    return test::Run(std::string(CMAKE_COMMAND) + " -DIMAGE=" + test::Quote(image) +
                     " -DBUDGET=" + std::to_string(budget) + " -P " + SOURCE_DIR +
                     "/cmake/CheckImageBudget.cmake");
  };
  EXPECT_EQ(check(size).status, 0);  // exactly at the budget is within it
  EXPECT_TRUE(std::filesystem::exists(image));

  test::CommandRun over = check(size - 1);
  EXPECT_NE(over.status, 0);
  EXPECT_NE(over.out.find("MenuPruner.efi: " + std::to_string(size) +
                          " bytes, over its budget of " + std::to_string(size - 1) + " bytes"),
            std::string::npos)
      << over.out;
  EXPECT_FALSE(std::filesystem::exists(image));
}

}  // namespace
