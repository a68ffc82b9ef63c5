// The DEBUG images' lines, one test per kind: what the drivers decided (at DEBUG_INFO) holds the
// values the boot shows, and every failure the RELEASE images absorb is reported (at DEBUG_WARN
// or DEBUG_ERROR) while the platform sees the same calls as from the RELEASE images.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "BoardHookProtocol.h"
#include "PciBoard.h"
#include "SetupEditProtocol.h"
#include "Tests.h"

namespace {

emu::BootResult DebugBoot(const emu::BoardDescription &board) {
  emu::BootPlan plan;
  plan.images = emu::ImageBuild::kDebug;
  return emu::RunBoot(board, plan);
}

// The lines of one driver at one level whose text holds every word given.
std::vector<std::string> Lines(const emu::BootResult &boot, const std::string &driver,
                               uint32_t level, const std::vector<std::string> &words) {
  std::vector<std::string> found;
  for (const emu::DebugLine &line : boot.debugLines) {
    EXPECT_TRUE(line.unpacked && line.problem.empty()) << line.text << line.problem;
    EXPECT_EQ(line.text.rfind(line.driver + ": ", 0), 0u) << line.text;  // the name comes first
    if (line.driver != driver || line.level != level) continue;
    if (std::all_of(words.begin(), words.end(), [&](const std::string &word) {
          return line.text.find(word) != std::string::npos;
        })) {
      found.push_back(line.text);
    }
  }
  return found;
}

std::string AllLines(const emu::BootResult &boot) {
  std::string all;
  for (const std::string &line : emu::DebugLogLines(boot.debugLines)) all += line + "\n";
  return all;
}

// The calls a boot made, but those that carried its reports.
std::vector<std::string> PlatformCalls(const emu::BootResult &boot) {
  std::vector<std::string> calls;
  for (const emu::CallRecord &call : boot.calls) {
    if (call.member.rfind("StatusCode.", 0) == 0) continue;
    if (call.member == "BS.LocateProtocol" &&
        call.what == emu::GuidToString(gEfiStatusCodeRuntimeProtocolGuid)) {
      continue;
    }
    calls.push_back(call.image + " " + call.member + " " + call.what + " " +
                    std::to_string(call.result));
  }
  return calls;
}

std::string SlotCodeText(uint32_t code) { return emu::Hex(code, 6); }

// Each KVRN port placed names its letter, slot and code; each write of register 0x15C its slot,
// root port and both values, as the boot placed and wrote them.
TEST(DriverDebugLogTest, PlacementsAndRegisterWritesAreTheBoots) {
  for (uint8_t kvrn : {uint8_t{0x8E}, uint8_t{0x0C}}) {
    SCOPED_TRACE("KVRN configuration " + emu::Hex(kvrn, 2));
    emu::BoardDescription board = emu::DefaultBoard();
    board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, kvrn);
    emu::BootResult boot = DebugBoot(board);
    size_t placed = 0;
    for (const auto &[index, code] : boot.slotsAfter) {
      if (boot.slotsBefore.count(index) != 0) continue;
      ++placed;
      const std::string letter(1, static_cast<char>('A' + (code >> 12 & 0xF) - 0xA));
      EXPECT_EQ(Lines(boot, "BoardSlotService", DEBUG_INFO,
                      {"KVRN port " + letter, std::to_string(index), SlotCodeText(code)})
                    .size(),
                1u)
          << AllLines(boot);
    }
    EXPECT_EQ(Lines(boot, "BoardSlotService", DEBUG_INFO, {"KVRN port", "code"}).size(), placed);
    size_t writes = 0;
    for (const emu::PciWrite &write : boot.pciWrites) {
      if (write.offset != 0x15C || write.dropped) continue;
      ++writes;
      EXPECT_EQ(
          Lines(boot, "BoardSlotService", DEBUG_INFO,
                {emu::BdfText(write.bdf), emu::Hex(write.before, 8), emu::Hex(write.after, 8)})
              .size(),
          1u)
          << AllLines(boot);
    }
    EXPECT_GT(writes, 0u);
  }
}

// Each SMBIOS structure the boot added, resized or removed has its line, naming it.
TEST(DriverDebugLogTest, SmbiosChangesAreTheBoots) {
  for (uint8_t unavailable : {uint8_t{0}, uint8_t{1}}) {
    SCOPED_TRACE(unavailable ? "KVRN module unusable" : "KVRN module usable");
    emu::BoardDescription board = emu::DefaultBoard();
    board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, unavailable);
    emu::BootResult boot = DebugBoot(board);
    size_t changes = 0;
    for (const emu::SmbiosStructure &s : boot.smbiosAfter.Structures()) {
      const emu::SmbiosStructure *before = board.smbios.Find(s.Handle());
      if (before == nullptr && s.Type() == 9) {  // a riser slot record
        ++changes;
        EXPECT_EQ(Lines(boot, "BoardSlotService", DEBUG_INFO,
                        {"riser slot record " + std::to_string(s.Word(9)), s.String(1)})
                      .size(),
                  1u);
      } else if (before == nullptr && s.Type() == 161) {  // a KVRN port record
        ++changes;
        EXPECT_EQ(
            Lines(boot, "BoardSlotService", DEBUG_INFO,
                  {"KVRN port " + s.String(1).substr(5, 1) + " record", emu::Hex(s.Word(9), 4)})
                .size(),
            1u);
      } else if (before != nullptr && !(*before == s)) {  // the KVRN slot record resized
        ++changes;
        EXPECT_EQ(Lines(boot, "BoardSlotService", DEBUG_INFO,
                        {emu::Hex(s.Handle(), 4), emu::Hex(s.Byte(6), 2)})
                      .size(),
                  1u);
      }
    }
    for (const emu::SmbiosStructure &s : board.smbios.Structures()) {
      if (boot.smbiosAfter.Find(s.Handle()) != nullptr) continue;
      ++changes;
      EXPECT_EQ(
          Lines(boot, "BoardSlotService", DEBUG_INFO, {"removing", emu::Hex(s.Handle(), 4)}).size(),
          1u);
    }
    EXPECT_GT(changes, 0u);
  }
}

// The count each setup pass reports is the number of setup edits it made (the onboard NIC
// item's aside, which has its own line).
TEST(DriverDebugLogTest, EachSetupPassCountsItsEdits) {
  for (uint8_t riser : {uint8_t{0}, uint8_t{5}, uint8_t{6}, uint8_t{9}}) {
    SCOPED_TRACE("riser type " + std::to_string(riser));
    emu::BoardDescription board = emu::DefaultBoard();
    board.SetBoardByte(BOARD_BYTE_RISER_TYPE, riser);
    emu::BootResult boot = DebugBoot(board);
    size_t riserEdits = 0, labelEdits = 0;
    for (const emu::CallRecord &call : boot.calls) {
      if (call.member == "SetupEdit.HideItem" || call.member == "SetupEdit.UpdateString") {
        (call.during == "KvrnLabelsNotify" ? labelEdits : riserEdits) += 1;
      }
    }
    EXPECT_EQ(Lines(boot, "MenuPruner", DEBUG_INFO,
                    {"riser type " + std::to_string(riser) + ": " + std::to_string(riserEdits) +
                     " setup edits"})
                  .size(),
              1u)
        << AllLines(boot);
    EXPECT_EQ(Lines(boot, "MenuPruner", DEBUG_INFO,
                    {"KVRN labels: " + std::to_string(labelEdits) + " setup edits"})
                  .size(),
              1u)
        << AllLines(boot);
  }
}

// Each NIC function read names its BDF and the MAC address listed, or why it added nothing.
TEST(DriverDebugLogTest, EachNicFunctionSaysWhatItAdded) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.pci.at(PciBdf(0x18, 0, 1)).memory = 0;  // no memory assigned
  board.pci.erase(PciBdf(0x18, 0, 3));          // absent
  emu::BootResult boot = DebugBoot(board);
  ASSERT_TRUE(boot.nicMacs.collected);
  for (const emu::MacAddress &mac : boot.nicMacs.primary) {
    EXPECT_EQ(Lines(boot, "BoardSlotService", DEBUG_INFO, {"18:00.0", emu::MacText(mac)}).size(),
              1u);
  }
  EXPECT_EQ(Lines(boot, "BoardSlotService", DEBUG_WARN, {"18:00.1", "no memory"}).size(), 1u);
  EXPECT_EQ(Lines(boot, "BoardSlotService", DEBUG_INFO, {"18:00.2", "MAC"}).size(), 1u);
  EXPECT_EQ(Lines(boot, "BoardSlotService", DEBUG_INFO, {"18:00.3", "absent"}).size(), 1u);
  EXPECT_EQ(Lines(boot, "BoardSlotService", DEBUG_INFO, {"1 primary, 1 secondary"}).size(), 1u)
      << AllLines(boot);
}

// Every failure the RELEASE images pass over without a word has its line, at the level it
// deserves, naming what failed; and the platform sees exactly the RELEASE images' calls.
TEST(DriverDebugLogTest, AbsorbedFailuresAreReported) {
  using Board = emu::BoardDescription;
  auto fault = [](std::vector<emu::Fault> faults) {
    return [faults](Board &b) { b.faults = faults; };
  };
  struct Case {
    const char *what;
    std::function<void(Board &)> change;
    const char *driver;
    uint32_t level;
    std::vector<std::string> words;
  } cases[] = {
      {"a Setup variable past the buffer",
       [](Board &b) { b.SetSetupByte(3999, 0); },
       "MenuPruner",
       DEBUG_WARN,
       {"4000", "3820", "288"}},
      {"a Setup variable past the buffer",
       [](Board &b) { b.SetSetupByte(3999, 0); },
       "BoardSlotService",
       DEBUG_WARN,
       {"4000", "3820", "331"}},
      {"a failed setup edit",
       fault({{"SetupEdit.HideItem", 1, EFI_DEVICE_ERROR}}),
       "MenuPruner",
       DEBUG_WARN,
       {"HideItem", "143", "Device Error"}},
      {"a failed SMBIOS insertion",
       fault({{"Smbios.InsertRecord", 2, EFI_OUT_OF_RESOURCES}}),
       "BoardSlotService",
       DEBUG_WARN,
       {"KVRN port C", "Out of Resources"}},
      {"no KVRN slot record to remove",
       [](Board &b) {
         b.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, 1);
         b.smbios.Clear();
       },
       "BoardSlotService",
       DEBUG_WARN,
       {"no KVRN slot record"}},
      {"a processor without a root-port table",
       [](Board &b) { emu::SetCpuSignature(b, 0x406F); },
       "BoardSlotService",
       DEBUG_WARN,
       {"0x12A000", "406F"}},
      {"no scratch pool",
       fault({{"BS.AllocatePool", 1, EFI_OUT_OF_RESOURCES}}),
       "BoardSlotService",
       DEBUG_WARN,
       {"scratch pool", "Out of Resources"}},
      {"a slot-records trigger never registered",
       fault({{"BS.RegisterProtocolNotify", 1, EFI_OUT_OF_RESOURCES}}),
       "BoardSlotService",
       DEBUG_ERROR,
       {"slot-records", "never fire"}},
      {"a failed start that cannot withdraw",
       fault({{"BS.RegisterProtocolNotify", 2, EFI_OUT_OF_RESOURCES},
              {"BS.CloseEvent", 1, EFI_INVALID_PARAMETER}}),
       "BoardSlotService",
       DEBUG_ERROR,
       {"Out of Resources", "stays resident"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Board board = emu::DefaultBoard();
    c.change(board);
    emu::BootResult debug = DebugBoot(board);
    EXPECT_EQ(Lines(debug, c.driver, c.level, c.words).size(), 1u) << AllLines(debug);
    EXPECT_EQ(PlatformCalls(debug), PlatformCalls(emu::RunBoot(board)));
  }

  // A failed start whose pool could not go leaks it, and says so.
  Board board = emu::DefaultBoard();
  fault({{"BS.RegisterProtocolNotify", 4, EFI_OUT_OF_RESOURCES},
         {"BS.FreePool", 1, EFI_INVALID_PARAMETER}})(board);
  test::ExpectViolation leak("leaked 8192 bytes");
  emu::BootResult debug = DebugBoot(board);
  EXPECT_EQ(Lines(debug, "MenuPruner", DEBUG_ERROR, {"scratch pool", "Invalid Parameter"}).size(),
            1u)
      << AllLines(debug);
}

// The setup edit protocol installed again edits the instance found first once more (a known
// limit): the second pass says so.
TEST(DriverDebugLogTest, ASecondSetupEditInstallationIsReported) {
  emu::Platform platform(emu::DefaultBoard());
  platform.UseImagesFrom(emu::HostImageDir(emu::ImageBuild::kDebug));
  ASSERT_EQ(platform.StartImage("MenuPruner"), EFI_SUCCESS);
  for (int installation = 1; installation <= 2; ++installation) {
    platform.InstallProtocol(gSetupEditProtocolGuid, emu::SetupEditInterface());
  }
  size_t again = 0;
  for (const emu::DebugLine &line : platform.DebugLines()) {
    if (line.level == DEBUG_WARN && line.text.find("installed again") != std::string::npos) {
      ++again;
    }
  }
  EXPECT_EQ(again, 1u);
}

}  // namespace
