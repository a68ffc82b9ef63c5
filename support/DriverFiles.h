// The FFS files we ship: each driver's fixed file GUID, as a platform's FDF and the DXE core's
// loaded-image device paths name it, and as a DEBUG image names itself when it reports (the
// caller of its status codes). DEBUG and RELEASE builds of a driver share the file GUID.
#ifndef SUPPORT_DRIVER_FILES_H_
#define SUPPORT_DRIVER_FILES_H_

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

// Called only where a name is not in the table: no constant evaluation gets past it.
VOID NotADriverWeShip();

// The file GUID of the driver of that name; a name not in the table does not compile.
consteval EFI_GUID DriverFileGuid(const char *Name) {
  for (const DRIVER_FILE &File : kDriverFiles) {
    UINTN Index = 0;
    while (File.Name[Index] != '\0' && File.Name[Index] == Name[Index]) ++Index;
    if (File.Name[Index] == Name[Index]) return File.FileGuid;
  }
  NotADriverWeShip();
  return {};
}

#endif  // SUPPORT_DRIVER_FILES_H_
