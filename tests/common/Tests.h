// Helpers shared by the test suites: a test reads as "describe the board, boot, look at what
// changed".
#ifndef TESTS_COMMON_TESTS_H_
#define TESTS_COMMON_TESTS_H_

#include <string>
#include <vector>

#include "Boot.h"
#include "Platform.h"

namespace test {

// The arguments of every call to `member`, in call order.
std::vector<std::vector<uint64_t>> ArgsOf(const std::vector<emu::CallRecord> &calls,
                                          const std::string &member);
// The first argument of every call to `member`, in call order.
std::vector<uint64_t> FirstArgsOf(const std::vector<emu::CallRecord> &calls,
                                  const std::string &member);
size_t CountOf(const std::vector<emu::CallRecord> &calls, const std::string &member);
// Calls made by the code of one image.
std::vector<emu::CallRecord> CallsBy(const std::vector<emu::CallRecord> &calls,
                                     const std::string &image);

// What an image's entry point did, step by step: each call as its member and what it names
// ("BS.CreateEvent SmbiosSlotNotify"), with each run of board information calls (the KVRN port
// placement) shown once as "slot walk".
std::vector<std::string> EntryPointSteps(const std::vector<emu::CallRecord> &calls,
                                         const std::string &image);

// A shell command's exit status and its output, stdout and stderr together.
struct CommandRun {
  int status = -1;
  std::string out;
};
CommandRun Run(const std::string &command);
// boardsim as a user runs it.
CommandRun Boardsim(const std::string &args);
// Whether some line of `text` holds the words of `row` one after the other, however the
// columns are spaced: reports are matched on their tokens, not their layout.
bool HasRow(const std::string &text, const std::string &row);

// Expects boardsim's refusal: exit status 2 and one short, printable line that starts
// "boardsim: " and holds `part`.
void ExpectRefusedInOneLine(const CommandRun &run, const std::string &part);

// A word for the shell, in single quotes.
std::string Quote(const std::string &word);

// A folder of its own under the test temporary folder, removed with everything in it: tests
// that write files write them here, so two runs of a suite can go side by side.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A board with no slot taken and every KVRN bit as given; the rest as the default board.
emu::BoardDescription BoardWithKvrn(uint8_t kvrnConfig);

// Expects the reported violations to contain one whose text holds `part`, and swallows them.
class ExpectViolation {
 public:
  explicit ExpectViolation(std::string part);
  ~ExpectViolation();

 private:
  std::string part_;
  std::vector<std::string> seen_;
  emu::ViolationCollector collector_;
};

}  // namespace test

#endif  // TESTS_COMMON_TESTS_H_
