// KVRN port placement: which free expansion slots get which port code, and what is asked.
#include <gtest/gtest.h>

#include "Tests.h"

namespace {

using Slots = std::map<uint32_t, uint32_t>;
using test::BoardWithKvrn;

emu::BootResult StartSlotService(const emu::BoardDescription &board) {
  emu::BootPlan plan;
  plan.drivers = {"BoardSlotService"};
  plan.setupEditProtocol = false;
  plan.slotRecordsTrigger = plan.rootPortAdjustTrigger = plan.readyToBoot = false;
  plan.collectNicMacs = false;
  return emu::RunBoot(board, plan);
}

// Only the expansion slots, from a slot table.
Slots Expansion(const Slots &slots) {
  Slots out;
  for (uint8_t index : kExpansionSlotIndexes) {
    if (auto it = slots.find(index); it != slots.end()) out.insert(*it);
  }
  return out;
}

TEST(SlotAssignmentTest, PortsTakeTheNextFreeSlotsAndTheWalkStopsAfterTheLast) {
  emu::BoardDescription board = BoardWithKvrn(0x0E);
  board.slots[170] = 0x42A000;
  board.slots[171] = 0x41A000;
  emu::BootResult result = StartSlotService(board);
  EXPECT_EQ(Expansion(result.slotsAfter), (Slots{{170, 0x42A000},
                                                 {171, 0x41A000},
                                                 {172, KVRN_PORT_CODE_B},
                                                 {173, KVRN_PORT_CODE_C},
                                                 {174, KVRN_PORT_CODE_D}}));
  EXPECT_EQ(test::FirstArgsOf(result.calls, "BoardInfo.GetSlotLocation"),
            (std::vector<uint64_t>{170, 171, 172, 173, 174}));
  EXPECT_EQ(test::ArgsOf(result.calls, "BoardInfo.SetSlotLocation"),
            (std::vector<std::vector<uint64_t>>{
                {172, KVRN_PORT_CODE_B}, {173, KVRN_PORT_CODE_C}, {174, KVRN_PORT_CODE_D}}));
}

TEST(SlotAssignmentTest, TakenSlotsBetweenFreeOnesAreSkipped) {
  emu::BootResult result = StartSlotService(emu::DefaultBoard());  // 170, 171, 173 taken
  Slots after = Expansion(result.slotsAfter);
  EXPECT_EQ(after[172], KVRN_PORT_CODE_B);
  EXPECT_EQ(after[173], 0x44A000u);
  EXPECT_EQ(after[174], KVRN_PORT_CODE_C);
  EXPECT_EQ(after[175], KVRN_PORT_CODE_D);
}

TEST(SlotAssignmentTest, OnlyThePortsWhoseBitsAreSetArePlaced) {
  struct Case {
    uint8_t config;
    Slots expected;
  } cases[] = {
      {0x0C, {{170, KVRN_PORT_CODE_C}, {171, KVRN_PORT_CODE_D}}},
      {0x0A, {{170, KVRN_PORT_CODE_B}, {171, KVRN_PORT_CODE_D}}},
      {0x04, {{170, KVRN_PORT_CODE_C}}},
      {0x8E, {{170, KVRN_PORT_CODE_B}, {171, KVRN_PORT_CODE_C}, {172, KVRN_PORT_CODE_D}}},
      {0xF1, {}},  // bit 0x80, 0x01 and the high bits place nothing
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "KVRN configuration " << std::hex << int{c.config});
    emu::BootResult result = StartSlotService(BoardWithKvrn(c.config));
    EXPECT_EQ(Expansion(result.slotsAfter), c.expected);
  }
}

// Bits 0x01 and 0x10 to 0x80 name no port: with only those set, nothing is to be placed.
TEST(SlotAssignmentTest, NoPortBitQueriesTheFirstSlotOnlyAndWritesNothing) {
  for (uint8_t config : {0x00, 0x81, 0x71}) {
    SCOPED_TRACE(int{config});
    for (bool firstTaken : {false, true}) {
      emu::BoardDescription board = BoardWithKvrn(config);
      if (firstTaken) board.slots[170] = 0x42A000;
      emu::BootResult result = StartSlotService(board);
      EXPECT_EQ(test::FirstArgsOf(result.calls, "BoardInfo.GetSlotLocation"),
                std::vector<uint64_t>{170});
      EXPECT_EQ(test::CountOf(result.calls, "BoardInfo.SetSlotLocation"), 0u);
    }
  }
}

TEST(SlotAssignmentTest, AllSlotsTakenQueriesAllEighteenInWalkOrderAndStartGoesOn) {
  emu::BoardDescription board = BoardWithKvrn(0x0E);
  for (uint8_t index : kExpansionSlotIndexes) board.slots[index] = 0x31A000;
  emu::BootResult result = StartSlotService(board);
  EXPECT_EQ(
      test::FirstArgsOf(result.calls, "BoardInfo.GetSlotLocation"),
      std::vector<uint64_t>(std::begin(kExpansionSlotIndexes), std::end(kExpansionSlotIndexes)));
  EXPECT_EQ(test::CountOf(result.calls, "BoardInfo.SetSlotLocation"), 0u);
  EXPECT_EQ(result.drivers.at(0).status, EFI_SUCCESS);
  EXPECT_EQ(test::CountOf(result.calls, "BS.InstallProtocolInterface"), 1u);
}

TEST(SlotAssignmentTest, OneFreeSlotTakesOnlyPortB) {
  emu::BoardDescription board = BoardWithKvrn(0x0E);
  for (uint8_t index : kExpansionSlotIndexes) board.slots[index] = 0x31A000;
  board.slots.erase(165);
  emu::BootResult result = StartSlotService(board);
  EXPECT_EQ(test::ArgsOf(result.calls, "BoardInfo.SetSlotLocation"),
            (std::vector<std::vector<uint64_t>>{{165, KVRN_PORT_CODE_B}}));
}

TEST(SlotAssignmentTest, TheSecondRowOfSlotsFollowsTheFirst) {
  emu::BoardDescription board = BoardWithKvrn(0x02);
  for (uint32_t index = 170; index <= 178; ++index) board.slots[index] = 0x31A000;
  emu::BootResult result = StartSlotService(board);
  EXPECT_EQ(Expansion(result.slotsAfter).at(161), KVRN_PORT_CODE_B);
}

}  // namespace
