// A boot of the shipped images in OVMF, told in the emulator's terms: the same BootResult that
// RunBoot gives, and the board as the firmware made it, which boardsim can boot in turn.
#ifndef TOOLS_FWPLATFORM_HOST_FIRMWARE_BOOT_H_
#define TOOLS_FWPLATFORM_HOST_FIRMWARE_BOOT_H_

#include <string>

#include "Boot.h"
#include "FirmwareRun.h"

namespace fw {

// Where the DXE core loaded a driver's image.
struct DriverImage {
  std::string name;
  uint64_t base = 0;
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

// The symbol file built beside a driver's image.
std::string DriverSymbolFile(const std::string &driver);

// One "call ..." line of the application's report as the emulator records calls; `images` says
// where each driver lies, for naming the functions the line gives by address. False for a line
// that is not one.
bool ReadCallRecord(const std::string &line, const std::vector<DriverImage> &images,
                    emu::CallRecord &call);

// Reads a table in the layout `dmidecode --dump-bin` writes.
bool SmbiosFromDump(const std::vector<uint8_t> &dump, emu::SmbiosTable &table, std::string &why);

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_FIRMWARE_BOOT_H_
