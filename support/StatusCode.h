// The platform's status-code path, which the DEBUG images report through: PI's Status Code
// Runtime Protocol and the debug information record that EDK II's status-code handlers unpack
// into a DEBUG line. Written from the PI layouts and EDK II's published definitions.
#ifndef SUPPORT_STATUS_CODE_H_
#define SUPPORT_STATUS_CODE_H_

#include "Uefi.h"

typedef UINT32 EFI_STATUS_CODE_TYPE;
typedef UINT32 EFI_STATUS_CODE_VALUE;

// The type's low byte says what kind of code it is.
constexpr EFI_STATUS_CODE_TYPE EFI_STATUS_CODE_TYPE_MASK = 0x000000FF;
constexpr EFI_STATUS_CODE_TYPE EFI_PROGRESS_CODE = 0x00000001;
constexpr EFI_STATUS_CODE_TYPE EFI_ERROR_CODE = 0x00000002;
constexpr EFI_STATUS_CODE_TYPE EFI_DEBUG_CODE = 0x00000003;

// Class, subclass and operation. A DEBUG line goes out as a DXE boot-service driver's code with
// the operation unspecified: the value EDK II's DebugLib on ReportStatusCode sends.
constexpr EFI_STATUS_CODE_VALUE EFI_SOFTWARE = 0x03000000;
constexpr EFI_STATUS_CODE_VALUE EFI_SOFTWARE_DXE_BS_DRIVER = EFI_SOFTWARE | 0x00050000;
constexpr EFI_STATUS_CODE_VALUE EFI_DC_UNSPECIFIED = 0x0;
constexpr EFI_STATUS_CODE_VALUE DEBUG_REPORT_CODE_VALUE =
    EFI_SOFTWARE_DXE_BS_DRIVER | EFI_DC_UNSPECIFIED;

// The header of a status code's data; Size bytes of data follow it, of the kind Type names.
struct EFI_STATUS_CODE_DATA {
  UINT16 HeaderSize;
  UINT16 Size;
  EFI_GUID Type;
};
static_assert(sizeof(EFI_STATUS_CODE_DATA) == 20, "EFI_STATUS_CODE_DATA layout");
static_assert(offsetof(EFI_STATUS_CODE_DATA, Size) == 2, "EFI_STATUS_CODE_DATA layout");
static_assert(offsetof(EFI_STATUS_CODE_DATA, Type) == 4, "EFI_STATUS_CODE_DATA layout");

// ---- Status Code Runtime Protocol ------------------------------------------------------------

constexpr EFI_GUID gEfiStatusCodeRuntimeProtocolGuid = {
    0xD2B2B828, 0x0826, 0x48A7, {0xB3, 0xDF, 0x98, 0x3C, 0x00, 0x60, 0x24, 0xF0}};

typedef EFI_STATUS(EFIAPI *EFI_REPORT_STATUS_CODE)(EFI_STATUS_CODE_TYPE Type,
                                                   EFI_STATUS_CODE_VALUE Value, UINT32 Instance,
                                                   const EFI_GUID *CallerId,
                                                   EFI_STATUS_CODE_DATA *Data);

struct EFI_STATUS_CODE_PROTOCOL {
  EFI_REPORT_STATUS_CODE ReportStatusCode;
};
static_assert(sizeof(EFI_STATUS_CODE_PROTOCOL) == 8, "EFI_STATUS_CODE_PROTOCOL layout");

// ---- The debug information record ------------------------------------------------------------

// Tags data that holds a debug information record.
constexpr EFI_GUID gEfiStatusCodeDataTypeDebugGuid = {
    0x9A4E9246, 0xD553, 0x11D5, {0x87, 0xE2, 0x00, 0x06, 0x29, 0x45, 0xC3, 0xB9}};

struct EFI_DEBUG_INFO {
  UINT32 ErrorLevel;
};
static_assert(sizeof(EFI_DEBUG_INFO) == 4, "EFI_DEBUG_INFO layout");

// Error levels, as a DEBUG line names them.
constexpr UINT32 DEBUG_WARN = 0x00000002;
constexpr UINT32 DEBUG_INFO = 0x00000040;
constexpr UINT32 DEBUG_ERROR = 0x80000000;

// The record as a handler receives it: the data header, EFI_DEBUG_INFO, twelve 64-bit argument
// slots (a handler reads them from the 8-byte boundary right after EFI_DEBUG_INFO, whatever the
// header's HeaderSize says), then the ASCII format string.
constexpr UINTN DEBUG_INFO_ARGUMENT_SLOTS = 12;
constexpr UINTN DEBUG_INFO_ARGUMENTS_OFFSET = sizeof(EFI_STATUS_CODE_DATA) + sizeof(EFI_DEBUG_INFO);
constexpr UINTN DEBUG_INFO_FORMAT_OFFSET =
    DEBUG_INFO_ARGUMENTS_OFFSET + DEBUG_INFO_ARGUMENT_SLOTS * sizeof(UINT64);
static_assert(DEBUG_INFO_ARGUMENTS_OFFSET == 24 && DEBUG_INFO_FORMAT_OFFSET == 120,
              "debug information record layout");

// EDK II's DebugLib counts into the data's Size the 4 bytes it keeps ahead of EFI_DEBUG_INFO, so
// a record's Size reaches 4 bytes past the format string's terminating NUL.
constexpr UINTN DEBUG_INFO_SIZE_PAST_FORMAT = 4;
// Data of up to this size EDK II's ReportStatusCodeEx reports from its stack; larger data costs a
// pool allocation (EFI_STATUS_CODE_DATA_MAX_SIZE).
constexpr UINTN EFI_STATUS_CODE_DATA_MAX_SIZE = 0x200;
// The longest format string (with its NUL) that keeps a record within that size.
constexpr UINTN DEBUG_INFO_MAX_FORMAT_SIZE =
    EFI_STATUS_CODE_DATA_MAX_SIZE -
    (DEBUG_INFO_FORMAT_OFFSET - sizeof(EFI_STATUS_CODE_DATA) + DEBUG_INFO_SIZE_PAST_FORMAT);
static_assert(DEBUG_INFO_MAX_FORMAT_SIZE == 408, "debug information record size");

// The data's Size for a format string of FormatSize bytes, its NUL included.
constexpr UINT16 DebugInfoDataSize(UINTN FormatSize) {
  return static_cast<UINT16>(DEBUG_INFO_FORMAT_OFFSET - sizeof(EFI_STATUS_CODE_DATA) + FormatSize +
                             DEBUG_INFO_SIZE_PAST_FORMAT);
}

struct DEBUG_INFO_RECORD {
  EFI_STATUS_CODE_DATA Header;
  EFI_DEBUG_INFO Info;
  UINT64 Arguments[DEBUG_INFO_ARGUMENT_SLOTS];
  CHAR8 Format[DEBUG_INFO_MAX_FORMAT_SIZE + DEBUG_INFO_SIZE_PAST_FORMAT];
};
static_assert(offsetof(DEBUG_INFO_RECORD, Info) == sizeof(EFI_STATUS_CODE_DATA),
              "debug information record layout");
static_assert(offsetof(DEBUG_INFO_RECORD, Arguments) == DEBUG_INFO_ARGUMENTS_OFFSET,
              "debug information record layout");
static_assert(offsetof(DEBUG_INFO_RECORD, Format) == DEBUG_INFO_FORMAT_OFFSET,
              "debug information record layout");
static_assert(DebugInfoDataSize(DEBUG_INFO_MAX_FORMAT_SIZE) == EFI_STATUS_CODE_DATA_MAX_SIZE,
              "debug information record size");

#endif  // SUPPORT_STATUS_CODE_H_
