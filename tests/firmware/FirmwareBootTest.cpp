// The shipped package in real firmware: OVMF under QEMU, with the platform application playing
// the board's other drivers. Each scenario boots once and checks what the firmware did against
// what the board should show, and against the emulator's account of the same board.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "Dmidecode.h"
#include "FirmwareBoot.h"
#include "PciAccess.h"
#include "Tests.h"

namespace {

struct Expected {
  uint16_t signature;
  std::vector<std::string> macs;  // primary first
  uint16_t adjustedRootPort;      // whose register 0x15C loses bit 13
  size_t riserSlots;
  bool kvrnUnavailable;
};

// The report with what only the platform decides taken out: SMBIOS handles, and the line on
// the emulator's own ledger.
std::string Comparable(const emu::BootResult &result) {
  std::string report = emu::FormatReport(result);
  report = std::regex_replace(report, std::regex("\n  0x[0-9A-F]{4} "), "\n  0x.... ");
  return std::regex_replace(report, std::regex("Platform checks:[^\n]*\n"), "");
}

std::string MacText(const emu::MacAddress &mac) {
  char text[20];
  std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

void CheckSmbiosWithDmidecode(const std::vector<uint8_t> &dump, const Expected &expected) {
  std::string dmidecode = test::FindDmidecode();
  ASSERT_FALSE(dmidecode.empty()) << "dmidecode not found; scripts/setup.sh installs it";
  test::TempFolder dir;
  std::string path = dir / "smbios.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(dump.data()),
             static_cast<std::streamsize>(dump.size()));
  int status = 0;
  std::string text = test::RunCommand(dmidecode + " --from-dump " + path, status);
  ASSERT_EQ(status, 0) << text;
  std::string raw = test::RunCommand(dmidecode + " -u --from-dump " + path, status);
  for (const std::string *out : {&text, &raw}) {
    EXPECT_EQ(out->find("<OUT OF SPEC>"), std::string::npos) << *out;
    EXPECT_EQ(out->find("<BAD INDEX>"), std::string::npos) << *out;
  }
  std::vector<test::Block> slots = test::OfType(test::Blocks(text), 9);
  size_t risers = 0, kvrnSlots = 0;
  for (const test::Block &slot : slots) {
    std::string designation = slot.Field("Designation");
    if (designation.rfind("TQW-M3-57K2 ", 0) == 0) {
      ++risers;
      EXPECT_EQ(slot.Field("Current Usage"), "Unknown");
    }
    if (designation == "KVRN: CPU2 PCIE 3.0") {
      ++kvrnSlots;
      EXPECT_EQ(slot.Field("Type"), "x4 PCI Express 3 x16");
    }
  }
  EXPECT_EQ(risers, expected.riserSlots) << text;
  EXPECT_EQ(kvrnSlots, expected.kvrnUnavailable ? 0u : 1u) << text;
  std::vector<test::Block> ports = test::OfType(test::Blocks(raw), 161);
  ASSERT_EQ(ports.size(), expected.kvrnUnavailable ? 0u : 3u) << raw;
  for (size_t i = 0; i < ports.size(); ++i) {
    std::vector<uint8_t> bytes = ports[i].Raw();
    ASSERT_EQ(bytes.size(), 41u);
    EXPECT_EQ(bytes[0x06], 0x0A);  // x4
    EXPECT_EQ(bytes[0x07], 0x02);  // usage unknown
    EXPECT_EQ(ports[i].SlotId(), 0x0B11 + 0x10 * i);
    EXPECT_EQ(bytes[0x0F], 0xB0 + 0x10 * i);
    EXPECT_EQ(std::string(bytes.begin() + 17, bytes.begin() + 39),
              std::string("KVRN(") + static_cast<char>('B' + i) + "): CPU2 PCIE 3.0");
  }
}

void CheckScenario(const emu::BoardDescription &board, const Expected &expected) {
  fw::FirmwareBoot boot = fw::BootInFirmware(board);
  ASSERT_TRUE(boot.ok) << boot.error << "\n" << boot.run.debugLog;
  std::printf("real-firmware boot: %.1f s\n", boot.run.seconds);

  // The dependency held both drivers back until the board's protocols existed.
  EXPECT_NE(boot.dispatch.find("dispatch-without-dependency 0x800000000000000E started 0"),
            std::string::npos)
      << boot.dispatch;
  EXPECT_NE(boot.dispatch.find("dispatch-with-board-information-only 0x800000000000000E started 0"),
            std::string::npos)
      << boot.dispatch;
  EXPECT_NE(boot.dispatch.find("dispatch-with-dependency 0x0 init-notify 2"), std::string::npos)
      << boot.dispatch;
  ASSERT_EQ(boot.result.drivers.size(), 2u);
  for (const emu::DriverOutcome &driver : boot.result.drivers) EXPECT_TRUE(driver.resident);
  EXPECT_EQ(emu::CpuSignature(boot.seen), expected.signature);

  // The KVRN ports went to the first free expansion slots.
  EXPECT_EQ(boot.result.slotsAfter.at(172), KVRN_PORT_CODE_B);
  EXPECT_EQ(boot.result.slotsAfter.at(174), KVRN_PORT_CODE_C);
  EXPECT_EQ(boot.result.slotsAfter.at(175), KVRN_PORT_CODE_D);

  std::vector<std::string> macs;
  for (const auto &mac : boot.result.nicMacs.primary) macs.push_back(MacText(mac));
  for (const auto &mac : boot.result.nicMacs.secondary) macs.push_back(MacText(mac));
  EXPECT_EQ(macs, expected.macs);

  ASSERT_EQ(boot.result.pciWrites.size(), 1u);
  const emu::PciWrite &write = boot.result.pciWrites[0];
  EXPECT_EQ(write.bdf, expected.adjustedRootPort);
  EXPECT_EQ(write.offset, 0x15C);
  EXPECT_EQ(write.after, write.before & ~0x2000u);

  CheckSmbiosWithDmidecode(boot.run.files["smbios-after.bin"], expected);

  // The emulator, given the board as the firmware made it, tells the same story: the same
  // menu calls in the same order, and the same report but for SMBIOS handles.
  emu::BootResult emulated = emu::RunBoot(boot.seen);
  EXPECT_TRUE(emulated.violations.empty());
  EXPECT_EQ(boot.result.menusAfter.edits, emulated.menusAfter.edits);
  EXPECT_EQ(Comparable(boot.result), Comparable(emulated));
}

TEST(FirmwareBootTest, SkylakeRiser5WithASplitKvrnModule) {
  CheckScenario(emu::DefaultBoard(), {0x5065,
                                      {"02:A1:B2:C3:D4:00", "02:A1:B2:C3:D4:01",
                                       "02:A1:B2:C3:D4:02", "02:A1:B2:C3:D4:03"},
                                      PciBdf(0xD7, 0, 0),
                                      8,
                                      false});
}

TEST(FirmwareBootTest, IcelakeRiser6WithTheKvrnModuleUnusable) {
  emu::BoardDescription board = emu::DefaultBoard();
  std::ifstream file(std::string(FIRMWARE_SCENARIOS) + "/icelake-riser6.board");
  std::string text((std::istreambuf_iterator<char>(file)), {}), error;
  ASSERT_TRUE(emu::ParseBoardText(text, board, error)) << error;
  // The NIC's second function has Bus Master alone: its MAC is read with decoding raised, and
  // its Command register is back as it was (the one register change is the root port's).
  CheckScenario(board,
                {0x606A, {"02:5E:6A:00:00:10", "02:5E:6A:00:00:11"}, PciBdf(0xD7, 2, 0), 6, true});
}

}  // namespace
