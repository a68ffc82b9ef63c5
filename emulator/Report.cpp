// The boot report: what the drivers did to the board, in the board's terms.
#include <cstdio>
#include <sstream>

#include "Boot.h"
#include "PciReport.h"

namespace emu {

namespace {

std::string SlotCode(const std::map<uint32_t, uint32_t> &slots, uint32_t index) {
  auto it = slots.find(index);
  return it == slots.end() ? "-" : Hex(it->second, 6);
}

const char *KvrnPortName(uint32_t code) {
  switch (code) {
    case KVRN_PORT_CODE_B:
      return "KVRN port B";
    case KVRN_PORT_CODE_C:
      return "KVRN port C";
    case KVRN_PORT_CODE_D:
      return "KVRN port D";
    default:
      return nullptr;
  }
}

void ReportSlotTable(std::ostream &out, const BootResult &result) {
  out << "Slot table (expansion slots in walk order, then the onboard NIC's root port)\n";
  out << "  slot  before    after\n";
  std::vector<uint32_t> order(std::begin(kExpansionSlotIndexes), std::end(kExpansionSlotIndexes));
  order.push_back(SLOT_INDEX_ONBOARD_NIC);
  for (uint32_t index : order) {
    std::string before = SlotCode(result.slotsBefore, index);
    std::string after = SlotCode(result.slotsAfter, index);
    char line[80];
    std::snprintf(line, sizeof(line), "  %-5u %-9s %-9s", index, before.c_str(), after.c_str());
    std::string text = line;
    if (before != after) {
      auto it = result.slotsAfter.find(index);
      const char *port = it == result.slotsAfter.end() ? nullptr : KvrnPortName(it->second);
      text += std::string(" <- ") + (port != nullptr ? port : "changed");
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  }
}

}  // namespace

std::string FormatReport(const BootResult &result) {
  std::ostringstream out;
  const BoardDescription &board = result.board;
  out << "Board: riser type " << unsigned{board.RiserType()} << ", KVRN configuration "
      << Hex(board.KvrnConfig(), 2) << ", KVRN unavailable " << unsigned{board.KvrnUnavailable()}
      << "\n\n";

  out << "Drivers\n";
  for (const DriverOutcome &driver : result.drivers) {
    char line[120];
    std::snprintf(line, sizeof(line), "  %-18s %s, %s\n", driver.name.c_str(),
                  StatusName(driver.status).c_str(), driver.resident ? "resident" : "unloaded");
    out << line;
  }
  out << "\n";

  ReportSlotTable(out, result);
  out << "\n";
  out << FormatSmbiosSlots(result) << "\n";

  out << FormatMenuEdits(board.setupMenus, result.menusAfter) << "\n";

  ReportNicMacs(out, result);
  out << "\n";
  ReportConfigurationChanges(out, result);
  out << "\n";

  if (!result.platformChecked) {
    out << "Platform checks: not made (real firmware keeps no pool or registration ledger)\n";
  } else if (result.violations.empty()) {
    out << "Platform checks: passed (pool balanced, nothing left pointing into unloaded images)\n";
  } else {
    out << "Platform checks: " << result.violations.size() << " problem(s)\n";
    for (const std::string &what : result.violations) out << "  " << what << "\n";
  }
  return out.str();
}

}  // namespace emu
