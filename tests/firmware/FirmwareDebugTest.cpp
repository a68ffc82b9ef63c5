// The shipped images debugged inside OVMF, as a user does it: boardsim --firmware --gdb holds
// the boot and writes a gdb script; Debian's gdb, in batch mode with that script, stops in a
// driver function, shows where it is in the source and reads the driver's globals. Then the
// boot goes on to its report. And the options a firmware run takes besides: --keep, --qemu-arg
// and --ovmf.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "BoardInfoProtocol.h"
#include "Tests.h"

namespace {

std::string ReadText(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// boardsim running in the background, in a process group of its own (with its QEMU), its
// output in a file; stopped, group and all, if the test leaves it running.
class Background {
 public:
  Background(const std::string &command, const std::string &output) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      execl("/bin/sh", "sh", "-c", (command + " >'" + output + "' 2>&1").c_str(), nullptr);
      _exit(127);
    }
  }
  ~Background() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // The exit status, or -1 if it did not end within `seconds`.
  int Wait(int seconds) {
    for (int tenth = 0; tenth < seconds * 10 && pid_ > 0; ++tenth) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

// Waits until `path` holds `text`; false after `seconds`.
bool WaitFor(const std::string &path, const std::string &text, int seconds) {
  for (int tenth = 0; tenth < seconds * 10; ++tenth) {
    if (ReadText(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::string SourceLine(const std::string &file, int number) {
  std::ifstream in(std::string(SOURCE_DIR) + "/" + file);
  std::string line;
  for (int n = 0; n < number && std::getline(in, line);) ++n;
  return line;
}

TEST(FirmwareDebugTest, GdbStopsInADriverFunctionInsideOvmfWithItsSourceLine) {
  test::TempFolder dir;
  const std::string run = dir / "run", output = dir / "boardsim.out";
  Background boardsim(std::string(BOARDSIM_PATH) + " --firmware --gdb --keep '" + run + "'",
                      output);
  ASSERT_TRUE(WaitFor(output, "gdb -x ", 120)) << ReadText(output);
  const std::string script = run + "/debug.gdb";
  EXPECT_NE(ReadText(output).find("  gdb -x " + script + "\n"), std::string::npos);

  std::ofstream(dir / "session.gdb") << "break SmbiosSlotNotify\n"
                                        "continue\n"
                                        "backtrace\n"
                                        "print/u kExpansionSlotIndexes\n"
                                        "print/x gST->Hdr.Signature\n"
                                        "delete\n"
                                        "detach\n";
  test::CommandRun gdb = test::Run("timeout 120 gdb -nx -batch -x '" + script + "' -x '" +
                                   (dir / "session.gdb") + "'");
  EXPECT_EQ(gdb.status, 0) << gdb.out;
  std::printf("%s", gdb.out.c_str());

  // The stop: the function, its source file and line, and that line of the source as gdb shows
  // it (found through the script's path substitution).
  std::smatch stop;
  ASSERT_TRUE(std::regex_search(gdb.out, stop,
                                std::regex("\nBreakpoint 2, SmbiosSlotNotify \\(Event=0x[0-9a-f]+, "
                                           "Context=0x[0-9a-f]+\\) at "
                                           "/BoardDrivers/(BoardSlotService/SlotRecords\\.cpp):"
                                           "([0-9]+)\n([0-9]+)\t([^\n]*)\n")))
      << gdb.out;
  EXPECT_EQ(stop[2], stop[3]);
  EXPECT_EQ(stop[4].str(), SourceLine(stop[1], std::stoi(stop[2])));
  EXPECT_NE(gdb.out.find("\n#0  SmbiosSlotNotify (Event="), std::string::npos) << gdb.out;
  EXPECT_NE(gdb.out.find(") at /BoardDrivers/BoardSlotService/SlotRecords.cpp:" + stop[2].str() +
                         "\n#1 "),
            std::string::npos)
      << gdb.out;

  // The driver's globals, read from the image in memory at the address gdb worked out: a table
  // of its constant data, and the system table pointer its entry point kept.
  std::string slots;
  for (UINT8 index : kExpansionSlotIndexes)
    slots += (slots.empty() ? "" : ", ") + std::to_string(index);
  EXPECT_NE(gdb.out.find("$1 = {" + slots + "}"), std::string::npos) << gdb.out;
  EXPECT_NE(gdb.out.find("$2 = 0x5453595320494249"), std::string::npos) << gdb.out;  // "IBI SYST"

  // Released, the boot ends with its report, the load addresses gdb was given in it.
  EXPECT_EQ(boardsim.Wait(120), 0) << ReadText(output);
  const std::string report = ReadText(output);
  std::smatch loaded;
  ASSERT_TRUE(std::regex_search(report, loaded,
                                std::regex("boardsim: BoardSlotService loaded at (0x[0-9A-F]+)\n")))
      << report;
  std::string base = loaded[1].str();
  for (char &c : base) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(gdb.out.find("BoardSlotService loaded at " + base), std::string::npos);
  EXPECT_NE(report.find("  BoardSlotService: loaded at " + loaded[1].str()), std::string::npos)
      << report;
  EXPECT_TRUE(test::HasRow(report, "172 - 0x22B000")) << report;
}

TEST(FirmwareDebugTest, KeptRunWithOvmfAndQemuArgsReportsInTheEmulatorsWords) {
  test::TempFolder dir;
  // A comma in the folder's name: QEMU reads its option values with commas doubled.
  const std::string run = dir / "kept,run";
  // Debian's OVMF named explicitly, and an argument QEMU must see: a name for the machine.
  test::CommandRun boot = test::Boardsim(
      "--firmware --keep '" + run +
      "' --ovmf /usr/share/OVMF/OVMF_CODE_4M.fd --qemu-arg -name --qemu-arg 'board drivers test'");
  ASSERT_EQ(boot.status, 0) << boot.out;
  EXPECT_NE(boot.out.find("Real firmware: OVMF under QEMU (OVMF_CODE_4M.fd)"), std::string::npos)
      << boot.out;
  EXPECT_NE(boot.out.find("boardsim: the run's files are in " + run + "\n"), std::string::npos);
  for (const char *kept : {"boot.img", "vars.fd", "report.log", "firmware.log", "qemu.out",
                           "qemu-command.sh", "scenario.bin"}) {
    EXPECT_EQ(access((run + "/" + kept).c_str(), R_OK), 0) << kept;
  }
  const std::string command = ReadText(run + "/qemu-command.sh");
  EXPECT_NE(command.find(" '-name' 'board drivers test'"), std::string::npos) << command;
  EXPECT_NE(command.find("file=/usr/share/OVMF/OVMF_CODE_4M.fd'"), std::string::npos) << command;
  EXPECT_NE(ReadText(run + "/report.log").find("== end\n"), std::string::npos);

  // The dispatch told with the emulated report's status names, not the application's codes.
  for (const char *line : {
           "  BoardDrivers.fv handed to ProcessFirmwareVolume: EFI_SUCCESS\n",
           "  Dispatch with no board protocol installed: EFI_NOT_FOUND, no driver started\n",
           "  Dispatch with the board information protocol: EFI_NOT_FOUND, no driver started\n",
           "  Dispatch with the register access protocol too: EFI_SUCCESS, BoardSlotService and "
           "MenuPruner started\n",
       }) {
    EXPECT_NE(boot.out.find(line), std::string::npos) << line << boot.out;
  }
  EXPECT_TRUE(test::HasRow(boot.out, "BoardSlotService EFI_SUCCESS resident")) << boot.out;
  for (const char *internal :
       {"0x8000", "dispatch-with", "process-firmware-volume", "started-from", "init-notify"}) {
    EXPECT_EQ(boot.out.find(internal), std::string::npos) << internal << "\n" << boot.out;
  }

  // A QEMU argument QEMU refuses ends the run with QEMU's own words, and the folder keeps them.
  test::CommandRun refused =
      test::Boardsim("--firmware --keep '" + run + "' --qemu-arg -no-such-option");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("boardsim: real firmware: QEMU failed: "), std::string::npos)
      << refused.out;
  EXPECT_NE(ReadText(run + "/qemu.out").find("no-such-option"), std::string::npos);
}

}  // namespace
