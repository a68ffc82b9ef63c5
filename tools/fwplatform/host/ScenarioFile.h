// The board description, as the scenario file the real-firmware platform reads.
#ifndef TOOLS_FWPLATFORM_HOST_SCENARIO_FILE_H_
#define TOOLS_FWPLATFORM_HOST_SCENARIO_FILE_H_

#include <vector>

#include "Board.h"

namespace fw {

// Fails (returns false, says why) for a board that real firmware cannot stand for.
bool BuildScenario(const emu::BoardDescription &board, std::vector<uint8_t> &scenario,
                   std::string &why);

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_SCENARIO_FILE_H_
