// Setup-driven root-port adjustment: runs again on every installation of its trigger.
#include "SlotServices.h"

VOID EFIAPI RootPortAdjustNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
}
