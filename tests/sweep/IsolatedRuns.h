// Runs test work in child processes, so that a crash or a hang of the code under test ends one
// child and is reported as that child's outcome instead of ending the test program.
#ifndef TESTS_SWEEP_ISOLATED_RUNS_H_
#define TESTS_SWEEP_ISOLATED_RUNS_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace sweep {

struct IsolatedOutcome {
  enum class End { kFinished, kCrashed, kHung };
  End end = End::kFinished;
  std::string how;                    // for a crash: the signal or exit status
  std::vector<std::string> findings;  // what the run reported wrong; empty when all was well
};

// A run: does its work and returns its findings. It runs in a child process and must not use
// the test framework's assertions (they would stay in the child).
using IsolatedRun = std::function<std::vector<std::string>(size_t index)>;

// Runs run(0) ... run(count - 1), each in a child process of its own, at most `parallel` at a
// time. A child still running after `limit` is killed and counted as hung.
std::vector<IsolatedOutcome> RunIsolated(size_t count, const IsolatedRun &run, unsigned parallel,
                                         std::chrono::milliseconds limit);

}  // namespace sweep

#endif  // TESTS_SWEEP_ISOLATED_RUNS_H_
