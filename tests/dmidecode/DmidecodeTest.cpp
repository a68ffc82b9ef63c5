// The SMBIOS table the drivers leave, read by the operating system's own decoder: Debian's
// dmidecode, from a dump in the layout of `dmidecode --dump-bin`. Everything checked here is
// what dmidecode prints, so a structure it would misread fails the test.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "Dmidecode.h"
#include "Tests.h"

namespace {

using Bytes = std::vector<uint8_t>;

using test::Block;
using test::Blocks;
using test::FindDmidecode;
using test::OfType;
using test::RunCommand;

class DmidecodeTest : public testing::Test {
 protected:
  void SetUp() override {
    dmidecode_ = FindDmidecode();
    ASSERT_FALSE(dmidecode_.empty())
        << "dmidecode not found in PATH, /usr/sbin or /sbin; scripts/setup.sh installs it";
  }

  // Decodes a dump file twice: dmidecode's reading, and its raw (-u) form.
  void Decode(const std::string &dump) {
    int status = 0;
    text_ = RunCommand(dmidecode_ + " --from-dump " + dump, status);
    ASSERT_EQ(status, 0) << text_;
    raw_ = RunCommand(dmidecode_ + " -u --from-dump " + dump, status);
    ASSERT_EQ(status, 0) << raw_;
    decoded_ = Blocks(text_);
    undecoded_ = Blocks(raw_);
    ASSERT_EQ(decoded_.size(), undecoded_.size());
    for (const std::string *out : {&text_, &raw_}) {
      EXPECT_EQ(out->find("<OUT OF SPEC>"), std::string::npos) << *out;
      EXPECT_EQ(out->find("<BAD INDEX>"), std::string::npos) << *out;
    }
    EXPECT_NE(text_.find("SMBIOS 3.0.0 present."), std::string::npos) << text_;
    ASSERT_FALSE(decoded_.empty());
    EXPECT_EQ(decoded_.back().type, 127);
  }

  void Decode(const emu::SmbiosTable &table) {
    test::TempFolder dir;
    std::string path = dir / "smbios.bin";
    Bytes dump = table.DumpImage();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(dump.data()),
               static_cast<std::streamsize>(dump.size()));
    Decode(path);
  }

  const Block &Raw(const Block &decoded) const {
    for (const Block &block : undecoded_) {
      if (block.handle == decoded.handle) return block;
    }
    static const Block kNone;
    ADD_FAILURE() << "no raw form of handle " << decoded.handle;
    return kNone;
  }

  // The System Slots structures whose designation starts with `prefix`.
  std::vector<Block> Slots(const std::string &prefix) const {
    std::vector<Block> out;
    for (const Block &block : OfType(decoded_, 9)) {
      if (block.Field("Designation").rfind(prefix, 0) == 0) out.push_back(block);
    }
    return out;
  }

  // A KVRN port record as it must reach the table, byte for byte.
  static Bytes KvrnPortRecord(uint16_t handle, char letter, uint8_t width, uint16_t id) {
    Bytes bytes = {0xA1,
                   0x11,
                   static_cast<uint8_t>(handle),
                   static_cast<uint8_t>(handle >> 8),
                   0x01,
                   0xB6,
                   width,
                   0x02,
                   0x04,
                   static_cast<uint8_t>(id),
                   static_cast<uint8_t>(id >> 8),
                   0x04,
                   0x01,
                   0x22,
                   0x00,
                   static_cast<uint8_t>(0xB0 + (letter - 'B') * 0x10),
                   0x00};
    std::string designation = std::string("KVRN(") + letter + "): CPU2 PCIE 3.0";
    bytes.insert(bytes.end(), designation.begin(), designation.end());
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
  }

  void ExpectKvrnPorts(const std::vector<std::tuple<char, uint8_t, uint16_t>> &ports) {
    std::vector<Block> records = OfType(undecoded_, 161);
    ASSERT_EQ(records.size(), ports.size()) << raw_;
    for (size_t i = 0; i < ports.size(); ++i) {
      auto [letter, width, id] = ports[i];
      EXPECT_EQ(records[i].Raw(), KvrnPortRecord(records[i].handle, letter, width, id));
    }
  }

  std::string dmidecode_;
  std::string text_, raw_;
  std::vector<Block> decoded_, undecoded_;
};

TEST_F(DmidecodeTest, BoardsimDumpOfTheDefaultBoardDecodes) {
  test::TempFolder dir;
  std::string dump = dir / "boardsim-default.bin";
  int status = 0;
  std::string report = RunCommand(std::string(BOARDSIM_PATH) + " --smbios-dump " + dump, status);
  ASSERT_EQ(status, 0) << report;
  Decode(dump);

  struct Riser {
    const char *name;
    const char *type;
    const char *bus;
  } risers[] = {
      {"LS-Top Slot1 PCIe Gen3 X16", "x16 PCI Express 3 x16", "0042:a0:00.0"},
      {"LS-Bot Slot1 PCIe Gen3 X16", "x16 PCI Express 3 x16", "0041:a0:00.0"},
      {"MS-Top Slot1 PCIe Gen3  X8", "x8 PCI Express 3 x16", "0044:a0:00.0"},
      {"MS-Top Slot2 PCIe Gen3  X8", "x8 PCI Express 3 x16", "0044:c0:00.0"},
      {"MS-Bot Slot1 PCIe Gen3  X8", "x8 PCI Express 3 x16", "0032:c0:00.0"},
      {"MS-Bot Slot2 PCIe Gen3  X8", "x8 PCI Express 3 x16", "0032:a0:00.0"},
      {"RS-Top Slot1 PCIe Gen3 X16", "x16 PCI Express 3 x16", "0034:a0:00.0"},
      {"RS-Bot Slot1 PCIe Gen3 X16", "x16 PCI Express 3 x16", "0031:a0:00.0"},
  };
  std::vector<Block> slots = Slots("TQW-M3-57K2 ");
  ASSERT_EQ(slots.size(), 8u) << text_;
  for (size_t i = 0; i < slots.size(); ++i) {
    SCOPED_TRACE(risers[i].name);
    EXPECT_EQ(slots[i].Field("Designation"), std::string("TQW-M3-57K2 ") + risers[i].name);
    EXPECT_EQ(slots[i].Field("Type"), risers[i].type);
    EXPECT_EQ(slots[i].Field("Current Usage"), "Unknown");
    EXPECT_EQ(slots[i].Field("Length"), "Long");
    EXPECT_EQ(slots[i].Field("Bus Address"), risers[i].bus);
    EXPECT_EQ(Raw(slots[i]).SlotId(), 10 + i);
  }

  std::vector<Block> kvrn = Slots("KVRN: CPU2 PCIE 3.0");
  ASSERT_EQ(kvrn.size(), 1u);
  EXPECT_EQ(kvrn[0].Field("Type"), "x4 PCI Express 3 x16");
  EXPECT_EQ(kvrn[0].Field("Bus Address"), "0022:b0:00.0");
  EXPECT_EQ(Raw(kvrn[0]).SlotId(), 0x0B01);
  ExpectKvrnPorts({{'B', 0x0A, 0x0B11}, {'C', 0x0A, 0x0B21}, {'D', 0x0A, 0x0B31}});
}

TEST_F(DmidecodeTest, PortCAloneAndTheSixSlotRiser) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x84);
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, 6);
  emu::BootResult result = emu::RunBoot(board);
  Decode(result.smbiosAfter);

  std::vector<Block> slots = Slots("TQW-M3-57K2 ");
  ASSERT_EQ(slots.size(), 6u) << text_;
  EXPECT_EQ(slots[2].Field("Designation"), "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X16");
  EXPECT_EQ(slots[2].Field("Bus Address"), "0044:a0:00.0");
  EXPECT_EQ(slots[3].Field("Designation"), "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X16");
  EXPECT_EQ(slots[3].Field("Bus Address"), "0032:c0:00.0");
  EXPECT_EQ(Raw(slots[5]).SlotId(), 15);
  for (const Block &slot : slots) EXPECT_EQ(slot.Field("Type"), "x16 PCI Express 3 x16");

  std::vector<Block> kvrn = Slots("KVRN: CPU2 PCIE 3.0");
  ASSERT_EQ(kvrn.size(), 1u);
  EXPECT_EQ(kvrn[0].Field("Type"), "x8 PCI Express 3 x16");
  ExpectKvrnPorts({{'C', 0x0B, 0x0B11}});
}

// Whether the platform writes the KVRN slot's structure in the 17-byte layout or in SMBIOS
// 3.2's (Length 0x13: base data bus width x4, no peer group), dmidecode lists it before the
// boot and not after.
TEST_F(DmidecodeTest, UnavailableKvrnSlotRecordIsGone) {
  constexpr uint16_t kKvrnHandle = 0x0005;  // the default table's KVRN slot record
  for (bool newerLayout : {false, true}) {
    SCOPED_TRACE(newerLayout ? "SMBIOS 3.2 layout" : "17-byte layout");
    emu::BoardDescription board = emu::DefaultBoard();
    board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, 1);
    if (newerLayout) {
      Bytes record = board.smbios.Find(kKvrnHandle)->bytes;
      record[1] = 0x13;
      record.insert(record.begin() + 0x11, {0x08, 0x00});
      std::string error;
      ASSERT_TRUE(board.smbios.Put(record, error)) << error;
      Decode(board.smbios);
      ASSERT_EQ(Slots("KVRN: CPU2 PCIE 3.0").size(), 1u) << text_;
      EXPECT_EQ(Raw(Slots("KVRN: CPU2 PCIE 3.0")[0]).Raw().at(1), 0x13);
    }
    emu::BootResult result = emu::RunBoot(board);
    Decode(result.smbiosAfter);
    EXPECT_TRUE(Slots("KVRN").empty()) << text_;
    EXPECT_TRUE(OfType(decoded_, 161).empty());
    EXPECT_EQ(Slots("TQW-M3-57K2 ").size(), 8u);
    EXPECT_EQ(Slots("CPU").size(), 3u);  // the board's own slots stay
  }
}

}  // namespace
