// MenuPruner's routines, in the order the firmware meets them, and the setup's form-set titles.
#ifndef MENU_PRUNER_MENU_PRUNER_H_
#define MENU_PRUNER_MENU_PRUNER_H_

#include "DebugReport.h"
#include "SetupEditProtocol.h"
#include "Uefi.h"

// Runs each time a setup edit protocol is installed, after the riser edits.
VOID EFIAPI KvrnLabelsNotify(EFI_EVENT Event, VOID *Context);

// Takes "Setup" 551 out of use when the onboard NIC's root port is absent and Setup asks for it.
VOID SuppressAbsentOnboardNicItem(SETUP_EDIT_PROTOCOL *SetupEdit);

// The setup edit protocol as installed now, or null. Each notify asks afresh and keeps nothing.
SETUP_EDIT_PROTOCOL *LocateSetupEdit();

// A setup edit's status is not looked at: a failed edit does not stop the ones after it. DEBUG
// images report it.
inline VOID ReportFailedEdit(const CHAR8 *Call, const CHAR8 *FormSet, UINT16 Id,
                             EFI_STATUS Status) {
  if (EFI_ERROR(Status)) {
    DEBUG_REPORT((DEBUG_WARN, "MenuPruner: %a(\"%a\", %u): %r\n", Call, FormSet, Id, Status));
  }
}

// Form-set titles as the setup edit protocol names them.
inline constexpr CHAR8 SETUP_FORM_SET[] = "Setup";
inline constexpr CHAR8 SOCKET_CONFIGURATION_FORM_SET[] = "Socket Configuration";

#endif  // MENU_PRUNER_MENU_PRUNER_H_
