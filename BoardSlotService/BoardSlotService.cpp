// BoardSlotService: places the KVRN module's ports in the board's slot table, publishes the
// board hook protocol and waits for the platform to ask for its slot records and root-port
// adjustment.
#include "BoardSlotService.h"

#include "BoardInfoProtocol.h"
#include "DebugReport.h"
#include "DriverFrame.h"
#include "TriggerProtocols.h"

static EFI_STATUS BoardSlotServiceMain();
static VOID AssignKvrnPorts();
static VOID EFIAPI ReadyToBootNotify(EFI_EVENT Event, VOID *Context);

DRIVER_EXPORT EFI_STATUS EFIAPI BoardSlotServiceEntryPoint(EFI_HANDLE ImageHandle,
                                                           EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverFrame(ImageHandle, SystemTable);
  EFI_STATUS Status = BoardSlotServiceMain();
  if (EFI_ERROR(Status)) {
    Status = EndFailedStart(Status);
  }
  return Status;
}

static EFI_STATUS BoardSlotServiceMain() {
  AssignKvrnPorts();
  // The start's calls all go through the one table the frame recorded.
  EFI_BOOT_SERVICES *BootServices = gBS;

  EFI_HANDLE HookHandle = nullptr;
  VOID *HookInterface = const_cast<BOARD_HOOK_PROTOCOL *>(&mBoardHookProtocol);
  EFI_STATUS HookStatus = BootServices->InstallProtocolInterface(
      &HookHandle, &gBoardHookProtocolGuid, EFI_NATIVE_INTERFACE, HookInterface);
  if (EFI_ERROR(HookStatus)) {
    DEBUG_REPORT(
        (DEBUG_ERROR, "BoardSlotService: board hook protocol not installed: %r\n", HookStatus));
  }

  EFI_EVENT ReadyToBootEvent = nullptr;
  EFI_STATUS ReadyToBootStatus =
      BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ReadyToBootNotify, nullptr,
                                  &gEfiEventReadyToBootGuid, &ReadyToBootEvent);
  if (EFI_ERROR(ReadyToBootStatus)) {
    DEBUG_REPORT(
        (DEBUG_WARN, "BoardSlotService: ReadyToBoot event not created: %r\n", ReadyToBootStatus));
  }

  VOID *Registration = nullptr;
  EFI_EVENT SlotRecordsEvent = nullptr;
  EFI_STATUS SlotRecordsStatus = BootServices->CreateEvent(
      EVT_NOTIFY_SIGNAL, TPL_CALLBACK, SmbiosSlotNotify, nullptr, &SlotRecordsEvent);
  if (!EFI_ERROR(SlotRecordsStatus)) {
    const EFI_STATUS Registered = BootServices->RegisterProtocolNotify(
        &gSlotRecordsTriggerProtocolGuid, SlotRecordsEvent, &Registration);
    if (EFI_ERROR(Registered)) {
      DEBUG_REPORT((DEBUG_ERROR,
                    "BoardSlotService: slot-records trigger not registered: %r: its event can "
                    "never fire, no SMBIOS slot records\n",
                    Registered));
    }
  } else {
    DEBUG_REPORT((DEBUG_ERROR,
                  "BoardSlotService: slot-records event not created: %r: no SMBIOS slot records\n",
                  SlotRecordsStatus));
  }

  EFI_EVENT RootPortEvent = nullptr;
  EFI_STATUS Status = BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK,
                                                RootPortAdjustNotify, nullptr, &RootPortEvent);
  if (!EFI_ERROR(Status)) {
    Status = BootServices->RegisterProtocolNotify(&gRootPortAdjustTriggerProtocolGuid,
                                                  RootPortEvent, &Registration);
    if (!EFI_ERROR(Status)) {
      return Status;
    }
    DEBUG_REPORT((DEBUG_ERROR,
                  "BoardSlotService: root-port adjustment trigger not registered: %r\n", Status));
    WithdrawEvent(RootPortEvent);
  } else {
    DEBUG_REPORT(
        (DEBUG_ERROR, "BoardSlotService: root-port adjustment event not created: %r\n", Status));
  }

  // The start failed and the DXE core will unload this image: nothing registered may still
  // point into it. Whatever the core refuses to withdraw keeps the image (EndFailedStart).
  if (!EFI_ERROR(SlotRecordsStatus)) {
    WithdrawEvent(SlotRecordsEvent);
  }
  if (!EFI_ERROR(ReadyToBootStatus)) {
    WithdrawEvent(ReadyToBootEvent);
  }
  if (!EFI_ERROR(HookStatus) && EFI_ERROR(BootServices->UninstallProtocolInterface(
                                    HookHandle, &gBoardHookProtocolGuid, HookInterface))) {
    DEBUG_REPORT((DEBUG_ERROR, "BoardSlotService: board hook protocol not uninstalled\n"));
    gStartAbandoned = TRUE;
  }
  return Status;
}

// Port B takes the first free expansion slot in walk order, C the next, D the one after; a
// port whose bit is clear takes none. Slots after the last placement are not asked about.
// The first slot is asked about even when no port is to be placed: the board information
// protocol sees this driver's first slot-table query at every start, whatever the KVRN byte
// holds, and the board contract keeps it so. Nothing here needs the answer; do not end the
// walk before it.
static VOID AssignKvrnPorts() {
  static constexpr struct {
    UINT8 Flag;
    UINT32 Code;
  } kKvrnPorts[] = {
      {KVRN_PORT_B, KVRN_PORT_CODE_B},
      {KVRN_PORT_C, KVRN_PORT_CODE_C},
      {KVRN_PORT_D, KVRN_PORT_CODE_D},
  };

  BOARD_INFO_PROTOCOL *Board = GetBoardInfoProtocol();
  UINT8 PortFlags = Board->QueryBoardByte(BOARD_BYTE_KVRN_CONFIG) & KVRN_PORT_MASK;

  for (UINTN Position = 0; Position < EXPANSION_SLOT_COUNT; ++Position) {
    UINTN SlotIndex = kExpansionSlotIndexes[Position];
    if (Board->GetSlotLocation(SlotIndex) == 0) {
      if (PortFlags == 0) {
        return;
      }
      for (const auto &Port : kKvrnPorts) {
        if ((PortFlags & Port.Flag) != 0) {
          Board->SetSlotLocation(SlotIndex, Port.Code);
          DEBUG_REPORT((DEBUG_INFO, "BoardSlotService: KVRN port %c in slot %lu (code 0x%06x)\n",
                        static_cast<CHAR8>('A' + (Port.Code >> 12 & 0xF) - 0xA), SlotIndex,
                        Port.Code));
          PortFlags &= static_cast<UINT8>(~Port.Flag);
          break;
        }
      }
    }
    if (PortFlags == 0) {
      return;
    }
  }
  DEBUG_REPORT((DEBUG_WARN,
                "BoardSlotService: no free expansion slot for the KVRN ports of bits 0x%02x\n",
                PortFlags));
}

static VOID EFIAPI ReadyToBootNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Context;
  const EFI_STATUS Status = gBS->CloseEvent(Event);
  if (EFI_ERROR(Status)) {
    DEBUG_REPORT((DEBUG_WARN, "BoardSlotService: ReadyToBoot event not closed: %r\n", Status));
  }
}
