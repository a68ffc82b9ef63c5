#include "Board.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "PciBoard.h"

namespace emu {

namespace {

void Append(std::vector<uint8_t> &out, const void *data, size_t size) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  out.insert(out.end(), bytes, bytes + size);
}

template <typename T>
void AppendValue(std::vector<uint8_t> &out, T value) {
  Append(out, &value, sizeof(value));
}

// Owner GUIDs that make the list look like a real platform's; the walk only compares them.
constexpr EFI_GUID kMemoryAllocationModuleGuid = {
    0xF8E21975, 0x0899, 0x4F58, {0xA4, 0xBE, 0x55, 0x25, 0xA9, 0xC6, 0xD7, 0x7A}};
constexpr EFI_GUID kPlatformInfoHobGuid = {
    0x1E2ACC41, 0xE26A, 0x483D, {0xAF, 0xC7, 0xA0, 0x56, 0xC3, 0x4E, 0x08, 0x7B}};

Hob PhitHob() {
  Hob hob{EFI_HOB_TYPE_HANDOFF, {}};
  AppendValue<uint32_t>(hob.body, 9);           // Version
  AppendValue<uint32_t>(hob.body, 0);           // BootMode: full configuration
  AppendValue<uint64_t>(hob.body, 0x7F000000);  // EfiMemoryTop
  AppendValue<uint64_t>(hob.body, 0x7E000000);  // EfiMemoryBottom
  AppendValue<uint64_t>(hob.body, 0x7EF00000);  // EfiFreeMemoryTop
  AppendValue<uint64_t>(hob.body, 0x7E040000);  // EfiFreeMemoryBottom
  // EfiEndOfHobList as the PEI core left it, before the DXE core moved the list: stale, as on
  // OVMF, where it points nowhere near the list. Walks must end at the end HOB, never here.
  AppendValue<uint64_t>(hob.body, 0x7E03F000);  // EfiEndOfHobList
  return hob;
}

Hob MemoryAllocationHob(uint64_t base, uint64_t length, uint32_t type) {
  Hob hob{EFI_HOB_TYPE_MEMORY_ALLOCATION, {}};
  AppendValue(hob.body, kMemoryAllocationModuleGuid);
  AppendValue<uint64_t>(hob.body, base);
  AppendValue<uint64_t>(hob.body, length);
  AppendValue<uint32_t>(hob.body, type);
  AppendValue<uint32_t>(hob.body, 0);
  return hob;
}

Hob ResourceDescriptorHob(uint32_t type, uint64_t base, uint64_t length) {
  Hob hob{EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, {}};
  AppendValue(hob.body, EFI_GUID{});
  AppendValue<uint32_t>(hob.body, type);
  AppendValue<uint32_t>(hob.body, 0x3C07);  // present, initialised, tested, cacheable
  AppendValue<uint64_t>(hob.body, base);
  AppendValue<uint64_t>(hob.body, length);
  return hob;
}

Hob FirmwareVolumeHob(uint64_t base, uint64_t length) {
  Hob hob{EFI_HOB_TYPE_FV, {}};
  AppendValue<uint64_t>(hob.body, base);
  AppendValue<uint64_t>(hob.body, length);
  return hob;
}

Hob CpuHob() {
  Hob hob{EFI_HOB_TYPE_CPU, {}};
  AppendValue<uint8_t>(hob.body, 46);  // SizeOfMemorySpace
  AppendValue<uint8_t>(hob.body, 16);  // SizeOfIoSpace
  hob.body.resize(8, 0);
  return hob;
}

std::vector<Hob> PlatformHobs() {
  std::vector<Hob> hobs;
  // A four-socket board reports memory per socket and per channel, a stack of early
  // allocations, its firmware volumes, and platform data blobs.
  for (uint32_t i = 0; i < 48; ++i) {
    hobs.push_back(
        ResourceDescriptorHob(0 /* system memory */, 0x100000000ull * (i + 1), 0x80000000ull));
  }
  for (uint32_t i = 0; i < 110; ++i) {
    hobs.push_back(MemoryAllocationHob(0x7E100000ull + 0x1000ull * i, 0x1000,
                                       i % 3 == 0 ? EfiBootServicesData : EfiBootServicesCode));
  }
  for (uint32_t i = 0; i < 6; ++i) {
    hobs.push_back(FirmwareVolumeHob(0xFF000000ull + 0x100000ull * i, 0x100000));
  }
  hobs.push_back(CpuHob());
  for (uint32_t i = 0; i < 40; ++i) {
    EFI_GUID name = kPlatformInfoHobGuid;
    name.Data1 += i;
    hobs.push_back(GuidHob(name, std::vector<uint8_t>(16 + 8 * (i % 7), static_cast<uint8_t>(i))));
  }
  return hobs;
}

}  // namespace

Hob GuidHob(const EFI_GUID &name, const std::vector<uint8_t> &data) {
  Hob hob{EFI_HOB_TYPE_GUID_EXTENSION, {}};
  AppendValue(hob.body, name);
  Append(hob.body, data.data(), data.size());
  return hob;
}

bool operator==(const EFI_GUID &a, const EFI_GUID &b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

uint8_t BoardDescription::BoardByte(uint32_t id) const {
  auto it = boardBytes.find(id);
  return it == boardBytes.end() ? 0 : it->second;
}

const Variable *BoardDescription::FindVariable(const std::u16string &name,
                                               const EFI_GUID &guid) const {
  for (const Variable &variable : variables) {
    if (variable.name == name && variable.guid == guid) return &variable;
  }
  return nullptr;
}

Variable *BoardDescription::FindVariable(const std::u16string &name, const EFI_GUID &guid) {
  return const_cast<Variable *>(std::as_const(*this).FindVariable(name, guid));
}

void BoardDescription::SetSetupByte(size_t offset, uint8_t value) {
  Variable *setup = FindVariable(u"Setup", gSetupVariableGuid);
  if (setup == nullptr) {
    variables.push_back(Variable{u"Setup", gSetupVariableGuid, kSetupAttributes, {}});
    setup = &variables.back();
  }
  if (setup->data.size() <= offset) setup->data.resize(offset + 1, 0);
  setup->data[offset] = value;
}

BoardDescription DefaultBoard() {
  BoardDescription board;
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x8E);
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, 5);
  board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, 0);

  // The onboard network controller's root port, and the riser slots the platform already
  // described: CPU4 stack 2 port A (LS-Top), CPU4 stack 1 port A (LS-Bot), CPU4 stack 4 port A
  // (MS-Top). 172 and 174 onwards are free.
  board.slots[SLOT_INDEX_ONBOARD_NIC] = 0x12A000;
  board.slots[170] = 0x42A000;
  board.slots[171] = 0x41A000;
  board.slots[173] = 0x44A000;

  board.hobs = PlatformHobs();
  board.smbios = DefaultSmbiosTable();
  AddDefaultPciTopology(board);

  // A Setup variable of the size this platform's setup keeps.
  board.variables.push_back(Variable{u"Setup", gSetupVariableGuid, kSetupAttributes, {}});
  board.variables.back().data.assign(3072, 0);

  board.setupMenus = DefaultSetupMenus();
  board.SetSetupByte(331, 1);  // root-port adjustment on
  return board;
}

std::vector<uint8_t> BuildHobList(const BoardDescription &board) {
  if (board.rawHobList) return *board.rawHobList;
  std::vector<uint8_t> list;
  auto emit = [&list](const Hob &hob) {
    size_t length = (sizeof(EFI_HOB_GENERIC_HEADER) + hob.body.size() + 7) & ~size_t{7};
    EFI_HOB_GENERIC_HEADER header{hob.type, static_cast<uint16_t>(length), 0};
    AppendValue(list, header);
    Append(list, hob.body.data(), hob.body.size());
    list.resize((list.size() + 7) & ~size_t{7}, 0);
  };
  emit(PhitHob());
  for (const Hob &hob : board.hobs) emit(hob);
  emit(Hob{EFI_HOB_TYPE_END_OF_HOB_LIST, {}});
  return list;
}

}  // namespace emu
