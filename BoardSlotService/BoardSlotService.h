// BoardSlotService's routines, in the order the firmware meets them.
#ifndef BOARD_SLOT_SERVICE_BOARD_SLOT_SERVICE_H_
#define BOARD_SLOT_SERVICE_BOARD_SLOT_SERVICE_H_

#include "BoardHookProtocol.h"
#include "SmbiosEditProtocol.h"
#include "Uefi.h"

// Notify functions the start registers.
VOID EFIAPI SmbiosSlotNotify(EFI_EVENT Event, VOID *Context);
VOID EFIAPI RootPortAdjustNotify(EFI_EVENT Event, VOID *Context);

// SMBIOS slot records, run from SmbiosSlotNotify.
SMBIOS_EDIT_PROTOCOL *LocateSmbiosEdit();
VOID UpdateKvrnSlotRecords();
VOID AddRiserSlotRecords(UINT8 RiserType);

// The interface installed under gBoardHookProtocolGuid, static data of the image.
extern const BOARD_HOOK_PROTOCOL mBoardHookProtocol;

#endif  // BOARD_SLOT_SERVICE_BOARD_SLOT_SERVICE_H_
