// The boot report's SMBIOS section: the slot structures as the drivers left them, decoded.
#include <cstdio>
#include <sstream>

#include "Boot.h"
#include "SmbiosEditProtocol.h"

namespace emu {

namespace {

bool IsSlotStructure(const SmbiosStructure &s) {
  return s.Type() == SMBIOS_TYPE_SYSTEM_SLOTS || s.Type() == SMBIOS_TYPE_KVRN_PORT;
}

// Fields outside a structure's formatted area read as 0.
std::string DecodeSlot(const SmbiosStructure &s) {
  std::string designation = "\"" + s.String(s.Byte(4)) + "\"";
  char busAddress[16];
  std::snprintf(busAddress, sizeof(busAddress), "%04X:%02X:%02X.%u", s.Word(0x0D), s.Byte(0x0F),
                s.Byte(0x10) >> 3, s.Byte(0x10) & 7u);
  char line[200];
  std::snprintf(line, sizeof(line), "  0x%04X %-4u %-40s 0x%02X 0x%04X %-5s %-11s %s", s.Handle(),
                s.Type(), designation.c_str(), s.Byte(5), s.Word(9),
                SlotWidthName(s.Byte(6)).c_str(), SlotUsageName(s.Byte(7)).c_str(), busAddress);
  return line;
}

// The structure `s` was before the boot: the one with its handle, type and designation. A
// platform may give a removed structure's handle to a new one; that one is added, not changed.
const SmbiosStructure *SameStructure(const SmbiosTable &table, const SmbiosStructure &s) {
  const SmbiosStructure *other = table.Find(s.Handle());
  bool same = other != nullptr && other->Type() == s.Type() &&
              other->String(other->Byte(4)) == s.String(s.Byte(4));
  return same ? other : nullptr;
}

std::string Change(const SmbiosStructure *before, const SmbiosStructure &after) {
  if (before == nullptr) return "  <- added";
  if (*before == after) return "";
  SmbiosStructure widthOnly = *before;
  if (widthOnly.bytes.size() > 6 && widthOnly.Length() > 6) widthOnly.bytes[6] = after.Byte(6);
  if (widthOnly == after) return "  <- width was " + SlotWidthName(before->Byte(6));
  return "  <- changed";
}

}  // namespace

std::string FormatSmbiosSlots(const BootResult &result) {
  std::ostringstream out;
  const SmbiosTable &before = result.board.smbios;
  out << "SMBIOS slot structures after the boot (System Slots, type 9, and KVRN ports, type 161)";
  if (!result.board.smbiosEditProtocol) out << "; no SMBIOS edit protocol";
  out << "\n  handle type designation                              slot ID     width usage"
         "       segment:bus:dev.fn\n";
  for (const SmbiosStructure &s : result.smbiosAfter.Structures()) {
    if (IsSlotStructure(s)) out << DecodeSlot(s) << Change(SameStructure(before, s), s) << "\n";
  }
  for (const SmbiosStructure &s : before.Structures()) {
    if (IsSlotStructure(s) && SameStructure(result.smbiosAfter, s) == nullptr) {
      out << DecodeSlot(s) << "  <- removed\n";
    }
  }
  return out.str();
}

}  // namespace emu
