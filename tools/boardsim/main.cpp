// boardsim: boots the board drivers in the emulator and reports what they did.
#include <cstdio>

#include "Boot.h"
#include "Options.h"

int main(int argc, char **argv) {
  boardsim::Options options;
  std::string error;
  if (!boardsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "boardsim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(boardsim::kUsage, stdout);
    return 0;
  }
  if (options.printBoard) {
    std::fputs(emu::FormatBoardText(options.board).c_str(), stdout);
    return 0;
  }
  // The report lists the platform's findings; nothing else goes to stderr.
  emu::SetViolationHandler([](const std::string &) {});
  emu::BootResult result = emu::RunBoot(options.board);
  std::fputs(emu::FormatReport(result).c_str(), stdout);
  return result.violations.empty() ? 0 : 1;
}
