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
  if (!options.smbiosDump.empty()) {
    std::vector<uint8_t> dump = result.smbiosAfter.DumpImage();
    std::FILE *file = std::fopen(options.smbiosDump.c_str(), "wb");
    bool written = file != nullptr && std::fwrite(dump.data(), 1, dump.size(), file) == dump.size();
    if (file != nullptr && std::fclose(file) != 0) written = false;
    if (!written) {
      std::fprintf(stderr, "boardsim: cannot write the SMBIOS dump to '%s'\n",
                   options.smbiosDump.c_str());
      return 2;
    }
  }
  return result.violations.empty() ? 0 : 1;
}
