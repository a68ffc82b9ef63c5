// A driver image that crashes: it looks up a protocol nobody installed and calls through what
// the lookup left, as a driver would that trusted a lookup. boardsim loads it in place of
// BoardSlotService (BOARDSIM_IMAGE_DIR) and must report the crash rather than die of it.
#include "Uefi.h"

namespace {

struct UNTRUSTED_PROTOCOL {
  EFI_STATUS(EFIAPI *Member)();
};

constexpr EFI_GUID kNeverInstalledGuid = {
    0x0B5E55ED, 0x1234, 0x4321, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

}  // namespace

extern "C" __attribute__((noinline)) EFI_STATUS FollowUncheckedLookup(EFI_BOOT_SERVICES *Boot) {
  VOID *Interface = nullptr;
  Boot->LocateProtocol(&kNeverInstalledGuid, nullptr, &Interface);
  return static_cast<UNTRUSTED_PROTOCOL *>(Interface)->Member();
}

extern "C" EFI_STATUS EFIAPI BoardSlotServiceEntryPoint(EFI_HANDLE, EFI_SYSTEM_TABLE *System) {
  return FollowUncheckedLookup(System->BootServices);
}
