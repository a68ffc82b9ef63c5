// The report's decode of the board's codes says what the drivers do with them.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "BoardDecode.h"
#include "Boot.h"
#include "PciBoard.h"
#include "Tests.h"

namespace {

// For every KVRN configuration byte, the decode names the ports the slot table gets, the
// width the KVRN slot record gets and the port records added, as the boot shows them.
TEST(BoardDecodeTest, KvrnConfigurationDecodeMatchesTheBootForEveryByte) {
  const emu::SmbiosTable defaults = emu::DefaultSmbiosTable();
  const uint8_t widthBefore = defaults.OfType(9).at(3).Byte(6);  // the KVRN slot record's
  for (unsigned value = 0; value < 256; ++value) {
    SCOPED_TRACE("KVRN configuration " + emu::Hex(value, 2));
    emu::KvrnConfigDecode decode = emu::DecodeKvrnConfig(static_cast<uint8_t>(value));
    emu::BootResult boot = emu::RunBoot(test::BoardWithKvrn(static_cast<uint8_t>(value)));

    std::string placed;
    for (uint8_t index : kExpansionSlotIndexes) {
      auto slot = boot.slotsAfter.find(index);
      if (slot != boot.slotsAfter.end())
        placed += static_cast<char>('A' + (slot->second >> 12 & 0xF) - 0xA);
    }
    EXPECT_EQ(placed, decode.portsPresent);

    std::string records;
    uint8_t width = 0;
    for (const emu::SmbiosStructure &s : boot.smbiosAfter.Structures()) {
      if (s.Type() == 161) records += s.String(1)[5];
      if (s.Type() == 9 && s.Word(9) == 0x0B01) width = s.Byte(6);
    }
    EXPECT_EQ(records, decode.portRecords);
    EXPECT_EQ(width, decode.slotWidth.value_or(widthBefore));
    EXPECT_EQ(decode.splitRule, (value & 0x80) != 0);
  }
}

TEST(BoardDecodeTest, SlotCodesNameTheirSocketStackAndPort) {
  emu::BoardDescription board = emu::DefaultBoard();
  struct Case {
    uint32_t code;
    const char *place;
    uint16_t rootPort;
    const char *fallback;
  } cases[] = {
      {0x22B000, "CPU2 stack 2 port B", PciBdf(0x57, 1, 0), ""},
      {0x12A000, "CPU1 stack 2 port A", PciBdf(0x17, 0, 0), ""},
      {0x001700, "no socket", PciBdf(0x17, 0, 0), "no socket: its low 16 bits are the BDF"},
      {0x11A000, "CPU1 stack 1 port A", 0xA000, "CPU1 stack 1 has no bus"},
      {0x26B000, "CPU2 stack 6 port B", 0xB000, "stack field 6 names no stack"},
      {0x20B000, "CPU2 stack 0 port B", 0xB000, "stack field 0 names no stack"},
      {0x22E000, "CPU2 stack 2 port 0xE", 0, "port letter 0xE is none of A to D: 0"},
      {0x92B000, "CPU9 stack 2 port B", 0xB000, "CPU9 is past the stack-bus table"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(emu::Hex(c.code, 6));
    emu::SlotCodeDecode decode = emu::DecodeSlotCode(board, c.code);
    EXPECT_EQ(emu::SlotCodePlace(decode), c.place);
    EXPECT_EQ(decode.rootPort, c.rootPort);
    EXPECT_NE(decode.fallback.find(c.fallback), std::string::npos) << decode.fallback;
    EXPECT_EQ(decode.fallback.empty(), std::string(c.fallback).empty());
  }
}

// For every row of the riser table (and a riser type without one), what the report says of the
// riser is what the drivers did: a System Slots record per slot, in row order, with its Slot ID,
// designation and slot code; the slots' OPROM, port and VMD items retitled in the orders the
// report gives, after the riser OPROM items it names as hidden.
TEST(BoardDecodeTest, RiserDecodeMatchesTheBootForEveryRow) {
  std::vector<uint8_t> types{7};
  for (const RISER_ROW &riser : kRisers) types.push_back(riser.RiserType);
  for (uint8_t type : types) {
    SCOPED_TRACE("riser type " + std::to_string(type));
    emu::BoardDescription board = emu::DefaultBoard();
    board.SetBoardByte(BOARD_BYTE_RISER_TYPE, type);
    emu::BootResult boot = emu::RunBoot(board);
    const RISER_ROW *riser = emu::FindRiser(type);

    std::vector<std::tuple<std::string, uint16_t, uint32_t>> records, wanted;
    for (const emu::SmbiosStructure &s : boot.smbiosAfter.OfType(9)) {
      if (board.smbios.Find(s.Handle()) != nullptr) continue;
      records.emplace_back(s.String(1), s.Word(9),
                           s.Word(0x0D) << 16 | s.Byte(0x0F) << 8 | s.Byte(0x10));
    }
    using Edit = std::tuple<std::string, std::string, uint16_t>;
    std::vector<Edit> edits, riserEdits;
    for (const emu::SetupEditCall &call : boot.menusAfter.edits) {
      edits.emplace_back(call.member, call.formSet, call.id);
    }
    if (riser != nullptr) {
      for (size_t i = 0; i < riser->SlotCount; ++i) {
        const RISER_SLOT_ROW &slot = riser->Slots[i];
        wanted.emplace_back(slot.Name, slot.SlotId, slot.Code);
        riserEdits.emplace_back("UpdateString", "Setup", slot.OpromItem);
      }
      for (uint16_t item : emu::HiddenRiserOpromItems(*riser)) {
        riserEdits.emplace_back("HideItem", "Setup", item);
      }
      for (uint16_t RISER_SLOT_ROW::*item : {&RISER_SLOT_ROW::PortItem, &RISER_SLOT_ROW::VmdItem}) {
        for (size_t i = 0; i < riser->SlotCount; ++i) {
          riserEdits.emplace_back("UpdateString", "Socket Configuration",
                                  riser->Slots[riser->ItemOrder[i]].*item);
        }
      }
      EXPECT_NE(std::search(edits.begin(), edits.end(), riserEdits.begin(), riserEdits.end()),
                edits.end());
    } else {
      for (uint16_t item : kRiserOpromItems) {
        EXPECT_EQ(std::count(edits.begin(), edits.end(), Edit{"HideItem", "Setup", item}), 0);
      }
    }
    EXPECT_EQ(records, wanted);
  }
}

}  // namespace
