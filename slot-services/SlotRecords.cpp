// SMBIOS slot records: the work runs once, when the platform's slot-records trigger appears.
#include "DriverFrame.h"
#include "SlotServices.h"

VOID EFIAPI SmbiosSlotNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Context;
  gBS->CloseEvent(Event);
}
