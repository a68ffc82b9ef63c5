// The emulated SMBIOS edit protocol must treat its table as a real platform's SMBIOS driver
// does, or the slot-record tests prove nothing: it checks what it is given, keeps its own
// copies, numbers instances from 1 and hands out copies that are the caller's to free.
#include <gtest/gtest.h>

#include <cstring>

#include "SmbiosEditProtocol.h"
#include "Tests.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SmbiosEditTest : public testing::Test {
 protected:
  void SetUp() override {
    platform_ = std::make_unique<emu::Platform>(emu::DefaultBoard());
    smbios_ = static_cast<SMBIOS_EDIT_PROTOCOL *>(platform_->FindProtocol(gSmbiosEditProtocolGuid));
    ASSERT_NE(smbios_, nullptr);
  }
  emu::SmbiosTable &Table() { return platform_->Board().smbios; }
  EFI_STATUS Insert(const Bytes &bytes, size_t size = 0) {
    return smbios_->InsertRecord(bytes.data(), static_cast<UINT16>(size ? size : bytes.size()));
  }
  // The instance-th structure of a type as FindRecordByType hands it out; the copy is freed.
  std::optional<Bytes> Find(uint8_t type, uint8_t instance) {
    VOID *copy = nullptr;
    UINT16 size = 0;
    if (EFI_ERROR(smbios_->FindRecordByType(type, instance, &copy, &size))) {
      EXPECT_EQ(copy, nullptr);
      return std::nullopt;
    }
    Bytes bytes(static_cast<uint8_t *>(copy), static_cast<uint8_t *>(copy) + size);
    EXPECT_EQ(platform_->BootServices()->FreePool(copy), EFI_SUCCESS);
    return bytes;
  }
  std::unique_ptr<emu::Platform> platform_;
  SMBIOS_EDIT_PROTOCOL *smbios_ = nullptr;
};

// An OEM structure: type 200, one word of data, strings as given.
Bytes Oem(uint16_t handle, std::initializer_list<const char *> strings) {
  Bytes bytes = {200,  6,   static_cast<uint8_t>(handle), static_cast<uint8_t>(handle >> 8),
                 0x12, 0x34};
  for (const char *text : strings) bytes.insert(bytes.end(), text, text + std::strlen(text) + 1);
  if (strings.size() == 0) bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

TEST_F(SmbiosEditTest, InsertRefusesWhatIsNotOneCompleteStructure) {
  Bytes good = Oem(0xFFFF, {"one", "two"});
  Bytes noClosingNul(good.begin(), good.end() - 1);
  Bytes shortLength = good;
  shortLength[1] = 3;
  Bytes longLength = good;
  longLength[1] = static_cast<uint8_t>(good.size() - 1);
  Bytes emptyFirstString = {200, 4, 0xFF, 0xFF, 0, 'x', 0, 0};
  Bytes endOfTable = {127, 4, 0xFF, 0xFF, 0, 0};
  struct Case {
    const char *what;
    Bytes bytes;
    size_t size;
    EFI_STATUS status;
  } cases[] = {
      {"string set not closed within the size", noClosingNul, 0, EFI_INVALID_PARAMETER},
      {"size cuts the string set", good, good.size() - 1, EFI_INVALID_PARAMETER},
      {"Length below the header", shortLength, 0, EFI_INVALID_PARAMETER},
      {"Length past the size", longLength, 0, EFI_INVALID_PARAMETER},
      {"empty first string", emptyFirstString, 0, EFI_INVALID_PARAMETER},
      {"end-of-table structure", endOfTable, 0, EFI_INVALID_PARAMETER},
      {"reserved handle", Oem(0xFF00, {}), 0, EFI_INVALID_PARAMETER},
      {"handle in use", Oem(0x0005, {}), 0, EFI_ALREADY_STARTED},
  };
  emu::SmbiosTable before = Table();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Insert(c.bytes, c.size), c.status);
    EXPECT_EQ(Table(), before);
  }
  EXPECT_EQ(smbios_->InsertRecord(nullptr, 10), EFI_INVALID_PARAMETER);
}

TEST_F(SmbiosEditTest, InsertKeepsItsOwnCopyAndChoosesAFreshHandle) {
  Bytes record = Oem(0xFFFF, {"first"});
  Bytes stated = record;
  stated.resize(record.size() + 8, 0xEE);  // bytes past the closing NUL are not part of it
  ASSERT_EQ(Insert(stated), EFI_SUCCESS);
  std::memset(stated.data(), 0, stated.size());  // the caller reuses its buffer at once

  std::optional<Bytes> found = Find(200, 1);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->size(), record.size());
  EXPECT_EQ((*found)[2] | (*found)[3] << 8, 0x0006);  // past the default table's handles
  EXPECT_EQ(Bytes(found->begin() + 4, found->end()), Bytes(record.begin() + 4, record.end()));

  // A removed structure's handle is not handed out again.
  ASSERT_EQ(smbios_->RemoveRecord(0x0006), EFI_SUCCESS);
  ASSERT_EQ(Insert(Oem(0xFFFF, {})), EFI_SUCCESS);
  EXPECT_NE(Table().Find(0x0007), nullptr);
  EXPECT_EQ(Table().Find(0x0006), nullptr);
  // New structures go before the end-of-table structure.
  EXPECT_EQ(Table().Structures().back().Type(), 127);
}

TEST_F(SmbiosEditTest, FindNumbersInstancesOfATypeFromOne) {
  std::vector<std::string> designations;
  for (uint8_t instance = 1; std::optional<Bytes> slot = Find(9, instance); ++instance) {
    emu::SmbiosStructure structure{*slot};
    designations.push_back(structure.String(1));
  }
  EXPECT_EQ(designations,
            (std::vector<std::string>{"CPU1 SLOT1 PCIE 3.0 X16", "CPU1 SLOT2 PCIE 3.0 X8",
                                      "CPU2 SLOT3 PCIE 3.0 X16", "KVRN: CPU2 PCIE 3.0"}));
  EXPECT_FALSE(Find(9, 0));
  EXPECT_FALSE(Find(42, 1));
  VOID *copy = nullptr;
  EXPECT_EQ(smbios_->FindRecordByType(9, 1, &copy, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(copy, nullptr);
}

TEST_F(SmbiosEditTest, ReplaceAndRemoveWorkByHandle) {
  Bytes replacement = emu::SmbiosSlot{9, 0x0777, "KVRN: CPU2 PCIE 3.0"}.Bytes();
  ASSERT_EQ(
      smbios_->ReplaceRecord(0x0005, replacement.data(), static_cast<UINT16>(replacement.size())),
      EFI_SUCCESS);
  // The structure keeps its handle and its place.
  ASSERT_TRUE(Find(9, 4));
  EXPECT_EQ(emu::SmbiosStructure{*Find(9, 4)}.Handle(), 0x0005);
  EXPECT_EQ(Table().Find(0x0005)->Word(9), 0);
  EXPECT_EQ(
      smbios_->ReplaceRecord(0x0999, replacement.data(), static_cast<UINT16>(replacement.size())),
      EFI_NOT_FOUND);
  EXPECT_EQ(smbios_->ReplaceRecord(0x0005, replacement.data(), 10), EFI_INVALID_PARAMETER);

  EXPECT_EQ(smbios_->RemoveRecord(0x0999), EFI_NOT_FOUND);
  EXPECT_EQ(smbios_->RemoveRecord(emu::kSmbiosEndOfTableHandle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(smbios_->RemoveRecord(0x0005), EFI_SUCCESS);
  EXPECT_FALSE(Find(9, 4));
}

TEST_F(SmbiosEditTest, ACopyTheDriverNeverFreesIsItsLeak) {
  ASSERT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
  void *code = platform_->ImageSymbol("BoardSlotService", "BoardSlotServiceEntryPoint");
  ASSERT_NE(code, nullptr);
  VOID *copy = nullptr;
  UINT16 size = 0;
  platform_->AsImageOf(code, [&] { return smbios_->FindRecordByType(9, 1, &copy, &size); });
  ASSERT_NE(copy, nullptr);
  test::ExpectViolation expect("BoardSlotService leaked " + std::to_string(size) + " bytes");
  platform_->Finish();
}

TEST_F(SmbiosEditTest, ReadingPastACopyStopsTheBoot) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  VOID *copy = nullptr;
  UINT16 size = 0;
  ASSERT_EQ(smbios_->FindRecordByType(9, 1, &copy, &size), EFI_SUCCESS);
  const volatile uint8_t *bytes = static_cast<const uint8_t *>(copy);
  EXPECT_EQ(bytes[size - 1], 0);
  EXPECT_DEATH(static_cast<void>(bytes[(size + 7) / 8 * 8]), "");
  platform_->BootServices()->FreePool(copy);
}

TEST(SmbiosTableTest, DumpHasTheEntryPointAtZeroAndTheTableAt0x20) {
  emu::SmbiosTable table = emu::DefaultSmbiosTable();
  Bytes tableBytes = table.TableBytes();
  Bytes dump = table.DumpImage();
  ASSERT_EQ(dump.size(), 0x20 + tableBytes.size());
  EXPECT_EQ(std::memcmp(dump.data(), "_SM3_", 5), 0);
  EXPECT_EQ(dump[6], 0x18);
  EXPECT_EQ(dump[7], 3);
  uint8_t sum = 0;
  for (size_t i = 0; i < 0x18; ++i) sum = static_cast<uint8_t>(sum + dump[i]);
  EXPECT_EQ(sum, 0);
  uint32_t maximum;
  uint64_t address;
  std::memcpy(&maximum, &dump[0x0C], 4);
  std::memcpy(&address, &dump[0x10], 8);
  EXPECT_EQ(maximum, tableBytes.size());
  EXPECT_EQ(address, 0x20u);
  EXPECT_EQ(Bytes(dump.begin() + 0x20, dump.end()), tableBytes);
  EXPECT_EQ(Bytes(tableBytes.end() - 6, tableBytes.end()), (Bytes{127, 4, 0xFF, 0xFE, 0, 0}));
}

}  // namespace

namespace {

// A platform may hand a removed structure's handle to the next one it adds (OVMF does); the
// report must not mistake the newcomer for the old structure changed.
TEST(SmbiosReportTest, AHandleReusedByANewStructureIsARemovalAndAnAddition) {
  emu::BootResult result;
  std::string error;
  emu::SmbiosSlot kvrn{9, 0x0005, "KVRN: CPU2 PCIE 3.0"};
  kvrn.id = 0x0B01;
  ASSERT_TRUE(result.board.smbios.Put(kvrn.Bytes(), error)) << error;
  emu::SmbiosSlot riser{9, 0x0005, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16"};
  riser.id = 0x000B;
  ASSERT_TRUE(result.smbiosAfter.Put(riser.Bytes(), error)) << error;
  std::string report = emu::FormatSmbiosSlots(result);
  EXPECT_TRUE(test::HasRow(report, "0x0005 9 \"TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16\" 0xB6 "
                                   "PCIe 3 x16 0x000B x16 Available 0x000000 no socket 00:00.0 "
                                   "<- added"))
      << report;
  EXPECT_TRUE(test::HasRow(report, "0x0005 9 \"KVRN: CPU2 PCIE 3.0\" 0xB6 PCIe 3 x16 0x0B01 x16 "
                                   "Available 0x000000 no socket 00:00.0 <- removed"))
      << report;
}

}  // namespace
