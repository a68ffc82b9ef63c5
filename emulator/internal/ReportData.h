// What the report's sections say, as data: the text report and the JSON report are both made
// from these.
#ifndef EMULATOR_INTERNAL_REPORT_DATA_H_
#define EMULATOR_INTERNAL_REPORT_DATA_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Boot.h"

namespace emu {

// ---- SMBIOS (SmbiosReport.cpp) ----
enum class StructureChange { kNone, kAdded, kRemoved, kChanged, kWidth };
struct SlotStructure {
  SmbiosStructure structure;  // as the boot left it; as it was, for one removed
  StructureChange change = StructureChange::kNone;
  uint8_t widthBefore = 0;  // kWidth: the width it had
};
// "none", "added", "removed", "changed", "width".
const char *StructureChangeName(StructureChange change);
// The System Slots and KVRN port structures after the boot, in table order, then those the
// boot removed.
std::vector<SlotStructure> SlotStructures(const BootResult &result);
bool IsSlotStructure(const SmbiosStructure &s);
// Segment Group, Bus and Device/Function read as one number: a slot code's bits 23..0.
uint32_t SlotCodeOf(const SmbiosStructure &s);
// "0xB6 PCIe 3 x16".
std::string SlotTypeName(uint8_t type);

// ---- PCI (PciReport.cpp) ----
// The net change of one configuration register: before the first write, after the last.
struct RegisterChange {
  uint16_t bdf = 0;
  uint16_t offset = 0;
  uint32_t before = 0;
  uint32_t after = 0;
  bool rootPort15C = false;  // register 0x15C of a root port
};
std::vector<RegisterChange> RegisterChanges(const BootResult &result);
std::vector<PciWrite> DroppedWrites(const BootResult &result);
// The slot whose code resolves to `bdf` on the board.
std::optional<uint32_t> SlotOfRootPort(const BootResult &result, uint16_t bdf);

// ---- Setup menus (SetupMenus.cpp) ----
struct MenuItemChange {
  std::string formSet;
  uint16_t id = 0;
  SetupItem before;
  SetupItem after;
};
std::vector<MenuItemChange> MenuItemChanges(const SetupMenus &before, const SetupMenus &after);

}  // namespace emu

#endif  // EMULATOR_INTERNAL_REPORT_DATA_H_
