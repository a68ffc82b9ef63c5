// Setup edit protocol: hides, retitles and suppresses items of the platform's setup menus,
// addressed by form-set title and string id. Another platform driver installs it; MenuPruner
// only calls it, and the emulator provides it.
#ifndef MENU_PRUNER_SETUP_EDIT_PROTOCOL_H_
#define MENU_PRUNER_SETUP_EDIT_PROTOCOL_H_

#include "Uefi.h"

constexpr EFI_GUID gSetupEditProtocolGuid = {
    0x41EADC00, 0x8DB2, 0x4BFE, {0xB0, 0xEA, 0xCB, 0xAA, 0xE7, 0xF4, 0xD3, 0x1B}};

// Members take no interface pointer: the first argument is the form-set title, NUL-terminated
// ASCII ("Setup", "Socket Configuration"). An item is named by the string id of its prompt.
// A new text must stay valid while its caller is loaded: the protocol may keep the pointer.
typedef EFI_STATUS(EFIAPI *SETUP_EDIT_HIDE_ITEM)(const CHAR8 *FormSetTitle, UINT16 StringId);
typedef EFI_STATUS(EFIAPI *SETUP_EDIT_UPDATE_STRING)(const CHAR8 *FormSetTitle, UINT16 StringId,
                                                     const CHAR8 *NewText);
typedef EFI_STATUS(EFIAPI *SETUP_EDIT_SUPPRESS_ITEM)(const CHAR8 *FormSetTitle, UINT16 StringId);

struct SETUP_EDIT_PROTOCOL {
  SETUP_EDIT_HIDE_ITEM HideItem;
  SETUP_EDIT_UPDATE_STRING UpdateString;
  VOID *Member2To4[3];
  SETUP_EDIT_SUPPRESS_ITEM SuppressItem;
};
static_assert(offsetof(SETUP_EDIT_PROTOCOL, HideItem) == 0x00, "setup edit layout");
static_assert(offsetof(SETUP_EDIT_PROTOCOL, UpdateString) == 0x08, "setup edit layout");
static_assert(offsetof(SETUP_EDIT_PROTOCOL, SuppressItem) == 0x28, "setup edit layout");
static_assert(sizeof(SETUP_EDIT_PROTOCOL) == 6 * sizeof(VOID *), "setup edit layout");

#endif  // MENU_PRUNER_SETUP_EDIT_PROTOCOL_H_
