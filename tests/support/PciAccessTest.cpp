// PCI configuration access and root-port resolution, built into the test and run against the
// emulated platform's register access protocol, stack-bus HOB and processor.
#include <gtest/gtest.h>

#include "BoardDecode.h"
#include "Cpuid.h"
#include "DriverFrame.h"
#include "LinkedDriverFrame.h"
#include "PciAccess.h"
#include "PciBoard.h"
#include "Tests.h"

namespace {

using Words = std::vector<uint64_t>;

constexpr uint32_t kEax5065 = 0x50654;     // signature 0x5065, stepping 4
constexpr uint32_t kEax606A = 0x606A6;     // signature 0x606A, stepping 6
constexpr uint32_t kEaxUnknown = 0x406F1;  // signature 0x406F: no port table

class PciAccessTest : public testing::Test {
 protected:
  void TearDown() override {
    if (platform_ != nullptr) ReleaseScratchPool();
    platform_.reset();
    SetCpuidHook(nullptr);
    emu::ClearDriverFrame();
  }
  // The frame of an image started on `board`, with the board's processor behind CPUID.
  emu::Platform &Start(emu::BoardDescription board = emu::DefaultBoard()) {
    TearDown();
    platform_ = std::make_unique<emu::Platform>(std::move(board));
    InitializeDriverFrame(nullptr, platform_->SystemTable());
    SetCpuidHook(emu::EmulatedCpuid());
    return *platform_;
  }
  std::vector<Words> Records() const {
    return test::ArgsOf(platform_->Calls(), "RegisterAccess.GetRegisterAddress");
  }
  size_t CpuidCalls() const { return platform_->CountCalls("CPU.Cpuid"); }
  std::unique_ptr<emu::Platform> platform_;
};

TEST_F(PciAccessTest, ConfigAddressPacksTheRecordTheProtocolReceives) {
  Start();
  PciConfigAddress(0x80, 1, 0, 0x15C);
  // Bus 0x80 in bits 27..20, device 1 in 19..15, function 0 in 14..12, offset in 11..0.
  EXPECT_EQ(Records().back(), (Words{0x0800815C, 0, 0x200, 0}));
  // Device, function and offset keep their low 5, 3 and 12 bits.
  PciConfigAddress(0x12, 33, 9, 0x1004);
  EXPECT_EQ(Records().back(), (Words{0x01209004, 0, 0x200, 0}));
  PciConfigAddress(0xFF, 31, 7, 0xFFF);
  EXPECT_EQ(Records().back(), (Words{0x0FFFFFFF, 0, 0x200, 0}));
}

TEST_F(PciAccessTest, EveryAccessAsksAfreshAndReachesTheRegister) {
  emu::Platform &p = Start();
  const UINT16 nic = PciBdf(0x18, 0, 0), rootPort = PciBdf(0x17, 0, 0);
  EXPECT_EQ(PciRead32(nic, PCI_VENDOR_ID_OFFSET), 0x37D28086u);
  EXPECT_EQ(PciRead16(nic, 2), 0x37D2);
  EXPECT_EQ(PciRead8(rootPort, PCI_SECONDARY_BUS_OFFSET), 0x18);
  EXPECT_EQ(PciRead8(rootPort, PCI_SUBORDINATE_BUS_OFFSET), 0x18);
  PciWrite16(nic, PCI_COMMAND_OFFSET, 0x0006);
  PciWrite32(rootPort, 0x15C, 0x12345678);
  EXPECT_EQ(PciRead32(rootPort, 0x15C), 0x12345678u);
  EXPECT_EQ(Records().size(), 7u);

  const auto &writes = p.Pci().Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bdf, nic);
  EXPECT_EQ(writes[0].offset, PCI_COMMAND_OFFSET);
  EXPECT_EQ(writes[0].after & 0xFFFF, 0x0006u);
  EXPECT_EQ(writes[1].bdf, rootPort);
  EXPECT_EQ(writes[1].before, 0x0001A05Cu);
  EXPECT_EQ(writes[1].after, 0x12345678u);
}

TEST_F(PciAccessTest, AbsentFunctionsReadAllOnesAndDropWrites) {
  emu::Platform &p = Start();
  const UINT16 absent = PciBdf(0x33, 2, 1);
  EXPECT_EQ(PciRead8(absent, 0x19), 0xFF);
  EXPECT_EQ(PciRead16(absent, PCI_COMMAND_OFFSET), 0xFFFF);
  EXPECT_EQ(PciRead32(absent, PCI_VENDOR_ID_OFFSET), 0xFFFFFFFFu);
  PciWrite32(absent, 0x15C, 0);
  EXPECT_EQ(PciRead32(absent, 0x15C), 0xFFFFFFFFu);
  const auto &writes = p.Pci().Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_TRUE(writes[0].dropped);
  EXPECT_EQ(writes[0].bdf, absent);
}

// A protocol that answers with no address leaves the function unreachable: every width reads
// all ones, nothing is written and nothing is dereferenced (the host would stop at address 0).
TEST_F(PciAccessTest, NoAddressReadsAllOnesAndWritesNothing) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults.push_back({"RegisterAccess.GetRegisterAddress", 0, 0});
  emu::Platform &p = Start(board);
  const UINT16 nic = PciBdf(0x18, 0, 0), rootPort = PciBdf(0x17, 0, 0);
  EXPECT_EQ(PciConfigAddress(0x17, 0, 0, 0x15C), nullptr);
  EXPECT_EQ(PciRead8(rootPort, PCI_SUBORDINATE_BUS_OFFSET), 0xFF);
  EXPECT_EQ(PciRead16(nic, PCI_COMMAND_OFFSET), 0xFFFF);
  EXPECT_EQ(PciRead32(nic, PCI_VENDOR_ID_OFFSET), 0xFFFFFFFFu);
  PciWrite16(nic, PCI_COMMAND_OFFSET, 0x0006);
  PciWrite32(rootPort, 0x15C, 0);
  EXPECT_EQ(Records().size(), 6u);  // each access asked, none reached a register
  EXPECT_TRUE(p.Pci().Writes().empty());
  EXPECT_EQ(p.Pci().Read32(rootPort, 0x15C), 0x0001A05Cu);
  EXPECT_EQ(p.Pci().Read16(nic, PCI_COMMAND_OFFSET), 0u);
}

// An address in no device cannot be told from a register: it reads as nothing answers there
// and the write to it is lost, without reaching the register that was asked for.
TEST_F(PciAccessTest, AnAddressInNoDeviceReadsAllOnesAndLosesTheWrite) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults.push_back({"RegisterAccess.GetRegisterAddress", 0, 0xC0000000});
  emu::Platform &p = Start(board);
  const UINT16 rootPort = PciBdf(0x17, 0, 0);
  EXPECT_EQ(PciRead32(rootPort, PCI_VENDOR_ID_OFFSET), 0xFFFFFFFFu);
  PciWrite32(rootPort, 0x15C, 0);
  ASSERT_EQ(p.Pci().Writes().size(), 1u);
  EXPECT_TRUE(p.Pci().Writes()[0].dropped);
  EXPECT_EQ(p.Pci().Read32(rootPort, 0x15C), 0x0001A05Cu);
}

// ---- Root-port resolution ----

struct Resolution {
  const char *what;
  uint32_t code;
  uint32_t eax;
  UINT16 expected;
};

// The default board, with bus 0x80 for CPU2's second stack (table index 7) and 0x90 for its
// fifth (index 10), the last a stack field resolves.
emu::BoardDescription StackBoard() {
  emu::BoardDescription board = emu::DefaultBoard();
  emu::SetStackBus(board, 1, 1, 0x80);
  emu::SetStackBus(board, 1, 4, 0x90);
  return board;
}

TEST_F(PciAccessTest, PortsResolveThroughTheStackBusTableBySignature) {
  const Resolution cases[] = {
      {"port B, 0x5065", 0x22B000, kEax5065, 0x8008},
      {"port B, 0x606A", 0x22B000, kEax606A, 0x8018},
      {"port A, 0x5065", 0x22A000, kEax5065, 0x8000},
      {"port D, 0x5065", 0x22D000, kEax5065, 0x8018},
      {"port A, 0x606A", 0x22A000, kEax606A, 0x8010},
      {"port C, 0x606A", 0x22C000, kEax606A, 0x8020},
      {"port D, 0x606A", 0x22D000, kEax606A, 0x8028},
      {"stack field 5", 0x25B000, kEax5065, 0x9008},
      {"stepping and extended family are not compared", 0x22C000, 0x0FF5065F, 0x8010},
      {"bits 31..24 are not examined", 0xAB22B000, kEax5065, 0x8008},
      {"port letter E, 0x5065", 0x22E000, kEax5065, 0},
      {"port letter E, 0x606A", 0x22E000, kEax606A, 0},
      {"port letter 0", 0x220000, kEax5065, 0},
      {"port letter E, unknown processor", 0x22E000, kEaxUnknown, 0},
      {"port B, unknown processor: the code's own BDF", 0x22B000, kEaxUnknown, 0xB000},
  };
  for (const Resolution &c : cases) {
    SCOPED_TRACE(c.what);
    emu::BoardDescription board = StackBoard();
    board.cpuidEax = c.eax;
    Start(board);
    EXPECT_EQ(ResolveRootPortBdf(c.code), c.expected);
    EXPECT_EQ(test::ArgsOf(platform_->Calls(), "CPU.Cpuid"), std::vector<Words>{{1}});
  }
}

TEST_F(PciAccessTest, UnresolvableCodesFallBackToTheirLowBits) {
  struct Case {
    const char *what;
    uint32_t code;
    std::function<void(emu::BoardDescription &)> change;
    UINT16 expected;
  } cases[] = {
      {"no socket", 0x00B123, nullptr, 0xB123},
      {"no socket, high byte set", 0xFF01B123, nullptr, 0xB123},
      {"stack field 6", 0x26B000, nullptr, 0xB000},
      {"stack field 15", 0x2FB000, nullptr, 0xB000},
      {"stack without a bus", 0x22B000,
       [](emu::BoardDescription &b) { emu::SetStackBus(b, 1, 1, 0); }, 0xB000},
      {"no stack-bus HOB", 0x22B000, [](emu::BoardDescription &b) { emu::RemoveStackBusHob(b); },
       0xB000},
      // The byte in front of socket 1's table entries is the platform's own data (nonzero),
      // and in front of socket 2's is CPU1's last stack: neither is read.
      {"stack field 0, first socket", 0x10B000, nullptr, 0xB000},
      {"stack field 0, second socket", 0x20B000,
       [](emu::BoardDescription &b) { emu::SetStackBus(b, 0, 5, 0x99); }, 0xB000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    emu::BoardDescription board = StackBoard();
    if (c.change) c.change(board);
    Start(board);
    EXPECT_EQ(ResolveRootPortBdf(c.code), c.expected);
  }
  // Codes that resolve nothing are answered without asking the processor.
  Start(StackBoard());
  for (uint32_t code : {0x00B123u, 0x26B000u, 0x10B000u}) ResolveRootPortBdf(code);
  EXPECT_EQ(CpuidCalls(), 0u);
}

TEST_F(PciAccessTest, SocketsPastTheHobsTableFallBackInsteadOfReadingBeyondIt) {
  // One socket and two more stack entries: CPU2's third stack lies just past the HOB's data,
  // where the end-of-list HOB begins with 0xFF bytes.
  emu::BoardDescription board = StackBoard();
  emu::SetStackBusHob(board, emu::StackBusHobSizeFor(1) + 2);
  emu::SetStackBus(board, 0, 1, 0x17);
  emu::SetStackBus(board, 1, 1, 0x80);
  ASSERT_EQ((sizeof(EFI_HOB_GUID_TYPE) + emu::StackBusHobSizeFor(1) + 2) % 8, 0u);
  Start(board);
  EXPECT_EQ(ResolveRootPortBdf(0x22B000), 0x8008);  // the last entry in the HOB
  EXPECT_EQ(ResolveRootPortBdf(0x23B000), 0xB000);  // one past it
  EXPECT_EQ(ResolveRootPortBdf(0xF2B000), 0xB000);  // socket field 15
}

TEST_F(PciAccessTest, CpuidFillsOnlyTheRegistersAskedFor) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.cpuidEax = kEax606A;
  Start(board);
  UINT32 eax = 0, ebx = 0xDEAD;
  EXPECT_EQ(ReadCpuid(1, &eax, nullptr, nullptr, nullptr), 1u);
  EXPECT_EQ(eax, kEax606A);
  EXPECT_EQ(ReadCpuid(1, nullptr, &ebx, nullptr, nullptr), 1u);
  EXPECT_EQ(ebx, 0u);
  // Without an emulated processor the host build sees no signature at all.
  SetCpuidHook(nullptr);
  ReadCpuid(1, &eax, nullptr, nullptr, nullptr);
  EXPECT_EQ(eax, 0u);
}

// boardsim's report decodes slot codes without the drivers' code: on every kind of board, and
// on a board of every processor row, it must name the root port the drivers resolve.
TEST_F(PciAccessTest, TheReportsDecodeResolvesCodesAsTheDriversDo) {
  std::vector<emu::BoardDescription> boards(3, emu::DefaultBoard());
  emu::SetCpuSignature(boards[0], 0x406F);  // a processor the drivers have no table for
  emu::RemoveStackBusHob(boards[1]);
  emu::SetStackBusHob(boards[2], emu::StackBusHobSizeFor(1) + 2);
  emu::SetStackBus(boards[2], 0, 1, 0x17);
  for (const PROCESSOR_ROW &processor : kProcessors) {
    boards.push_back(emu::DefaultBoard());
    boards.back().cpuidEax = processor.CpuidEax;
  }
  for (size_t b = 0; b < boards.size(); ++b) {
    Start(boards[b]);
    for (uint32_t socket = 0; socket <= 5; ++socket) {
      for (uint32_t stack = 0; stack <= 7; ++stack) {
        for (uint32_t port : {0x9u, 0xAu, 0xBu, 0xCu, 0xDu, 0xEu}) {
          uint32_t code = socket << 20 | stack << 16 | port << 12 | 0x18;
          ASSERT_EQ(emu::DecodeSlotCode(boards[b], code).rootPort, ResolveRootPortBdf(code))
              << "board " << b << ", code " << emu::Hex(code, 6);
        }
      }
    }
  }
}

}  // namespace
