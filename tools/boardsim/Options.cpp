#include "Options.h"

#include <fstream>
#include <sstream>

namespace boardsim {

const char kUsage[] =
    "usage: boardsim [options]\n"
    "\n"
    "Boots BoardSlotService and MenuPruner (and the platform around them) in the board\n"
    "emulator and reports what the drivers changed: the slot table, the SMBIOS slot records,\n"
    "the onboard NIC's MAC addresses, the root ports and the setup menus. Without options the\n"
    "default board is used: riser type 5, KVRN configuration 0x8E (ports B, C and D on a\n"
    "split slot), slot indexes 170, 171 and 173 already taken, the onboard network\n"
    "controller's four functions below the root port of slot 128, the add-in device\n"
    "9005:8017 below slot 170's, Setup byte 331 = 1.\n"
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
    "Processor, stack buses and PCI (BB:DD.F and VVVV:DDDD are hexadecimal, as lspci shows\n"
    "them; a multi-word value is one quoted argument, or joined with '='):\n"
    "  --cpu-signature SIG      processor signature, bits 19..4 of CPUID leaf 1 EAX\n"
    "                           (default 0x5065; the drivers also know 0x606A)\n"
    "  --cpuid-eax N            the whole of CPUID leaf 1 EAX (default 0x50654)\n"
    "  --stack-bus-hob N sockets|N bytes|absent\n"
    "                           a fresh stack-bus HOB: N sockets of table after the\n"
    "                           platform's 0x5060 bytes of data, or N bytes of data in all\n"
    "  --stack-bus 'S B0 .. B5' bus numbers of stacks 0 to 5 (fewer may be given) of socket\n"
    "                           S, counted from 0; slot codes count both from 1\n"
    "  --register-access present|absent\n"
    "                           the register access protocol; without it (or without the\n"
    "                           board information protocol) no driver is dispatched\n"
    "  --pci-root-port 'BB:DD.F [secondary N] [subordinate N] [reg-15c N] [id VVVV:DDDD]'\n"
    "                           a root port (type 1 header) and its register 0x15C\n"
    "  --pci-endpoint 'BB:DD.F id VVVV:DDDD [command N] [memory ADDRESS|none]\n"
    "                 [mac XX:XX:XX:XX:XX:XX]'\n"
    "                           an endpoint with its Command register and a 64-bit BAR pair\n"
    "                           over 2 MiB of device memory at ADDRESS (none: unassigned);\n"
    "                           a network function's MAC sits at 0x1E2120 and 0x1E2140\n"
    "  --pci-remove BB:DD.F     take one function off the board\n"
    "  --pci-clear              take every PCI function off the board (board files written\n"
    "                           with --print-board start their PCI lines with it)\n"
    "\n"
    "Other options:\n"
    "  --print-board            print the board in board-file form and exit\n"
    "  --smbios-dump FILE       after the boot, write the SMBIOS table as `dmidecode --dump-bin`\n"
    "                           does, for `dmidecode --from-dump FILE`\n"
    "  --firmware               boot the shipped images in real firmware (OVMF under QEMU,\n"
    "                           5 to 15 s) instead of the emulator: root ports are QEMU's,\n"
    "                           the add-in device and the NIC functions are stood in for\n"
    "  --firmware-board FILE    with --firmware, write the board as the firmware made it\n"
    "                           (bus numbers, memory it assigned) as a board file\n"
    "  --firmware-log FILE      with --firmware, write the platform application's debug-port\n"
    "                           log (kept even when the run fails)\n"
    "  --gdb                    with --firmware, hold the boot for gdb: QEMU's gdb stub on a\n"
    "                           free loopback port, and a gdb script in the work folder that\n"
    "                           loads both drivers' symbol files where they are loaded\n"
    "                           (`gdb -x FOLDER/debug.gdb`); the boot waits until gdb continues\n"
    "  --ovmf CODE[,VARS]       with --firmware, boot this OVMF (a DEBUG build, say) instead of\n"
    "                           Debian's; without VARS, the VARS file beside CODE\n"
    "  --qemu-arg ARG           with --firmware, add ARG to QEMU's command line (one word;\n"
    "                           repeat for more)\n"
    "  --keep DIR               with --firmware, keep the run's files in DIR (created if\n"
    "                           missing): boot volume, logs, the QEMU command line\n"
    "  --help                   show this text\n"
    "\n"
    "The report shows the slot table, the MAC addresses that the board hook protocol's\n"
    "CollectNicMacAddresses returns when the platform asks after its triggers, and every\n"
    "root port whose register 0x15C the drivers changed (the Setup option is byte 331).\n"
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
    if (arg == "--firmware") {
      options.firmware = true;
      continue;
    }
    if (arg == "--gdb") {
      options.gdb = true;
      continue;
    }
    if (arg == "--pci-clear") {  // the one board-file line without a value
      std::string why;
      emu::ParseBoardText("pci-clear", options.board, why);
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
    if (name == "firmware-board") {
      options.firmwareBoard = value;
      continue;
    }
    if (name == "firmware-log") {
      options.firmwareLog = value;
      continue;
    }
    if (name == "ovmf") {
      options.ovmf = value;
      continue;
    }
    if (name == "qemu-arg") {
      options.qemuArgs.push_back(value);
      continue;
    }
    if (name == "keep") {
      options.keep = value;
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
  // Options of the real-firmware boot mean nothing to the emulated one.
  const std::pair<bool, const char *> kFirmwareOnly[] = {
      {!options.firmwareBoard.empty(), "--firmware-board"},
      {!options.firmwareLog.empty(), "--firmware-log"},
      {options.gdb, "--gdb"},
      {!options.ovmf.empty(), "--ovmf"},
      {!options.qemuArgs.empty(), "--qemu-arg"},
      {!options.keep.empty(), "--keep"}};
  for (const auto &[given, name] : kFirmwareOnly) {
    if (given && !options.firmware) {
      error = std::string(name) + " needs --firmware";
      return false;
    }
  }
  return true;
}

}  // namespace boardsim
