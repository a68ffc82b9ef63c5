// Runs the real-firmware platform application in OVMF under QEMU (software emulation, so the
// run is the same on any host) and brings back what it reported and wrote.
#ifndef TOOLS_FWPLATFORM_HOST_FIRMWARE_RUN_H_
#define TOOLS_FWPLATFORM_HOST_FIRMWARE_RUN_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fw {

// Where the platform application and the drivers' package were built.
std::string FwPlatformImage();
std::string DriverPackage();

struct RunRequest {
  std::string cpu = "Skylake-Server";                  // QEMU -cpu model and properties
  std::vector<std::string> qemuArgs;                   // devices and the like
  std::map<std::string, std::vector<uint8_t>> files;   // put in the root of the boot volume
  std::vector<std::vector<uint8_t>> smbiosStructures;  // handed to the firmware by QEMU
  std::vector<std::string> filesBack;                  // read from the boot volume after the run
  int timeoutSeconds = 180;
  // The volume the application hands to ProcessFirmwareVolume; empty: none, the drivers are in
  // the flash image already.
  std::string driverVolume = DriverPackage();
  std::string flashImage;  // the firmware's code flash; empty: Debian's OVMF
};

struct RunResult {
  bool ran = false;          // QEMU started and ended by itself
  int exitCode = -1;         // the application's code (isa-debug-exit), -1 if none
  std::string error;         // why the run could not be made
  bool missingTool = false;  // because QEMU or OVMF is not installed
  std::string debugLog;      // what the application wrote to the debug port
  std::map<std::string, std::vector<uint8_t>> files;
  double seconds = 0;
};

RunResult RunInOvmf(const RunRequest &request);

// The QEMU -cpu argument whose CPUID leaf 1 EAX is `eax` (family, model and stepping).
std::string QemuCpuFor(uint32_t eax);

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_FIRMWARE_RUN_H_
