// The slot table's codes as the two drivers walk them after the start: arbitrary codes in the 18
// expansion slots, resolved through an arbitrary stack-bus table on either processor. Built
// twice: against BoardSlotService, whose root-port adjustment clears bit 13 of register 0x15C
// above each 9005:8017 device (with root ports and devices placed where the input says, and the
// register access protocol answering badly where it says), and (FUZZ_MENU_PRUNER) against
// MenuPruner, whose KVRN labels name the option-ROM items of the slots that hold KVRN ports.
//
// Input: processor (byte, as hob_walk), KVRN configuration and KVRN-unavailable bytes,
// stack-bus entries (count byte, at most 8, each a socket, a stack and a bus byte), the 18
// slots' codes in walk order (each a selector byte: 0 none, 1 a KVRN port by a byte, 2 a code
// of the board by a byte, 3 a dword), root ports (count byte, at most 8, each a BDF word, a
// subordinate bus byte and register 0x15C as a dword), devices (count byte, at most 8, each a
// BDF word and a flag for 9005:8017, or an ID dword), then the register access faults
// (FuzzPlatform.h).
#include <iterator>

#include "BoardInfoProtocol.h"
#include "DriverFrame.h"
#include "FuzzPlatform.h"
#include "PciBoard.h"
#include "PciBus.h"
#include "SetupVariable.h"
#if defined(FUZZ_MENU_PRUNER)
#include "MenuPruner.h"
#include "SetupMenus.h"
#else
#include "BoardSlotService.h"
#endif

namespace {

constexpr size_t kMaxStackBuses = 8;
constexpr size_t kMaxRootPorts = 8;
constexpr size_t kMaxDevices = 8;
constexpr uint32_t kAdjustedDevice = 0x80179005;
constexpr size_t kRootPortAdjustByte = 331;
// Codes the board's slots carry: the riser's, the onboard NIC's, and their near misses.
constexpr uint32_t kBoardCodes[] = {0x42A000, 0x41A000, 0x44A000, 0x12A000, 0x22E000,
                                    0x22B001, 0x00D7B0, 0x270000, 0xF5A000, 0x16A000};
constexpr uint32_t kKvrnCodes[] = {KVRN_PORT_CODE_B, KVRN_PORT_CODE_C, KVRN_PORT_CODE_D};

enum CodeKind : uint8_t { kNoCode, kKvrnCode, kBoardCode, kAnyCode, kCodeKinds };

struct StackBus {
  uint8_t socket = 0, stack = 0, bus = 0;
};
struct RootPort {
  uint16_t bdf = 0;
  uint8_t subordinate = 0;
  uint32_t register15C = 0;
};
struct Device {
  uint16_t bdf = 0;
  uint32_t id = kAdjustedDevice;
};

struct Case {
  uint32_t cpuidEax = fuzz::kEax5065;
  uint8_t kvrnConfig = 0x8E;
  uint8_t unavailable = 0;
  std::vector<StackBus> stackBuses;
  std::vector<uint32_t> codes;  // 18, in walk order
  std::vector<RootPort> rootPorts;
  std::vector<Device> devices;
  std::vector<emu::Fault> registerFaults;
};

uint32_t ReadCode(fuzz::Input &in) {
  switch (in.Byte() % kCodeKinds) {
    case kKvrnCode:
      return kKvrnCodes[in.Byte() % std::size(kKvrnCodes)];
    case kBoardCode:
      return kBoardCodes[in.Byte() % std::size(kBoardCodes)];
    case kAnyCode:
      return in.Dword();
    default:
      return 0;
  }
}

void WriteCode(fuzz::Output &out, uint32_t code) {
  for (size_t i = 0; i < std::size(kKvrnCodes); ++i) {
    if (code == kKvrnCodes[i]) {
      out.Byte(kKvrnCode).Byte(static_cast<uint8_t>(i));
      return;
    }
  }
  for (size_t i = 0; i < std::size(kBoardCodes); ++i) {
    if (code == kBoardCodes[i]) {
      out.Byte(kBoardCode).Byte(static_cast<uint8_t>(i));
      return;
    }
  }
  if (code == 0) {
    out.Byte(kNoCode);
  } else {
    out.Byte(kAnyCode).Dword(code);
  }
}

Case Read(fuzz::Input &in) {
  Case c;
  c.cpuidEax = fuzz::ReadCpuidEax(in);
  c.kvrnConfig = in.Byte();
  c.unavailable = in.Byte();
  size_t buses = in.Byte() % (kMaxStackBuses + 1);
  for (size_t i = 0; i < buses; ++i) c.stackBuses.push_back({in.Byte(), in.Byte(), in.Byte()});
  for (size_t i = 0; i < EXPANSION_SLOT_COUNT; ++i) c.codes.push_back(ReadCode(in));
  size_t ports = in.Byte() % (kMaxRootPorts + 1);
  for (size_t i = 0; i < ports; ++i) c.rootPorts.push_back({in.Word(), in.Byte(), in.Dword()});
  size_t devices = in.Byte() % (kMaxDevices + 1);
  for (size_t i = 0; i < devices; ++i) {
    Device device;
    device.bdf = in.Word();
    if (!in.Flag()) device.id = in.Dword();
    c.devices.push_back(device);
  }
  c.registerFaults = fuzz::ReadRegisterAccessFaults(in);
  return c;
}

std::vector<uint8_t> Write(const Case &c) {
  fuzz::Output out;
  fuzz::WriteCpuidEax(out, c.cpuidEax);
  out.Byte(c.kvrnConfig).Byte(c.unavailable);
  out.Byte(static_cast<uint8_t>(c.stackBuses.size()));
  for (const StackBus &b : c.stackBuses) out.Byte(b.socket).Byte(b.stack).Byte(b.bus);
  for (size_t i = 0; i < EXPANSION_SLOT_COUNT; ++i)
    WriteCode(out, i < c.codes.size() ? c.codes[i] : 0);
  out.Byte(static_cast<uint8_t>(c.rootPorts.size()));
  for (const RootPort &p : c.rootPorts) out.Word(p.bdf).Byte(p.subordinate).Dword(p.register15C);
  out.Byte(static_cast<uint8_t>(c.devices.size()));
  for (const Device &d : c.devices) {
    out.Word(d.bdf).Flag(d.id == kAdjustedDevice);
    if (d.id != kAdjustedDevice) out.Dword(d.id);
  }
  fuzz::WriteRegisterAccessFaults(out, c.registerFaults);
  return out.Data();
}

// The default board's slots, stack buses and root ports, with the KVRN ports placed and the
// 9005:8017 device below one of them.
Case DefaultCase() {
  Case c;
  const emu::BoardDescription board = emu::DefaultBoard();
  for (uint8_t index : kExpansionSlotIndexes) {
    auto it = board.slots.find(index);
    c.codes.push_back(it == board.slots.end() ? 0 : it->second);
  }
  c.codes[2] = KVRN_PORT_CODE_B;
  c.codes[4] = KVRN_PORT_CODE_C;
  c.codes[5] = KVRN_PORT_CODE_D;
  c.stackBuses = {{1, 1, 0xB0}, {0, 1, 0x17}, {3, 1, 0xD7}};
  c.rootPorts = {{PciBdf(0xB0, 1, 0), 0xB1, 0x1A05C},
                 {PciBdf(0xB0, 2, 0), 0xB2, 0xFFFFFFFF},
                 {PciBdf(0xD7, 0, 0), 0xD8, 0x2000}};
  c.devices = {{PciBdf(0xB1, 4, 0)}, {PciBdf(0xB2, 4, 0)}, {PciBdf(0xD8, 0, 0)}};
  return c;
}

std::vector<fuzz::Seed> Seeds() {
  Case board = DefaultCase();
  Case other = board;  // the other generation's port table
  other.cpuidEax = fuzz::kEax606A;
  other.rootPorts[0].bdf = PciBdf(0xB0, 3, 0);
  Case twice = board;  // one port in two slots, C alone, the module unusable
  twice.codes[7] = KVRN_PORT_CODE_B;
  twice.kvrnConfig = 0x04;
  Case unusable = board;
  unusable.unavailable = 1;
  Case odd = board;  // codes without a socket, past the stacks, past the table
  odd.codes = std::vector<uint32_t>(EXPANSION_SLOT_COUNT, 0);
  odd.codes[0] = PciBdf(0xB0, 1, 0);
  odd.codes[1] = 0x270000;
  odd.codes[2] = 0xF5A000;
  odd.codes[3] = 0x22E000;
  Case unanswered = board;  // the protocol answering badly at the first slot's accesses
  unanswered.registerFaults = {fuzz::NoAddress(1), fuzz::AddressInNoDevice(2), fuzz::NoAddress(4)};
  return {
      {"default-board", Write(board)},     {"signature-606a", Write(other)},
      {"port-in-two-slots", Write(twice)}, {"kvrn-unusable", Write(unusable)},
      {"odd-codes", Write(odd)},           {"register-access-answers-badly", Write(unanswered)}};
}

emu::BoardDescription BoardOf(const Case &c) {
  emu::BoardDescription board;
  board.cpuidEax = c.cpuidEax;
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, c.kvrnConfig);
  board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, c.unavailable);
  emu::SetStackBusHob(board, emu::StackBusHobSizeFor(1));
  for (const StackBus &b : c.stackBuses) emu::SetStackBus(board, b.socket % 4, b.stack % 6, b.bus);
  for (size_t i = 0; i < c.codes.size(); ++i) {
    if (c.codes[i] != 0) board.slots[kExpansionSlotIndexes[i]] = c.codes[i];
  }
  for (const Device &d : c.devices) {
    emu::PciFunction device;
    device.vendorId = static_cast<uint16_t>(d.id);
    device.deviceId = static_cast<uint16_t>(d.id >> 16);
    board.pci[d.bdf] = device;
  }
  for (const RootPort &p : c.rootPorts) {
    emu::PciFunction port;
    port.rootPort = true;
    port.vendorId = 0x8086;
    port.deviceId = 0x2030;
    port.secondaryBus = p.subordinate;
    port.subordinateBus = p.subordinate;
    port.register15C = p.register15C;
    board.pci[p.bdf] = port;
  }
  board.SetSetupByte(kRootPortAdjustByte, 1);
  board.faults = c.registerFaults;
  return board;
}

#if defined(FUZZ_MENU_PRUNER)
// The labels: every slot that holds the code of a port whose bit is set gets that port's texts,
// in walk order; an unusable module only hides the KVRN slot's item.
void CheckLabels(const Case &c, const std::vector<emu::SetupEditCall> &edits) {
  struct Label {
    const char *member;
    uint16_t id;
    char port;  // the letter its text names
  };
  std::vector<Label> want;
  if (c.unavailable != 0) {
    want.push_back({"HideItem", 1600, 0});
  } else {
    for (size_t row = 0; row < c.codes.size(); ++row) {
      for (size_t port = 0; port < std::size(kKvrnCodes); ++port) {
        if (c.codes[row] != kKvrnCodes[port] || (c.kvrnConfig & (KVRN_PORT_B << port)) == 0) {
          continue;
        }
        const char letter = static_cast<char>('B' + port);
        const uint16_t prompt = static_cast<uint16_t>(1596 + 2 * row);
        want.insert(want.end(), {{"UpdateString", prompt, letter},
                                 {"UpdateString", static_cast<uint16_t>(prompt + 1), letter},
                                 {"UpdateString", static_cast<uint16_t>(2338 + port), letter},
                                 {"HideItem", static_cast<uint16_t>(2433 + port), 0}});
        break;
      }
    }
  }
  fuzz::Expect(edits.size() == want.size(), "the labels made " + std::to_string(edits.size()) +
                                                " edits, not " + std::to_string(want.size()));
  for (size_t i = 0; i < edits.size(); ++i) {
    fuzz::Expect(edits[i].member == want[i].member && edits[i].id == want[i].id,
                 "edit " + std::to_string(i) + " is not the label expected");
    if (want[i].port != 0) {
      fuzz::Expect(
          edits[i].text.find(std::string("KVRN(") + want[i].port + ")") != std::string::npos,
          "a label that does not name its port");
    }
  }
}
#else
constexpr uint16_t kAdjustRegister = 0x15C;
constexpr uint32_t kAdjustBit = 0x2000;

// The adjustment: a write only clears bit 13 of register 0x15C of a root port with the device
// below it; without bad answers every such root port a slot resolves to gets it. A root port
// whose own registers were answered badly (its subordinate bus read as all ones, say) is seen
// as the answers made it: the device on the bus the driver read counts, whatever the board has.
void CheckAdjustment(const Case &c, const emu::BoardDescription &board, emu::Platform &platform) {
  auto adjusted = [&](uint16_t rootPort) {
    auto port = board.pci.find(rootPort);
    if (port == board.pci.end() || !port->second.rootPort) return false;
    auto device = board.pci.find(PciBdf(port->second.subordinateBus, 4, 0));
    return device != board.pci.end() && !device->second.rootPort &&
           (device->second.vendorId | uint32_t{device->second.deviceId} << 16) == kAdjustedDevice;
  };
  auto answeredBadly = [&](uint16_t rootPort) {
    for (const emu::CallRecord &call : platform.Calls()) {
      if (call.member == "RegisterAccess.GetRegisterAddress" && call.injected &&
          static_cast<uint16_t>(call.args[0] >> 12) == rootPort) {
        return true;
      }
    }
    return false;
  };
  for (const emu::PciWrite &write : platform.Pci().Writes()) {
    if (write.dropped) continue;  // it reached no function
    fuzz::Expect(write.offset == kAdjustRegister && write.after == (write.before & ~kAdjustBit) &&
                     (adjusted(write.bdf) || answeredBadly(write.bdf)),
                 "a configuration write other than clearing bit 13 above the device");
  }
  if (!c.registerFaults.empty()) return;
  for (uint32_t code : c.codes) {
    const uint16_t rootPort = ResolveRootPortBdf(code);
    if (code == 0 || !adjusted(rootPort) || board.pci.at(rootPort).register15C == 0xFFFFFFFF) {
      continue;
    }
    fuzz::Expect((platform.Pci().Read32(rootPort, kAdjustRegister) & kAdjustBit) == 0,
                 "a root port above the device kept bit 13");
  }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::Initialize(Seeds()); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  Case c = Read(in);
  const emu::BoardDescription board = BoardOf(c);
  fuzz::DriverRun run(board);
  emu::Platform &platform = run.Platform();
#if defined(FUZZ_MENU_PRUNER)
  platform.InstallProtocol(gSetupEditProtocolGuid, emu::SetupEditInterface());
  KvrnLabelsNotify(nullptr, nullptr);
  CheckLabels(c, platform.Board().setupMenus.edits);
#else
  RootPortAdjustNotify(nullptr, nullptr);
  CheckAdjustment(c, board, platform);
#endif
  return 0;
}
