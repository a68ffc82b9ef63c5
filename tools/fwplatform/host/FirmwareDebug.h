// boardsim --firmware --gdb: the boot in OVMF held for gdb. QEMU's gdb stub listens on a free
// loopback port, the application waits before it does anything, and once it waits a gdb script
// in the work folder attaches, loads each driver's symbol file where the DXE core loads the
// image (before its entry point runs) and releases the application.
#ifndef TOOLS_FWPLATFORM_HOST_FIRMWARE_DEBUG_H_
#define TOOLS_FWPLATFORM_HOST_FIRMWARE_DEBUG_H_

#include <cstdint>
#include <functional>
#include <string>

#include "FirmwareRun.h"

namespace fw {

constexpr char kGdbScript[] = "debug.gdb";

// Sets `request` up for a held boot: its work folder (which must be set) keeps the script; the
// boot waits for gdb at most `waitSeconds`, and once gdb releases it has no time limit. `notice`
// hears, as the boot goes, what a user must know: how to attach
// gdb, and each driver's load address. False, with the reason, when no port can be had.
bool HoldForGdb(RunRequest &request, int waitSeconds,
                std::function<void(const std::string &)> notice, std::string &why);

// The script: attach to 127.0.0.1:`port`, load each driver's symbol file (from `symbolDir`) at
// the breakpoint on the application's hook, release the hold. `platformBase` is where the
// application was loaded.
bool WriteGdbScript(const std::string &path, int port, uint64_t platformBase,
                    const std::string &symbolDir, std::string &why);

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_FIRMWARE_DEBUG_H_
