// The generated boards must be ones both worlds can boot, read back as written, and between
// them reach every part of the board the comparison is meant to exercise.
#include <gtest/gtest.h>

#include <set>

#include "BoardDecode.h"
#include "BoardGenerator.h"
#include "PciBoard.h"
#include "ScenarioFile.h"
#include "Tests.h"

namespace {

constexpr uint64_t kSeed = 0x5EED;
constexpr uint32_t kBoards = 300;

TEST(BoardGeneratorTest, ASeedGivesTheSameBoardEveryTime) {
  for (uint32_t i = 0; i < 5; ++i) {
    const uint64_t seed = differential::BoardSeed(kSeed, i);
    EXPECT_EQ(differential::BoardFileText(differential::GenerateBoard(seed)),
              differential::BoardFileText(differential::GenerateBoard(seed)));
  }
  EXPECT_NE(differential::BoardSeed(kSeed, 0), differential::BoardSeed(kSeed, 1));
  EXPECT_NE(differential::BoardSeed(kSeed, 0), differential::BoardSeed(kSeed + 1, 0));
}

// Every board is one real firmware can stand for, and its board file reads back into the same
// board: the file is what reproduces a difference.
TEST(BoardGeneratorTest, EveryBoardBootsInBothWorldsAndReadsBackAsWritten) {
  for (uint32_t i = 0; i < kBoards; ++i) {
    differential::GeneratedBoard generated =
        differential::GenerateBoard(differential::BoardSeed(kSeed, i));
    SCOPED_TRACE("seed " + emu::Hex(generated.seed));
    fw::RunRequest request;
    std::string why;
    EXPECT_TRUE(fw::PrepareRun(generated.board, request, why)) << why;
    // A free NIC slot would resolve to 00:00.0, which QEMU's host bridge holds.
    EXPECT_EQ(generated.board.slots.count(SLOT_INDEX_ONBOARD_NIC), 1u);

    const std::string text = differential::BoardFileText(generated);
    emu::BoardDescription read = emu::DefaultBoard();
    ASSERT_TRUE(emu::ParseBoardText(text, read, why)) << why;
    EXPECT_EQ(emu::FormatBoardText(read), emu::FormatBoardText(generated.board));
    EXPECT_EQ(read.pci, generated.board.pci);
    EXPECT_EQ(read.smbios, generated.board.smbios);
    EXPECT_EQ(read.slots, generated.board.slots);
  }
}

// Root ports rise with the firmware's bus numbering: within a stack's bus, each port's buses
// follow the previous port's, and no two ports share a bus.
TEST(BoardGeneratorTest, RootPortBusesFollowTheFirmwaresNumbering) {
  for (uint32_t i = 0; i < kBoards; ++i) {
    differential::GeneratedBoard generated =
        differential::GenerateBoard(differential::BoardSeed(kSeed, i));
    SCOPED_TRACE("seed " + emu::Hex(generated.seed));
    std::set<unsigned> taken;
    unsigned last = 0;
    for (const auto &[bdf, function] : generated.board.pci) {
      if (!function.rootPort) continue;
      EXPECT_NE(BdfBus(bdf), 0);  // bus 0 holds the machine's own devices
      EXPECT_GT(function.secondaryBus, BdfBus(bdf));
      EXPECT_GT(function.secondaryBus, last);
      EXPECT_LE(function.secondaryBus, function.subordinateBus);
      last = function.subordinateBus;
      for (unsigned bus = function.secondaryBus; bus <= function.subordinateBus; ++bus) {
        EXPECT_TRUE(taken.insert(bus).second) << "bus " << bus;
      }
    }
  }
}

// Between them the boards reach what the comparison is for.
TEST(BoardGeneratorTest, TheBoardsCoverWhatBothWorldsCanExpress) {
  std::set<std::string> seen;
  for (uint32_t i = 0; i < kBoards; ++i) {
    const emu::BoardDescription board =
        differential::GenerateBoard(differential::BoardSeed(kSeed, i)).board;
    seen.insert(emu::FindRiser(board.RiserType()) != nullptr
                    ? "riser type " + std::to_string(board.RiserType())
                    : "riser type without a row");
    if (board.KvrnUnavailable() != 0) seen.insert("KVRN unavailable");
    const uint16_t signature = emu::CpuSignature(board);
    seen.insert(emu::FindProcessor(signature) != nullptr ? emu::Hex(signature)
                                                         : "unknown signature");
    const emu::Hob *hob = emu::FindStackBusHob(board);
    seen.insert(hob == nullptr ? "no stack-bus HOB" : "stack-bus HOB");
    const emu::Variable *setup = board.FindVariable(u"Setup", gSetupVariableGuid);
    if (setup == nullptr) {
      seen.insert("no Setup");
    } else if (setup->data.size() <= SETUP_ROOT_PORT_ADJUST_OFFSET) {
      seen.insert("short Setup");
    } else if (setup->data.size() > SETUP_VARIABLE_BUFFER_SIZE) {
      seen.insert("Setup too large");
    } else if (setup->data[SETUP_ROOT_PORT_ADJUST_OFFSET] != 0) {
      seen.insert("root-port adjustment on");
    }
    for (const auto &[index, code] : board.slots) {
      if ((code >> 24) != 0) seen.insert("code bits 31..24");
      if ((code >> 20 & 0xF) == 0) seen.insert("plain BDF code");
    }
    for (const auto &[bdf, function] : board.pci) {
      if (function.rootPort && function.subordinateBus > function.secondaryBus) {
        seen.insert("root port over several buses");
      }
      if (function.rootPort) continue;
      if (function.vendorId == 0x9005 && function.deviceId == 0x8017 && BdfDevice(bdf) == 4 &&
          BdfFunction(bdf) == 0) {
        seen.insert("add-in device");
      } else if (function.vendorId != 0x8086) {
        seen.insert("add-in near miss");
      }
      if (function.memory == 0) seen.insert("no memory");
      if (function.memory != 0 && function.memory < (uint64_t{1} << 32)) seen.insert("below 4 GiB");
      if ((function.memory >> 32) == 0xFFFFFFFF) seen.insert("upper half all ones");
      if (function.memory >> 32 != 0 && function.memory >> 32 != 0xFFFFFFFF) {
        seen.insert("above 4 GiB");
      }
    }
    for (const emu::SmbiosStructure &s : board.smbios.OfType(9)) {
      if (s.Handle() >= 0x10) seen.insert("extra System Slots structure");
      if (s.Length() < 0x0B) seen.insert("formatted area without Slot ID");
    }
  }
  // Every row of the processor and riser tables, and what no row names.
  for (const PROCESSOR_ROW &processor : kProcessors) {
    EXPECT_TRUE(seen.count(emu::Hex(processor.Signature))) << processor.Name;
  }
  for (const RISER_ROW &riser : kRisers) {
    EXPECT_TRUE(seen.count("riser type " + std::to_string(riser.RiserType)));
  }
  for (const char *wanted : {"riser type without a row",
                             "KVRN unavailable",
                             "unknown signature",
                             "stack-bus HOB",
                             "no stack-bus HOB",
                             "no Setup",
                             "short Setup",
                             "Setup too large",
                             "root-port adjustment on",
                             "code bits 31..24",
                             "plain BDF code",
                             "root port over several buses",
                             "add-in device",
                             "add-in near miss",
                             "no memory",
                             "below 4 GiB",
                             "above 4 GiB",
                             "upper half all ones",
                             "extra System Slots structure",
                             "formatted area without Slot ID"}) {
    EXPECT_EQ(seen.count(wanted), 1u) << wanted;
  }
}

}  // namespace
