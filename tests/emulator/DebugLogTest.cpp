// The emulated status-code handler: the lines a DEBUG image reports, unpacked and printed as
// EDK II's handler does (the firmware tests hold the same lines to EDK II's own output), every
// record that does not unpack shown as such without a read outside it, and DEBUG images that
// call the platform as RELEASE ones do apart from their reports.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "Tests.h"

namespace {

emu::BootResult BootReportingDriver(emu::BoardDescription board = emu::DefaultBoard()) {
  emu::BootPlan plan;
  plan.drivers = {"BoardSlotService"};
  plan.images = emu::ImageBuild::kDebug;
  plan.imageDir = REPORTING_DRIVER_DIR;
  return emu::RunBoot(board, plan);
}

struct Line {
  std::string driver, level, text;
  bool operator==(const Line &) const = default;
};
std::ostream &operator<<(std::ostream &out, const Line &line) {
  return out << line.driver << " " << line.level << " " << line.text;
}

// Each directive and its corners, from the entry point and a notify function, at each level:
// the text as EDK II's print rules make it ("\n" written "\r\n", hexadecimal in upper case, an
// int's sign, zero padding from %X and a '0' flag, '*' widths, a status's name or its low half).
TEST(DebugLogTest, TheReportingDriversLinesDecodeAsEdk2PrintsThem) {
  emu::BootResult boot = BootReportingDriver();
  EXPECT_TRUE(boot.violations.empty());
  const std::string name = "BoardSlotService: ";
  const std::vector<Line> expected = {
      {"BoardSlotService", "INFO", name + "KVRN port B placed in slot 172, code 0x22B000\r\n"},
      {"BoardSlotService", "INFO",
       name + "root port D7:00.0 register 0x15C 0001A05C -> 0001805C\r\n"},
      {"BoardSlotService", "INFO",
       name + "NIC 18:00.1 window 0x000000009D000000, 2097152 bytes, MAC 02:A1:B2\r\n"},
      {"BoardSlotService", "INFO", name + "Setup item 551 now \"Onboard NIC (CPU1 PCIE 3.0)\"\r\n"},
      {"BoardSlotService", "WARN",
       name + "Setup variable of 4000 bytes, 180 more than the buffer: Buffer Too Small\r\n"},
      {"BoardSlotService", "ERROR",
       name + "lookup of FD480A76-B134-4EF7-ADFE-B0E054639807 failed: Not Found, interface 0\r\n"},
      {"BoardSlotService", "WARN", name + "-12 FFFFFFFF +7  7 -5000000000 FEDCBA9876543210\r\n"},
      {"BoardSlotService", "WARN", name + "|left  | right|pre|<null string>| 00000064 100%\r\n"},
      {"BoardSlotService", "INFO", name + "ReadyToBoot at TPL 8\r\n"},
  };
  std::vector<Line> got;
  for (const emu::DebugLine &line : boot.debugLines) {
    got.push_back({line.driver, emu::DebugLevelName(line.level), line.text});
    EXPECT_TRUE(line.unpacked && line.problem.empty()) << line.problem;
    EXPECT_EQ(line.callerId, "7C4B2E91-3A5D-4F08-B6E2-1D9A0C53F7A4");  // BoardSlotService's file
    // Each line came with its own report, from where the driver was.
    ASSERT_GE(line.call, 0);
    const emu::CallRecord &call = boot.calls[static_cast<size_t>(line.call)];
    EXPECT_EQ(call.member, "StatusCode.ReportStatusCode");
    EXPECT_EQ(call.args, (std::vector<uint64_t>{EFI_DEBUG_CODE, 0x03050000, 0, line.level}));
  }
  EXPECT_EQ(got, expected);
  ASSERT_EQ(boot.debugLines.size(), expected.size());
  EXPECT_EQ(boot.calls[static_cast<size_t>(boot.debugLines.back().call)].during,
            "ReadyToBootNotify");
}

// A report the platform fails is lost, and nothing else is: the driver goes on as before.
TEST(DebugLogTest, AFailedReportLosesItsLineAlone) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults.push_back({"StatusCode.ReportStatusCode", 2, EFI_DEVICE_ERROR});
  emu::BootResult failed = BootReportingDriver(board);
  emu::BootResult whole = BootReportingDriver();
  ASSERT_EQ(failed.debugLines.size() + 1, whole.debugLines.size());
  EXPECT_EQ(failed.debugLines[1].text, whole.debugLines[2].text);
  EXPECT_EQ(failed.calls.size(), whole.calls.size());
  EXPECT_TRUE(failed.violations.empty());
}

// ---- Records that do not unpack ----

// A page that can be read, followed by one that cannot: data placed at its end runs into the
// unreadable page right after the bytes it is given.
class GuardedPage {
 public:
  GuardedPage() : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    base_ = static_cast<uint8_t *>(
        mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + size_, size_, PROT_NONE);
  }
  ~GuardedPage() { munmap(base_, 2 * size_); }
  // `bytes` placed so that they end where the page does.
  uint8_t *AtEnd(const std::vector<uint8_t> &bytes) {
    uint8_t *at = base_ + size_ - bytes.size();
    std::memcpy(at, bytes.data(), bytes.size());
    return at;
  }
  const uint8_t *Unreadable() const { return base_ + size_; }

 private:
  size_t size_;
  uint8_t *base_;
};

// A record as a DEBUG image lays it out, with `size` as its data's Size (default: the format's).
std::vector<uint8_t> Record(const std::string &format, std::vector<uint64_t> slots = {},
                            int size = -1, uint16_t headerSize = 20,
                            const EFI_GUID &type = gEfiStatusCodeDataTypeDebugGuid) {
  DEBUG_INFO_RECORD record{};
  record.Header.HeaderSize = headerSize;
  record.Header.Size =
      size >= 0 ? static_cast<uint16_t>(size) : DebugInfoDataSize(format.size() + 1);
  record.Header.Type = type;
  record.Info.ErrorLevel = DEBUG_INFO;
  for (size_t i = 0; i < slots.size(); ++i) record.Arguments[i] = slots[i];
  std::memcpy(record.Format, format.c_str(), format.size() + 1);
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&record);
  return std::vector<uint8_t>(bytes, bytes + sizeof(EFI_STATUS_CODE_DATA) + record.Header.Size);
}

emu::DebugLine Decode(const void *data) {
  return emu::DecodeDebugRecord(static_cast<const EFI_STATUS_CODE_DATA *>(data),
                                emu::ReadOwnMemory);
}

// Each record sits at the end of a readable page, so a read past what it holds would stop the
// test; the handler names why it cannot print the line instead.
TEST(DebugLogTest, RecordsThatDoNotUnpackAreShownAsSuch) {
  GuardedPage page, strings;
  const uint64_t unreadable = reinterpret_cast<uintptr_t>(page.Unreadable());
  const uint64_t endless = reinterpret_cast<uintptr_t>(strings.AtEnd({'n', 'o', ' ', 'e', 'n'}));
  const EFI_GUID other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  // Its Size reaches the format's last character, not its NUL.
  const std::vector<uint8_t> noNul = Record("no end\n", {}, DebugInfoDataSize(0) - 4 + 7);
  const struct {
    const char *what;
    std::vector<uint8_t> record;
    const char *problem;
  } cases[] = {
      {"data of another kind", Record("x\n", {}, -1, 20, other),
       "(12345678-0001-0002-0304-05060708090A) is not a debug information record"},
      {"data too short for a level", Record("x\n", {}, 2), "hold no error level"},
      {"a format with no end within Size", noNul, "does not end within"},
      {"more arguments than slots", Record("%d%d%d%d%d%d%d%d%d%d%d%d%d\n"),
       "reads more arguments than the record holds (at a number)"},
      {"'*' past the slots", Record("%d%d%d%d%d%d%d%d%d%d%d%d%*d\n"),
       "reads more arguments than the record holds (at '*')"},
      {"%a naming nothing readable", Record("%a\n", {unreadable}), "cannot be read"},
      {"%a with no end before unreadable memory", Record("%a\n", {endless}),
       "runs into memory that cannot be read"},
      {"%s naming nothing readable", Record("%s\n", {unreadable}), "cannot be read"},
      {"%g naming nothing readable", Record("%g\n", {unreadable}), "%g argument names memory"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    emu::DebugLine line = Decode(page.AtEnd(c.record));
    EXPECT_FALSE(line.unpacked);
    EXPECT_EQ(line.text, "");
    EXPECT_NE(line.problem.find(c.problem), std::string::npos) << line.problem;
  }
  EXPECT_NE(Decode(nullptr).problem.find("no data"), std::string::npos);
  EXPECT_NE(Decode(page.Unreadable()).problem.find("header cannot be read"), std::string::npos);
  // A Size beyond the memory the record lies in.
  std::vector<uint8_t> header = Record("x\n");
  header.resize(sizeof(EFI_STATUS_CODE_DATA));
  EXPECT_NE(Decode(page.AtEnd(header)).problem.find("cannot be read to the"), std::string::npos);
}

// What EDK II prints all the same: a header of another size (it reads at 20 bytes regardless),
// and a line longer than the handler's buffer, cut to 255 characters.
TEST(DebugLogTest, WhatEdk2PrintsAnywayIsPrintedAsItDoes) {
  GuardedPage page;
  emu::DebugLine odd = Decode(page.AtEnd(Record("odd %u\n", {7}, -1, 24)));
  EXPECT_TRUE(odd.unpacked);
  EXPECT_EQ(odd.text, "odd 7\r\n");
  EXPECT_NE(odd.problem.find("HeaderSize is 24"), std::string::npos);
  emu::DebugLine wide = Decode(page.AtEnd(Record("%254d|\n", {42})));
  EXPECT_TRUE(wide.unpacked);
  EXPECT_EQ(wide.text, std::string(252, ' ') + "42|");
}

// ---- DEBUG images and the platform ----

std::vector<std::string> CallsApartFromReports(const emu::BootResult &boot) {
  const std::string statusCode = emu::GuidToString(gEfiStatusCodeRuntimeProtocolGuid);
  std::vector<std::string> calls;
  for (const emu::CallRecord &call : boot.calls) {
    if (call.member == "StatusCode.ReportStatusCode" ||
        (call.member == "BS.LocateProtocol" && call.what == statusCode)) {
      continue;
    }
    std::string text = call.member + " " + call.image + " " + call.during + " " + call.what;
    for (uint64_t arg : call.args) text += " " + std::to_string(arg);
    calls.push_back(text + " -> " + std::to_string(call.result));
  }
  return calls;
}

// A DEBUG image must do what the RELEASE one does, call for call, but for looking up the status
// code protocol and reporting to it: on the default board, and on one where the failures the
// RELEASE images absorb without a word happen (a Setup variable larger than the buffer, a
// registration that fails).
TEST(DebugLogTest, DebugImagesCallThePlatformAsReleaseOnesDoApartFromTheirReports) {
  emu::BoardDescription failing = emu::DefaultBoard();
  failing.SetSetupByte(4000, 1);
  failing.faults.push_back({"BS.RegisterProtocolNotify", 1, EFI_OUT_OF_RESOURCES});
  for (const emu::BoardDescription &board : {emu::DefaultBoard(), failing}) {
    emu::BootPlan debug;
    debug.images = emu::ImageBuild::kDebug;
    emu::BootResult release = emu::RunBoot(board), debugged = emu::RunBoot(board, debug);
    EXPECT_EQ(CallsApartFromReports(debugged), CallsApartFromReports(release));
    EXPECT_EQ(debugged.slotsAfter, release.slotsAfter);
    EXPECT_EQ(debugged.violations, release.violations);
    for (const emu::DebugLine &line : debugged.debugLines) {
      EXPECT_TRUE(line.unpacked && line.problem.empty()) << line.problem;
    }
  }
}

}  // namespace
