#include "FirmwareDebug.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "DriverFiles.h"
#include "FirmwareBoot.h"
#include "OutputFile.h"
#include "SymbolFile.h"
#include "Text.h"

namespace fw {

namespace {

// The platform application's symbol file, beside its image.
std::string PlatformSymbolFile() {
  std::string image = FwPlatformImage();
  return image.substr(0, image.rfind('.')) + ".debug";
}

}  // namespace

bool WriteGdbScript(const std::string &path, int port, uint64_t platformBase,
                    const std::string &symbolDir, std::string &why) {
  SymbolFile platform;
  if (!platform.Read(PlatformSymbolFile(), why)) return false;
  const auto hook = platform.Rva("DebuggerDriverLoaded");
  const auto hold = platform.Rva("gHoldForDebugger");
  if (!hook || !hold) {
    why = "the platform application's symbol file has no debugger hook";
    return false;
  }
  std::ostringstream script;
  script
      << "# boardsim --firmware --gdb: the boot in OVMF, held until gdb continues.\n"
      << "set pagination off\n"
      << "set confirm off\n"
      << "set breakpoint pending on\n"
      << "set substitute-path /BoardDrivers " << SOURCE_DIR << "\n"
      << "target remote 127.0.0.1:" << port << "\n"
      << "# The DXE core has loaded a driver and not yet started it: its symbols where it lies.\n"
      << "break *" << emu::Hex(platformBase + *hook) << "\n"
      << "commands\n"
      << "  silent\n";
  for (size_t driver = 0; driver < sizeof(kDriverFiles) / sizeof(kDriverFiles[0]); ++driver) {
    const std::string name = kDriverFiles[driver].Name;
    SymbolFile symbols;
    if (!symbols.Read(DriverSymbolFile(name, symbolDir), why)) return false;
    script << "  if $rcx == " << driver << "\n"
           << "    printf \"" << name << " loaded at %#lx\\n\", $rdx\n"
           << "    eval \"add-symbol-file " << DriverSymbolFile(name, symbolDir)
           << " -o %#lx\", $rdx - " << emu::Hex(symbols.ImageBase()) << "\n"
           << "  end\n";
  }
  script << "  continue\n"
         << "end\n"
         << "# Release the platform application's hold: the boot goes on at the next continue.\n"
         << "set var *(unsigned char *)" << emu::Hex(platformBase + *hold) << " = 0\n";
  if (std::string error = tools::WriteOutputFile(path, script.str()); !error.empty()) {
    why = "cannot write " + path + ": " + error;
    return false;
  }
  return true;
}

bool HoldForGdb(RunRequest &request, int waitSeconds,
                std::function<void(const std::string &)> notice, std::string &why) {
  request.gdbPort = FreeLoopbackPort();
  if (request.gdbPort == 0) {
    why = "no free loopback port for QEMU's gdb stub";
    return false;
  }
  request.holdForDebugger = true;
  request.holdSeconds = waitSeconds;
  const std::string script = request.workDir + "/" + kGdbScript;
  const int port = request.gdbPort;
  const std::string symbolDir = request.symbolDir;
  request.onReportLine = [script, port, waitSeconds, symbolDir, notice](const std::string &line) {
    std::istringstream words(line);
    std::string tag, name, base;
    words >> tag;
    uint64_t address = 0;
    if (tag == "hold-for-debugger" && words >> base &&
        emu::ParseNumber(base, UINT64_MAX, address)) {
      std::string why;
      if (!WriteGdbScript(script, port, address, symbolDir, why)) {
        notice("cannot write the gdb script: " + why);
        return;
      }
      notice("waiting for gdb, at most " + std::to_string(waitSeconds) +
             " s (QEMU's gdb stub is on 127.0.0.1:" + std::to_string(port) +
             "); attach with:\n  gdb -x " + script +
             "\nthen set breakpoints (break SmbiosSlotNotify) and continue");
    } else if (tag == "image" && words >> name >> base) {
      notice(name + " loaded at " + base);
    }
  };
  return true;
}

}  // namespace fw
