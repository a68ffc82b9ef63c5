// boardsim: boots the board drivers in the emulator and reports what they did.
#include <cstdio>

#include "Boot.h"
#include "CrashReport.h"
#include "FaultReport.h"
#include "FirmwareBoot.h"
#include "Options.h"

namespace {

bool WriteFile(const std::string &path, const void *data, size_t size) {
  std::FILE *file = std::fopen(path.c_str(), "wb");
  bool written = file != nullptr && std::fwrite(data, 1, size, file) == size;
  if (file != nullptr && std::fclose(file) != 0) written = false;
  return written;
}

// The same boot in OVMF: the report tells the story in the emulator's terms, after what the
// firmware's dispatcher did with the drivers' dependency.
int BootInFirmware(const boardsim::Options &options, emu::BootResult &result) {
  fw::FirmwareBoot boot = fw::BootInFirmware(options.board);
  if (!options.firmwareLog.empty() &&
      !WriteFile(options.firmwareLog, boot.run.debugLog.data(), boot.run.debugLog.size())) {
    std::fprintf(stderr, "boardsim: cannot write the log to '%s'\n", options.firmwareLog.c_str());
    return 2;
  }
  if (!boot.ok) {
    std::fprintf(stderr, "boardsim: real firmware: %s\n", boot.error.c_str());
    return boot.run.missingTool ? 2 : 1;
  }
  if (options.json != "-") {
    std::printf(
        "Real firmware (OVMF under QEMU, %.1f s): root ports are QEMU's, the endpoints\n"
        "are stood in for by the register access protocol\n%s\n",
        boot.run.seconds, boot.dispatch.c_str());
  }
  if (!options.firmwareBoard.empty() &&
      !WriteFile(options.firmwareBoard, boot.seenText.data(), boot.seenText.size())) {
    std::fprintf(stderr, "boardsim: cannot write the board to '%s'\n",
                 options.firmwareBoard.c_str());
    return 2;
  }
  result = boot.result;
  return 0;
}

}  // namespace

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
  if (options.listFaults) {
    std::fputs(boardsim::FaultList().c_str(), stdout);
    return 0;
  }
  if (options.printBoard) {
    std::fputs(emu::FormatBoardText(options.board).c_str(), stdout);
    return 0;
  }
  // The report lists the platform's findings; nothing else goes to stderr.
  emu::SetViolationHandler([](const std::string &) {});
  boardsim::ReportCrashes();
  emu::BootResult result;
  if (options.firmware) {
    if (int status = BootInFirmware(options, result); status != 0) return status;
  } else {
    result = emu::RunBoot(options.board);
  }
  // A fault on a call that must not fail makes the boot meaningless: refuse it, report nothing.
  if (std::vector<std::string> refused = boardsim::RefusedFaults(result); !refused.empty()) {
    std::fprintf(stderr, "boardsim: %s\n", refused.front().c_str());
    return 2;
  }
  if (options.json == "-") {
    std::fputs(emu::FormatJsonReport(result, options.trace).c_str(), stdout);
  } else {
    std::fputs(emu::FormatReport(result).c_str(), stdout);
    if (options.trace) std::fputs(("\n" + emu::FormatTrace(result)).c_str(), stdout);
  }
  std::fflush(stdout);
  for (const std::string &line : boardsim::UnmatchedFaults(result)) {
    std::fprintf(stderr, "boardsim: warning: %s\n", line.c_str());
  }
  if (!options.smbiosDump.empty()) {
    std::vector<uint8_t> dump = result.smbiosAfter.DumpImage();
    if (!WriteFile(options.smbiosDump, dump.data(), dump.size())) {
      std::fprintf(stderr, "boardsim: cannot write the SMBIOS dump to '%s'\n",
                   emu::EchoText(options.smbiosDump).c_str());
      return 2;
    }
  }
  if (!options.json.empty() && options.json != "-") {
    std::string json = emu::FormatJsonReport(result, options.trace);
    if (!WriteFile(options.json, json.data(), json.size())) {
      std::fprintf(stderr, "boardsim: cannot write the JSON report to '%s'\n",
                   emu::EchoText(options.json).c_str());
      return 2;
    }
  }
  return result.violations.empty() ? 0 : 1;
}
