// SMBIOS edit protocol: adds, finds, replaces and removes structures of the platform's SMBIOS
// table. Installed by another platform driver; BoardSlotService fits the slot structures with
// it. Also the System Slots layout (SMBIOS type 9) that the slot records carry.
#ifndef BOARD_SLOT_SERVICE_SMBIOS_EDIT_PROTOCOL_H_
#define BOARD_SLOT_SERVICE_SMBIOS_EDIT_PROTOCOL_H_

#include "Uefi.h"

constexpr EFI_GUID gSmbiosEditProtocolGuid = {
    0x5E90A50D, 0x6955, 0x4A49, {0x90, 0x32, 0xDA, 0x38, 0x12, 0xF8, 0xE8, 0xE5}};

// Members take no interface pointer. A record is a complete structure: formatted area, string
// set and the closing NUL; Size counts all of it.
//   InsertRecord: the protocol keeps its own copy; handle 0xFFFF lets it choose the handle.
//   FindRecordByType: Instance counts from 1; on success *Record is a pool copy that the
//     caller frees with FreePool.
//   ReplaceRecord: the structure with Handle takes the contents; the caller keeps its buffer.
typedef EFI_STATUS(EFIAPI *SMBIOS_EDIT_INSERT_RECORD)(const VOID *Record, UINT16 Size);
typedef EFI_STATUS(EFIAPI *SMBIOS_EDIT_REMOVE_RECORD)(UINT16 Handle);
typedef EFI_STATUS(EFIAPI *SMBIOS_EDIT_FIND_RECORD_BY_TYPE)(UINT8 Type, UINT8 Instance,
                                                            VOID **Record, UINT16 *Size);
typedef EFI_STATUS(EFIAPI *SMBIOS_EDIT_REPLACE_RECORD)(UINT16 Handle, const VOID *Record,
                                                       UINT16 Size);

struct SMBIOS_EDIT_PROTOCOL {
  VOID *Member0To3[4];
  SMBIOS_EDIT_INSERT_RECORD InsertRecord;
  VOID *Member5;
  SMBIOS_EDIT_REMOVE_RECORD RemoveRecord;
  VOID *Member7;
  SMBIOS_EDIT_FIND_RECORD_BY_TYPE FindRecordByType;
  SMBIOS_EDIT_REPLACE_RECORD ReplaceRecord;
};
static_assert(offsetof(SMBIOS_EDIT_PROTOCOL, InsertRecord) == 0x20, "SMBIOS edit layout");
static_assert(offsetof(SMBIOS_EDIT_PROTOCOL, RemoveRecord) == 0x30, "SMBIOS edit layout");
static_assert(offsetof(SMBIOS_EDIT_PROTOCOL, FindRecordByType) == 0x40, "SMBIOS edit layout");
static_assert(offsetof(SMBIOS_EDIT_PROTOCOL, ReplaceRecord) == 0x48, "SMBIOS edit layout");
static_assert(sizeof(SMBIOS_EDIT_PROTOCOL) == 0x50, "SMBIOS edit layout");

// Handle value that leaves the choice of the handle to the protocol.
constexpr UINT16 SMBIOS_EDIT_ANY_HANDLE = 0xFFFF;

// ---- System Slots (SMBIOS type 9), the 17-byte formatted area of SMBIOS 2.6 -------------------

constexpr UINT8 SMBIOS_TYPE_SYSTEM_SLOTS = 9;
constexpr UINT8 SMBIOS_TYPE_KVRN_PORT = 161;  // OEM type with the System Slots layout

#pragma pack(push, 1)
struct SMBIOS_SYSTEM_SLOTS {
  UINT8 Type;
  UINT8 Length;
  UINT16 Handle;
  UINT8 SlotDesignation;  // string number
  UINT8 SlotType;
  UINT8 SlotDataBusWidth;
  UINT8 CurrentUsage;
  UINT8 SlotLength;
  UINT16 SlotId;
  UINT8 SlotCharacteristics1;
  UINT8 SlotCharacteristics2;
  UINT16 SegmentGroupNumber;
  UINT8 BusNumber;
  UINT8 DeviceFunctionNumber;
};
#pragma pack(pop)
static_assert(sizeof(SMBIOS_SYSTEM_SLOTS) == 0x11, "System Slots layout");
static_assert(offsetof(SMBIOS_SYSTEM_SLOTS, Handle) == 0x02, "System Slots layout");
static_assert(offsetof(SMBIOS_SYSTEM_SLOTS, SlotDataBusWidth) == 0x06, "System Slots layout");
static_assert(offsetof(SMBIOS_SYSTEM_SLOTS, CurrentUsage) == 0x07, "System Slots layout");
static_assert(offsetof(SMBIOS_SYSTEM_SLOTS, SlotId) == 0x09, "System Slots layout");
static_assert(offsetof(SMBIOS_SYSTEM_SLOTS, SegmentGroupNumber) == 0x0D, "System Slots layout");
static_assert(offsetof(SMBIOS_SYSTEM_SLOTS, BusNumber) == 0x0F, "System Slots layout");
static_assert(offsetof(SMBIOS_SYSTEM_SLOTS, DeviceFunctionNumber) == 0x10, "System Slots layout");

// A slot record as the drivers build it: the formatted area, then room for the string set.
constexpr UINTN SLOT_RECORD_BUFFER_SIZE = 256;
struct SLOT_RECORD_BUFFER {
  SMBIOS_SYSTEM_SLOTS Slot;
  CHAR8 Strings[SLOT_RECORD_BUFFER_SIZE - sizeof(SMBIOS_SYSTEM_SLOTS)];
};
static_assert(sizeof(SLOT_RECORD_BUFFER) == SLOT_RECORD_BUFFER_SIZE, "slot record buffer");
static_assert(offsetof(SLOT_RECORD_BUFFER, Strings) == 0x11, "slot record buffer");

// Field values (SMBIOS 3.x, System Slots).
constexpr UINT8 SLOT_TYPE_PCIE_GEN3_X16 = 0xB6;
constexpr UINT8 SLOT_WIDTH_X4 = 0x0A;
constexpr UINT8 SLOT_WIDTH_X8 = 0x0B;
constexpr UINT8 SLOT_WIDTH_X16 = 0x0D;
constexpr UINT8 SLOT_USAGE_UNKNOWN = 0x02;
constexpr UINT8 SLOT_LENGTH_LONG = 0x04;
constexpr UINT8 SLOT_CHARACTERISTICS1_3V3 = 0x04;
constexpr UINT8 SLOT_CHARACTERISTICS2_PME = 0x01;

// The platform's own record of the KVRN module's slot; found here, never created.
constexpr UINT16 KVRN_SLOT_ID = 0x0B01;

#endif  // BOARD_SLOT_SERVICE_SMBIOS_EDIT_PROTOCOL_H_
