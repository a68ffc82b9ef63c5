// The running PCI segment, answering from the board description.
#include "PciBus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DxeCore.h"

namespace emu {

namespace {

constexpr uint16_t kCommandMemorySpace = PCI_COMMAND_MEMORY_SPACE;
constexpr uint32_t kBarTypeMask = 0x6;
constexpr uint32_t kBar64BitMemory = 0x4;  // BAR type bits: 64-bit memory, not prefetchable
// What writes and reads are charged to where no function answers.
constexpr uint16_t kNoFunction = 0xFFFF;

uint32_t Get32(const uint8_t *bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

void Put16(uint8_t *bytes, uint16_t value) { std::memcpy(bytes, &value, sizeof(value)); }
void Put32(uint8_t *bytes, uint32_t value) { std::memcpy(bytes, &value, sizeof(value)); }

}  // namespace

struct PciBus::Function {
  uint16_t bdf = 0;
  PciFunction description;
  alignas(8) std::array<uint8_t, kConfigSpaceSize> config{};
  std::array<uint8_t, kConfigSpaceSize> snapshot{};
  uint8_t *memory = nullptr;  // kDeviceMemorySize bytes of device memory, or null

  ~Function() { std::free(memory); }
};

// ---- Configuration space as the board leaves it ---------------------------------------------

PciBus::PciBus(const BoardDescription &board) {
  absentPage_.fill(0xFF);
  for (const auto &entry : board.pci) {
    const uint16_t bdf = entry.first;
    const PciFunction &description = entry.second;
    auto function = std::make_unique<Function>();
    function->bdf = bdf;
    function->description = description;
    uint8_t *config = function->config.data();
    Put16(config + 0x00, description.vendorId);
    Put16(config + 0x02, description.deviceId);
    // Function 0 of a device with more functions says so in its header type.
    bool multiFunction = std::any_of(board.pci.begin(), board.pci.end(), [&](const auto &other) {
      return other.first != bdf && (other.first >> 3) == (bdf >> 3);
    });
    config[0x0E] = multiFunction ? 0x80 : 0x00;
    if (description.rootPort) {
      Put16(config + PCI_COMMAND_OFFSET, 0x0007);  // the port forwards I/O, memory, requests
      Put32(config + 0x08, 0x06040000);            // class: PCI-to-PCI bridge
      config[0x0E] |= 0x01;
      config[0x18] = BdfBus(bdf);  // Primary Bus Number
      config[PCI_SECONDARY_BUS_OFFSET] = description.secondaryBus;
      config[PCI_SUBORDINATE_BUS_OFFSET] = description.subordinateBus;
      Put32(config + kRootPortRegister15C, description.register15C);
    } else {
      Put16(config + PCI_COMMAND_OFFSET, description.command);
      if (description.memory != 0) {
        // The BAR pair holds the board's address, as the PCI enumerator programmed it (an
        // upper half of all ones included); ordinary host memory answers for the window, and
        // CopyMem finds it by that address.
        function->memory = static_cast<uint8_t *>(std::calloc(1, kDeviceMemorySize));
        if (function->memory == nullptr) std::abort();
        std::memcpy(function->memory + kNicMacLowOffset, description.mac.data(), 4);
        std::memcpy(function->memory + kNicMacHighOffset, description.mac.data() + 4, 2);
        function->memory[kNicMacHighOffset + 3] = 0x80;  // the address-valid bit above it
        Put32(config + PCI_BAR0_OFFSET,
              static_cast<uint32_t>(description.memory) | kBar64BitMemory);
        Put32(config + PCI_BAR1_OFFSET, static_cast<uint32_t>(description.memory >> 32));
      } else {
        Put32(config + PCI_BAR0_OFFSET, kBar64BitMemory);  // type bits only: nothing assigned
      }
    }
    function->snapshot = function->config;
    functions_[bdf] = std::move(function);
  }
}

PciBus::~PciBus() = default;

PciBus::Function *PciBus::Find(uint16_t bdf) const {
  auto it = functions_.find(bdf);
  return it == functions_.end() ? nullptr : it->second.get();
}

uint32_t PciBus::Read32(uint16_t bdf, uint16_t offset) const {
  const Function *function = Find(bdf);
  return function == nullptr ? 0xFFFFFFFF : Get32(function->config.data() + (offset & 0xFFC));
}

uint16_t PciBus::Read16(uint16_t bdf, uint16_t offset) const {
  return static_cast<uint16_t>(Read32(bdf, offset) >> (8 * (offset & 2)));
}

void PciBus::Poke32(uint16_t bdf, uint16_t offset, uint32_t value) {
  Sync();
  if (Function *function = Find(bdf)) {
    Put32(function->config.data() + (offset & 0xFFC), value);
    Put32(function->snapshot.data() + (offset & 0xFFC), value);
  }
}

// ---- Register requests and the writes between them ------------------------------------------

uintptr_t PciBus::RegisterAddress(const REG_ACCESS_ADDRESS *asked) {
  Sync();
  DxeCore &p = DxeCore::Current();
  if (asked == nullptr) {
    p.Violation(p.CurrentImageName() + " passed the register access protocol no record");
    absentHandedOut_ = true;
    absentBdf_ = kNoFunction;
    return reinterpret_cast<uintptr_t>(absentPage_.data());
  }
  const REG_ACCESS_ADDRESS &record = *asked;
  if (record.Reserved0 != 0 || record.Kind != REG_ACCESS_KIND_PCI_CONFIG || record.Reserved1 != 0 ||
      (record.Address >> 28) != 0) {
    p.Violation(p.CurrentImageName() + " asked the register access protocol for {" +
                Hex(record.Address) + ", " + Hex(record.Reserved0) + ", " + Hex(record.Kind) +
                ", " + Hex(record.Reserved1) + "}, which is no PCI configuration register");
    absentHandedOut_ = true;
    absentBdf_ = kNoFunction;
    return reinterpret_cast<uintptr_t>(absentPage_.data());
  }
  // Bits 27..12 of the record are the bus, device and function, in BDF order.
  uint16_t bdf = static_cast<uint16_t>(record.Address >> 12);
  size_t offset = record.Address & 0xFFF;
  if (Function *function = Find(bdf)) {
    return reinterpret_cast<uintptr_t>(function->config.data() + offset);
  }
  absentHandedOut_ = true;
  absentBdf_ = bdf;
  return reinterpret_cast<uintptr_t>(absentPage_.data() + offset);
}

uintptr_t PciBus::AtBoardAddress(uint64_t address) {
  if (address == 0) return 0;
  if (address >= kConfigSpaceBoardBase && address - kConfigSpaceBoardBase < kConfigSpaceBoardSize) {
    REG_ACCESS_ADDRESS record = {static_cast<uint32_t>(address - kConfigSpaceBoardBase), 0,
                                 REG_ACCESS_KIND_PCI_CONFIG, 0};
    return RegisterAddress(&record);
  }
  // The page where nothing answers, at the address's dword within it (a dword access there
  // stays inside the page).
  Sync();
  absentHandedOut_ = true;
  absentBdf_ = kNoFunction;
  return reinterpret_cast<uintptr_t>(absentPage_.data() + (address & (kConfigSpaceSize - 4)));
}

void PciBus::Sync() {
  for (auto &[bdf, function] : functions_) {
    if (std::memcmp(function->config.data(), function->snapshot.data(), kConfigSpaceSize) == 0) {
      continue;
    }
    for (size_t offset = 0; offset < kConfigSpaceSize; offset += 4) {
      uint32_t before = Get32(function->snapshot.data() + offset);
      uint32_t after = Get32(function->config.data() + offset);
      if (before != after) {
        writes_.push_back(PciWrite{bdf, static_cast<uint16_t>(offset), before, after, false});
      }
    }
    function->snapshot = function->config;
  }
  if (absentHandedOut_) {
    for (size_t offset = 0; offset < kConfigSpaceSize; offset += 4) {
      uint32_t after = Get32(absentPage_.data() + offset);
      if (after != 0xFFFFFFFF) {
        writes_.push_back(
            PciWrite{absentBdf_, static_cast<uint16_t>(offset), 0xFFFFFFFF, after, true});
      }
    }
    absentPage_.fill(0xFF);
    absentHandedOut_ = false;
  }
}

const std::vector<PciWrite> &PciBus::Writes() {
  Sync();
  return writes_;
}

// ---- Device memory --------------------------------------------------------------------------

uint64_t PciBus::DecodedBase(const Function &function) const {
  // BAR0's type bits say whether BAR1 is its upper half (64-bit) or a BAR of its own (32-bit,
  // decoding below 4 GiB), whatever a reader of the pair takes it for.
  const uint8_t *config = function.config.data();
  const uint32_t bar0 = Get32(config + PCI_BAR0_OFFSET);
  uint64_t bars = bar0;
  if ((bar0 & kBarTypeMask) == kBar64BitMemory) {
    bars |= uint64_t{Get32(config + PCI_BAR1_OFFSET)} << 32;
  }
  return bars & ~uint64_t{PCI_BAR_FLAG_MASK};
}

// A function answers for the window its BAR pair decodes now, wherever that is; while its
// Memory Space Enable bit is clear it answers nothing and the read gives all ones.
bool PciBus::ReadDeviceMemory(void *to, const void *from, size_t length) {
  uint64_t address = reinterpret_cast<uintptr_t>(from);
  for (const auto &[bdf, function] : functions_) {
    if (function->memory == nullptr) continue;
    uint64_t base = DecodedBase(*function);
    if (base == 0 || address < base || address - base >= kDeviceMemorySize) continue;
    size_t offset = address - base;
    size_t inside = std::min(length, kDeviceMemorySize - offset);
    bool decoded = (Get32(function->config.data() + PCI_COMMAND_OFFSET) & kCommandMemorySpace) != 0;
    std::memset(to, 0xFF, length);
    if (decoded) std::memcpy(to, function->memory + offset, inside);
    reads_.push_back(DeviceMemoryRead{bdf, address, length, decoded});
    return true;
  }
  // Nothing is mapped this low in the host: it is where a BAR pair of 0 points.
  if (address < kDeviceMemorySize) {
    DxeCore::Current().Violation(DxeCore::Current().CurrentImageName() + " read " +
                                 std::to_string(length) + " bytes at " + Hex(address) +
                                 ", low memory that no device decodes");
    std::memset(to, 0xFF, length);
    reads_.push_back(DeviceMemoryRead{kNoFunction, address, length, false});
    return true;
  }
  // A device's window is no one's while no BAR decodes it (a BAR moved away, a 32-bit BAR read
  // as a pair): nothing answers there.
  for (const auto &[bdf, function] : functions_) {
    const uint64_t window = function->description.memory;
    if (function->memory == nullptr || address < window || address - window >= kDeviceMemorySize) {
      continue;
    }
    std::memset(to, 0xFF, length);
    reads_.push_back(DeviceMemoryRead{kNoFunction, address, length, false});
    return true;
  }
  return false;
}

}  // namespace emu
