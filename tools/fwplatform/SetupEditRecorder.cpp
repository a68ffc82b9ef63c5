// A setup edit protocol that records every call, in order, as the platform's setup driver
// would receive them; the report lists them and the host replays them on the board's menus.
#include "FwPlatform.h"
#include "SetupEditProtocol.h"

namespace {

struct SetupEditEntry {
  const char *Call;
  const CHAR8 *FormSet;
  UINT16 Id;
  const CHAR8 *Text;  // the driver's own constant data, valid while it is loaded
};

constexpr UINTN kMaxEntries = 512;
constinit SetupEditEntry mEntries[kMaxEntries] = {};
constinit UINTN mEntryCount = 0;
constinit UINTN mLost = 0;

EFI_STATUS Record(const char *Call, const CHAR8 *FormSet, UINT16 Id, const CHAR8 *Text) {
  if (FormSet == nullptr) return EFI_INVALID_PARAMETER;
  if (mEntryCount == kMaxEntries) {
    ++mLost;
    return EFI_OUT_OF_RESOURCES;
  }
  mEntries[mEntryCount++] = {Call, FormSet, Id, Text};
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HideItem(const CHAR8 *FormSet, UINT16 Id) {
  DriverCall Call(__builtin_return_address(0), "SetupEdit.HideItem", 1, Id);
  Call.Label(FormSet);
  return Call.Returns(Record("HideItem", FormSet, Id, nullptr));
}
EFI_STATUS EFIAPI UpdateString(const CHAR8 *FormSet, UINT16 Id, const CHAR8 *Text) {
  DriverCall Call(__builtin_return_address(0), "SetupEdit.UpdateString", 1, Id);
  Call.Label(FormSet);
  return Call.Returns(Text == nullptr ? EFI_INVALID_PARAMETER
                                      : Record("UpdateString", FormSet, Id, Text));
}
EFI_STATUS EFIAPI SuppressItem(const CHAR8 *FormSet, UINT16 Id) {
  DriverCall Call(__builtin_return_address(0), "SetupEdit.SuppressItem", 1, Id);
  Call.Label(FormSet);
  return Call.Returns(Record("SuppressItem", FormSet, Id, nullptr));
}

constinit SETUP_EDIT_PROTOCOL mSetupEdit = {HideItem, UpdateString, {}, SuppressItem};

}  // namespace

void *gSetupEditInterface = &mSetupEdit;

VOID ReportSetupEdits() {
  for (UINTN Index = 0; Index < mEntryCount; ++Index) {
    const SetupEditEntry &Entry = mEntries[Index];
    Out << "menu " << Entry.Call << " \"" << Entry.FormSet << "\" " << Dec{Entry.Id};
    if (Entry.Text != nullptr) Out << " \"" << Entry.Text << "\"";
    Out << "\n";
  }
  if (mLost != 0) Out << "menu-lost " << Dec{mLost} << "\n";
}
