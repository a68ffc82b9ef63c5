// The running PCI segment and processor. Configuration space by bus, device and function, with
// the register access protocol handing out register addresses in it; device memory behind each
// endpoint's 64-bit BAR pair; CPUID answered from the board description. The drivers write
// configuration space through plain pointers, so writes are found by comparing each function's
// space with its last snapshot, at every register request and whenever someone looks.
#ifndef EMULATOR_PCI_BUS_H_
#define EMULATOR_PCI_BUS_H_

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "Board.h"
#include "Cpuid.h"
#include "PciAccess.h"
#include "PciBoard.h"
#include "RegisterAccessProtocol.h"

namespace emu {

constexpr size_t kConfigSpaceSize = 4096;
// The board address of configuration space (enhanced configuration access), which the call
// log shows instead of the emulator's host address: 1 MiB per bus, 256 buses.
constexpr uint64_t kConfigSpaceBoardBase = 0x80000000;
constexpr uint64_t kConfigSpaceBoardSize = 0x10000000;

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
  // The host address behind a board address the protocol may answer with: inside
  // configuration space, that register; 0 stays 0 (nothing there to dereference); anywhere
  // else, an address where no device answers (reads give all ones, writes are dropped).
  uintptr_t AtBoardAddress(uint64_t address);
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

}  // namespace emu

#endif  // EMULATOR_PCI_BUS_H_
