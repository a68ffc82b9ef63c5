// A firmware run stopped part way leaves nothing behind: SIGINT, SIGTERM or SIGHUP to boardsim
// mid-boot stops its QEMU and removes the run's folder, a boot held for gdb ends at its time
// limit, the differential tool stops its boardsim children, and QEMU dies with a boardsim that
// is killed outright. Each run gets a TMPDIR of its own, which must be empty afterwards.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "Tests.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The processes whose command line names `text`: a run's QEMU and boardsim children name
// folders under the run's TMPDIR.
std::vector<pid_t> ProcessesNaming(const std::string &text) {
  std::vector<pid_t> found;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent *entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0 || pid == getpid()) continue;
    std::string line = ReadText("/proc/" + std::string(entry->d_name) + "/cmdline");
    if (line.find(text) != std::string::npos) found.push_back(pid);
  }
  closedir(proc);
  return found;
}

bool QemuNaming(const std::string &text) {
  for (pid_t pid : ProcessesNaming(text)) {
    if (ReadText("/proc/" + std::to_string(pid) + "/cmdline").rfind("qemu-system", 0) == 0) {
      return true;
    }
  }
  return false;
}

// A tool started with TMPDIR set to a folder of the test's, its output in a file.
class Started {
 public:
  Started(const std::vector<std::string> &argv, const std::string &tmp, const std::string &output)
      : tmp_(tmp) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      setenv("TMPDIR", tmp.c_str(), 1);
      std::freopen(output.c_str(), "w", stdout);
      dup2(STDOUT_FILENO, STDERR_FILENO);
      std::vector<char *> words;
      for (const std::string &word : argv) words.push_back(const_cast<char *>(word.c_str()));
      words.push_back(nullptr);
      execv(words[0], words.data());
      _exit(127);
    }
  }
  // Whatever is left of it and its children, so that a failed test leaves nothing running.
  ~Started() {
    if (pid_ > 0) kill(-pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    for (pid_t pid : ProcessesNaming(tmp_)) kill(pid, SIGKILL);
  }
  pid_t pid() const { return pid_; }
  // The exit status (128 + the signal for one that killed it), or -1 after `seconds`.
  int Wait(int seconds) {
    for (auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  std::string tmp_;
};

bool WaitUntil(const std::function<bool()> &done, int seconds) {
  for (auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

TEST(InterruptionTest, StoppedRunsLeaveNoQemuAndNoFolder) {
  const std::string boardsim = BOARDSIM_PATH, differential = DIFFERENTIAL_PATH;
  struct Row {
    std::vector<std::string> argv;
    int signal;  // sent once QEMU runs; 0: none, the run ends by itself
    int status;
    std::vector<std::string> said;  // lines of its output
    bool folderStays;               // SIGKILL: no program can tidy up after it
  } rows[] = {
      {{boardsim, "--firmware"},
       SIGINT,
       130,
       {"boardsim: interrupted by SIGINT; QEMU is stopped and its folder removed"},
       false},
      {{boardsim, "--firmware"}, SIGTERM, 143, {"boardsim: interrupted by SIGTERM"}, false},
      {{boardsim, "--firmware"}, SIGHUP, 129, {"boardsim: interrupted by SIGHUP"}, false},
      // Before: QEMU spun at 100% of a core for as long as nobody attached.
      {{boardsim, "--firmware", "--gdb", "--gdb-wait", "2"},
       0,
       1,
       {"boardsim: real firmware: gdb did not attach and continue within 2 s (--gdb-wait); QEMU "
        "is stopped"},
       false},
      // Before: SIGTERM orphaned boardsim and QEMU, and Ctrl-C was taken as a difference.
      {{differential, "--boards", "3", "--seed", "1", "--jobs", "1"},
       SIGTERM,
       143,
       {"0 boards, 0 differences",
        "differential: interrupted by SIGTERM after 0 of 3 boards; its folder is removed"},
       false},
      {{differential, "--boards", "3", "--seed", "1", "--jobs", "2"},
       SIGINT,
       130,
       {"0 boards, 0 differences",
        "differential: interrupted by SIGINT after 0 of 3 boards; its folder is removed"},
       false},
      {{boardsim, "--firmware"}, SIGKILL, 128 + SIGKILL, {}, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.argv.back() + " " + std::to_string(row.signal));
    test::TempFolder tmp, out;
    Started run(row.argv, tmp.path(), out / "output.txt");
    ASSERT_TRUE(WaitUntil([&] { return QemuNaming(tmp.path()); }, 180))
        << ReadText(out / "output.txt");
    if (row.signal != 0) {
      std::this_thread::sleep_for(std::chrono::seconds(1));  // well into the boot
      kill(run.pid(), row.signal);
    }
    EXPECT_EQ(run.Wait(60), row.status) << ReadText(out / "output.txt");
    // Reaped children may linger a moment in /proc.
    EXPECT_TRUE(WaitUntil([&] { return ProcessesNaming(tmp.path()).empty(); }, 10));
    const std::string said = ReadText(out / "output.txt");
    for (const std::string &line : row.said) {
      EXPECT_NE(said.find(line), std::string::npos) << said;
    }
    if (!row.folderStays) {
      EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << said;
    }
  }
}

}  // namespace
