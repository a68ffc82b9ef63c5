#include "ReportCompare.h"

#include <algorithm>

#include "PciBoard.h"
#include "ScenarioFile.h"

namespace differential {

namespace {

using json = nlohmann::ordered_json;

std::string Text(const json &value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

class Comparison {
 public:
  void Same(const std::string &field, const json &emulated, const json &firmware) {
    if (emulated != firmware) differences.push_back({field, Text(emulated), Text(firmware)});
  }
  // Two lists whose order counts, matched along their longest common run: an entry only one
  // side has is one difference, and does not shift every entry after it.
  void Sequences(const std::string &field, const json &emulated, const json &firmware) {
    const size_t n = emulated.size(), m = firmware.size();
    std::vector<std::vector<uint32_t>> common(n + 1, std::vector<uint32_t>(m + 1, 0));
    for (size_t i = n; i-- > 0;) {
      for (size_t j = m; j-- > 0;) {
        common[i][j] = emulated[i] == firmware[j] ? common[i + 1][j + 1] + 1
                                                  : std::max(common[i + 1][j], common[i][j + 1]);
      }
    }
    size_t i = 0, j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && emulated[i] == firmware[j]) {
        ++i;
        ++j;
      } else if (j == m || (i < n && common[i + 1][j] >= common[i][j + 1])) {
        Same(field + "[" + std::to_string(i) + "]", emulated[i], "none");
        ++i;
      } else {
        Same(field + "[" + std::to_string(j) + "]", "none", firmware[j]);
        ++j;
      }
    }
  }
  std::vector<Difference> differences;
};

json OwnStructures(const json &structures) {
  json own = json::array();
  for (const json &s : structures) {
    if (fw::FirmwareBuildsType(s.at("type").get<uint8_t>())) continue;
    json entry = s;
    entry.erase("handle");
    // The handle is the platform's: bytes 2 and 3 of the formatted area.
    std::string bytes = entry.at("bytes").get<std::string>();
    if (bytes.size() >= 8) bytes.replace(4, 4, "....");
    entry["bytes"] = bytes;
    own.push_back(entry);
  }
  return own;
}

json DriverByName(const json &drivers, const std::string &name) {
  for (const json &driver : drivers) {
    if (driver.at("name") == name) return driver;
  }
  return nullptr;
}

}  // namespace

std::vector<Difference> CompareReports(const json &emulated, const json &firmware) {
  Comparison c;
  // Drivers: resident or not; a resident driver's entry point returned success in both. The
  // firmware's DXE core does not pass on an unloaded driver's status.
  for (const json &driver : emulated.at("drivers")) {
    const std::string name = driver.at("name");
    json other = DriverByName(firmware.at("drivers"), name);
    if (other.is_null()) {
      c.Same("drivers." + name, "dispatched", "not dispatched");
      continue;
    }
    c.Same("drivers." + name + ".resident", driver.at("resident"), other.at("resident"));
    if (driver.at("resident") == true && other.at("resident") == true) {
      c.Same("drivers." + name + ".status", driver.at("status"), other.at("status"));
    }
  }
  // The slot table lists the same slots in the same order on both sides.
  const json &slots = emulated.at("slots");
  for (size_t i = 0; i < slots.size() && i < firmware.at("slots").size(); ++i) {
    const json &other = firmware.at("slots")[i];
    const std::string at = "slots[" + Text(slots[i].at("index")) + "]";
    c.Same(at + ".index", slots[i].at("index"), other.at("index"));
    c.Same(at + ".before", slots[i].at("before"), other.at("before"));
    c.Same(at + ".after", slots[i].at("after"), other.at("after"));
  }
  c.Same("slots.count", slots.size(), firmware.at("slots").size());
  c.Sequences("smbios.structures", OwnStructures(emulated.at("smbios").at("structures")),
              OwnStructures(firmware.at("smbios").at("structures")));
  c.Sequences("menus.edits", emulated.at("menus").at("edits"), firmware.at("menus").at("edits"));
  for (const char *key : {"collected", "status", "primary", "secondary"}) {
    c.Same(std::string("nicMacs.") + key, emulated.at("nicMacs").at(key),
           firmware.at("nicMacs").at(key));
  }
  for (const char *list : {"rootPorts", "otherRegisters"}) {
    c.Sequences(std::string("pci.") + list, emulated.at("pci").at(list),
                firmware.at("pci").at(list));
  }
  return c.differences;
}

std::vector<Difference> CompareTopology(const emu::BoardDescription &described,
                                        const emu::BoardDescription &seen) {
  Comparison c;
  auto where = [](const emu::PciFunction &function) -> json {
    if (!function.rootPort) return "endpoint";
    return "root port, buses " + emu::Hex(function.secondaryBus, 2) + " to " +
           emu::Hex(function.subordinateBus, 2);
  };
  for (const auto &[bdf, function] : described.pci) {
    auto other = seen.pci.find(bdf);
    c.Same("board.pci " + emu::BdfText(bdf), where(function),
           other == seen.pci.end() ? json("absent") : where(other->second));
  }
  for (const auto &[bdf, function] : seen.pci) {
    if (described.pci.count(bdf) == 0) {
      c.Same("board.pci " + emu::BdfText(bdf), "absent", where(function));
    }
  }
  return c.differences;
}

}  // namespace differential
