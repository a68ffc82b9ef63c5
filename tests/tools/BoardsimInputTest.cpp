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

using test::ExpectRefusedInOneLine;

void Write(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(BoardsimInputTest, OnlyRegularFilesOfABoardFilesSizeAreRead) {
  test::TempFolder dir;
  ExpectRefusedInOneLine(Boardsim("--board " + dir.path()), "' is a directory");
  // Without the check, /dev/zero is read for ever and a pipe waits for a writer.
  ExpectRefusedInOneLine(Boardsim("--board /dev/zero"), "'/dev/zero' is not a regular file");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  ExpectRefusedInOneLine(Boardsim("--board " + dir / "pipe"), "pipe' is not a regular file");
  Write(dir / "large.txt", std::string(2 << 20, '#'));
  ExpectRefusedInOneLine(Boardsim("--board " + dir / "large.txt"),
                         "has 2097152 bytes; a board file has at most 1 MiB");
  ExpectRefusedInOneLine(Boardsim("--board " + dir / "none.txt"), "cannot read board file");
}

TEST(BoardsimInputTest, BadBoardFileLinesComeBackShortAndPrintable) {
  test::TempFolder dir;
  // Read up to the NUL, this line said riser type 6.
  Write(dir / "nul.txt", std::string("kvrn-config 0x0C\nriser-type 6\0junk\n", 36));
  ExpectRefusedInOneLine(Boardsim("--board " + dir / "nul.txt"),
                         "nul.txt', line 2: holds a NUL byte: riser-type 6\\x00junk");
  Write(dir / "long.txt", "slot 170 " + std::string(512 << 10, 'Z') + "\n");
  ExpectRefusedInOneLine(Boardsim("--board " + dir / "long.txt"), "ZZZ... (524297 bytes)");
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 151 + 7) % 256);
  Write(dir / "garbage.bin", garbage);
  ExpectRefusedInOneLine(Boardsim("--board " + dir / "garbage.bin"), "line 1: ");
  Write(dir / "escape.txt", "riser-type \x1B[2J5\n");
  ExpectRefusedInOneLine(Boardsim("--board " + dir / "escape.txt"), "riser-type \\x1B[2J5");
}

TEST(BoardsimInputTest, UnknownOptionsAreNamedAsUnknown) {
  ExpectRefusedInOneLine(Boardsim("--help --frobnicate"),
                         "unknown option '--frobnicate' (see --help)");
  ExpectRefusedInOneLine(Boardsim("--frobnicate 1"), "unknown option '--frobnicate'");
  ExpectRefusedInOneLine(Boardsim("--kvrn-confg 0x0C"),
                         "unknown option '--kvrn-confg'; nearest: --kvrn-config");
  ExpectRefusedInOneLine(Boardsim("--print-board=1"), "option --print-board takes no value");
  ExpectRefusedInOneLine(Boardsim("--riser-type"), "option --riser-type needs a value");
  ExpectRefusedInOneLine(Boardsim("$(printf -- '--\\033[31m')"), "unknown option '--\\x1B[31m'");
}

TEST(BoardsimInputTest, AMissingQemuIsNamedAsMissing) {
  test::TempFolder empty;
  ExpectRefusedInOneLine(
      test::Run("PATH=" + test::Quote(empty.path()) + " " + BOARDSIM_PATH + " --firmware"),
      "QEMU is missing: no qemu-system-x86_64 on the PATH");
}

}  // namespace
