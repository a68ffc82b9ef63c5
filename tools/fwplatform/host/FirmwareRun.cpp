#include "FirmwareRun.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "BoardDecode.h"
#include "Interruption.h"
#include "OutputFile.h"
#include "Scenario.h"

namespace fw {

namespace {

bool Exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Checked: a scenario cut short by a full disk would boot a board nobody described.
bool WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  return tools::WriteOutputFile(
             path, std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()))
      .empty();
}

std::string SmbiosFile(const std::string &dir, size_t index) {
  return dir + "/smbios-" + std::to_string(index) + ".bin";
}

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string ReadText(const std::string &path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// One word for the shell, whatever it holds.
std::string Quote(const std::string &word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a program, quietly, as a child that stops with us; true when it exits 0.
bool Run(const std::vector<std::string> &argv) {
  tools::ChildSpec child;
  child.argv = argv;
  return tools::RunChild(child) == 0;
}

// A value inside one of QEMU's comma-separated options (file=..., path=...): QEMU reads a
// doubled comma as one, so a folder named "run,1" stays one path.
std::string QemuValue(const std::string &text) {
  std::string escaped;
  for (char c : text) escaped += c == ',' ? std::string(",,") : std::string(1, c);
  return escaped;
}

struct Ovmf {
  std::string code, vars;
};

// An executable of that name in a folder of the PATH.
bool OnPath(const std::string &program) {
  const char *path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Debian's OVMF, 4 MiB flash layout first.
bool FindOvmf(Ovmf &ovmf) {
  for (const auto &[code, vars] :
       {std::pair{"/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"},
        std::pair{"/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/OVMF/OVMF_VARS.fd"}}) {
    if (Exists(code) && Exists(vars)) {
      ovmf = {code, vars};
      return true;
    }
  }
  return false;
}

// The run's folder: the one asked for (created if missing, our files in it replaced), or a
// temporary one under $TMPDIR. Absolute, so that QEMU never reads "name:" at its start as a
// protocol.
bool MakeWorkDir(const RunRequest &request, std::string &dir) {
  if (request.workDir.empty()) {
    std::string pattern = tools::TemporaryFolderBase() + "/fwrun.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return false;
    dir = std::filesystem::absolute(pattern).string();
    return true;
  }
  dir = request.workDir;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  dir = std::filesystem::absolute(dir).lexically_normal().string();
  for (const char *name :
       {"boot.img", "vars.fd", kReportLog, kFirmwareLog, kQemuOutput, kSerialLog}) {
    std::remove((dir + "/" + name).c_str());
  }
  return true;
}

// The boot volume: a raw FAT image, so files the guest writes come back intact, unlike QEMU's
// fat:rw: directory.
bool MakeBootVolume(const RunRequest &request, const std::string &dir) {
  const std::string disk = dir + "/boot.img";
  bool made = Run({"mformat", "-C", "-T", "65536", "-v", "BOARDSIM", "-i", disk, "::"}) &&
              Run({"mmd", "-i", disk, "::/EFI", "::/EFI/BOOT"}) &&
              Run({"mcopy", "-i", disk, FwPlatformImage(), "::/EFI/BOOT/BOOTX64.EFI"}) &&
              (request.driverVolume.empty() ||
               Run({"mcopy", "-i", disk, request.driverVolume, "::/BoardDrivers.fv"})) &&
              (request.statusCodeVolume.empty() ||
               Run({"mcopy", "-i", disk, request.statusCodeVolume, "::/StatusCode.fv"}));
  for (const auto &[name, bytes] : request.files) {
    made = made && WriteFile(dir + "/" + name, bytes) &&
           Run({"mcopy", "-i", disk, dir + "/" + name, "::/"});
  }
  for (size_t i = 0; i < request.smbiosStructures.size(); ++i) {
    made = made && WriteFile(SmbiosFile(dir, i), request.smbiosStructures[i]);
  }
  return made;
}

std::vector<std::string> QemuCommand(const RunRequest &request, const Ovmf &ovmf,
                                     const std::string &dir) {
  const std::string code = std::filesystem::absolute(ovmf.code).string();
  char report[64], exit[64];
  std::snprintf(report, sizeof(report), "isa-debugcon,iobase=0x%X,chardev=report",
                unsigned{FW_REPORT_PORT});
  std::snprintf(exit, sizeof(exit), "isa-debug-exit,iobase=0x%X,iosize=0x04",
                unsigned{FW_EXIT_PORT});
  std::vector<std::string> command = {
      "qemu-system-x86_64",
      "-machine",
      "q35,accel=tcg",
      "-cpu",
      request.cpu,
      "-m",
      "512",
      "-smp",
      "1",
      "-nographic",
      "-display",
      "none",
      "-no-reboot",
      "-drive",
      "if=pflash,format=raw,readonly=on,file=" + QemuValue(code),
      "-drive",
      "if=pflash,format=raw,file=" + QemuValue(dir) + "/vars.fd",
      "-drive",
      "format=raw,file=" + QemuValue(dir) + "/boot.img",
      "-chardev",
      "file,id=report,path=" + QemuValue(dir) + "/" + kReportLog,
      "-device",
      report,
      "-chardev",
      "file,id=firmware,path=" + QemuValue(dir) + "/" + kFirmwareLog,
      "-device",
      "isa-debugcon,iobase=0x402,chardev=firmware",
      "-device",
      exit,
      "-net",
      "none",
      "-serial",
      "none",
      "-monitor",
      "none"};
  if (!request.statusCodeVolume.empty()) {
    char serial[80];
    std::snprintf(serial, sizeof(serial), "isa-serial,chardev=statuscode,iobase=0x%X,irq=4",
                  kStatusCodeSerialPort);
    command.insert(command.end(),
                   {"-chardev", "file,id=statuscode,path=" + QemuValue(dir) + "/" + kSerialLog,
                    "-device", serial});
  }
  for (size_t i = 0; i < request.smbiosStructures.size(); ++i) {
    command.push_back("-smbios");
    command.push_back("file=" + QemuValue(SmbiosFile(dir, i)));
  }
  if (request.gdbPort != 0) {
    command.push_back("-gdb");
    command.push_back("tcp:127.0.0.1:" + std::to_string(request.gdbPort));
  }
  command.insert(command.end(), request.qemuArgs.begin(), request.qemuArgs.end());
  command.insert(command.end(), request.extraQemuArgs.begin(), request.extraQemuArgs.end());
  return command;
}

// Hands each complete line the log has gained since the last look to `onLine`.
class LogFollower {
 public:
  LogFollower(std::string path, std::function<void(const std::string &)> onLine)
      : path_(std::move(path)), onLine_(std::move(onLine)) {}
  // `also` sees each line too (the run's own watch on the hold for gdb).
  void Poll(const std::function<void(const std::string &)> &also) {
    if (!onLine_ && !also) return;
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(read_));
    std::string more((std::istreambuf_iterator<char>(in)), {});
    read_ += more.size();
    pending_ += more;
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      if (onLine_) onLine_(pending_.substr(0, end));
      if (also) also(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
  }

 private:
  std::string path_;
  std::function<void(const std::string &)> onLine_;
  size_t read_ = 0;
  std::string pending_;
};

// Runs QEMU, its output to `output`, as a child that stops with us. Returns the exit status as
// waitpid gives it, or -1 when it could not be started, was stopped after `timeoutSeconds`
// (`timedOut`), was held for gdb longer than `holdSeconds` (`heldTooLong`) or was interrupted.
int RunQemu(const std::vector<std::string> &command, const std::string &output, int timeoutSeconds,
            int holdSeconds, LogFollower &follower, bool &timedOut, bool &heldTooLong) {
  timedOut = heldTooLong = false;
  std::string why;
  tools::ChildSpec qemu;
  qemu.argv = command;
  qemu.output = output;
  const pid_t pid = tools::StartChild(qemu, why);
  if (pid < 0) return -1;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point limit = timeoutSeconds > 0
                                      ? Clock::now() + std::chrono::seconds(timeoutSeconds)
                                      : Clock::time_point{};
  bool held = false;  // the application waits for gdb; its next line says gdb released it
  int status = 0;
  const tools::ChildEnd end = tools::WaitForChild(
      pid, status, limit,
      [&](Clock::time_point &deadline) {
        follower.Poll([&](const std::string &line) {
          if (line.rfind("hold-for-debugger", 0) == 0) {
            held = true;
            deadline = Clock::now() + std::chrono::seconds(holdSeconds);
          } else if (held) {
            held = false;
            deadline = {};  // gdb has the boot now: it runs as long as the session does
          }
        });
      },
      std::chrono::milliseconds(50));
  follower.Poll(nullptr);
  if (end == tools::ChildEnd::kTimedOut) (held ? heldTooLong : timedOut) = true;
  return end == tools::ChildEnd::kExited ? status : -1;
}

}  // namespace

std::string FwPlatformImage() { return std::string(FWPLATFORM_IMAGE); }
std::string DriverFolder(bool debugImages) {
  return std::string(FIRMWARE_DIR) + (debugImages ? "/DEBUG" : "");
}
std::string DriverPackage(bool debugImages) {
  return DriverFolder(debugImages) + "/BoardDrivers.fv";
}

bool StatusCodeVolume(std::string &path, std::string &why) {
  const std::string cache = std::string(SOURCE_DIR) + "/.cache/edk2";
  path = cache + "/status-code/StatusCode.fv";
  if (Exists(cache + "/status-code/ready") && Exists(path)) return true;
  const std::string failed = ReadText(cache + "/status-code/failed");
  why = "EDK II's status-code handler is not built" +
        (failed.empty() ? std::string("") : ": " + failed.substr(0, failed.find('\n'))) +
        " (scripts/setup.sh builds it into .cache/edk2/)";
  return false;
}

std::string QemuCpuFor(uint32_t eax) {
  uint32_t stepping = eax & 0xF;
  uint32_t family = (eax >> 8) & 0xF;
  uint32_t model = (eax >> 4) & 0xF;
  if (family == 0x6 || family == 0xF) model |= ((eax >> 16) & 0xF) << 4;
  if (family == 0xF) family += (eax >> 20) & 0xFF;
  // The processor table's model for a generation the drivers know; a Skylake server otherwise,
  // with the family, model and stepping below making CPUID answer the board's EAX either way.
  const PROCESSOR_ROW *processor = emu::FindProcessor(static_cast<uint16_t>(eax >> 4));
  std::ostringstream cpu;
  cpu << (processor != nullptr ? processor->QemuCpu : "Skylake-Server") << ",family=" << family
      << ",model=" << model << ",stepping=" << stepping << ",check=off";
  return cpu.str();
}

bool ResolveOvmf(const std::string &spec, std::string &code, std::string &vars, std::string &why) {
  const size_t comma = spec.find(',');
  code = spec.substr(0, comma);
  if (comma != std::string::npos) {
    vars = spec.substr(comma + 1);
  } else {
    const size_t slash = code.rfind('/') == std::string::npos ? 0 : code.rfind('/') + 1;
    const size_t at = code.rfind("CODE");
    vars = at == std::string::npos || at < slash
               ? ""
               : code.substr(0, at) + "VARS" + code.substr(at + 4);
  }
  struct stat info;
  if (code.empty() || stat(code.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    why = "no firmware code file '" + code + "'";
    return false;
  }
  if (vars.empty() || stat(vars.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    why = vars.empty() || comma == std::string::npos
              ? "no variable store beside '" + code + "'" +
                    (vars.empty() ? "" : " ('" + vars + "')") + "; give it: --ovmf CODE,VARS"
              : "no variable store file '" + vars + "'";
    return false;
  }
  return true;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

RunResult RunInOvmf(const RunRequest &request) {
  RunResult result;
  if (!OnPath("qemu-system-x86_64")) {
    result.error =
        "QEMU is missing: no qemu-system-x86_64 on the PATH (Debian package "
        "qemu-system-x86)";
    result.missingTool = true;
    return result;
  }
  Ovmf ovmf;
  if (!FindOvmf(ovmf) && (request.flashImage.empty() || request.flashVars.empty())) {
    result.error =
        "OVMF is missing: no /usr/share/OVMF/OVMF_CODE_4M.fd or OVMF_CODE.fd with "
        "its VARS (Debian package ovmf)";
    result.missingTool = true;
    return result;
  }
  for (const std::string *path : {&request.flashImage, &request.flashVars}) {
    if (!path->empty() && !Exists(*path)) {
      result.error = "no flash image " + *path;
      return result;
    }
  }
  if (!request.flashImage.empty()) ovmf.code = request.flashImage;
  if (!request.flashVars.empty()) ovmf.vars = request.flashVars;
  result.firmware = ovmf.code;
  // From here on there is a folder to remove and children to stop: a signal is only noted,
  // and the run ends at the next step, tidied up.
  tools::DeferredInterruption deferred;
  std::string dir;
  if (!MakeWorkDir(request, dir)) {
    result.error = "cannot make the work folder " +
                   (request.workDir.empty() ? "under " + tools::TemporaryFolderBase() + " ($TMPDIR)"
                                            : request.workDir) +
                   ": " + std::strerror(errno);
    return result;
  }
  auto cleanUp = [&] {
    std::error_code ignored;
    if (request.workDir.empty()) std::filesystem::remove_all(dir, ignored);
  };
  auto interrupted = [&] {
    if (tools::Interruption() == 0) return false;
    result.interrupted = true;
    result.error = "interrupted by " + tools::SignalName(tools::Interruption());
    cleanUp();
    return true;
  };
  std::error_code copyError;
  if (!MakeBootVolume(request, dir) ||
      !std::filesystem::copy_file(ovmf.vars, dir + "/vars.fd",
                                  std::filesystem::copy_options::overwrite_existing, copyError)) {
    if (interrupted()) return result;
    result.error = "cannot build the boot volume (is mtools installed?)";
    cleanUp();
    return result;
  }
  if (interrupted()) return result;

  const std::vector<std::string> command = QemuCommand(request, ovmf, dir);
  std::string line;
  for (const std::string &word : command) line += (line.empty() ? "" : " ") + Quote(word);
  const std::string script = "#!/bin/sh\n# The QEMU run of this folder; run it again with: sh " +
                             std::string(kQemuCommand) + "\nexec " + line + "\n";
  if (!WriteFile(dir + "/" + kQemuCommand, std::vector<uint8_t>(script.begin(), script.end()))) {
    result.error = "cannot write " + dir + "/" + kQemuCommand;
    cleanUp();
    return result;
  }

  LogFollower follower(dir + "/" + kReportLog, request.onReportLine);
  bool timedOut = false, heldTooLong = false;
  const auto start = std::chrono::steady_clock::now();
  const int status = RunQemu(command, dir + "/" + kQemuOutput, request.timeoutSeconds,
                             request.holdSeconds, follower, timedOut, heldTooLong);
  if (interrupted()) return result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.debugLog = ReadText(dir + "/" + kReportLog);
  result.firmwareLog = ReadText(dir + "/" + kFirmwareLog);
  result.serialLog = ReadText(dir + "/" + kSerialLog);
  const int code = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (timedOut) {
    result.error = "QEMU did not finish within " + std::to_string(request.timeoutSeconds) + " s";
  } else if (heldTooLong) {
    result.error = "gdb did not attach and continue within " + std::to_string(request.holdSeconds) +
                   " s (--gdb-wait); QEMU is stopped";
  } else if (code <= 0 || code == 127 || (code & 1) == 0 || result.debugLog.empty()) {
    // isa-debug-exit always yields an odd status, after the application's first report line;
    // anything else means QEMU itself failed (its own failures exit 1, like isa-debug-exit 0).
    const std::string said = ReadText(dir + "/" + kQemuOutput);
    result.error = said.empty() ? "the firmware never started the platform application"
                                : "QEMU failed: " + said.substr(0, said.find_last_not_of('\n') + 1);
  } else {
    result.ran = true;
    result.exitCode = code >> 1;
  }
  for (const std::string &name : request.filesBack) {
    std::string local = dir + "/back-" + name;
    if (Run({"mcopy", "-n", "-i", dir + "/boot.img", "::/" + name, local})) {
      result.files[name] = ReadFile(local);
    }
  }
  if (interrupted()) return result;
  cleanUp();
  return result;
}

}  // namespace fw
