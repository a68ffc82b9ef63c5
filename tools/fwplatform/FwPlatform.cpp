// The platform, on real firmware: withdraws the firmware's own instances of the protocols the
// board's drivers expect, shows that the drivers' dependency holds them back, provides the
// protocols from the scenario, dispatches the drivers and reports what they did.
#include "BoardInfoProtocol.h"
#include "FwPlatform.h"
#include "RegisterAccessProtocol.h"
#include "Scenario.h"
#include "BoardHookProtocol.h"

namespace {

constinit FW_SCENARIO *mScenario = nullptr;
constinit UINT32 mInitNotifyCalls = 0;
constinit UINT64 mEcamBase = 0;

// ---- Board information protocol from the scenario ----
UINT8 EFIAPI QueryBoardByte(UINTN Id) { return Id < 256 ? mScenario->BoardBytes[Id] : 0; }
UINT32 EFIAPI GetSlotLocation(UINTN Index) { return Index < 256 ? mScenario->Slots[Index] : 0; }
EFI_STATUS EFIAPI InitNotify(UINTN) {
  ++mInitNotifyCalls;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI SetSlotLocation(UINTN Index, UINT32 Code) {
  if (Index >= 256) return EFI_INVALID_PARAMETER;
  mScenario->Slots[Index] = Code;
  return EFI_SUCCESS;
}
constinit BOARD_INFO_PROTOCOL mBoardInfo = {
    nullptr, QueryBoardByte, nullptr, GetSlotLocation, InitNotify, {}, SetSlotLocation};

// ---- Register access protocol over the ECAM window ----
UINTN EFIAPI GetRegisterAddress(REG_ACCESS_ADDRESS *Register) {
  return mEcamBase + (Register->Address & 0x0FFFFFFF);
}
constinit REGISTER_ACCESS_PROTOCOL mRegisterAccess = {{}, GetRegisterAddress};

// ---- Firmware instances under the GUIDs this platform provides ----
struct Withdrawn {
  EFI_HANDLE Handle;
  const EFI_GUID *Guid;
  VOID *Interface;
};
constinit Withdrawn mWithdrawn[8] = {};
constinit UINTN mWithdrawnCount = 0;

bool WithdrawAll(const EFI_GUID &Guid) {
  for (;;) {
    VOID *Interface = nullptr;
    if (EFI_ERROR(gBoot->LocateProtocol(&Guid, nullptr, &Interface))) return true;
    EFI_HANDLE Handles[16];
    UINTN Size = sizeof(Handles);
    if (EFI_ERROR(gBoot->LocateHandle(ByProtocol, &Guid, nullptr, &Size, Handles))) return false;
    for (UINTN Index = 0; Index < Size / sizeof(EFI_HANDLE); ++Index) {
      if (EFI_ERROR(gBoot->HandleProtocol(Handles[Index], &Guid, &Interface)) ||
          mWithdrawnCount == sizeof(mWithdrawn) / sizeof(mWithdrawn[0]) ||
          EFI_ERROR(gBoot->UninstallProtocolInterface(Handles[Index], &Guid, Interface))) {
        return false;
      }
      mWithdrawn[mWithdrawnCount++] = {Handles[Index], &Guid, Interface};
      Out << "withdrew firmware instance of " << Hex{Guid.Data1, 8} << "\n";
    }
  }
}

VOID RestoreWithdrawn() {
  for (UINTN Index = 0; Index < mWithdrawnCount; ++Index) {
    Withdrawn &Entry = mWithdrawn[Index];
    gBoot->InstallProtocolInterface(&Entry.Handle, Entry.Guid, EFI_NATIVE_INTERFACE,
                                    Entry.Interface);
  }
}

// The ECAM base from the ACPI MCFG table: RSDP -> XSDT -> MCFG.
UINT64 FindEcamBase() {
  const UINT8 *Rsdp = static_cast<const UINT8 *>(ConfigurationTable(gEfiAcpi20TableGuid));
  if (Rsdp == nullptr) return 0;
  UINT64 XsdtAddress;
  CopyBytes(&XsdtAddress, Rsdp + 24, 8);
  const UINT8 *Xsdt = reinterpret_cast<const UINT8 *>(XsdtAddress);
  UINT32 Length;
  CopyBytes(&Length, Xsdt + 4, 4);
  for (UINT32 Offset = 36; Offset + 8 <= Length; Offset += 8) {
    UINT64 TableAddress;
    CopyBytes(&TableAddress, Xsdt + Offset, 8);
    const UINT8 *Table = reinterpret_cast<const UINT8 *>(TableAddress);
    if (Table[0] == 'M' && Table[1] == 'C' && Table[2] == 'F' && Table[3] == 'G') {
      UINT64 Base;
      CopyBytes(&Base, Table + 44, 8);
      return Base;
    }
  }
  return 0;
}

[[noreturn]] VOID Fail(const char *What) {
  Out << "FAIL: " << What << "\n";
  ExitQemu(2);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI FwPlatformMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gSystem = SystemTable;
  gBoot = SystemTable->BootServices;
  gRuntime = SystemTable->RuntimeServices;
  Out << "== fwplatform\n";

  UINT8 *Data = nullptr;
  UINTN Size = 0;
  if (EFI_ERROR(OpenBootVolume(ImageHandle))) Fail("no boot volume");
  if (EFI_ERROR(ReadBootFile(u"scenario.bin", &Data, &Size)) || Size < sizeof(FW_SCENARIO)) {
    Fail("no scenario");
  }
  mScenario = reinterpret_cast<FW_SCENARIO *>(Data);
  if (mScenario->Magic != FW_SCENARIO_MAGIC || mScenario->Version != FW_SCENARIO_VERSION) {
    Fail("scenario of another version");
  }
  UINT8 *Volume = nullptr;
  UINTN VolumeSize = 0;
  if (EFI_ERROR(ReadBootFile(u"BoardDrivers.fv", &Volume, &VolumeSize))) Fail("no BoardDrivers.fv");
  mEcamBase = FindEcamBase();
  Out << "ecam " << Hex{mEcamBase, 0} << "\n";

  DXE_SERVICES *Dxe = static_cast<DXE_SERVICES *>(ConfigurationTable(gEfiDxeServicesTableGuid));
  if (Dxe == nullptr) Fail("no DXE services");

  // The firmware's own protocol under the board information GUID would satisfy the drivers'
  // dependency before the platform's board protocols exist.
  if (!WithdrawAll(gBoardInfoProtocolGuid) || !WithdrawAll(gRegisterAccessProtocolGuid)) {
    Fail("cannot withdraw the firmware's instances");
  }

  EFI_HANDLE VolumeHandle = nullptr;
  EFI_STATUS Status = Dxe->ProcessFirmwareVolume(Volume, VolumeSize, &VolumeHandle);
  Out << "process-firmware-volume " << Hex{Status, 0} << "\n";
  if (EFI_ERROR(Status)) Fail("volume refused");
  Status = Dxe->Dispatch();
  VOID *Hook = nullptr;
  bool Started = !EFI_ERROR(gBoot->LocateProtocol(&gBoardHookProtocolGuid, nullptr, &Hook));
  Out << "dispatch-without-dependency " << Hex{Status, 0} << " started " << Dec{Started} << "\n";
  if (Started || mInitNotifyCalls != 0) Fail("a driver started before its dependency was met");

  EFI_HANDLE Handle = nullptr;
  gBoot->InstallProtocolInterface(&Handle, &gBoardInfoProtocolGuid, EFI_NATIVE_INTERFACE,
                                  &mBoardInfo);
  Handle = nullptr;
  gBoot->InstallProtocolInterface(&Handle, &gRegisterAccessProtocolGuid, EFI_NATIVE_INTERFACE,
                                  &mRegisterAccess);
  Status = Dxe->Dispatch();
  Started = !EFI_ERROR(gBoot->LocateProtocol(&gBoardHookProtocolGuid, nullptr, &Hook));
  Out << "dispatch-with-dependency " << Hex{Status, 0} << " started " << Dec{Started}
      << " init-notify " << Dec{mInitNotifyCalls} << "\n";
  RestoreWithdrawn();

  for (UINT32 Index = 0; Index < 256; ++Index) {
    if (mScenario->Slots[Index] != 0) {
      Out << "slot " << Dec{Index} << " " << Hex{mScenario->Slots[Index], 6} << "\n";
    }
  }
  Out << "== end\n";
  ExitQemu(Started ? 0 : 3);
}
