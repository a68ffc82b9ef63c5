#include "ScenarioFile.h"

#include <cstring>

#include "Scenario.h"

namespace fw {

bool BuildScenario(const emu::BoardDescription &board, std::vector<uint8_t> &scenario,
                   std::string &why) {
  FW_SCENARIO file{};
  file.Magic = FW_SCENARIO_MAGIC;
  file.Version = FW_SCENARIO_VERSION;
  for (const auto &[id, value] : board.boardBytes) {
    if (id < 256) file.BoardBytes[id] = value;
  }
  for (const auto &[index, code] : board.slots) {
    if (index >= 256) {
      why = "slot index " + std::to_string(index) + " is beyond the scenario's slot table";
      return false;
    }
    file.Slots[index] = code;
  }
  scenario.resize(sizeof(file));
  std::memcpy(scenario.data(), &file, sizeof(file));
  return true;
}

}  // namespace fw
