// Board information protocol: board bytes and the slot table that maps slot indexes to slot
// location codes. Installed by another platform driver; its slot table is the one channel
// between BoardSlotService and MenuPruner.
#ifndef SUPPORT_BOARD_INFO_PROTOCOL_H_
#define SUPPORT_BOARD_INFO_PROTOCOL_H_

#include "Uefi.h"

constexpr EFI_GUID gBoardInfoProtocolGuid = {
    0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};

// Members take no interface pointer.
typedef UINT8(EFIAPI *BOARD_INFO_QUERY_BOARD_BYTE)(UINTN BoardByteId);
typedef UINT32(EFIAPI *BOARD_INFO_GET_SLOT_LOCATION)(UINTN SlotIndex);
typedef EFI_STATUS(EFIAPI *BOARD_INFO_INIT_NOTIFY)(UINTN Value);
typedef EFI_STATUS(EFIAPI *BOARD_INFO_SET_SLOT_LOCATION)(UINTN SlotIndex, UINT32 SlotLocation);

struct BOARD_INFO_PROTOCOL {
  VOID *Member0;
  BOARD_INFO_QUERY_BOARD_BYTE QueryBoardByte;
  VOID *Member2;
  BOARD_INFO_GET_SLOT_LOCATION GetSlotLocation;
  BOARD_INFO_INIT_NOTIFY InitNotify;
  VOID *Member5To16[12];
  BOARD_INFO_SET_SLOT_LOCATION SetSlotLocation;
};
static_assert(offsetof(BOARD_INFO_PROTOCOL, QueryBoardByte) == 0x08, "board information layout");
static_assert(offsetof(BOARD_INFO_PROTOCOL, GetSlotLocation) == 0x18, "board information layout");
static_assert(offsetof(BOARD_INFO_PROTOCOL, InitNotify) == 0x20, "board information layout");
static_assert(offsetof(BOARD_INFO_PROTOCOL, SetSlotLocation) == 0x88, "board information layout");

// The value both drivers announce themselves with at start-up.
constexpr UINTN BOARD_INFO_INIT_VALUE = 22;

// Board byte ids.
constexpr UINTN BOARD_BYTE_KVRN_CONFIG = 191;       // bits 0x02/0x04/0x08: ports B/C/D; 0x80: split
constexpr UINTN BOARD_BYTE_RISER_TYPE = 192;        // the fitted riser: a row of Risers.h
constexpr UINTN BOARD_BYTE_KVRN_UNAVAILABLE = 200;  // nonzero: the KVRN slot is unusable

// Option bytes of the Setup variable (SetupVariable.h), one for each driver.
constexpr UINTN SETUP_ROOT_PORT_ADJUST_OFFSET = 331;    // BoardSlotService: nonzero turns it on
constexpr UINTN SETUP_ONBOARD_NIC_ABSENT_OFFSET = 288;  // MenuPruner: 1 asks for the NIC item to
constexpr UINT8 SETUP_ONBOARD_NIC_ABSENT_SUPPRESS = 1;  // go when the NIC's root port is absent

// KVRN configuration byte bits.
constexpr UINT8 KVRN_PORT_B = 0x02;
constexpr UINT8 KVRN_PORT_C = 0x04;
constexpr UINT8 KVRN_PORT_D = 0x08;
constexpr UINT8 KVRN_PORT_MASK = KVRN_PORT_B | KVRN_PORT_C | KVRN_PORT_D;
constexpr UINT8 KVRN_SPLIT = 0x80;

// Slot location codes of the KVRN ports: CPU2 (socket field 2), stack field 2, ports B to D.
// BoardSlotService writes them into free expansion slots; MenuPruner finds them there.
constexpr UINT32 KVRN_PORT_CODE_B = 0x22B000;
constexpr UINT32 KVRN_PORT_CODE_C = 0x22C000;
constexpr UINT32 KVRN_PORT_CODE_D = 0x22D000;

// Slot indexes.
constexpr UINTN SLOT_INDEX_ONBOARD_NIC = 128;
constexpr UINTN EXPANSION_SLOT_COUNT = 18;

// The expansion slots, in the order every walk takes them: 170 to 178, then 161 to 169.
inline constexpr UINT8 kExpansionSlotIndexes[EXPANSION_SLOT_COUNT] = {
    170, 171, 172, 173, 174, 175, 176, 177, 178, 161, 162, 163, 164, 165, 166, 167, 168, 169};

#endif  // SUPPORT_BOARD_INFO_PROTOCOL_H_
