// A DEBUG image's reports, as the platform's status-code path receives them: the protocol and
// the record checked against their definitions (PI's DXE status code chapter, EDK II's
// StatusCodeDataTypeDebug.h and DebugLib), byte for byte, and the protocol found when a line
// first needs it. This file is built as a DEBUG image's code (BOARD_DEBUG_REPORTS), with the
// record code of a driver named MenuPruner.
#include <gtest/gtest.h>

#include <cstring>

#include "DebugReport.h"
#include "DriverFiles.h"
#include "LinkedDriverFrame.h"
#include "Tests.h"

namespace {

// Bytes as written out from the definitions, not from our headers.
std::vector<uint8_t> Bytes(std::initializer_list<unsigned> list) {
  return std::vector<uint8_t>(list.begin(), list.end());
}
std::vector<uint8_t> BytesOf(const void *data, size_t size) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  return std::vector<uint8_t>(bytes, bytes + size);
}

TEST(DebugReportTest, GuidsAndValuesAreTheDefinitions) {
  // GUIDs in memory: Data1, Data2, Data3 little-endian, then Data4 as written.
  struct {
    const char *what;
    const EFI_GUID &ours;
    std::vector<uint8_t> defined;
  } guids[] = {
      {"EFI_STATUS_CODE_RUNTIME_PROTOCOL_GUID D2B2B828-0826-48A7-B3DF-983C006024F0",
       gEfiStatusCodeRuntimeProtocolGuid,
       Bytes({0x28, 0xB8, 0xB2, 0xD2, 0x26, 0x08, 0xA7, 0x48, 0xB3, 0xDF, 0x98, 0x3C, 0x00, 0x60,
              0x24, 0xF0})},
      {"EFI_STATUS_CODE_DATA_TYPE_DEBUG_GUID 9A4E9246-D553-11D5-87E2-00062945C3B9",
       gEfiStatusCodeDataTypeDebugGuid,
       Bytes({0x46, 0x92, 0x4E, 0x9A, 0x53, 0xD5, 0xD5, 0x11, 0x87, 0xE2, 0x00, 0x06, 0x29, 0x45,
              0xC3, 0xB9})},
  };
  for (const auto &guid : guids) {
    EXPECT_EQ(BytesOf(&guid.ours, sizeof(EFI_GUID)), guid.defined) << guid.what;
  }
  const struct {
    const char *what;
    uint64_t ours, defined;
  } values[] = {
      {"EFI_STATUS_CODE_TYPE_MASK", EFI_STATUS_CODE_TYPE_MASK, 0x000000FF},
      {"EFI_DEBUG_CODE", EFI_DEBUG_CODE, 0x00000003},
      {"EFI_SOFTWARE_DXE_BS_DRIVER | EFI_DC_UNSPECIFIED", DEBUG_REPORT_CODE_VALUE, 0x03050000},
      {"DEBUG_WARN", DEBUG_WARN, 0x00000002},
      {"DEBUG_INFO", DEBUG_INFO, 0x00000040},
      {"DEBUG_ERROR", DEBUG_ERROR, 0x80000000},
      {"EFI_STATUS_CODE_DATA_MAX_SIZE", EFI_STATUS_CODE_DATA_MAX_SIZE, 0x200},
      {"sizeof (EFI_STATUS_CODE_DATA)", sizeof(EFI_STATUS_CODE_DATA), 20},
      {"sizeof (EFI_DEBUG_INFO)", sizeof(EFI_DEBUG_INFO), 4},
      {"offset of ReportStatusCode", offsetof(EFI_STATUS_CODE_PROTOCOL, ReportStatusCode), 0},
  };
  for (const auto &value : values) EXPECT_EQ(value.ours, value.defined) << value.what;
}

// A status code protocol of the test's own in the platform's place: it keeps what it is handed.
struct Report {
  EFI_STATUS_CODE_TYPE type;
  EFI_STATUS_CODE_VALUE value;
  UINT32 instance;
  std::vector<uint8_t> caller;
  std::vector<uint8_t> data;  // the header and Size bytes after it
};
std::vector<Report> gReports;

EFI_STATUS EFIAPI KeepReport(EFI_STATUS_CODE_TYPE type, EFI_STATUS_CODE_VALUE value,
                             UINT32 instance, const EFI_GUID *caller, EFI_STATUS_CODE_DATA *data) {
  gReports.push_back(
      {type, value, instance,
       caller != nullptr ? BytesOf(caller, sizeof(EFI_GUID)) : std::vector<uint8_t>{},
       BytesOf(data, sizeof(EFI_STATUS_CODE_DATA) + data->Size)});
  return EFI_SUCCESS;
}
EFI_STATUS_CODE_PROTOCOL gKeeper = {KeepReport};

class DebugReportOnPlatform : public testing::Test {
 protected:
  void SetUp() override {
    emu::ClearDriverFrame();
    emu::BoardDescription board = emu::DefaultBoard();
    board.statusCodeProtocol = false;
    platform_ = std::make_unique<emu::Platform>(board);
    gBS = platform_->BootServices();
    gReports.clear();
  }
  void TearDown() override {
    platform_.reset();
    emu::ClearDriverFrame();
  }
  size_t Lookups() const {
    size_t count = 0;
    for (const emu::CallRecord &call : platform_->CallsTo("BS.LocateProtocol")) {
      count += call.what == emu::GuidToString(gEfiStatusCodeRuntimeProtocolGuid);
    }
    return count;
  }
  std::unique_ptr<emu::Platform> platform_;
};

// Laid out as EDK II's DebugLib and ReportStatusCodeEx lay it out: the data header (HeaderSize
// 20, Size counting the level, 12 slots, the format and 4 bytes past it), the level at 20, an
// int in its slot's low half, 64-bit values and pointers whole, the format at 120; sent as a
// DXE boot-service driver's debug code, instance 0, under the driver's own file GUID.
TEST_F(DebugReportOnPlatform, ARecordIsLaidOutAsEdk2sDebugLibLaysItOut) {
  platform_->InstallProtocol(gEfiStatusCodeRuntimeProtocolGuid, &gKeeper);
  static const char kText[] = "pool";
  DEBUG_REPORT((DEBUG_WARN, "%a %d %lx\n", kText, -5, 0x123456789ull));
  ASSERT_EQ(gReports.size(), 1u);
  const Report &report = gReports[0];
  EXPECT_EQ(report.type, 0x00000003u);
  EXPECT_EQ(report.value, 0x03050000u);
  EXPECT_EQ(report.instance, 0u);
  EXPECT_EQ(report.caller, BytesOf(&kDriverFiles[1].FileGuid, sizeof(EFI_GUID)));
  EXPECT_STREQ(kDriverFiles[1].Name, "MenuPruner");

  const char kFormat[] = "%a %d %lx\n";
  std::vector<uint8_t> expected = Bytes({20, 0, 4 + 4 + 96 + sizeof(kFormat), 0});
  for (uint8_t byte : Bytes({0x46, 0x92, 0x4E, 0x9A, 0x53, 0xD5, 0xD5, 0x11, 0x87, 0xE2,
                             0x00, 0x06, 0x29, 0x45, 0xC3, 0xB9, 0x02, 0x00, 0x00, 0x00})) {
    expected.push_back(byte);
  }
  const uint64_t slots[12] = {reinterpret_cast<uintptr_t>(kText), 0x00000000FFFFFFFBull,
                              0x0000000123456789ull};
  for (uint64_t slot : slots) {
    for (int i = 0; i < 8; ++i) expected.push_back(static_cast<uint8_t>(slot >> (8 * i)));
  }
  for (char c : kFormat) expected.push_back(static_cast<uint8_t>(c));
  for (int i = 0; i < 4; ++i) expected.push_back(0);
  EXPECT_EQ(report.data, expected);
}

// Nothing orders a driver after the status code router: while the platform lacks it, each line
// looks it up again and is lost; once it is there, the first lookup that finds it is the last.
TEST_F(DebugReportOnPlatform, TheProtocolIsLookedUpUntilFoundThenKept) {
  DEBUG_REPORT((DEBUG_INFO, "early %u\n", 1u));
  DEBUG_REPORT((DEBUG_ERROR, "early %u\n", 2u));
  EXPECT_EQ(Lookups(), 2u);
  platform_->InstallProtocol(gEfiStatusCodeRuntimeProtocolGuid, &gKeeper);
  DEBUG_REPORT((DEBUG_INFO, "late %u\n", 3u));
  DEBUG_REPORT((DEBUG_INFO, "late %u\n", 4u));
  EXPECT_EQ(Lookups(), 3u);
  ASSERT_EQ(gReports.size(), 2u);
  EXPECT_EQ(gReports[1].data[24], 4u);
}

}  // namespace
