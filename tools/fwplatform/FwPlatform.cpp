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
    Out << "withdrew firmware instance of " << Hex{Guid.Data1, 8} << "\n";
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

// Whether the image of an FFS file of ours is loaded: the DXE core names the file in the
// loaded image's device path (a PI firmware-file node).
bool DriverResident(const EFI_GUID &FileGuid) {
  EFI_HANDLE Handles[256];
  UINTN Size = sizeof(Handles);
  if (EFI_ERROR(
          gBoot->LocateHandle(ByProtocol, &gEfiLoadedImageProtocolGuid, nullptr, &Size, Handles))) {
    return false;
  }
  for (UINTN Index = 0; Index < Size / sizeof(EFI_HANDLE); ++Index) {
    VOID *Interface = nullptr;
    if (EFI_ERROR(
            gBoot->HandleProtocol(Handles[Index], &gEfiLoadedImageProtocolGuid, &Interface))) {
      continue;
    }
    const UINT8 *Node =
        static_cast<const UINT8 *>(static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface)->FilePath);
    while (Node != nullptr && Node[0] != 0x7F) {
      const UINT16 Length = static_cast<UINT16>(Node[2] | Node[3] << 8);
      if (Length < 4) break;
      if (Node[0] == 0x04 && Node[1] == 0x06 && Length >= 20 &&
          SameGuid(*reinterpret_cast<const EFI_GUID *>(Node + 4), FileGuid)) {
        return true;
      }
      Node += Length;
    }
  }
  return false;
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
  EFI_STATUS Status =
      static_cast<BOARD_HOOK_PROTOCOL *>(Interface)->CollectNicMacAddresses(Record, Secondary);
  Out << "mac-lists collected " << Hex{Status, 0} << "\n";
  ReportMacList("primary", Record + NIC_PRIMARY_LIST_OFFSET, 1);
  ReportMacList("secondary", Secondary, 3);
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
  UINT8 *Volume = nullptr;
  UINTN VolumeSize = 0;
  if (EFI_ERROR(ReadBootFile(FW_PACKAGE_FILE, &Volume, &VolumeSize))) Fail("no driver package");
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

  // The firmware carries a protocol under the board information GUID (its PCD protocol): left
  // in place it would meet the drivers' dependency before the board's protocols exist.
  if (!WithdrawAll(gBoardInfoProtocolGuid) || !WithdrawAll(gRegisterAccessProtocolGuid) ||
      !WithdrawAll(gSmbiosEditProtocolGuid) || !WithdrawAll(gSetupEditProtocolGuid)) {
    Fail("cannot withdraw the firmware's instances");
  }

  EFI_HANDLE VolumeHandle = nullptr;
  EFI_STATUS Status = Dxe->ProcessFirmwareVolume(Volume, VolumeSize, &VolumeHandle);
  Out << "process-firmware-volume " << Hex{Status, 0} << "\n";
  if (EFI_ERROR(Status)) Fail("the firmware refused the driver package");
  Status = Dxe->Dispatch();
  const bool EarlyStart = Installed(gBoardHookProtocolGuid) || gInitNotifyCalls != 0;
  Out << "dispatch-without-dependency " << Hex{Status, 0} << " started " << Dec{EarlyStart} << "\n";
  if (EarlyStart) Fail("a driver started before its dependency was met");

  // One of the two protocols is not enough.
  Install(gBoardInfoProtocolGuid, gBoardInfoInterface);
  Install(gSmbiosEditProtocolGuid, gSmbiosEditInterface);
  Status = Dxe->Dispatch();
  const bool HalfStart = Installed(gBoardHookProtocolGuid) || gInitNotifyCalls != 0;
  Out << "dispatch-with-board-information-only " << Hex{Status, 0} << " started " << Dec{HalfStart}
      << "\n";
  if (HalfStart) Fail("a driver started before its dependency was met");

  Install(gRegisterAccessProtocolGuid, gRegisterAccessInterface);
  Status = Dxe->Dispatch();
  Out << "dispatch-with-dependency " << Hex{Status, 0} << " init-notify " << Dec{gInitNotifyCalls}
      << "\n";
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
  Out << "== end\n";
  ExitQemu(0);
}
