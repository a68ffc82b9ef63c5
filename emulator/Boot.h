// The emulated boot: the platform starts the drivers, installs the protocols that set their
// later work going, signals ReadyToBoot, and reports what changed.
#ifndef EMULATOR_BOOT_H_
#define EMULATOR_BOOT_H_

#include <map>
#include <string>
#include <vector>

#include "Board.h"
#include "BoardHookConsumer.h"
#include "PciBoard.h"
#include "PciBus.h"
#include "Platform.h"
#include "RegisterAccessProtocol.h"

namespace emu {

// What the platform does, in this order.
struct BootPlan {
  std::vector<std::string> drivers{"BoardSlotService", "MenuPruner"};  // one after the other
  ImageBuild images = ImageBuild::kRelease;                            // which build of them
  std::string imageDir;  // where their host objects are; "" for HostImageDir
  // The protocols the drivers' dependency expression names: the dispatcher starts a driver only
  // once all of them are installed, and reports it EFI_NOT_READY otherwise.
  std::vector<EFI_GUID> dependency{gBoardInfoProtocolGuid, gRegisterAccessProtocolGuid};
  bool setupEditProtocol = true;      // install the setup edit protocol
  bool slotRecordsTrigger = true;     // install the slot-records trigger protocol
  bool rootPortAdjustTrigger = true;  // install the root-port adjustment trigger protocol
  bool collectNicMacs = true;         // ask the board hook protocol for the NIC's MAC addresses
  bool readyToBoot = true;            // signal the ReadyToBoot event group
};

struct DriverOutcome {
  std::string name;
  EFI_STATUS status = EFI_SUCCESS;
  bool resident = false;
};

struct BootResult {
  BoardDescription board;  // as described, before the boot
  std::vector<DriverOutcome> drivers;
  std::map<uint32_t, uint32_t> slotsBefore;
  std::map<uint32_t, uint32_t> slotsAfter;
  SetupMenus menusAfter;    // before: board.setupMenus
  SmbiosTable smbiosAfter;  // the table as the drivers left it (before: board.smbios)
  std::vector<CallRecord> calls;
  std::vector<std::string> violations;
  bool platformChecked = true;      // false when no emulator watched the boot (real firmware)
  NicMacLists nicMacs;              // what CollectNicMacAddresses returned
  std::vector<PciWrite> pciWrites;  // the drivers' configuration writes, in order
  ImageBuild images = ImageBuild::kRelease;
  std::vector<DebugLine> debugLines;  // the platform's debug log: what the drivers reported
};

BootResult RunBoot(const BoardDescription &board, const BootPlan &plan = {});

// What became of one fault of the board description in a boot.
struct FaultOutcome {
  Fault fault;
  std::vector<size_t> fired;    // the calls it failed, as indexes in BootResult::calls
  std::vector<size_t> refused;  // the calls it named that the dispatch dependency guarantees
  size_t memberCalls = 0;       // how often the boot called its member
};
std::vector<FaultOutcome> FaultOutcomes(const BootResult &result);

// The readable report boardsim prints.
std::string FormatReport(const BootResult &result);
// Its SMBIOS section: the slot structures the drivers left, decoded, with what changed.
std::string FormatSmbiosSlots(const BootResult &result);
// Its riser section: the fitted riser's row of the riser table, each slot decoded on the board.
std::string FormatRiser(const BootResult &result);
// Its debug log section: each line the drivers reported, with driver and level; "" for a boot
// of RELEASE images that reported nothing.
std::string FormatDebugLog(const BootResult &result);
// "RELEASE" or "DEBUG".
const char *ImageBuildName(ImageBuild build);

// The whole report as JSON (boardsim --json), with the calls when `withCalls`; its schema is
// in docs/emulator.md and carries a version.
std::string FormatJsonReport(const BootResult &result, bool withCalls);

// The trace (boardsim --trace): every call the drivers made, numbered from 1 in call order,
// with the driver, the driver function, what the call concerns, its arguments and its result.
std::string FormatTrace(const BootResult &result);
// One call decoded as the trace shows it: "board information protocol", "slot 172",
// "code 0x22B000", "EFI_SUCCESS (fault)".
struct CallText {
  std::string concerns;
  std::string arguments;
  std::string result;
};
CallText DescribeCall(const CallRecord &call);
// The board's name for a GUID in registry form ("board information protocol"); the GUID
// itself for one the board does not know.
std::string GuidName(const std::string &guid);

}  // namespace emu

#endif  // EMULATOR_BOOT_H_
