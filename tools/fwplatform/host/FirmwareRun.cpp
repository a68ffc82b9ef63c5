#include "FirmwareRun.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

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

// Runs a command, quietly; true when it exits 0.
bool Shell(const std::string &command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Quote(const std::string &word) { return "'" + word + "'"; }

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
  if (!FindOvmf(ovmf)) {
    result.error =
        "OVMF is missing: no /usr/share/OVMF/OVMF_CODE_4M.fd or OVMF_CODE.fd with "
        "its VARS (Debian package ovmf)";
    result.missingTool = true;
    return result;
  }
  if (!request.flashImage.empty()) {
    if (!Exists(request.flashImage)) {
      result.error = "no flash image " + request.flashImage;
      return result;
    }
    ovmf.code = request.flashImage;
  }
  char pattern[] = "/tmp/fwrun.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    result.error = "cannot make a work directory";
    return result;
  }
  const std::string dir = pattern;
  const std::string disk = dir + "/boot.img", vars = dir + "/vars.fd", log = dir + "/debug.log";

  // A raw FAT image: files the guest writes come back intact, unlike QEMU's fat:rw: directory.
  bool made = Shell("mformat -C -T 65536 -v BOARDSIM -i " + Quote(disk) + " ::") &&
              Shell("mmd -i " + Quote(disk) + " ::/EFI ::/EFI/BOOT") &&
              Shell("mcopy -i " + Quote(disk) + " " + Quote(FwPlatformImage()) +
                    " ::/EFI/BOOT/BOOTX64.EFI") &&
              (request.driverVolume.empty() ||
               Shell("mcopy -i " + Quote(disk) + " " + Quote(request.driverVolume) +
                     " ::/BoardDrivers.fv")) &&
              Shell("cp " + Quote(ovmf.vars) + " " + Quote(vars));
  for (const auto &[name, bytes] : request.files) {
    made = made && WriteFile(dir + "/" + name, bytes) &&
           Shell("mcopy -i " + Quote(disk) + " " + Quote(dir + "/" + name) + " ::/");
  }
  if (!made) {
    result.error = "cannot build the boot volume (is mtools installed?)";
    Shell("rm -rf " + Quote(dir));
    return result;
  }

  std::ostringstream qemu;
  qemu << "timeout " << request.timeoutSeconds << " qemu-system-x86_64 -machine q35,accel=tcg"
       << " -cpu " << request.cpu << " -m 512 -smp 1 -nographic -display none -no-reboot"
       << " -drive if=pflash,format=raw,readonly=on,file=" << Quote(ovmf.code)
       << " -drive if=pflash,format=raw,file=" << Quote(vars)
       << " -drive format=raw,file=" << Quote(disk) << " -debugcon file:" << Quote(log)
       << " -global isa-debugcon.iobase=0x402"
       << " -device isa-debug-exit,iobase=0xf4,iosize=0x04 -net none -serial none -monitor none";
  for (size_t i = 0; i < request.smbiosStructures.size(); ++i) {
    std::string path = dir + "/smbios-" + std::to_string(i) + ".bin";
    WriteFile(path, request.smbiosStructures[i]);
    qemu << " -smbios file=" << Quote(path);
  }
  for (const std::string &arg : request.qemuArgs) qemu << " " << arg;
  qemu << " >" << Quote(dir + "/qemu.out") << " 2>&1";

  auto start = std::chrono::steady_clock::now();
  int status = std::system(qemu.str().c_str());
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::vector<uint8_t> text = ReadFile(log);
  result.debugLog.assign(text.begin(), text.end());
  if (code == 124) {
    result.error = "QEMU did not finish within " + std::to_string(request.timeoutSeconds) + " s";
  } else if (code == 0 || code > 127 || (code & 1) == 0) {
    // isa-debug-exit always yields an odd status; anything else means QEMU itself failed.
    std::vector<uint8_t> out = ReadFile(dir + "/qemu.out");
    result.error = "QEMU failed: " + std::string(out.begin(), out.end());
  } else {
    result.ran = true;
    result.exitCode = code >> 1;
  }
  for (const std::string &name : request.filesBack) {
    std::string local = dir + "/back-" + name;
    if (Shell("mcopy -n -i " + Quote(disk) + " ::/" + name + " " + Quote(local))) {
      result.files[name] = ReadFile(local);
    }
  }
  Shell("rm -rf " + Quote(dir));
  return result;
}

}  // namespace fw
