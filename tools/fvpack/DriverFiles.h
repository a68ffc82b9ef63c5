// The FFS files we ship: each driver's fixed file GUID, as a platform's FDF and the DXE core's
// loaded-image device paths name it.
#ifndef TOOLS_FVPACK_DRIVER_FILES_H_
#define TOOLS_FVPACK_DRIVER_FILES_H_

#include "Uefi.h"

struct DRIVER_FILE {
  const char *Name;
  EFI_GUID FileGuid;
};

inline constexpr DRIVER_FILE kDriverFiles[] = {
    {"BoardSlotService",
     {0x7C4B2E91, 0x3A5D, 0x4F08, {0xB6, 0xE2, 0x1D, 0x9A, 0x0C, 0x53, 0xF7, 0xA4}}},
    {"MenuPruner", {0x2E8F6A13, 0xC947, 0x4B5D, {0x8A, 0x21, 0xF0, 0x6E, 0x4D, 0x9B, 0x3C, 0x85}}},
};

#endif  // TOOLS_FVPACK_DRIVER_FILES_H_
