// boardsim's report of the PCI side: the MAC addresses the board hook protocol returned and the
// configuration registers the drivers left changed.
#include "PciReport.h"

#include <map>
#include <utility>

#include "BoardDecode.h"
#include "ReportData.h"
#include "TextTable.h"

namespace emu {

namespace {

std::string SetupByteText(const BoardDescription &board, size_t offset) {
  const Variable *setup = board.FindVariable(u"Setup", gSetupVariableGuid);
  if (setup == nullptr) return "no Setup variable";
  if (setup->data.size() <= offset) return "Setup variable too short for byte 331";
  return "Setup byte 331 = " + std::to_string(setup->data[offset]);
}

std::string BitsChanged(uint32_t before, uint32_t after) {
  std::string text;
  for (unsigned bit = 0; bit < 32; ++bit) {
    uint32_t mask = 1u << bit;
    if ((before ^ after) & mask) {
      text += std::string(text.empty() ? "" : ", ") + "bit " + std::to_string(bit) +
              ((after & mask) ? " set" : " cleared");
    }
  }
  return text;
}

}  // namespace

void ReportNicMacs(std::ostream &out, const BootResult &result) {
  out << "Onboard NIC MAC addresses (board hook protocol)\n";
  if (!result.nicMacs.collected) {
    out << "  not asked: the board hook protocol is not installed\n";
    return;
  }
  out << "  CollectNicMacAddresses returned " << StatusName(result.nicMacs.status) << "\n";
  TextTable table({"list", "MAC address"});
  for (const auto &[name, macs] : {std::pair{"primary", &result.nicMacs.primary},
                                   std::pair{"secondary", &result.nicMacs.secondary}}) {
    if (macs->empty()) table.Add({name, "(none)"});
    for (size_t k = 0; k < macs->size(); ++k) table.Add({k == 0 ? name : "", MacText((*macs)[k])});
  }
  table.Print(out);
}

std::vector<RegisterChange> RegisterChanges(const BootResult &result) {
  std::map<std::pair<uint16_t, uint16_t>, std::pair<uint32_t, uint32_t>> net;
  for (const PciWrite &write : result.pciWrites) {
    if (write.dropped) continue;
    auto [it, fresh] = net.try_emplace({write.bdf, write.offset}, write.before, write.after);
    if (!fresh) it->second.second = write.after;
  }
  std::vector<RegisterChange> changes;
  for (const auto &[where, values] : net) {
    const auto &[bdf, offset] = where;
    if (values.first == values.second) continue;
    auto function = result.board.pci.find(bdf);
    bool rootPort = function != result.board.pci.end() && function->second.rootPort;
    changes.push_back(
        {bdf, offset, values.first, values.second, rootPort && offset == kRootPortRegister15C});
  }
  return changes;
}

std::vector<PciWrite> DroppedWrites(const BootResult &result) {
  std::vector<PciWrite> dropped;
  for (const PciWrite &write : result.pciWrites) {
    if (write.dropped) dropped.push_back(write);
  }
  return dropped;
}

std::optional<uint32_t> SlotOfRootPort(const BootResult &result, uint16_t bdf) {
  for (const auto &[index, code] : result.slotsAfter) {
    if (DecodeSlotCode(result.board, code).rootPort == bdf) return index;
  }
  return std::nullopt;
}

void ReportConfigurationChanges(std::ostream &out, const BootResult &result) {
  out << "Root ports whose register 0x15C changed (CPU signature "
      << Hex(CpuSignature(result.board), 4) << ", " << SetupByteText(result.board, 331) << ")\n";
  TextTable rootPorts({"root port", "slot", "before", "after", "bits"});
  TextTable others({"function", "register", "before", "after"});
  for (const RegisterChange &change : RegisterChanges(result)) {
    if (change.rootPort15C) {
      std::optional<uint32_t> slot = SlotOfRootPort(result, change.bdf);
      rootPorts.Add({BdfText(change.bdf), slot ? "slot " + std::to_string(*slot) : "",
                     Hex(change.before, 8), Hex(change.after, 8),
                     BitsChanged(change.before, change.after)});
    } else {
      others.Add({BdfText(change.bdf), "+" + Hex(change.offset, 3), Hex(change.before, 8),
                  Hex(change.after, 8)});
    }
  }
  if (rootPorts.Rows() == 0) {
    out << "  none\n";
  } else {
    rootPorts.Print(out);
  }
  if (others.Rows() != 0) {
    out << "\nOther configuration registers left changed\n";
    others.Print(out);
  }
  std::vector<PciWrite> dropped = DroppedWrites(result);
  if (!dropped.empty()) {
    out << "\nWrites to absent functions (dropped by the bus)\n";
    TextTable table({"function", "register", "value"});
    for (const PciWrite &write : dropped) {
      table.Add({BdfText(write.bdf), "+" + Hex(write.offset, 3), Hex(write.after, 8)});
    }
    table.Print(out);
  }
}

}  // namespace emu
