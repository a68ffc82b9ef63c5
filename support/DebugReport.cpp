// A DEBUG image's side of the status-code path: the record EDK II's DebugLib on ReportStatusCode
// builds, handed to the platform's Status Code Runtime Protocol as a debug code under the
// driver's own FFS file GUID. Only DEBUG images carry this file.
#include "DebugReport.h"

#include "DriverFiles.h"
#include "DriverFrame.h"
#include "MemRoutines.h"

#if !defined(BOARD_DRIVER_FILE)
#error "a DEBUG image is built with BOARD_DRIVER_FILE, the name of its FFS file"
#endif

constinit const CHAR8 gEfiCallerBaseName[] = BOARD_DRIVER_FILE;

// File-local names are static, not in an unnamed namespace: the image's symbol file would name
// such a function after a hash of its source path, and differ from one checkout to the next.

// The caller of every status code: the file the image came from, as EDK II passes its module's
// FILE_GUID (gEfiCallerIdGuid).
static constexpr EFI_GUID kCallerId = DriverFileGuid(BOARD_DRIVER_FILE);

static constinit EFI_STATUS_CODE_PROTOCOL *mStatusCode = nullptr;

// Looked up when a line is first reported, and again at each line while the platform lacks it,
// as EDK II's ReportStatusCodeLib does. Nothing orders the drivers after the status code router
// (it is no part of their dependency, which a DEBUG image must not change), so an early line
// may come before the router has installed it; remembering that it was absent would lose every
// later line. While it is missing a line costs one LocateProtocol, in DEBUG images only; once
// found it is kept, since the router never withdraws it.
static EFI_STATUS_CODE_PROTOCOL *StatusCodeProtocol() {
  if (mStatusCode == nullptr && gBS != nullptr) {
    VOID *Interface = nullptr;
    if (!EFI_ERROR(gBS->LocateProtocol(&gEfiStatusCodeRuntimeProtocolGuid, nullptr, &Interface))) {
      mStatusCode = static_cast<EFI_STATUS_CODE_PROTOCOL *>(Interface);
    }
  }
  return mStatusCode;
}

// The record is laid out as a handler receives it from EDK II's DebugLib and ReportStatusCodeEx:
// the data header, the level, the argument slots, the format string. Everything the record's
// Size covers that EDK II leaves as it found it (the unused slots, an int's upper half, the 4
// bytes past the format's NUL) is zero here, so a line's record is the same at every boot.
VOID ReportDebugLine(UINT32 ErrorLevel, const CHAR8 *Format, UINTN FormatSize,
                     const UINT64 *Arguments) {
  EFI_STATUS_CODE_PROTOCOL *StatusCode = StatusCodeProtocol();
  if (StatusCode == nullptr || FormatSize == 0 || FormatSize > DEBUG_INFO_MAX_FORMAT_SIZE) {
    return;
  }
  DEBUG_INFO_RECORD Record;
  SetMem(&Record, sizeof(Record), 0);
  Record.Header.HeaderSize = sizeof(EFI_STATUS_CODE_DATA);
  Record.Header.Size = DebugInfoDataSize(FormatSize);
  Record.Header.Type = gEfiStatusCodeDataTypeDebugGuid;
  Record.Info.ErrorLevel = ErrorLevel;
  CopyMem(Record.Arguments, Arguments, sizeof(Record.Arguments));
  CopyMem(Record.Format, Format, FormatSize);
  // The result is of no use to a DEBUG line, as to EDK II's DebugLib: a line the platform could
  // not take is lost.
  StatusCode->ReportStatusCode(EFI_DEBUG_CODE, DEBUG_REPORT_CODE_VALUE, 0, &kCallerId,
                               &Record.Header);
}
