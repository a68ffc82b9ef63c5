#include "CrashReport.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "Platform.h"

namespace boardsim {

namespace {

// A stack of its own: a crash may come from a stack that has none left.
alignas(16) char gCrashStack[256 * 1024];

void Write(const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The platform's state is read as the crash left it. That is not async-signal-safe, but the
// process ends here anyway; SA_RESETHAND makes a second fault end it at once.
void OnCrash(int signal, siginfo_t *info, void *context) {
  const void *pc = nullptr;
#if defined(__x86_64__)
  pc = reinterpret_cast<const void *>(
      static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP]);
#else
  (void)context;
#endif
  std::string what = emu::DescribeCrash(pc);
  if (what.empty()) what = "crashed outside any boot";
  const char *name = sigabbrev_np(signal);
  Write("boardsim: " + what + " (SIG" + (name != nullptr ? name : "?") + " at address " +
        emu::Hex(reinterpret_cast<uintptr_t>(info->si_addr)) + ")\n");
  _exit(1);
}

}  // namespace

void ReportCrashes() {
  stack_t stack{};
  stack.ss_sp = gCrashStack;
  stack.ss_size = sizeof(gCrashStack);
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_sigaction = OnCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigaction(signal, &action, nullptr);
}

}  // namespace boardsim
