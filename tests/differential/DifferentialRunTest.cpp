// Boards booted in the emulator and in OVMF agree field by field: eight boards from a fixed
// seed and the saved boards of every difference settled so far.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "Tests.h"

namespace {

std::vector<std::string> SavedBoards() {
  std::vector<std::string> boards;
  const std::string dir = std::string(SOURCE_DIR) + "/tests/differential/boards";
  if (DIR *folder = opendir(dir.c_str())) {
    while (dirent *entry = readdir(folder)) {
      const std::string name = entry->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".txt")
        boards.push_back(dir + "/" + name);
    }
    closedir(folder);
  }
  std::sort(boards.begin(), boards.end());
  return boards;
}

std::string LastLine(const std::string &text) {
  const size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  const size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

TEST(DifferentialRunTest, EightSeededBoardsAndTheSavedOnesAgree) {
  test::TempFolder out;
  const std::vector<std::string> saved = SavedBoards();
  ASSERT_GE(saved.size(), 5u);
  std::string command = test::Quote(DIFFERENTIAL_PATH) +
                        " --boards 8 --seed 0x5EED --jobs 2 --out " + test::Quote(out / "run");
  for (const std::string &board : saved) command += " --board " + test::Quote(board);
  const test::CommandRun run = test::Run(command);
  const size_t total = 8 + saved.size();
  EXPECT_EQ(LastLine(run.out), std::to_string(total) + " boards, 0 differences") << run.out;
  EXPECT_EQ(run.status, 0) << run.out;
}

}  // namespace
