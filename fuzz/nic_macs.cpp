// The board hook protocol's NIC MAC collection over arbitrary configuration space: the root port
// the onboard NIC's slot code resolves to (or none), its bus numbers, whatever functions sit on
// the buses below it, and arbitrary configuration dwords on top (BARs, IDs, Command). BARs may
// point anywhere in the board's address space: at the window the platform assigned, into or
// past another function's window, at any 64-bit address, or be a 32-bit BAR whose neighbour
// the collection takes for its upper half. Device memory answers where a BAR decodes a
// function's window; nothing else of the address space answers (all ones), and a read past the
// canonical lower half (#GP) is a violation. A function's own window is read only while it
// decodes memory, unless the register access protocol lost the write that raised its enables,
// and every MAC address listed comes from the two reads made for it. The register access
// protocol may answer badly (no address, or one in no device). The caller's lists are exactly
// as large as their room.
//
// Input: processor (byte, as hob_walk), slot code of the onboard NIC (flag, then a dword when
// set), root port (flag: present; word: BDF; bytes: secondary and subordinate bus), function
// count (byte, at most 8) with each function's BDF, vendor and device ID, Command (words),
// memory (flag) and MAC (6 bytes), then dword pokes (count byte, at most 8; each the function
// by position, the dword's offset / 4 in the header, the value), then per function a BAR
// placement (byte: 0 as assigned, 1 32-bit with a dword for the next BAR, 2 a qword address,
// 3 another function's window, by position, and a dword offset, 4 none, 5 all ones), then the
// register access faults (FuzzPlatform.h).
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "BoardInfoProtocol.h"
#include "BoardSlotService.h"
#include "DriverFrame.h"
#include "FuzzPlatform.h"
#include "PciBus.h"

namespace {

constexpr uint32_t kNicSlotCode = 0x12A000;  // CPU1 stack 2 port A
constexpr UINT16 kNicRootPort = PciBdf(0x17, 0, 0);
constexpr size_t kMaxFunctions = 8;
constexpr size_t kMaxPokes = 8;
constexpr uint8_t kFill = 0xA5;

struct Function {
  uint16_t bdf = 0;
  emu::PciFunction description;
};

struct Poke {
  uint8_t function = 0;
  uint8_t dword = 0;  // offset / 4 within the 64-byte header
  uint32_t value = 0;
};

enum BarPlacement : uint8_t {
  kAsAssigned,
  kThirtyTwoBit,
  kAnyAddress,
  kOtherWindow,
  kUnassigned,
  kAllOnes,
  kPlacementCount
};

struct Bars {
  uint8_t placement = kAsAssigned;
  uint64_t value = 0;    // the next BAR (32-bit), the address, or the offset into a window
  uint8_t function = 0;  // whose window, by position
};

struct Case {
  uint32_t cpuidEax = fuzz::kEax5065;
  uint32_t code = kNicSlotCode;
  bool rootPort = true;
  uint16_t rootPortBdf = kNicRootPort;
  uint8_t secondary = 0x18;
  uint8_t subordinate = 0x18;
  std::vector<Function> functions;
  std::vector<Poke> pokes;
  std::vector<Bars> bars;  // per function; none given: as assigned
  std::vector<emu::Fault> registerFaults;
};

Case Read(fuzz::Input &in) {
  Case c;
  c.cpuidEax = fuzz::ReadCpuidEax(in);
  if (in.Flag()) c.code = in.Dword();
  c.rootPort = in.Flag();
  c.rootPortBdf = in.Word();
  c.secondary = in.Byte();
  c.subordinate = in.Byte();
  size_t functions = in.Byte() % (kMaxFunctions + 1);
  for (size_t i = 0; i < functions; ++i) {
    Function f;
    f.bdf = in.Word();
    f.description.vendorId = in.Word();
    f.description.deviceId = in.Word();
    f.description.command = in.Word();
    f.description.memory = in.Flag() ? 0x9D000000 + i * emu::kDeviceMemorySize : 0;
    for (uint8_t &byte : f.description.mac) byte = in.Byte();
    c.functions.push_back(f);
  }
  size_t pokes = in.Byte() % (kMaxPokes + 1);
  for (size_t i = 0; i < pokes; ++i) c.pokes.push_back({in.Byte(), in.Byte(), in.Dword()});
  for (size_t i = 0; i < c.functions.size(); ++i) {
    Bars bars;
    bars.placement = in.Byte() % kPlacementCount;
    if (bars.placement == kThirtyTwoBit) bars.value = in.Dword();
    if (bars.placement == kAnyAddress) bars.value = in.Qword();
    if (bars.placement == kOtherWindow) {
      bars.function = in.Byte();
      bars.value = in.Dword();
    }
    c.bars.push_back(bars);
  }
  c.registerFaults = fuzz::ReadRegisterAccessFaults(in);
  return c;
}

std::vector<uint8_t> Write(const Case &c) {
  fuzz::Output out;
  fuzz::WriteCpuidEax(out, c.cpuidEax);
  out.Flag(c.code != kNicSlotCode);
  if (c.code != kNicSlotCode) out.Dword(c.code);
  out.Flag(c.rootPort).Word(c.rootPortBdf).Byte(c.secondary).Byte(c.subordinate);
  out.Byte(static_cast<uint8_t>(c.functions.size()));
  for (const Function &f : c.functions) {
    out.Word(f.bdf).Word(f.description.vendorId).Word(f.description.deviceId);
    out.Word(f.description.command).Flag(f.description.memory != 0);
    for (uint8_t byte : f.description.mac) out.Byte(byte);
  }
  out.Byte(static_cast<uint8_t>(c.pokes.size()));
  for (const Poke &p : c.pokes) out.Byte(p.function).Byte(p.dword).Dword(p.value);
  for (size_t i = 0; i < c.functions.size(); ++i) {
    Bars bars = i < c.bars.size() ? c.bars[i] : Bars{};
    out.Byte(bars.placement);
    if (bars.placement == kThirtyTwoBit) out.Dword(static_cast<uint32_t>(bars.value));
    if (bars.placement == kAnyAddress) out.Qword(bars.value);
    if (bars.placement == kOtherWindow)
      out.Byte(bars.function).Dword(static_cast<uint32_t>(bars.value));
  }
  fuzz::WriteRegisterAccessFaults(out, c.registerFaults);
  return out.Data();
}

Function Nic(uint8_t bus, uint8_t function, uint16_t command = 0) {
  Function f;
  f.bdf = PciBdf(bus, 0, function);
  f.description.vendorId = 0x8086;
  f.description.deviceId = 0x37D2;
  f.description.command = command;
  f.description.memory = 1;  // any nonzero: the platform assigns the function a window
  f.description.mac = {0x02, 0xA1, 0xB2, 0xC3, 0xD4, function};
  return f;
}

std::vector<fuzz::Seed> Seeds() {
  Case four;
  for (uint8_t f = 0; f < 4; ++f) four.functions.push_back(Nic(0x18, f));
  Case two = four;
  two.functions.resize(2);
  Case none;
  Case deeper = four;  // function 0 on the highest answering bus, the rest on the secondary
  deeper.subordinate = 0x1B;
  deeper.functions[0].bdf = PciBdf(0x1A, 0, 0);
  Case busZero = four;
  busZero.secondary = busZero.subordinate = 0;
  for (Function &f : busZero.functions) f.bdf &= 0x00FF;
  Case enables = four;  // decoding already (left alone), bus master alone (raised), both
  enables.functions[0].description.command = 0x0002;
  enables.functions[1].description.command = 0x0004;
  enables.functions[2].description.command = 0x0006;
  Case bars = four;  // BARs the platform left: none, type bits only, past any window
  bars.pokes = {{0, 4, 0}, {0, 5, 0}, {1, 4, 0x0000000C}, {2, 4, 0xFFFFFFF0}, {3, 1, 0xFFFFFFFF}};
  Case other = four;  // the processor with the other port table: port A is device 2
  other.cpuidEax = fuzz::kEax606A;
  other.rootPortBdf = PciBdf(0x17, 2, 0);
  Case fallback = four;  // a code without a socket names the root port's BDF itself
  fallback.code = kNicRootPort;
  Case placed = four;  // 32-bit, far away, into the next window and past its end, none
  placed.bars = {{kThirtyTwoBit, 0x00000001, 0},
                 {kAnyAddress, 0x0000004000000004, 0},
                 {kOtherWindow, 0x100000, 3},
                 {kOtherWindow, 0x1F0000, 0}};
  Case unanswered = four;  // the ID of function 1, BAR0 of function 0, a Command restore
  unanswered.registerFaults = {fuzz::NoAddress(7), fuzz::AddressInNoDevice(10),
                               fuzz::NoAddress(14)};
  Case unreachable = four;  // 32-bit BAR0s beside BAR1s of their own: past the canonical half
  unreachable.bars = {{kThirtyTwoBit, 0x9E000000, 0}, {kThirtyTwoBit, 0x00008000, 0}};
  Case silentCommand = four;  // function 0's Command read gets no answer
  silentCommand.registerFaults = {fuzz::NoAddress(6)};
  return {{"four-functions", Write(four)},
          {"two-functions", Write(two)},
          {"no-device", Write(none)},
          {"function-0-deeper", Write(deeper)},
          {"bus-zero", Write(busZero)},
          {"command-enables", Write(enables)},
          {"bars-poked", Write(bars)},
          {"signature-606a", Write(other)},
          {"code-without-socket", Write(fallback)},
          {"bars-anywhere", Write(placed)},
          {"register-access-answers-badly", Write(unanswered)},
          {"bars-past-the-canonical-half", Write(unreachable)},
          {"command-read-unanswered", Write(silentCommand)}};
}

// The board around the functions: the default processor's stack-bus table, the NIC's code in
// slot 128, and no other PCI function.
const emu::BoardDescription &BaseBoard() {
  static const emu::BoardDescription board = [] {
    emu::BoardDescription base;
    emu::AddDefaultPciTopology(base);
    base.pci.clear();
    return base;
  }();
  return board;
}

// Each copy of the collection reads the function whose registers it asked for last. A read of
// that function's own window must find it decoding memory: the collection raises Memory Space
// Enable first, and only a raise the register access protocol lost (a Command request after
// the function's first, answered badly) excuses a read that decoded nothing. Two reads per
// listed entry, no more.
void CheckMemoryReads(emu::Platform &platform, size_t callsBefore,
                      const std::vector<size_t> &unanswered, size_t listed) {
  const std::vector<emu::CallRecord> &calls = platform.Calls();
  const std::vector<emu::DeviceMemoryRead> &reads = platform.Pci().MemoryReads();
  std::map<uint16_t, size_t> commandRequests;
  std::set<uint16_t> raiseLost;
  uint16_t current = 0xFFFF;
  size_t answered = 0, notAnswered = 0, copies = 0;
  for (size_t i = callsBefore; i < calls.size(); ++i) {
    const emu::CallRecord &call = calls[i];
    if (call.member == "RegisterAccess.GetRegisterAddress") {
      current = static_cast<uint16_t>(call.args[0] >> 12);
      if ((call.args[0] & 0xFFF) == PCI_COMMAND_OFFSET && commandRequests[current]++ > 0 &&
          call.injected) {
        raiseLost.insert(current);
      }
      continue;
    }
    if (call.member != "BS.CopyMem") continue;
    ++copies;
    if (notAnswered < unanswered.size() && unanswered[notAnswered] == answered) {
      ++notAnswered;  // nothing decodes there: the board put the BAR pair where nothing is
      continue;
    }
    fuzz::Expect(answered < reads.size(), "a copy no memory reader served");
    const emu::DeviceMemoryRead &read = reads[answered++];
    fuzz::Expect(read.bdf != current || read.decoded || raiseLost.count(current) != 0,
                 "CollectNicMacAddresses read a function's registers while it decoded no memory");
  }
  fuzz::Expect(copies == 2 * listed, "a MAC address listed that no two reads filled");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::Initialize(Seeds()); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  Case c = Read(in);

  emu::BoardDescription board = BaseBoard();
  board.cpuidEax = c.cpuidEax;
  board.faults = c.registerFaults;
  board.slots[SLOT_INDEX_ONBOARD_NIC] = c.code;
  std::vector<uint16_t> present;
  if (c.rootPort) {
    emu::PciFunction port;
    port.rootPort = true;
    port.vendorId = 0x8086;
    port.deviceId = 0x2030;
    port.secondaryBus = c.secondary;
    port.subordinateBus = c.subordinate;
    board.pci[c.rootPortBdf] = port;
    present.push_back(c.rootPortBdf);
  }
  for (const Function &f : c.functions) {
    board.pci[f.bdf] = f.description;
    present.push_back(f.bdf);
  }

  fuzz::DriverRun run(std::move(board));
  emu::Platform &platform = run.Platform();
  emu::PciBus &pci = platform.Pci();
  // What the platform left in configuration space. A BAR pair it assigned decodes memory above
  // the legacy area (a pair of 0 decodes nothing).
  for (const Poke &p : c.pokes) {
    if (present.empty()) break;
    pci.Poke32(present[p.function % present.size()], (p.dword % 16) * 4, p.value);
  }
  const size_t firstFunction = present.size() - c.functions.size();
  std::vector<uint64_t> windows;  // where each function's BAR pair points now
  for (size_t i = 0; i < c.functions.size(); ++i) {
    const uint16_t bdf = present[firstFunction + i];
    windows.push_back(uint64_t{pci.Read32(bdf, PCI_BAR1_OFFSET)} << 32 |
                      (pci.Read32(bdf, PCI_BAR0_OFFSET) & ~PCI_BAR_FLAG_MASK));
  }
  for (size_t i = 0; i < c.bars.size() && i < c.functions.size(); ++i) {
    const uint16_t bdf = present[firstFunction + i];
    const Bars &bars = c.bars[i];
    constexpr uint32_t k64Bit = 0x4;
    auto place = [&](uint64_t bar0, uint64_t bar1) {
      pci.Poke32(bdf, PCI_BAR0_OFFSET, static_cast<uint32_t>(bar0));
      pci.Poke32(bdf, PCI_BAR1_OFFSET, static_cast<uint32_t>(bar1));
    };
    switch (bars.placement) {
      case kThirtyTwoBit:
        place(windows[i] & 0xFFFFFFF0, bars.value);
        break;
      case kAnyAddress:
        place((bars.value & ~uint64_t{PCI_BAR_FLAG_MASK}) | k64Bit, bars.value >> 32);
        break;
      case kOtherWindow: {
        const uint64_t at = windows[bars.function % windows.size()] + bars.value;
        place((at & ~uint64_t{PCI_BAR_FLAG_MASK}) | k64Bit, at >> 32);
        break;
      }
      case kUnassigned:
        place(k64Bit, 0);
        break;
      case kAllOnes:
        place(0xFFFFFFFF, 0xFFFFFFFF);
        break;
    }
  }
  for (uint16_t bdf : present) {
    uint64_t base =
        (uint64_t{pci.Read32(bdf, PCI_BAR1_OFFSET)} << 32 | pci.Read32(bdf, PCI_BAR0_OFFSET)) &
        ~uint64_t{PCI_BAR_FLAG_MASK};
    if (base != 0 && base < emu::kDeviceMemorySize) {
      pci.Poke32(bdf, PCI_BAR0_OFFSET, pci.Read32(bdf, PCI_BAR0_OFFSET) | emu::kDeviceMemorySize);
    }
  }
  // Reads no function's window answers: all ones. Each notes how many reads the bus had
  // answered before it, so that every copy can be matched with the read that served it.
  std::vector<size_t> unanswered;
  platform.AddMemoryReader([&](void *to, const void *, size_t length) {
    unanswered.push_back(pci.MemoryReads().size());
    std::memset(to, 0xFF, length);
    return true;
  });
  const size_t callsBefore = platform.Calls().size();
  std::vector<uint32_t> commands;
  for (uint16_t bdf : present) commands.push_back(pci.Read32(bdf, PCI_COMMAND_OFFSET));
  const size_t writesBefore = pci.Writes().size();

  // The consumer's record and secondary list, with no byte to spare.
  auto record = std::make_unique<uint8_t[]>(NIC_PRIMARY_RECORD_SIZE);
  auto secondary = std::make_unique<uint8_t[]>(NIC_SECONDARY_LIST_SIZE);
  std::memset(record.get(), kFill, NIC_PRIMARY_RECORD_SIZE);
  std::memset(secondary.get(), kFill, NIC_SECONDARY_LIST_SIZE);
  const EFI_STATUS status =
      mBoardHookProtocol.CollectNicMacAddresses(record.get(), secondary.get());

  fuzz::Expect(status == EFI_SUCCESS, "CollectNicMacAddresses failed");
  fuzz::Expect(record[0] == kFill && record[1] == kFill && record[2] == kFill,
               "CollectNicMacAddresses changed bytes 0 to 2 of the caller's record");
  fuzz::Expect(record[NIC_PRIMARY_LIST_OFFSET] <= 1, "more than one entry in the primary list");
  fuzz::Expect(secondary[0] <= 3, "more than three entries in the secondary list");
  const std::vector<emu::PciWrite> &writes = pci.Writes();
  for (size_t i = writesBefore; i < writes.size(); ++i) {
    fuzz::Expect(writes[i].dropped || writes[i].offset == PCI_COMMAND_OFFSET,
                 "CollectNicMacAddresses wrote a register other than Command");
  }
  CheckMemoryReads(platform, callsBefore, unanswered,
                   record[NIC_PRIMARY_LIST_OFFSET] + (secondary[0] <= 3 ? secondary[0] : 0));
  // A restore whose register the protocol gave no good address for is lost: the enables it
  // raised stay, and nothing else.
  for (size_t i = 0; i < present.size(); ++i) {
    const uint32_t now = pci.Read32(present[i], PCI_COMMAND_OFFSET);
    const uint32_t raised = commands[i] | PCI_COMMAND_MEMORY_SPACE | PCI_COMMAND_BUS_MASTER;
    fuzz::Expect(now == commands[i] || (!c.registerFaults.empty() && now == raised),
                 "CollectNicMacAddresses left a Command register changed");
  }
  return 0;
}
