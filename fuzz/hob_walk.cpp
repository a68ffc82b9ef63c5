// The HOB walk and the stack-bus table lookup: arbitrary HOB bytes after the PEI core's PHIT HOB,
// always followed by an end HOB wherever a length from them can land (the buffer ends after
// that), and arbitrary slot location codes resolved through whatever stack-bus HOB the bytes
// hold.
//
// Input: processor (byte: 0 signature 0x5065, 1 signature 0x606A, 2 CPUID EAX as a dword that
// follows), code count (byte, at most 8), the codes (dwords), then the HOB bytes.
#include <cstring>

#include "DriverFrame.h"
#include "FuzzPlatform.h"
#include "PciAccess.h"
#include "PciBoard.h"

namespace {

constexpr size_t kMaxCodes = 8;

struct Case {
  uint32_t cpuidEax = fuzz::kEax5065;
  std::vector<uint32_t> codes;
  std::vector<uint8_t> hobs;  // between the PHIT HOB and the end HOB
};

Case Read(fuzz::Input &in) {
  Case c;
  c.cpuidEax = fuzz::ReadCpuidEax(in);
  size_t count = in.Byte() % (kMaxCodes + 1);
  for (size_t i = 0; i < count; ++i) c.codes.push_back(in.Dword());
  c.hobs = in.Rest();
  return c;
}

std::vector<uint8_t> Write(const Case &c) {
  fuzz::Output out;
  fuzz::WriteCpuidEax(out, c.cpuidEax);
  out.Byte(static_cast<uint8_t>(c.codes.size()));
  for (uint32_t code : c.codes) out.Dword(code);
  return out.Bytes(c.hobs).Data();
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
  seeds.push_back({"default-board", Write({fuzz::kEax5065, codes, InnerHobs(board)})});
  seeds.push_back({"default-board-606a", Write({fuzz::kEax606A, codes, InnerHobs(board)})});

  emu::BoardDescription lone;
  emu::SetStackBusHob(lone, emu::StackBusHobSizeFor(2));
  emu::SetStackBus(lone, 1, 1, 0x80);
  seeds.push_back(
      {"stack-bus-only", Write({fuzz::kEax5065, {0x22B000, 0x22C000, 0x21A000}, InnerHobs(lone)})});

  emu::SetStackBusHob(lone, emu::StackBusHobSizeFor(1));
  seeds.push_back({"short-table", Write({0x406F1, {0x22B000, 0x11A000}, InnerHobs(lone)})});

  emu::BoardDescription none = emu::DefaultBoard();
  emu::RemoveStackBusHob(none);
  none.hobs.resize(12);
  seeds.push_back({"no-stack-bus", Write({fuzz::kEax5065, {0x22B000}, InnerHobs(none)})});

  // A GUID HOB with the stack-bus name but no room for its name's data.
  std::vector<uint8_t> shortHob(sizeof(EFI_HOB_GUID_TYPE), 0);
  EFI_HOB_GUID_TYPE header{{EFI_HOB_TYPE_GUID_EXTENSION, sizeof(EFI_HOB_GUID_TYPE), 0},
                           gStackBusHobGuid};
  std::memcpy(shortHob.data(), &header, sizeof(header));
  seeds.push_back({"empty-stack-bus", Write({fuzz::kEax5065, {0x22B000}, shortHob})});
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
  board.rawHobList = fuzz::HobListAround(c.hobs);
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
