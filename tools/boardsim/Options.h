// boardsim's command line: every board setting of a board file is also an option.
#ifndef TOOLS_BOARDSIM_OPTIONS_H_
#define TOOLS_BOARDSIM_OPTIONS_H_

#include <string>
#include <vector>

#include "Board.h"

namespace boardsim {

struct Options {
  emu::BoardDescription board;
  bool help = false;
  bool printBoard = false;
  std::string smbiosDump;     // where to write the SMBIOS table after the boot, "" for nowhere
  bool firmware = false;      // boot in OVMF under QEMU instead of the emulator
  std::string firmwareBoard;  // where to write the board as the firmware made it
  std::string firmwareLog;    // where to write the platform application's debug-port log
  bool gdb = false;           // hold the firmware boot for gdb
  std::string ovmf;           // CODE[,VARS]: the firmware to boot instead of Debian's OVMF
  std::vector<std::string> qemuArgs;  // added to QEMU's command line, one word each
  std::string keep;                   // the folder that keeps the firmware run's files
};

// Fills `options` from argv. On a bad option or value returns false with a one-line `error`
// that names it.
bool ParseOptions(const std::vector<std::string> &args, Options &options, std::string &error);

extern const char kUsage[];

}  // namespace boardsim

#endif  // TOOLS_BOARDSIM_OPTIONS_H_
