// A debug line as the report, the trace and the JSON show it.
#ifndef EMULATOR_INTERNAL_DEBUG_LOG_TEXT_H_
#define EMULATOR_INTERNAL_DEBUG_LOG_TEXT_H_

#include <string>

#include "DebugLog.h"

namespace emu {

// The line without its "\r\n", every other unprintable byte as \xNN; for a report that does not
// unpack, why.
std::string DebugLineText(const DebugLine &line);

}  // namespace emu

#endif  // EMULATOR_INTERNAL_DEBUG_LOG_TEXT_H_
