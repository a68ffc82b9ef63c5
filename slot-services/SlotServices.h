// BoardSlotService's routines, in the order the firmware meets them.
#ifndef SLOT_SERVICES_SLOT_SERVICES_H_
#define SLOT_SERVICES_SLOT_SERVICES_H_

#include "BoardHookProtocol.h"
#include "SmbiosEditProtocol.h"
#include "Uefi.h"

EFI_STATUS BoardSlotServiceMain();
VOID AssignKvrnPorts();

VOID EFIAPI ReadyToBootNotify(EFI_EVENT Event, VOID *Context);
VOID EFIAPI SmbiosSlotNotify(EFI_EVENT Event, VOID *Context);
VOID EFIAPI RootPortAdjustNotify(EFI_EVENT Event, VOID *Context);

// SMBIOS slot records, run from SmbiosSlotNotify.
SMBIOS_EDIT_PROTOCOL *LocateSmbiosEdit();
VOID UpdateKvrnSlotRecords();
VOID SetKvrnSlotWidth(SMBIOS_EDIT_PROTOCOL *Smbios, UINT8 Width);
VOID AddRiserSlotRecords(UINT8 RiserType);

// The interface installed under gBoardHookProtocolGuid, static data of the image.
extern const BOARD_HOOK_PROTOCOL mBoardHookProtocol;

#endif  // SLOT_SERVICES_SLOT_SERVICES_H_
