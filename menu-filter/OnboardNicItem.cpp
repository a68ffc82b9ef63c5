// Onboard NIC absence item: "Setup" 551 is taken out of use when the onboard network
// controller's root port does not answer and the Setup variable asks for it.
#include "MenuPruner.h"

VOID SuppressAbsentOnboardNicItem(SETUP_EDIT_PROTOCOL *SetupEdit) {
  // The onboard NIC check goes here: read the Setup variable, read the first configuration
  // dword of slot index 128's root port, and suppress "Setup" 551 when the port reads all ones
  // and Setup byte 288 is 1. It waits for the PCI configuration access.
  (VOID) SetupEdit;
}
