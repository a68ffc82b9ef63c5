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
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "Scenario.h"

namespace fw {

namespace {

bool Exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

bool WriteFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
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

// Runs a command, quietly; true when it exits 0.
bool Shell(const std::string &command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
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
// temporary one.
bool MakeWorkDir(const RunRequest &request, std::string &dir) {
  if (request.workDir.empty()) {
    char pattern[] = "/tmp/fwrun.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    dir = pattern;
    return true;
  }
  dir = request.workDir;
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  for (const char *name : {"boot.img", "vars.fd", kReportLog, kFirmwareLog, kQemuOutput}) {
    std::remove((dir + "/" + name).c_str());
  }
  return true;
}

// The boot volume: a raw FAT image, so files the guest writes come back intact, unlike QEMU's
// fat:rw: directory.
bool MakeBootVolume(const RunRequest &request, const std::string &dir) {
  const std::string disk = dir + "/boot.img";
  bool made =
      Shell("mformat -C -T 65536 -v BOARDSIM -i " + Quote(disk) + " ::") &&
      Shell("mmd -i " + Quote(disk) + " ::/EFI ::/EFI/BOOT") &&
      Shell("mcopy -i " + Quote(disk) + " " + Quote(FwPlatformImage()) +
            " ::/EFI/BOOT/BOOTX64.EFI") &&
      (request.driverVolume.empty() || Shell("mcopy -i " + Quote(disk) + " " +
                                             Quote(request.driverVolume) + " ::/BoardDrivers.fv"));
  for (const auto &[name, bytes] : request.files) {
    made = made && WriteFile(dir + "/" + name, bytes) &&
           Shell("mcopy -i " + Quote(disk) + " " + Quote(dir + "/" + name) + " ::/");
  }
  return made;
}

std::vector<std::string> QemuCommand(const RunRequest &request, const Ovmf &ovmf,
                                     const std::string &dir) {
  char report[64], exit[64];
  std::snprintf(report, sizeof(report), "isa-debugcon,iobase=0x%X,chardev=report",
                unsigned{FW_REPORT_PORT});
  std::snprintf(exit, sizeof(exit), "isa-debug-exit,iobase=0x%X,iosize=0x04",
                unsigned{FW_EXIT_PORT});
  std::vector<std::string> command = {"qemu-system-x86_64",
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
                                      "if=pflash,format=raw,readonly=on,file=" + ovmf.code,
                                      "-drive",
                                      "if=pflash,format=raw,file=" + dir + "/vars.fd",
                                      "-drive",
                                      "format=raw,file=" + dir + "/boot.img",
                                      "-chardev",
                                      "file,id=report,path=" + dir + "/" + kReportLog,
                                      "-device",
                                      report,
                                      "-chardev",
                                      "file,id=firmware,path=" + dir + "/" + kFirmwareLog,
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
  for (size_t i = 0; i < request.smbiosStructures.size(); ++i) {
    const std::string path = dir + "/smbios-" + std::to_string(i) + ".bin";
    WriteFile(path, request.smbiosStructures[i]);
    command.push_back("-smbios");
    command.push_back("file=" + path);
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
  void Poll() {
    if (!onLine_) return;
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(read_));
    std::string more((std::istreambuf_iterator<char>(in)), {});
    read_ += more.size();
    pending_ += more;
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      onLine_(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
  }

 private:
  std::string path_;
  std::function<void(const std::string &)> onLine_;
  size_t read_ = 0;
  std::string pending_;
};

// Runs QEMU, its output to `output`; the exit status as waitpid gives it, or -1 when it could
// not be started or was stopped after `timeoutSeconds` (then `timedOut`).
int RunQemu(const std::vector<std::string> &command, const std::string &output, int timeoutSeconds,
            LogFollower &follower, bool &timedOut) {
  timedOut = false;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      close(fd);
    }
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    std::vector<char *> argv;
    for (const std::string &word : command) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "cannot run %s\n", argv[0]);
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    follower.Poll();
    if (timeoutSeconds > 0 && std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      timedOut = true;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  follower.Poll();
  return status;
}

}  // namespace

std::string FwPlatformImage() { return std::string(FWPLATFORM_IMAGE); }
std::string DriverPackage() { return std::string(DRIVER_PACKAGE); }

std::string QemuCpuFor(uint32_t eax) {
  uint32_t stepping = eax & 0xF;
  uint32_t family = (eax >> 8) & 0xF;
  uint32_t model = (eax >> 4) & 0xF;
  if (family == 0x6 || family == 0xF) model |= ((eax >> 16) & 0xF) << 4;
  if (family == 0xF) family += (eax >> 20) & 0xFF;
  std::ostringstream cpu;
  cpu << (eax == 0x606A6 ? "Icelake-Server" : "Skylake-Server") << ",family=" << family
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
  std::string dir;
  if (!MakeWorkDir(request, dir)) {
    result.error = "cannot make the work folder " + request.workDir;
    return result;
  }
  auto cleanUp = [&] {
    if (request.workDir.empty()) Shell("rm -rf " + Quote(dir));
  };
  if (!MakeBootVolume(request, dir) ||
      !Shell("cp " + Quote(ovmf.vars) + " " + Quote(dir + "/vars.fd"))) {
    result.error = "cannot build the boot volume (is mtools installed?)";
    cleanUp();
    return result;
  }

  const std::vector<std::string> command = QemuCommand(request, ovmf, dir);
  std::string line;
  for (const std::string &word : command) line += (line.empty() ? "" : " ") + Quote(word);
  const std::string script = "#!/bin/sh\n# The QEMU run of this folder; run it again with: sh " +
                             std::string(kQemuCommand) + "\nexec " + line + "\n";
  WriteFile(dir + "/" + kQemuCommand, std::vector<uint8_t>(script.begin(), script.end()));

  LogFollower follower(dir + "/" + kReportLog, request.onReportLine);
  bool timedOut = false;
  const auto start = std::chrono::steady_clock::now();
  const int status =
      RunQemu(command, dir + "/" + kQemuOutput, request.timeoutSeconds, follower, timedOut);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.debugLog = ReadText(dir + "/" + kReportLog);
  result.firmwareLog = ReadText(dir + "/" + kFirmwareLog);
  const int code = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (timedOut) {
    result.error = "QEMU did not finish within " + std::to_string(request.timeoutSeconds) + " s";
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
    if (Shell("mcopy -n -i " + Quote(dir + "/boot.img") + " ::/" + name + " " + Quote(local))) {
      result.files[name] = ReadFile(local);
    }
  }
  cleanUp();
  return result;
}

}  // namespace fw
