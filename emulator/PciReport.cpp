// boardsim's report of the PCI side: the MAC addresses the board hook protocol returned and the
// configuration registers the drivers left changed.
#include "PciReport.h"

#include <cstdio>
#include <map>
#include <utility>

namespace emu {

namespace {

void ListMacs(std::ostream &out, const char *name, const std::vector<MacAddress> &macs) {
  char label[16];
  std::snprintf(label, sizeof(label), "  %-11s", name);
  if (macs.empty()) out << label << "(none)\n";
  for (size_t k = 0; k < macs.size(); ++k) {
    out << (k == 0 ? std::string(label) : std::string(13, ' ')) << MacText(macs[k]) << "\n";
  }
}

std::string SetupByteText(const BoardDescription &board, size_t offset) {
  const Variable *setup = board.FindVariable(u"Setup", gSetupVariableGuid);
  if (setup == nullptr) return "no Setup variable";
  if (setup->data.size() <= offset) return "Setup variable too short for byte 331";
  return "Setup byte 331 = " + std::to_string(setup->data[offset]);
}

}  // namespace

void ReportNicMacs(std::ostream &out, const BootResult &result) {
  out << "Onboard NIC MAC addresses (board hook protocol)\n";
  if (!result.nicMacs.collected) {
    out << "  not asked: the board hook protocol is not installed\n";
    return;
  }
  ListMacs(out, "primary", result.nicMacs.primary);
  ListMacs(out, "secondary", result.nicMacs.secondary);
}

void ReportConfigurationChanges(std::ostream &out, const BootResult &result) {
  // Net effect per register: the value before the first write and after the last.
  std::map<std::pair<uint16_t, uint16_t>, std::pair<uint32_t, uint32_t>> changes;
  std::vector<PciWrite> dropped;
  for (const PciWrite &write : result.pciWrites) {
    if (write.dropped) {
      dropped.push_back(write);
      continue;
    }
    auto [it, fresh] = changes.try_emplace({write.bdf, write.offset}, write.before, write.after);
    if (!fresh) it->second.second = write.after;
  }

  out << "Root ports whose register 0x15C changed (CPU signature "
      << Hex(CpuSignature(result.board), 4) << ", " << SetupByteText(result.board, 331) << ")\n";
  std::vector<std::string> others;
  bool anyRootPort = false;
  for (const auto &[where, values] : changes) {
    const auto &[bdf, offset] = where;
    if (values.first == values.second) continue;
    auto function = result.board.pci.find(bdf);
    bool rootPort = function != result.board.pci.end() && function->second.rootPort;
    std::string line = "  " + BdfText(bdf);
    if (rootPort && offset == kRootPortRegister15C) {
      out << line << "  " << Hex(values.first, 8) << " -> " << Hex(values.second, 8) << "\n";
      anyRootPort = true;
    } else {
      others.push_back(line + " +" + Hex(offset, 3) + "  " + Hex(values.first, 8) + " -> " +
                       Hex(values.second, 8));
    }
  }
  if (!anyRootPort) out << "  none\n";
  if (!others.empty()) {
    out << "\nOther configuration registers left changed\n";
    for (const std::string &line : others) out << line << "\n";
  }
  if (!dropped.empty()) {
    out << "\nWrites to absent functions (dropped by the bus)\n";
    for (const PciWrite &write : dropped) {
      out << "  " << BdfText(write.bdf) << " +" << Hex(write.offset, 3) << "  "
          << Hex(write.after, 8) << "\n";
    }
  }
}

}  // namespace emu
