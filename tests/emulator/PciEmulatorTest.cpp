// The emulated PCI segment, register access protocol and processor must answer as the board
// would, or the drivers' PCI tests prove nothing. Here the platform is driven directly.
#include <gtest/gtest.h>

#include <cstring>

#include "PciAccess.h"
#include "Tests.h"

namespace {

REGISTER_ACCESS_PROTOCOL *RegisterAccess(emu::Platform &platform) {
  return static_cast<REGISTER_ACCESS_PROTOCOL *>(
      platform.FindProtocol(gRegisterAccessProtocolGuid));
}

volatile uint32_t *Register(emu::Platform &platform, uint16_t bdf, uint32_t offset) {
  REG_ACCESS_ADDRESS record = {uint32_t{bdf} << 12 | offset, 0, REG_ACCESS_KIND_PCI_CONFIG, 0};
  UINTN address = RegisterAccess(platform)->GetRegisterAddress(&record);
  return reinterpret_cast<volatile uint32_t *>(address);
}

TEST(PciEmulatorTest, RecordsThatAreNoConfigurationRegisterAreViolations) {
  emu::Platform platform(emu::DefaultBoard());
  for (REG_ACCESS_ADDRESS record :
       {REG_ACCESS_ADDRESS{0x01800000, 0, 0x100, 0}, REG_ACCESS_ADDRESS{0x01800000, 1, 0x200, 0},
        REG_ACCESS_ADDRESS{0x01800000, 0, 0x200, 7}, REG_ACCESS_ADDRESS{0x11800000, 0, 0x200, 0}}) {
    test::ExpectViolation expect("no PCI configuration register");
    UINTN address = RegisterAccess(platform)->GetRegisterAddress(&record);
    auto *answer = reinterpret_cast<uint32_t *>(address);
    EXPECT_EQ(*answer, 0xFFFFFFFFu);  // nothing answers there
  }
  test::ExpectViolation expect("must not use");
  reinterpret_cast<EFI_STATUS(EFIAPI *)()>(RegisterAccess(platform)->Member0To2[0])();
}

// A fault makes the protocol answer with the value given, an address as the board sees it:
// a register of configuration space, nothing (0), or an address where no device answers.
TEST(PciEmulatorTest, FaultsMakeTheProtocolAnswerWithTheAddressGiven) {
  emu::BoardDescription board = emu::DefaultBoard();
  const uint16_t rootPort = PciBdf(0x17, 0, 0), nic = PciBdf(0x18, 0, 0);
  const uint64_t rootPortId = emu::kConfigSpaceBoardBase + (uint64_t{rootPort} << 12);
  board.faults = {{"RegisterAccess.GetRegisterAddress", 1, rootPortId},
                  {"RegisterAccess.GetRegisterAddress", 2, 0},
                  {"RegisterAccess.GetRegisterAddress", 3, emu::kConfigSpaceBoardBase - 0x1000},
                  {"RegisterAccess.GetRegisterAddress", 4, 0xFEDCBA987654321F}};
  emu::Platform platform(board);
  // Asked for the NIC's ID, the protocol answers with the root port's.
  EXPECT_EQ(*Register(platform, nic, PCI_VENDOR_ID_OFFSET), 0x20308086u);
  EXPECT_EQ(Register(platform, nic, PCI_VENDOR_ID_OFFSET), nullptr);
  for (int i = 0; i < 2; ++i) {
    volatile uint32_t *nowhere = Register(platform, nic, PCI_COMMAND_OFFSET);
    ASSERT_NE(nowhere, nullptr);
    EXPECT_EQ(*nowhere, 0xFFFFFFFFu);
    *nowhere = 0x00060006;  // dropped
  }
  // Unfaulted again: the register asked for.
  EXPECT_EQ(*Register(platform, nic, PCI_VENDOR_ID_OFFSET), 0x37D28086u);

  std::vector<emu::CallRecord> calls = platform.CallsTo("RegisterAccess.GetRegisterAddress");
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].result, rootPortId);  // the log shows the address given
  EXPECT_EQ(calls[1].result, 0u);
  EXPECT_EQ(calls[3].result, 0xFEDCBA987654321Fu);
  EXPECT_EQ(calls[4].result, emu::kConfigSpaceBoardBase + (uint64_t{nic} << 12));
  const std::vector<emu::PciWrite> &writes = platform.Pci().Writes();
  ASSERT_EQ(writes.size(), 2u);
  for (const emu::PciWrite &write : writes) {
    EXPECT_TRUE(write.dropped);
    EXPECT_EQ(write.after, 0x00060006u);
  }
  EXPECT_EQ(platform.Pci().Read32(nic, PCI_COMMAND_OFFSET) & 0xFFFF, 0u);
}

TEST(PciEmulatorTest, DeviceMemoryAnswersOnlyWhileMemoryDecodingIsOn) {
  emu::Platform platform(emu::DefaultBoard());
  const uint16_t nic = PciBdf(0x18, 0, 1);
  uint64_t base = (uint64_t{*Register(platform, nic, PCI_BAR1_OFFSET)} << 32 |
                   *Register(platform, nic, PCI_BAR0_OFFSET)) &
                  ~uint64_t{0xF};
  EFI_BOOT_SERVICES *bs = platform.BootServices();
  uint8_t mac[6];
  bs->CopyMem(mac, reinterpret_cast<void *>(base + emu::kNicMacLowOffset), 4);
  EXPECT_EQ(std::vector<uint8_t>(mac, mac + 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
  platform.Pci().Poke32(nic, PCI_COMMAND_OFFSET, PCI_COMMAND_MEMORY_SPACE);
  bs->CopyMem(mac, reinterpret_cast<void *>(base + emu::kNicMacLowOffset), 4);
  bs->CopyMem(mac + 4, reinterpret_cast<void *>(base + emu::kNicMacHighOffset), 2);
  EXPECT_EQ(emu::MacText({mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}), "02:A1:B2:C3:D4:01");
  ASSERT_EQ(platform.Pci().MemoryReads().size(), 3u);
  EXPECT_EQ(platform.Pci().MemoryReads()[1].address, 0x9D3E2120u);  // the board's address

  // Where a BAR pair of 0 points, no device answers.
  test::ExpectViolation expect("low memory that no device decodes");
  bs->CopyMem(mac, reinterpret_cast<void *>(uintptr_t{0x1E2120}), 4);
  EXPECT_EQ(mac[0], 0xFF);
}

// The BAR pair holds the board's address wherever the board put the window, and the drivers
// read the MAC there; a window whose upper half is all ones is one they must not follow.
TEST(PciEmulatorTest, BarsHoldTheBoardsAddressAboveFourGigabytesToo) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.pci[PciBdf(0x18, 0, 1)].memory = 0x300000000;
  board.pci[PciBdf(0x18, 0, 2)].memory = 0xFFFFFFFF00200000;
  {
    emu::Platform platform(board);
    EXPECT_EQ(*Register(platform, PciBdf(0x18, 0, 1), PCI_BAR0_OFFSET), 0x4u);
    EXPECT_EQ(*Register(platform, PciBdf(0x18, 0, 1), PCI_BAR1_OFFSET), 0x3u);
    EXPECT_EQ(*Register(platform, PciBdf(0x18, 0, 2), PCI_BAR1_OFFSET), 0xFFFFFFFFu);
  }

  emu::BootResult result = emu::RunBoot(board);
  std::vector<std::string> secondary;
  for (const emu::MacAddress &mac : result.nicMacs.secondary)
    secondary.push_back(emu::MacText(mac));
  EXPECT_EQ(secondary, (std::vector<std::string>{"02:A1:B2:C3:D4:01", "02:A1:B2:C3:D4:03"}));
}

// A 32-bit BAR decodes below 4 GiB on its own: read as the low half of a pair, as the drivers
// read every BAR pair, it points where no device answers, the memory behind it included.
TEST(PciEmulatorTest, A32BitBarReadAsAPairDecodesNothing) {
  emu::BoardDescription board = emu::DefaultBoard();
  const uint16_t nic = PciBdf(0x18, 0, 1);
  board.pci[nic].memory = 0x29D200000;  // above 4 GiB: BAR1 holds 2
  emu::Platform platform(board);
  platform.Pci().Poke32(nic, PCI_COMMAND_OFFSET, PCI_COMMAND_MEMORY_SPACE);
  const uint32_t bar0 = *Register(platform, nic, PCI_BAR0_OFFSET);
  const uint64_t pair =
      (uint64_t{*Register(platform, nic, PCI_BAR1_OFFSET)} << 32 | bar0) & ~0xFull;
  uint8_t mac[4];
  platform.BootServices()->CopyMem(mac, reinterpret_cast<void *>(pair + emu::kNicMacLowOffset), 4);
  EXPECT_EQ(mac[0], 0x02);                                    // 64-bit: the pair is the window
  platform.Pci().Poke32(nic, PCI_BAR0_OFFSET, bar0 & ~0x6u);  // type bits 00: 32-bit
  platform.BootServices()->CopyMem(mac, reinterpret_cast<void *>(pair + emu::kNicMacLowOffset), 4);
  EXPECT_EQ(std::vector<uint8_t>(mac, mac + 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
  ASSERT_EQ(platform.Pci().MemoryReads().size(), 2u);
  EXPECT_EQ(platform.Pci().MemoryReads()[1].bdf, 0xFFFF);  // no function answered
  EXPECT_FALSE(platform.Pci().MemoryReads()[1].decoded);
}

TEST(PciEmulatorTest, DriversAreDispatchedOnlyOnceTheirProtocolsAreInstalled) {
  for (bool emu::BoardDescription::*protocol : {&emu::BoardDescription::boardInfoProtocol,
                                                &emu::BoardDescription::registerAccessProtocol}) {
    emu::BoardDescription board = emu::DefaultBoard();
    board.*protocol = false;
    emu::BootResult result = emu::RunBoot(board);
    ASSERT_EQ(result.drivers.size(), 2u);
    for (const emu::DriverOutcome &driver : result.drivers) {
      EXPECT_EQ(driver.status, EFI_NOT_READY) << driver.name;
      EXPECT_FALSE(driver.resident) << driver.name;
      EXPECT_TRUE(test::CallsBy(result.calls, driver.name).empty()) << driver.name;
    }
  }
  // Once both are there, both start.
  for (const emu::DriverOutcome &driver : emu::RunBoot(emu::DefaultBoard()).drivers) {
    EXPECT_EQ(driver.status, EFI_SUCCESS) << driver.name;
  }
}

TEST(PciEmulatorTest, EachImageAsksTheBoardsProcessorThroughItsOwnHook) {
  emu::BoardDescription board = emu::DefaultBoard();
  emu::SetCpuSignature(board, 0x606A);
  EXPECT_EQ(board.cpuidEax, 0x606A4u);  // the stepping is kept
  emu::BootResult result = emu::RunBoot(board);
  std::vector<emu::CallRecord> cpuid;
  for (const emu::CallRecord &call : test::CallsBy(result.calls, "BoardSlotService")) {
    if (call.member == "CPU.Cpuid") cpuid.push_back(call);
  }
  ASSERT_FALSE(cpuid.empty());
  for (const emu::CallRecord &call : cpuid) {
    EXPECT_EQ(call.args, std::vector<uint64_t>{1});
    EXPECT_EQ(call.result, 0x606A4u);
  }
}

// ---- Board files ----

TEST(PciBoardFileTest, PrintedTopologyReadsBackTheSame) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.cpuidEax = 0x606A6;
  board.registerAccessProtocol = false;
  emu::SetStackBus(board, 5, 2, 0x3C);  // grows the table to six sockets
  board.pci[PciBdf(0x18, 0, 2)].memory = 0;
  board.pci[PciBdf(0x18, 0, 3)].command = 0x0406;

  emu::BoardDescription read = emu::DefaultBoard();
  read.pci.clear();
  emu::RemoveStackBusHob(read);
  std::string error;
  ASSERT_TRUE(emu::ParseBoardText(emu::FormatBoardText(board), read, error)) << error;
  EXPECT_EQ(read.cpuidEax, board.cpuidEax);
  EXPECT_FALSE(read.registerAccessProtocol);
  EXPECT_EQ(read.pci, board.pci);
  ASSERT_NE(emu::FindStackBusHob(read), nullptr);
  EXPECT_EQ(emu::FindStackBusHob(read)->body, emu::FindStackBusHob(board)->body);

  // Over the default board too: the printed functions replace the board's own.
  emu::BoardDescription over = emu::DefaultBoard();
  board.pci.erase(PciBdf(0xD8, 4, 0));
  ASSERT_TRUE(emu::ParseBoardText(emu::FormatBoardText(board), over, error)) << error;
  EXPECT_EQ(over.pci, board.pci);
}

TEST(PciBoardFileTest, OddHobSizesAndAnAbsentHobReadBack) {
  for (size_t size : {size_t{100}, emu::StackBusHobSizeFor(2) + 3}) {
    SCOPED_TRACE(size);
    emu::BoardDescription board = emu::DefaultBoard();
    emu::SetStackBusHob(board, size);
    if (size > 1000) emu::SetStackBus(board, 2, 1, 0x90);  // in the part-socket
    emu::BoardDescription read = emu::DefaultBoard();
    std::string error;
    ASSERT_TRUE(emu::ParseBoardText(emu::FormatBoardText(board), read, error)) << error;
    EXPECT_EQ(emu::FindStackBusHob(read)->body, emu::FindStackBusHob(board)->body);
  }
  emu::BoardDescription board = emu::DefaultBoard();
  std::string error;
  ASSERT_TRUE(emu::ParseBoardText("stack-bus-hob absent\n", board, error));
  EXPECT_EQ(emu::FindStackBusHob(board), nullptr);
  EXPECT_NE(emu::FormatBoardText(board).find("stack-bus-hob absent"), std::string::npos);
}

TEST(PciBoardFileTest, LinesDescribeATopology) {
  emu::BoardDescription board;
  std::string error;
  ASSERT_TRUE(emu::ParseBoardText(
      "cpu-signature 0x606A\n"
      "stack-bus 1 0x40 0x80   # CPU2: stacks 0 and 1\n"
      "pci-root-port 80:03.0 secondary 0x81 subordinate 0x82 reg-15c 0x2000\n"
      "pci-endpoint 81:00.0 id 8086:37d2 command 0x2 memory 0x38000000000 mac 02:11:22:33:44:55\n"
      "pci-endpoint 82:04.0 id 0x9005:0x8017\n",
      board, error))
      << error;
  EXPECT_EQ(emu::CpuSignature(board), 0x606A);
  ASSERT_NE(emu::FindStackBusHob(board), nullptr);
  EXPECT_EQ(emu::FindStackBusHob(board)->body.size(), 16 + emu::StackBusHobSizeFor(2));
  const emu::PciFunction &port = board.pci.at(PciBdf(0x80, 3, 0));
  EXPECT_TRUE(port.rootPort);
  EXPECT_EQ(port.subordinateBus, 0x82);
  EXPECT_EQ(port.register15C, 0x2000u);
  const emu::PciFunction &nic = board.pci.at(PciBdf(0x81, 0, 0));
  EXPECT_EQ(nic.deviceId, 0x37D2);
  EXPECT_EQ(nic.memory, 0x38000000000u);
  EXPECT_EQ(nic.mac, (emu::MacAddress{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_EQ(board.pci.at(PciBdf(0x82, 4, 0)).memory, 0u);

  ASSERT_TRUE(emu::ParseBoardText("pci-remove 81:00.0\n", board, error));
  EXPECT_EQ(board.pci.count(PciBdf(0x81, 0, 0)), 0u);
  ASSERT_TRUE(emu::ParseBoardText("pci-clear\n", board, error));
  EXPECT_TRUE(board.pci.empty());
}

TEST(PciBoardFileTest, BadPciLinesAreNamed) {
  for (const char *line : {
           "pci-endpoint 18:00.0",                             // no id
           "pci-endpoint 18:00.0 id 8086",                     // half an id
           "pci-endpoint 18:00.0 id 8086:37D2 memory 0x1004",  // BAR type bits
           "pci-endpoint 18:00.0 id 8086:37D2 mac 02:11:22:33:44",
           "pci-endpoint 18:00.0 id 8086:37D2 colour blue",
           "pci-root-port 18:20.0",            // device 0x20
           "pci-root-port 18:00.8",            // function 8
           "pci-root-port 118:00.0",           // bus 0x118
           "pci-root-port 18:00.0 secondary",  // key without value
           "pci-root-port 18:00.0 secondary 0x100",
           "pci-clear now",
           "stack-bus 15 0x10",          // socket field would be 16
           "stack-bus 0 1 2 3 4 5 6 7",  // seven stacks
           "stack-bus-hob 16 sockets",
           "stack-bus-hob 70000 bytes",
           "cpu-signature 0x10000",
           "register-access maybe",
       }) {
    SCOPED_TRACE(line);
    emu::BoardDescription board = emu::DefaultBoard();
    std::string error;
    EXPECT_FALSE(emu::ParseBoardText(line, board, error));
    EXPECT_NE(error.find("line 1: bad value for"), std::string::npos) << error;
  }
}

}  // namespace
