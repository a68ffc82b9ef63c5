// Runs the real-firmware platform application in OVMF under QEMU (software emulation, so the
// run is the same on any host) and brings back what it reported and wrote.
#ifndef TOOLS_FWPLATFORM_HOST_FIRMWARE_RUN_H_
#define TOOLS_FWPLATFORM_HOST_FIRMWARE_RUN_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fw {

// Where the platform application and the drivers' package (RELEASE, or DEBUG) were built.
std::string FwPlatformImage();
std::string DriverPackage(bool debugImages = false);
// The folder of the drivers' images and symbol files (RELEASE, or DEBUG).
std::string DriverFolder(bool debugImages = false);

// EDK II's status-code handler with serial output (StatusCodeHandlerRuntimeDxe, built from
// Debian's edk2 source by scripts/edk2-tools.sh) in a volume of its own. False, with one line on
// why, when the set-up has not built it.
bool StatusCodeVolume(std::string &path, std::string &why);
// The serial port the handler prints on: a 16550 at COM3's I/O port, apart from COM1 and COM2,
// which OVMF's consoles use.
constexpr unsigned kStatusCodeSerialPort = 0x3E8;

struct RunRequest {
  std::string cpu = "Skylake-Server";                  // QEMU -cpu model and properties
  std::vector<std::string> qemuArgs;                   // devices and the like, one word each
  std::map<std::string, std::vector<uint8_t>> files;   // put in the root of the boot volume
  std::vector<std::vector<uint8_t>> smbiosStructures;  // handed to the firmware by QEMU
  std::vector<std::string> filesBack;                  // read from the boot volume after the run
  int timeoutSeconds = 180;                            // 0: wait as long as it takes
  // With holdForDebugger: how long the application may wait for gdb; once gdb releases it the
  // run has no time limit (the session takes as long as it takes).
  int holdSeconds = 600;
  // The volume the application hands to ProcessFirmwareVolume; empty: none, the drivers are in
  // the flash image already.
  std::string driverVolume = DriverPackage();
  // Where the drivers' symbol files are, for naming their functions in the call records.
  std::string symbolDir = DriverFolder();
  bool debugImages = false;  // the drivers are DEBUG builds
  // A volume the application dispatches before the drivers' (StatusCodeVolume): the status-code
  // handler that prints the DEBUG images' lines on the serial port (kStatusCodeSerialPort),
  // which the run then captures. Empty: none, and no such port.
  std::string statusCodeVolume;
  std::string flashImage;  // the firmware's code flash; empty: Debian's OVMF
  std::string flashVars;   // its variable store template; empty: Debian's OVMF's
  // Arguments added after ours, one word each (boardsim --qemu-arg).
  std::vector<std::string> extraQemuArgs;
  // The folder for the run's files (boot volume, variable store, logs, QEMU's command line),
  // created if missing and kept; empty: a temporary folder, removed after the run.
  std::string workDir;
  int gdbPort = 0;               // QEMU's gdb stub on 127.0.0.1 at this port; 0: none
  bool holdForDebugger = false;  // the application waits for a debugger before anything else
  // Each line of the application's report as it comes, while QEMU runs.
  std::function<void(const std::string &line)> onReportLine;
};

struct RunResult {
  bool ran = false;          // QEMU started and ended by itself
  bool interrupted = false;  // a signal stopped the run: QEMU and its temporary folder are gone
  int exitCode = -1;         // the application's code (isa-debug-exit), -1 if none
  std::string error;         // why the run could not be made
  bool missingTool = false;  // because QEMU or OVMF is not installed
  std::string debugLog;      // what the application reported on its debug port
  std::string firmwareLog;   // what the firmware wrote on its own debug port (DEBUG builds)
  std::string serialLog;     // what the status-code handler printed (RunRequest::statusCodeVolume)
  std::map<std::string, std::vector<uint8_t>> files;
  double seconds = 0;
  std::string firmware;  // the code flash the run booted
};

RunResult RunInOvmf(const RunRequest &request);

// The QEMU -cpu argument whose CPUID leaf 1 EAX is `eax` (family, model and stepping).
std::string QemuCpuFor(uint32_t eax);

// "CODE[,VARS]": the firmware's code flash and its variable store template. Without VARS, the
// file beside CODE whose name has VARS for CODE (OVMF_CODE_4M.fd: OVMF_VARS_4M.fd). False, with
// the reason, when a file is missing.
bool ResolveOvmf(const std::string &spec, std::string &code, std::string &vars, std::string &why);

// A TCP port on 127.0.0.1 that nothing listens on now; 0 if none could be had.
int FreeLoopbackPort();

// The files of a work folder (RunRequest::workDir).
constexpr char kReportLog[] = "report.log";         // the application's report
constexpr char kFirmwareLog[] = "firmware.log";     // OVMF's own debug output
constexpr char kQemuCommand[] = "qemu-command.sh";  // the run's QEMU command line
constexpr char kQemuOutput[] = "qemu.out";          // what QEMU printed
constexpr char kSerialLog[] = "serial.log";         // the status-code handler's serial port

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_FIRMWARE_RUN_H_
