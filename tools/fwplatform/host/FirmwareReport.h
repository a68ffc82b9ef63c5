// The part of boardsim's report only a real-firmware boot has: which firmware ran, and how its
// DXE core dispatched the drivers, in the emulated report's words and status names.
#ifndef TOOLS_FWPLATFORM_HOST_FIRMWARE_REPORT_H_
#define TOOLS_FWPLATFORM_HOST_FIRMWARE_REPORT_H_

#include <string>

#include "FirmwareBoot.h"

namespace fw {

std::string FormatFirmwareDispatch(const FirmwareBoot &boot);

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_FIRMWARE_REPORT_H_
