// Field-by-field comparison of two boardsim JSON reports of one board: the emulator's and real
// firmware's. Only what the platform owns may differ: SMBIOS handles, the structures the
// firmware builds itself, the status of a driver the firmware unloaded, writes to functions that
// are not there, the call log and the platform's own checks.
#ifndef TOOLS_DIFFERENTIAL_REPORT_COMPARE_H_
#define TOOLS_DIFFERENTIAL_REPORT_COMPARE_H_

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Board.h"

namespace differential {

struct Difference {
  std::string field;  // "slots[172].after", "smbios.structures[3].bytes", ...
  std::string emulated;
  std::string firmware;
};

std::vector<Difference> CompareReports(const nlohmann::ordered_json &emulated,
                                       const nlohmann::ordered_json &firmware);

// The PCI topology the firmware made against the one the board describes: root ports at the same
// place forwarding the same buses, and every endpoint where the board put it.
std::vector<Difference> CompareTopology(const emu::BoardDescription &described,
                                        const emu::BoardDescription &seen);

}  // namespace differential

#endif  // TOOLS_DIFFERENTIAL_REPORT_COMPARE_H_
