// The setup edit protocol as the platform's setup driver provides it: hides, retitles and
// suppresses items of the board's setup menus, logging every call. Edits change the live board,
// so the boot's result shows the menus as the drivers left them.
#include <string>

#include "DxeCore.h"
#include "SetupMenus.h"

namespace emu {

namespace {

std::string Read(const CHAR8 *text) { return text != nullptr ? std::string(text) : std::string(); }

// The protocol may keep the text's pointer rather than a copy, so a driver must hand over its
// own static data, never a stack or pool buffer.
void CheckTextIsStatic(DxeCore &p, const CHAR8 *text) {
  std::string caller = p.CurrentImageName();
  if (caller.empty() || text == nullptr) return;
  std::string holder = p.AsImageOf(text, [&p] { return p.CurrentImageName(); });
  if (holder != caller) {
    p.Violation(caller + " passed UpdateString a text that is not its own static data");
  }
}

// A missing title, or a retitle without a text, is refused before the menus see the call.
EFI_STATUS Edit(const char *member, const char *loggedAs, const CHAR8 *formSet, UINT16 id,
                const CHAR8 *text, bool needsText) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter(loggedAs, {id}, Read(formSet));
  SetupEditCall call{member, Read(formSet), id, Read(text), EFI_SUCCESS};
  if (site.injected) {
    call.status = static_cast<EFI_STATUS>(*site.injected);
  } else if (formSet == nullptr || (needsText && text == nullptr)) {
    call.status = EFI_INVALID_PARAMETER;
  }
  return p.Leave(site, p.Board().setupMenus.Apply(call));
}

EFI_STATUS EFIAPI HideItem(const CHAR8 *formSet, UINT16 id) {
  return Edit("HideItem", "SetupEdit.HideItem", formSet, id, nullptr, false);
}

EFI_STATUS EFIAPI UpdateString(const CHAR8 *formSet, UINT16 id, const CHAR8 *text) {
  CheckTextIsStatic(DxeCore::Current(), text);
  return Edit("UpdateString", "SetupEdit.UpdateString", formSet, id, text, true);
}

EFI_STATUS EFIAPI SuppressItem(const CHAR8 *formSet, UINT16 id) {
  return Edit("SuppressItem", "SetupEdit.SuppressItem", formSet, id, nullptr, false);
}

// The members between the second and the sixth.
EFI_STATUS EFIAPI UnexpectedMember() {
  DxeCore::Current().Violation("a driver called a setup edit member it must not use");
  return EFI_UNSUPPORTED;
}

}  // namespace

SETUP_EDIT_PROTOCOL *SetupEditInterface() {
  static SETUP_EDIT_PROTOCOL protocol = [] {
    SETUP_EDIT_PROTOCOL interface {};
    interface.HideItem = HideItem;
    interface.UpdateString = UpdateString;
    for (void *&member : interface.Member2To4) member = reinterpret_cast<void *>(&UnexpectedMember);
    interface.SuppressItem = SuppressItem;
    return interface;
  }();
  return &protocol;
}

}  // namespace emu
