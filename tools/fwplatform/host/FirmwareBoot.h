// A boot of the shipped images in OVMF, told in the emulator's terms: the same BootResult that
// RunBoot gives, and the board as the firmware made it, which boardsim can boot in turn.
#ifndef TOOLS_FWPLATFORM_HOST_FIRMWARE_BOOT_H_
#define TOOLS_FWPLATFORM_HOST_FIRMWARE_BOOT_H_

#include <string>

#include "Boot.h"
#include "FirmwareRun.h"

namespace fw {

// Where the DXE core loaded a driver's image, and the symbol file that names its functions
// ("": the one built beside the RELEASE image).
struct DriverImage {
  std::string name;
  uint64_t base = 0;
  std::string symbolFile;
};

struct FirmwareBoot {
  bool ok = false;
  std::string error;                // why the boot could not be made or read
  bool boardRefused = false;        // the board is one real firmware cannot be given
  RunResult run;                    // QEMU's run, with the application's debug-port log
  std::string dispatch;             // the dependency check, as the application reported it
  std::vector<DriverImage> images;  // in the order the DXE core loaded them
  emu::BoardDescription seen;       // the board as the firmware made it
  std::string seenText;             // the same, as a board file
  // What the drivers did. Its calls are those the application saw (see ReadCallRecord); their
  // `during` and the notify functions in `what` are named from the drivers' symbol files.
  emu::BootResult result;
  size_t callsLost = 0;  // calls beyond what the application could record
};

// `request` says where the drivers come from (by default our BoardDrivers.fv, loaded by the
// application); the board fills in the rest.
FirmwareBoot BootInFirmware(const emu::BoardDescription &board, RunRequest request = {});

// The symbol file built beside a driver's image in `folder`.
std::string DriverSymbolFile(const std::string &driver, const std::string &folder = DriverFolder());

// The debug log EDK II's status-code handler printed on the serial port: each DEBUG line, its
// driver, level and caller taken from the StatusCode.ReportStatusCode call it came from (the
// n-th line from the n-th debug record reported). The handler's own lines for other status
// codes (PROGRESS CODE, ERROR, ...), which the firmware's modules report, are left out.
std::vector<emu::DebugLine> ReadDebugLog(const std::string &serial,
                                         const std::vector<emu::CallRecord> &calls);

// One "call ..." line of the application's report as the emulator records calls; `images` says
// where each driver lies, for naming the functions the line gives by address. False for a line
// that is not one.
bool ReadCallRecord(const std::string &line, const std::vector<DriverImage> &images,
                    emu::CallRecord &call);

// Reads a table in the layout `dmidecode --dump-bin` writes.
bool SmbiosFromDump(const std::vector<uint8_t> &dump, emu::SmbiosTable &table, std::string &why);

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_FIRMWARE_BOOT_H_
