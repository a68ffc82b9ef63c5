// A board description turned into what a real-firmware run needs: the scenario file the
// platform application reads, and the QEMU devices and SMBIOS structures that stand for the
// rest of the board.
#ifndef TOOLS_FWPLATFORM_HOST_SCENARIO_FILE_H_
#define TOOLS_FWPLATFORM_HOST_SCENARIO_FILE_H_

#include <string>
#include <vector>

#include "Board.h"
#include "FirmwareRun.h"

namespace fw {

// Fills the scenario file, the QEMU machine (CPU model, root ports on PCIe expander buses) and
// the SMBIOS structures QEMU hands the firmware. Returns false, and says why, for a board that
// real firmware cannot stand for.
bool PrepareRun(const emu::BoardDescription &board, RunRequest &request, std::string &why);

// SMBIOS structure types QEMU and OVMF build themselves: the board's own of these types do not
// reach the firmware's table.
bool FirmwareBuildsType(uint8_t type);

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_SCENARIO_FILE_H_
