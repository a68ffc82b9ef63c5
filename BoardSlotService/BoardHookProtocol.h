// Board hook protocol, installed by BoardSlotService for the platform's own drivers. Its chief
// member reads the onboard network controller's MAC addresses from the controller itself.
#ifndef BOARD_SLOT_SERVICE_BOARD_HOOK_PROTOCOL_H_
#define BOARD_SLOT_SERVICE_BOARD_HOOK_PROTOCOL_H_

#include "Uefi.h"

constexpr EFI_GUID gBoardHookProtocolGuid = {
    0x6B588D7C, 0xC72E, 0x4A78, {0x88, 0x58, 0x77, 0xE1, 0xDA, 0x8F, 0xC7, 0xF7}};

// NIC_MAC_LIST: a count byte followed by six-byte MAC entries.
constexpr UINTN NIC_MAC_ENTRY_SIZE = 6;
constexpr UINTN NIC_PRIMARY_LIST_OFFSET = 3;   // inside the caller's record
constexpr UINTN NIC_PRIMARY_RECORD_SIZE = 10;  // 3 untouched bytes, count, one entry
constexpr UINTN NIC_SECONDARY_LIST_SIZE = 19;  // count, three entries

// Members 1 and 4 are yes/no questions that the platform puts to the board, member 5 a call
// whose status it checks. This board has nothing of its own to add to any of them: it declines
// the first question, affirms the second and acknowledges the call, whatever the consumer
// passes in its argument registers.
typedef BOOLEAN(EFIAPI *BOARD_HOOK_QUERY)(UINTN Arg1, UINTN Arg2, UINTN Arg3, UINTN Arg4);
typedef EFI_STATUS(EFIAPI *BOARD_HOOK_CALL)(UINTN Arg1, UINTN Arg2, UINTN Arg3, UINTN Arg4);
typedef EFI_STATUS(EFIAPI *BOARD_HOOK_COLLECT_NIC_MAC_ADDRESSES)(UINT8 *Record,
                                                                 UINT8 *SecondaryList);

struct BOARD_HOOK_PROTOCOL {
  BOARD_HOOK_QUERY DeclineQuery;
  VOID *Member2;
  BOARD_HOOK_COLLECT_NIC_MAC_ADDRESSES CollectNicMacAddresses;
  BOARD_HOOK_QUERY AffirmQuery;
  BOARD_HOOK_CALL AcknowledgeCall;
  VOID *Member6To9[4];
};
static_assert(offsetof(BOARD_HOOK_PROTOCOL, DeclineQuery) == 0x00, "board hook layout");
static_assert(offsetof(BOARD_HOOK_PROTOCOL, CollectNicMacAddresses) == 0x10, "board hook layout");
static_assert(offsetof(BOARD_HOOK_PROTOCOL, AffirmQuery) == 0x18, "board hook layout");
static_assert(offsetof(BOARD_HOOK_PROTOCOL, AcknowledgeCall) == 0x20, "board hook layout");
static_assert(sizeof(BOARD_HOOK_PROTOCOL) == 9 * sizeof(VOID *), "board hook layout");

#endif  // BOARD_SLOT_SERVICE_BOARD_HOOK_PROTOCOL_H_
