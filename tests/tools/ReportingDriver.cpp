// A DEBUG driver that reports a handful of lines with every directive the drivers' reports use,
// at each level, and the corners of EDK II's print rules (signs, padding, precision, null
// pointers, a status with no name). It starts in BoardSlotService's place and under its file
// GUID, from the entry point and from a ReadyToBoot notify function, so the emulator and OVMF
// show what each makes of the same records.
#include "DebugReport.h"
#include "DriverFrame.h"
#include "RegisterAccessProtocol.h"

extern "C" VOID EFIAPI ReadyToBootNotify(EFI_EVENT Event, VOID *) {
  DEBUG_REPORT((DEBUG_INFO, "%a: ReadyToBoot at TPL %lu\n", gEfiCallerBaseName, TPL_CALLBACK));
  gBS->CloseEvent(Event);
}

// Static, as in the drivers: an unnamed namespace would put a hash of the source path into the
// symbol file.
static constexpr CHAR16 kItemTitle[] = u"Onboard NIC (CPU1 PCIE 3.0)";

static VOID ReportPlacements() {
  DEBUG_REPORT((DEBUG_INFO, "%a: KVRN port %c placed in slot %u, code 0x%06x\n", gEfiCallerBaseName,
                'B', 172u, 0x22B000u));
  DEBUG_REPORT((DEBUG_INFO, "%a: root port %02x:%02x.%x register 0x15C %08X -> %08X\n",
                gEfiCallerBaseName, 0xD7, 0, 0, 0x1A05Cu, 0x1805Cu));
  DEBUG_REPORT((DEBUG_INFO, "%a: NIC %02X:%02X.%X window 0x%016lx, %lu bytes, MAC %02X:%02X:%02X\n",
                gEfiCallerBaseName, 0x18, 0, 1, 0x9D000000ull, 0x200000ull, 0x02u, 0xA1u, 0xB2u));
  DEBUG_REPORT((DEBUG_INFO, "%a: Setup item %d now \"%s\"\n", gEfiCallerBaseName, 551, kItemTitle));
}

static VOID ReportFailures() {
  DEBUG_REPORT((DEBUG_WARN, "%a: Setup variable of %u bytes, %d more than the buffer: %r\n",
                gEfiCallerBaseName, 4000u, 4000 - 3820, EFI_BUFFER_TOO_SMALL));
  DEBUG_REPORT((DEBUG_ERROR, "%a: lookup of %g failed: %r, interface %p\n", gEfiCallerBaseName,
                &gRegisterAccessProtocolGuid, EFI_NOT_FOUND, static_cast<VOID *>(nullptr)));
  // The corners: negative numbers in decimal and hexadecimal, sign and blank prefixes, a 64-bit
  // negative value, justification, width and precision from the arguments, a null string, a
  // status no name covers, a literal percent sign.
  DEBUG_REPORT((DEBUG_WARN, "%a: %d %x %+d % d %ld %lX\n", gEfiCallerBaseName, -12, -1, 7, 7,
                -5000000000ll, 0xFEDCBA9876543210ull));
  DEBUG_REPORT((DEBUG_WARN, "%a: |%-6a|%*a|%.3a|%a| %r 100%%\n", gEfiCallerBaseName, "left", 6,
                "right", "precision", static_cast<const CHAR8 *>(nullptr), EfiErrorCode(0x64)));
}

DRIVER_EXPORT EFI_STATUS EFIAPI BoardSlotServiceEntryPoint(EFI_HANDLE ImageHandle,
                                                           EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverFrame(ImageHandle, SystemTable);
  ReportPlacements();
  ReportFailures();
  EFI_EVENT Event = nullptr;
  gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ReadyToBootNotify, nullptr,
                     &gEfiEventReadyToBootGuid, &Event);
  return EFI_SUCCESS;
}
