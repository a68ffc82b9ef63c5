#include "Smbios.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace emu {

namespace {

std::vector<uint8_t> Structure(uint8_t type, uint16_t handle, std::vector<uint8_t> formatted,
                               const std::vector<std::string> &strings) {
  std::vector<uint8_t> bytes{type, static_cast<uint8_t>(4 + formatted.size()),
                             static_cast<uint8_t>(handle), static_cast<uint8_t>(handle >> 8)};
  bytes.insert(bytes.end(), formatted.begin(), formatted.end());
  for (const std::string &text : strings) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  }
  if (strings.empty()) bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

void PutWord(std::vector<uint8_t> &bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

std::vector<uint8_t> EndOfTable() {
  return Structure(kSmbiosEndOfTableType, kSmbiosEndOfTableHandle, {}, {});
}

}  // namespace

// ---- Structures ---------------------------------------------------------------------------------

uint8_t SmbiosStructure::Byte(size_t offset) const {
  return offset < Length() && offset < bytes.size() ? bytes[offset] : 0;
}

uint16_t SmbiosStructure::Word(size_t offset) const {
  return static_cast<uint16_t>(Byte(offset) | Byte(offset + 1) << 8);
}

std::vector<std::string> SmbiosStructure::Strings() const {
  std::vector<std::string> strings;
  size_t at = Length();
  while (at < bytes.size() && bytes[at] != 0) {
    const char *text = reinterpret_cast<const char *>(bytes.data() + at);
    size_t length = strnlen(text, bytes.size() - at);
    strings.emplace_back(text, length);
    at += length + 1;
  }
  return strings;
}

std::string SmbiosStructure::String(uint8_t number) const {
  std::vector<std::string> strings = Strings();
  return number == 0 || number > strings.size() ? std::string() : strings[number - 1];
}

size_t SmbiosStructureExtent(const uint8_t *data, size_t size) {
  if (data == nullptr || size < 6) return 0;
  size_t length = data[1];
  if (length < 4 || length + 2 > size) return 0;
  // An empty string is not allowed: a NUL right after the formatted area must close the set.
  if (data[length] == 0) return data[length + 1] == 0 ? length + 2 : 0;
  for (size_t at = length; at + 1 < size; ++at) {
    if (data[at] == 0 && data[at + 1] == 0) return at + 2;
  }
  return 0;
}

std::vector<uint8_t> SmbiosSlot::Bytes() const {
  std::vector<uint8_t> formatted(13, 0);
  formatted[0] = designation.empty() ? 0 : 1;
  formatted[1] = slotType;
  formatted[2] = width;
  formatted[3] = usage;
  formatted[4] = length;
  PutWord(formatted, 5, id);
  formatted[7] = characteristics1;
  formatted[8] = characteristics2;
  PutWord(formatted, 9, segment);
  formatted[11] = bus;
  formatted[12] = deviceFunction;
  std::vector<std::string> strings;
  if (!designation.empty()) strings.push_back(designation);
  return Structure(type, handle, formatted, strings);
}

std::optional<SmbiosSlot> SmbiosSlot::From(const SmbiosStructure &s) {
  std::vector<std::string> strings = s.Strings();
  if (s.Length() != 0x11 || strings.size() != 1 || s.Byte(4) != 1) return std::nullopt;
  SmbiosSlot slot;
  slot.type = s.Type();
  slot.handle = s.Handle();
  slot.designation = strings[0];
  slot.slotType = s.Byte(5);
  slot.width = s.Byte(6);
  slot.usage = s.Byte(7);
  slot.length = s.Byte(8);
  slot.id = s.Word(9);
  slot.characteristics1 = s.Byte(0x0B);
  slot.characteristics2 = s.Byte(0x0C);
  slot.segment = s.Word(0x0D);
  slot.bus = s.Byte(0x0F);
  slot.deviceFunction = s.Byte(0x10);
  return slot;
}

// ---- The table ----------------------------------------------------------------------------------

SmbiosTable::SmbiosTable() { structures_.push_back(SmbiosStructure{EndOfTable()}); }

std::vector<SmbiosStructure> SmbiosTable::OfType(uint8_t type) const {
  std::vector<SmbiosStructure> out;
  std::copy_if(structures_.begin(), structures_.end(), std::back_inserter(out),
               [type](const SmbiosStructure &s) { return s.Type() == type; });
  return out;
}

const SmbiosStructure *SmbiosTable::Find(uint16_t handle) const {
  for (const SmbiosStructure &s : structures_) {
    if (s.Handle() == handle) return &s;
  }
  return nullptr;
}

bool SmbiosTable::HandleInUse(uint16_t handle) const { return Find(handle) != nullptr; }

bool SmbiosTable::Put(const std::vector<uint8_t> &bytes, std::string &error) {
  size_t extent = SmbiosStructureExtent(bytes.data(), bytes.size());
  if (extent == 0 || extent != bytes.size()) {
    error = "not one complete structure (header, Length, strings, closing NUL)";
    return false;
  }
  if (bytes.size() > 0xFFFF) {
    error = "larger than 65535 bytes";
    return false;
  }
  SmbiosStructure structure{bytes};
  if (structure.Type() == kSmbiosEndOfTableType) {
    error = "the end-of-table structure belongs to the table";
    return false;
  }
  if (structure.Handle() >= kSmbiosFirstReservedHandle ||
      structure.Handle() == kSmbiosEndOfTableHandle) {
    error = "handle is reserved";
    return false;
  }
  nextHandle_ = std::max<uint32_t>(nextHandle_, structure.Handle() + 1u);
  for (SmbiosStructure &s : structures_) {
    if (s.Handle() == structure.Handle()) {
      s = structure;
      return true;
    }
  }
  structures_.insert(structures_.end() - 1, structure);
  return true;
}

void SmbiosTable::Clear() { *this = SmbiosTable(); }

EFI_STATUS SmbiosTable::Accept(const uint8_t *data, size_t size, SmbiosStructure &out) {
  size_t extent = SmbiosStructureExtent(data, size);
  if (extent == 0) return EFI_INVALID_PARAMETER;
  out.bytes.assign(data, data + extent);
  return out.Type() == kSmbiosEndOfTableType ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
}

EFI_STATUS SmbiosTable::Insert(const uint8_t *data, size_t size, uint16_t *handle) {
  SmbiosStructure structure;
  if (EFI_STATUS status = Accept(data, size, structure); EFI_ERROR(status)) return status;
  uint16_t chosen = structure.Handle();
  if (chosen == kSmbiosChooseHandle) {
    // One past the highest handle ever used, so that a removed structure's handle does not
    // come back naming another; the lowest free one once that runs into the reserved range.
    uint32_t next = nextHandle_;
    if (HandleInUse(static_cast<uint16_t>(next)) || next >= kSmbiosFirstReservedHandle) {
      next = 0;
      while (next < kSmbiosFirstReservedHandle && HandleInUse(static_cast<uint16_t>(next))) {
        ++next;
      }
      if (next == kSmbiosFirstReservedHandle) return EFI_OUT_OF_RESOURCES;
    }
    chosen = static_cast<uint16_t>(next);
  } else if (chosen >= kSmbiosFirstReservedHandle) {
    return EFI_INVALID_PARAMETER;
  } else if (HandleInUse(chosen)) {
    return EFI_ALREADY_STARTED;
  }
  PutWord(structure.bytes, 2, chosen);
  structures_.insert(structures_.end() - 1, std::move(structure));
  nextHandle_ = std::max<uint32_t>(nextHandle_, chosen + 1u);
  if (handle != nullptr) *handle = chosen;
  return EFI_SUCCESS;
}

EFI_STATUS SmbiosTable::Remove(uint16_t handle) {
  auto it = std::find_if(structures_.begin(), structures_.end(),
                         [handle](const SmbiosStructure &s) { return s.Handle() == handle; });
  if (it == structures_.end()) return EFI_NOT_FOUND;
  if (it->Type() == kSmbiosEndOfTableType) return EFI_INVALID_PARAMETER;
  structures_.erase(it);
  return EFI_SUCCESS;
}

const SmbiosStructure *SmbiosTable::FindByType(uint8_t type, size_t instance) const {
  if (instance == 0) return nullptr;
  for (const SmbiosStructure &s : structures_) {
    if (s.Type() == type && --instance == 0) return &s;
  }
  return nullptr;
}

EFI_STATUS SmbiosTable::Replace(uint16_t handle, const uint8_t *data, size_t size) {
  SmbiosStructure structure;
  if (EFI_STATUS status = Accept(data, size, structure); EFI_ERROR(status)) return status;
  for (SmbiosStructure &s : structures_) {
    if (s.Handle() != handle) continue;
    if (s.Type() == kSmbiosEndOfTableType) return EFI_INVALID_PARAMETER;
    PutWord(structure.bytes, 2, handle);
    s = std::move(structure);
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

std::vector<uint8_t> SmbiosTable::TableBytes() const {
  std::vector<uint8_t> table;
  for (const SmbiosStructure &s : structures_) {
    table.insert(table.end(), s.bytes.begin(), s.bytes.end());
  }
  return table;
}

std::vector<uint8_t> SmbiosTable::DumpImage() const {
  constexpr size_t kEntryPointLength = 0x18;
  constexpr size_t kTableOffset = 0x20;
  std::vector<uint8_t> table = TableBytes();
  std::vector<uint8_t> image(kTableOffset, 0);
  std::memcpy(image.data(), "_SM3_", 5);
  image[0x06] = kEntryPointLength;
  image[0x07] = 3;  // SMBIOS 3.0.0
  image[0x08] = 0;
  image[0x09] = 0;
  image[0x0A] = 1;  // entry point revision: 3.0 layout
  uint32_t maximumSize = static_cast<uint32_t>(table.size());
  std::memcpy(&image[0x0C], &maximumSize, sizeof(maximumSize));
  uint64_t address = kTableOffset;
  std::memcpy(&image[0x10], &address, sizeof(address));
  uint8_t sum = 0;
  for (size_t i = 0; i < kEntryPointLength; ++i) sum = static_cast<uint8_t>(sum + image[i]);
  image[0x05] = static_cast<uint8_t>(-sum);
  image.insert(image.end(), table.begin(), table.end());
  return image;
}

// ---- The board's table --------------------------------------------------------------------------

SmbiosTable DefaultSmbiosTable() {
  SmbiosTable table;
  std::string error;

  // BIOS information (SMBIOS 3.0 layout): vendor, version, start segment 0xF000, release date,
  // 16 MiB ROM, PCI, flash, shadowing, CD and selectable boot, EDD; ACPI, USB legacy, UEFI.
  std::vector<uint8_t> bios(0x14, 0);
  bios[0] = 1;
  bios[1] = 2;
  PutWord(bios, 2, 0xF000);
  bios[4] = 3;
  bios[5] = 0xFF;
  uint64_t characteristics = 0x99880;
  std::memcpy(&bios[6], &characteristics, sizeof(characteristics));
  bios[0x0E] = 0x03;
  bios[0x0F] = 0x0C;
  bios[0x10] = 2;  // release 2.14
  bios[0x11] = 14;
  bios[0x12] = 0xFF;  // no embedded controller firmware
  bios[0x13] = 0xFF;
  table.Put(Structure(0, 0x0000, bios, {"Board Emulator", "KVR.2.14.0", "03/18/2024"}), error);

  // System information: manufacturer, product, version, serial, UUID, power-switch wake-up,
  // SKU, family.
  std::vector<uint8_t> system(0x17, 0);
  system[0] = 1;
  system[1] = 2;
  system[2] = 3;
  system[3] = 4;
  const uint8_t uuid[16] = {0x4C, 0x4C, 0x45, 0x44, 0x00, 0x4B, 0x10, 0x56,
                            0x80, 0x52, 0xB2, 0xC0, 0x4F, 0x32, 0x36, 0x32};
  std::memcpy(&system[4], uuid, sizeof(uuid));
  system[0x14] = 0x06;
  system[0x15] = 5;
  system[0x16] = 6;
  table.Put(Structure(1, 0x0001, system,
                      {"Board Emulator", "Four-socket server board", "Rev 1.0", "EMU4S000017",
                       "4S-KVRN", "Server"}),
            error);

  // The board's own slots, and the KVRN module's slot as the platform describes it before the
  // module has been looked at: one x16 link.
  SmbiosSlot slot1{9, 0x0002, "CPU1 SLOT1 PCIE 3.0 X16"};
  slot1.id = 0x0001;
  slot1.bus = 0x17;
  SmbiosSlot slot2{9, 0x0003, "CPU1 SLOT2 PCIE 3.0 X8"};
  slot2.slotType = 0xB5;
  slot2.width = 0x0B;
  slot2.usage = 0x04;
  slot2.length = 0x03;
  slot2.id = 0x0002;
  slot2.bus = 0x3A;
  SmbiosSlot slot3{9, 0x0004, "CPU2 SLOT3 PCIE 3.0 X16"};
  slot3.id = 0x0003;
  slot3.bus = 0x85;
  SmbiosSlot kvrn{9, 0x0005, "KVRN: CPU2 PCIE 3.0"};
  kvrn.usage = 0x04;
  kvrn.id = 0x0B01;
  kvrn.segment = 0x0022;
  kvrn.bus = 0xB0;
  for (const SmbiosSlot &slot : {slot1, slot2, slot3, kvrn}) table.Put(slot.Bytes(), error);
  return table;
}

std::string SlotWidthName(uint8_t width) {
  static const char *const kNames[] = {"Other",  "Unknown", "8 bit", "16 bit", "32 bit",
                                       "64 bit", "128 bit", "x1",    "x2",     "x4",
                                       "x8",     "x12",     "x16",   "x32"};
  if (width >= 1 && width <= 0x0E) return kNames[width - 1];
  char text[24];
  std::snprintf(text, sizeof(text), "0x%02X, out of range", width);
  return text;
}

std::string SlotUsageName(uint8_t usage) {
  static const char *const kNames[] = {"Other", "Unknown", "Available", "In use", "Unavailable"};
  if (usage >= 1 && usage <= 5) return kNames[usage - 1];
  char text[24];
  std::snprintf(text, sizeof(text), "0x%02X, out of range", usage);
  return text;
}

}  // namespace emu
