// The real-firmware platform: a UEFI application that plays the part of the board's other
// drivers inside OVMF, so the shipped images run against real DXE services.
#ifndef TOOLS_FWPLATFORM_FW_PLATFORM_H_
#define TOOLS_FWPLATFORM_FW_PLATFORM_H_

#include "FwUefi.h"
#include "Scenario.h"

extern EFI_SYSTEM_TABLE *gSystem;
extern EFI_BOOT_SERVICES *gBoot;
extern EFI_RUNTIME_SERVICES *gRuntime;
extern FW_SCENARIO *gScenario;

// ---- Debug port report (QEMU's isa-debugcon at 0x402) ----
struct Hex {
  UINT64 Value;
  UINT32 Digits;
};
struct Dec {
  UINT64 Value;
};
struct Bdf {
  UINT16 Value;
};
struct PciId {  // "8086:37D2", as lspci writes it
  UINT32 VendorDevice;
};
struct Report {
  const Report &operator<<(const char *Text) const;
  const Report &operator<<(Hex Number) const;
  const Report &operator<<(Dec Number) const;
  const Report &operator<<(Bdf Function) const;  // "17:00.0"
  const Report &operator<<(PciId Id) const;
  const Report &operator<<(const EFI_GUID &Guid) const;  // "7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1"
  const Report &operator<<(char Character) const;
};
inline constexpr Report Out{};
// Ends the run: QEMU's isa-debug-exit turns the code into its exit status.
[[noreturn]] VOID ExitQemu(UINT8 Code);
[[noreturn]] VOID Fail(const char *What);

// ---- Files on the volume the application was booted from ----
EFI_STATUS OpenBootVolume(EFI_HANDLE ImageHandle);
// Reads a file of up to 1 MiB into memory of its own that starts on a page.
EFI_STATUS ReadBootFile(const CHAR16 *Name, UINT8 **Data, UINTN *Size);
EFI_STATUS WriteBootFile(const CHAR16 *Name, const VOID *Data, UINTN Size);

// ---- Small helpers ----
VOID ZeroBytes(VOID *Buffer, UINTN Size);
VOID CopyBytes(VOID *To, const VOID *From, UINTN Size);
bool SameGuid(const EFI_GUID &A, const EFI_GUID &B);
VOID *ConfigurationTable(const EFI_GUID &Guid);
VOID *AllocateZeroed(UINTN Size);

// ---- The board's PCI segment: QEMU's root ports over ECAM, stand-ins for the rest ----
// Finds the ECAM window, checks the scenario's root ports exist, gives them their register
// 0x15C and places the stand-in functions below them. From then on the boot services' CopyMem
// sees a stand-in's window as the function shows it: all ones while its Command register has
// Memory Space Enable clear.
VOID SetUpPciSegment();
// The board as the firmware made it: CPU, root ports with the buses the firmware gave them,
// stand-ins with the memory allocated for them, in board-file lines.
VOID ReportBoardAsSeen();
// Register changes since SetUpPciSegment: root ports' 0x15C and stand-ins' whole space.
VOID ReportRegisterChanges();
extern void *gBoardInfoInterface;
extern void *gRegisterAccessInterface;
extern UINT32 gInitNotifyCalls;

// ---- SMBIOS edit protocol over the firmware's EFI_SMBIOS_PROTOCOL ----
extern void *gSmbiosEditInterface;
bool LocateFirmwareSmbios();
// The SMBIOS table as it stands, in the layout `dmidecode --dump-bin` writes.
EFI_STATUS WriteSmbiosDump(const CHAR16 *Name);

// ---- Setup edit protocol that records every call ----
extern void *gSetupEditInterface;
VOID ReportSetupEdits();

// ---- Platform data the earlier boot phase and setup would leave ----
// The Setup variable of the scenario, through the real variable services.
EFI_STATUS WriteSetupVariable();
// The HOB list with the scenario's stack-bus HOB appended, installed in place of the firmware's.
EFI_STATUS InstallStackBusHob();

#endif  // TOOLS_FWPLATFORM_FW_PLATFORM_H_
