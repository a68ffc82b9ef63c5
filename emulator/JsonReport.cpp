// The report as JSON (boardsim --json), for scripts: the same findings as the text report, as
// data. docs/emulator.md documents the schema; a change to it that breaks a reader raises the
// version.
#include <nlohmann/json.hpp>

#include "BoardDecode.h"
#include "Boot.h"
#include "DebugLogText.h"
#include "Faults.h"
#include "PciBoard.h"
#include "ReportData.h"

namespace emu {

namespace {

// Keys keep the order they are written in: schema and version first.
using json = nlohmann::ordered_json;

constexpr int kJsonReportVersion = 1;

// Values that may pass 2^53 (statuses, fault values, call results and arguments) are
// hexadecimal strings; a reader's doubles would round them.
std::string Wide(uint64_t value) { return Hex(value); }

json Letters(const std::string &ports) {
  json list = json::array();
  for (char port : ports) list.push_back(std::string(1, port));
  return list;
}

json Optional(const std::map<uint32_t, uint32_t> &slots, uint32_t index) {
  auto it = slots.find(index);
  return it == slots.end() ? json(nullptr) : json(it->second);
}

json SlotCode(const BoardDescription &board, uint32_t code) {
  SlotCodeDecode decode = DecodeSlotCode(board, code);
  json port = decode.port >= 0xA && decode.port <= 0xD
                  ? json(std::string(1, static_cast<char>('A' + decode.port - 0xA)))
                  : json(nullptr);
  return {{"code", code},
          {"socket", decode.socket},
          {"stack", decode.stack},
          {"port", port},
          {"rootPort", BdfText(decode.rootPort)},
          {"rootPortBdf", decode.rootPort},
          {"fallback", decode.fallback.empty() ? json(nullptr) : json(decode.fallback)}};
}

// The fitted riser's row of the riser table, or null for a riser type without one.
json Riser(const BoardDescription &board) {
  const RISER_ROW *riser = FindRiser(board.RiserType());
  if (riser == nullptr) return nullptr;
  json storage = json::array();
  if (riser->StorageItems & RISER_M2_ITEMS) storage.push_back("M.2");
  if (riser->StorageItems & RISER_NVME_ITEMS) storage.push_back("NVMe");
  json slots = json::array(), order = json::array();
  for (size_t i = 0; i < riser->SlotCount; ++i) {
    const RISER_SLOT_ROW &slot = riser->Slots[i];
    slots.push_back({{"slotId", slot.SlotId},
                     {"designation", slot.Name},
                     {"lanes", slot.Lanes},
                     {"slotCode", SlotCode(board, slot.Code)},
                     {"opromItem", slot.OpromItem},
                     {"portItem", slot.PortItem},
                     {"vmdItem", slot.VmdItem}});
    order.push_back(riser->Slots[riser->ItemOrder[i]].SlotId);
  }
  return {{"storageItems", storage},
          {"slots", slots},
          {"itemOrder", order},
          {"hiddenOpromItems", HiddenRiserOpromItems(*riser)}};
}

json Board(const BootResult &result) {
  const BoardDescription &board = result.board;
  KvrnConfigDecode kvrn = DecodeKvrnConfig(board.KvrnConfig());
  const PROCESSOR_ROW *processor = FindProcessor(CpuSignature(board));
  return {
      {"riserType", board.RiserType()},
      {"riser", Riser(board)},
      {"kvrnUnavailable", board.KvrnUnavailable()},
      {"cpuSignature", CpuSignature(board)},
      {"processor", processor != nullptr ? json(processor->Name) : json(nullptr)},
      {"cpuidEax", board.cpuidEax},
      {"kvrnConfig",
       {{"value", kvrn.value},
        {"portsPresent", Letters(kvrn.portsPresent)},
        {"splitRule", kvrn.splitRule},
        {"slotWidth", kvrn.slotWidth ? json(*kvrn.slotWidth) : json(nullptr)},
        {"slotWidthName", kvrn.slotWidth ? json(SlotWidthName(*kvrn.slotWidth)) : json(nullptr)},
        {"portRecords", Letters(kvrn.portRecords)},
        {"unreadBits", kvrn.unreadBits}}}};
}

json Drivers(const BootResult &result) {
  json drivers = json::array();
  for (const DriverOutcome &driver : result.drivers) {
    drivers.push_back({{"name", driver.name},
                       {"status", StatusName(driver.status)},
                       {"statusValue", Wide(driver.status)},
                       {"resident", driver.resident}});
  }
  return drivers;
}

json Slots(const BootResult &result) {
  std::vector<uint32_t> order(std::begin(kExpansionSlotIndexes), std::end(kExpansionSlotIndexes));
  order.push_back(SLOT_INDEX_ONBOARD_NIC);
  json slots = json::array();
  for (uint32_t index : order) {
    json after = Optional(result.slotsAfter, index);
    json before = Optional(result.slotsBefore, index);
    slots.push_back({{"index", index},
                     {"before", before},
                     {"after", after},
                     {"changed", before != after},
                     {"decoded", after.is_null() ? json(nullptr)
                                                 : SlotCode(result.board, after.get<uint32_t>())}});
  }
  return slots;
}

json Smbios(const BootResult &result) {
  json slots = json::array();
  for (const SlotStructure &slot : SlotStructures(result)) {
    const SmbiosStructure &s = slot.structure;
    json entry = {{"handle", s.Handle()},
                  {"type", s.Type()},
                  {"designation", s.String(s.Byte(4))},
                  {"slotType", s.Byte(5)},
                  {"slotTypeName", SlotTypeName(s.Byte(5))},
                  {"slotId", s.Word(9)},
                  {"width", s.Byte(6)},
                  {"widthName", SlotWidthName(s.Byte(6))},
                  {"usage", s.Byte(7)},
                  {"usageName", SlotUsageName(s.Byte(7))},
                  {"slotCode", SlotCode(result.board, SlotCodeOf(s))},
                  {"change", StructureChangeName(slot.change)}};
    if (slot.change == StructureChange::kWidth) entry["widthBefore"] = slot.widthBefore;
    slots.push_back(entry);
  }
  json structures = json::array();
  for (const SmbiosStructure &s : result.smbiosAfter.Structures()) {
    structures.push_back({{"handle", s.Handle()},
                          {"type", s.Type()},
                          {"length", s.Length()},
                          {"strings", s.Strings()},
                          {"bytes", HexBytes(s.bytes.data(), s.bytes.size())}});
  }
  return {{"editProtocol", result.board.smbiosEditProtocol},
          {"slotStructures", slots},
          {"structures", structures}};
}

json Item(const SetupItem &item) {
  return {{"text", item.text}, {"hidden", item.hidden}, {"suppressed", item.suppressed}};
}

json Menus(const BootResult &result) {
  json edits = json::array();
  for (const SetupEditCall &call : result.menusAfter.edits) {
    edits.push_back({{"member", call.member},
                     {"formSet", call.formSet},
                     {"id", call.id},
                     {"text", call.member == "UpdateString" ? json(call.text) : json(nullptr)},
                     {"status", StatusName(call.status)}});
  }
  json items = json::array();
  for (const MenuItemChange &change : MenuItemChanges(result.board.setupMenus, result.menusAfter)) {
    items.push_back({{"formSet", change.formSet},
                     {"id", change.id},
                     {"before", Item(change.before)},
                     {"after", Item(change.after)}});
  }
  return {{"edits", edits}, {"changedItems", items}};
}

json NicMacs(const BootResult &result) {
  json primary = json::array(), secondary = json::array();
  for (const MacAddress &mac : result.nicMacs.primary) primary.push_back(MacText(mac));
  for (const MacAddress &mac : result.nicMacs.secondary) secondary.push_back(MacText(mac));
  return {{"collected", result.nicMacs.collected},
          {"status",
           result.nicMacs.collected ? json(StatusName(result.nicMacs.status)) : json(nullptr)},
          {"primary", primary},
          {"secondary", secondary}};
}

json Pci(const BootResult &result) {
  json rootPorts = json::array(), others = json::array(), dropped = json::array();
  for (const RegisterChange &change : RegisterChanges(result)) {
    json entry = {{"bdf", BdfText(change.bdf)},
                  {"register", change.offset},
                  {"before", change.before},
                  {"after", change.after}};
    if (change.rootPort15C) {
      std::optional<uint32_t> slot = SlotOfRootPort(result, change.bdf);
      entry["slot"] = slot ? json(*slot) : json(nullptr);
      rootPorts.push_back(entry);
    } else {
      others.push_back(entry);
    }
  }
  for (const PciWrite &write : DroppedWrites(result)) {
    dropped.push_back(
        {{"bdf", BdfText(write.bdf)}, {"register", write.offset}, {"value", write.after}});
  }
  return {{"rootPorts", rootPorts}, {"otherRegisters", others}, {"droppedWrites", dropped}};
}

json CallNumbers(const std::vector<size_t> &indexes) {
  json numbers = json::array();
  for (size_t index : indexes) numbers.push_back(index + 1);
  return numbers;
}

json Faults(const BootResult &result) {
  json faults = json::array();
  for (const FaultOutcome &outcome : FaultOutcomes(result)) {
    const Fault &fault = outcome.fault;
    faults.push_back(
        {{"member", fault.member},
         {"occurrence", fault.occurrence == Fault::kEveryCall ? json("*") : json(fault.occurrence)},
         {"value", Wide(fault.value)},
         {"valueText", FaultValueText(fault)},
         {"firedOnCalls", CallNumbers(outcome.fired)},
         {"refusedOnCalls", CallNumbers(outcome.refused)},
         {"matched", !outcome.fired.empty() || !outcome.refused.empty()},
         {"memberCalls", outcome.memberCalls}});
  }
  return faults;
}

json PlatformChecks(const BootResult &result) {
  return {{"made", result.platformChecked},
          {"passed", result.platformChecked ? json(result.violations.empty()) : json(nullptr)},
          {"problems", result.violations}};
}

// The lines' texts as the report shows them (unprintable bytes as \xNN): a line holds what a
// driver's strings held, which need not be UTF-8.
json DebugLog(const BootResult &result) {
  json lines = json::array();
  for (const DebugLine &line : result.debugLines) {
    lines.push_back(
        {{"call", line.call < 0 ? json(nullptr) : json(line.call + 1)},
         {"driver", line.driver},
         {"callerId", line.callerId},
         {"level", line.hasLevel ? json(line.level) : json(nullptr)},
         {"levelName", line.hasLevel ? json(DebugLevelName(line.level)) : json(nullptr)},
         {"unpacked", line.unpacked},
         {"text", line.unpacked ? json(DebugLineText(line)) : json(nullptr)},
         {"problem", line.problem.empty() ? json(nullptr) : json(line.problem)}});
  }
  return {{"images", ImageBuildName(result.images)}, {"lines", lines}};
}

json Calls(const BootResult &result) {
  json calls = json::array();
  for (size_t i = 0; i < result.calls.size(); ++i) {
    const CallRecord &call = result.calls[i];
    CallText text = DescribeCall(call);
    json args = json::array();
    for (uint64_t value : call.args) args.push_back(Wide(value));
    calls.push_back({{"number", i + 1},
                     {"driver", call.image},
                     {"function", call.during},
                     {"member", call.member},
                     {"what", call.what},
                     {"args", args},
                     {"result", Wide(call.result)},
                     {"concerns", text.concerns},
                     {"arguments", text.arguments},
                     {"resultText", text.result},
                     {"faulted", call.injected},
                     {"fault", call.fault >= 0 ? json(call.fault) : json(nullptr)}});
  }
  return calls;
}

}  // namespace

std::string FormatJsonReport(const BootResult &result, bool withCalls) {
  json report = {{"schema", "boardsim-report"},
                 {"version", kJsonReportVersion},
                 {"source", result.platformChecked ? "emulator" : "firmware"},
                 {"board", Board(result)},
                 {"drivers", Drivers(result)},
                 {"slots", Slots(result)},
                 {"smbios", Smbios(result)},
                 {"menus", Menus(result)},
                 {"nicMacs", NicMacs(result)},
                 {"pci", Pci(result)},
                 {"faults", Faults(result)},
                 {"platformChecks", PlatformChecks(result)},
                 {"debugLog", DebugLog(result)}};
  if (withCalls) report["calls"] = Calls(result);
  return report.dump(2) + "\n";
}

}  // namespace emu
