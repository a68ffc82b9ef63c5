// A boot of the shipped images in OVMF, told in the emulator's terms: the same BootResult that
// RunBoot gives, and the board as the firmware made it, which boardsim can boot in turn.
#ifndef TOOLS_FWPLATFORM_HOST_FIRMWARE_BOOT_H_
#define TOOLS_FWPLATFORM_HOST_FIRMWARE_BOOT_H_

#include <string>

#include "Boot.h"
#include "FirmwareRun.h"

namespace fw {

struct FirmwareBoot {
  bool ok = false;
  std::string error;           // why the boot could not be made or read
  RunResult run;               // QEMU's run, with the application's debug-port log
  std::string dispatch;        // the dependency check, as the application reported it
  emu::BoardDescription seen;  // the board as the firmware made it
  std::string seenText;        // the same, as a board file
  emu::BootResult result;      // what the drivers did
};

// `request` says where the drivers come from (by default our BoardDrivers.fv, loaded by the
// application); the board fills in the rest.
FirmwareBoot BootInFirmware(const emu::BoardDescription &board, RunRequest request = {});

// Reads a table in the layout `dmidecode --dump-bin` writes.
bool SmbiosFromDump(const std::vector<uint8_t> &dump, emu::SmbiosTable &table, std::string &why);

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_FIRMWARE_BOOT_H_
