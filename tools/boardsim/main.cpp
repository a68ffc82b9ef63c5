// boardsim: boots the board drivers in the emulator and reports what they did.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Boot.h"
#include "CrashReport.h"
#include "ExitStatus.h"
#include "FaultReport.h"
#include "FirmwareBoot.h"
#include "FirmwareDebug.h"
#include "FirmwareReport.h"
#include "Interruption.h"
#include "Options.h"
#include "OutputFile.h"

namespace {

bool gRefused = false;  // a refusal is said once, even when standard output fails after it

int Refuse(const std::string &line) {
  std::fprintf(stderr, "boardsim: %s\n", line.c_str());
  gRefused = true;
  return tools::kExitRefused;
}

// Writes one output the options named; false after saying why.
bool WriteOutput(const std::string &what, const std::string &path, std::string_view bytes) {
  std::string why = tools::WriteOutputFile(path, bytes);
  if (why.empty()) return true;
  if (tools::IsStandardOutput(path)) {
    Refuse(why);
  } else {
    Refuse("cannot write " + what + " to '" + emu::EchoText(path) + "': " + why);
  }
  return false;
}

// Standard output, checked: a report that did not arrive whole is a failure.
int Finish(int status) {
  if (std::string why = tools::FinishStandardOutput(); !why.empty() && !gRefused) {
    return Refuse(why);
  }
  return status;
}

// The folder a firmware run keeps: the one given, created if missing, or (for gdb) a new one
// under the temporary directory, which `made` then names.
bool KeptFolder(const boardsim::Options &options, std::string &dir, std::string &made) {
  dir = options.keep;
  if (dir.empty()) {
    std::string pattern = tools::TemporaryFolderBase() + "/boardsim-gdb.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return false;
    dir = made = pattern;
    return true;
  }
  struct stat info;
  return (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) && stat(dir.c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode);
}

// The same boot in OVMF: the report tells the story in the emulator's terms, after what the
// firmware's dispatcher did with the drivers' dependency. `report` is false when an output
// takes standard output's place.
int BootInFirmware(const boardsim::Options &options, bool report, emu::BootResult &result) {
  fw::RunRequest request;
  std::string why;
  if (!options.ovmf.empty() &&
      !fw::ResolveOvmf(options.ovmf, request.flashImage, request.flashVars, why)) {
    return Refuse("--ovmf: " + why);
  }
  request.extraQemuArgs = options.qemuArgs;
  if (options.debugImages) {
    if (!fw::StatusCodeVolume(request.statusCodeVolume, why)) {
      return Refuse("--debug-images: " + why);
    }
    request.driverVolume = fw::DriverPackage(true);
    request.symbolDir = fw::DriverFolder(true);
    request.debugImages = true;
  }
  // The folder of a --gdb run without --keep: its script serves only while QEMU runs, so it goes
  // when the run ends, however it ends.
  std::string made;
  if ((!options.keep.empty() || options.gdb) && !KeptFolder(options, request.workDir, made)) {
    return Refuse("cannot make the folder '" + emu::EchoText(options.keep) + "'");
  }
  auto removeMade = [&made] {
    std::error_code ignored;
    if (!made.empty()) std::filesystem::remove_all(made, ignored);
  };
  if (options.gdb &&
      !fw::HoldForGdb(
          request, options.gdbWaitSeconds,
          [](const std::string &notice) { std::fprintf(stderr, "boardsim: %s\n", notice.c_str()); },
          why)) {
    removeMade();
    std::fprintf(stderr, "boardsim: --gdb: %s\n", why.c_str());
    return tools::kExitFound;
  }
  fw::FirmwareBoot boot = fw::BootInFirmware(options.board, request);
  if (int signal = tools::Interruption(); signal != 0) {
    removeMade();
    std::fprintf(stderr, "boardsim: interrupted by %s; QEMU is stopped%s\n",
                 tools::SignalName(signal).c_str(),
                 options.keep.empty() ? " and its folder removed"
                                      : ("; the run's files are in " + options.keep).c_str());
    return tools::kExitSignal + signal;
  }
  removeMade();
  if (!options.keep.empty()) {
    std::fprintf(stderr, "boardsim: the run's files are in %s\n", request.workDir.c_str());
  }
  if (!options.firmwareLog.empty() &&
      !WriteOutput("the log", options.firmwareLog, boot.run.debugLog)) {
    return tools::kExitRefused;
  }
  if (!boot.ok) {
    std::fprintf(stderr, "boardsim: real firmware: %s\n", boot.error.c_str());
    return boot.run.missingTool || boot.boardRefused ? tools::kExitRefused : tools::kExitFound;
  }
  if (report) std::printf("%s\n", fw::FormatFirmwareDispatch(boot).c_str());
  if (!options.firmwareBoard.empty() &&
      !WriteOutput("the board", options.firmwareBoard, boot.seenText)) {
    return tools::kExitRefused;
  }
  result = boot.result;
  return tools::kExitDone;
}

}  // namespace

int main(int argc, char **argv) {
  tools::HandleInterruptions("boardsim");
  boardsim::Options options;
  std::string error;
  if (!boardsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    return Refuse(error);
  }
  if (options.help) {
    std::fputs(boardsim::Usage().c_str(), stdout);
    return Finish(tools::kExitDone);
  }
  if (options.listFaults) {
    std::fputs(boardsim::FaultList().c_str(), stdout);
    return Finish(tools::kExitDone);
  }
  if (options.printBoard) {
    std::fputs(emu::FormatBoardText(options.board).c_str(), stdout);
    return Finish(tools::kExitDone);
  }
  // An output sent to standard output takes the text report's place.
  bool report = true;
  for (const std::string *path :
       {&options.json, &options.smbiosDump, &options.firmwareBoard, &options.firmwareLog}) {
    report = report && !tools::IsStandardOutput(*path);
  }
  // The report lists the platform's findings; nothing else goes to stderr.
  emu::SetViolationHandler([](const std::string &) {});
  boardsim::ReportCrashes();
  emu::BootResult result;
  if (options.firmware) {
    if (int status = BootInFirmware(options, report, result); status != tools::kExitDone) {
      return Finish(status);
    }
  } else {
    emu::BootPlan plan;
    plan.images = options.debugImages ? emu::ImageBuild::kDebug : emu::ImageBuild::kRelease;
    result = emu::RunBoot(options.board, plan);
  }
  // A fault on a call that must not fail makes the boot meaningless: refuse it, report nothing.
  if (std::vector<std::string> refused = boardsim::RefusedFaults(result); !refused.empty()) {
    return Finish(Refuse(refused.front()));
  }
  if (report) {
    std::fputs(emu::FormatReport(result).c_str(), stdout);
    if (options.trace) std::fputs(("\n" + emu::FormatTrace(result)).c_str(), stdout);
  }
  std::fflush(stdout);  // the warnings after the report, not inside it (Finish checks it)
  for (const std::string &line : boardsim::UnmatchedFaults(result)) {
    std::fprintf(stderr, "boardsim: warning: %s\n", line.c_str());
  }
  if (!options.smbiosDump.empty()) {
    std::vector<uint8_t> dump = result.smbiosAfter.DumpImage();
    if (!WriteOutput("the SMBIOS dump", options.smbiosDump,
                     std::string_view(reinterpret_cast<const char *>(dump.data()), dump.size()))) {
      return Finish(tools::kExitRefused);
    }
  }
  if (!options.json.empty() &&
      !WriteOutput("the JSON report", options.json, emu::FormatJsonReport(result, options.trace))) {
    return Finish(tools::kExitRefused);
  }
  return Finish(result.violations.empty() ? tools::kExitDone : tools::kExitFound);
}
