// The platform's setup menus as the setup edit protocol sees them: form sets of items named by
// string id, each with its text and whether it is hidden or suppressed. The default board's
// menus hold every item the drivers edit, with the texts the setup shows before any edit.
#ifndef EMULATOR_SETUP_MENUS_H_
#define EMULATOR_SETUP_MENUS_H_

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "SetupEditProtocol.h"

namespace emu {

struct SetupItem {
  std::string text;
  bool hidden = false;
  bool suppressed = false;
  bool operator==(const SetupItem &) const = default;
};

// One call to the setup edit protocol: what the caller passed, and what the protocol answered.
struct SetupEditCall {
  std::string member;  // "HideItem", "UpdateString" or "SuppressItem"
  std::string formSet;
  uint16_t id = 0;
  std::string text;  // UpdateString only
  EFI_STATUS status = EFI_SUCCESS;
  // The same call: the same member with the same arguments, whatever the answer.
  bool operator==(const SetupEditCall &other) const;
};
std::ostream &operator<<(std::ostream &out, const SetupEditCall &call);

struct SetupMenus {
  std::map<std::string, std::map<uint16_t, SetupItem>> formSets;  // title -> string id -> item
  std::vector<SetupEditCall> edits;  // every call to the setup edit protocol, in call order

  const SetupItem *Find(const std::string &formSet, uint16_t id) const;
  SetupItem *Find(const std::string &formSet, uint16_t id);
  // Makes one edit as the setup driver does and logs it with its answer: an id the form set
  // lacks is EFI_NOT_FOUND. A call that already carries an error status changes nothing.
  EFI_STATUS Apply(SetupEditCall call);
};

// "Setup" and "Socket Configuration" as this board's setup shows them.
SetupMenus DefaultSetupMenus();

// The interface the platform's setup driver installs under gSetupEditProtocolGuid. Its members
// edit the current platform's board().setupMenus; members 2 to 4 are not for the drivers.
SETUP_EDIT_PROTOCOL *SetupEditInterface();

// The report section: per form set, every item whose text or state changed, then the calls
// that named no item.
std::string FormatMenuEdits(const SetupMenus &before, const SetupMenus &after);

}  // namespace emu

#endif  // EMULATOR_SETUP_MENUS_H_
