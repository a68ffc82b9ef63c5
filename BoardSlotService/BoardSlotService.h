// BoardSlotService's routines, in the order the firmware meets them.
#ifndef BOARD_SLOT_SERVICE_BOARD_SLOT_SERVICE_H_
#define BOARD_SLOT_SERVICE_BOARD_SLOT_SERVICE_H_

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
// Appends the MAC address of one function of the onboard network controller (a BDF) to a
// NIC_MAC_LIST; the board hook protocol's CollectNicMacAddresses calls it per function.
EFI_STATUS ReadNicMacAddress(UINT16 Function, UINT8 *List);

// The interface installed under gBoardHookProtocolGuid, static data of the image.
extern const BOARD_HOOK_PROTOCOL mBoardHookProtocol;

#endif  // BOARD_SLOT_SERVICE_BOARD_SLOT_SERVICE_H_
