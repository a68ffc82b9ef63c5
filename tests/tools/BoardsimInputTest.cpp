// boardsim's outside input: files that are not board files, options that mean nothing, tools
// that are not there. Each gets one line that names it, and exit status 2.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "Tests.h"

namespace {

using test::Boardsim;
using test::CommandRun;

// One printable line that starts "boardsim: " and holds `part`, and exit status 2.
void ExpectRefused(const CommandRun &run, const std::string &part) {
  EXPECT_EQ(run.status, 2) << run.out;
  EXPECT_EQ(run.out.rfind("boardsim: ", 0), 0u) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
  EXPECT_TRUE(std::all_of(run.out.begin(), run.out.end() - 1, [](char c) {
    return c >= 0x20 && c < 0x7F;
  })) << run.out;
  EXPECT_LT(run.out.size(), 400u) << run.out.substr(0, 400);
  EXPECT_NE(run.out.find(part), std::string::npos) << run.out.substr(0, 400);
}

void Write(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(BoardsimInputTest, OnlyRegularFilesOfABoardFilesSizeAreRead) {
  test::TempFolder dir;
  ExpectRefused(Boardsim("--board " + dir.path()), "' is a directory");
  // Without the check, /dev/zero is read for ever and a pipe waits for a writer.
  ExpectRefused(Boardsim("--board /dev/zero"), "'/dev/zero' is not a regular file");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  ExpectRefused(Boardsim("--board " + dir / "pipe"), "pipe' is not a regular file");
  Write(dir / "large.txt", std::string(2 << 20, '#'));
  ExpectRefused(Boardsim("--board " + dir / "large.txt"),
                "has 2097152 bytes; a board file has at most 1 MiB");
  ExpectRefused(Boardsim("--board " + dir / "none.txt"), "cannot read board file");
}

TEST(BoardsimInputTest, BadBoardFileLinesComeBackShortAndPrintable) {
  test::TempFolder dir;
  // Read up to the NUL, this line said riser type 6.
  Write(dir / "nul.txt", std::string("kvrn-config 0x0C\nriser-type 6\0junk\n", 36));
  ExpectRefused(Boardsim("--board " + dir / "nul.txt"),
                "nul.txt', line 2: holds a NUL byte: riser-type 6\\x00junk");
  Write(dir / "long.txt", "slot 170 " + std::string(512 << 10, 'Z') + "\n");
  ExpectRefused(Boardsim("--board " + dir / "long.txt"), "ZZZ... (524297 bytes)");
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 151 + 7) % 256);
  Write(dir / "garbage.bin", garbage);
  ExpectRefused(Boardsim("--board " + dir / "garbage.bin"), "line 1: ");
  Write(dir / "escape.txt", "riser-type \x1B[2J5\n");
  ExpectRefused(Boardsim("--board " + dir / "escape.txt"), "riser-type \\x1B[2J5");
}

TEST(BoardsimInputTest, FirmwareOptionsAreRefusedWithoutFirmware) {
  test::TempFolder dir;
  for (const char *option : {"--firmware-board", "--firmware-log"}) {
    SCOPED_TRACE(option);
    ExpectRefused(Boardsim(std::string(option) + " " + dir / "out.txt"),
                  std::string(option) + " means nothing without --firmware");
    struct stat info;
    EXPECT_NE(stat((dir / "out.txt").c_str(), &info), 0) << "the file was written";
  }
}

TEST(BoardsimInputTest, UnknownOptionsAreNamedAsUnknown) {
  ExpectRefused(Boardsim("--help --frobnicate"), "unknown option '--frobnicate' (see --help)");
  ExpectRefused(Boardsim("--frobnicate 1"), "unknown option '--frobnicate'");
  ExpectRefused(Boardsim("--kvrn-confg 0x0C"),
                "unknown option '--kvrn-confg'; nearest: --kvrn-config");
  ExpectRefused(Boardsim("--print-board=1"), "option --print-board takes no value");
  ExpectRefused(Boardsim("--riser-type"), "option --riser-type needs a value");
  ExpectRefused(Boardsim("$(printf -- '--\\033[31m')"), "unknown option '--\\x1B[31m'");
}

TEST(BoardsimInputTest, AMissingQemuIsNamedAsMissing) {
  test::TempFolder empty;
  ExpectRefused(
      test::Run("PATH=" + test::Quote(empty.path()) + " " + BOARDSIM_PATH + " --firmware"),
      "QEMU is missing: no qemu-system-x86_64 on the PATH");
}

}  // namespace
