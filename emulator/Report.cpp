// The boot report: what the drivers did to the board, in the board's terms, with every code
// decoded so that it reads without the design documents.
#include <sstream>

#include "BoardDecode.h"
#include "Boot.h"
#include "Faults.h"
#include "PciReport.h"
#include "TextTable.h"

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

std::string Letters(const std::string &ports) {
  std::string text;
  for (size_t i = 0; i < ports.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == ports.size() ? " and " : ", ") + std::string(1, ports[i]);
  }
  return text;
}

void ReportKvrnConfig(std::ostream &out, const BoardDescription &board) {
  KvrnConfigDecode kvrn = DecodeKvrnConfig(board.KvrnConfig());
  out << "KVRN configuration byte " << Hex(kvrn.value, 2) << " (board byte 191)\n";
  TextTable table({"bits", "meaning"});
  table.Add({"0x02 0x04 0x08", kvrn.portsPresent.empty()
                                   ? std::string("no port present (B, C, D): no slot is taken")
                                   : "ports present: " + Letters(kvrn.portsPresent) +
                                         "; each takes the next free expansion slot"});
  table.Add({"0x80", kvrn.splitRule
                         ? "set: the split-slot rule, which reads all three port bits"
                         : "clear: the single-port rule, which reads only port B's bit"});
  if (kvrn.unreadBits != 0) table.Add({Hex(kvrn.unreadBits, 2), "set, and read by neither rule"});
  std::string slot;
  if (board.KvrnUnavailable() != 0) {
    slot = "removed: the KVRN-unavailable flag (board byte 200) is " +
           std::to_string(board.KvrnUnavailable()) + ", so no rule applies";
  } else {
    slot = kvrn.slotWidth
               ? "width " + SlotWidthName(*kvrn.slotWidth) + " (" + Hex(*kvrn.slotWidth, 2) + ")"
               : std::string("keeps its width");
    slot += kvrn.portRecords.empty() ? "; no KVRN port record"
                                     : "; KVRN port records for " + Letters(kvrn.portRecords);
  }
  table.Add({"KVRN slot", slot});
  table.Print(out);
}

void ReportDrivers(std::ostream &out, const BootResult &result) {
  out << "Drivers\n";
  TextTable table({"driver", "entry point returned", "image"});
  for (const DriverOutcome &driver : result.drivers) {
    table.Add({driver.name, StatusName(driver.status), driver.resident ? "resident" : "unloaded"});
  }
  table.Print(out);
}

void ReportSlotTable(std::ostream &out, const BootResult &result) {
  out << "Slot table (expansion slots in walk order, then the onboard NIC's root port)\n";
  TextTable table({"slot", "before", "after", "socket, stack, port", "root port", "change"});
  std::vector<uint32_t> order(std::begin(kExpansionSlotIndexes), std::end(kExpansionSlotIndexes));
  order.push_back(SLOT_INDEX_ONBOARD_NIC);
  for (uint32_t index : order) {
    std::string before = SlotCode(result.slotsBefore, index);
    std::string after = SlotCode(result.slotsAfter, index);
    std::vector<std::string> row{std::to_string(index), before, after};
    auto now = result.slotsAfter.find(index);
    if (now != result.slotsAfter.end()) {
      SlotCodeDecode code = DecodeSlotCode(result.board, now->second);
      row.push_back(SlotCodePlace(code));
      row.push_back(BdfText(code.rootPort) +
                    (code.fallback.empty() ? "" : " (" + code.fallback + ")"));
    } else {
      row.insert(row.end(), {"", ""});
    }
    if (before != after) {
      const char *port = now == result.slotsAfter.end() ? nullptr : KvrnPortName(now->second);
      row.push_back(std::string("<- ") + (port != nullptr ? port : "changed"));
    }
    table.Add(row);
  }
  table.Print(out);
  out << "  A slot code holds the socket (bits 23..20) and stack (19..16), both counted from 1, "
         "and\n"
         "  the port letter (15..12); the root port is the stack's bus from the stack-bus HOB "
         "with\n"
         "  the port's device for CPU signature "
      << Hex(CpuSignature(result.board), 4) << ". A code without a socket is a BDF.\n";
}

std::string CallsText(const std::vector<size_t> &calls) {
  std::string text;
  for (size_t i = 0; i < calls.size() && i < 8; ++i) {
    text += (i == 0 ? "#" : ", #") + std::to_string(calls[i] + 1);
  }
  if (calls.size() > 8) text += ", ... (" + std::to_string(calls.size()) + " in all)";
  return text;
}

void ReportFaults(std::ostream &out, const BootResult &result) {
  std::vector<FaultOutcome> outcomes = FaultOutcomes(result);
  out << "Faults (calls numbered as --trace numbers them)\n";
  TextTable table({"fault", "outcome"});
  for (const FaultOutcome &outcome : outcomes) {
    std::string text;
    if (!outcome.fired.empty()) {
      const CallRecord &first = result.calls[outcome.fired.front()];
      text = "fired on call " + CallsText(outcome.fired) + " (" +
             (outcome.fired.size() > 1 ? "the first: " : "") +
             (first.image.empty() ? std::string("the platform") : first.image) +
             (first.during.empty() ? "" : ", in " + first.during) + ")";
    }
    if (!outcome.refused.empty()) {
      text += std::string(text.empty() ? "" : "; ") + "refused on call " +
              CallsText(outcome.refused) +
              ": a lookup the dispatch dependency guarantees, never failed";
    }
    if (text.empty()) {
      text = "never matched a call: the boot called " + outcome.fault.member + " " +
             std::to_string(outcome.memberCalls) + " time" + (outcome.memberCalls == 1 ? "" : "s");
    }
    table.Add({FaultText(outcome.fault), text});
  }
  table.Print(out);
}

}  // namespace

std::string FormatReport(const BootResult &result) {
  std::ostringstream out;
  const BoardDescription &board = result.board;
  const PROCESSOR_ROW *processor = FindProcessor(CpuSignature(board));
  out << "Board: riser type " << unsigned{board.RiserType()} << ", KVRN configuration "
      << Hex(board.KvrnConfig(), 2) << ", KVRN unavailable " << unsigned{board.KvrnUnavailable()}
      << ", CPU signature " << Hex(CpuSignature(board), 4) << " ("
      << (processor != nullptr ? processor->Name : "a processor the drivers have no table for")
      << ")\n\n";

  ReportKvrnConfig(out, board);
  out << "\n" << FormatRiser(result) << "\n";
  ReportDrivers(out, result);
  out << "\n";
  if (!board.faults.empty()) {
    ReportFaults(out, result);
    out << "\n";
  }

  ReportSlotTable(out, result);
  out << "\n";
  out << FormatSmbiosSlots(result) << "\n";

  out << FormatMenuEdits(board.setupMenus, result.menusAfter) << "\n";

  ReportNicMacs(out, result);
  out << "\n";
  ReportConfigurationChanges(out, result);
  out << "\n";

  if (std::string log = FormatDebugLog(result); !log.empty()) out << log << "\n";

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
