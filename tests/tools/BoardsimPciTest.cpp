// boardsim's PCI side as a user sees it: the MAC addresses and the adjusted root port.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "Tests.h"

namespace {

using RunResult = test::CommandRun;
using test::Boardsim;

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST(BoardsimPciTest, DefaultBoardShowsFourMacAddressesAndTheAdjustedRootPort) {
  RunResult run = Boardsim("");
  EXPECT_EQ(run.status, 0) << run.out;
  for (const char *row : {"primary 02:A1:B2:C3:D4:00", "secondary 02:A1:B2:C3:D4:01",
                          "02:A1:B2:C3:D4:02", "02:A1:B2:C3:D4:03"}) {
    EXPECT_TRUE(test::HasRow(run.out, row)) << row << "\n" << run.out;
  }
  EXPECT_TRUE(Has(run.out, "(CPU signature 0x5065, Setup byte 331 = 1)\n")) << run.out;
  EXPECT_TRUE(test::HasRow(run.out, "D7:00.0 slot 170 0x0001A05C 0x0001805C bit 13 cleared"))
      << run.out;
  EXPECT_FALSE(Has(run.out, "Other configuration registers")) << run.out;
}

TEST(BoardsimPciTest, SignatureAndSetupOptionsChangeWhatIsFound) {
  // On 0x606A slot 128's port A is device 2, where the default board has no root port.
  RunResult run = Boardsim("--cpu-signature 0x606A");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(test::HasRow(run.out, "primary (none)")) << run.out;
  EXPECT_TRUE(test::HasRow(run.out, "secondary (none)")) << run.out;
  EXPECT_TRUE(Has(run.out, "CPU signature 0x606A")) << run.out;

  run = Boardsim("--setup-byte 331=0");
  EXPECT_TRUE(Has(run.out, "Setup byte 331 = 0)\n  none\n")) << run.out;
}

TEST(BoardsimPciTest, ATopologyFromABoardFile) {
  test::TempFolder dir;
  std::string path = dir / "topology.txt";
  std::ofstream(path) << "pci-clear\n"
                         "pci-root-port 17:00.0 secondary 0x18 subordinate 0x19\n"
                         "pci-endpoint 19:00.0 id 8086:37D2 memory 0x100000000 "
                         "mac 02:11:22:33:44:55\n";
  RunResult run = Boardsim("--board " + path);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(test::HasRow(run.out, "primary 02:11:22:33:44:55")) << run.out;
  EXPECT_TRUE(test::HasRow(run.out, "secondary (none)")) << run.out;

  RunResult printed = Boardsim("--board " + path + " --print-board");
  std::ofstream(path) << printed.out;
  EXPECT_TRUE(Has(Boardsim("--board " + path).out, "02:11:22:33:44:55")) << printed.out;
}

}  // namespace
