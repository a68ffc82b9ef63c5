// boardsim as a user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "Tests.h"

namespace {

using RunResult = test::CommandRun;
using test::Boardsim;
using test::HasRow;

TEST(BoardsimTest, DefaultBoardPlacesTheKvrnPortsOnTheFirstFreeSlots) {
  RunResult run = Boardsim("");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(HasRow(run.out, "172 - 0x22B000 CPU2 stack 2 port B 57:01.0 <- KVRN port B"))
      << run.out;
  EXPECT_TRUE(HasRow(run.out, "174 - 0x22C000 CPU2 stack 2 port C 57:02.0 <- KVRN port C"));
  EXPECT_TRUE(HasRow(run.out, "175 - 0x22D000 CPU2 stack 2 port D 57:03.0 <- KVRN port D"));
  EXPECT_TRUE(HasRow(run.out, "BoardSlotService EFI_SUCCESS resident"));
  EXPECT_TRUE(HasRow(run.out, "Platform checks: passed"));
}

// MenuPruner reads the placement back from the slot table: the OPROM items of 172, 174 and 175
// (prompt ids 1600, 1604, 1606) carry the port letters.
TEST(BoardsimTest, DefaultBoardLabelsTheKvrnSlotsInTheSetupMenus) {
  RunResult run = Boardsim("");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(HasRow(run.out, "MenuPruner EFI_SUCCESS resident"));
  for (const char *row : {
           "1600 \"Slot 172 OPROM\" -> \"KVRN(B): CPU2 PCI-E 3.0 OPROM\"",
           "1604 \"Slot 174 OPROM\" -> \"KVRN(C): CPU2 PCI-E 3.0 OPROM\"",
           "1606 \"Slot 175 OPROM\" -> \"KVRN(D): CPU2 PCI-E 3.0 OPROM\"",
           "2433 hidden \"CPU2 Port 2B Link Speed\"",
       }) {
    EXPECT_TRUE(HasRow(run.out, row)) << row << run.out;
  }
}

TEST(BoardsimTest, FailedSetupEditsAreListed) {
  RunResult run = Boardsim("--fault SetupEdit.HideItem=1=0x8000000000000007");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("HideItem(\"Setup\", 143): EFI_DEVICE_ERROR"), std::string::npos)
      << run.out;
  EXPECT_FALSE(HasRow(run.out, "143 hidden \"Onboard LAN Option ROM Type\""));
}

TEST(BoardsimTest, BadOptionsGetOneLineNamingThemAndStatusTwo) {
  for (const char *args : {"--riser-type 300", "--slot 170", "--frobnicate 1", "stray",
                           "--kvrn-config", "--board /nonexistent/board.txt"}) {
    SCOPED_TRACE(args);
    RunResult run = Boardsim(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_EQ(run.out.rfind("boardsim: ", 0), 0u) << run.out;
  }
}

TEST(BoardsimTest, HelpExplainsTheOptions) {
  RunResult run = Boardsim("--help");
  EXPECT_EQ(run.status, 0);
  for (const char *option : {"--kvrn-config", "--trace", "--json FILE", "--list-faults",
                             "*: every call", "--firmware-log"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  }
}

TEST(BoardsimTest, BoardFilesAndOptionsChangeTheBoard) {
  test::TempFolder dir;
  std::string path = dir / "board.txt";
  std::ofstream(path) << "# two ports only\nkvrn-config 0x0C\nslot 172 0x31A000\n";
  RunResult run = Boardsim("--board " + path + " --riser-type=6");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Board: riser type 6, KVRN configuration 0x0C"), std::string::npos);
  EXPECT_TRUE(HasRow(run.out, "174 - 0x22C000 CPU2 stack 2 port C")) << run.out;
}

TEST(BoardsimTest, AFailedStartIsReportedAsTheDriverSawIt) {
  RunResult run = Boardsim("--fault BS.RegisterProtocolNotify=2=0x8000000000000009");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(HasRow(run.out, "BoardSlotService EFI_OUT_OF_RESOURCES unloaded")) << run.out;
}

TEST(BoardsimTest, PrintedBoardIsABoardFile) {
  RunResult printed = Boardsim("--kvrn-config 0x84 --print-board");
  ASSERT_EQ(printed.status, 0);
  test::TempFolder dir;
  std::string path = dir / "printed.txt";
  std::ofstream(path) << printed.out;
  RunResult run = Boardsim("--board " + path);
  EXPECT_NE(run.out.find("KVRN configuration 0x84"), std::string::npos) << run.out;
}

TEST(BoardsimTest, ReportShowsWhatBecameOfTheSmbiosSlotStructures) {
  RunResult run = Boardsim("--kvrn-config 0x84");
  EXPECT_EQ(run.status, 0) << run.out;
  for (const char *row : {
           "0x0005 9 \"KVRN: CPU2 PCIE 3.0\" 0xB6 PCIe 3 x16 0x0B01 x8 In use 0x22B000 CPU2 stack "
           "2 "
           "port B 57:01.0 <- width was x16",
           "0x0006 161 \"KVRN(C): CPU2 PCIE 3.0\" 0xB6 PCIe 3 x16 0x0B11 x8 Unknown 0x22C000 CPU2 "
           "stack 2 port C 57:02.0 <- added",
           "0x0009 9 \"TQW-M3-57K2 MS-Top Slot1 PCIe Gen3  X8\" 0xB6 PCIe 3 x16 0x000C x8 Unknown "
           "0x44A000 CPU4 stack 4 port A F1:00.0 <- added",
       }) {
    EXPECT_TRUE(HasRow(run.out, row)) << row << "\n" << run.out;
  }
  run = Boardsim("--kvrn-unavailable 1");
  EXPECT_TRUE(HasRow(run.out,
                     "\"KVRN: CPU2 PCIE 3.0\" 0xB6 PCIe 3 x16 0x0B01 x16 In use 0x22B000 "
                     "CPU2 stack 2 port B 57:01.0 <- removed"))
      << run.out;
}

TEST(BoardsimTest, SmbiosDumpIsWrittenOrRefused) {
  test::TempFolder dir;
  std::string path = dir / "dump.bin";
  RunResult run = Boardsim("--smbios-dump " + path);
  EXPECT_EQ(run.status, 0) << run.out;
  std::ifstream in(path, std::ios::binary);
  std::string dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(dump.substr(0, 5), "_SM3_");
  EXPECT_GT(dump.size(), 0x20u);

  run = Boardsim("--smbios-dump /nonexistent/dir/dump.bin");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.out.find("boardsim: --smbios-dump '/nonexistent/dir/dump.bin': no folder"),
            std::string::npos)
      << run.out;
}

}  // namespace
