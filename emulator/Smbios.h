// The platform's SMBIOS table: structures with their handles and string sets, closed by the
// end-of-table structure, and its export in the layout dmidecode reads (--from-dump).
#ifndef EMULATOR_SMBIOS_H_
#define EMULATOR_SMBIOS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SmbiosEditProtocol.h"
#include "Uefi.h"

namespace emu {

constexpr uint8_t kSmbiosEndOfTableType = 127;
constexpr uint16_t kSmbiosEndOfTableHandle = 0xFEFF;
// Handles from here up are reserved by SMBIOS; 0xFFFF asks the table to choose one.
constexpr uint16_t kSmbiosFirstReservedHandle = 0xFF00;
constexpr uint16_t kSmbiosChooseHandle = 0xFFFF;

// One structure as the table holds it: formatted area, string set, closing NUL.
struct SmbiosStructure {
  std::vector<uint8_t> bytes;

  uint8_t Type() const { return bytes[0]; }
  uint8_t Length() const { return bytes[1]; }
  uint16_t Handle() const { return static_cast<uint16_t>(bytes[2] | bytes[3] << 8); }
  // A byte or word of the formatted area; 0 beyond it.
  uint8_t Byte(size_t offset) const;
  uint16_t Word(size_t offset) const;
  // The strings of the string set, string 1 first.
  std::vector<std::string> Strings() const;
  // String `number` (1-based); "" for 0 or a number past the set.
  std::string String(uint8_t number) const;
  bool operator==(const SmbiosStructure &other) const { return bytes == other.bytes; }
};

// How many bytes of `data` form one complete structure: a formatted area of at least the
// 4-byte header, then a string set of non-empty NUL-terminated strings closed by a further NUL,
// all within `size`. 0 when there is no such structure.
size_t SmbiosStructureExtent(const uint8_t *data, size_t size);

// A System Slots structure (type 9, or the OEM type 161 in its layout) with the 17-byte
// formatted area and one string, the designation.
struct SmbiosSlot {
  uint8_t type = 9;
  uint16_t handle = 0;
  std::string designation;
  uint8_t slotType = 0xB6;  // PCI Express Gen 3 x16
  uint8_t width = 0x0D;     // x16
  uint8_t usage = 0x03;     // available
  uint8_t length = 0x04;    // long
  uint16_t id = 0;
  uint8_t characteristics1 = 0x04;  // 3.3 V
  uint8_t characteristics2 = 0x01;  // PME#
  uint16_t segment = 0;
  uint8_t bus = 0;
  uint8_t deviceFunction = 0;

  std::vector<uint8_t> Bytes() const;
  // The slot a structure describes, when it has this exact form (Length 0x11, one string
  // referenced as string 1); otherwise nothing.
  static std::optional<SmbiosSlot> From(const SmbiosStructure &structure);
  bool operator==(const SmbiosSlot &other) const = default;
};

class SmbiosTable {
 public:
  SmbiosTable();  // holds only the end-of-table structure

  // Every structure in table order, the end-of-table structure last.
  const std::vector<SmbiosStructure> &Structures() const { return structures_; }
  // The structures of one type, in table order.
  std::vector<SmbiosStructure> OfType(uint8_t type) const;
  const SmbiosStructure *Find(uint16_t handle) const;

  // Describes the platform's table: a complete structure with a handle of its own. One that
  // has the handle of a structure already there takes its place; any other goes before the
  // end-of-table structure. False, with a reason, for anything else.
  bool Put(const std::vector<uint8_t> &bytes, std::string &error);
  // Leaves only the end-of-table structure.
  void Clear();

  // What the SMBIOS edit protocol does, with its status codes.
  // A copy of the structure at `data` (checked within `size`) joins the table; handle 0xFFFF
  // gets one past the highest handle used so far. The handle given is stored through `handle`.
  EFI_STATUS Insert(const uint8_t *data, size_t size, uint16_t *handle = nullptr);
  EFI_STATUS Remove(uint16_t handle);
  // The instance-th structure of a type, counting from 1; null when there is none.
  const SmbiosStructure *FindByType(uint8_t type, size_t instance) const;
  // The structure with `handle` takes a copy of the structure at `data`, keeping its handle
  // and its place.
  EFI_STATUS Replace(uint16_t handle, const uint8_t *data, size_t size);

  // The structure table, byte for byte.
  std::vector<uint8_t> TableBytes() const;
  // An SMBIOS 3.0 entry point at offset 0 and the table at offset 0x20, with the table address
  // and the checksum set for that layout: what `dmidecode --dump-bin` writes and
  // `dmidecode --from-dump` reads.
  std::vector<uint8_t> DumpImage() const;

  bool operator==(const SmbiosTable &other) const { return structures_ == other.structures_; }

 private:
  // Checks a structure offered from outside; on success `out` is its copy.
  static EFI_STATUS Accept(const uint8_t *data, size_t size, SmbiosStructure &out);
  bool HandleInUse(uint16_t handle) const;

  std::vector<SmbiosStructure> structures_;
  uint32_t nextHandle_ = 0;  // no inserted structure had a handle at or above it
};

// The table of the board the drivers were written for: BIOS and system information, the
// board's own slots and the KVRN slot record, Slot ID 0x0B01, "KVRN: CPU2 PCIE 3.0".
SmbiosTable DefaultSmbiosTable();

// The interface the platform's SMBIOS driver installs under the SMBIOS edit protocol's GUID
// (unless the board leaves it out). Its members edit the current platform's board().smbios; a
// test may wrap them to play a protocol that answers badly.
SMBIOS_EDIT_PROTOCOL *SmbiosEditInterface();

// Slot Data Bus Width and Current Usage as SMBIOS names them ("x16", "Unknown").
std::string SlotWidthName(uint8_t width);
std::string SlotUsageName(uint8_t usage);

}  // namespace emu

#endif  // EMULATOR_SMBIOS_H_
