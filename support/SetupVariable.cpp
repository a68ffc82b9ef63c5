#include "SetupVariable.h"

#include "DebugReport.h"
#include "DriverFrame.h"

// Only the one byte is looked at, and only where the variable's own size says it was written.
// That byte is cleared first, so a GetVariable that reports success without writing it leaves
// it off, never whatever the stack held; the rest of the buffer needs no clearing (filling its
// 3,820 bytes cost each pass more than all its other work).
INTN ReadSetupOption(UINTN Offset) {
  UINT8 Setup[SETUP_VARIABLE_BUFFER_SIZE];
  Setup[Offset] = 0;
  UINTN Size = sizeof(Setup);
  const EFI_STATUS Status =
      gRT->GetVariable(kSetupVariableName, &gSetupVariableGuid, nullptr, &Size, Setup);
  if (EFI_ERROR(Status)) {
    if (Status == EFI_BUFFER_TOO_SMALL) {
      DEBUG_REPORT((DEBUG_WARN,
                    "%a: Setup of %lu bytes is past the %lu-byte buffer: byte %lu off\n",
                    gEfiCallerBaseName, Size, SETUP_VARIABLE_BUFFER_SIZE, Offset));
    } else {
      DEBUG_REPORT((DEBUG_WARN, "%a: Setup not read: %r: byte %lu off\n", gEfiCallerBaseName,
                    Status, Offset));
    }
    return SETUP_VARIABLE_UNREAD;
  }
  if (Offset >= Size) {
    DEBUG_REPORT((DEBUG_WARN, "%a: Setup of %lu bytes has no byte %lu: off\n", gEfiCallerBaseName,
                  Size, Offset));
    return 0;
  }
  return Setup[Offset];
}
