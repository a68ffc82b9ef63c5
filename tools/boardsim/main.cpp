// boardsim: boots the board drivers in the emulator and reports what they did.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Boot.h"
#include "CrashReport.h"
#include "FaultReport.h"
#include "FirmwareBoot.h"
#include "FirmwareDebug.h"
#include "FirmwareReport.h"
#include "Options.h"

namespace {

bool WriteFile(const std::string &path, const void *data, size_t size) {
  std::FILE *file = std::fopen(path.c_str(), "wb");
  bool written = file != nullptr && std::fwrite(data, 1, size, file) == size;
  if (file != nullptr && std::fclose(file) != 0) written = false;
  return written;
}

// The folder a firmware run keeps: the one given, created if missing, or (for gdb) a new one.
bool KeptFolder(const boardsim::Options &options, std::string &dir) {
  dir = options.keep;
  if (dir.empty()) {
    char pattern[] = "/tmp/boardsim-gdb.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    dir = pattern;
    return true;
  }
  struct stat info;
  return (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) && stat(dir.c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

// The same boot in OVMF: the report tells the story in the emulator's terms, after what the
// firmware's dispatcher did with the drivers' dependency.
int BootInFirmware(const boardsim::Options &options, emu::BootResult &result) {
  fw::RunRequest request;
  std::string why;
  if (!options.ovmf.empty() &&
      !fw::ResolveOvmf(options.ovmf, request.flashImage, request.flashVars, why)) {
    std::fprintf(stderr, "boardsim: --ovmf: %s\n", why.c_str());
    return 2;
  }
  request.extraQemuArgs = options.qemuArgs;
  if ((!options.keep.empty() || options.gdb) && !KeptFolder(options, request.workDir)) {
    std::fprintf(stderr, "boardsim: cannot make the folder '%s'\n", options.keep.c_str());
    return 2;
  }
  if (options.gdb &&
      !fw::HoldForGdb(
          request,
          [](const std::string &notice) { std::fprintf(stderr, "boardsim: %s\n", notice.c_str()); },
          why)) {
    std::fprintf(stderr, "boardsim: --gdb: %s\n", why.c_str());
    return 1;
  }
  fw::FirmwareBoot boot = fw::BootInFirmware(options.board, request);
  if (!request.workDir.empty()) {
    std::fprintf(stderr, "boardsim: the run's files are in %s\n", request.workDir.c_str());
  }
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
    std::printf("%s\n", fw::FormatFirmwareDispatch(boot).c_str());
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
