#include "Options.h"

#include <fstream>
#include <sstream>

namespace boardsim {

const char kUsage[] =
    "usage: boardsim [options]\n"
    "\n"
    "Boots BoardSlotService and MenuPruner (and the platform around them) in the board\n"
    "emulator and reports what the drivers changed: the slot table and the setup menus.\n"
    "Without options the default board is used: riser type 5, KVRN configuration 0x8E\n"
    "(ports B, C and D on a split slot), slot indexes 170, 171 and 173 already taken.\n"
    "\n"
    "Board options (numbers are decimal or 0x-prefixed hexadecimal):\n"
    "  --board FILE             apply the settings of a board file (one option per line,\n"
    "                           without the leading dashes; '#' starts a comment)\n"
    "  --riser-type N           riser type byte (board byte 192)\n"
    "  --kvrn-config N          KVRN configuration byte (board byte 191)\n"
    "  --kvrn-unavailable N     KVRN-unavailable flag (board byte 200)\n"
    "  --board-byte ID=N        any other board byte\n"
    "  --slot INDEX=CODE        slot location code of a slot index (0 frees it)\n"
    "  --setup-size N|absent    size of the Setup variable, or no Setup variable\n"
    "  --setup-byte OFFSET=N    one byte of the Setup variable\n"
    "  --hob-list present|absent\n"
    "  --dxe-services present|absent\n"
    "  --fault MEMBER=OCC=VALUE make the OCC-th call (0: every call) of a platform member,\n"
    "                           such as BS.CreateEvent, return VALUE\n"
    "  --smbios-edit-protocol present|absent\n"
    "  --smbios-table empty|default\n"
    "                           start the SMBIOS table from nothing or from the default\n"
    "  --smbios-slot 'HANDLE \"DESIGNATION\" SLOT-TYPE WIDTH USAGE LENGTH ID CHAR1 CHAR2\n"
    "                SEGMENT BUS DEVFN'\n"
    "                           add a System Slots structure (or replace the one with HANDLE)\n"
    "  --smbios-structure HEX   add any SMBIOS structure, its bytes in hexadecimal\n"
    "\n"
    "Other options:\n"
    "  --print-board            print the board in board-file form and exit\n"
    "  --smbios-dump FILE       after the boot, write the SMBIOS table as `dmidecode --dump-bin`\n"
    "                           does, for `dmidecode --from-dump FILE`\n"
    "  --help                   show this text\n"
    "\n"
    "Exit status: 0 when the boot ran and the platform found nothing wrong, 1 when the\n"
    "platform found a problem (leak, dangling registration, ...), 2 on a bad option or an\n"
    "SMBIOS dump that cannot be written.\n";

namespace {

bool ReadFile(const std::string &path, std::string &text) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string> &args, Options &options, std::string &error) {
  options.board = emu::DefaultBoard();
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--print-board") {
      options.printBoard = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      error = "unexpected argument '" + arg + "' (see --help)";
      return false;
    }
    std::string name = arg.substr(2);
    std::string value;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = "option --" + name + " needs a value";
      return false;
    }
    if (name == "smbios-dump") {
      options.smbiosDump = value;
      continue;
    }
    std::string text;
    if (name == "board") {
      if (!ReadFile(value, text)) {
        error = "cannot read board file '" + value + "'";
        return false;
      }
      std::string why;
      if (!emu::ParseBoardText(text, options.board, why)) {
        error = "board file '" + value + "', " + why;
        return false;
      }
      continue;
    }
    // Every other option is a board-file line: "--slot 172=0x22B000" is "slot 172 0x22B000".
    for (char &c : value) {
      if (c == '=') c = ' ';
    }
    std::string why;
    if (!emu::ParseBoardText(name + " " + value, options.board, why)) {
      error = why.find("unknown setting") != std::string::npos
                  ? "unknown option '--" + name + "' (see --help)"
                  : "bad value for --" + name + ": '" + args[i] + "'";
      return false;
    }
  }
  return true;
}

}  // namespace boardsim
