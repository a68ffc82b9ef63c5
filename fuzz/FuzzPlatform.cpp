#include "FuzzPlatform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "Cpuid.h"
#include "DriverFrame.h"
#include "LinkedDriverFrame.h"
#include "PciBus.h"

namespace fuzz {

// ---- Input -------------------------------------------------------------------------------------

uint8_t Input::Byte() { return at_ < size_ ? data_[at_++] : 0; }

uint16_t Input::Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }

uint32_t Input::Dword() { return Word() | static_cast<uint32_t>(Word()) << 16; }

uint64_t Input::Qword() { return Dword() | static_cast<uint64_t>(Dword()) << 32; }

std::vector<uint8_t> Input::Bytes(size_t count) {
  size_t taken = count < size_ - at_ ? count : size_ - at_;
  std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + taken);
  at_ += taken;
  return bytes;
}

Output &Output::Byte(uint8_t value) {
  data_.push_back(value);
  return *this;
}

Output &Output::Word(uint16_t value) { return Byte(static_cast<uint8_t>(value)).Byte(value >> 8); }

Output &Output::Dword(uint32_t value) {
  return Word(static_cast<uint16_t>(value)).Word(static_cast<uint16_t>(value >> 16));
}

Output &Output::Qword(uint64_t value) {
  return Dword(static_cast<uint32_t>(value)).Dword(static_cast<uint32_t>(value >> 32));
}

Output &Output::Bytes(const std::vector<uint8_t> &bytes) {
  data_.insert(data_.end(), bytes.begin(), bytes.end());
  return *this;
}

Output &Output::Run(const std::vector<uint8_t> &bytes) {
  return Word(static_cast<uint16_t>(bytes.size())).Bytes(bytes);
}

namespace {

void WriteSeedsIfAsked(const std::vector<Seed> &seeds) {
  const char *dir = std::getenv("FUZZ_WRITE_SEEDS");
  if (dir == nullptr) return;
  for (const Seed &seed : seeds) {
    std::string path = std::string(dir) + "/" + seed.name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(seed.input.data()),
              static_cast<std::streamsize>(seed.input.size()));
    if (!out) {
      std::fprintf(stderr, "fuzz: cannot write %s\n", path.c_str());
      std::exit(2);
    }
  }
  std::fprintf(stderr, "fuzz: wrote %zu seeds to %s\n", seeds.size(), dir);
  std::exit(0);
}

}  // namespace

// ---- Findings ----------------------------------------------------------------------------------

void Fail(const std::string &what) {
  std::fprintf(stderr, "fuzz: %s\n", what.c_str());
  std::abort();
}

int Initialize(const std::vector<Seed> &seeds) {
  WriteSeedsIfAsked(seeds);
  emu::SetViolationHandler([](const std::string &what) { Fail("platform violation: " + what); });
  SetCpuidHook(emu::EmulatedCpuid());
  return 0;
}

// ---- One input's platform ----------------------------------------------------------------------

DriverRun::DriverRun(emu::BoardDescription board) {
  emu::ClearDriverFrame();
  platform_ = std::make_unique<emu::Platform>(std::move(board));
  InitializeDriverFrame(nullptr, platform_->SystemTable());
  poolBlocks_ = platform_->LivePoolBlocks();
}

DriverRun::~DriverRun() {
  Expect(platform_->LivePoolBlocks() <= poolBlocks_,
         "the driver left " + std::to_string(platform_->LivePoolBlocks() - poolBlocks_) +
             " pool blocks it was handed or allocated");
  ReleaseScratchPool();
  platform_.reset();
  emu::ClearDriverFrame();
}

uint8_t *DriverRun::HobList() const { return static_cast<uint8_t *>(gHobList); }

uint32_t ReadCpuidEax(Input &in) {
  const size_t row = in.Byte() % (PROCESSOR_COUNT + 1);
  return row < PROCESSOR_COUNT ? kProcessors[row].CpuidEax : in.Dword();
}

void WriteCpuidEax(Output &out, uint32_t eax) {
  for (size_t row = 0; row < PROCESSOR_COUNT; ++row) {
    if (kProcessors[row].CpuidEax == eax) {
      out.Byte(static_cast<uint8_t>(row));
      return;
    }
  }
  out.Byte(static_cast<uint8_t>(PROCESSOR_COUNT)).Dword(eax);
}

std::vector<emu::Fault> ReadRegisterAccessFaults(Input &in) {
  std::vector<emu::Fault> faults;
  size_t count = in.Byte() % (kMaxRegisterAccessFaults + 1);
  for (size_t i = 0; i < count; ++i) {
    uint8_t occurrence = in.Byte();
    faults.push_back((in.Byte() & 1) == 0 ? NoAddress(occurrence) : AddressInNoDevice(occurrence));
  }
  return faults;
}

void WriteRegisterAccessFaults(Output &out, const std::vector<emu::Fault> &faults) {
  out.Byte(static_cast<uint8_t>(faults.size()));
  for (const emu::Fault &fault : faults) {
    out.Byte(static_cast<uint8_t>(fault.occurrence)).Byte(fault.value == 0 ? 0 : 1);
  }
}

emu::Fault NoAddress(uint32_t occurrence) {
  return {"RegisterAccess.GetRegisterAddress", occurrence, 0};
}

emu::Fault AddressInNoDevice(uint32_t occurrence) {
  return {"RegisterAccess.GetRegisterAddress", occurrence,
          emu::kConfigSpaceBoardBase + emu::kConfigSpaceBoardSize};
}

bool AnsweredBadly(const std::vector<emu::Fault> &faults, uint32_t occurrence) {
  for (const emu::Fault &fault : faults) {
    if (fault.occurrence == 0 || fault.occurrence == occurrence) return true;
  }
  return false;
}

std::vector<uint8_t> PhitHob() {
  std::vector<uint8_t> hob(sizeof(EFI_HOB_HANDOFF_INFO_TABLE), 0);
  EFI_HOB_HANDOFF_INFO_TABLE phit{};
  phit.Header = {EFI_HOB_TYPE_HANDOFF, static_cast<UINT16>(sizeof(phit)), 0};
  phit.Version = EFI_HOB_HANDOFF_TABLE_VERSION;
  std::memcpy(hob.data(), &phit, sizeof(phit));
  return hob;
}

std::vector<uint8_t> HobListAround(const std::vector<uint8_t> &hobs) {
  std::vector<uint8_t> list = PhitHob();
  list.insert(list.end(), hobs.begin(), hobs.end());
  // The end HOB, and as many again as the longest HOB could step over: a list is always
  // terminated, so wherever a length from the given bytes lands (8-byte steps from the list's
  // start, a 16-bit length at most), there is an end HOB, and the walk never leaves the buffer.
  list.resize((list.size() + 7) & ~size_t{7}, 0);
  EFI_HOB_GENERIC_HEADER end{EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), 0};
  const uint8_t *endBytes = reinterpret_cast<const uint8_t *>(&end);
  for (size_t i = 0; i < kHobListTail / sizeof(end); ++i) {
    list.insert(list.end(), endBytes, endBytes + sizeof(end));
  }
  return list;
}

}  // namespace fuzz
