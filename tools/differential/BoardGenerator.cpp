#include "BoardGenerator.h"

#include <algorithm>
#include <iterator>
#include <sstream>

#include "BoardDecode.h"
#include "PciBoard.h"
#include "Processors.h"
#include "Risers.h"
#include "Smbios.h"

namespace differential {

namespace {

// splitmix64: the same numbers from the same seed with any compiler and library.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }
  bool Chance(uint32_t percent) { return Below(100) < percent; }
  template <typename T, size_t N>
  const T &Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  uint64_t state_;
};

// Processors QEMU presents by CPUID leaf 1 EAX: each generation of the processor table (its own
// EAX, and stepping 0 of it), and signatures the drivers do not know.
constexpr uint32_t kUnknownCpuidEax[] = {0x406F1, 0x806F8, 0x50663};

// Riser types: each row of the riser table, and about as often a type no row names.
uint8_t PickRiserType(Random &r) {
  const uint64_t pick = r.Below(RISER_COUNT + 3);
  if (pick < RISER_COUNT) return kRisers[pick].RiserType;
  uint8_t type = static_cast<uint8_t>(r.Next());
  while (emu::FindRiser(type) != nullptr) ++type;
  return type;
}

uint32_t PickCpuidEax(Random &r) {
  const uint64_t pick = r.Below(2 * PROCESSOR_COUNT + std::size(kUnknownCpuidEax));
  if (pick < 2 * PROCESSOR_COUNT) {
    const uint32_t eax = kProcessors[pick / 2].CpuidEax;
    return pick % 2 == 0 ? eax : eax & ~0xFu;
  }
  return kUnknownCpuidEax[pick - 2 * PROCESSOR_COUNT];
}

constexpr uint32_t kMaxRootPorts = 28;  // a run holds 32
constexpr uint32_t kMaxEndpoints = 30;  // and 32 stand-ins
constexpr uint8_t kLastBus = 0xD0;      // buses above stay free for fallback codes to miss

struct RootPort {
  uint16_t bdf;
  unsigned socket, stack, letter;  // letter 0 to 3: port A to D
  uint8_t secondary, subordinate;
};

struct Builder {
  Random &r;
  emu::BoardDescription &board;
  std::vector<std::string> &standIns;
  std::vector<RootPort> ports;
  std::vector<std::pair<unsigned, unsigned>> stacksWithBus;  // socket, stack (0-based)
  uint32_t endpoints = 0;
  uint64_t nextWindow = 0;

  uint32_t Register15C() {
    switch (r.Below(4)) {
      case 0:
        return 0x0001A05C;
      case 1:
        return static_cast<uint32_t>(r.Next()) | 0x2000;
      case 2:
        return static_cast<uint32_t>(r.Next()) & ~0x2000u;
      default:
        return static_cast<uint32_t>(r.Next());
    }
  }

  // Stacks and their root ports, bus numbers rising the way the firmware hands them out: each
  // stack's bus is a host bridge of its own, whose root ports take the buses that follow.
  // Root ports A to D of each stack at the processor row's device and function.
  void Topology(unsigned sockets, const uint8_t *rootPorts) {
    unsigned cursor = 0x08 + r.Below(0x18);
    for (unsigned socket = 0; socket < sockets; ++socket) {
      for (unsigned stack = 0; stack < STACKS_PER_SOCKET; ++stack) {
        const bool kvrnStack = socket == 1 && stack == 1;
        if ((stack >= 4 && r.Chance(70)) || (!kvrnStack && r.Chance(12))) continue;
        cursor += r.Below(5);
        if (cursor + 8 > kLastBus) return;
        const uint8_t bus = static_cast<uint8_t>(cursor++);
        emu::SetStackBus(board, socket, stack, bus);
        stacksWithBus.push_back({socket, stack});
        for (unsigned letter = 0; letter < 4; ++letter) {
          if (!r.Chance(kvrnStack ? 80 : 40) || ports.size() == kMaxRootPorts) continue;
          const unsigned reserve = r.Chance(75) ? 0 : 1 + r.Below(2);
          emu::PciFunction port;
          port.rootPort = true;
          port.vendorId = 0x8086;
          port.deviceId = 0x2030;
          port.secondaryBus = static_cast<uint8_t>(cursor);
          port.subordinateBus = static_cast<uint8_t>(cursor + reserve);
          port.register15C = Register15C();
          cursor += reserve + 1;
          const uint16_t bdf = static_cast<uint16_t>(bus << 8 | rootPorts[letter]);
          board.pci[bdf] = port;
          ports.push_back({bdf, socket, stack, letter, port.secondaryBus, port.subordinateBus});
        }
      }
    }
  }

  static uint32_t PortCode(unsigned socket, unsigned stack, unsigned letter) {
    return (socket + 1) << 20 | (stack + 1) << 16 | (0xA + letter) << 12;
  }

  // A slot location code: one that names a root port, a stack's port with nothing there, the
  // KVRN ports, a plain BDF, or a stack the drivers do not resolve.
  uint32_t SlotCode() {
    uint32_t code;
    const unsigned kind = r.Below(10);
    if (kind < 4 && !ports.empty()) {
      const RootPort &port = ports[r.Below(static_cast<uint32_t>(ports.size()))];
      code = PortCode(port.socket, port.stack, port.letter);
    } else if (kind < 6 && !stacksWithBus.empty()) {
      const auto &[socket, stack] =
          stacksWithBus[r.Below(static_cast<uint32_t>(stacksWithBus.size()))];
      code = PortCode(socket, stack, r.Below(4));
    } else if (kind == 6) {
      code = 0x22B000 + 0x1000 * r.Below(3);
    } else if (kind == 7) {
      // No socket: the code is the BDF itself, off bus 0 (the machine's own devices).
      code = !ports.empty() && r.Chance(50)
                 ? ports[r.Below(static_cast<uint32_t>(ports.size()))].bdf
                 : (1 + r.Below(0xFF)) << 8 | r.Below(0x100);
    } else {
      // A stack field the drivers do not resolve, or a socket past any table.
      code = (1 + r.Below(15)) << 20 | (6 + r.Below(10)) << 16 | (0xA + r.Below(4)) << 12;
    }
    if (r.Chance(15)) code |= r.Below(0x1000);            // the fallback BDF's low bits
    if (r.Chance(10)) code |= (1 + r.Below(0xFF)) << 24;  // bits the drivers ignore
    return code;
  }

  uint64_t Window() {
    // Windows never overlap, and sit where neither world keeps its own memory.
    const uint64_t slot = nextWindow++;
    switch (r.Below(4)) {
      case 0:
        return 0x90000000 + slot * emu::kDeviceMemorySize;  // below 4 GiB
      case 1:
        return (uint64_t{1} + r.Below(0xFF)) << 32 | slot * emu::kDeviceMemorySize;
      case 2:
        return 0xFFFFFFFF00000000ull + slot * emu::kDeviceMemorySize;  // upper half all ones
      default:
        return 0;  // none assigned
    }
  }

  uint16_t Command() {
    constexpr uint16_t kCommands[] = {0x0000, 0x0002, 0x0004, 0x0006, 0x0007, 0x0400, 0x0106};
    return r.Chance(85) ? r.Pick(kCommands) : static_cast<uint16_t>(r.Next());
  }

  void AddEndpoint(uint16_t bdf, emu::PciFunction function, const std::string &what) {
    if (endpoints == kMaxEndpoints || board.pci.count(bdf) != 0) return;
    ++endpoints;
    board.pci[bdf] = function;
    standIns.push_back(what + " at " + emu::BdfText(bdf));
  }

  // The onboard network controller below one root port: functions 0 to 3 of device 0, function
  // 0 sometimes on a deeper bus of the port's range.
  void Nic(const RootPort &port) {
    for (uint8_t function = 0; function < 4; ++function) {
      if (!r.Chance(80)) continue;
      uint8_t bus = port.secondary;
      if (function == 0 && port.subordinate > port.secondary && r.Chance(50)) {
        bus = static_cast<uint8_t>(port.secondary + 1 + r.Below(port.subordinate - port.secondary));
      }
      emu::PciFunction nic;
      nic.vendorId = 0x8086;
      nic.deviceId = 0x37D2;
      nic.command = Command();
      nic.memory = Window();
      if (nic.memory != 0) {
        for (uint8_t &byte : nic.mac) byte = static_cast<uint8_t>(r.Next());
      }
      AddEndpoint(PciBdf(bus, 0, function), nic, "onboard network function");
    }
  }

  // The add-in device the root-port adjustment looks for (device 4, function 0 on the port's
  // subordinate bus, 9005:8017), or a near miss.
  void AddIn(const RootPort &port) {
    emu::PciFunction device;
    device.vendorId = 0x9005;
    device.deviceId = 0x8017;
    device.command = Command();
    uint8_t number = 4, function = 0, bus = port.subordinate;
    switch (r.Below(6)) {
      case 0:
        device.deviceId = 0x8018;
        break;
      case 1:
        device.vendorId = 0x9004;
        break;
      case 2:
        number = 0;
        break;
      case 3:
        function = 1;
        break;
      default:
        break;
    }
    if (port.subordinate > port.secondary && r.Chance(30)) bus = port.secondary;
    AddEndpoint(PciBdf(bus, number, function), device, "add-in device");
  }

  void Slots() {
    for (uint8_t index : kExpansionSlotIndexes) {
      if (r.Chance(55)) board.slots[index] = SlotCode();
    }
    for (const RootPort &port : ports) {
      if (r.Chance(45)) AddIn(port);
    }
    if (!ports.empty() && r.Chance(85)) {
      const RootPort &nicPort = ports[r.Below(static_cast<uint32_t>(ports.size()))];
      Nic(nicPort);
      board.slots[SLOT_INDEX_ONBOARD_NIC] =
          r.Chance(85) ? PortCode(nicPort.socket, nicPort.stack, nicPort.letter) : SlotCode();
    } else {
      // Never free: a free slot's code 0 is BDF 00:00.0, where QEMU's host bridge answers and
      // the emulated bus, like any undescribed function, does not.
      board.slots[SLOT_INDEX_ONBOARD_NIC] = SlotCode();
    }
  }

  void StackBusHob(unsigned sockets) {
    const unsigned choice = r.Below(10);
    if (choice == 0) {
      emu::RemoveStackBusHob(board);
    } else if (choice <= 2 && emu::FindStackBusHob(board) != nullptr) {
      // Short: the table ends before the last socket, or inside one.
      emu::Hob &hob = *emu::FindStackBusHob(board);
      const size_t table = r.Below(static_cast<uint32_t>(sockets * STACKS_PER_SOCKET));
      hob.body.resize(sizeof(EFI_GUID) + STACK_BUS_TABLE_OFFSET + table);
    }
  }

  void Setup() {
    if (r.Chance(10)) {
      std::erase_if(board.variables, [](const emu::Variable &v) { return v.name == u"Setup"; });
      return;
    }
    // UEFI holds no variable of 0 bytes.
    constexpr uint32_t kSizes[] = {1, 200, 288, 289, 331, 332, 1024, 3819, 3820, 3821, 4096};
    const size_t size = r.Chance(80) ? r.Pick(kSizes) : 1 + r.Below(4096);
    emu::Variable *setup = board.FindVariable(u"Setup", gSetupVariableGuid);
    setup->data.assign(size, 0);
    for (int i = 0; i < 4 && size != 0; ++i)
      setup->data[r.Below(static_cast<uint32_t>(size))] = static_cast<uint8_t>(r.Next());
    constexpr uint8_t kNicAbsent[] = {0, 1, 1, 2};
    constexpr uint8_t kAdjust[] = {0, 1, 1, 0x80};
    if (size > SETUP_ONBOARD_NIC_ABSENT_OFFSET)
      setup->data[SETUP_ONBOARD_NIC_ABSENT_OFFSET] = r.Pick(kNicAbsent);
    if (size > SETUP_ROOT_PORT_ADJUST_OFFSET)
      setup->data[SETUP_ROOT_PORT_ADJUST_OFFSET] = r.Pick(kAdjust);
  }

  // System Slots structures beside the KVRN record, with designations and Slot IDs near its.
  void Smbios() {
    if (r.Chance(15)) {
      for (const emu::SmbiosStructure &s : board.smbios.OfType(9)) {
        if (s.String(s.Byte(4)) == "KVRN: CPU2 PCIE 3.0") board.smbios.Remove(s.Handle());
      }
    }
    const char *const kDesignations[] = {"KVRN: CPU2 PCIE 3.0",     "KVRN: CPU2 PCIE 3.0 X8",
                                         "KVRN: CPU2 PCIE 3.1",     "KVRN( ): CPU2 PCIE 3.0",
                                         "CPU3 SLOT4 PCIE 3.0 X16", "KVRN"};
    constexpr uint16_t kIds[] = {0x0B01, 0x0B00, 0x0B02, 0x0B11, 0x0A01, 0x1B01, 0x0004};
    const uint32_t extra = r.Below(4);
    for (uint32_t i = 0; i < extra; ++i) {
      emu::SmbiosSlot slot{9, static_cast<uint16_t>(0x0010 + i), r.Pick(kDesignations)};
      slot.id = r.Pick(kIds);
      slot.width = static_cast<uint8_t>(0x08 + r.Below(6));
      slot.usage = static_cast<uint8_t>(3 + r.Below(2));
      slot.bus = static_cast<uint8_t>(r.Next());
      std::vector<uint8_t> bytes = slot.Bytes();
      if (r.Chance(20)) {
        // An older, shorter formatted area that ends before the Slot ID.
        bytes.erase(bytes.begin() + 9, bytes.begin() + bytes[1]);
        bytes[1] = 9;
      }
      std::string why;
      board.smbios.Put(bytes, why);
    }
  }
};

}  // namespace

uint64_t BoardSeed(uint64_t seed, uint32_t index) {
  Random r(seed ^ (uint64_t{index} * 0xD1B54A32D192ED03ull));
  return r.Next();
}

GeneratedBoard GenerateBoard(uint64_t seed) {
  Random r(seed);
  GeneratedBoard generated;
  generated.seed = seed;
  emu::BoardDescription &board = generated.board;
  board = emu::DefaultBoard();
  board.pci.clear();
  board.slots.clear();
  emu::RemoveStackBusHob(board);

  Builder build{r, board, generated.standIns, {}, {}, 0, 0};
  board.cpuidEax = PickCpuidEax(r);
  // A processor the drivers do not know still has its root ports somewhere: where one they
  // know has them.
  const PROCESSOR_ROW *processor = emu::FindProcessor(emu::CpuSignature(board));
  if (processor == nullptr) processor = &kProcessors[r.Below(PROCESSOR_COUNT)];

  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, PickRiserType(r));
  constexpr uint8_t kKvrnConfigs[] = {0x00, 0x02, 0x04, 0x08, 0x0E, 0x8E, 0x86, 0x8A, 0x8C, 0x82};
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG,
                     r.Chance(50) ? r.Pick(kKvrnConfigs) : static_cast<uint8_t>(r.Next()));
  board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE,
                     r.Chance(75) ? 0 : static_cast<uint8_t>(1 + r.Below(0xFF)));

  const unsigned sockets = 1 + r.Below(r.Chance(80) ? 4 : 8);
  emu::SetStackBusHob(board, emu::StackBusHobSizeFor(sockets));
  build.Topology(sockets, processor->RootPorts);
  build.Slots();
  build.StackBusHob(sockets);
  build.Setup();
  build.Smbios();
  return generated;
}

std::string BoardFileText(const GeneratedBoard &generated) {
  std::ostringstream out;
  out << "# A differential board, seed " << emu::Hex(generated.seed) << ".\n";
  if (generated.standIns.empty()) {
    out << "# Every part is QEMU's own in real firmware.\n";
  } else {
    out << "# Stood in for by the platform application in real firmware:\n";
    for (const std::string &part : generated.standIns) out << "#   " << part << "\n";
  }
  out << emu::FormatBoardText(generated.board);
  return out.str();
}

}  // namespace differential
