// The options of boardsim's real-firmware boot, where they go wrong before QEMU ever runs: each
// is refused without --firmware, and a firmware or folder that cannot be had is a one-line
// error with status 2. (The firmware tests boot with them.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "FirmwareRun.h"
#include "Tests.h"

namespace {

void ExpectOneLineError(const test::CommandRun &run, const std::string &part) {
  EXPECT_EQ(run.status, 2) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
  EXPECT_EQ(run.out.rfind("boardsim: ", 0), 0u) << run.out;
  EXPECT_NE(run.out.find(part), std::string::npos) << run.out;
}

TEST(BoardsimFirmwareOptionsTest, EachIsRefusedWithoutFirmware) {
  test::TempFolder dir;
  for (const auto &[args, option] : std::vector<std::pair<std::string, std::string>>{
           {"--gdb", "--gdb"},
           {"--ovmf /usr/share/OVMF/OVMF_CODE_4M.fd", "--ovmf"},
           {"--qemu-arg -S", "--qemu-arg"},
           {"--qemu-arg=-S --qemu-arg=-s", "--qemu-arg"},
           {"--keep " + (dir / "kept"), "--keep"},
           {"--firmware-board " + (dir / "board.txt"), "--firmware-board"},
           {"--firmware-log " + (dir / "log.txt"), "--firmware-log"},
           {"--kvrn-config 0x0C --gdb --riser-type 6", "--gdb"}}) {
    SCOPED_TRACE(args);
    ExpectOneLineError(test::Boardsim(args), option + " means nothing without --firmware");
  }
  // Nothing was written for an option that was refused.
  EXPECT_NE(access((dir / "kept").c_str(), F_OK), 0);
  EXPECT_NE(access((dir / "log.txt").c_str(), F_OK), 0);
}

TEST(BoardsimFirmwareOptionsTest, AFirmwareOrFolderThatCannotBeHadIsRefusedBeforeQemuRuns) {
  test::TempFolder dir;
  std::ofstream(dir / "OVMF_CODE.fd") << "code";
  std::ofstream(dir / "plain-file") << "not a folder";
  ExpectOneLineError(test::Boardsim("--firmware --ovmf " + (dir / "missing.fd")),
                     "no firmware code file");
  ExpectOneLineError(test::Boardsim("--firmware --ovmf " + (dir / "OVMF_CODE.fd")),
                     "give it: --ovmf CODE,VARS");
  ExpectOneLineError(
      test::Boardsim("--firmware --ovmf " + (dir / "OVMF_CODE.fd") + "," + (dir / "nope.fd")),
      "no variable store file");
  ExpectOneLineError(test::Boardsim("--firmware --ovmf ,"), "no firmware code file");
  ExpectOneLineError(test::Boardsim("--firmware --keep " + (dir / "plain-file")),
                     "cannot make the folder");
  ExpectOneLineError(test::Boardsim("--firmware --keep " + (dir / "no/such/parent")),
                     "cannot make the folder");
}

TEST(BoardsimFirmwareOptionsTest, OvmfFindsTheVariableStoreBesideTheCode) {
  test::TempFolder dir;
  ASSERT_EQ(mkdir((dir / "CODE").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "OVMF_VARS_dir.fd").c_str(), 0755), 0);
  for (const char *file :
       {"OVMF_CODE_4M.fd", "OVMF_VARS_4M.fd", "CODE/OVMF.fd", "OVMF_CODE_dir.fd"}) {
    std::ofstream(dir / file) << "flash";
  }
  std::string code, vars, why;
  ASSERT_TRUE(fw::ResolveOvmf(dir / "OVMF_CODE_4M.fd", code, vars, why)) << why;
  EXPECT_EQ(code, dir / "OVMF_CODE_4M.fd");
  EXPECT_EQ(vars, dir / "OVMF_VARS_4M.fd");
  ASSERT_TRUE(
      fw::ResolveOvmf((dir / "CODE/OVMF.fd") + "," + (dir / "OVMF_VARS_4M.fd"), code, vars, why))
      << why;
  EXPECT_EQ(code, dir / "CODE/OVMF.fd");
  EXPECT_EQ(vars, dir / "OVMF_VARS_4M.fd");
  // "CODE" in a folder's name is not the file's; a folder is no variable store.
  EXPECT_FALSE(fw::ResolveOvmf(dir / "CODE/OVMF.fd", code, vars, why));
  EXPECT_FALSE(fw::ResolveOvmf(dir / "OVMF_CODE_dir.fd", code, vars, why));
  EXPECT_FALSE(fw::ResolveOvmf(dir.path(), code, vars, why));
}

TEST(BoardsimFirmwareOptionsTest, HelpNamesThem) {
  test::CommandRun run = test::Boardsim("--help");
  EXPECT_EQ(run.status, 0);
  for (const char *option : {"--gdb", "--ovmf CODE[,VARS]", "--qemu-arg ARG", "--keep DIR"}) {
    EXPECT_NE(run.out.find("  " + std::string(option) + " "), std::string::npos) << option;
  }
}

}  // namespace
