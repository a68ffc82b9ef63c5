// The SMBIOS slot records' walks: the KVRN slot record's removal walk and width walk (and the
// records added after them), over an arbitrary set of structures in the table of the emulated
// SMBIOS edit protocol, whose copies are pool memory ending right before a guard page, and with
// its members failing where the input says.
//
// The protocol may also answer badly: a copy whose reported size is shorter than the copy, so
// that it disagrees with the structure's Length byte or cuts its strings.
//
// Input: KVRN-unavailable flag, KVRN configuration byte, riser type byte (bytes); fault count
// (byte, at most 4), each a member (byte), an occurrence (byte, 0: every call) and a status
// (byte: 0 success, otherwise an error); structure count (byte), each a run (16-bit length and
// bytes) that the table takes as it stands or closed with two NULs; size lies (count byte, at
// most 4), each the FindRecordByType call it applies to (byte, 0: every call) and how many
// bytes short of the copy the reported size is (byte).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>

#include "BoardInfoProtocol.h"
#include "BoardSlotService.h"
#include "DriverFrame.h"
#include "FuzzPlatform.h"

namespace {

constexpr size_t kMaxFaults = 4;
const char *const kFaultMembers[] = {"Smbios.FindRecordByType", "Smbios.ReplaceRecord",
                                     "Smbios.InsertRecord", "Smbios.RemoveRecord",
                                     "BS.LocateProtocol"};
constexpr EFI_STATUS kFaultStatuses[] = {EFI_SUCCESS, EFI_NOT_FOUND, EFI_INVALID_PARAMETER,
                                         EFI_OUT_OF_RESOURCES, EFI_DEVICE_ERROR};
constexpr char kKvrnSlotDesignation[] = "KVRN: CPU2 PCIE 3.0";

struct FaultChoice {
  uint8_t member = 0;
  uint8_t occurrence = 1;
  uint8_t status = 1;
};

struct SizeLie {
  uint8_t occurrence = 0;
  uint8_t shortBy = 0;
};
constexpr size_t kMaxSizeLies = 4;

struct Case {
  uint8_t unavailable = 0;
  uint8_t kvrnConfig = 0x8E;
  uint8_t riserType = 5;
  std::vector<FaultChoice> faults;
  std::vector<std::vector<uint8_t>> structures;
  std::vector<SizeLie> lies;
};

Case Read(fuzz::Input &in) {
  Case c;
  c.unavailable = in.Byte();
  c.kvrnConfig = in.Byte();
  c.riserType = in.Byte();
  size_t faults = in.Byte() % (kMaxFaults + 1);
  for (size_t i = 0; i < faults; ++i) c.faults.push_back({in.Byte(), in.Byte(), in.Byte()});
  size_t structures = in.Byte();
  for (size_t i = 0; i < structures && in.Left() > 0; ++i) c.structures.push_back(in.Run());
  size_t lies = in.Byte() % (kMaxSizeLies + 1);
  for (size_t i = 0; i < lies; ++i) c.lies.push_back({in.Byte(), in.Byte()});
  return c;
}

std::vector<uint8_t> Write(const Case &c) {
  fuzz::Output out;
  out.Byte(c.unavailable).Byte(c.kvrnConfig).Byte(c.riserType);
  out.Byte(static_cast<uint8_t>(c.faults.size()));
  for (const FaultChoice &f : c.faults) out.Byte(f.member).Byte(f.occurrence).Byte(f.status);
  out.Byte(static_cast<uint8_t>(c.structures.size()));
  for (const auto &s : c.structures) out.Run(s);
  out.Byte(static_cast<uint8_t>(c.lies.size()));
  for (const SizeLie &lie : c.lies) out.Byte(lie.occurrence).Byte(lie.shortBy);
  return out.Data();
}

emu::SmbiosTable TableOf(const std::vector<std::vector<uint8_t>> &structures) {
  emu::SmbiosTable table;
  std::string why;
  for (std::vector<uint8_t> bytes : structures) {
    if (bytes.size() < 4) continue;
    if (!table.Put(bytes, why)) {
      bytes.insert(bytes.end(), {0, 0});
      table.Put(bytes, why);
    }
  }
  return table;
}

std::vector<std::vector<uint8_t>> StructuresOf(const emu::SmbiosTable &table) {
  std::vector<std::vector<uint8_t>> out;
  for (const emu::SmbiosStructure &s : table.Structures()) {
    if (s.Type() != emu::kSmbiosEndOfTableType) out.push_back(s.bytes);
  }
  return out;
}

// The SMBIOS edit protocol of the case: the platform's, but for the sizes it lies about.
struct LyingProtocol {
  std::vector<SizeLie> lies;
  uint32_t finds = 0;
  std::set<uint16_t> liedAbout;  // handles of the structures whose copies came short
};
LyingProtocol *gLying = nullptr;

EFI_STATUS EFIAPI FindRecordByTypeShort(UINT8 type, UINT8 instance, VOID **record, UINT16 *size) {
  EFI_STATUS status = emu::SmbiosEditInterface()->FindRecordByType(type, instance, record, size);
  ++gLying->finds;
  if (EFI_ERROR(status) || record == nullptr || *record == nullptr || size == nullptr) {
    return status;
  }
  for (const SizeLie &lie : gLying->lies) {
    if (lie.occurrence != 0 && lie.occurrence != gLying->finds) continue;
    const uint8_t *copy = static_cast<const uint8_t *>(*record);
    if (*size >= 4) gLying->liedAbout.insert(static_cast<uint16_t>(copy[2] | copy[3] << 8));
    *size = static_cast<UINT16>(*size - std::min<UINT16>(*size, lie.shortBy));
    break;
  }
  return status;
}

SMBIOS_EDIT_PROTOCOL *LyingInterface() {
  static SMBIOS_EDIT_PROTOCOL protocol = [] {
    SMBIOS_EDIT_PROTOCOL interface = *emu::SmbiosEditInterface();
    interface.FindRecordByType = FindRecordByTypeShort;
    return interface;
  }();
  return &protocol;
}

std::vector<fuzz::Seed> Seeds() {
  const auto board = StructuresOf(emu::DefaultSmbiosTable());
  std::vector<fuzz::Seed> seeds;
  for (uint8_t config : {0x8E, 0x84, 0x80, 0x02, 0x0C}) {
    char name[32];
    std::snprintf(name, sizeof(name), "default-table-kvrn-%02x", config);
    seeds.push_back({name, Write({0, config, 5, {}, board, {}})});
  }
  seeds.push_back({"default-table-unavailable", Write({1, 0x8E, 6, {}, board, {}})});

  // Two KVRN slot records, one with a longer designation; short and string-less structures.
  emu::SmbiosSlot kvrn{9, 0x40, "KVRN: CPU2 PCIE 3.0 spare"};
  kvrn.id = 0x0B01;
  emu::SmbiosSlot second{9, 0x41, "KVRN: CPU2 PCIE 3.0"};
  second.id = 0x0B01;
  const std::vector<uint8_t> headerOnly = {9, 4, 0x42, 0x00, 0, 0};
  const std::vector<uint8_t> slotIdOnly = {9,    0x0B, 0x43, 0x00, 1,   0xB6, 0x0D,
                                           0x04, 0x04, 0x01, 0x0B, 'K', 0,    0};
  const std::vector<std::vector<uint8_t>> odd = {headerOnly, slotIdOnly, kvrn.Bytes(),
                                                 second.Bytes()};
  seeds.push_back({"odd-structures-width", Write({0, 0x8E, 0, {}, odd, {}})});
  seeds.push_back({"odd-structures-removal", Write({1, 0x8E, 0, {}, odd, {}})});
  // The protocol failing: a copy withheld, a replacement refused, lookups failing.
  seeds.push_back(
      {"failing-protocol", Write({0, 0x8E, 5, {{0, 2, 0}, {1, 1, 3}, {4, 1, 1}}, board, {}})});
  // Copies whose reported size is short: inside the strings, below the designation, below the
  // Slot ID, below the header.
  const std::vector<SizeLie> shortSizes = {{1, 2}, {2, 12}, {3, 30}, {4, 200}};
  seeds.push_back({"short-sizes-width", Write({0, 0x8E, 5, {}, board, shortSizes})});
  seeds.push_back({"short-sizes-removal", Write({1, 0x8E, 5, {}, odd, shortSizes})});
  return seeds;
}

// Only the KVRN slot record, found by its Slot ID in the formatted area, may be resized, and only
// its width may change.
bool MayBeResized(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after) {
  if (before.size() != after.size() || before[0] != SMBIOS_TYPE_SYSTEM_SLOTS ||
      before[1] < offsetof(SMBIOS_SYSTEM_SLOTS, SlotId) + 2 ||
      (before[9] | before[10] << 8) != KVRN_SLOT_ID) {
    return false;
  }
  for (size_t i = 0; i < before.size(); ++i) {
    if (i != offsetof(SMBIOS_SYSTEM_SLOTS, SlotDataBusWidth) && before[i] != after[i]) {
      return false;
    }
  }
  return true;
}

// A structure whose copy came short may be replaced by the structure the short size still
// holds (the protocol judges what it is given), its width set: a leading part of it.
bool MayBeCutShort(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after) {
  if (after.size() > before.size() ||
      after.size() <= offsetof(SMBIOS_SYSTEM_SLOTS, SlotDataBusWidth)) {
    return false;
  }
  for (size_t i = 0; i < after.size(); ++i) {
    if (i != offsetof(SMBIOS_SYSTEM_SLOTS, SlotDataBusWidth) && before[i] != after[i]) {
      return false;
    }
  }
  return true;
}

// The designation is the first string: it starts where the formatted area ends, at the Length
// byte, whichever layout the structure has.
bool DesignatedAsKvrnSlot(const std::vector<uint8_t> &bytes) {
  const size_t length = sizeof(kKvrnSlotDesignation) - 1;
  if (bytes.size() < 2) return false;
  const size_t designation = bytes[1];
  return bytes.size() >= designation + length &&
         std::memcmp(bytes.data() + designation, kKvrnSlotDesignation, length) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::Initialize(Seeds()); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  Case c = Read(in);

  emu::BoardDescription board;
  board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, c.unavailable);
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, c.kvrnConfig);
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, c.riserType);
  board.smbios = TableOf(c.structures);
  bool copyWithheld = false;
  for (const FaultChoice &f : c.faults) {
    std::string member = kFaultMembers[f.member % std::size(kFaultMembers)];
    EFI_STATUS status = kFaultStatuses[f.status % std::size(kFaultStatuses)];
    uint32_t occurrence = f.occurrence;
    // The frame's own two lookups find the protocols the drivers are dispatched after; the
    // routines' lookups of the SMBIOS edit protocol come third and fourth.
    if (member == "BS.LocateProtocol") occurrence = 3 + f.occurrence % 2;
    copyWithheld = copyWithheld || (member == "Smbios.FindRecordByType" && status == EFI_SUCCESS);
    board.faults.push_back({member, occurrence, status});
  }
  const emu::SmbiosTable before = board.smbios;
  LyingProtocol lying{c.lies, 0, {}};
  gLying = &lying;
  board.smbiosEditProtocol = false;

  fuzz::DriverRun run(std::move(board));
  emu::Platform &platform = run.Platform();
  platform.InstallProtocol(gSmbiosEditProtocolGuid, LyingInterface());
  // The event the main routine registers, signalled once the trigger protocol appears.
  EFI_EVENT event = nullptr;
  fuzz::Expect(!EFI_ERROR(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, SmbiosSlotNotify,
                                           nullptr, &event)),
               "no event for SmbiosSlotNotify");
  SmbiosSlotNotify(event, nullptr);
  fuzz::Expect(platform.LiveEvents() == 0, "SmbiosSlotNotify left its event open");

  // What the platform described stays as it was, but the KVRN slot record's width, or that
  // record itself when the module is unusable (the first one designated so, only).
  const emu::SmbiosTable &after = platform.Board().smbios;
  bool removedOne = false;
  bool passedKvrnSlot = false;
  for (const emu::SmbiosStructure &s : before.Structures()) {
    const emu::SmbiosStructure *now = after.Find(s.Handle());
    const bool kvrnSlot = s.Type() == SMBIOS_TYPE_SYSTEM_SLOTS && DesignatedAsKvrnSlot(s.bytes);
    if (now == nullptr) {
      // A walk handed no copy for an instance goes on to the next one.
      // A short copy of the first one does not match, and the walk goes on too.
      fuzz::Expect(c.unavailable != 0 && kvrnSlot &&
                       (!passedKvrnSlot || copyWithheld || !lying.liedAbout.empty()) && !removedOne,
                   "a structure that is not the first KVRN slot record left the table");
      removedOne = true;
    } else if (now->bytes != s.bytes) {
      fuzz::Expect(c.unavailable == 0 && (MayBeResized(s.bytes, now->bytes) ||
                                          (lying.liedAbout.count(s.Handle()) != 0 &&
                                           MayBeCutShort(s.bytes, now->bytes))),
                   "a structure other than the KVRN slot record changed");
    }
    passedKvrnSlot = passedKvrnSlot || kvrnSlot;
  }
  size_t added = 0;
  for (const emu::SmbiosStructure &s : after.Structures()) {
    if (before.Find(s.Handle()) != nullptr) continue;
    ++added;
    fuzz::Expect(s.Type() == SMBIOS_TYPE_KVRN_PORT || s.Type() == SMBIOS_TYPE_SYSTEM_SLOTS,
                 "an added structure is neither a KVRN port record nor a riser slot record");
  }
  fuzz::Expect(added <= 3 + 8, "more structures were added than ports and riser slots");
  gLying = nullptr;
  return 0;
}
