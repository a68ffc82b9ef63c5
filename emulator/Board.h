// A board description: everything the emulated platform answers the drivers with. Tests and
// boardsim start from DefaultBoard() and change what they need.
#ifndef EMULATOR_BOARD_H_
#define EMULATOR_BOARD_H_

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BoardInfoProtocol.h"
#include "DriverFrame.h"
#include "SetupMenus.h"
#include "SetupVariable.h"
#include "Smbios.h"
#include "Text.h"
#include "Uefi.h"

namespace emu {

constexpr uint32_t kSetupAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

struct Variable {
  std::u16string name;
  EFI_GUID guid{};
  uint32_t attributes = kSetupAttributes;
  std::vector<uint8_t> data;
};

// One hand-off block: its type and everything after the 8-byte generic header. The list
// builder pads each HOB to a multiple of 8 bytes, as PI requires.
struct Hob {
  uint16_t type = 0;
  std::vector<uint8_t> body;
};
Hob GuidHob(const EFI_GUID &name, const std::vector<uint8_t> &data);

// A call that is made to fail. `member` names a boot or runtime service ("BS.CreateEvent",
// "RT.GetVariable") or an outside protocol's member ("BoardInfo.GetSlotLocation"); `occurrence`
// counts that member's calls from 1 in this boot (kEveryCall: every call). For a member that
// returns a status, `value` is the status returned; for one that returns data, the data
// returned. Faults.h lists the members and checks faults as users write them.
struct Fault {
  static constexpr uint32_t kEveryCall = 0;
  std::string member;
  uint32_t occurrence = 1;
  uint64_t value = EFI_OUT_OF_RESOURCES;
};

// One PCI function. A root port has a type 1 header with its bus range and register 0x15C; an
// endpoint has a type 0 header with Command and a 64-bit BAR pair over device memory of its
// own, in which a network function keeps its MAC address (0x1E2120: bytes 0-3, 0x1E2140: 4-5).
struct PciFunction {
  bool rootPort = false;
  uint16_t vendorId = 0;
  uint16_t deviceId = 0;
  uint8_t secondaryBus = 0;      // root port
  uint8_t subordinateBus = 0;    // root port
  uint32_t register15C = 0;      // root port
  uint16_t command = 0;          // endpoint
  uint64_t memory = 0;           // endpoint: the BAR pair's board address; 0 when none assigned
  std::array<uint8_t, 6> mac{};  // endpoint with memory

  bool operator==(const PciFunction &) const = default;
};

// Pool a resident driver may still hold when the boot ends: one block of this size and type,
// allocated while its entry point ran, per image.
struct KeptPool {
  size_t size = 0;
  EFI_MEMORY_TYPE type = EfiBootServicesData;
};

struct BoardDescription {
  // Board information protocol, installed before any driver starts unless turned off here.
  bool boardInfoProtocol = true;
  std::map<uint32_t, uint8_t> boardBytes;  // ids not listed read 0
  std::map<uint32_t, uint32_t> slots;      // slot index -> slot location code; others read 0

  // SMBIOS table the platform built, and its SMBIOS edit protocol (installed before any driver
  // starts unless turned off here). The protocol's edits change this table.
  bool smbiosEditProtocol = true;
  SmbiosTable smbios;

  // Configuration table.
  bool hobListPresent = true;
  std::vector<Hob> hobs;                           // between the PHIT HOB and the end HOB
  std::optional<std::vector<uint8_t>> rawHobList;  // replaces the built list byte for byte
  bool dxeServicesPresent = true;

  // Processor: CPUID leaf 1 EAX, whose bits 19..4 are the signature the drivers compare.
  uint32_t cpuidEax = 0x50654;
  // PCI functions by bus << 8 | device << 3 | function; the rest of the segment reads all ones.
  std::map<uint16_t, PciFunction> pci;
  // Register access protocol, installed before any driver starts unless turned off here.
  bool registerAccessProtocol = true;
  // The platform's Status Code Runtime Protocol, whose handler keeps the debug log the DEBUG
  // images report to; installed before any driver starts unless turned off here.
  bool statusCodeProtocol = true;

  std::vector<Variable> variables;
  std::vector<Fault> faults;
  // Protocols whose consumer opens them (BY_DRIVER) from its installation notification and
  // does not let go: the DXE core refuses to uninstall such an interface (EFI_ACCESS_DENIED).
  std::vector<EFI_GUID> heldOpen;

  // What the platform lets a resident driver keep at the end of the boot: the scratch pool
  // the drivers' start-up allocates and keeps for the image's life. Every other block a driver
  // still holds then is a leak.
  std::vector<KeptPool> keptPool{{SCRATCH_POOL_SIZE, EfiBootServicesData}};

  // The setup's menus; the setup edit protocol edits them and logs every call.
  SetupMenus setupMenus;

  uint8_t BoardByte(uint32_t id) const;
  void SetBoardByte(uint32_t id, uint8_t value) { boardBytes[id] = value; }
  uint8_t RiserType() const { return BoardByte(BOARD_BYTE_RISER_TYPE); }
  uint8_t KvrnConfig() const { return BoardByte(BOARD_BYTE_KVRN_CONFIG); }
  uint8_t KvrnUnavailable() const { return BoardByte(BOARD_BYTE_KVRN_UNAVAILABLE); }

  Variable *FindVariable(const std::u16string &name, const EFI_GUID &guid);
  const Variable *FindVariable(const std::u16string &name, const EFI_GUID &guid) const;
  // Sets one byte of the Setup variable, growing it with zeros when it is shorter.
  void SetSetupByte(size_t offset, uint8_t value);
};

// The board the drivers were written for: riser type 5, KVRN ports B, C and D on a split slot,
// the riser's slots already in the slot table, a platform-sized HOB list, a Setup variable and
// an SMBIOS table holding the KVRN slot record.
BoardDescription DefaultBoard();

// The list the drivers walk, built from the description (PHIT HOB first, end HOB last).
std::vector<uint8_t> BuildHobList(const BoardDescription &board);

// The slot table's indexes and the board bytes' ids run from 0 to 255, as the firmware run's.
constexpr uint32_t kSlotTableSize = 256;
constexpr uint32_t kBoardByteCount = 256;

// Board files: one setting per line, "#" starts a comment. ParseBoardFile applies the lines on
// top of `board`; on a bad line it returns false and names the line in `error`.
bool ParseBoardText(const std::string &text, BoardDescription &board, std::string &error);
// Why a line that reads well cannot describe `board`: a slot index past the slot table, a board
// byte past the board's, a setup-byte past the Setup variable, a pci-remove of a function the
// board lacks. "" when it can (or when the line does not read at all).
std::string BoardLacks(const std::string &line, const BoardDescription &board);
std::string FormatBoardText(const BoardDescription &board);
// The settings a board file knows, as their lines start ("riser-type", "pci-endpoint", ...).
std::vector<std::string> BoardSettingNames();

bool operator==(const EFI_GUID &a, const EFI_GUID &b);

}  // namespace emu

#endif  // EMULATOR_BOARD_H_
