// The platform, on real firmware. In the order a platform would act: it sets up what the
// earlier phases leave (PCI state, Setup variable, stack-bus HOB), withdraws the firmware's own
// instances of the protocols the board's drivers expect, shows that the drivers' dependency
// holds them back, provides the board's protocols, dispatches the drivers, then installs the
// protocols that set their later work going and reports what they did on the debug port.
#include "FwPlatform.h"

#include "BoardHookProtocol.h"
#include "BoardInfoProtocol.h"
#include "DriverFiles.h"
#include "RegisterAccessProtocol.h"
#include "SetupEditProtocol.h"
#include "SmbiosEditProtocol.h"
#include "TriggerProtocols.h"

namespace {

// ---- The firmware's own instances under the GUIDs this platform provides ----
struct Withdrawn {
  EFI_HANDLE Handle;
  const EFI_GUID *Guid;
  VOID *Interface;
};
constinit Withdrawn mWithdrawn[8] = {};
constinit UINTN mWithdrawnCount = 0;

bool WithdrawAll(const EFI_GUID &Guid) {
  EFI_HANDLE Handles[16];
  UINTN Size = sizeof(Handles);
  EFI_STATUS Status = gBoot->LocateHandle(ByProtocol, &Guid, nullptr, &Size, Handles);
  if (Status == EFI_NOT_FOUND) return true;
  if (EFI_ERROR(Status)) return false;
  for (UINTN Index = 0; Index < Size / sizeof(EFI_HANDLE); ++Index) {
    VOID *Interface = nullptr;
    if (mWithdrawnCount == sizeof(mWithdrawn) / sizeof(mWithdrawn[0]) ||
        EFI_ERROR(gBoot->HandleProtocol(Handles[Index], &Guid, &Interface)) ||
        EFI_ERROR(gBoot->UninstallProtocolInterface(Handles[Index], &Guid, Interface))) {
      return false;
    }
    mWithdrawn[mWithdrawnCount++] = {Handles[Index], &Guid, Interface};
    Out << "withdrew firmware instance of " << Guid << "\n";
  }
  VOID *Left = nullptr;
  return EFI_ERROR(gBoot->LocateProtocol(&Guid, nullptr, &Left));
}

VOID RestoreWithdrawn() {
  for (UINTN Index = 0; Index < mWithdrawnCount; ++Index) {
    Withdrawn &Entry = mWithdrawn[Index];
    if (EFI_ERROR(gBoot->InstallProtocolInterface(&Entry.Handle, Entry.Guid, EFI_NATIVE_INTERFACE,
                                                  Entry.Interface))) {
      Fail("cannot give the firmware its protocol back");
    }
  }
}

VOID Install(const EFI_GUID &Guid, VOID *Interface) {
  EFI_HANDLE Handle = nullptr;
  if (EFI_ERROR(gBoot->InstallProtocolInterface(&Handle, &Guid, EFI_NATIVE_INTERFACE, Interface))) {
    Fail("cannot install a platform protocol");
  }
}

bool Installed(const EFI_GUID &Guid) {
  VOID *Interface = nullptr;
  return !EFI_ERROR(gBoot->LocateProtocol(&Guid, nullptr, &Interface));
}

bool DriverResident(const EFI_GUID &FileGuid) { return LoadedImageOf(FileGuid) != nullptr; }

// Names a firmware volume's handle as its device path does: the volume's name GUID, or
// "unnamed" for a volume without one (its path is a memory range).
VOID ReportVolumeName(EFI_HANDLE Volume) {
  VOID *Path = nullptr;
  if (!EFI_ERROR(gBoot->HandleProtocol(Volume, &gEfiDevicePathProtocolGuid, &Path))) {
    for (const UINT8 *Node = static_cast<const UINT8 *>(Path); Node[0] != kEndDevicePath;) {
      const UINT16 Length = static_cast<UINT16>(Node[2] | Node[3] << 8);
      if (Length < 4) break;
      if (Node[0] == kMediaDevicePath && Node[1] == kMediaPiwgFirmwareVolume && Length >= 20) {
        Out << *reinterpret_cast<const EFI_GUID *>(Node + 4);
        return;
      }
      Node += Length;
    }
  }
  Out << "unnamed";
}

// The drivers in the firmware's own flash: each file must be in a volume the DXE core knows,
// and held back, not started, by its dependency.
VOID ReportDriversInFlash() {
  EFI_HANDLE Volumes[32];
  UINTN Size = sizeof(Volumes);
  if (EFI_ERROR(gBoot->LocateHandle(ByProtocol, &gEfiFirmwareVolume2ProtocolGuid, nullptr, &Size,
                                    Volumes))) {
    Fail("cannot list the firmware volumes");
  }
  for (const DRIVER_FILE &Driver : kDriverFiles) {
    EFI_HANDLE Holder = nullptr;
    for (UINTN Index = 0; Index < Size / sizeof(EFI_HANDLE) && Holder == nullptr; ++Index) {
      VOID *Interface = nullptr;
      UINTN FileSize = 0;
      UINT8 Type = 0;
      UINT32 Attributes = 0, Authentication = 0;
      if (!EFI_ERROR(gBoot->HandleProtocol(Volumes[Index], &gEfiFirmwareVolume2ProtocolGuid,
                                           &Interface)) &&
          !EFI_ERROR(static_cast<EFI_FIRMWARE_VOLUME2_PROTOCOL *>(Interface)->ReadFile(
              static_cast<EFI_FIRMWARE_VOLUME2_PROTOCOL *>(Interface), &Driver.FileGuid, nullptr,
              &FileSize, &Type, &Attributes, &Authentication))) {
        Holder = Volumes[Index];
      }
    }
    if (Holder == nullptr) Fail("a driver is neither on the boot volume nor in flash");
    Out << "flash-file " << Driver.Name << " volume ";
    ReportVolumeName(Holder);
    Out << " held\n";
    if (DriverResident(Driver.FileGuid)) Fail("a driver started before its dependency was met");
  }
}

// Where each started driver was loaded from.
VOID ReportDriverVolumes() {
  for (const DRIVER_FILE &Driver : kDriverFiles) {
    if (EFI_LOADED_IMAGE_PROTOCOL *Image = LoadedImageOf(Driver.FileGuid)) {
      Out << "started-from " << Driver.Name << " volume ";
      ReportVolumeName(Image->DeviceHandle);
      Out << "\n";
    }
  }
}

// The DXE core's dispatcher; the drivers it starts run their entry points inside it.
EFI_STATUS Dispatch(DXE_SERVICES *Dxe) {
  const EFI_STATUS Status = Dxe->Dispatch();
  NoteDriverImages();
  LeaveDriverEntryPoints();
  return Status;
}

VOID EFIAPI IgnoreSignal(EFI_EVENT, VOID *) {}

VOID SignalReadyToBoot() {
  EFI_EVENT Event = nullptr;
  if (EFI_ERROR(gBoot->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, IgnoreSignal, nullptr,
                                     &gEfiEventReadyToBootGuid, &Event))) {
    Fail("cannot signal ReadyToBoot");
  }
  gBoot->SignalEvent(Event);
  gBoot->CloseEvent(Event);
}

VOID ReportMacList(const char *Name, const UINT8 *List, UINTN Room) {
  static const char kDigits[] = "0123456789ABCDEF";
  const UINTN Count = List[0] < Room ? List[0] : Room;
  for (UINTN Entry = 0; Entry < Count; ++Entry) {
    Out << "mac " << Name << " ";
    for (UINTN Byte = 0; Byte < 6; ++Byte) {
      const UINT8 Value = List[1 + 6 * Entry + Byte];
      Out << (Byte == 0 ? "" : ":") << kDigits[Value >> 4] << kDigits[Value & 0xF];
    }
    Out << "\n";
  }
}

VOID CollectNicMacs() {
  VOID *Interface = nullptr;
  if (EFI_ERROR(gBoot->LocateProtocol(&gBoardHookProtocolGuid, nullptr, &Interface))) {
    Out << "mac-lists not-collected\n";
    return;
  }
  UINT8 Record[NIC_PRIMARY_RECORD_SIZE] = {};
  UINT8 Secondary[NIC_SECONDARY_LIST_SIZE] = {};
  const auto Collect = static_cast<BOARD_HOOK_PROTOCOL *>(Interface)->CollectNicMacAddresses;
  EFI_STATUS Status;
  {
    DriverScope Scope(reinterpret_cast<const VOID *>(Collect), TPL_APPLICATION);
    Status = Collect(Record, Secondary);
  }
  Out << "mac-lists collected " << Hex{Status, 0} << "\n";
  ReportMacList("primary", Record + NIC_PRIMARY_LIST_OFFSET, 1);
  ReportMacList("secondary", Secondary, 3);
}

// EDK II's status-code handler with serial output, when the run brings it: it registers with
// the firmware's status code router before any driver starts, so every line a DEBUG image
// reports reaches the serial port. Its dependency (the router's handler protocol) is met at once.
VOID DispatchStatusCodeHandler(DXE_SERVICES *Dxe) {
  UINT8 *Volume = nullptr;
  UINTN Size = 0;
  const EFI_STATUS Read = ReadBootFile(FW_STATUS_CODE_FILE, &Volume, &Size);
  if (Read == EFI_NOT_FOUND) return;
  if (EFI_ERROR(Read)) Fail("unreadable status-code handler volume");
  EFI_HANDLE Handle = nullptr;
  const EFI_STATUS Status = Dxe->ProcessFirmwareVolume(Volume, Size, &Handle);
  if (EFI_ERROR(Status)) Fail("the firmware refused the status-code handler volume");
  Out << "status-code-handler " << Hex{Dispatch(Dxe), 0} << "\n";
}

UINT8 mTrigger;

}  // namespace

extern "C" EFI_STATUS EFIAPI FwPlatformMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gSystem = SystemTable;
  gBoot = SystemTable->BootServices;
  gRuntime = SystemTable->RuntimeServices;
  Out << "== fwplatform\n";

  UINT8 *Data = nullptr;
  UINTN Size = 0;
  if (EFI_ERROR(OpenBootVolume(ImageHandle))) Fail("no boot volume");
  if (EFI_ERROR(ReadBootFile(FW_SCENARIO_FILE, &Data, &Size)) || Size != sizeof(FW_SCENARIO)) {
    Fail("no scenario of this version");
  }
  gScenario = reinterpret_cast<FW_SCENARIO *>(Data);
  if (gScenario->Magic != FW_SCENARIO_MAGIC || gScenario->Version != FW_SCENARIO_VERSION) {
    Fail("no scenario of this version");
  }
  if (gScenario->Flags & FW_SCENARIO_HOLD_FOR_DEBUGGER) HoldForDebugger(ImageHandle);
  TraceDriverCalls(ImageHandle);
  WatchDriverImages();
  // Without a volume on the boot disk the drivers are in the firmware's own flash image.
  UINT8 *Volume = nullptr;
  UINTN VolumeSize = 0;
  const EFI_STATUS VolumeStatus = ReadBootFile(FW_PACKAGE_FILE, &Volume, &VolumeSize);
  const bool InFlash = VolumeStatus == EFI_NOT_FOUND;
  if (EFI_ERROR(VolumeStatus) && !InFlash) Fail("unreadable driver package");
  auto *Dxe = static_cast<DXE_SERVICES *>(ConfigurationTable(gEfiDxeServicesTableGuid));
  if (Dxe == nullptr) Fail("no DXE services table");
  if (!LocateFirmwareSmbios()) Fail("no EFI_SMBIOS_PROTOCOL");

  // What the earlier phases and the board's setup leave behind.
  SetUpPciSegment();
  if (EFI_ERROR(WriteSetupVariable())) Fail("cannot write the Setup variable");
  if (EFI_ERROR(InstallStackBusHob())) Fail("cannot install the stack-bus HOB");
  Out << "== board\n";
  ReportBoardAsSeen();
  Out << "== dispatch\n";
  DispatchStatusCodeHandler(Dxe);

  // The firmware carries a protocol under the board information GUID (its PCD protocol): left
  // in place it would meet the drivers' dependency before the board's protocols exist.
  if (!WithdrawAll(gBoardInfoProtocolGuid) || !WithdrawAll(gRegisterAccessProtocolGuid) ||
      !WithdrawAll(gSmbiosEditProtocolGuid) || !WithdrawAll(gSetupEditProtocolGuid)) {
    Fail("cannot withdraw the firmware's instances");
  }

  EFI_STATUS Status;
  if (InFlash) {
    // The DXE core met these files long ago. Its PCD driver had already installed the board
    // information GUID, and the core keeps a satisfied PUSH as TRUE: only the register access
    // protocol still holds them.
    ReportDriversInFlash();
  } else {
    EFI_HANDLE VolumeHandle = nullptr;
    Status = Dxe->ProcessFirmwareVolume(Volume, VolumeSize, &VolumeHandle);
    Out << "process-firmware-volume " << Hex{Status, 0} << "\n";
    if (EFI_ERROR(Status)) Fail("the firmware refused the driver package");
  }
  Status = Dispatch(Dxe);
  const bool EarlyStart = Installed(gBoardHookProtocolGuid) || gInitNotifyCalls != 0;
  Out << "dispatch-without-dependency " << Hex{Status, 0} << " started " << Dec{EarlyStart} << "\n";
  if (EarlyStart) Fail("a driver started before its dependency was met");

  // One of the two protocols is not enough. The board information comes first: once the register
  // access protocol exists, nothing else holds a driver from flash, and one that started
  // without the board's information would call through a null interface.
  Install(gBoardInfoProtocolGuid, gBoardInfoInterface);
  Install(gSmbiosEditProtocolGuid, gSmbiosEditInterface);
  Status = Dispatch(Dxe);
  const bool HalfStart = Installed(gBoardHookProtocolGuid) || gInitNotifyCalls != 0;
  Out << "dispatch-with-board-information-only " << Hex{Status, 0} << " started " << Dec{HalfStart}
      << "\n";
  if (HalfStart) Fail("a driver started before its dependency was met");

  Install(gRegisterAccessProtocolGuid, gRegisterAccessInterface);
  Status = Dispatch(Dxe);
  Out << "dispatch-with-dependency " << Hex{Status, 0} << " init-notify " << Dec{gInitNotifyCalls}
      << "\n";
  ReportDriverVolumes();
  RestoreWithdrawn();
  if (EFI_ERROR(WriteSmbiosDump(FW_SMBIOS_BEFORE_FILE))) Fail("cannot write the SMBIOS table");

  // The platform's later work, in the order the emulated boot takes it.
  Install(gSetupEditProtocolGuid, gSetupEditInterface);
  Install(gSlotRecordsTriggerProtocolGuid, &mTrigger);
  Install(gRootPortAdjustTriggerProtocolGuid, &mTrigger);
  Out << "== findings\n";
  for (const DRIVER_FILE &Driver : kDriverFiles) {
    Out << "driver " << Driver.Name << (DriverResident(Driver.FileGuid) ? " resident" : " unloaded")
        << "\n";
  }
  CollectNicMacs();
  SignalReadyToBoot();

  for (UINT32 Index = 0; Index < 256; ++Index) {
    if (gScenario->Slots[Index] != 0) {
      Out << "slot " << Dec{Index} << " " << Hex{gScenario->Slots[Index], 6} << "\n";
    }
  }
  ReportSetupEdits();
  ReportRegisterChanges();
  if (EFI_ERROR(WriteSmbiosDump(FW_SMBIOS_AFTER_FILE))) Fail("cannot write the SMBIOS table");
  Out << "== calls\n";
  ReportDriverCalls();
  Out << "== end\n";
  ExitQemu(0);
}
