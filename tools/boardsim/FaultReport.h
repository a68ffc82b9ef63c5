// What boardsim says about faults besides the report: the list of members a fault can fail,
// and the faults a boot refused or never matched.
#ifndef TOOLS_BOARDSIM_FAULT_REPORT_H_
#define TOOLS_BOARDSIM_FAULT_REPORT_H_

#include <string>
#include <vector>

#include "Boot.h"

namespace boardsim {

// --list-faults: every member a fault can fail, from the emulator's own table.
std::string FaultList();

// One line for each fault that named a single call the dispatch dependency guarantees: such a
// fault is refused, and the boot it was given for means nothing.
std::vector<std::string> RefusedFaults(const emu::BootResult &result);
// One line for each fault that matched no call of the boot.
std::vector<std::string> UnmatchedFaults(const emu::BootResult &result);

}  // namespace boardsim

#endif  // TOOLS_BOARDSIM_FAULT_REPORT_H_
