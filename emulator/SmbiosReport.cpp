// The boot report's SMBIOS section: the slot structures as the drivers left them, decoded.
#include <sstream>

#include "BoardDecode.h"
#include "PciBoard.h"
#include "ReportData.h"
#include "SmbiosEditProtocol.h"
#include "TextTable.h"

namespace emu {

namespace {

// The structure `s` was before the boot: the one with its handle, type and designation. A
// platform may give a removed structure's handle to a new one; that one is added, not changed.
const SmbiosStructure *SameStructure(const SmbiosTable &table, const SmbiosStructure &s) {
  const SmbiosStructure *other = table.Find(s.Handle());
  bool same = other != nullptr && other->Type() == s.Type() &&
              other->String(other->Byte(4)) == s.String(s.Byte(4));
  return same ? other : nullptr;
}

SlotStructure Compare(const SmbiosStructure *before, const SmbiosStructure &after) {
  SlotStructure slot{after, StructureChange::kNone, 0};
  if (before == nullptr) {
    slot.change = StructureChange::kAdded;
  } else if (!(*before == after)) {
    SmbiosStructure widthOnly = *before;
    if (widthOnly.bytes.size() > 6 && widthOnly.Length() > 6) widthOnly.bytes[6] = after.Byte(6);
    slot.change = widthOnly == after ? StructureChange::kWidth : StructureChange::kChanged;
    slot.widthBefore = before->Byte(6);
  }
  return slot;
}

std::string ChangeText(const SlotStructure &slot) {
  if (slot.change == StructureChange::kNone) return "";
  if (slot.change == StructureChange::kWidth)
    return "<- width was " + SlotWidthName(slot.widthBefore);
  return std::string("<- ") + StructureChangeName(slot.change);
}

}  // namespace

const char *StructureChangeName(StructureChange change) {
  switch (change) {
    case StructureChange::kAdded:
      return "added";
    case StructureChange::kRemoved:
      return "removed";
    case StructureChange::kChanged:
      return "changed";
    case StructureChange::kWidth:
      return "width";
    case StructureChange::kNone:
      break;
  }
  return "none";
}

bool IsSlotStructure(const SmbiosStructure &s) {
  return s.Type() == SMBIOS_TYPE_SYSTEM_SLOTS || s.Type() == SMBIOS_TYPE_KVRN_PORT;
}

// Fields outside a structure's formatted area read as 0.
uint32_t SlotCodeOf(const SmbiosStructure &s) {
  return static_cast<uint32_t>(s.Word(0x0D)) << 16 | s.Byte(0x0F) << 8 | s.Byte(0x10);
}

// Slot types as SMBIOS names them, for the PCI Express 3 slots this board carries.
std::string SlotTypeName(uint8_t type) {
  static const char *const kGen3[] = {"PCIe 3",    "PCIe 3 x1", "PCIe 3 x2",
                                      "PCIe 3 x4", "PCIe 3 x8", "PCIe 3 x16"};
  std::string name = Hex(type, 2);
  if (type >= 0xB1 && type <= 0xB6) name += std::string(" ") + kGen3[type - 0xB1];
  return name;
}

std::vector<SlotStructure> SlotStructures(const BootResult &result) {
  std::vector<SlotStructure> slots;
  const SmbiosTable &before = result.board.smbios;
  for (const SmbiosStructure &s : result.smbiosAfter.Structures()) {
    if (IsSlotStructure(s)) slots.push_back(Compare(SameStructure(before, s), s));
  }
  for (const SmbiosStructure &s : before.Structures()) {
    if (IsSlotStructure(s) && SameStructure(result.smbiosAfter, s) == nullptr) {
      slots.push_back(SlotStructure{s, StructureChange::kRemoved, 0});
    }
  }
  return slots;
}

std::string FormatSmbiosSlots(const BootResult &result) {
  std::ostringstream out;
  out << "SMBIOS slot structures after the boot (System Slots, type 9, and KVRN ports, type 161)";
  if (!result.board.smbiosEditProtocol) out << "; no SMBIOS edit protocol";
  out << "\n";
  TextTable table({"handle", "type", "designation", "slot type", "slot ID", "width", "usage",
                   "slot code", "socket, stack, port", "root port", "change"});
  for (const SlotStructure &slot : SlotStructures(result)) {
    const SmbiosStructure &s = slot.structure;
    SlotCodeDecode code = DecodeSlotCode(result.board, SlotCodeOf(s));
    table.Add({Hex(s.Handle(), 4), std::to_string(s.Type()), "\"" + s.String(s.Byte(4)) + "\"",
               SlotTypeName(s.Byte(5)), Hex(s.Word(9), 4), SlotWidthName(s.Byte(6)),
               SlotUsageName(s.Byte(7)), Hex(code.code, 6), SlotCodePlace(code),
               BdfText(code.rootPort), ChangeText(slot)});
  }
  table.Print(out);
  out << "  The slot code is Segment Group, Bus and Device/Function read as one number: bits\n"
         "  23..16, 15..8 and 7..0 of the slot's code, not a PCI segment.\n";
  return out.str();
}

}  // namespace emu
