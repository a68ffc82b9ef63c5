// The comparison must name every field where the two worlds part, and excuse only what the
// platform owns.
#include <gtest/gtest.h>

#include <algorithm>

#include "Boot.h"
#include "PciBoard.h"
#include "ReportCompare.h"

namespace {

using json = nlohmann::ordered_json;

json ReportOf(const emu::BoardDescription &board) {
  return json::parse(emu::FormatJsonReport(emu::RunBoot(board), false));
}

std::vector<std::string> Fields(const std::vector<differential::Difference> &differences) {
  std::vector<std::string> fields;
  for (const differential::Difference &d : differences) fields.push_back(d.field);
  return fields;
}

TEST(ReportCompareTest, TheSameBootHasNoDifference) {
  const json report = ReportOf(emu::DefaultBoard());
  EXPECT_TRUE(differential::CompareReports(report, report).empty());
}

TEST(ReportCompareTest, WhatThePlatformOwnsIsExcused) {
  const json emulated = ReportOf(emu::DefaultBoard());
  json firmware = emulated;
  firmware["source"] = "firmware";
  firmware["platformChecks"]["made"] = false;
  // Handles are the firmware's, and so are the structures it builds itself.
  for (json &s : firmware["smbios"]["structures"]) {
    s["handle"] = 0x42;
    std::string bytes = s["bytes"];
    bytes.replace(4, 4, "4200");
    s["bytes"] = bytes;
  }
  firmware["smbios"]["structures"].insert(firmware["smbios"]["structures"].begin(),
                                          json{{"handle", 0},
                                               {"type", 4},
                                               {"length", 0x30},
                                               {"strings", json::array()},
                                               {"bytes", "0430"}});
  firmware["pci"]["droppedWrites"] = json::array();
  EXPECT_TRUE(differential::CompareReports(emulated, firmware).empty());
}

TEST(ReportCompareTest, EachFieldThatPartsIsNamedWithBothValues) {
  const json emulated = ReportOf(emu::DefaultBoard());
  json firmware = emulated;
  firmware["slots"][2]["after"] = 0x22C000;
  firmware["nicMacs"]["secondary"][0] = "02:A1:B2:C3:D4:09";
  firmware["menus"]["edits"][1]["text"] = "something else";
  firmware["smbios"]["structures"].erase(firmware["smbios"]["structures"].begin() + 3);
  firmware["drivers"][1]["resident"] = false;
  firmware["drivers"][1]["status"] = "EFI_LOAD_ERROR";
  firmware["pci"]["rootPorts"].push_back(
      {{"bdf", "D7:00.0"}, {"register", 0x15C}, {"before", 0x2000}, {"after", 0}});
  const std::vector<differential::Difference> differences =
      differential::CompareReports(emulated, firmware);
  const std::vector<std::string> fields = Fields(differences);
  for (const char *wanted :
       {"slots[172].after", "nicMacs.secondary", "menus.edits[1]", "smbios.structures[1]",
        "drivers.MenuPruner.resident", "pci.rootPorts[1]"}) {  // after the boot's own
    EXPECT_NE(std::find(fields.begin(), fields.end(), wanted), fields.end()) << wanted;
  }
  // A changed edit is the emulator's entry and the firmware's; a missing structure is one
  // difference, not one for every structure after it.
  EXPECT_EQ(std::count(fields.begin(), fields.end(), "menus.edits[1]"), 2);
  EXPECT_EQ(std::count_if(fields.begin(), fields.end(),
                          [](const std::string &f) { return f.rfind("smbios", 0) == 0; }),
            1);
  // A driver the firmware unloaded has no status to compare; residence says it all.
  EXPECT_EQ(std::find(fields.begin(), fields.end(), "drivers.MenuPruner.status"), fields.end());
  const auto slot = std::find_if(differences.begin(), differences.end(),
                                 [](const auto &d) { return d.field == "slots[172].after"; });
  ASSERT_NE(slot, differences.end());
  EXPECT_EQ(slot->emulated, std::to_string(emulated["slots"][2]["after"].get<uint32_t>()));
  EXPECT_EQ(slot->firmware, std::to_string(0x22C000));
}

TEST(ReportCompareTest, TheFirmwaresBusNumbersMustBeTheBoards) {
  const emu::BoardDescription board = emu::DefaultBoard();
  emu::BoardDescription seen = board;
  EXPECT_TRUE(differential::CompareTopology(board, seen).empty());
  seen.pci[PciBdf(0x57, 1, 0)].subordinateBus = 0x5B;
  seen.pci[PciBdf(0x19, 0, 0)] = seen.pci[PciBdf(0x18, 0, 0)];
  seen.pci.erase(PciBdf(0x18, 0, 0));
  const std::vector<std::string> fields = Fields(differential::CompareTopology(board, seen));
  EXPECT_EQ(fields, (std::vector<std::string>{"board.pci 18:00.0", "board.pci 57:01.0",
                                              "board.pci 19:00.0"}));
}

}  // namespace
