// One board booted in both worlds, OVMF and the emulator, and what must agree between them:
// the calls the platform application records, and, for DEBUG images, the debug log, as EDK II's
// status-code handler printed it on the serial port and as the emulated handler prints it.
#ifndef TESTS_FIRMWARE_BOTH_WORLDS_H_
#define TESTS_FIRMWARE_BOTH_WORLDS_H_

#include <string>
#include <vector>

#include "Boot.h"
#include "FirmwareBoot.h"

namespace test {

// The images both worlds boot: by default the drivers' DEBUG build.
struct DebugImages {
  std::string volume = fw::DriverPackage(true);                      // what OVMF dispatches
  std::string symbolDir = fw::DriverFolder(true);                    // their symbol files
  std::string hostDir = emu::HostImageDir(emu::ImageBuild::kDebug);  // the emulator's objects
  std::vector<std::string> drivers{"BoardSlotService", "MenuPruner"};
};

struct BothWorlds {
  fw::FirmwareBoot firmware;
  emu::BootResult emulated;  // on the board as the firmware made it
};

// Boots `board` with the DEBUG images in OVMF, with EDK II's status-code handler printing on
// the serial port, then in the emulator on the board the firmware made. Fails the test (and
// returns false) when either boot cannot be made.
bool BootDebugImagesBothWays(const emu::BoardDescription &board, const DebugImages &images,
                             BothWorlds &boots);

// A call record as the comparison sets it beside another: member, driver, function, what it
// names, arguments and result.
std::string Describe(const emu::CallRecord &call);

// Every call the application records is the emulator's record, in order (CPUID, an
// instruction, is not seen in real firmware).
void ExpectSameCalls(const std::vector<emu::CallRecord> &firmware,
                     const std::vector<emu::CallRecord> &emulated);

// The debug log EDK II printed equals the emulator's, line for line: each line's text, the
// driver that reported it, its level and caller; every report the firmware recorded printed one.
void ExpectSameDebugLog(const BothWorlds &boots);

}  // namespace test

#endif  // TESTS_FIRMWARE_BOTH_WORLDS_H_
