// The exit statuses every tool of ours ends with, so that scripts and CI read them alike.
#ifndef TOOLS_COMMON_EXIT_STATUS_H_
#define TOOLS_COMMON_EXIT_STATUS_H_

namespace tools {

constexpr int kExitDone = 0;      // the work is done and found nothing wrong
constexpr int kExitFound = 1;     // the work found a failure or a difference
constexpr int kExitRefused = 2;   // bad input or usage, or an output that cannot be written
constexpr int kExitSignal = 128;  // interrupted: 128 + the signal (130 SIGINT, 143 SIGTERM)

}  // namespace tools

#endif  // TOOLS_COMMON_EXIT_STATUS_H_
