#include "Interruption.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace tools {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> gSignal{0};
std::atomic<int> gDeferred{0};
char gMessage[128];  // "tool: interrupted by SIG", composed before any signal can come

// Files being written under temporary names, for the handler to remove. A slot is free (0),
// claimed while its path is copied in (1), or published (2): the handler reads published ones.
constexpr int kTemporarySlots = 16;
char gTemporary[kTemporarySlots][4096];
std::atomic<int> gTemporaryState[kTemporarySlots];

void WriteAll(int fd, const char *text, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, text, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    size -= static_cast<size_t>(written);
  }
}

// Only async-signal-safe calls here.
void OnSignal(int signal) {
  int none = 0;
  gSignal.compare_exchange_strong(none, signal);
  if (gDeferred.load() > 0) return;
  for (int i = 0; i < kTemporarySlots; ++i) {
    if (gTemporaryState[i].load() == 2) unlink(gTemporary[i]);
  }
  const char *name = signal == SIGINT ? "INT\n" : signal == SIGTERM ? "TERM\n" : "HUP\n";
  WriteAll(STDERR_FILENO, gMessage, strlen(gMessage));
  WriteAll(STDERR_FILENO, name, strlen(name));
  _exit(128 + signal);
}

}  // namespace

void HandleInterruptions(const char *tool) {
  std::snprintf(gMessage, sizeof(gMessage), "%s: interrupted by SIG", tool);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : kSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = SA_RESTART;
  for (int signal : kSignals) sigaction(signal, &action, nullptr);
}

int Interruption() { return gSignal.load(); }

std::string SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

DeferredInterruption::DeferredInterruption() { ++gDeferred; }
DeferredInterruption::~DeferredInterruption() { --gDeferred; }

TemporaryFile::TemporaryFile(const std::string &path) {
  if (path.size() >= sizeof(gTemporary[0])) return;
  for (int i = 0; i < kTemporarySlots && slot_ < 0; ++i) {
    int free = 0;
    if (!gTemporaryState[i].compare_exchange_strong(free, 1)) continue;
    std::memcpy(gTemporary[i], path.c_str(), path.size() + 1);
    gTemporaryState[i].store(2);
    slot_ = i;
  }
}

TemporaryFile::~TemporaryFile() {
  if (slot_ >= 0) gTemporaryState[slot_].store(0);
}

pid_t StartChild(const ChildSpec &spec, std::string &why) {
  if (spec.argv.empty()) {
    why = "nothing to run";
    return -1;
  }
  // Everything the child needs is made before fork: after it, in a tool with threads, only
  // async-signal-safe calls are allowed.
  std::vector<char *> argv;
  for (const std::string &word : spec.argv) argv.push_back(const_cast<char *>(word.c_str()));
  argv.push_back(nullptr);
  const char *output = spec.output.empty() ? "/dev/null" : spec.output.c_str();
  const char *errors = spec.errors.empty() ? nullptr : spec.errors.c_str();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    why = std::string("cannot start ") + argv[0] + ": " + std::strerror(errno);
    return -1;
  }
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, spec.deathSignal);
    if (getppid() != parent) _exit(127);  // the tool died before the line above
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal : kSignals) sigaction(signal, &standard, nullptr);
    sigaction(SIGPIPE, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = errors != nullptr ? open(errors, O_WRONLY | O_CREAT | O_TRUNC, 0644) : out;
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  setpgid(pid, pid);  // as the child does, so a signal sent at once finds the group
  return pid;
}

ChildEnd WaitForChild(pid_t pid, int &status, std::chrono::steady_clock::time_point deadline,
                      const std::function<void(std::chrono::steady_clock::time_point &)> &onPoll,
                      std::chrono::milliseconds poll, std::chrono::milliseconds grace) {
  for (;;) {
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid || (ended < 0 && errno != EINTR)) return ChildEnd::kExited;
    if (onPoll) onPoll(deadline);
    if (Interruption() != 0) {
      StopChild(pid, grace);
      return ChildEnd::kInterrupted;
    }
    if (deadline != std::chrono::steady_clock::time_point{} &&
        std::chrono::steady_clock::now() > deadline) {
      StopChild(pid, grace);
      return ChildEnd::kTimedOut;
    }
    std::this_thread::sleep_for(poll);
  }
}

void StopChild(pid_t pid, std::chrono::milliseconds grace) {
  kill(-pid, SIGTERM);
  const auto until = std::chrono::steady_clock::now() + grace;
  int status = 0;
  while (std::chrono::steady_clock::now() < until) {
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid || (ended < 0 && errno != EINTR)) {
      kill(-pid, SIGKILL);  // anything the child left in its group
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(-pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

int RunChild(const ChildSpec &spec) {
  DeferredInterruption deferred;
  std::string why;
  const pid_t pid = StartChild(spec, why);
  if (pid < 0) return -1;
  int status = 0;
  if (WaitForChild(pid, status, {}, nullptr, std::chrono::milliseconds(20), spec.grace) !=
      ChildEnd::kExited) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tools
