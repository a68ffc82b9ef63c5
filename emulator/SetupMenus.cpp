#include "SetupMenus.h"

#include <sstream>
#include <utility>

#include "BoardInfoProtocol.h"
#include "Boot.h"
#include "ReportData.h"
#include "TextTable.h"

namespace emu {

namespace {

std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

// The IIO root ports of one socket's page: four stacks of ports A to D, in id order.
void AddPorts(std::map<uint16_t, SetupItem> &items, uint16_t first, const char *prefix,
              uint16_t stackStride) {
  for (int stack = 0; stack < 4; ++stack) {
    for (int port = 0; port < 4; ++port) {
      std::string name =
          std::string(prefix) + "Port " + std::to_string(stack + 1) + static_cast<char>('A' + port);
      items[static_cast<uint16_t>(first + stack * stackStride + port)] = SetupItem{name};
    }
  }
}

}  // namespace

bool SetupEditCall::operator==(const SetupEditCall &other) const {
  return member == other.member && formSet == other.formSet && id == other.id && text == other.text;
}

std::ostream &operator<<(std::ostream &out, const SetupEditCall &call) {
  out << call.member << "(" << Quoted(call.formSet) << ", " << call.id;
  if (call.member == "UpdateString") out << ", " << Quoted(call.text);
  return out << ")";
}

const SetupItem *SetupMenus::Find(const std::string &formSet, uint16_t id) const {
  auto set = formSets.find(formSet);
  if (set == formSets.end()) return nullptr;
  auto item = set->second.find(id);
  return item == set->second.end() ? nullptr : &item->second;
}

SetupItem *SetupMenus::Find(const std::string &formSet, uint16_t id) {
  return const_cast<SetupItem *>(std::as_const(*this).Find(formSet, id));
}

EFI_STATUS SetupMenus::Apply(SetupEditCall call) {
  if (!EFI_ERROR(call.status)) {
    SetupItem *item = Find(call.formSet, call.id);
    if (item == nullptr) {
      call.status = EFI_NOT_FOUND;
    } else if (call.member == "HideItem") {
      item->hidden = true;
    } else if (call.member == "UpdateString") {
      item->text = call.text;
    } else if (call.member == "SuppressItem") {
      item->suppressed = true;
    } else {
      call.status = EFI_UNSUPPORTED;
    }
  }
  edits.push_back(call);
  return call.status;
}

SetupMenus DefaultSetupMenus() {
  SetupMenus menus;
  auto &setup = menus.formSets["Setup"];
  setup[143] = {"Onboard LAN Option ROM Type"};
  setup[551] = {"Onboard LAN Device"};
  // Each expansion slot's OPROM item, prompt and help, in the order the slots are walked.
  for (size_t row = 0; row < EXPANSION_SLOT_COUNT; ++row) {
    std::string slot = "Slot " + std::to_string(kExpansionSlotIndexes[row]) + " OPROM";
    setup[static_cast<uint16_t>(1596 + 2 * row)] = {slot};
    setup[static_cast<uint16_t>(1597 + 2 * row)] = {"Enables or disables " + slot + " option."};
  }
  setup[1636] = {"Onboard Video OPROM"};
  setup[1655] = {"Onboard SATA OPROM"};
  for (int bay = 0; bay < 12; ++bay) {
    setup[static_cast<uint16_t>(1657 + 2 * bay)] = {"NVMe" + std::to_string(bay) + " OPROM"};
  }

  auto &socket = menus.formSets["Socket Configuration"];
  socket[878] = {"sSATA Port 4"};
  socket[879] = {"sSATA Port 5"};
  socket[2416] = {"sSATA Port 4 VMD"};
  socket[2417] = {"sSATA Port 5 VMD"};
  for (int port = 0; port < 4; ++port) {
    std::string name = std::string("CPU2 Port 2") + static_cast<char>('A' + port);
    socket[static_cast<uint16_t>(2337 + port)] = {name};
    socket[static_cast<uint16_t>(2432 + port)] = {name + " Link Speed"};
  }
  // Two sockets' pages of root ports, plain and under VMD (whose stacks carry two more items).
  AddPorts(socket, 2354, "", 4);
  AddPorts(socket, 2375, "", 4);
  AddPorts(socket, 2456, "VMD ", 6);
  AddPorts(socket, 2486, "VMD ", 6);
  socket[2641] = {"IIO eDPC Support"};
  return menus;
}

std::vector<MenuItemChange> MenuItemChanges(const SetupMenus &before, const SetupMenus &after) {
  std::vector<MenuItemChange> changes;
  for (const auto &[title, items] : after.formSets) {
    for (const auto &[id, item] : items) {
      const SetupItem *was = before.Find(title, id);
      SetupItem original = was != nullptr ? *was : SetupItem{};
      if (!(item == original)) changes.push_back({title, id, original, item});
    }
  }
  return changes;
}

std::string FormatMenuEdits(const SetupMenus &before, const SetupMenus &after) {
  std::ostringstream out;
  out << "Setup menus (items the drivers changed)\n";
  if (after.edits.empty()) {
    out << "  the setup edit protocol was not called\n";
    return out.str();
  }
  std::vector<MenuItemChange> changes = MenuItemChanges(before, after);
  bool changed = !changes.empty();
  for (size_t i = 0; i < changes.size();) {
    const std::string &title = changes[i].formSet;
    TextTable table({"string id", "state", "text (before -> after)"});
    for (; i < changes.size() && changes[i].formSet == title; ++i) {
      const SetupItem &was = changes[i].before, &item = changes[i].after;
      std::string text = Quoted(was.text);
      if (item.text != was.text) text += " -> " + Quoted(item.text);
      std::string state = item.hidden ? "hidden" : "";
      if (item.suppressed) state += std::string(state.empty() ? "" : " ") + "suppressed";
      table.Add({std::to_string(changes[i].id), state, text});
    }
    out << "  form set \"" << title << "\"\n";
    table.Print(out, "    ");
  }
  if (!changed) out << "  no item changed\n";

  size_t hides = 0, updates = 0, suppresses = 0;
  std::ostringstream failed;
  for (const SetupEditCall &call : after.edits) {
    hides += call.member == "HideItem";
    updates += call.member == "UpdateString";
    suppresses += call.member == "SuppressItem";
    if (EFI_ERROR(call.status)) failed << "    " << call << ": " << StatusName(call.status) << "\n";
  }
  out << "  " << after.edits.size() << " setup edit calls: " << hides << " HideItem, " << updates
      << " UpdateString, " << suppresses << " SuppressItem\n";
  if (!failed.str().empty()) out << "  Calls that failed:\n" << failed.str();
  return out.str();
}

}  // namespace emu
