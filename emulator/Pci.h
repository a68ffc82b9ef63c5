// The emulated PCI segment and processor. Configuration space by bus, device and function, with
// the register access protocol handing out register addresses in it; device memory behind each
// endpoint's 64-bit BAR pair; CPUID answered from the board description. The drivers write
// configuration space through plain pointers, so writes are found by comparing each function's
// space with its last snapshot, at every register request and whenever someone looks.
#ifndef EMULATOR_PCI_H_
#define EMULATOR_PCI_H_

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Board.h"
#include "PciAccess.h"
#include "RegisterAccessProtocol.h"

namespace emu {

struct BootResult;

constexpr size_t kConfigSpaceSize = 4096;
// Each endpoint with memory decodes this much behind its BAR pair.
constexpr size_t kDeviceMemorySize = 0x200000;
constexpr uint32_t kNicMacLowOffset = 0x1E2120;   // MAC bytes 0 to 3
constexpr uint32_t kNicMacHighOffset = 0x1E2140;  // MAC bytes 4 and 5
constexpr uint32_t kRootPortRegister15C = 0x15C;
// The board address of configuration space (enhanced configuration access), which the call
// log shows instead of the emulator's host address.
constexpr uint64_t kConfigSpaceBoardBase = 0x80000000;

// "18:00.0": bus and device in hexadecimal, as lspci shows them.
std::string BdfText(uint16_t bdf);
bool ParseBdf(const std::string &text, uint16_t &bdf);
std::string MacText(const std::array<uint8_t, 6> &mac);

// ---- Board description side (PciBoard.cpp) ----

// The stack-bus HOB of the description, or null.
Hob *FindStackBusHob(BoardDescription &board);
const Hob *FindStackBusHob(const BoardDescription &board);
// Gives the board a fresh stack-bus HOB with `dataSize` bytes of data: the platform's own data
// up to the table, then a table of zeros (no stack has a bus).
void SetStackBusHob(BoardDescription &board, size_t dataSize);
void RemoveStackBusHob(BoardDescription &board);
constexpr size_t StackBusHobSizeFor(size_t sockets) {
  return STACK_BUS_TABLE_OFFSET + STACKS_PER_SOCKET * sockets;
}
// HOB lengths are 16 bits: this much data still fits behind the GUID HOB header.
constexpr size_t kMaxStackBusHobSize = 0xFFF8 - sizeof(EFI_HOB_GUID_TYPE);
// Sets the bus of a stack (0-based socket and stack, as the table counts them; slot location
// codes name them plus one), growing the HOB when its table is too short.
void SetStackBus(BoardDescription &board, unsigned socket, unsigned stack, uint8_t bus);

// The CPU signature the drivers compare: bits 19..4 of CPUID leaf 1 EAX.
inline uint16_t CpuSignature(const BoardDescription &board) {
  return static_cast<uint16_t>(board.cpuidEax >> 4);
}
inline void SetCpuSignature(BoardDescription &board, uint16_t signature) {
  board.cpuidEax = (board.cpuidEax & ~0xFFFF0u) | uint32_t{signature} << 4;
}

// The default board's processor, stack buses and PCI functions.
void AddDefaultPciTopology(BoardDescription &board);

// Board-file lines for the processor, the stack-bus HOB, the register access protocol and the
// PCI functions; BoardFile.cpp walks them after its own.
using BoardLineSetter = std::function<bool(const std::vector<std::string> &, BoardDescription &)>;
using BoardSetting = std::pair<std::string, BoardLineSetter>;
const std::vector<BoardSetting> &PciBoardSettings();
std::string FormatPciBoardText(const BoardDescription &board);

// ---- The running segment (Pci.cpp) ----

// A configuration write the drivers made: the aligned dword that changed, before and after.
struct PciWrite {
  uint16_t bdf = 0;
  uint16_t offset = 0;
  uint32_t before = 0;
  uint32_t after = 0;
  bool dropped = false;  // to an absent function: the bus dropped it
};

// A CopyMem out of device memory, at the board's address.
struct DeviceMemoryRead {
  uint16_t bdf = 0;  // the function whose BAR pair decodes the address; 0xFFFF: none does
  uint64_t address = 0;
  size_t length = 0;
  bool decoded = false;  // false: Memory Space Enable was clear, the read gave all ones
};

class PciBus {
 public:
  explicit PciBus(const BoardDescription &board);
  ~PciBus();
  PciBus(const PciBus &) = delete;
  PciBus &operator=(const PciBus &) = delete;

  // The register access protocol's answer: the host address of the register that a record
  // names. A record that is no PCI configuration record (or none) is a violation, and gets
  // an address where nothing answers.
  uintptr_t RegisterAddress(const REG_ACCESS_ADDRESS *record);
  // Serves a CopyMem whose source lies in device memory that some BAR pair decodes, or in the
  // low memory that a BAR pair of 0 would decode; false for any other source.
  bool ReadDeviceMemory(void *to, const void *from, size_t length);

  uint32_t Read32(uint16_t bdf, uint16_t offset) const;  // all ones for an absent function
  uint16_t Read16(uint16_t bdf, uint16_t offset) const;
  // A change by the platform itself (firmware that ran earlier): not a driver write.
  void Poke32(uint16_t bdf, uint16_t offset, uint32_t value);

  // Every driver write so far, in order.
  const std::vector<PciWrite> &Writes();
  const std::vector<DeviceMemoryRead> &MemoryReads() const { return reads_; }
  // Records the writes made since the last look.
  void Sync();

 private:
  struct Function;
  Function *Find(uint16_t bdf) const;
  uint64_t DecodedBase(const Function &function) const;

  std::map<uint16_t, std::unique_ptr<Function>> functions_;
  // Every request for an absent function gets this page, re-filled with all ones: a write to
  // it does not stick, as a real bus drops it.
  alignas(8) std::array<uint8_t, kConfigSpaceSize> absentPage_;
  bool absentHandedOut_ = false;
  uint16_t absentBdf_ = 0;
  std::vector<PciWrite> writes_;
  std::vector<DeviceMemoryRead> reads_;
};

// The emulated processor's CPUID, for code that is not a loaded image (the tests' own build of
// the driver support): hand it to SetCpuidHook.
CPUID_HOOK EmulatedCpuid();

// ---- boardsim's report (PciReport.cpp) ----

void ReportNicMacs(std::ostream &out, const BootResult &result);
void ReportConfigurationChanges(std::ostream &out, const BootResult &result);

}  // namespace emu

#endif  // EMULATOR_PCI_H_
