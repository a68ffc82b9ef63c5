// SMBIOS slot records: what the KVRN and riser work leaves in the SMBIOS table for each board,
// and how it copes with a protocol that fails or hands out odd copies. Every copy the driver
// receives must be freed: a leak fails the test through the platform's checks.
#include <gtest/gtest.h>

#include <algorithm>

#include "SmbiosEditProtocol.h"
#include "Tests.h"
#include "TriggerProtocols.h"

namespace {

using emu::SmbiosSlot;
using emu::SmbiosTable;

constexpr uint16_t kKvrnHandle = 0x0005;  // the default table's KVRN slot record
constexpr uint8_t kStartWidth = 0x08;     // x1: a width no rule writes, so every change shows

// The SMBIOS work is BoardSlotService's alone; MenuPruner's calls would only shift the
// occurrence numbers of injected faults.
emu::BootResult BootSlotService(const emu::BoardDescription &board) {
  emu::BootPlan plan;
  plan.drivers = {"BoardSlotService"};
  return emu::RunBoot(board, plan);
}

emu::BoardDescription Board(uint8_t kvrnConfig, uint8_t riserType = 5) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, kvrnConfig);
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, riserType);
  SmbiosSlot kvrn = *SmbiosSlot::From(*board.smbios.Find(kKvrnHandle));
  kvrn.width = kStartWidth;
  std::string error;
  EXPECT_TRUE(board.smbios.Put(kvrn.Bytes(), error)) << error;
  return board;
}

// A type 9 structure to add beside the default ones.
SmbiosSlot Slot(uint16_t handle, const std::string &designation, uint16_t id) {
  SmbiosSlot slot{9, handle, designation};
  slot.id = id;
  return slot;
}

void Add(emu::BoardDescription &board, const std::vector<uint8_t> &bytes) {
  std::string error;
  ASSERT_TRUE(board.smbios.Put(bytes, error)) << error;
}

std::vector<SmbiosSlot> SlotsOfType(const SmbiosTable &table, uint8_t type) {
  std::vector<SmbiosSlot> out;
  for (const auto &s : table.OfType(type)) {
    std::optional<SmbiosSlot> slot = SmbiosSlot::From(s);
    EXPECT_TRUE(slot.has_value()) << "type " << int{type} << " handle " << s.Handle();
    if (slot) out.push_back(*slot);
  }
  return out;
}

// The riser records: the type 9 structures that were not in the table before the boot.
std::vector<SmbiosSlot> AddedSlots(const emu::BootResult &result) {
  std::vector<SmbiosSlot> out;
  for (const SmbiosSlot &slot : SlotsOfType(result.smbiosAfter, 9)) {
    if (result.board.smbios.Find(slot.handle) == nullptr) out.push_back(slot);
  }
  return out;
}

uint8_t WidthOf(const SmbiosTable &table, uint16_t handle) {
  const emu::SmbiosStructure *s = table.Find(handle);
  return s == nullptr ? 0 : s->Byte(6);
}

SmbiosSlot KvrnPort(char letter, uint16_t id, uint8_t width) {
  SmbiosSlot port{161, 0, std::string("KVRN(") + letter + "): CPU2 PCIE 3.0"};
  port.width = width;
  port.usage = 0x02;
  port.id = id;
  port.segment = 0x0022;
  port.bus = static_cast<uint8_t>(0xB0 + (letter - 'B') * 0x10);
  return port;
}

// Port records compared without their handles, which the table chose.
std::vector<SmbiosSlot> WithoutHandles(std::vector<SmbiosSlot> slots) {
  for (SmbiosSlot &slot : slots) slot.handle = 0;
  return slots;
}

TEST(SlotRecordsTest, KvrnConfigurationSetsTheSlotWidthAndAddsPortRecords) {
  const uint8_t x4 = 0x0A, x8 = 0x0B, x16 = 0x0D;
  struct Case {
    uint8_t config;
    uint8_t width;  // of the KVRN slot record afterwards
    std::vector<SmbiosSlot> ports;
  } cases[] = {
      {0x00, kStartWidth, {}},
      {0x0C, kStartWidth, {}},  // ports C and D without the split bit count for nothing
      {0x02, x4, {KvrnPort('B', 0x0B11, x4)}},
      {0x0E, x4, {KvrnPort('B', 0x0B11, x4)}},
      {0x80, x16, {}},
      {0x84, x8, {KvrnPort('C', 0x0B11, x8)}},
      {0x82, x4, {KvrnPort('B', 0x0B11, x4), KvrnPort('C', 0x0B21, x4), KvrnPort('D', 0x0B31, x4)}},
      {0x8E, x4, {KvrnPort('B', 0x0B11, x4), KvrnPort('C', 0x0B21, x4), KvrnPort('D', 0x0B31, x4)}},
  };
  // Bits 0x01 and 0x10 to 0x40 do not count: each case holds with any of them set.
  for (const Case &c : cases) {
    for (uint8_t ignored : {0x00, 0x01, 0x10, 0x20, 0x40, 0x71}) {
      const uint8_t config = c.config | ignored;
      SCOPED_TRACE(testing::Message() << "KVRN configuration 0x" << std::hex << int{config});
      emu::BootResult result = BootSlotService(Board(config));
      EXPECT_EQ(WidthOf(result.smbiosAfter, kKvrnHandle), c.width);
      EXPECT_EQ(test::CountOf(result.calls, "Smbios.ReplaceRecord"),
                c.width == kStartWidth ? 0u : 1u);
      EXPECT_EQ(WithoutHandles(SlotsOfType(result.smbiosAfter, 161)), c.ports);
      for (const emu::SmbiosStructure &s : result.smbiosAfter.OfType(161)) {
        EXPECT_EQ(s.bytes.size(), 41u);
      }
      // Only the width of the KVRN slot record changes; the riser follows.
      emu::SmbiosStructure before = *result.board.smbios.Find(kKvrnHandle);
      before.bytes[6] = c.width;
      EXPECT_EQ(*result.smbiosAfter.Find(kKvrnHandle), before);
      EXPECT_EQ(AddedSlots(result).size(), 8u);
      // The slot takes its width before the first port record goes in.
      std::vector<std::string> edits;
      for (const emu::CallRecord &call : result.calls) {
        if (call.member.starts_with("Smbios.") && call.member != "Smbios.FindRecordByType" &&
            (edits.empty() || edits.back() != call.member)) {
          edits.push_back(call.member);
        }
      }
      std::vector<std::string> expected = {"Smbios.ReplaceRecord", "Smbios.InsertRecord"};
      if (c.width == kStartWidth) expected.erase(expected.begin());
      EXPECT_EQ(edits, expected);
    }
  }
}

TEST(SlotRecordsTest, UnavailableKvrnRemovesTheFirstMatchingSlotRecordOnly) {
  // Designations that must not match: shorter, other case, the port template, another last
  // character.
  auto others = [](emu::BoardDescription &board) {
    Add(board, Slot(0x40, "KVRN: CPU2 PCIE", 0x0B01).Bytes());
    Add(board, Slot(0x41, "kvrn: CPU2 PCIE 3.0", 0x0B01).Bytes());
    Add(board, Slot(0x42, "KVRN(B): CPU2 PCIE 3.0", 0x0B11).Bytes());
    Add(board, Slot(0x43, "KVRN: CPU2 PCIE 3.1", 0x0B01).Bytes());
  };
  struct Case {
    int matching;
    std::vector<uint16_t> removed;
  } cases[] = {{0, {}}, {1, {kKvrnHandle}}, {2, {kKvrnHandle}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.matching << " matching");
    emu::BoardDescription board = Board(0x8E);
    board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, 1);
    if (c.matching == 0) board.smbios.Remove(kKvrnHandle);
    others(board);
    // A later match, whose designation goes on after the 19 characters.
    if (c.matching == 2) Add(board, Slot(0x50, "KVRN: CPU2 PCIE 3.0 spare", 0x0777).Bytes());
    emu::BootResult result = BootSlotService(board);

    std::vector<uint16_t> removed;
    for (const auto &s : result.board.smbios.Structures()) {
      if (result.smbiosAfter.Find(s.Handle()) == nullptr) removed.push_back(s.Handle());
    }
    EXPECT_EQ(removed, c.removed);
    if (c.matching == 2) EXPECT_NE(result.smbiosAfter.Find(0x50), nullptr);
    // Without a match every type 9 structure is read once; a match ends the walk.
    size_t typeNine = result.board.smbios.OfType(9).size();
    EXPECT_EQ(test::CountOf(result.calls, "Smbios.FindRecordByType"),
              c.matching == 0 ? typeNine + 1 : 4u);
    // Nothing resized or added for the KVRN module, and its configuration never read.
    EXPECT_EQ(test::CountOf(result.calls, "Smbios.ReplaceRecord"), 0u);
    EXPECT_TRUE(result.smbiosAfter.OfType(161).empty());
    EXPECT_EQ(test::FirstArgsOf(test::CallsBy(result.calls, "BoardSlotService"),
                                "BoardInfo.QueryBoardByte"),
              (std::vector<uint64_t>{BOARD_BYTE_KVRN_CONFIG /* start-up */, BOARD_BYTE_RISER_TYPE,
                                     BOARD_BYTE_KVRN_UNAVAILABLE}));
    EXPECT_EQ(AddedSlots(result).size(), 8u);
  }
}

// As the contract stands, the removal walk knows the KVRN slot record only in the 17-byte
// layout. In the SMBIOS 3.2 layout (Length 0x13: a data bus width and a peer group count come
// before the strings) it is resized like any other, but never removed.
// SMBIOS 3.2 and later lay the KVRN slot's structure out with a longer formatted area (here
// Length 0x13: a base data bus width and no peer group); its designation follows that area.
TEST(SlotRecordsTest, AKvrnSlotRecordWithALongerFormattedAreaIsResizedOrRemoved) {
  for (uint8_t unavailable : {1, 0}) {
    SCOPED_TRACE(unavailable ? "module unusable" : "module usable");
    emu::BoardDescription board = Board(0x84);
    board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, unavailable);
    board.smbios.Remove(kKvrnHandle);
    std::vector<uint8_t> record = Slot(0x40, "KVRN: CPU2 PCIE 3.0", 0x0B01).Bytes();
    record[1] = 0x13;
    record.insert(record.begin() + 0x11, {0x08, 0x00});
    Add(board, record);
    emu::BootResult result = BootSlotService(board);
    if (unavailable) {
      EXPECT_EQ(result.smbiosAfter.Find(0x40), nullptr);
    } else {
      EXPECT_EQ(WidthOf(result.smbiosAfter, 0x40), 0x0B);
    }
  }
}

TEST(SlotRecordsTest, EveryKvrnSlotIdTakesTheWidthAndNothingElse) {
  emu::BoardDescription board = Board(0x84);
  Add(board, Slot(0x40, "KVRN spare", 0x0B01).Bytes());
  SmbiosSlot oem = Slot(0x41, "KVRN OEM", 0x0B01);
  oem.type = 161;
  Add(board, oem.Bytes());
  emu::BootResult result = BootSlotService(board);
  EXPECT_EQ(WidthOf(result.smbiosAfter, kKvrnHandle), 0x0B);
  EXPECT_EQ(WidthOf(result.smbiosAfter, 0x40), 0x0B);
  EXPECT_EQ(WidthOf(result.smbiosAfter, 0x41), 0x0D);  // not a System Slots structure
  EXPECT_EQ(WidthOf(result.smbiosAfter, 0x0002), 0x0D);
}

TEST(SlotRecordsTest, RiserLayoutsGetTheirSlotRecords) {
  auto riser = [](uint16_t id, const char *name, uint16_t segment, uint8_t bus) {
    SmbiosSlot slot{9, 0, std::string("TQW-M3-57K2 ") + name};
    slot.width = std::string(name).ends_with("X16") ? 0x0D : 0x0B;
    slot.usage = 0x02;
    slot.id = id;
    slot.segment = segment;
    slot.bus = bus;
    return slot;
  };
  const std::vector<SmbiosSlot> typeFive = {
      riser(10, "LS-Top Slot1 PCIe Gen3 X16", 0x42, 0xA0),
      riser(11, "LS-Bot Slot1 PCIe Gen3 X16", 0x41, 0xA0),
      riser(12, "MS-Top Slot1 PCIe Gen3  X8", 0x44, 0xA0),
      riser(13, "MS-Top Slot2 PCIe Gen3  X8", 0x44, 0xC0),
      riser(14, "MS-Bot Slot1 PCIe Gen3  X8", 0x32, 0xC0),
      riser(15, "MS-Bot Slot2 PCIe Gen3  X8", 0x32, 0xA0),
      riser(16, "RS-Top Slot1 PCIe Gen3 X16", 0x34, 0xA0),
      riser(17, "RS-Bot Slot1 PCIe Gen3 X16", 0x31, 0xA0),
  };
  const std::vector<SmbiosSlot> typeSix = {
      riser(10, "LS-Top Slot1 PCIe Gen3 X16", 0x42, 0xA0),
      riser(11, "LS-Bot Slot1 PCIe Gen3 X16", 0x41, 0xA0),
      riser(12, "MS-Top Slot1 PCIe Gen3 X16", 0x44, 0xA0),
      riser(13, "MS-Bot Slot1 PCIe Gen3 X16", 0x32, 0xC0),
      riser(14, "RS-Top Slot1 PCIe Gen3 X16", 0x34, 0xA0),
      riser(15, "RS-Bot Slot1 PCIe Gen3 X16", 0x31, 0xA0),
  };
  size_t lookupsWithRiser = 0;
  for (uint8_t type : {5, 6, 0, 4, 7, 255}) {
    SCOPED_TRACE(testing::Message() << "riser type " << int{type});
    emu::BootResult result = BootSlotService(Board(0x00, type));
    const std::vector<SmbiosSlot> none;
    const std::vector<SmbiosSlot> &expected = type == 5 ? typeFive : type == 6 ? typeSix : none;
    EXPECT_EQ(WithoutHandles(AddedSlots(result)), expected);
    std::vector<std::vector<uint64_t>> sizes(expected.size(), std::vector<uint64_t>{57});
    EXPECT_EQ(test::ArgsOf(result.calls, "Smbios.InsertRecord"), sizes);
    // Other riser types do not even look the protocol up.
    size_t lookups = test::CountOf(result.calls, "BS.LocateProtocol");
    if (type == 5) lookupsWithRiser = lookups;
    if (type != 5 && type != 6) EXPECT_EQ(lookups, lookupsWithRiser - 1);
  }
}

TEST(SlotRecordsTest, WithoutTheProtocolNothingChanges) {
  emu::BoardDescription board = Board(0x8E);
  board.smbiosEditProtocol = false;
  emu::BootResult result = BootSlotService(board);
  EXPECT_EQ(result.smbiosAfter, result.board.smbios);
  // The KVRN work reads no board byte without the protocol.
  EXPECT_EQ(test::FirstArgsOf(test::CallsBy(result.calls, "BoardSlotService"),
                              "BoardInfo.QueryBoardByte"),
            (std::vector<uint64_t>{BOARD_BYTE_KVRN_CONFIG, BOARD_BYTE_RISER_TYPE}));

  // The riser work looks the protocol up on its own: the KVRN lookup (the third of the boot)
  // failing leaves the riser records to come.
  board = Board(0x8E);
  board.faults.push_back({"BS.LocateProtocol", 3, EFI_NOT_FOUND});
  result = BootSlotService(board);
  EXPECT_EQ(WidthOf(result.smbiosAfter, kKvrnHandle), kStartWidth);
  EXPECT_TRUE(result.smbiosAfter.OfType(161).empty());
  EXPECT_EQ(AddedSlots(result).size(), 8u);
}

TEST(SlotRecordsTest, ProtocolFailuresEndOnlyWhatTheyMust) {
  {
    SCOPED_TRACE("an InsertRecord fails: the next record still goes in");
    emu::BoardDescription board = Board(0x8E);
    board.faults.push_back({"Smbios.InsertRecord", 2, EFI_OUT_OF_RESOURCES});
    board.faults.push_back({"Smbios.InsertRecord", 5, EFI_OUT_OF_RESOURCES});
    emu::BootResult result = BootSlotService(board);
    std::vector<std::string> ports;
    for (const SmbiosSlot &slot : SlotsOfType(result.smbiosAfter, 161)) {
      ports.push_back(slot.designation);
    }
    EXPECT_EQ(ports,
              (std::vector<std::string>{"KVRN(B): CPU2 PCIE 3.0", "KVRN(D): CPU2 PCIE 3.0"}));
    std::vector<uint16_t> riserIds;
    for (const SmbiosSlot &slot : AddedSlots(result)) riserIds.push_back(slot.id);
    // The second riser record was the fifth insertion.
    EXPECT_EQ(riserIds, (std::vector<uint16_t>{10, 12, 13, 14, 15, 16, 17}));
  }
  {
    SCOPED_TRACE("ReplaceRecord fails: the width walk ends, the port records follow");
    emu::BoardDescription board = Board(0x8E);
    Add(board, Slot(0x40, "KVRN spare", 0x0B01).Bytes());
    board.faults.push_back({"Smbios.ReplaceRecord", 1, EFI_DEVICE_ERROR});
    emu::BootResult result = BootSlotService(board);
    EXPECT_EQ(WidthOf(result.smbiosAfter, kKvrnHandle), kStartWidth);
    EXPECT_EQ(WidthOf(result.smbiosAfter, 0x40), 0x0D);
    EXPECT_EQ(test::CountOf(result.calls, "Smbios.ReplaceRecord"), 1u);
    EXPECT_EQ(result.smbiosAfter.OfType(161).size(), 3u);
  }
  {
    SCOPED_TRACE("FindRecordByType fails: the walk ends there");
    emu::BoardDescription board = Board(0x80);
    board.faults.push_back({"Smbios.FindRecordByType", 2, EFI_DEVICE_ERROR});
    emu::BootResult result = BootSlotService(board);
    EXPECT_EQ(test::CountOf(result.calls, "Smbios.FindRecordByType"), 2u);
    EXPECT_EQ(WidthOf(result.smbiosAfter, kKvrnHandle), kStartWidth);
  }
  {
    SCOPED_TRACE("success without a copy: nothing to read or free, the walk goes on");
    emu::BoardDescription board = Board(0x80);
    board.faults.push_back({"Smbios.FindRecordByType", 1, EFI_SUCCESS});
    emu::BootResult result = BootSlotService(board);
    EXPECT_EQ(WidthOf(result.smbiosAfter, kKvrnHandle), 0x0D);
    EXPECT_TRUE(result.violations.empty());
  }
}

TEST(SlotRecordsTest, RecordsAreWrittenOnceHoweverOftenTheTriggerAppears) {
  static UINT8 trigger;
  emu::Platform platform(Board(0x8E));
  ASSERT_EQ(platform.StartImage("BoardSlotService"), EFI_SUCCESS);
  platform.InstallProtocol(gSlotRecordsTriggerProtocolGuid, &trigger);
  platform.InstallProtocol(gSlotRecordsTriggerProtocolGuid, &trigger);
  EXPECT_EQ(platform.CountCalls("Smbios.InsertRecord"), 11u);
  EXPECT_EQ(platform.CountCalls("Smbios.ReplaceRecord"), 1u);
  EXPECT_EQ(platform.Board().smbios.OfType(161).size(), 3u);
}

// Copies too short for the field a walk looks at never match. The protocol's copies sit right
// before a guard page, so a walk that read past one would stop the test here.
TEST(SlotRecordsTest, ShortCopiesAreNeverReadPast) {
  const std::vector<uint8_t> headerOnly = {9, 4, 0x40, 0x00, 0, 0};
  // Slot ID 0x0B01 in the formatted area, but far too short for a designation at offset 17.
  const std::vector<uint8_t> slotIdOnly = {9,    0x0B, 0x41, 0x00, 1,   0xB6, 0x0D,
                                           0x04, 0x04, 0x01, 0x0B, 'K', 0,    0};
  for (uint8_t unavailable : {1, 0}) {
    SCOPED_TRACE(unavailable ? "removal walk" : "width walk");
    emu::BoardDescription board = Board(0x84);
    board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, unavailable);
    board.smbios = SmbiosTable();
    Add(board, headerOnly);
    Add(board, slotIdOnly);
    Add(board, Slot(0x42, "KVRN: CPU2 PCIE 3.0", 0x0B01).Bytes());
    emu::BootResult result = BootSlotService(board);
    EXPECT_EQ(*result.smbiosAfter.Find(0x40), *result.board.smbios.Find(0x40));
    if (unavailable) {
      EXPECT_EQ(result.smbiosAfter.Find(0x42), nullptr);
      EXPECT_NE(result.smbiosAfter.Find(0x41), nullptr);
    } else {
      // 14 bytes hold the Slot ID: that one is resized too.
      EXPECT_EQ(WidthOf(result.smbiosAfter, 0x41), 0x0B);
      EXPECT_EQ(WidthOf(result.smbiosAfter, 0x42), 0x0B);
    }
  }
}

// Found by fuzzing: the width walk took string bytes at offset 9 for the Slot ID of a structure
// whose formatted area ends before it, and rewrote that structure (its strings, below offset 7).
TEST(SlotRecordsTest, WidthWalkLeavesStructuresWithoutASlotIdAlone) {
  const std::vector<uint8_t> shortArea = {9,   4,   0x40, 0x00, 'a', 'b', 'c',
                                          'd', 'e', 0x01, 0x0B, 0,   0};
  const std::vector<uint8_t> areaOfNine = {9,    9,    0x41, 0x00, 1, 0xB6, 0x0D,
                                           0x04, 0x04, 0x01, 0x0B, 0, 0};
  emu::BoardDescription board = Board(0x84);
  Add(board, shortArea);
  Add(board, areaOfNine);
  emu::BootResult result = BootSlotService(board);
  EXPECT_EQ(*result.smbiosAfter.Find(0x40), *result.board.smbios.Find(0x40));
  EXPECT_EQ(*result.smbiosAfter.Find(0x41), *result.board.smbios.Find(0x41));
  EXPECT_EQ(WidthOf(result.smbiosAfter, kKvrnHandle), 0x0B);
  EXPECT_TRUE(result.violations.empty());
}

TEST(SlotRecordsTest, WalksStopAfterInstance255) {
  for (uint8_t unavailable : {1, 0}) {
    SCOPED_TRACE(unavailable ? "removal walk" : "width walk");
    emu::BoardDescription board = Board(0x84, 0);
    board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, unavailable);
    board.smbios = SmbiosTable();
    // 300 structures of type 9, none designated as the KVRN slot, all with its Slot ID.
    for (uint16_t handle = 0x100; handle < 0x100 + 300; ++handle) {
      Add(board, Slot(handle, "spare", 0x0B01).Bytes());
    }
    emu::BootResult result = BootSlotService(board);
    std::vector<uint64_t> instances;
    for (const auto &args : test::ArgsOf(result.calls, "Smbios.FindRecordByType")) {
      instances.push_back(args.at(1));
    }
    ASSERT_EQ(instances.size(), 255u);
    EXPECT_EQ(instances.front(), 1u);
    EXPECT_EQ(instances.back(), 255u);
    EXPECT_EQ(test::CountOf(result.calls, "Smbios.ReplaceRecord"), unavailable ? 0u : 255u);
    if (!unavailable) {
      EXPECT_EQ(WidthOf(result.smbiosAfter, 0x100 + 254), 0x0B);
      EXPECT_EQ(WidthOf(result.smbiosAfter, 0x100 + 255), 0x0D);
    }
  }
}

}  // namespace
