// The drivers' images as the DXE core loads them: where each one lies (reported, for a debugger
// and for the call records) and its entry point, which the platform is in from the moment the
// image is loaded until Dispatch returns.
#include "DriverFiles.h"
#include "FwPlatform.h"

// Read and written by gdb (boardsim --firmware --gdb): the boot waits while the flag is set, and
// gdb loads a driver's symbol file at the breakpoint on the hook.
extern "C" {
constinit volatile UINT8 gHoldForDebugger = 0;
__attribute__((noinline)) VOID EFIAPI DebuggerDriverLoaded(UINTN Driver, UINT64 ImageBase) {
  __asm__ volatile("" : : "r"(Driver), "r"(ImageBase) : "memory");
}
}

namespace {

constexpr UINTN kDriverCount = sizeof(kDriverFiles) / sizeof(kDriverFiles[0]);
static_assert(kDriverCount < kNoDriver, "driver indexes");

struct DRIVER_IMAGE {
  UINT64 Base;
  UINT64 Size;
};
constinit DRIVER_IMAGE mImages[kDriverCount] = {};

constexpr UINT32 kNewHeaderPointer = 0x3C;      // e_lfanew
constexpr UINT32 kEntryPointInPeHeader = 0x28;  // "PE\0\0", COFF header, then the optional
                                                // header's AddressOfEntryPoint at 16

UINT32 Read32(UINT64 Address) {
  UINT32 Value;
  CopyBytes(&Value, reinterpret_cast<const VOID *>(Address), 4);
  return Value;
}

VOID EFIAPI DriverImageLoaded(EFI_EVENT, VOID *) { NoteDriverImages(); }

}  // namespace

// Each driver the DXE core has loaded since the last look: its address is reported and handed to
// the debugger, and its entry point is entered (the DXE core starts an image right after it has
// loaded it).
VOID NoteDriverImages() {
  for (UINTN Driver = 0; Driver < kDriverCount; ++Driver) {
    if (mImages[Driver].Base != 0) continue;
    EFI_LOADED_IMAGE_PROTOCOL *Image = LoadedImageOf(kDriverFiles[Driver].FileGuid);
    if (Image == nullptr) continue;
    const UINT64 Base = reinterpret_cast<UINT64>(Image->ImageBase);
    mImages[Driver] = {Base, Image->ImageSize};
    Out << "image " << kDriverFiles[Driver].Name << " " << Hex{Base, 0} << "\n";
    DebuggerDriverLoaded(Driver, Base);
    const UINT64 PeHeader = Base + Read32(Base + kNewHeaderPointer);
    EnterDriverEntryPoint(static_cast<UINT8>(Driver),
                          Base + Read32(PeHeader + kEntryPointInPeHeader));
  }
}

EFI_LOADED_IMAGE_PROTOCOL *LoadedImageOf(const EFI_GUID &FileGuid) {
  EFI_HANDLE Handles[256];
  UINTN Size = sizeof(Handles);
  if (EFI_ERROR(
          gBoot->LocateHandle(ByProtocol, &gEfiLoadedImageProtocolGuid, nullptr, &Size, Handles))) {
    return nullptr;
  }
  for (UINTN Index = 0; Index < Size / sizeof(EFI_HANDLE); ++Index) {
    VOID *Interface = nullptr;
    if (EFI_ERROR(
            gBoot->HandleProtocol(Handles[Index], &gEfiLoadedImageProtocolGuid, &Interface))) {
      continue;
    }
    auto *Image = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
    const UINT8 *Node = static_cast<const UINT8 *>(Image->FilePath);
    while (Node != nullptr && Node[0] != kEndDevicePath) {
      const UINT16 Length = static_cast<UINT16>(Node[2] | Node[3] << 8);
      if (Length < 4) break;
      if (Node[0] == kMediaDevicePath && Node[1] == kMediaPiwgFirmwareFile && Length >= 20 &&
          SameGuid(*reinterpret_cast<const EFI_GUID *>(Node + 4), FileGuid)) {
        return Image;
      }
      Node += Length;
    }
  }
  return nullptr;
}

VOID WatchDriverImages() {
  EFI_EVENT Event = nullptr;
  VOID *Registration = nullptr;
  if (EFI_ERROR(gBoot->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, DriverImageLoaded, nullptr,
                                   &Event)) ||
      EFI_ERROR(
          gBoot->RegisterProtocolNotify(&gEfiLoadedImageProtocolGuid, Event, &Registration))) {
    Fail("cannot watch for the drivers' images");
  }
}

UINT8 DriverAt(UINT64 Address) {
  for (UINTN Driver = 0; Driver < kDriverCount; ++Driver) {
    const DRIVER_IMAGE &Image = mImages[Driver];
    if (Image.Base != 0 && Address - Image.Base < Image.Size) return static_cast<UINT8>(Driver);
  }
  return kNoDriver;
}

VOID HoldForDebugger(EFI_HANDLE ImageHandle) {
  VOID *Interface = nullptr;
  if (EFI_ERROR(gBoot->HandleProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid, &Interface))) {
    Fail("no loaded image of the platform application");
  }
  Out << "hold-for-debugger "
      << Hex{reinterpret_cast<UINT64>(
                 static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface)->ImageBase),
             0}
      << "\n";
  gHoldForDebugger = 1;
  while (gHoldForDebugger != 0) __asm__ volatile("pause");
}
