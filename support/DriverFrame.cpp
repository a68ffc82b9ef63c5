#include "DriverFrame.h"

#include "DebugReport.h"
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
constinit BOOLEAN gStartAbandoned = FALSE;

static VOID *FetchHobList();

EFI_STATUS InitializeDriverFrame(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  gRT = SystemTable->RuntimeServices;

  // Every driver on this board holds an 8 KiB boot-services pool from its start on; the
  // platform's memory plan counts it, whether or not a driver writes to it. Nothing in these
  // drivers uses it, but dropping it would change the pool the platform expects them to hold.
  // It goes only when the start fails and the image is unloaded.
  if (gScratchPool == nullptr) {
    gScratchPoolSize = SCRATCH_POOL_SIZE;
    const EFI_STATUS Status =
        gBS->AllocatePool(EfiBootServicesData, SCRATCH_POOL_SIZE, &gScratchPool);
    if (EFI_ERROR(Status)) {
      gScratchPool = nullptr;
      DEBUG_REPORT((DEBUG_WARN, "%a: no scratch pool: %r\n", gEfiCallerBaseName, Status));
    }
  }

  // The frame keeps the DXE services table, as the board's driver contract says, though neither
  // driver calls into it. The lookup only reads the configuration table; keep it, and keep it
  // before InitNotify.
  if (EFI_ERROR(FindConfigurationTable(&gEfiDxeServicesTableGuid, &gDxeServices))) {
    DEBUG_REPORT((DEBUG_WARN, "%a: no DXE services table\n", gEfiCallerBaseName));
  }

  // Every board driver announces itself to the board information protocol with this board's
  // value, 22, before it asks anything else of it. Nothing here depends on what the protocol
  // does with it, but the protocol expects the call from each driver, once, at its start.
  GetBoardInfoProtocol()->InitNotify(BOARD_INFO_INIT_VALUE);

  if (FetchHobList() == nullptr) {
    DEBUG_REPORT((DEBUG_WARN, "%a: no HOB list\n", gEfiCallerBaseName));
  }

  if (gRegisterAccess == nullptr) {
    VOID *Interface = nullptr;
    const EFI_STATUS Status =
        gBS->LocateProtocol(&gRegisterAccessProtocolGuid, nullptr, &Interface);
    if (!EFI_ERROR(Status)) {
      gRegisterAccess = static_cast<REGISTER_ACCESS_PROTOCOL *>(Interface);
    } else {
      DEBUG_REPORT(
          (DEBUG_ERROR, "%a: no register access protocol: %r\n", gEfiCallerBaseName, Status));
    }
  }
  return EFI_SUCCESS;
}

BOOLEAN ReleaseScratchPool() {
  if (gScratchPool != nullptr) {
    const EFI_STATUS Status = gBS->FreePool(gScratchPool);
    if (EFI_ERROR(Status)) {
      DEBUG_REPORT((DEBUG_ERROR, "%a: scratch pool not freed, it stays allocated: %r\n",
                    gEfiCallerBaseName, Status));
      return FALSE;
    }
    gScratchPool = nullptr;
  }
  return TRUE;
}

VOID WithdrawEvent(EFI_EVENT Event) {
  const EFI_STATUS Status = gBS->CloseEvent(Event);
  if (EFI_ERROR(Status)) {
    DEBUG_REPORT((DEBUG_ERROR, "%a: event of the failed start not closed: %r\n", gEfiCallerBaseName,
                  Status));
    gStartAbandoned = TRUE;
  }
}

// An abandoned start keeps its pool with the image. Otherwise the pool goes, and a refused
// release still fails the start: nothing points into the image then, so it may be unloaded,
// and the 8 KiB left allocated is a leak the platform can live with, unlike a driver that
// reports a start it did not make.
EFI_STATUS EndFailedStart(EFI_STATUS Status) {
  if (gStartAbandoned) {
    DEBUG_REPORT((DEBUG_ERROR,
                  "%a: start failed (%r) but cannot withdraw: stays resident, does nothing\n",
                  gEfiCallerBaseName, Status));
    return EFI_SUCCESS;
  }
  ReleaseScratchPool();
  DEBUG_REPORT((DEBUG_ERROR, "%a: start failed: %r\n", gEfiCallerBaseName, Status));
  return Status;
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
      DEBUG_REPORT((DEBUG_WARN, "%a: HOB list damaged at %p (length %u): walk ends\n",
                    gEfiCallerBaseName, Hob, Header->HobLength));
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

BOARD_INFO_PROTOCOL *GetBoardInfoProtocol() {
  if (gBoardInfo == nullptr) {
    VOID *Interface = nullptr;
    if (!EFI_ERROR(gBS->LocateProtocol(&gBoardInfoProtocolGuid, nullptr, &Interface))) {
      gBoardInfo = static_cast<BOARD_INFO_PROTOCOL *>(Interface);
    }
  }
  return gBoardInfo;
}
