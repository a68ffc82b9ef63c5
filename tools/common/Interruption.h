// Ctrl-C, SIGTERM and SIGHUP, and the child processes a tool runs. A signal ends a tool with
// 128 + its number (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP) and leaves nothing behind:
// no child running, no temporary file or folder. Each child runs in a process group of its own
// (so Ctrl-C at the terminal reaches only the tool, which stops its children in order) and dies
// with the tool (PR_SET_PDEATHSIG), even when the tool itself is killed outright.
#ifndef TOOLS_COMMON_INTERRUPTION_H_
#define TOOLS_COMMON_INTERRUPTION_H_

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace tools {

// Installs the handlers; `tool` names the one line a signal prints ("boardsim: interrupted by
// SIGINT"). Outside a DeferredInterruption the handler removes the temporary file being written
// (TemporaryFile) and ends the tool at once.
void HandleInterruptions(const char *tool);

// The signal that interrupted the run, or 0.
int Interruption();
// "SIGINT", "SIGTERM", "SIGHUP".
std::string SignalName(int signal);

// While one lives, a signal is only recorded: the code it guards has children or folders to put
// away and checks Interruption() at each step (RunChild and WaitForChild do).
class DeferredInterruption {
 public:
  DeferredInterruption();
  ~DeferredInterruption();
  DeferredInterruption(const DeferredInterruption &) = delete;
  DeferredInterruption &operator=(const DeferredInterruption &) = delete;
};

// A file being written under a temporary name: a signal that ends the tool removes it.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string &path);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile &) = delete;
  TemporaryFile &operator=(const TemporaryFile &) = delete;

 private:
  int slot_ = -1;
};

struct ChildSpec {
  std::vector<std::string> argv;  // argv[0] is looked up on the PATH
  std::string output;             // stdout and stderr go to this file; "": /dev/null
  std::string errors;             // stderr alone goes here, when given
  int deathSignal = SIGKILL;      // what the child gets when the tool dies
  // How long a stopped child may take to end after SIGTERM before it gets SIGKILL (a boardsim
  // stops its own QEMU first).
  std::chrono::milliseconds grace = std::chrono::seconds(5);
};

// Starts a child in a process group of its own that dies with the tool. -1, with the reason,
// when it cannot be started.
pid_t StartChild(const ChildSpec &spec, std::string &why);

enum class ChildEnd { kExited, kInterrupted, kTimedOut };

// Waits for a child, checking every `poll` for an interruption, for `deadline` (when it is not
// the epoch) and with `onPoll` (which may move the deadline). On an interruption or at the
// deadline it stops the child's group (StopChild). `status` is waitpid's.
ChildEnd WaitForChild(
    pid_t pid, int &status, std::chrono::steady_clock::time_point deadline = {},
    const std::function<void(std::chrono::steady_clock::time_point &)> &onPoll = nullptr,
    std::chrono::milliseconds poll = std::chrono::milliseconds(20),
    std::chrono::milliseconds grace = std::chrono::seconds(5));

// SIGTERM to the child's group, SIGKILL after `grace` if it has not ended; reaps the child.
void StopChild(pid_t pid, std::chrono::milliseconds grace = std::chrono::seconds(5));

// Runs a child to its end; its exit code, or -1 when it could not start, was killed by a
// signal or was stopped by an interruption (then Interruption() says which).
int RunChild(const ChildSpec &spec);

}  // namespace tools

#endif  // TOOLS_COMMON_INTERRUPTION_H_
