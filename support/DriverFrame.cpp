#include "DriverFrame.h"

#include "MemRoutines.h"

constinit EFI_SYSTEM_TABLE *gST = nullptr;
constinit EFI_BOOT_SERVICES *gBS = nullptr;
constinit EFI_RUNTIME_SERVICES *gRT = nullptr;
constinit VOID *gScratchPool = nullptr;
constinit UINT64 gScratchPoolSize = 0;
constinit VOID *gDxeServices = nullptr;
constinit VOID *gHobList = nullptr;
constinit REGISTER_ACCESS_PROTOCOL *gRegisterAccess = nullptr;
constinit BOARD_INFO_PROTOCOL *gBoardInfo = nullptr;

static VOID *FetchHobList();

EFI_STATUS InitializeDriverFrame(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  gRT = SystemTable->RuntimeServices;

  if (gScratchPool == nullptr) {
    gScratchPoolSize = SCRATCH_POOL_SIZE;
    if (EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, SCRATCH_POOL_SIZE, &gScratchPool))) {
      gScratchPool = nullptr;
    }
  }

  FindConfigurationTable(&gEfiDxeServicesTableGuid, &gDxeServices);

  GetBoardInfoProtocol()->InitNotify(BOARD_INFO_INIT_VALUE);

  FetchHobList();

  if (gRegisterAccess == nullptr) {
    VOID *Interface = nullptr;
    if (!EFI_ERROR(gBS->LocateProtocol(&gRegisterAccessProtocolGuid, nullptr, &Interface))) {
      gRegisterAccess = static_cast<REGISTER_ACCESS_PROTOCOL *>(Interface);
    }
  }
  return EFI_SUCCESS;
}

VOID ReleaseScratchPool() {
  if (gScratchPool != nullptr) {
    gBS->FreePool(gScratchPool);
    gScratchPool = nullptr;
  }
}

EFI_STATUS FindConfigurationTable(const EFI_GUID *Guid, VOID **Table) {
  *Table = nullptr;
  for (UINTN Index = 0; Index < gST->NumberOfTableEntries; ++Index) {
    const EFI_CONFIGURATION_TABLE *Entry = &gST->ConfigurationTable[Index];
    if (GuidsMatch(&Entry->VendorGuid, Guid)) {
      *Table = Entry->VendorTable;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

static VOID *FetchHobList() {
  if (gHobList == nullptr) {
    FindConfigurationTable(&gEfiHobListGuid, &gHobList);
  }
  return gHobList;
}

VOID *FindGuidHob(const EFI_GUID *Guid) {
  UINT8 *Hob = static_cast<UINT8 *>(FetchHobList());
  if (Hob == nullptr) {
    return nullptr;
  }
  for (;;) {
    const EFI_HOB_GENERIC_HEADER *Header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(Hob);
    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return nullptr;
    }
    // HOB lengths are 8-byte multiples that cover at least their header; anything else means
    // the list is damaged, and stepping by it could loop forever or leave the list. The walk
    // ends only at the end HOB: the hand-off HOB's EfiEndOfHobList is not a bound, since the
    // DXE core moves the list and real firmware leaves that pointer behind.
    if (Header->HobLength < sizeof(EFI_HOB_GENERIC_HEADER) || (Header->HobLength & 7) != 0) {
      return nullptr;
    }
    // A GUID HOB too short to hold its name cannot be the one asked for.
    if (Header->HobType == EFI_HOB_TYPE_GUID_EXTENSION &&
        Header->HobLength >= sizeof(EFI_HOB_GUID_TYPE) &&
        GuidsMatch(&reinterpret_cast<const EFI_HOB_GUID_TYPE *>(Hob)->Name, Guid)) {
      return Hob;
    }
    Hob += Header->HobLength;
  }
}

UINTN GuidHobDataSize(const VOID *GuidHob) {
  return static_cast<const EFI_HOB_GENERIC_HEADER *>(GuidHob)->HobLength - GUID_HOB_DATA_OFFSET;
}

BOARD_INFO_PROTOCOL *GetBoardInfoProtocol() {
  if (gBoardInfo == nullptr) {
    VOID *Interface = nullptr;
    if (!EFI_ERROR(gBS->LocateProtocol(&gBoardInfoProtocolGuid, nullptr, &Interface))) {
      gBoardInfo = static_cast<BOARD_INFO_PROTOCOL *>(Interface);
    }
  }
  return gBoardInfo;
}
