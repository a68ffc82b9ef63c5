#include "Tests.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace test {

std::vector<std::vector<uint64_t>> ArgsOf(const std::vector<emu::CallRecord> &calls,
                                          const std::string &member) {
  std::vector<std::vector<uint64_t>> out;
  for (const emu::CallRecord &call : calls) {
    if (call.member == member) out.push_back(call.args);
  }
  return out;
}

std::vector<uint64_t> FirstArgsOf(const std::vector<emu::CallRecord> &calls,
                                  const std::string &member) {
  std::vector<uint64_t> out;
  for (const auto &args : ArgsOf(calls, member)) out.push_back(args.empty() ? 0 : args[0]);
  return out;
}

size_t CountOf(const std::vector<emu::CallRecord> &calls, const std::string &member) {
  return ArgsOf(calls, member).size();
}

std::vector<emu::CallRecord> CallsBy(const std::vector<emu::CallRecord> &calls,
                                     const std::string &image) {
  std::vector<emu::CallRecord> out;
  for (const emu::CallRecord &call : calls) {
    if (call.image == image) out.push_back(call);
  }
  return out;
}

std::vector<std::string> EntryPointSteps(const std::vector<emu::CallRecord> &calls,
                                         const std::string &image) {
  std::vector<std::string> steps;
  for (const emu::CallRecord &call : calls) {
    if (call.image != image || call.during != image + "EntryPoint") continue;
    std::string step = call.member + (call.what.empty() ? "" : " " + call.what);
    if (call.member == "BoardInfo.QueryBoardByte" || call.member == "BoardInfo.GetSlotLocation" ||
        call.member == "BoardInfo.SetSlotLocation") {
      step = "slot walk";
    }
    if (steps.empty() || steps.back() != step || step != "slot walk") steps.push_back(step);
  }
  return steps;
}

CommandRun Run(const std::string &command) {
  CommandRun run;
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) run.out.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

CommandRun Boardsim(const std::string &args) {
  return Run(std::string(BOARDSIM_PATH) + " " + args);
}

namespace {

std::vector<std::string> Tokens(const std::string &line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

bool HasRow(const std::string &text, const std::string &row) {
  const std::vector<std::string> wanted = Tokens(row);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> words = Tokens(line);
    if (!wanted.empty() &&
        std::search(words.begin(), words.end(), wanted.begin(), wanted.end()) != words.end()) {
      return true;
    }
  }
  return false;
}

void ExpectRefusedInOneLine(const CommandRun &run, const std::string &part) {
  EXPECT_EQ(run.status, 2) << run.out;
  EXPECT_EQ(run.out.rfind("boardsim: ", 0), 0u) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
  EXPECT_TRUE(std::all_of(run.out.begin(), run.out.end(), [](char c) {
    return c == '\n' || (c >= 0x20 && c < 0x7F);
  })) << run.out;
  EXPECT_LT(run.out.size(), 400u) << run.out.substr(0, 400);
  EXPECT_NE(run.out.find(part), std::string::npos) << run.out.substr(0, 400);
}

std::string Quote(const std::string &word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

TempFolder::TempFolder() {
  std::string base = testing::TempDir();
  if (!base.empty() && base.back() == '/') base.pop_back();
  std::string pattern = base + "/boardtest.XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  EXPECT_FALSE(path_.empty()) << "cannot make a folder under " << testing::TempDir();
}

TempFolder::~TempFolder() {
  if (!path_.empty()) Run("rm -rf " + Quote(path_));
}

emu::BoardDescription BoardWithKvrn(uint8_t kvrnConfig) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, kvrnConfig);
  for (uint8_t index : kExpansionSlotIndexes) board.slots.erase(index);
  return board;
}

ExpectViolation::ExpectViolation(std::string part)
    : part_(std::move(part)), collector_(seen_, /*forward=*/false) {}

ExpectViolation::~ExpectViolation() {
  bool found = false;
  for (const std::string &what : seen_) found = found || what.find(part_) != std::string::npos;
  EXPECT_TRUE(found) << "expected a platform violation mentioning '" << part_ << "'";
}

}  // namespace test
