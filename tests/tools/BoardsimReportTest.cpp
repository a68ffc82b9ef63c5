// boardsim's report as a firmware engineer reads it without the design documents: decoded
// board bytes and slot codes, the faults, the trace and the JSON report.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "Faults.h"
#include "Tests.h"

namespace {

using test::Boardsim;
using test::CommandRun;
using test::HasRow;

TEST(BoardsimReportTest, TheKvrnConfigurationByteIsDecoded) {
  struct Case {
    const char *options;
    std::vector<const char *> rows;
  } cases[] = {
      {"",
       {"KVRN configuration byte 0x8E (board byte 191)",
        "0x02 0x04 0x08 ports present: B, C and D; each takes the next free expansion slot",
        "0x80 set: the split-slot rule, which reads all three port bits",
        "KVRN slot width x4 (0x0A); KVRN port records for B, C and D"}},
      {"--kvrn-config 0x84", {"KVRN slot width x8 (0x0B); KVRN port records for C"}},
      {"--kvrn-config 0x80",
       {"no port present (B, C, D): no slot is taken",
        "KVRN slot width x16 (0x0D); no KVRN port record"}},
      {"--kvrn-config 0x0E",
       {"0x80 clear: the single-port rule, which reads only port B's bit",
        "KVRN slot width x4 (0x0A); KVRN port records for B"}},
      {"--kvrn-config 0x0C", {"KVRN slot keeps its width; no KVRN port record"}},
      {"--kvrn-config 0x91", {"0x11 set, and read by neither rule"}},
      {"--kvrn-unavailable 2",
       {"KVRN slot removed: the KVRN-unavailable flag (board byte 200) "
        "is 2, so no rule applies"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options);
    CommandRun run = Boardsim(c.options);
    ASSERT_EQ(run.status, 0) << run.out;
    for (const char *row : c.rows) EXPECT_TRUE(HasRow(run.out, row)) << row << "\n" << run.out;
  }
}

// Each slot code reads as socket, stack and port, with the root port it resolves to on this
// board; where the stack-bus table cannot place it, the report says why.
TEST(BoardsimReportTest, SlotCodesAreDecodedToTheirRootPorts) {
  CommandRun run = Boardsim("--slot 176=0x26B000 --stack-bus '1 0x40 0'");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(HasRow(run.out, "slot before after socket, stack, port root port change"));
  EXPECT_TRUE(HasRow(run.out, "170 0x42A000 0x42A000 CPU4 stack 2 port A D7:00.0")) << run.out;
  EXPECT_TRUE(HasRow(run.out, "128 0x12A000 0x12A000 CPU1 stack 2 port A 17:00.0"));
  // The board's CPU2 stack 2 has no bus now: the KVRN codes fall back to their low 16 bits.
  EXPECT_TRUE(HasRow(run.out,
                     "172 - 0x22B000 CPU2 stack 2 port B B0:00.0 (CPU2 stack 2 has no "
                     "bus: its low 16 bits stand) <- KVRN port B"))
      << run.out;
  EXPECT_TRUE(HasRow(run.out,
                     "176 0x26B000 0x26B000 CPU2 stack 6 port B B0:00.0 (stack field 6 "
                     "names no stack: its low 16 bits stand)"));
}

// The KVRN records' Segment Group and Bus are slot-code bits, not a PCI segment.
TEST(BoardsimReportTest, SmbiosSlotFieldsAreLabelledAsSlotCodeBits) {
  CommandRun run = Boardsim("");
  EXPECT_TRUE(HasRow(run.out,
                     "handle type designation slot type slot ID width usage slot code "
                     "socket, stack, port root port change"))
      << run.out;
  EXPECT_TRUE(HasRow(run.out,
                     "0x0007 161 \"KVRN(C): CPU2 PCIE 3.0\" 0xB6 PCIe 3 x16 0x0B21 x4 "
                     "Unknown 0x22C000 CPU2 stack 2 port C 57:02.0 <- added"));
  EXPECT_TRUE(HasRow(run.out,
                     "The slot code is Segment Group, Bus and Device/Function read as one "
                     "number: bits"));
  EXPECT_EQ(run.out.find("segment:bus"), std::string::npos);
}

TEST(BoardsimReportTest, EveryTableHasHeadings) {
  CommandRun run = Boardsim("--fault SetupEdit.HideItem=1=EFI_DEVICE_ERROR");
  for (const char *row : {"bits meaning", "driver entry point returned image", "fault outcome",
                          "string id state text (before -> after)", "list MAC address",
                          "root port slot before after bits"}) {
    EXPECT_TRUE(HasRow(run.out, row)) << row << "\n" << run.out;
  }
  EXPECT_TRUE(HasRow(run.out, "D7:00.0 slot 170 0x0001A05C 0x0001805C bit 13 cleared"));
}

}  // namespace
