// The board hook protocol's CollectNicMacAddresses, called as the platform's consumer calls it:
// which functions it reads, what it leaves in the lists and in the controller's registers.
#include <gtest/gtest.h>

#include "PciAccess.h"
#include "Tests.h"

namespace {

using emu::MacAddress;
using Macs = std::vector<MacAddress>;

constexpr UINT16 kNicRootPort = PciBdf(0x17, 0, 0);

MacAddress MacOf(uint8_t function) {
  return {0x02, 0x11, 0x22, 0x33, 0x44, static_cast<uint8_t>(0x50 + function)};
}

emu::PciFunction Nic(uint8_t function, uint16_t command = 0x0000) {
  emu::PciFunction nic;
  nic.vendorId = 0x8086;
  nic.deviceId = 0x37D2;
  nic.command = command;
  nic.memory = 0x9D000000 + uint64_t{function} * emu::kDeviceMemorySize;
  nic.mac = MacOf(function);
  return nic;
}

// The default board with the NIC's root port given this bus range, and `functions` functions
// of the controller on `bus`.
emu::BoardDescription NicBoard(uint8_t secondary, uint8_t subordinate, uint8_t bus,
                               uint8_t functions) {
  emu::BoardDescription board = emu::DefaultBoard();
  for (uint8_t f = 0; f < 4; ++f) board.pci.erase(PciBdf(0x18, 0, f));
  board.pci.at(kNicRootPort).secondaryBus = secondary;
  board.pci.at(kNicRootPort).subordinateBus = subordinate;
  for (uint8_t f = 0; f < functions; ++f) board.pci[PciBdf(bus, 0, f)] = Nic(f);
  return board;
}

class NicMacTest : public testing::Test {
 protected:
  // Starts the driver on `board` and asks once, as the consumer does. Every MAC address listed
  // must come from two reads of a window its function decoded, and no other read is made.
  emu::NicMacLists Collect(emu::BoardDescription board) {
    Load(std::move(board));
    EXPECT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
    started_ = platform_->Calls().size();
    emu::NicMacLists lists = emu::CollectNicMacs(*platform_);
    EXPECT_TRUE(lists.collected);
    EXPECT_EQ(lists.status, EFI_SUCCESS);
    const std::vector<emu::DeviceMemoryRead> &reads = platform_->Pci().MemoryReads();
    EXPECT_EQ(reads.size(), 2 * (lists.primary.size() + lists.secondary.size()));
    for (const emu::DeviceMemoryRead &read : reads) {
      EXPECT_TRUE(read.decoded) << "a read at " << std::hex << read.address << " decoded nothing";
    }
    return lists;
  }
  // A platform for `board`, the previous one gone first (one is active at a time).
  emu::Platform &Load(emu::BoardDescription board) {
    platform_.reset();
    platform_ = std::make_unique<emu::Platform>(std::move(board));
    return *platform_;
  }
  // The configuration registers the collection asked for, as (BDF, offset).
  std::vector<std::pair<UINT16, uint32_t>> Requests() const {
    std::vector<std::pair<UINT16, uint32_t>> out;
    for (size_t i = started_; i < platform_->Calls().size(); ++i) {
      const emu::CallRecord &call = platform_->Calls()[i];
      if (call.member != "RegisterAccess.GetRegisterAddress") continue;
      out.emplace_back(static_cast<UINT16>(call.args[0] >> 12), call.args[0] & 0xFFF);
    }
    return out;
  }
  // Command register values the driver wrote to one function, in order.
  std::vector<uint32_t> CommandWrites(UINT16 bdf) {
    std::vector<uint32_t> out;
    for (const emu::PciWrite &write : platform_->Pci().Writes()) {
      if (write.bdf == bdf && write.offset == PCI_COMMAND_OFFSET) {
        out.push_back(write.after & 0xFFFF);
      }
    }
    return out;
  }
  size_t CopyMemCalls() const { return platform_->CountCalls("BS.CopyMem"); }
  std::unique_ptr<emu::Platform> platform_;
  size_t started_ = 0;
};

TEST_F(NicMacTest, FourFunctionsFillThePrimaryThenTheSecondaryListInFunctionOrder) {
  emu::NicMacLists lists = Collect(NicBoard(0x18, 0x18, 0x18, 4));
  EXPECT_EQ(lists.primary, Macs{MacOf(0)});
  EXPECT_EQ(lists.secondary, (Macs{MacOf(1), MacOf(2), MacOf(3)}));
  // Four bytes at 0x1E2120 and two at 0x1E2140 of each function's memory, in entry order:
  // 02 11 22 33 from the first register and 44 5x from the second make 02:11:22:33:44:5x.
  std::vector<std::pair<uint64_t, size_t>> reads;
  for (const emu::DeviceMemoryRead &read : platform_->Pci().MemoryReads()) {
    EXPECT_TRUE(read.decoded);
    reads.emplace_back(read.address, read.length);
  }
  EXPECT_EQ(reads, (std::vector<std::pair<uint64_t, size_t>>{{0x9D1E2120, 4},
                                                             {0x9D1E2140, 2},
                                                             {0x9D3E2120, 4},
                                                             {0x9D3E2140, 2},
                                                             {0x9D5E2120, 4},
                                                             {0x9D5E2140, 2},
                                                             {0x9D7E2120, 4},
                                                             {0x9D7E2140, 2}}));
}

TEST_F(NicMacTest, MissingFunctionsAddNothing) {
  EXPECT_EQ(Collect(NicBoard(0x18, 0x18, 0x18, 2)).secondary, Macs{MacOf(1)});
  emu::NicMacLists none = Collect(NicBoard(0x18, 0x18, 0x18, 0));
  EXPECT_TRUE(none.primary.empty());
  EXPECT_TRUE(none.secondary.empty());
  EXPECT_EQ(CopyMemCalls(), 0u);
  EXPECT_TRUE(platform_->Pci().Writes().empty());
}

TEST_F(NicMacTest, ScanStepsDownFromTheSubordinateBusToTheFirstDeviceThatAnswers) {
  // Nothing on 0x1A or 0x19: the scan ends at the secondary bus, which it does not test.
  emu::NicMacLists lists = Collect(NicBoard(0x18, 0x1A, 0x18, 4));
  EXPECT_EQ(lists.primary, Macs{MacOf(0)});
  auto requests = Requests();
  ASSERT_GE(requests.size(), 5u);
  EXPECT_EQ(std::vector(requests.begin(), requests.begin() + 5),
            (std::vector<std::pair<UINT16, uint32_t>>{{kNicRootPort, PCI_SUBORDINATE_BUS_OFFSET},
                                                      {kNicRootPort, PCI_SECONDARY_BUS_OFFSET},
                                                      {PciBdf(0x1A, 0, 0), 0},
                                                      {PciBdf(0x19, 0, 0), 0},
                                                      {PciBdf(0x18, 0, 0), 0}}));

  // A device on 0x19 ends the scan there; functions 1 to 3 still come from the secondary bus.
  emu::BoardDescription board = NicBoard(0x18, 0x1A, 0x18, 4);
  emu::PciFunction upper = Nic(0);
  upper.mac = {0x02, 0, 0, 0, 0x19, 0};
  upper.memory = 0xA0000000;
  board.pci[PciBdf(0x19, 0, 0)] = upper;
  lists = Collect(board);
  EXPECT_EQ(lists.primary, Macs{upper.mac});
  EXPECT_EQ(lists.secondary, (Macs{MacOf(1), MacOf(2), MacOf(3)}));

  // A vendor ID whose low byte is 0xFF reads like an absent device to the scan.
  board.pci[PciBdf(0x19, 0, 0)].vendorId = 0x10FF;
  EXPECT_EQ(Collect(board).primary, Macs{MacOf(0)});
}

TEST_F(NicMacTest, UnusualBusRangesAreReadAsTheyStand) {
  // Secondary and subordinate both 0: the controller is looked for on bus 0.
  emu::NicMacLists lists = Collect(NicBoard(0, 0, 0, 4));
  EXPECT_EQ(lists.primary, Macs{MacOf(0)});
  EXPECT_EQ(lists.secondary.size(), 3u);

  // Subordinate below secondary: no scan, function 0 on the subordinate bus, the others on the
  // secondary bus.
  emu::BoardDescription board = NicBoard(0x19, 0x18, 0x18, 1);
  for (uint8_t f = 1; f < 4; ++f) board.pci[PciBdf(0x19, 0, f)] = Nic(f);
  lists = Collect(board);
  EXPECT_EQ(lists.primary, Macs{MacOf(0)});
  EXPECT_EQ(lists.secondary, (Macs{MacOf(1), MacOf(2), MacOf(3)}));
  EXPECT_EQ(Requests().at(2), (std::pair<UINT16, uint32_t>{PciBdf(0x18, 0, 0), 0}));
}

TEST_F(NicMacTest, RootPortCodeWithoutSocketIsUsedAsItsBdf) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.slots[SLOT_INDEX_ONBOARD_NIC] = 0x1700;
  EXPECT_EQ(Collect(board).secondary.size(), 3u);
}

// Whenever Memory Space Enable is clear the registers would read all ones; the function decodes
// for the copies and gets its own Command value back. One that decodes already is not touched.
TEST_F(NicMacTest, CommandRegisterIsRaisedWheneverMemorySpaceIsClearAndThenRestored) {
  struct Case {
    uint16_t command;
    std::vector<uint32_t> writes;
  } cases[] = {
      {0x0000, {0x0006, 0x0000}},
      {0x0400, {0x0406, 0x0400}},  // other bits are kept
      {0x0004, {0x0006, 0x0004}},  // bus master alone does not decode memory
      {0x0404, {0x0406, 0x0404}},
      {0x0002, {}},
      {0x0006, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "Command " << std::hex << c.command);
    emu::BoardDescription board = NicBoard(0x18, 0x18, 0x18, 1);
    board.pci[PciBdf(0x18, 0, 0)].command = c.command;
    emu::NicMacLists lists = Collect(board);
    EXPECT_EQ(CommandWrites(PciBdf(0x18, 0, 0)), c.writes);
    EXPECT_EQ(platform_->Pci().Read16(PciBdf(0x18, 0, 0), PCI_COMMAND_OFFSET), c.command);
    EXPECT_EQ(lists.primary, Macs{MacOf(0)});
    ASSERT_EQ(platform_->Pci().MemoryReads().size(), 2u);
    for (const emu::DeviceMemoryRead &read : platform_->Pci().MemoryReads()) {
      EXPECT_TRUE(read.decoded);
    }
  }
}

// Around one function's MAC reads: its IDs, the BAR pair, Command, then (only when Command is
// raised) the raise, the two copies and the restore, in that order.
TEST_F(NicMacTest, ConfigurationAccessesAroundTheMacReadsComeInOrder) {
  const std::vector<std::string> untouched = {"config 0x00", "config 0x10", "config 0x14",
                                              "config 0x04", "CopyMem 4",   "CopyMem 2"};
  const std::vector<std::string> raised = {"config 0x00", "config 0x10", "config 0x14",
                                           "config 0x04", "config 0x04", "CopyMem 4",
                                           "CopyMem 2",   "config 0x04"};
  struct Case {
    uint16_t command;
    const std::vector<std::string> &steps;
  } cases[] = {{0x0000, raised}, {0x0004, raised}, {0x0002, untouched}, {0x0006, untouched}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "Command " << std::hex << c.command);
    emu::BoardDescription board = NicBoard(0x18, 0x18, 0x18, 1);
    board.pci[PciBdf(0x18, 0, 0)].command = c.command;
    Collect(board);
    std::vector<std::string> steps;
    for (size_t i = started_; i < platform_->Calls().size(); ++i) {
      const emu::CallRecord &call = platform_->Calls()[i];
      char step[32];
      if (call.member == "BS.CopyMem") {
        std::snprintf(step, sizeof(step), "CopyMem %u", static_cast<unsigned>(call.args[0]));
      } else if (call.member == "RegisterAccess.GetRegisterAddress" &&
                 (call.args[0] >> 12) == PciBdf(0x18, 0, 0)) {
        std::snprintf(step, sizeof(step), "config 0x%02X",
                      static_cast<unsigned>(call.args[0] & 0xFFF));
      } else {
        continue;
      }
      steps.push_back(step);
    }
    EXPECT_EQ(steps, c.steps);
  }
}

TEST_F(NicMacTest, FunctionWithoutAssignedMemoryAddsNoEntryAndIsNotTouched) {
  // The board leaves the BAR pair's type bits only, or the firmware cleared it outright.
  for (bool typeBitsOnly : {true, false}) {
    SCOPED_TRACE(typeBitsOnly ? "type bits only" : "all zero");
    emu::BoardDescription board = NicBoard(0x18, 0x18, 0x18, 4);
    board.pci[PciBdf(0x18, 0, 0)].memory = 0;
    board.pci[PciBdf(0x18, 0, 2)].memory = 0;
    Load(board);
    if (!typeBitsOnly) platform_->Pci().Poke32(PciBdf(0x18, 0, 2), PCI_BAR0_OFFSET, 0);
    ASSERT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
    emu::NicMacLists lists = emu::CollectNicMacs(*platform_);
    EXPECT_TRUE(lists.primary.empty());
    EXPECT_EQ(lists.secondary, (Macs{MacOf(1), MacOf(3)}));
    EXPECT_TRUE(CommandWrites(PciBdf(0x18, 0, 0)).empty());
    EXPECT_TRUE(CommandWrites(PciBdf(0x18, 0, 2)).empty());
    EXPECT_EQ(CopyMemCalls(), 4u);  // two functions, two registers each, none in low memory
  }
}

// A BAR that reads all ones did not answer (the function went away between the reads, or the
// read failed): no base can be built from it, and nothing is read from one.
TEST_F(NicMacTest, ABarThatReadsAllOnesAddsNoEntryAndIsNotFollowed) {
  emu::BoardDescription board = NicBoard(0x18, 0x18, 0x18, 4);
  Load(board);
  platform_->Pci().Poke32(PciBdf(0x18, 0, 0), PCI_BAR0_OFFSET, 0xFFFFFFFF);
  platform_->Pci().Poke32(PciBdf(0x18, 0, 2), PCI_BAR1_OFFSET, 0xFFFFFFFF);
  ASSERT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
  emu::NicMacLists lists = emu::CollectNicMacs(*platform_);
  EXPECT_TRUE(lists.primary.empty());
  EXPECT_EQ(lists.secondary, (Macs{MacOf(1), MacOf(3)}));
  EXPECT_TRUE(CommandWrites(PciBdf(0x18, 0, 0)).empty());
  EXPECT_TRUE(CommandWrites(PciBdf(0x18, 0, 2)).empty());
  EXPECT_EQ(CopyMemCalls(), 4u);
}

// BAR0 and BAR1 are taken as one base whatever BAR0's type bits say, but a base that puts the
// registers past 2^47 is no address in the DXE phase (a read there raises #GP): a 32-bit BAR0
// beside a BAR1 of its own makes one, and such a function adds nothing and is not touched.
TEST_F(NicMacTest, ABarPairThatIsNoReachableAddressAddsNothing) {
  struct Case {
    uint32_t bar0, bar1;
  } cases[] = {
      {0x9D000000, 0x9E000000},  // a 32-bit BAR0 and a separate 32-bit BAR1
      {0x9D000000, 0x00008000},  // the lowest upper half past the limit
      {0x9D000000, 0xFFFF7FFF},
      {0xFFF00000, 0x00007FFF},  // below the limit, but the registers are not
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.bar1 << ":" << c.bar0);
    Load(NicBoard(0x18, 0x18, 0x18, 4));
    platform_->Pci().Poke32(PciBdf(0x18, 0, 0), PCI_BAR0_OFFSET, c.bar0);
    platform_->Pci().Poke32(PciBdf(0x18, 0, 0), PCI_BAR1_OFFSET, c.bar1);
    ASSERT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
    emu::NicMacLists lists = emu::CollectNicMacs(*platform_);  // a #GP read fails the test
    EXPECT_TRUE(lists.primary.empty());
    EXPECT_EQ(lists.secondary, (Macs{MacOf(1), MacOf(2), MacOf(3)}));
    EXPECT_TRUE(CommandWrites(PciBdf(0x18, 0, 0)).empty());
    EXPECT_EQ(CopyMemCalls(), 6u);
  }
}

// A Command register that reads all ones (the function stopped answering after its IDs, or the
// register access protocol has no address for the register) is no function that decodes: it
// adds nothing, and nothing is written to it.
TEST_F(NicMacTest, ACommandRegisterThatDoesNotAnswerAddsNothing) {
  // Requests of the collection: the root port's two bus numbers, then function 0's IDs, BAR0,
  // BAR1 and Command.
  constexpr uint32_t kCommandRequest = 6;
  for (uint64_t answer : {uint64_t{0}, emu::kConfigSpaceBoardBase + emu::kConfigSpaceBoardSize}) {
    SCOPED_TRACE(answer == 0 ? "no address" : "an address in no device");
    emu::BoardDescription board = NicBoard(0x18, 0x18, 0x18, 4);
    board.faults = {{"RegisterAccess.GetRegisterAddress", kCommandRequest, answer}};
    emu::NicMacLists lists = Collect(board);
    EXPECT_EQ(Requests().at(kCommandRequest - 1),
              (std::pair<UINT16, uint32_t>{PciBdf(0x18, 0, 0), PCI_COMMAND_OFFSET}));
    EXPECT_TRUE(lists.primary.empty());
    EXPECT_EQ(lists.secondary, (Macs{MacOf(1), MacOf(2), MacOf(3)}));
    EXPECT_TRUE(CommandWrites(PciBdf(0x18, 0, 0)).empty());
  }
}

TEST_F(NicMacTest, MemoryAboveFourGigabytesWithZeroLowHalfIsRead) {
  emu::BoardDescription board = NicBoard(0x18, 0x18, 0x18, 1);
  Load(board);
  // BAR0 0 but for its 64-bit type bits, and BAR1 1: the function decodes 0x1_0000_0000.
  platform_->Pci().Poke32(PciBdf(0x18, 0, 0), PCI_BAR0_OFFSET, 0x4);
  platform_->Pci().Poke32(PciBdf(0x18, 0, 0), PCI_BAR1_OFFSET, 1);
  ASSERT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
  emu::NicMacLists lists = emu::CollectNicMacs(*platform_);
  EXPECT_EQ(lists.primary, Macs{MacOf(0)});
  ASSERT_EQ(platform_->Pci().MemoryReads().size(), 2u);
  EXPECT_EQ(platform_->Pci().MemoryReads()[0].address, 0x1001E2120u);
}

}  // namespace
