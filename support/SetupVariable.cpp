#include "SetupVariable.h"

#include "DriverFrame.h"
#include "MemRoutines.h"

bool ReadSetupVariable(UINT8 (&Buffer)[SETUP_VARIABLE_BUFFER_SIZE]) {
  SetMem(Buffer, sizeof(Buffer), 0);
  UINTN Size = sizeof(Buffer);
  return !EFI_ERROR(
      gRT->GetVariable(kSetupVariableName, &gSetupVariableGuid, nullptr, &Size, Buffer));
}
