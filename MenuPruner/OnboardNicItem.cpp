// Onboard NIC absence item: "Setup" 551 is taken out of use when the onboard network
// controller's root port does not answer and the Setup variable asks for it.
#include "BoardInfoProtocol.h"
#include "DriverFrame.h"
#include "MenuPruner.h"
#include "PciAccess.h"
#include "SetupVariable.h"

constexpr UINT16 ONBOARD_NIC_ITEM_ID = 551;

VOID SuppressAbsentOnboardNicItem(SETUP_EDIT_PROTOCOL *SetupEdit) {
  const INTN Suppress = ReadSetupOption(SETUP_ONBOARD_NIC_ABSENT_OFFSET);
  if (Suppress == SETUP_VARIABLE_UNREAD) {
    return;
  }
  const UINT16 RootPort =
      ResolveRootPortBdf(GetBoardInfoProtocol()->GetSlotLocation(SLOT_INDEX_ONBOARD_NIC));
  if (PciRead32(RootPort, PCI_VENDOR_ID_OFFSET) == PCI_ABSENT_ID &&
      Suppress == SETUP_ONBOARD_NIC_ABSENT_SUPPRESS) {
    ReportFailedEdit("SuppressItem", SETUP_FORM_SET, ONBOARD_NIC_ITEM_ID,
                     SetupEdit->SuppressItem(SETUP_FORM_SET, ONBOARD_NIC_ITEM_ID));
    DEBUG_REPORT((DEBUG_INFO,
                  "MenuPruner: onboard NIC root port %02x:%02x.%x absent: Setup %u "
                  "suppressed\n",
                  BdfBus(RootPort), BdfDevice(RootPort), BdfFunction(RootPort),
                  ONBOARD_NIC_ITEM_ID));
  }
}
