// Setup-driven root-port adjustment: runs again on every installation of its trigger.
#include "BoardInfoProtocol.h"
#include "BoardSlotService.h"
#include "DebugReport.h"
#include "DriverFrame.h"
#include "PciAccess.h"
#include "SetupVariable.h"

// The add-in device the adjustment is for, looked for as device 4, function 0 on the root
// port's subordinate bus: device ID 0x8017 above vendor ID 0x9005.
constexpr UINT32 ADJUSTED_DEVICE_ID = 0x80179005;
constexpr UINT8 ADJUSTED_DEVICE_NUMBER = 4;

// Root-port register whose bit 13 is cleared above that device.
constexpr UINT32 ROOT_PORT_ADJUST_REGISTER = 0x15C;
constexpr UINT32 ROOT_PORT_ADJUST_BIT = 0x2000;

VOID EFIAPI RootPortAdjustNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  if (gStartAbandoned) {  // the start failed but had to stay: nothing to do
    return;
  }

  if (ReadSetupOption(SETUP_ROOT_PORT_ADJUST_OFFSET) <= 0) {  // off, or no variable
    DEBUG_REPORT((DEBUG_INFO, "BoardSlotService: root-port adjustment off\n"));
    return;
  }

  BOARD_INFO_PROTOCOL *Board = GetBoardInfoProtocol();
  for (UINT8 SlotIndex : kExpansionSlotIndexes) {
    if (Board->GetSlotLocation(SlotIndex) == 0) {
      continue;
    }
    const UINT16 RootPort = ResolveRootPortBdf(Board->GetSlotLocation(SlotIndex));
    const UINT8 Bus = PciRead8(RootPort, PCI_SUBORDINATE_BUS_OFFSET);
    if (PciRead32(PciBdf(Bus, ADJUSTED_DEVICE_NUMBER, 0), PCI_VENDOR_ID_OFFSET) ==
        ADJUSTED_DEVICE_ID) {
      // A register that reads all ones did not answer; written back, it would set every bit.
      const UINT32 Control = PciRead32(RootPort, ROOT_PORT_ADJUST_REGISTER);
      if (Control != PCI_ABSENT_ID) {
        PciWrite32(RootPort, ROOT_PORT_ADJUST_REGISTER, Control & ~ROOT_PORT_ADJUST_BIT);
        DEBUG_REPORT((DEBUG_INFO,
                      "BoardSlotService: slot %u root port %02x:%02x.%x register 0x15C 0x%08x -> "
                      "0x%08x\n",
                      SlotIndex, BdfBus(RootPort), BdfDevice(RootPort), BdfFunction(RootPort),
                      Control, Control & ~ROOT_PORT_ADJUST_BIT));
      } else {
        DEBUG_REPORT((DEBUG_WARN,
                      "BoardSlotService: slot %u root port %02x:%02x.%x register 0x15C reads all "
                      "ones: not written\n",
                      SlotIndex, BdfBus(RootPort), BdfDevice(RootPort), BdfFunction(RootPort)));
      }
    }
  }
}
