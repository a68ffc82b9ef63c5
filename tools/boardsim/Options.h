// boardsim's command line: every board setting of a board file is also an option.
#ifndef TOOLS_BOARDSIM_OPTIONS_H_
#define TOOLS_BOARDSIM_OPTIONS_H_

#include <functional>
#include <string>
#include <vector>

#include "Board.h"

namespace boardsim {

struct Options {
  emu::BoardDescription board;
  bool help = false;
  bool printBoard = false;
  bool listFaults = false;    // list the members a fault can fail and exit
  bool trace = false;         // print every call the drivers made after the report
  bool debugImages = false;   // boot the DEBUG images, which report to the debug log
  std::string json;           // where to write the report as JSON ("-": standard output)
  std::string smbiosDump;     // where to write the SMBIOS table after the boot, "" for nowhere
  bool firmware = false;      // boot in OVMF under QEMU instead of the emulator
  std::string firmwareBoard;  // where to write the board as the firmware made it
  std::string firmwareLog;    // where to write the platform application's debug-port log
  bool gdb = false;           // hold the firmware boot for gdb
  int gdbWaitSeconds = 600;   // how long the held boot waits for gdb to attach and continue
  std::string ovmf;           // CODE[,VARS]: the firmware to boot instead of Debian's OVMF
  std::vector<std::string> qemuArgs;  // added to QEMU's command line, one word each
  std::string keep;                   // the folder that keeps the firmware run's files
};

// An option of the tool itself (every other option is a board-file setting). An option that
// only the firmware boot uses is refused without --firmware.
struct ToolOption {
  const char *name;  // without the dashes
  bool takesValue;
  bool firmwareOnly;
  // Applies the option; false for a bad value, with a one-line `error` (or none, for the
  // usual one).
  std::function<bool(Options &, const std::string &value, std::string &error)> set;
  bool repeats = false;  // may be given more than once (each applies in turn)
};
const std::vector<ToolOption> &ToolOptions();

// Fills `options` from argv: the default board, then each option in the order given. On a bad
// option or value, or outputs that name one file, returns false with a one-line `error` that
// names it, before any file is read.
bool ParseOptions(const std::vector<std::string> &args, Options &options, std::string &error);

// The --help text.
std::string Usage();

}  // namespace boardsim

#endif  // TOOLS_BOARDSIM_OPTIONS_H_
