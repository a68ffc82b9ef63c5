#include "Options.h"

#include <map>
#include <sstream>

#include "CommandLine.h"
#include "Faults.h"
#include "InputFile.h"
#include "OutputFile.h"
#include "Processors.h"
#include "Text.h"

namespace boardsim {

// {processors} stands for the processor table's rows.
const char kUsageText[] =
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
    "  --status-code-protocol present|absent\n"
    "                           the platform's status code protocol, which DEBUG images\n"
    "                           report to (--debug-images)\n"
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
    "                           (default 0x5065); the drivers know those of the\n"
    "                           processor table:\n"
    "{processors}"
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
    "  --debug-images           boot the DEBUG images (build/host/DEBUG, build/firmware/DEBUG):\n"
    "                           the report adds the lines they put in the platform's debug\n"
    "                           log (with --firmware: as EDK II's status-code handler printed\n"
    "                           them on the serial port), --trace the calls that carried them\n"
    "  --json FILE              write the whole report as JSON to FILE (-: standard output,\n"
    "                           instead of the text report); with --trace it holds the calls\n"
    "  --smbios-dump FILE       after the boot, write the SMBIOS table as `dmidecode --dump-bin`\n"
    "                           does, for `dmidecode --from-dump FILE` (-: standard output,\n"
    "                           instead of the text report)\n"
    "  --firmware               boot the shipped images in real firmware (OVMF under QEMU,\n"
    "                           5 to 15 s) instead of the emulator: root ports are QEMU's,\n"
    "                           the add-in device and the NIC functions are stood in for\n"
    "  --firmware-board FILE    with --firmware, write the board as the firmware made it\n"
    "                           (bus numbers, memory it assigned) as a board file (-: standard\n"
    "                           output, instead of the text report)\n"
    "  --firmware-log FILE      with --firmware, write the platform application's debug-port\n"
    "                           log (kept even when the run fails; -: standard output)\n"
    "  --gdb                    with --firmware, hold the boot for gdb: QEMU's gdb stub on a\n"
    "                           free loopback port, and a gdb script in the work folder that\n"
    "                           loads both drivers' symbol files where they are loaded\n"
    "                           (`gdb -x FOLDER/debug.gdb`); the boot waits until gdb continues,\n"
    "                           at most --gdb-wait seconds\n"
    "  --gdb-wait SECONDS       with --gdb, how long the held boot waits for gdb to attach and\n"
    "                           continue before boardsim stops QEMU (default 600; 1 to 86400)\n"
    "  --ovmf CODE[,VARS]       with --firmware, boot this OVMF (a DEBUG build, say) instead of\n"
    "                           Debian's; without VARS, the VARS file beside CODE\n"
    "  --qemu-arg ARG           with --firmware, add ARG to QEMU's command line (one word;\n"
    "                           repeat for more)\n"
    "  --keep DIR               with --firmware, keep the run's files in DIR (created if\n"
    "                           missing): boot volume, logs, the QEMU command line. Without\n"
    "                           it the run's folder is removed, however the run ends\n"
    "  --help, -h               show this text\n"
    "\n"
    "An option's value is the next word or follows '=' (--json=FILE); the next word is never\n"
    "an option (--json --trace is refused). Outputs are written whole under a temporary name\n"
    "and renamed; two outputs, or an output and an input, may not name one file.\n"
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
    "platform found a problem (leak, dangling registration, a driver that crashed, ...) or\n"
    "the firmware run failed, 2 on a bad option, board file or fault, a missing QEMU or OVMF,\n"
    "or an output that cannot be written (standard output too), 128 + the signal when\n"
    "interrupted (130: Ctrl-C, 143: SIGTERM, 129: SIGHUP); QEMU is stopped first.\n";

std::string Usage() {
  std::string processors;
  for (const PROCESSOR_ROW &processor : kProcessors) {
    processors +=
        std::string(29, ' ') + emu::Hex(processor.Signature, 4) + "  " + processor.Name + "\n";
  }
  std::string text = kUsageText;
  const std::string token = "{processors}";
  return text.replace(text.find(token), token.size(), processors);
}

namespace {

std::string BoardFileName(const std::string &path) {
  return "board file '" + emu::EchoText(path) + "'";
}

// A board file: a regular file of a board file's size, nothing else (a directory, a device or
// a pipe could read as empty or never end).
bool SetBoardFile(Options &options, const std::string &path, std::string &error) {
  std::string text, why;
  why = tools::ReadInputFile(path, tools::kMaxBoardFileSize, text, [](uint64_t size) {
    return "has " + std::to_string(size) + " bytes; a board file has at most 1 MiB";
  });
  if (why == "is a directory" || why == "is not a regular file" || why.rfind("has ", 0) == 0) {
    error = BoardFileName(path) + " " + why;
    return false;
  }
  if (!why.empty()) {
    error = "cannot read " + BoardFileName(path) + ": " + why;
    return false;
  }
  if (!emu::ParseBoardText(text, options.board, why)) {
    error = BoardFileName(path) + ", " + why;
    return false;
  }
  return true;
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
  if (why.empty()) why = emu::ShadowedFault(options.board.faults, fault);
  if (!why.empty()) {
    error = "--fault '" + emu::EchoText(value) + "': " + why;
    return false;
  }
  options.board.faults.push_back(fault);
  return true;
}

// A board setting: "--slot 172=0x22B000" is the board-file line "slot 172 0x22B000".
bool SetBoardSetting(Options &options, const std::string &name, const std::string &value,
                     std::string &error) {
  std::string line = name + " " + value;
  for (char &c : line) {
    if (c == '=') c = ' ';
  }
  std::string why;
  if (std::string lacks = emu::BoardLacks(line, options.board); !lacks.empty()) {
    error = "--" + name + " '" + emu::EchoText(value) + "': " + lacks;
    return false;
  }
  if (!emu::ParseBoardText(line, options.board, why)) {
    error = "bad value for --" + name + ": '" + emu::EchoText(value) + "'";
    return false;
  }
  return true;
}

bool SetGdbWait(Options &options, const std::string &value, std::string &) {
  uint64_t seconds = 0;
  if (!emu::ParseNumber(value, 86400, seconds) || seconds == 0) return false;
  options.gdbWaitSeconds = static_cast<int>(seconds);
  return true;
}

// Any word for QEMU, except one that would take QEMU out of boardsim's hands: a daemon QEMU
// leaves our process group and outlives boardsim.
bool AddQemuArg(Options &options, const std::string &value, std::string &error) {
  if (value == "-daemonize" || value == "--daemonize") {
    error = "--qemu-arg " + value + ": boardsim runs QEMU and stops it; a daemon would outlive it";
    return false;
  }
  options.qemuArgs.push_back(value);
  return true;
}

}  // namespace

const std::vector<ToolOption> &ToolOptions() {
  auto text = [](std::string Options::*field) {
    return [field](Options &o, const std::string &value, std::string &) {
      o.*field = value;
      return !value.empty();
    };
  };
  auto flag = [](bool Options::*field) {
    return [field](Options &o, const std::string &, std::string &) { return o.*field = true; };
  };
  static const std::vector<ToolOption> kOptions = {
      {"help", false, false, flag(&Options::help)},
      {"print-board", false, false, flag(&Options::printBoard)},
      {"list-faults", false, false, flag(&Options::listFaults)},
      {"trace", false, false, flag(&Options::trace)},
      {"debug-images", false, false, flag(&Options::debugImages)},
      {"json", true, false, text(&Options::json)},
      {"board", true, false, SetBoardFile, true},
      {"fault", true, false, SetFault, true},
      {"smbios-dump", true, false, text(&Options::smbiosDump)},
      {"firmware", false, false, flag(&Options::firmware)},
      {"firmware-board", true, true, text(&Options::firmwareBoard)},
      {"firmware-log", true, true, text(&Options::firmwareLog)},
      {"gdb", false, true, flag(&Options::gdb)},
      {"gdb-wait", true, true, SetGdbWait},
      {"ovmf", true, true, text(&Options::ovmf)},
      {"qemu-arg", true, true, AddQemuArg, true},
      {"keep", true, true, text(&Options::keep)},
  };
  return kOptions;
}

bool ParseOptions(const std::vector<std::string> &args, Options &options, std::string &error) {
  options.board = emu::DefaultBoard();
  CLI::App app;
  app.set_help_flag();
  // What each option does when its turn comes; options apply in the order they are given.
  std::map<const CLI::Option *, const ToolOption *> tool;
  std::map<const CLI::Option *, std::string> setting;
  for (const ToolOption &option : ToolOptions()) {
    const std::string name = "--" + std::string(option.name);
    CLI::Option *added = !option.takesValue
                             ? tools::AddFlag(app, name == "--help" ? "--help,-h" : name)
                         : option.repeats ? tools::AddValues(app, name)
                                          : tools::AddValue(app, name);
    tool[added] = &option;
  }
  for (const std::string &name : emu::BoardSettingNames()) {
    if (app.get_option_no_throw("--" + name) != nullptr) continue;  // fault: the tool's own
    // pci-clear and slot-clear are the board settings without a value.
    const bool takesValue = name != "pci-clear" && name != "slot-clear";
    setting[takesValue ? tools::AddValues(app, "--" + name) : tools::AddFlag(app, "--" + name)] =
        name;
  }
  error = tools::ParseCommandLine(app, args);
  if (!error.empty()) return false;
  if (app.get_option("--help")->count() > 0) {
    options.help = true;
    return true;
  }
  const bool firmware = app.get_option("--firmware")->count() > 0;
  for (const CLI::Option *given : app.parse_order()) {
    auto it = tool.find(given);
    if (it != tool.end() && it->second->firmwareOnly && !firmware) {
      error = "--" + std::string(it->second->name) + " means nothing without --firmware";
      return false;
    }
  }
  if (app.get_option("--gdb-wait")->count() > 0 && app.get_option("--gdb")->count() == 0) {
    error = "--gdb-wait means nothing without --gdb";
    return false;
  }
  // Outputs are checked against each other and against the inputs before anything is read.
  std::vector<tools::NamedPath> outputs, inputs;
  for (const char *name : {"--json", "--smbios-dump", "--firmware-board", "--firmware-log"}) {
    for (const std::string &path : app.get_option(name)->results()) outputs.push_back({name, path});
  }
  for (const std::string &path : app.get_option("--board")->results()) {
    inputs.push_back({"--board", path});
  }
  for (const std::string &files : app.get_option("--ovmf")->results()) {
    std::istringstream parts(files);
    for (std::string path; std::getline(parts, path, ',');) inputs.push_back({"--ovmf", path});
  }
  if (error = tools::CheckOutputs(outputs, inputs); !error.empty()) return false;
  std::map<const CLI::Option *, size_t> taken;  // values of each option used so far
  for (const CLI::Option *given : app.parse_order()) {
    const std::vector<std::string> &values = given->results();
    const std::string value = given->get_expected_max() == 0 ? "" : values.at(taken[given]++);
    if (auto it = tool.find(given); it != tool.end()) {
      if (!it->second->set(options, value, error)) {
        if (error.empty()) {
          error = "bad value for --" + std::string(it->second->name) + ": '" +
                  emu::EchoText(value) + "'";
        }
        return false;
      }
      continue;
    }
    if (!SetBoardSetting(options, setting.at(given), value, error)) return false;
  }
  return true;
}

}  // namespace boardsim
