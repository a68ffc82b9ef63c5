#include "SetupVariable.h"

#include "DriverFrame.h"

// Only the one byte is looked at, and only where the variable's own size says it was written,
// so the buffer needs no clearing: filling its 3,820 bytes cost each pass more than all its
// other work.
INTN ReadSetupOption(UINTN Offset) {
  UINT8 Setup[SETUP_VARIABLE_BUFFER_SIZE];
  UINTN Size = sizeof(Setup);
  if (EFI_ERROR(gRT->GetVariable(kSetupVariableName, &gSetupVariableGuid, nullptr, &Size, Setup))) {
    return SETUP_VARIABLE_UNREAD;
  }
  return Offset < Size ? Setup[Offset] : 0;
}
