// RootPortAdjustNotify: with Setup byte 331 on, bit 13 of register 0x15C is cleared in every
// expansion-slot root port above the add-in device 9005:8017, on every trigger.
#include <gtest/gtest.h>

#include "PciAccess.h"
#include "Tests.h"
#include "TriggerProtocols.h"

namespace {

UINT8 gTrigger;

constexpr UINT16 kSlot170Port = PciBdf(0xD7, 0, 0);  // 0x42A000 on the default board
constexpr UINT16 kAddIn = PciBdf(0xD8, 4, 0);

// Leaves the stack below the caller full of 0xFF, as a firmware stack that has seen other
// drivers would be, so a buffer that is not cleared does not read as zeros by luck.
__attribute__((noinline)) void DirtyStack() {
  volatile uint8_t junk[64 * 1024];
  for (auto &byte : junk) byte = 0xFF;
}

class RootPortAdjustTest : public testing::Test {
 protected:
  emu::Platform &Start(emu::BoardDescription board = emu::DefaultBoard()) {
    platform_.reset();
    platform_ = std::make_unique<emu::Platform>(std::move(board));
    EXPECT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
    started_ = platform_->Calls().size();
    return *platform_;
  }
  void Trigger() {
    DirtyStack();
    platform_->InstallProtocol(gRootPortAdjustTriggerProtocolGuid, &gTrigger);
  }
  // Calls since the driver started, to one member.
  std::vector<emu::CallRecord> Since(const std::string &member) const {
    std::vector<emu::CallRecord> out;
    for (size_t i = started_; i < platform_->Calls().size(); ++i) {
      if (platform_->Calls()[i].member == member) out.push_back(platform_->Calls()[i]);
    }
    return out;
  }
  size_t Requests() const { return Since("RegisterAccess.GetRegisterAddress").size(); }
  size_t RequestsFor(UINT16 bdf, uint32_t offset) const {
    size_t count = 0;
    for (const auto &call : Since("RegisterAccess.GetRegisterAddress")) {
      count += (call.args[0] >> 12) == bdf && (call.args[0] & 0xFFF) == offset;
    }
    return count;
  }
  const std::vector<emu::PciWrite> &Writes() { return platform_->Pci().Writes(); }
  std::unique_ptr<emu::Platform> platform_;
  size_t started_ = 0;
};

TEST_F(RootPortAdjustTest, DefaultBoardClearsBit13AboveTheAddInDeviceOnly) {
  Start();
  Trigger();
  ASSERT_EQ(Writes().size(), 1u);
  EXPECT_EQ(Writes()[0].bdf, kSlot170Port);
  EXPECT_EQ(Writes()[0].offset, 0x15C);
  EXPECT_EQ(Writes()[0].before, 0x0001A05Cu);
  EXPECT_EQ(Writes()[0].after, 0x0001805Cu);

  // Every expansion slot is asked once, and those with a code (the riser's and the KVRN ports
  // placed at start) a second time before they are resolved.
  std::vector<uint64_t> expected;
  for (uint8_t index : kExpansionSlotIndexes) {
    expected.push_back(index);
    if (platform_->Board().slots.count(index) != 0) expected.push_back(index);
  }
  EXPECT_EQ(test::FirstArgsOf(Since("BoardInfo.GetSlotLocation"), "BoardInfo.GetSlotLocation"),
            expected);
  // The KVRN ports are examined too: their subordinate buses are read.
  for (uint8_t device : {1, 2, 3}) {
    EXPECT_EQ(RequestsFor(PciBdf(0x57, device, 0), PCI_SUBORDINATE_BUS_OFFSET), 1u);
  }
  EXPECT_EQ(test::ArgsOf(Since("RT.GetVariable"), "RT.GetVariable"),
            std::vector<std::vector<uint64_t>>{{3820}});
}

TEST_F(RootPortAdjustTest, OptionOffOrSetupUnreadableTouchesNothing) {
  struct Case {
    const char *what;
    std::function<void(emu::BoardDescription &)> change;
  } cases[] = {
      {"byte 331 is 0", [](emu::BoardDescription &b) { b.SetSetupByte(331, 0); }},
      {"no Setup variable", [](emu::BoardDescription &b) { b.variables.clear(); }},
      {"Setup larger than the buffer", [](emu::BoardDescription &b) { b.SetSetupByte(3820, 1); }},
      // Shorter than 332 bytes: byte 331 has no value from the variable and counts as off.
      {"Setup of 331 bytes",
       [](emu::BoardDescription &b) { b.variables.at(0).data.assign(331, 0xFF); }},
      {"GetVariable fails",
       [](emu::BoardDescription &b) {
         b.faults.push_back({"RT.GetVariable", 1, EFI_DEVICE_ERROR});
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    emu::BoardDescription board = emu::DefaultBoard();
    c.change(board);
    Start(board);
    Trigger();
    EXPECT_EQ(Since("RT.GetVariable").size(), 1u);
    EXPECT_TRUE(Since("BoardInfo.GetSlotLocation").empty());
    EXPECT_EQ(Requests(), 0u);
    EXPECT_TRUE(Writes().empty());
  }
}

TEST_F(RootPortAdjustTest, SetupJustLongEnoughOrFillingTheBufferCounts) {
  for (size_t size : {332, 3820}) {
    SCOPED_TRACE(size);
    emu::BoardDescription board = emu::DefaultBoard();
    board.variables.at(0).data.assign(size, 0);
    board.SetSetupByte(331, 0x80);
    Start(board);
    Trigger();
    EXPECT_EQ(Writes().size(), 1u);
  }
}

TEST_F(RootPortAdjustTest, SlotsWithoutACodeCauseNoConfigurationAccess) {
  emu::BoardDescription board = test::BoardWithKvrn(0x00);
  board.slots[170] = 0x42A000;
  Start(board);
  Trigger();
  // Subordinate bus, device ID, then register 0x15C read and written: slot 170 only.
  EXPECT_EQ(Requests(), 4u);
  EXPECT_EQ(RequestsFor(kSlot170Port, 0x15C), 2u);
}

TEST_F(RootPortAdjustTest, OnlyBit13ChangesAndAClearBitIsWrittenBackAsRead) {
  struct Case {
    uint32_t before, after;
  } cases[] = {{0xFFFFFFFE, 0xFFFFDFFE}, {0x00002000, 0x00000000}, {0x0001805C, 0x0001805C}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.before);
    emu::BoardDescription board = emu::DefaultBoard();
    board.pci.at(kSlot170Port).register15C = c.before;
    Start(board);
    Trigger();
    EXPECT_EQ(platform_->Pci().Read32(kSlot170Port, 0x15C), c.after);
    EXPECT_EQ(RequestsFor(kSlot170Port, 0x15C), 2u);  // read, then write
  }
}

// All ones is what a read that no function answered gives; writing it back would set every
// bit of the port's register.
TEST_F(RootPortAdjustTest, ARegisterThatReadsAllOnesIsNotWrittenBack) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.pci.at(kSlot170Port).register15C = 0xFFFFFFFF;
  Start(board);
  Trigger();
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(RequestsFor(kSlot170Port, 0x15C), 1u);

  // The same when only that read fails (after the subordinate bus and the device's IDs, the
  // 0x15C read is the pass's third register request) and the port holds its usual value.
  board = emu::DefaultBoard();
  Start(board);
  size_t before = platform_->CountCalls("RegisterAccess.GetRegisterAddress");
  platform_->Board().faults.push_back(
      {"RegisterAccess.GetRegisterAddress", static_cast<uint32_t>(before + 3), 0x0FFFF15C});
  Trigger();
  ASSERT_TRUE(platform_->CallsTo("RegisterAccess.GetRegisterAddress")[before + 2].injected);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(platform_->Pci().Read32(kSlot170Port, 0x15C), 0x0001A05Cu);
}

TEST_F(RootPortAdjustTest, TheDeviceCountsOnlyAsDevice4WithBothIds) {
  struct Case {
    const char *what;
    UINT16 where;
    uint16_t vendor, device;
  } cases[] = {
      {"device 0", PciBdf(0xD8, 0, 0), 0x9005, 0x8017},
      {"function 1", PciBdf(0xD8, 4, 1), 0x9005, 0x8017},
      {"other device ID", kAddIn, 0x9005, 0x8018},
      {"other vendor", kAddIn, 0x9004, 0x8017},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    emu::BoardDescription board = emu::DefaultBoard();
    emu::PciFunction device = board.pci.at(kAddIn);
    board.pci.erase(kAddIn);
    device.vendorId = c.vendor;
    device.deviceId = c.device;
    board.pci[c.where] = device;
    Start(board);
    Trigger();
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(RequestsFor(kAddIn, PCI_VENDOR_ID_OFFSET), 1u);
  }
}

// A root port with buses below its secondary one: the device is looked for on the subordinate
// bus, the last of the port's range, and only there.
TEST_F(RootPortAdjustTest, TheDeviceIsLookedForOnTheSubordinateBus) {
  const UINT16 onSubordinate = PciBdf(0xD9, 4, 0);
  for (UINT16 where : {onSubordinate, kAddIn}) {
    SCOPED_TRACE(where == onSubordinate ? "on the subordinate bus" : "on the secondary bus");
    emu::BoardDescription board = emu::DefaultBoard();
    board.pci.at(kSlot170Port).subordinateBus = 0xD9;
    emu::PciFunction device = board.pci.at(kAddIn);
    board.pci.erase(kAddIn);
    board.pci[where] = device;
    Start(board);
    Trigger();
    EXPECT_EQ(Writes().size(), where == onSubordinate ? 1u : 0u);
    EXPECT_EQ(RequestsFor(onSubordinate, PCI_VENDOR_ID_OFFSET), 1u);
    EXPECT_EQ(RequestsFor(kAddIn, PCI_VENDOR_ID_OFFSET), 0u);
  }
}

TEST_F(RootPortAdjustTest, TwoSlotsOnOneRootPortClearTheBitTwiceWithTheSameResult) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.slots[171] = 0x42A000;
  Start(board);
  Trigger();
  EXPECT_EQ(RequestsFor(kSlot170Port, 0x15C), 4u);
  EXPECT_EQ(platform_->Pci().Read32(kSlot170Port, 0x15C), 0x0001805Cu);
}

TEST_F(RootPortAdjustTest, EveryTriggerRepeatsThePass) {
  Start();
  Trigger();
  platform_->Pci().Poke32(kSlot170Port, 0x15C, 0x0001A05C);  // set again behind the driver
  Trigger();
  EXPECT_EQ(Since("RT.GetVariable").size(), 2u);
  EXPECT_EQ(platform_->Pci().Read32(kSlot170Port, 0x15C), 0x0001805Cu);
  EXPECT_EQ(Writes().size(), 2u);
}

// The image asks its own processor: the same slot code finds its root port at another device
// on signature 0x606A, and at the code's own BDF on a processor the drivers do not know.
TEST_F(RootPortAdjustTest, TheImagesProcessorDecidesWhichRootPortIsAdjusted) {
  struct Case {
    const char *what;
    uint32_t eax;
    UINT16 port;
  } cases[] = {
      {"0x5065", 0x50654, PciBdf(0xD7, 0, 0)},
      {"0x606A", 0x606A6, PciBdf(0xD7, 2, 0)},
      {"unknown", 0x406F1, PciBdf(0xA0, 0, 0)},  // 0x42A000's low 16 bits
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    emu::BoardDescription board = emu::DefaultBoard();
    board.cpuidEax = c.eax;
    emu::PciFunction port = board.pci.at(kSlot170Port);
    board.pci.erase(kSlot170Port);
    board.pci[c.port] = port;
    Start(board);
    Trigger();
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0].bdf, c.port);
    EXPECT_FALSE(Writes()[0].dropped);
  }
}

}  // namespace
