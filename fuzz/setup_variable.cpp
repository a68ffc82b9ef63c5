// The Setup variable reads, with a variable of arbitrary size and content, or none, and
// GetVariable failing where the input says. Built twice: against BoardSlotService, whose
// root-port adjustment reads byte 331, and (FUZZ_MENU_PRUNER) against MenuPruner, whose onboard
// NIC item reads byte 288. Both read into one cleared 3820-byte buffer: an option byte the
// variable does not reach reads as 0, and a larger variable is not read at all.
//
// The register access protocol may answer badly (no address, or one in no device): the
// register then reads as a function that does not answer.
//
// Input: variable present (flag), its size (word, below 4096), GetVariable fault (byte: 0 none,
// 1 success with nothing written, 2 device error, 3 buffer too small), the onboard NIC's root
// port absent (flag), byte pokes (count byte, at most 8, each a word offset and a byte), the
// register access faults (FuzzPlatform.h), then the variable's leading bytes.
#include <cstring>

#include "BoardInfoProtocol.h"
#include "DriverFrame.h"
#include "FuzzPlatform.h"
#include "PciBus.h"
#include "SetupVariable.h"
#if defined(FUZZ_MENU_PRUNER)
#include "MenuPruner.h"
#include "SetupMenus.h"
#else
#include "BoardSlotService.h"
#endif

namespace {

constexpr size_t kMaxSize = 4096;
constexpr size_t kMaxPokes = 8;
constexpr size_t kRootPortAdjustByte = 331;
constexpr size_t kOnboardNicAbsentByte = 288;
constexpr UINT16 kNicRootPort = PciBdf(0x17, 0, 0);

enum FaultKind : uint8_t { kNoFault, kSuccessWithoutData, kDeviceError, kBufferTooSmall };

struct Case {
  bool present = true;
  uint16_t size = 3072;
  uint8_t fault = kNoFault;
  bool nicRootPortAbsent = false;
  std::vector<std::pair<uint16_t, uint8_t>> pokes;
  std::vector<emu::Fault> registerFaults;
  std::vector<uint8_t> leading;
};

Case Read(fuzz::Input &in) {
  Case c;
  c.present = in.Flag();
  c.size = in.Word() % kMaxSize;
  c.fault = in.Byte() % 4;
  c.nicRootPortAbsent = in.Flag();
  size_t pokes = in.Byte() % (kMaxPokes + 1);
  for (size_t i = 0; i < pokes; ++i) {
    uint16_t offset = in.Word();
    c.pokes.emplace_back(offset, in.Byte());
  }
  c.registerFaults = fuzz::ReadRegisterAccessFaults(in);
  c.leading = in.Rest();
  return c;
}

std::vector<uint8_t> Write(const Case &c) {
  fuzz::Output out;
  out.Flag(c.present).Word(c.size).Byte(c.fault).Flag(c.nicRootPortAbsent);
  out.Byte(static_cast<uint8_t>(c.pokes.size()));
  for (const auto &[offset, value] : c.pokes) out.Word(offset).Byte(value);
  fuzz::WriteRegisterAccessFaults(out, c.registerFaults);
  return out.Bytes(c.leading).Data();
}

std::vector<uint8_t> DataOf(const Case &c) {
  std::vector<uint8_t> data(c.size, 0);
  std::copy_n(c.leading.begin(), std::min(c.leading.size(), data.size()), data.begin());
  for (const auto &[offset, value] : c.pokes) {
    if (offset < data.size()) data[offset] = value;
  }
  return data;
}

std::vector<fuzz::Seed> Seeds() {
  Case on;  // the default board's variable, both options on
  on.pokes = {{kRootPortAdjustByte, 1}, {kOnboardNicAbsentByte, 1}};
  Case absentPort = on;
  absentPort.nicRootPortAbsent = true;
  Case off = absentPort;
  off.pokes = {{kRootPortAdjustByte, 0}, {kOnboardNicAbsentByte, 2}};
  Case justShort = absentPort;  // ends right before each option byte
  justShort.size = kOnboardNicAbsentByte;
  Case justLong = absentPort;
  justLong.size = kRootPortAdjustByte + 1;
  Case largest = absentPort;
  largest.size = SETUP_VARIABLE_BUFFER_SIZE;
  Case tooLarge = absentPort;
  tooLarge.size = SETUP_VARIABLE_BUFFER_SIZE + 1;
  Case missing = absentPort;
  missing.present = false;
  Case silent = absentPort;
  silent.fault = kSuccessWithoutData;
  Case failing = absentPort;
  failing.fault = kDeviceError;
  Case empty = absentPort;  // found by fuzzing: the emulator once mishandled a variable of 0 bytes
  empty.size = 0;
  Case content = absentPort;  // leading bytes all ones up to both option bytes
  content.size = 400;
  content.pokes.clear();
  content.leading.assign(340, 0xFF);
  Case noAddress = on;  // the first register request gets no address, the rest none in a device
  noAddress.registerFaults = {fuzz::NoAddress(1), fuzz::AddressInNoDevice(4)};
  return {{"default-on", Write(on)},
          {"nic-port-absent", Write(absentPort)},
          {"options-off", Write(off)},
          {"short-variable", Write(justShort)},
          {"reaches-331", Write(justLong)},
          {"largest-readable", Write(largest)},
          {"too-large", Write(tooLarge)},
          {"missing", Write(missing)},
          {"success-without-data", Write(silent)},
          {"device-error", Write(failing)},
          {"empty-variable", Write(empty)},
          {"leading-ones", Write(content)},
          {"register-access-answers-badly", Write(noAddress)}};
}

// The default board's processor, PCI segment and slot table, with the KVRN ports where
// BoardSlotService places them; its Setup variable is the input's. The NIC's functions, whose
// device memory neither reader touches, are left out: their windows would cost each run most
// of its time.
const emu::BoardDescription &BaseBoard() {
  static const emu::BoardDescription board = [] {
    emu::BoardDescription base = emu::DefaultBoard();
    base.hobs.clear();
    emu::AddDefaultPciTopology(base);
    std::erase_if(base.pci, [](const auto &entry) { return entry.second.memory != 0; });
    base.setupMenus = emu::SetupMenus();
    base.variables.clear();
    base.slots[172] = KVRN_PORT_CODE_B;
    base.slots[174] = KVRN_PORT_CODE_C;
    base.slots[175] = KVRN_PORT_CODE_D;
    return base;
  }();
  return board;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::Initialize(Seeds()); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  Case c = Read(in);
  const std::vector<uint8_t> variable = DataOf(c);

  emu::BoardDescription board = BaseBoard();
  if (c.present)
    board.variables.push_back({u"Setup", gSetupVariableGuid, emu::kSetupAttributes, variable});
  static constexpr EFI_STATUS kStatuses[] = {EFI_SUCCESS, EFI_SUCCESS, EFI_DEVICE_ERROR,
                                             EFI_BUFFER_TOO_SMALL};
  if (c.fault != kNoFault) board.faults.push_back({"RT.GetVariable", 1, kStatuses[c.fault]});
  if (c.nicRootPortAbsent) board.pci.erase(kNicRootPort);
  board.faults.insert(board.faults.end(), c.registerFaults.begin(), c.registerFaults.end());

  // What the driver may take from the variable: its bytes, when GetVariable really read it.
  const bool read = c.present && c.size <= SETUP_VARIABLE_BUFFER_SIZE && c.fault == kNoFault;
  auto byteAt = [&](size_t offset) -> uint8_t {
    return read && offset < variable.size() ? variable[offset] : 0;
  };

  fuzz::DriverRun run(std::move(board));
  emu::Platform &platform = run.Platform();
  const size_t callsBefore = platform.Calls().size();
  auto countCalls = [&](const std::string &member) {
    size_t count = 0;
    for (size_t i = callsBefore; i < platform.Calls().size(); ++i) {
      count += platform.Calls()[i].member == member;
    }
    return count;
  };

#if defined(FUZZ_MENU_PRUNER)
  SuppressAbsentOnboardNicItem(emu::SetupEditInterface());
  const bool readable = read || c.fault == kSuccessWithoutData;
  // Its one register request answered badly, the root port reads as absent.
  const bool unanswered = c.nicRootPortAbsent || fuzz::AnsweredBadly(c.registerFaults, 1);
  const bool suppress = unanswered && byteAt(kOnboardNicAbsentByte) == 1;
  fuzz::Expect(countCalls("SetupEdit.SuppressItem") == (suppress ? 1u : 0u),
               suppress ? "the absent onboard NIC's item was not suppressed"
                        : "the onboard NIC's item was suppressed though Setup did not ask");
  fuzz::Expect(readable || countCalls("RegisterAccess.GetRegisterAddress") == 0,
               "the root port was read without a Setup variable");
#else
  RootPortAdjustNotify(nullptr, nullptr);
  const bool on = byteAt(kRootPortAdjustByte) != 0;
  if (!on) {
    fuzz::Expect(countCalls("BoardInfo.GetSlotLocation") == 0 &&
                     countCalls("RegisterAccess.GetRegisterAddress") == 0,
                 "the root ports were looked at with the adjustment off");
  }
  for (const emu::PciWrite &write : platform.Pci().Writes()) {
    if (write.dropped) continue;  // it reached no function
    fuzz::Expect(on && write.offset == 0x15C && write.after == (write.before & ~0x2000u),
                 "a configuration write other than clearing bit 13 of register 0x15C");
  }
#endif
  return 0;
}
