// The real-firmware platform: a UEFI application that plays the part of the board's other
// drivers inside OVMF, so the shipped images run against real DXE services.
#ifndef TOOLS_FWPLATFORM_FW_PLATFORM_H_
#define TOOLS_FWPLATFORM_FW_PLATFORM_H_

#include "FwUefi.h"

extern EFI_SYSTEM_TABLE *gSystem;
extern EFI_BOOT_SERVICES *gBoot;
extern EFI_RUNTIME_SERVICES *gRuntime;

// ---- Debug port report (QEMU's isa-debugcon at 0x402) ----
struct Hex {
  UINT64 Value;
  UINT32 Digits;
};
struct Dec {
  UINT64 Value;
};
struct Report {
  const Report &operator<<(const char *Text) const;
  const Report &operator<<(Hex Number) const;
  const Report &operator<<(Dec Number) const;
  const Report &operator<<(char Character) const;
};
inline constexpr Report Out{};
// Ends the run: QEMU's isa-debug-exit turns the code into its exit status.
[[noreturn]] VOID ExitQemu(UINT8 Code);

// ---- Files on the volume the application was booted from ----
EFI_STATUS OpenBootVolume(EFI_HANDLE ImageHandle);
EFI_STATUS ReadBootFile(const CHAR16 *Name, UINT8 **Data, UINTN *Size);
EFI_STATUS WriteBootFile(const CHAR16 *Name, const VOID *Data, UINTN Size);

// ---- Small helpers ----
VOID ZeroBytes(VOID *Buffer, UINTN Size);
VOID CopyBytes(VOID *To, const VOID *From, UINTN Size);
bool SameGuid(const EFI_GUID &A, const EFI_GUID &B);
VOID *ConfigurationTable(const EFI_GUID &Guid);

#endif  // TOOLS_FWPLATFORM_FW_PLATFORM_H_
