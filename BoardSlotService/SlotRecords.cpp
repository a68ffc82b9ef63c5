// SMBIOS slot records: the work runs once, when the platform's slot-records trigger appears.
// The KVRN module's records come first, then the riser's.
#include "BoardSlotService.h"
#include "DebugReport.h"
#include "DriverFrame.h"

VOID EFIAPI SmbiosSlotNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Context;
  if (gStartAbandoned) {  // the start failed but had to stay: nothing to do
    return;
  }
  const EFI_STATUS Closed = gBS->CloseEvent(Event);
  if (EFI_ERROR(Closed)) {
    DEBUG_REPORT((DEBUG_WARN, "BoardSlotService: slot-records event not closed: %r\n", Closed));
  }
  UINT8 RiserType = GetBoardInfoProtocol()->QueryBoardByte(BOARD_BYTE_RISER_TYPE);
  UpdateKvrnSlotRecords();
  AddRiserSlotRecords(RiserType);
}

// Each routine looks the protocol up for its own run; nothing caches it.
SMBIOS_EDIT_PROTOCOL *LocateSmbiosEdit() {
  VOID *Interface = nullptr;
  const EFI_STATUS Status = gBS->LocateProtocol(&gSmbiosEditProtocolGuid, nullptr, &Interface);
  if (EFI_ERROR(Status)) {
    DEBUG_REPORT((DEBUG_WARN, "BoardSlotService: no SMBIOS edit protocol: %r\n", Status));
    return nullptr;
  }
  return static_cast<SMBIOS_EDIT_PROTOCOL *>(Interface);
}
