// The scenario the host hands the real-firmware platform, as a file on the boot volume: the
// board the platform's own drivers would describe. Little-endian, fixed layout.
#ifndef TOOLS_FWPLATFORM_SCENARIO_H_
#define TOOLS_FWPLATFORM_SCENARIO_H_

#include "Uefi.h"

constexpr UINT32 FW_SCENARIO_MAGIC = 0x4E435342;  // "BSCN"
constexpr UINT32 FW_SCENARIO_VERSION = 1;

struct FW_SCENARIO {
  UINT32 Magic;
  UINT32 Version;
  UINT8 BoardBytes[256];  // QueryBoardByte answers by id; larger ids read 0
  UINT32 Slots[256];      // slot location code by slot index; 0: none
};
static_assert(sizeof(FW_SCENARIO) == 8 + 256 + 1024, "scenario layout");

#endif  // TOOLS_FWPLATFORM_SCENARIO_H_
