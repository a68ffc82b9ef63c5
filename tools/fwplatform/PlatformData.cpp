// What the earlier boot phase and the setup would have left for the drivers: the stack-bus HOB
// and the Setup variable.
#include "FwPlatform.h"
#include "PciAccess.h"
#include "SetupVariable.h"

EFI_STATUS WriteSetupVariable() {
  if (!gScenario->SetupPresent) {
    EFI_STATUS Status =
        gRuntime->SetVariable(kSetupVariableName, &gSetupVariableGuid, 0, 0, nullptr);
    return Status == EFI_NOT_FOUND ? EFI_SUCCESS : Status;
  }
  if (gScenario->SetupSize > FW_MAX_SETUP_SIZE) return EFI_INVALID_PARAMETER;
  return gRuntime->SetVariable(
      kSetupVariableName, &gSetupVariableGuid,
      EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS,
      gScenario->SetupSize, gScenario->Setup);
}

// The firmware's list is copied up to its end HOB (the hand-off HOB's end pointer can be stale,
// so the walk decides), the stack-bus HOB is appended, and the copy replaces the list in the
// configuration table, where the drivers look for it.
EFI_STATUS InstallStackBusHob() {
  if (gScenario->StackBusBytes == 0) return EFI_SUCCESS;
  if (gScenario->StackBusBytes > FW_MAX_STACK_BUS_BYTES) return EFI_INVALID_PARAMETER;
  const UINT8 *List = static_cast<const UINT8 *>(ConfigurationTable(gEfiHobListGuid));
  if (List == nullptr) return EFI_NOT_FOUND;
  UINTN Length = 0;
  for (;;) {
    const auto *Header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(List + Length);
    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) break;
    if (Header->HobLength < sizeof(EFI_HOB_GENERIC_HEADER)) return EFI_VOLUME_CORRUPTED;
    Length += Header->HobLength;
  }
  const UINTN DataSize = STACK_BUS_TABLE_OFFSET + gScenario->StackBusBytes;
  const UINTN HobSize = (sizeof(EFI_HOB_GUID_TYPE) + DataSize + 7) & ~UINTN{7};
  UINT8 *Copy = static_cast<UINT8 *>(AllocateZeroed(Length + HobSize + 8));
  CopyBytes(Copy, List, Length);
  auto *StackBus = reinterpret_cast<EFI_HOB_GUID_TYPE *>(Copy + Length);
  StackBus->Header = {EFI_HOB_TYPE_GUID_EXTENSION, static_cast<UINT16>(HobSize), 0};
  StackBus->Name = gStackBusHobGuid;
  CopyBytes(Copy + Length + sizeof(EFI_HOB_GUID_TYPE) + STACK_BUS_TABLE_OFFSET, gScenario->StackBus,
            gScenario->StackBusBytes);
  auto *End = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(Copy + Length + HobSize);
  *End = {EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), 0};
  return gBoot->InstallConfigurationTable(&gEfiHobListGuid, Copy);
}
