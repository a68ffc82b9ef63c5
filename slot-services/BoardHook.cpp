// The board hook protocol's interface: fixed answers for the members the platform only polls.
#include "SlotServices.h"

static BOOLEAN EFIAPI ReturnFalse(UINTN, UINTN, UINTN, UINTN) { return FALSE; }
static BOOLEAN EFIAPI ReturnTrue(UINTN, UINTN, UINTN, UINTN) { return TRUE; }
static EFI_STATUS EFIAPI ReturnSuccess(UINTN, UINTN, UINTN, UINTN) { return EFI_SUCCESS; }

constinit const BOARD_HOOK_PROTOCOL mBoardHookProtocol = {
    ReturnFalse, nullptr, nullptr, ReturnTrue, ReturnSuccess, {nullptr, nullptr, nullptr, nullptr}};
