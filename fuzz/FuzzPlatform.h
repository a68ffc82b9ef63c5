// What every fuzz target shares: an input reader and writer (the seed corpora are written with
// the writer, so a seed reads back as the case it was written from), and one emulated platform
// per input on which the driver code linked into the target runs with its frame started afresh.
#ifndef FUZZ_FUZZ_PLATFORM_H_
#define FUZZ_FUZZ_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Board.h"
#include "Platform.h"
#include "Processors.h"

namespace fuzz {

// Reads an input front to back, little-endian. Past its end every value reads 0 and every run
// of bytes is empty, so any input is a case.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte();
  uint16_t Word();
  uint32_t Dword();
  uint64_t Qword();
  bool Flag() { return (Byte() & 1) != 0; }
  // Up to `count` bytes, fewer where the input ends.
  std::vector<uint8_t> Bytes(size_t count);
  // A run written by Output::Run: a 16-bit length, then that many bytes.
  std::vector<uint8_t> Run() { return Bytes(Word()); }
  std::vector<uint8_t> Rest() { return Bytes(size_ - at_); }
  size_t Left() const { return size_ - at_; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// Builds an input in the form Input reads it.
class Output {
 public:
  Output &Byte(uint8_t value);
  Output &Word(uint16_t value);
  Output &Dword(uint32_t value);
  Output &Qword(uint64_t value);
  Output &Flag(bool value) { return Byte(value ? 1 : 0); }
  Output &Bytes(const std::vector<uint8_t> &bytes);
  Output &Run(const std::vector<uint8_t> &bytes);
  const std::vector<uint8_t> &Data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
};

// The processor of a case: a row of the processor table, or any CPUID leaf 1 EAX. Written as a
// selector byte (the row's index, with the row's EAX; past the rows, an EAX dword follows).
uint32_t NoSuchProcessor();  // not defined: a seed names a processor the table lacks
constexpr uint32_t ProcessorEax(uint16_t signature) {
  for (const PROCESSOR_ROW &processor : kProcessors) {
    if (processor.Signature == signature) return processor.CpuidEax;
  }
  return NoSuchProcessor();
}
constexpr uint32_t kEax5065 = ProcessorEax(0x5065);
constexpr uint32_t kEax606A = ProcessorEax(0x606A);
uint32_t ReadCpuidEax(Input &in);
void WriteCpuidEax(Output &out, uint32_t eax);

// Register access requests the platform answers badly: with no address, or with one where no
// device answers. Written as a count byte (at most 4), then per fault an occurrence byte (0:
// every request) and a kind byte (bit 0 clear: no address; set: an address in no device).
constexpr size_t kMaxRegisterAccessFaults = 4;
std::vector<emu::Fault> ReadRegisterAccessFaults(Input &in);
void WriteRegisterAccessFaults(Output &out, const std::vector<emu::Fault> &faults);
emu::Fault NoAddress(uint32_t occurrence);
emu::Fault AddressInNoDevice(uint32_t occurrence);
// Whether the register request of that occurrence (from 1) was answered badly.
bool AnsweredBadly(const std::vector<emu::Fault> &faults, uint32_t occurrence);

// A named seed of a target's corpus.
struct Seed {
  std::string name;
  std::vector<uint8_t> input;
};

// What every target's LLVMFuzzerInitialize does, once per process, returning its result. When
// FUZZ_WRITE_SEEDS names a directory, writes the target's seeds there and ends the process, so
// `FUZZ_WRITE_SEEDS=fuzz/corpus/x build-fuzz/x` rewrites a corpus. Otherwise platform
// violations are made to end the run as crashes, and CPUID of the driver code linked into the
// target to ask the emulated processor.
int Initialize(const std::vector<Seed> &seeds);

// The broken expectation ends the run as a crash, with its reason.
[[noreturn]] void Fail(const std::string &what);
inline void Expect(bool holds, const std::string &what) {
  if (!holds) Fail(what);
}

// One input's platform, with the driver frame started on it as the image's entry point starts
// it. When the run ends, the pool must hold no more than the scratch pool (every copy the
// platform handed the driver was freed); then the scratch pool goes and the frame's globals are
// cleared, so the next input starts from a fresh image's state.
class DriverRun {
 public:
  explicit DriverRun(emu::BoardDescription board);
  ~DriverRun();
  DriverRun(const DriverRun &) = delete;
  DriverRun &operator=(const DriverRun &) = delete;

  emu::Platform &Platform() { return *platform_; }
  // The HOB list the frame found (null without one) and its size.
  uint8_t *HobList() const;

 private:
  std::unique_ptr<emu::Platform> platform_;
  size_t poolBlocks_ = 0;
};

// The PHIT HOB that opens every list the PEI core hands over.
std::vector<uint8_t> PhitHob();
// The PHIT HOB, the HOBs given, and end HOBs for
// as far as any HOB length could reach past them (kHobListTail bytes).
constexpr size_t kHobListTail = 0x10000;
std::vector<uint8_t> HobListAround(const std::vector<uint8_t> &hobs);

}  // namespace fuzz

#endif  // FUZZ_FUZZ_PLATFORM_H_
