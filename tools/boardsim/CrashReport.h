// A driver that crashes in the emulator ends boardsim with one line on where it crashed and the
// last call it made, not with a bare signal.
#ifndef TOOLS_BOARDSIM_CRASH_REPORT_H_
#define TOOLS_BOARDSIM_CRASH_REPORT_H_

namespace boardsim {

// Installs the handler for the signals a crash raises (SIGSEGV, SIGBUS, SIGILL, SIGFPE): it
// writes the line to stderr and exits with status 1.
void ReportCrashes();

}  // namespace boardsim

#endif  // TOOLS_BOARDSIM_CRASH_REPORT_H_
