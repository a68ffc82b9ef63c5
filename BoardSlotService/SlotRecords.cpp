// SMBIOS slot records: the work runs once, when the platform's slot-records trigger appears.
// The KVRN module's records come first, then the riser's.
#include "BoardSlotService.h"
#include "DriverFrame.h"

VOID EFIAPI SmbiosSlotNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Context;
  if (gStartAbandoned) {  // the start failed but had to stay: nothing to do
    return;
  }
  gBS->CloseEvent(Event);
  UINT8 RiserType = GetBoardInfoProtocol()->QueryBoardByte(BOARD_BYTE_RISER_TYPE);
  UpdateKvrnSlotRecords();
  AddRiserSlotRecords(RiserType);
}

// Each routine looks the protocol up for its own run; nothing caches it.
SMBIOS_EDIT_PROTOCOL *LocateSmbiosEdit() {
  VOID *Interface = nullptr;
  if (EFI_ERROR(gBS->LocateProtocol(&gSmbiosEditProtocolGuid, nullptr, &Interface))) {
    return nullptr;
  }
  return static_cast<SMBIOS_EDIT_PROTOCOL *>(Interface);
}
