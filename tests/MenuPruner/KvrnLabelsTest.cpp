// KVRN port labels: which expansion slots' OPROM items are named after a port, what the slot
// table is asked, and when nothing is labelled. Riser type 3 keeps the riser edits to the fixed
// ones, which run first.
#include <gtest/gtest.h>

#include "MenuEdits.h"

namespace {

using namespace test;

emu::BoardDescription KvrnBoard(uint8_t kvrnConfig, std::map<uint32_t, uint32_t> slots) {
  emu::BoardDescription board = BoardWithRiser(3);
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, kvrnConfig);
  for (const auto &[index, code] : slots) board.slots[index] = code;
  return board;
}

// The expansion slots MenuPruner asked about (the onboard NIC item asks about 128 as well).
std::vector<uint64_t> SlotQueries(const emu::BootResult &result) {
  std::vector<uint64_t> queries;
  for (uint64_t index :
       FirstArgsOf(CallsBy(result.calls, "MenuPruner"), "BoardInfo.GetSlotLocation")) {
    if (index != SLOT_INDEX_ONBOARD_NIC) queries.push_back(index);
  }
  return queries;
}

// Every expansion slot asked `times` times in walk order, but `fewer` (slot -> times).
std::vector<uint64_t> WalkQueries(int times, std::map<uint32_t, int> fewer = {}) {
  std::vector<uint64_t> queries;
  for (uint8_t index : kExpansionSlotIndexes) {
    int n = fewer.count(index) ? fewer[index] : times;
    queries.insert(queries.end(), n, index);
  }
  return queries;
}

TEST(KvrnLabelsTest, PortsInThreeSlotsAreLabelledInSlotOrder) {
  emu::BootResult result = BootMenuPruner(
      KvrnBoard(0x0E, {{172, KVRN_PORT_CODE_B}, {173, KVRN_PORT_CODE_C}, {174, KVRN_PORT_CODE_D}}));
  EXPECT_EQ(result.menusAfter.edits,
            FixedEdits() + KvrnLabel(172, 'B') + KvrnLabel(173, 'C') + KvrnLabel(174, 'D'));
  // A slot stops being asked at its port: B after one question, C after two, D after three.
  EXPECT_EQ(SlotQueries(result), WalkQueries(3, {{172, 1}, {173, 2}}));
}

TEST(KvrnLabelsTest, APortFoundInTwoSlotsLabelsBoth) {
  emu::BootResult result =
      BootMenuPruner(KvrnBoard(0x02, {{170, KVRN_PORT_CODE_B}, {169, KVRN_PORT_CODE_B}}));
  EXPECT_EQ(result.menusAfter.edits, FixedEdits() + KvrnLabel(170, 'B') + KvrnLabel(169, 'B'));
}

TEST(KvrnLabelsTest, OnlyWholeCodesOfPortsWhoseBitIsSetMatch) {
  // C's bit is clear; 176 and 177 hold B and D with a nonzero low half; the riser codes and the
  // other sockets' codes are no KVRN port.
  emu::BootResult result = BootMenuPruner(KvrnBoard(0x0A, {{172, KVRN_PORT_CODE_C},
                                                           {174, KVRN_PORT_CODE_D},
                                                           {176, KVRN_PORT_CODE_B | 0x0001},
                                                           {177, KVRN_PORT_CODE_D | 0x0100},
                                                           {161, 0x12B000},
                                                           {162, KVRN_PORT_CODE_B}}));
  EXPECT_EQ(result.menusAfter.edits, FixedEdits() + KvrnLabel(174, 'D') + KvrnLabel(162, 'B'));
}

TEST(KvrnLabelsTest, WithoutPortBitsNothingIsLabelledButEverySlotIsAsked) {
  for (uint8_t config : {0x00, 0x81, 0xF1}) {
    SCOPED_TRACE(config);
    emu::BootResult result = BootMenuPruner(KvrnBoard(
        config, {{172, KVRN_PORT_CODE_B}, {174, KVRN_PORT_CODE_C}, {175, KVRN_PORT_CODE_D}}));
    EXPECT_EQ(result.menusAfter.edits, FixedEdits());
    EXPECT_EQ(SlotQueries(result), WalkQueries(3));
  }
}

TEST(KvrnLabelsTest, AnUnusableModuleHidesTheKvrnSlotItemOnly) {
  for (uint8_t config : {0x00, 0x0E, 0xFF}) {
    SCOPED_TRACE(config);
    emu::BoardDescription board = KvrnBoard(config, {{172, KVRN_PORT_CODE_B}});
    board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, 0x40);
    emu::BootResult result = BootMenuPruner(board);
    EXPECT_EQ(result.menusAfter.edits, FixedEdits() + Edits{Hide(kSetup, 1600)});
    EXPECT_TRUE(SlotQueries(result).empty());
  }
}

}  // namespace
