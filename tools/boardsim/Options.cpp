#include "Options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>

#include "Faults.h"

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
    "  --slot-clear             empty the slot table (board files written with --print-board\n"
    "                           start their slot lines with it)\n"
    "  --setup-size N|absent    a Setup variable of N zero bytes (--setup-byte after it sets\n"
    "                           bytes), or no Setup variable\n"
    "  --setup-byte OFFSET=N    one byte of the Setup variable\n"
    "  --hob-list present|absent\n"
    "  --dxe-services present|absent\n"
    "  --fault MEMBER=OCC=VALUE make the OCC-th call of a platform member (counted from 1;\n"
    "                           *: every call), such as BS.CreateEvent, fail with the error\n"
    "                           status VALUE (a number or a name: EFI_NOT_FOUND), or answer\n"
    "                           VALUE for a member that returns data; --list-faults lists them.\n"
    "                           A mistyped fault is an error; the lookups of the protocols the\n"
    "                           drivers are dispatched after are refused\n"
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
    "  --list-faults            list every platform member a fault can fail, and exit\n"
    "  --trace                  after the report, list every call the drivers made to the\n"
    "                           platform, in order: driver, driver function, member, what it\n"
    "                           concerns (protocol, event, variable), arguments and result\n"
    "                           (with --firmware: what the platform application recorded)\n"
    "  --json FILE              write the whole report as JSON to FILE (-: standard output,\n"
    "                           instead of the text report); with --trace it holds the calls\n"
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
    "The report decodes what it shows: the KVRN configuration byte's bits, every slot code as\n"
    "socket, stack and port with the root port it resolves to, and what became of each fault\n"
    "(the calls it failed, or that it never matched one).\n"
    "\n"
    "Exit status: 0 when the boot ran and the platform found nothing wrong, 1 when the\n"
    "platform found a problem (leak, dangling registration, a driver that crashed, ...), 2 on\n"
    "a bad option, board file or fault, a missing QEMU or OVMF, or an output file that cannot\n"
    "be written.\n";

namespace {

// A board file is a page of settings: anything larger is not one.
constexpr off_t kMaxBoardFileSize = 1 << 20;

// Reads a board file: a regular file of a board file's size, nothing else (a directory, a
// device or a pipe could read as empty or never end).
bool ReadBoardFile(const std::string &path, std::string &text, std::string &error) {
  const std::string name = "board file '" + emu::EchoText(path) + "'";
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + name + ": " + std::strerror(errno);
    return false;
  }
  struct stat info;
  bool ok = fstat(fd, &info) == 0;
  if (!ok) {
    error = "cannot read " + name + ": " + std::strerror(errno);
  } else if (S_ISDIR(info.st_mode)) {
    error = name + " is a directory";
    ok = false;
  } else if (!S_ISREG(info.st_mode)) {
    error = name + " is not a regular file";
    ok = false;
  } else if (info.st_size > kMaxBoardFileSize) {
    error =
        name + " has " + std::to_string(info.st_size) + " bytes; a board file has at most 1 MiB";
    ok = false;
  }
  text.clear();
  char buffer[65536];
  while (ok && text.size() <= static_cast<size_t>(kMaxBoardFileSize)) {
    ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "cannot read " + name + ": " + std::strerror(errno);
      ok = false;
    }
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  if (ok && text.size() > static_cast<size_t>(kMaxBoardFileSize)) {
    error = name + " grew past 1 MiB while it was read";
    ok = false;
  }
  return ok;
}

bool Known(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Every option name, tool options and board settings, for the nearest one to a mistyped name.
std::vector<std::string> OptionNames() {
  std::vector<std::string> names;
  for (const ToolOption &option : ToolOptions()) names.push_back(option.name);
  for (const std::string &setting : emu::BoardSettingNames()) names.push_back(setting);
  return names;
}

std::string UnknownOption(const std::string &name) {
  std::string error = "unknown option '--" + emu::EchoText(name) + "'";
  std::vector<std::string> nearest = emu::NearestNames(name, OptionNames(), 1, 3);
  if (!nearest.empty()) error += "; nearest: --" + nearest.front();
  return error + " (see --help)";
}

// "--fault BS.CreateEvent=2=EFI_OUT_OF_RESOURCES" (or the three words apart).
bool SetFault(Options &options, const std::string &value, std::string &error) {
  std::string words = value;
  for (char &c : words) {
    if (c == '=') c = ' ';
  }
  std::istringstream in(words);
  std::string member, occurrence, faultValue, extra;
  emu::Fault fault;
  std::string why = !(in >> member >> occurrence >> faultValue) || (in >> extra)
                        ? "a fault is MEMBER=OCCURRENCE=VALUE"
                        : emu::ParseFault(member, occurrence, faultValue, fault);
  if (!why.empty()) {
    error = "--fault '" + emu::EchoText(value) + "': " + why;
    return false;
  }
  options.board.faults.push_back(fault);
  return true;
}

bool SetBoardFile(Options &options, const std::string &path, std::string &error) {
  std::string text, why;
  if (!ReadBoardFile(path, text, error)) return false;
  if (!emu::ParseBoardText(text, options.board, why)) {
    error = "board file '" + emu::EchoText(path) + "', " + why;
    return false;
  }
  return true;
}

}  // namespace

const std::vector<ToolOption> &ToolOptions() {
  static const std::vector<ToolOption> kOptions = {
      {"help", false, false,
       [](Options &o, const std::string &, std::string &) { return o.help = true; }},
      {"print-board", false, false,
       [](Options &o, const std::string &, std::string &) { return o.printBoard = true; }},
      {"list-faults", false, false,
       [](Options &o, const std::string &, std::string &) { return o.listFaults = true; }},
      {"trace", false, false,
       [](Options &o, const std::string &, std::string &) { return o.trace = true; }},
      {"json", true, false,
       [](Options &o, const std::string &value, std::string &) {
         o.json = value;
         return !value.empty();
       }},
      {"board", true, false, SetBoardFile},
      {"fault", true, false, SetFault},
      {"smbios-dump", true, false,
       [](Options &o, const std::string &value, std::string &) {
         o.smbiosDump = value;
         return true;
       }},
      {"firmware", false, false,
       [](Options &o, const std::string &, std::string &) { return o.firmware = true; }},
      {"firmware-board", true, true,
       [](Options &o, const std::string &value, std::string &) {
         o.firmwareBoard = value;
         return true;
       }},
      {"firmware-log", true, true,
       [](Options &o, const std::string &value, std::string &) {
         o.firmwareLog = value;
         return true;
       }},
      {"gdb", false, true,
       [](Options &o, const std::string &, std::string &) { return o.gdb = true; }},
      {"ovmf", true, true,
       [](Options &o, const std::string &value, std::string &) {
         o.ovmf = value;
         return !value.empty();
       }},
      {"qemu-arg", true, true,
       [](Options &o, const std::string &value, std::string &) {
         o.qemuArgs.push_back(value);
         return true;
       }},
      {"keep", true, true,
       [](Options &o, const std::string &value, std::string &) {
         o.keep = value;
         return !value.empty();
       }},
  };
  return kOptions;
}

bool ParseOptions(const std::vector<std::string> &args, Options &options, std::string &error) {
  options.board = emu::DefaultBoard();
  const std::vector<std::string> settings = emu::BoardSettingNames();
  std::vector<std::string> firmwareOnly;  // given, though they need --firmware
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      error = "unexpected argument '" + emu::EchoText(arg) + "' (see --help)";
      return false;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> value;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const ToolOption *option = nullptr;
    for (const ToolOption &candidate : ToolOptions()) {
      if (name == candidate.name) option = &candidate;
    }
    // pci-clear and slot-clear are the board settings without a value.
    bool takesValue =
        option != nullptr ? option->takesValue : name != "pci-clear" && name != "slot-clear";
    if (option == nullptr && !Known(settings, name)) {
      error = UnknownOption(name);
      return false;
    }
    if (!takesValue && value) {
      error = "option --" + name + " takes no value";
      return false;
    }
    if (takesValue && !value) {
      if (i + 1 == args.size()) {
        error = "option --" + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (option != nullptr) {
      if (!option->set(options, value.value_or(""), error)) {
        if (error.empty()) error = "bad value for --" + name + ": '" + emu::EchoText(*value) + "'";
        return false;
      }
      if (option->firmwareOnly) firmwareOnly.push_back(name);
      continue;
    }
    // A board setting: "--slot 172=0x22B000" is the board-file line "slot 172 0x22B000".
    std::string line = name + " " + value.value_or("");
    for (char &c : line) {
      if (c == '=') c = ' ';
    }
    std::string why;
    if (!emu::ParseBoardText(line, options.board, why)) {
      error = "bad value for --" + name + ": '" + emu::EchoText(value.value_or("")) + "'";
      return false;
    }
  }
  if (!options.firmware && !firmwareOnly.empty()) {
    error = "--" + firmwareOnly.front() + " means nothing without --firmware";
    return false;
  }
  return true;
}

}  // namespace boardsim
