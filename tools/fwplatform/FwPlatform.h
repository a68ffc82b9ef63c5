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

// ---- The report, on QEMU's debug console at FW_REPORT_PORT ----
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
// 0x15C and places the stand-in functions below them.
VOID SetUpPciSegment();
// Brings each stand-in's register window in line with its Command register: all ones while
// Memory Space Enable is clear. The boot services' CopyMem does this before every copy, the way
// the drivers read device registers.
VOID ShowStandInsAsDecoding();
// Where a copy from `Source` really reads: the pages behind a stand-in's window when a BAR pair
// decodes Source, else Source itself.
const VOID *DeviceMemorySource(const VOID *Source);
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

// ---- The drivers' images ----
constexpr UINT8 kNoDriver = 0xFF;
// Reports each driver's load address ("image NAME BASE") as soon as the DXE core has loaded it,
// hands it to the debugger hook, and enters the driver's entry point for the call records.
VOID WatchDriverImages();
// Looks for driver images the watch has not seen (a firmware that loads without notifying).
VOID NoteDriverImages();
// The index in kDriverFiles of the driver whose image holds Address, or kNoDriver.
UINT8 DriverAt(UINT64 Address);
// The loaded image of an FFS file of ours, or null: the DXE core names the file in the loaded
// image's device path (a PI firmware-file node).
EFI_LOADED_IMAGE_PROTOCOL *LoadedImageOf(const EFI_GUID &FileGuid);
// Reports the application's own load address and waits until a debugger releases it.
VOID HoldForDebugger(EFI_HANDLE ImageHandle);

// ---- The drivers' calls to the platform (see CallTrace.cpp) ----
// Wraps the boot and runtime services the drivers use in the firmware's own tables.
VOID TraceDriverCalls(EFI_HANDLE ImageHandle);
// "call ..." lines, one per recorded call, in order.
VOID ReportDriverCalls();
VOID EnterDriverEntryPoint(UINT8 Driver, UINT64 EntryPoint);
VOID LeaveDriverEntryPoints();

// The platform calls into a driver: calls made until it returns are that driver's, made during
// Function (see CallTrace.cpp for what tells them from the firmware's).
class DriverScope {
 public:
  DriverScope(const VOID *Function, EFI_TPL Tpl);
  ~DriverScope();
  DriverScope(const DriverScope &) = delete;
  DriverScope &operator=(const DriverScope &) = delete;

 private:
  UINT8 mSavedDriver;
  UINT64 mSavedFunction;
  EFI_TPL mSavedTpl;
  bool mSavedEnteredByPlatform;
  UINT32 mSavedAnswering;
};

// A call to the platform, made from ReturnAddress's caller: recorded when a driver made it;
// while it lasts, the services the platform and the firmware use to answer it are not recorded.
class DriverCall {
 public:
  DriverCall(const VOID *ReturnAddress, const char *Member, UINTN ArgCount = 0, UINT64 A0 = 0,
             UINT64 A1 = 0, UINT64 A2 = 0, UINT64 A3 = 0);
  ~DriverCall();
  DriverCall(const DriverCall &) = delete;
  DriverCall &operator=(const DriverCall &) = delete;
  DriverCall &Guid(const EFI_GUID *Guid);
  DriverCall &Notify(UINT64 Function);
  DriverCall &Variable(const CHAR16 *Name);
  // A text that tells the call apart, such as a setup edit's form-set title.
  DriverCall &Label(const CHAR8 *Text);
  bool FromDriver() const { return mFromDriver; }
  template <typename T>
  T Returns(T Result) {
    Record(static_cast<UINT64>(Result));
    return Result;
  }

 private:
  VOID Record(UINT64 Result);
  bool mFromDriver;
  struct CALL_RECORD *mRecord = nullptr;
};

// ---- Platform data the earlier boot phase and setup would leave ----
// The Setup variable of the scenario, through the real variable services.
EFI_STATUS WriteSetupVariable();
// The HOB list with the scenario's stack-bus HOB appended, installed in place of the firmware's.
EFI_STATUS InstallStackBusHob();

#endif  // TOOLS_FWPLATFORM_FW_PLATFORM_H_
