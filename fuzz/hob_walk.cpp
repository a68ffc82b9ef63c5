// The HOB walk and the stack-bus table lookup, with arbitrary slot location codes resolved
// through whatever stack-bus HOB the list holds. Two kinds of list:
// - padded: arbitrary HOB bytes after the PEI core's PHIT HOB, followed by an end HOB wherever a
//   length from them can land (the buffer ends after that);
// - whole HOBs: each HOB's length covers exactly its bytes, and one end HOB closes the list
//   where the buffer ends, as the DXE core's copy of a list does. Damaged lengths (below a
//   header, not a multiple of 8) may appear anywhere; a walk must stop at them.
//
// Input: list kind (byte, bit 0 set: whole HOBs), processor (byte: 0 signature 0x5065, 1
// signature 0x606A, 2 CPUID EAX as a dword that follows), code count (byte, at most 8), the
// codes (dwords), then for a padded list the HOB bytes, for whole HOBs one HOB after another:
// a kind byte (0: the stack-bus HOB, a flag for data that reaches the table, then a run; 1: a
// GUID HOB of another name, then a run; 2: a HOB of any type, a word, then its body as a run;
// 3: a damaged HOB, its type and length as words).
#include <algorithm>
#include <cstring>

#include "DriverFrame.h"
#include "FuzzPlatform.h"
#include "PciAccess.h"
#include "PciBoard.h"

namespace {

constexpr size_t kMaxCodes = 8;

enum ListKind : uint8_t { kPadded, kWholeHobs };
enum HobKind : uint8_t { kStackBusHob, kOtherGuidHob, kAnyHob, kDamagedHob };

struct Case {
  uint8_t list = kPadded;
  uint32_t cpuidEax = fuzz::kEax5065;
  std::vector<uint32_t> codes;
  std::vector<uint8_t> hobs;  // padded: the bytes between the PHIT HOB and the end HOBs
};

Case Read(fuzz::Input &in) {
  Case c;
  c.list = in.Byte() & 1;
  c.cpuidEax = fuzz::ReadCpuidEax(in);
  size_t count = in.Byte() % (kMaxCodes + 1);
  for (size_t i = 0; i < count; ++i) c.codes.push_back(in.Dword());
  c.hobs = in.Rest();
  return c;
}

std::vector<uint8_t> Write(const Case &c) {
  fuzz::Output out;
  out.Byte(c.list);
  fuzz::WriteCpuidEax(out, c.cpuidEax);
  out.Byte(static_cast<uint8_t>(c.codes.size()));
  for (uint32_t code : c.codes) out.Dword(code);
  return out.Bytes(c.hobs).Data();
}

void AppendHob(std::vector<uint8_t> &list, uint16_t type, uint16_t length,
               const std::vector<uint8_t> &body) {
  EFI_HOB_GENERIC_HEADER header{type, length, 0};
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&header);
  list.insert(list.end(), bytes, bytes + sizeof(header));
  list.insert(list.end(), body.begin(), body.end());
}

// A whole HOB: its length covers its body, padded to 8 bytes, and at most what 16 bits say.
void AppendWholeHob(std::vector<uint8_t> &list, uint16_t type, std::vector<uint8_t> body) {
  body.resize(std::min<size_t>((body.size() + 7) & ~size_t{7}, 0xFFF8 - 8), 0);
  AppendHob(list, type, static_cast<uint16_t>(8 + body.size()), body);
}

std::vector<uint8_t> GuidBody(const EFI_GUID &name, const std::vector<uint8_t> &data) {
  std::vector<uint8_t> body(sizeof(EFI_GUID));
  std::memcpy(body.data(), &name, sizeof(name));
  body.insert(body.end(), data.begin(), data.end());
  return body;
}

// The list the PHIT HOB starts and one end HOB closes, built from the HOB descriptions of a
// whole-HOB input.
std::vector<uint8_t> WholeHobList(const std::vector<uint8_t> &descriptions) {
  std::vector<uint8_t> list = fuzz::PhitHob();
  fuzz::Input in(descriptions.data(), descriptions.size());
  while (in.Left() > 0) {
    switch (in.Byte() % 4) {
      case kStackBusHob: {
        const bool reachesTable = in.Flag();
        std::vector<uint8_t> data(reachesTable ? STACK_BUS_TABLE_OFFSET : 0, 0);
        std::vector<uint8_t> run = in.Run();
        data.insert(data.end(), run.begin(), run.end());
        AppendWholeHob(list, EFI_HOB_TYPE_GUID_EXTENSION, GuidBody(gStackBusHobGuid, data));
        break;
      }
      case kOtherGuidHob: {
        EFI_GUID other = gStackBusHobGuid;
        other.Data4[7] ^= 1 + in.Byte() % 255;
        AppendWholeHob(list, EFI_HOB_TYPE_GUID_EXTENSION, GuidBody(other, in.Run()));
        break;
      }
      case kAnyHob: {
        const uint16_t type = in.Word();
        AppendWholeHob(list, type, in.Run());
        break;
      }
      case kDamagedHob: {
        const uint16_t type = in.Word();
        uint16_t length = in.Word();
        if (length >= sizeof(EFI_HOB_GENERIC_HEADER) && (length & 7) == 0) length |= 1;
        AppendHob(list, type, length, {});
        break;
      }
    }
  }
  AppendHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), {});
  return list;
}

// A whole-HOB description of each HOB of a board (its list without PHIT and end HOBs).
std::vector<uint8_t> DescribeWhole(const emu::BoardDescription &board) {
  fuzz::Output out;
  for (const emu::Hob &hob : board.hobs) {
    out.Byte(kAnyHob).Word(hob.type).Run(hob.body);
  }
  return out.Data();
}

// The HOBs of a built list, without its PHIT and end HOBs.
std::vector<uint8_t> InnerHobs(const emu::BoardDescription &board) {
  std::vector<uint8_t> list = emu::BuildHobList(board);
  return std::vector<uint8_t>(list.begin() + sizeof(EFI_HOB_HANDOFF_INFO_TABLE),
                              list.end() - sizeof(EFI_HOB_GENERIC_HEADER));
}

std::vector<fuzz::Seed> Seeds() {
  // The codes the board uses (KVRN ports, riser slots, the onboard NIC), one per fallback rule.
  const std::vector<uint32_t> codes = {0x22B000, 0x12A000, 0x42A000, 0x44D000,
                                       0x00B000, 0x270000, 0x22E000, 0xF5A000};
  std::vector<fuzz::Seed> seeds;
  emu::BoardDescription board = emu::DefaultBoard();
  seeds.push_back({"default-board", Write({kPadded, fuzz::kEax5065, codes, InnerHobs(board)})});
  seeds.push_back(
      {"default-board-606a", Write({kPadded, fuzz::kEax606A, codes, InnerHobs(board)})});

  emu::BoardDescription lone;
  emu::SetStackBusHob(lone, emu::StackBusHobSizeFor(2));
  emu::SetStackBus(lone, 1, 1, 0x80);
  seeds.push_back(
      {"stack-bus-only",
       Write({kPadded, fuzz::kEax5065, {0x22B000, 0x22C000, 0x21A000}, InnerHobs(lone)})});

  emu::SetStackBusHob(lone, emu::StackBusHobSizeFor(1));
  seeds.push_back(
      {"short-table", Write({kPadded, 0x406F1, {0x22B000, 0x11A000}, InnerHobs(lone)})});

  emu::BoardDescription none = emu::DefaultBoard();
  emu::RemoveStackBusHob(none);
  none.hobs.resize(12);
  seeds.push_back({"no-stack-bus", Write({kPadded, fuzz::kEax5065, {0x22B000}, InnerHobs(none)})});

  // A GUID HOB with the stack-bus name but no room for its name's data.
  std::vector<uint8_t> shortHob(sizeof(EFI_HOB_GUID_TYPE), 0);
  EFI_HOB_GUID_TYPE header{{EFI_HOB_TYPE_GUID_EXTENSION, sizeof(EFI_HOB_GUID_TYPE), 0},
                           gStackBusHobGuid};
  std::memcpy(shortHob.data(), &header, sizeof(header));
  seeds.push_back({"empty-stack-bus", Write({kPadded, fuzz::kEax5065, {0x22B000}, shortHob})});

  // Whole HOBs, closed where the buffer ends: the default board's list; the stack-bus table
  // reaching socket 2 only, after a HOB of another name; a damaged HOB before the table.
  seeds.push_back(
      {"whole-default-board", Write({kWholeHobs, fuzz::kEax5065, codes, DescribeWhole(board)})});
  fuzz::Output table;
  table.Byte(kOtherGuidHob).Byte(3).Run({1, 2, 3});
  table.Byte(kStackBusHob).Flag(true).Run({0x10, 0x20, 0, 0, 0, 0, 0x40, 0x80});
  seeds.push_back(
      {"whole-short-table",
       Write({kWholeHobs, fuzz::kEax606A, {0x22B000, 0x21A000, 0x32A000}, table.Data()})});
  fuzz::Output damaged;
  damaged.Byte(kAnyHob).Word(EFI_HOB_TYPE_GUID_EXTENSION).Run({1, 2, 3, 4});  // no room for a name
  damaged.Byte(kDamagedHob).Word(EFI_HOB_TYPE_GUID_EXTENSION).Word(20);
  damaged.Bytes(table.Data());
  seeds.push_back(
      {"whole-damaged-length", Write({kWholeHobs, fuzz::kEax5065, {0x22B000}, damaged.Data()})});
  return seeds;
}

bool InList(const uint8_t *list, size_t size, const uint8_t *at) {
  return at >= list && at < list + size;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::Initialize(Seeds()); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  Case c = Read(in);

  emu::BoardDescription board;
  board.cpuidEax = c.cpuidEax;
  board.rawHobList = c.list == kWholeHobs ? WholeHobList(c.hobs) : fuzz::HobListAround(c.hobs);
  const size_t listSize = board.rawHobList->size();
  fuzz::DriverRun run(std::move(board));
  uint8_t *list = run.HobList();
  fuzz::Expect(list != nullptr, "the frame found no HOB list");

  const uint8_t *hob = static_cast<const uint8_t *>(FindGuidHob(&gStackBusHobGuid));
  if (hob != nullptr) {
    EFI_HOB_GUID_TYPE header;
    fuzz::Expect(
        InList(list, listSize, hob) && listSize - static_cast<size_t>(hob - list) >= sizeof(header),
        "FindGuidHob returned a HOB outside the list");
    std::memcpy(&header, hob, sizeof(header));
    fuzz::Expect(header.Header.HobType == EFI_HOB_TYPE_GUID_EXTENSION &&
                     header.Header.HobLength >= sizeof(header) &&
                     header.Header.HobLength <= listSize - static_cast<size_t>(hob - list) &&
                     std::memcmp(&header.Name, &gStackBusHobGuid, sizeof(EFI_GUID)) == 0,
                 "FindGuidHob returned a HOB that is not the stack-bus HOB");
  }

  for (uint32_t code : c.codes) {
    const UINT16 bdf = ResolveRootPortBdf(code);
    const uint32_t socket = (code >> 20) & 0xF;
    const uint32_t stack = (code >> 16) & 0xF;
    if (socket == 0 || stack == 0 || stack > 5 || hob == nullptr) {
      fuzz::Expect(bdf == static_cast<UINT16>(code),
                   "a code the stack-bus table cannot resolve did not fall back to its low bits");
    }
  }
  return 0;
}
