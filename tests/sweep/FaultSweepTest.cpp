// The fault sweep. On the default board and a few others, one boot records every call the
// drivers make to the boot services, the runtime services and the platform's protocols; then
// the boot is replayed once per recorded call and per way that call can fail, each replay in a
// process of its own. Every replay must end (no crash, no hang), keep the pool balanced, leave
// nothing registered that points into an unloaded image, give each driver the start status
// its design says, and show the effect defined for that failure: a failed lookup ends the
// routine that needed it, an ignored status changes nothing, a failed walk step ends the walk,
// a lost answer only takes work away, and nothing outside the failing pass changes.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "BoardHookProtocol.h"
#include "IsolatedRuns.h"
#include "PciBus.h"
#include "SetupEditProtocol.h"
#include "SmbiosEditProtocol.h"
#include "Tests.h"
#include "TriggerProtocols.h"

namespace {

// ---- The passes: the driver code the platform enters, and what each may change ------------------

enum Output : unsigned {
  kSlots = 1,       // the board information protocol's slot table
  kSmbios = 2,      // the SMBIOS table
  kMenus = 4,       // the setup menus and the edit calls
  kNicMacs = 8,     // what CollectNicMacAddresses returned
  kPciWrites = 16,  // configuration writes that reached a function
  kDrivers = 32,    // start statuses and which images stayed resident
  kEverything = 63,
};

struct Pass {
  const char *name;
  const char *driver;
  unsigned outputs;  // what a failure inside it may change
};

// A start may change everything its driver does later; a notify pass or member only its own work.
constexpr Pass kPasses[] = {
    {"BoardSlotServiceEntryPoint", "BoardSlotService", kEverything},
    {"SmbiosSlotNotify", "BoardSlotService", kSmbios},
    {"RootPortAdjustNotify", "BoardSlotService", kPciWrites},
    {"CollectNicMacAddresses", "BoardSlotService", kNicMacs | kPciWrites},
    {"ReadyToBootNotify", "BoardSlotService", 0},
    {"MenuPrunerEntryPoint", "MenuPruner", kMenus | kDrivers},
    {"RiserMenuEditsNotify", "MenuPruner", kMenus},
    {"KvrnLabelsNotify", "MenuPruner", kMenus},
};

const Pass *FindPass(const std::string &name) {
  for (const Pass &pass : kPasses) {
    if (name == pass.name) return &pass;
  }
  return nullptr;
}

bool IsStart(const Pass &pass) { return std::string(pass.name).ends_with("EntryPoint"); }

// Passes whose calls a failure in `pass` may change: its own, after a start every pass of that
// driver, and after BoardSlotService's start every pass that reads the slot table it fills.
bool MayChangeCallsOf(const Pass &failing, const Pass &other) {
  if (&failing == &other) return true;
  if (!IsStart(failing)) return false;
  return std::string(failing.driver) == other.driver || (failing.outputs & kSlots) != 0;
}

// ---- Boards -------------------------------------------------------------------------------------

struct SweepBoard {
  std::string name;
  emu::BoardDescription board;
};

std::vector<SweepBoard> SweepBoards() {
  std::vector<SweepBoard> boards;
  boards.push_back({"default board", emu::DefaultBoard()});

  // The KVRN module unusable: its slot record is looked for and removed, its item hidden.
  emu::BoardDescription unusable = emu::DefaultBoard();
  unusable.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, 1);
  unusable.SetBoardByte(BOARD_BYTE_RISER_TYPE, 6);
  boards.push_back({"KVRN unusable, riser 6", unusable});

  // NVMe names, port C alone, the other processor generation, and no onboard NIC root port
  // with the setup asking for its item to go.
  emu::BoardDescription nvme = emu::DefaultBoard();
  nvme.SetBoardByte(BOARD_BYTE_RISER_TYPE, 0);
  nvme.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x84);
  emu::SetCpuSignature(nvme, 0x606A);
  nvme.pci.erase(PciBdf(0x17, 0, 0));
  nvme.SetSetupByte(288, 1);
  boards.push_back({"riser 0, port C, no NIC root port", nvme});

  // Port B alone, and a second structure with the KVRN slot's Slot ID for the width walk.
  emu::BoardDescription twoRecords = emu::DefaultBoard();
  twoRecords.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x02);
  emu::SmbiosSlot spare{9, 0x40, "KVRN spare"};
  spare.id = 0x0B01;
  std::string error;
  EXPECT_TRUE(twoRecords.smbios.Put(spare.Bytes(), error)) << error;
  boards.push_back({"port B, two KVRN slot records", twoRecords});
  return boards;
}

// ---- How each call can fail ---------------------------------------------------------------------

struct Injection {
  uint64_t value;
  std::string what;  // for the report
  bool lost;         // a failure or a lost answer, not merely a different answer
};

// Statuses each member may return besides success.
const std::map<std::string, std::vector<EFI_STATUS>> &FailingStatuses() {
  static const std::map<std::string, std::vector<EFI_STATUS>> kStatuses = {
      {"BS.AllocatePool", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"BS.FreePool", {EFI_INVALID_PARAMETER}},
      {"BS.CreateEvent", {EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES}},
      {"BS.CreateEventEx", {EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES}},
      {"BS.CloseEvent", {EFI_INVALID_PARAMETER}},
      {"BS.RegisterProtocolNotify", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"BS.InstallProtocolInterface", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"BS.LocateProtocol", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER}},
      {"RT.GetVariable",
       {EFI_NOT_FOUND, EFI_BUFFER_TOO_SMALL, EFI_INVALID_PARAMETER, EFI_DEVICE_ERROR,
        EFI_SECURITY_VIOLATION}},
      {"BoardInfo.InitNotify", {EFI_INVALID_PARAMETER, EFI_DEVICE_ERROR}},
      {"BoardInfo.SetSlotLocation",
       {EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES, EFI_DEVICE_ERROR}},
      {"Smbios.InsertRecord", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER, EFI_ALREADY_STARTED}},
      {"Smbios.RemoveRecord", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER}},
      {"Smbios.FindRecordByType", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES}},
      {"Smbios.ReplaceRecord", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES}},
      {"SetupEdit.HideItem", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES}},
      {"SetupEdit.UpdateString", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES}},
      {"SetupEdit.SuppressItem", {EFI_NOT_FOUND, EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES}},
  };
  return kStatuses;
}

using emu::Hex;

// Why a recorded call is not made to fail; empty when it is.
std::string Excluded(const emu::CallRecord &call) {
  // The dispatch dependency guarantees both protocols before either driver starts.
  if (call.member == "BS.LocateProtocol" &&
      (call.what == emu::GuidToString(gBoardInfoProtocolGuid) ||
       call.what == emu::GuidToString(gRegisterAccessProtocolGuid))) {
    return "lookups of the board information and register access protocols";
  }
  // No result: there is nothing for them to fail with.
  if (call.member == "BS.CopyMem" || call.member == "BS.SetMem") return "CopyMem and SetMem";
  return "";
}

// The ways one recorded call can fail. Empty for a member the sweep does not know, which the
// sweep reports: a new platform call must get its failures here.
std::vector<Injection> InjectionsFor(const emu::CallRecord &call) {
  std::vector<Injection> out;
  auto statuses = FailingStatuses().find(call.member);
  if (statuses != FailingStatuses().end()) {
    for (EFI_STATUS status : statuses->second) {
      out.push_back({status, emu::StatusName(status), true});
    }
    return out;
  }
  // Members that answer with data get boundary values and answers that belong elsewhere.
  if (call.member == "BoardInfo.QueryBoardByte") {
    out = {{0x00, "answers 0", false}, {0xFF, "answers 0xFF", false}};
  } else if (call.member == "BoardInfo.GetSlotLocation") {
    uint32_t wrongPort = call.result == KVRN_PORT_CODE_B ? KVRN_PORT_CODE_C : KVRN_PORT_CODE_B;
    for (uint64_t code :
         {uint64_t{0}, uint64_t{0xFFFFFFFF}, uint64_t{wrongPort}, uint64_t{0x22E000}}) {
      if (code != call.result) out.push_back({code, "answers " + Hex(code), false});
    }
  } else if (call.member == "RegisterAccess.GetRegisterAddress" && !call.args.empty()) {
    // A register access that fails reaches no function: the same register of a function that
    // is not there, which reads all ones and drops writes.
    uint64_t dead = PciBdf(0xFF, 0x1F, 7) << 12 | (call.args[0] & 0xFFF);
    out.push_back({dead, "answers a register where nothing answers", true});
  } else if (call.member == "CPU.Cpuid") {
    uint64_t otherGeneration = (call.result >> 4 & 0xFFFF) == 0x5065 ? 0x606A6 : 0x50654;
    out = {{0, "answers EAX 0", false},
           {0xFFFFFFFF, "answers EAX 0xFFFFFFFF", false},
           {otherGeneration, "answers the other generation's EAX " + Hex(otherGeneration), false}};
  }
  return out;
}

// ---- Baselines and failure points ---------------------------------------------------------------

// A call as the comparisons see it: the same member with the same arguments and identity,
// whatever it answered.
std::string KeyOf(const emu::CallRecord &call) {
  std::string key = call.member + "(";
  for (size_t i = 0; i < call.args.size(); ++i) key += (i ? ", " : "") + Hex(call.args[i]);
  key += ")";
  if (!call.what.empty()) key += " " + call.what;
  return key;
}

struct PassCall {
  size_t index;  // in the boot's calls
  std::string key;
};
using PassCalls = std::map<std::string, std::vector<PassCall>>;

PassCalls CallsByPass(const std::vector<emu::CallRecord> &calls) {
  PassCalls out;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (!calls[i].image.empty()) out[calls[i].during].push_back({i, KeyOf(calls[i])});
  }
  return out;
}

std::vector<std::string> Keys(const std::vector<PassCall> &calls) {
  std::vector<std::string> keys;
  for (const PassCall &call : calls) keys.push_back(call.key);
  return keys;
}

// What a boot did to the SMBIOS table: structures added (compared without their handles, which
// the table chooses), and the board's structures changed or removed.
struct SmbiosDelta {
  std::vector<std::vector<uint8_t>> added;
  std::set<uint16_t> changed;
  std::set<uint16_t> removed;
};

SmbiosDelta DeltaOf(const emu::SmbiosTable &before, const emu::SmbiosTable &after) {
  SmbiosDelta delta;
  for (const emu::SmbiosStructure &s : after.Structures()) {
    const emu::SmbiosStructure *old = before.Find(s.Handle());
    if (old == nullptr) {
      std::vector<uint8_t> bytes = s.bytes;
      bytes[2] = bytes[3] = 0;
      delta.added.push_back(bytes);
    } else if (!(*old == s)) {
      delta.changed.insert(s.Handle());
    }
  }
  for (const emu::SmbiosStructure &s : before.Structures()) {
    if (after.Find(s.Handle()) == nullptr) delta.removed.insert(s.Handle());
  }
  return delta;
}

struct Baseline {
  const SweepBoard *board;
  emu::BootResult result;
  PassCalls passes;
  SmbiosDelta smbios;
};

struct FailurePoint {
  const Baseline *base;
  size_t call;          // index in the baseline's calls
  uint32_t occurrence;  // of its member in the boot, from 1
  Injection injection;

  const emu::CallRecord &Call() const { return base->result.calls[call]; }
  std::string Describe() const {
    const emu::CallRecord &c = Call();
    std::string text =
        base->board->name + ", " + c.during + ": " + c.member + " #" + std::to_string(occurrence);
    std::string args;
    for (uint64_t arg : c.args) args += (args.empty() ? "" : ", ") + Hex(arg);
    if (!args.empty()) text += " (" + args + ")";
    if (!c.what.empty()) text += " [" + c.what + "]";
    return text + " " + (injection.what.starts_with("answers") ? "" : "fails with ") +
           injection.what;
  }
};

// ---- What a replay must show --------------------------------------------------------------------

class ReplayCheck {
 public:
  ReplayCheck(const FailurePoint &point, const emu::BootResult &replay)
      : point_(point),
        base_(*point.base),
        call_(point.Call()),
        replay_(replay),
        passes_(CallsByPass(replay.calls)),
        pass_(*FindPass(call_.during)) {}

  std::vector<std::string> Run() {
    if (!InjectionLanded()) return findings_;
    CheckViolations();
    CheckStartStatuses();
    CheckOtherPasses();
    CheckFailingPass();
    CheckOutputs();
    if (point_.injection.lost) CheckOnlyWorkIsLost();
    return findings_;
  }

 private:
  void Find(const std::string &what) { findings_.push_back(what); }
  bool Is(const char *member) const { return call_.member == member; }
  bool IsStatus() const { return FailingStatuses().count(call_.member) != 0; }
  bool WhatEndsWith(const char *function) const {
    return call_.what == function || call_.what.ends_with(std::string(" ") + function);
  }

  // The replay runs as the baseline did up to the chosen call, and that call failed.
  bool InjectionLanded() {
    const auto &calls = replay_.calls;
    bool same = calls.size() > point_.call;
    for (size_t i = 0; same && i < point_.call; ++i) {
      same = KeyOf(calls[i]) == KeyOf(base_.result.calls[i]);
    }
    if (!same || KeyOf(calls[point_.call]) != KeyOf(call_) || !calls[point_.call].injected) {
      Find("the replay did not fail the recorded call");
      return false;
    }
    return true;
  }

  // No leak, double free, unexpected service or registration into an unloaded image. A block
  // whose FreePool failed stays allocated: that one leak is the failure's own.
  void CheckViolations() {
    std::vector<std::string> violations = replay_.violations;
    if (Is("BS.FreePool")) {
      auto leak = std::find_if(violations.begin(), violations.end(), [&](const std::string &v) {
        return v.starts_with(call_.image + " leaked");
      });
      if (leak == violations.end()) {
        Find("the block whose FreePool failed is not reported as kept");
      } else {
        violations.erase(leak);
      }
    }
    for (const std::string &violation : violations) Find("platform violation: " + violation);
  }

  // Only the root-port adjustment event of BoardSlotService and the KVRN labels event of
  // MenuPruner decide their driver's start: their creation or registration failing fails the
  // start with that status. Nothing else does.
  bool DecidesStart() const {
    if (call_.during == "BoardSlotServiceEntryPoint") {
      return (Is("BS.CreateEvent") || Is("BS.RegisterProtocolNotify")) &&
             WhatEndsWith("RootPortAdjustNotify");
    }
    if (call_.during == "MenuPrunerEntryPoint") {
      return (Is("BS.CreateEvent") || Is("BS.RegisterProtocolNotify")) &&
             WhatEndsWith("KvrnLabelsNotify");
    }
    return false;
  }

  void CheckStartStatuses() {
    for (size_t i = 0; i < replay_.drivers.size(); ++i) {
      const emu::DriverOutcome &got = replay_.drivers[i];
      emu::DriverOutcome want = base_.result.drivers[i];
      if (IsStart(pass_) && got.name == pass_.driver) {
        bool fails = DecidesStart();
        want.status = fails ? point_.injection.value : EFI_SUCCESS;
        want.resident = !fails;
      }
      if (got.status != want.status || got.resident != want.resident) {
        Find(got.name + " started with " + emu::StatusName(got.status) +
             (got.resident ? " and stayed" : " and was unloaded") + ", expected " +
             emu::StatusName(want.status));
      }
    }
  }

  // The notify function whose event a failed CreateEvent or registration leaves unarmed.
  std::string UnarmedNotify() const {
    if (!IsStart(pass_) ||
        !(Is("BS.CreateEvent") || Is("BS.CreateEventEx") || Is("BS.RegisterProtocolNotify"))) {
      return "";
    }
    size_t space = call_.what.rfind(' ');
    return space == std::string::npos ? call_.what : call_.what.substr(space + 1);
  }

  // Passes that must not run at all after this failure.
  std::set<std::string> SilentPasses() const {
    std::set<std::string> silent;
    if (DecidesStart()) {
      for (const Pass &pass : kPasses) {
        if (pass.driver == std::string(pass_.driver) && !IsStart(pass)) silent.insert(pass.name);
      }
    }
    if (std::string notify = UnarmedNotify(); !notify.empty()) silent.insert(notify);
    // Without the board hook protocol nobody can ask for the MAC addresses.
    if (Is("BS.InstallProtocolInterface") &&
        call_.what == emu::GuidToString(gBoardHookProtocolGuid)) {
      silent.insert("CollectNicMacAddresses");
    }
    return silent;
  }

  // Start failures that only disarm an event, or that the start passes over, leave every pass
  // that still runs exactly as it was.
  bool StartFailureKeepsPasses() const {
    if (!IsStart(pass_)) return false;
    return DecidesStart() || !UnarmedNotify().empty() || Is("BS.InstallProtocolInterface") ||
           Is("BS.AllocatePool") || Is("BoardInfo.InitNotify");
  }

  void CheckOtherPasses() {
    std::set<std::string> silent = SilentPasses();
    for (const Pass &pass : kPasses) {
      const std::vector<PassCall> &got = passes_[pass.name];
      if (silent.count(pass.name) != 0) {
        if (!got.empty()) Find(std::string(pass.name) + " ran, but its work was not to run");
        continue;
      }
      if (&pass == &pass_) continue;
      if (MayChangeCallsOf(pass_, pass) && !StartFailureKeepsPasses()) continue;
      if (Keys(got) != Keys(base_.passes.at(pass.name))) {
        Find(std::string(pass.name) + " made other calls than in the baseline");
      }
    }
  }

  // The failing pass's own calls, where the failure's effect is defined.
  void CheckFailingPass() {
    const std::vector<PassCall> &before = base_.passes.at(pass_.name);
    const std::vector<PassCall> &after = passes_[pass_.name];
    auto at = std::find_if(before.begin(), before.end(),
                           [&](const PassCall &c) { return c.index == point_.call; });
    std::vector<std::string> head = Keys({before.begin(), at + 1});
    std::vector<PassCall> rest(at + 1, before.end());

    std::optional<std::vector<std::string>> want;
    std::string rule;
    if (Is("BS.LocateProtocol")) {
      // The routine that needed the protocol ends: its calls up to the pass's next lookup of
      // the same protocol are gone.
      auto next = std::find_if(rest.begin(), rest.end(),
                               [&](const PassCall &c) { return c.key == at->key; });
      want = head;
      for (auto it = next; it != rest.end(); ++it) want->push_back(it->key);
      rule = "a failed lookup ends only the routine that needed it";
    } else if (Is("RT.GetVariable")) {
      // No configuration access, and no edit that depends on one, after the variable failed.
      want = head;
      for (const PassCall &c : rest) {
        const std::string &member = base_.result.calls[c.index].member;
        if (member != "BoardInfo.GetSlotLocation" && member != "CPU.Cpuid" &&
            member != "RegisterAccess.GetRegisterAddress" && member != "SetupEdit.SuppressItem") {
          want->push_back(c.key);
        }
      }
      rule = "a failed Setup read ends the configuration work of its routine";
    } else if (Is("Smbios.FindRecordByType") || Is("Smbios.ReplaceRecord")) {
      // The walk ends (a replaced copy is still released); what follows the walk is unchanged.
      auto walk = std::find_if(rest.begin(), rest.end(), [&](const PassCall &c) {
        const std::string &member = base_.result.calls[c.index].member;
        return member != "Smbios.FindRecordByType" && member != "Smbios.ReplaceRecord" &&
               member != "Smbios.RemoveRecord" && member != "BS.FreePool";
      });
      want = head;
      if (Is("Smbios.ReplaceRecord") && !rest.empty() &&
          base_.result.calls[rest.front().index].member == "BS.FreePool") {
        want->push_back(rest.front().key);
      }
      for (auto it = walk; it != rest.end(); ++it) want->push_back(it->key);
      rule = "a failed walk step ends the walk and nothing else";
    } else if (IsStatus() && !DecidesStart() && UnarmedNotify().empty()) {
      // An ignored status: the pass goes on exactly as before.
      want = Keys(before);
      rule = "an ignored status changes nothing in its pass";
    }
    if (want && Keys(after) != *want) {
      Find("the failing pass made other calls than expected (" + rule + ")");
    }
  }

  // Outputs outside the failing pass are as in the baseline; the defined effects inside it.
  void CheckOutputs() {
    unsigned mayChange = pass_.outputs;
    const emu::BootResult &b = base_.result;
    const emu::BoardDescription &board = base_.board->board;
    if (IsStart(pass_)) mayChange &= ~kDrivers;  // checked with the statuses
    // Failures the drivers pass over without effect.
    if (Is("BS.AllocatePool") || Is("BoardInfo.InitNotify") || Is("BS.CloseEvent") ||
        Is("BS.FreePool") || Is("BS.CreateEventEx")) {
      mayChange = 0;
    }
    std::string unarmed = UnarmedNotify();
    if (unarmed == "SmbiosSlotNotify") {
      mayChange = kSmbios;
      if (!(replay_.smbiosAfter == board.smbios)) {
        Find("the SMBIOS table changed without its event");
      }
    } else if (unarmed == "RiserMenuEditsNotify") {
      mayChange = kMenus;
    } else if (!unarmed.empty() && !DecidesStart()) {
      mayChange = 0;
    }
    if (Is("BS.InstallProtocolInterface")) {
      mayChange = kNicMacs | kPciWrites;
      if (replay_.nicMacs.collected) {
        Find("the MAC addresses were collected without the hook protocol");
      }
    }
    if (DecidesStart()) {
      if (pass_.driver == std::string("MenuPruner")) {
        mayChange = kMenus;
        if (!replay_.menusAfter.edits.empty()) Find("the menus were edited after a failed start");
      } else {
        // The KVRN ports were placed before the start failed; nothing after it ran.
        mayChange = kSmbios | kNicMacs | kPciWrites;
        if (!(replay_.smbiosAfter == board.smbios) || replay_.nicMacs.collected ||
            !Writes(replay_).empty()) {
          Find("BoardSlotService worked after a failed start");
        }
      }
    }
    if (Is("BoardInfo.SetSlotLocation")) CheckSlotKeptFree();
    if (pass_.name == std::string("SmbiosSlotNotify")) CheckSmbiosEffect();
    if (call_.member.starts_with("SetupEdit.")) CheckMenuEditEffect();

    auto same = [&](Output output, bool equal, const char *what) {
      if ((mayChange & output) == 0 && !equal) Find(std::string(what) + " changed");
    };
    same(kSlots, replay_.slotsAfter == b.slotsAfter, "the slot table");
    same(kSmbios, replay_.smbiosAfter == b.smbiosAfter, "the SMBIOS table");
    same(kMenus,
         replay_.menusAfter.formSets == b.menusAfter.formSets &&
             replay_.menusAfter.edits == b.menusAfter.edits,
         "the setup menus");
    same(kNicMacs,
         replay_.nicMacs.collected == b.nicMacs.collected &&
             replay_.nicMacs.status == b.nicMacs.status &&
             replay_.nicMacs.primary == b.nicMacs.primary &&
             replay_.nicMacs.secondary == b.nicMacs.secondary,
         "the collected MAC addresses");
    same(kPciWrites, SameWrites(Writes(replay_), Writes(b)), "the configuration writes");
  }

  // A slot location write that fails leaves that slot as it was; the other ports are placed
  // as before.
  void CheckSlotKeptFree() {
    std::map<uint32_t, uint32_t> want = base_.result.slotsAfter;
    uint32_t index = static_cast<uint32_t>(call_.args[0]);
    auto before = base_.result.slotsBefore.find(index);
    if (before == base_.result.slotsBefore.end()) {
      want.erase(index);
    } else {
      want[index] = before->second;
    }
    if (replay_.slotsAfter != want) Find("a failed slot write changed the other slots' placement");
  }

  // Which part of the SMBIOS work a failure may touch: the KVRN work changes, removes and adds
  // type 161 structures; the riser work adds type 9 structures.
  void CheckSmbiosEffect() {
    SmbiosDelta got = DeltaOf(base_.board->board.smbios, replay_.smbiosAfter);
    const SmbiosDelta &was = base_.smbios;
    auto added = [](const SmbiosDelta &d, bool riser) {
      std::vector<std::vector<uint8_t>> out;
      for (const auto &s : d.added) {
        if ((s[0] == 9) == riser) out.push_back(s);
      }
      return out;
    };
    if (Is("BS.LocateProtocol")) {
      // Which routine lost its protocol: the pass's first lookup is the KVRN work's.
      const auto &calls = base_.passes.at(pass_.name);
      bool kvrnWork = std::find_if(calls.begin(), calls.end(), [&](const PassCall &c) {
                        return c.key == KeyOf(call_);
                      })->index == point_.call;
      bool riserKept = added(got, true) == added(was, true);
      bool kvrnKept = added(got, false) == added(was, false) && got.changed == was.changed &&
                      got.removed == was.removed;
      bool kvrnNone = added(got, false).empty() && got.changed.empty() && got.removed.empty();
      if (kvrnWork && !(kvrnNone && riserKept)) {
        Find("without the protocol for the KVRN work, the table differs from the riser work's");
      }
      if (!kvrnWork && !(kvrnKept && added(got, true).empty())) {
        Find("without the protocol for the riser work, the table differs from the KVRN work's");
      }
    } else if (Is("Smbios.InsertRecord")) {
      // That one structure is missing; every other insertion still happened.
      std::multiset<std::vector<uint8_t>> want(was.added.begin(), was.added.end());
      std::multiset<std::vector<uint8_t>> have(got.added.begin(), got.added.end());
      bool oneMissing = have.size() + 1 == want.size() &&
                        std::includes(want.begin(), want.end(), have.begin(), have.end());
      if (!oneMissing) Find("a failed insertion kept other structures out");
    } else if (Is("Smbios.ReplaceRecord") || Is("Smbios.FindRecordByType") ||
               Is("Smbios.RemoveRecord")) {
      // The walk's changes can only shrink; every structure is still added.
      bool fewer = std::includes(was.changed.begin(), was.changed.end(), got.changed.begin(),
                                 got.changed.end()) &&
                   std::includes(was.removed.begin(), was.removed.end(), got.removed.begin(),
                                 got.removed.end());
      if (!fewer || got.added != was.added) Find("a failed walk step changed more than its walk");
      if (Is("Smbios.ReplaceRecord") && got.changed.count(static_cast<uint16_t>(call_.args[0]))) {
        Find("a failed replacement changed its structure");
      }
      if (Is("Smbios.RemoveRecord") && !got.removed.empty()) Find("a failed removal removed");
    }
  }

  // A failed edit changes only its own item; the edits around it are all made.
  void CheckMenuEditEffect() {
    size_t edit = 0;
    for (size_t i = 0; i < point_.call; ++i) {
      edit += base_.result.calls[i].member.starts_with("SetupEdit.") ? 1 : 0;
    }
    const auto &was = base_.result.menusAfter;
    const auto &got = replay_.menusAfter;
    if (got.edits != was.edits || edit >= got.edits.size() ||
        got.edits[edit].status != point_.injection.value) {
      Find("the edit calls after a failed edit are not those of the baseline");
      return;
    }
    for (const auto &[title, items] : was.formSets) {
      for (const auto &[id, item] : items) {
        bool failedItem = title == got.edits[edit].formSet && id == got.edits[edit].id;
        const emu::SetupItem *now = got.Find(title, id);
        if (!failedItem && (now == nullptr || !(*now == item))) {
          Find("a failed edit of " + got.edits[edit].formSet + " " +
               std::to_string(got.edits[edit].id) + " changed " + title + " " + std::to_string(id));
        }
      }
    }
  }

  // A failure or a lost answer only takes work away: no configuration write that the baseline
  // did not make, no more MAC addresses than the baseline found.
  void CheckOnlyWorkIsLost() {
    std::vector<emu::PciWrite> was = Writes(base_.result);
    for (const emu::PciWrite &write : Writes(replay_)) {
      bool known = std::any_of(was.begin(), was.end(), [&](const emu::PciWrite &w) {
        return w.bdf == write.bdf && w.offset == write.offset && w.after == write.after;
      });
      if (!known) {
        Find("wrote " + Hex(write.after) + " to " + emu::BdfText(write.bdf) + " register " +
             Hex(write.offset) + ", which the baseline never wrote");
      }
    }
    if (replay_.nicMacs.primary.size() > base_.result.nicMacs.primary.size() ||
        replay_.nicMacs.secondary.size() > base_.result.nicMacs.secondary.size()) {
      Find("found more MAC addresses than the baseline");
    }
  }

  static bool SameWrites(const std::vector<emu::PciWrite> &a, const std::vector<emu::PciWrite> &b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto &x, const auto &y) {
      return x.bdf == y.bdf && x.offset == y.offset && x.before == y.before && x.after == y.after;
    });
  }

  // The writes that reached a function (a write to an absent one changes nothing).
  static std::vector<emu::PciWrite> Writes(const emu::BootResult &result) {
    std::vector<emu::PciWrite> out;
    for (const emu::PciWrite &write : result.pciWrites) {
      if (!write.dropped) out.push_back(write);
    }
    return out;
  }

  const FailurePoint &point_;
  const Baseline &base_;
  const emu::CallRecord &call_;
  const emu::BootResult &replay_;
  PassCalls passes_;
  const Pass &pass_;
  std::vector<std::string> findings_;
};

std::vector<std::string> Replay(const FailurePoint &point) {
  emu::BoardDescription board = point.base->board->board;
  const emu::CallRecord &call = point.Call();
  board.faults.push_back({call.member, point.occurrence, point.injection.value});
  emu::SetViolationHandler(nullptr);  // the replay's own result collects them
  emu::BootResult replay = emu::RunBoot(board);
  return ReplayCheck(point, replay).Run();
}

// ---- The sweep ----------------------------------------------------------------------------------

TEST(FaultSweepTest, EveryRecordedCallFailsInTurn) {
  // Each replay's device memory (megabytes per function) then comes fresh from the system
  // instead of from heap pages the child shares with this process, which it would copy first.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  std::vector<SweepBoard> boards = SweepBoards();
  std::vector<std::unique_ptr<Baseline>> baselines;
  std::vector<FailurePoint> points;
  std::map<std::string, size_t> excluded;
  std::map<std::string, size_t> perPass;
  size_t recorded = 0;

  for (const SweepBoard &board : boards) {
    auto base = std::make_unique<Baseline>();
    base->board = &board;
    base->result = emu::RunBoot(board.board);
    base->passes = CallsByPass(base->result.calls);
    base->smbios = DeltaOf(board.board.smbios, base->result.smbiosAfter);
    ASSERT_TRUE(base->result.violations.empty()) << board.name;
    for (const auto &[name, calls] : base->passes) {
      ASSERT_NE(FindPass(name), nullptr) << board.name << ": a call from '" << name
                                         << "', which the sweep does not know as a pass";
    }
    for (const Pass &pass : kPasses) {
      ASSERT_TRUE(base->passes.count(pass.name)) << board.name << ": " << pass.name << " never ran";
    }

    std::map<std::string, uint32_t> occurrences;
    for (size_t i = 0; i < base->result.calls.size(); ++i) {
      const emu::CallRecord &call = base->result.calls[i];
      uint32_t occurrence = ++occurrences[call.member];
      if (call.image.empty()) continue;
      ++recorded;
      if (std::string why = Excluded(call); !why.empty()) {
        ++excluded[why];
        continue;
      }
      std::vector<Injection> injections = InjectionsFor(call);
      EXPECT_FALSE(injections.empty()) << "the sweep knows no failure of " << call.member;
      for (const Injection &injection : injections) {
        points.push_back({base.get(), i, occurrence, injection});
        ++perPass[call.during];
      }
    }
    baselines.push_back(std::move(base));
  }

  unsigned parallel = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
  std::vector<sweep::IsolatedOutcome> outcomes = sweep::RunIsolated(
      points.size(), [&](size_t i) { return Replay(points[i]); }, parallel,
      std::chrono::seconds(10));

  size_t crashes = 0, hangs = 0, failed = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    const sweep::IsolatedOutcome &outcome = outcomes[i];
    std::string where = points[i].Describe();
    if (outcome.end == sweep::IsolatedOutcome::End::kCrashed) {
      ++crashes;
      ADD_FAILURE() << where << ": crashed, " << outcome.how;
    } else if (outcome.end == sweep::IsolatedOutcome::End::kHung) {
      ++hangs;
      ADD_FAILURE() << where << ": hung";
    }
    if (!outcome.findings.empty()) ++failed;
    for (const std::string &finding : outcome.findings) ADD_FAILURE() << where << ": " << finding;
  }

  std::ostringstream summary;
  summary << "fault sweep: " << points.size() << " failure points injected, " << recorded
          << " driver calls recorded on " << boards.size() << " boards";
  for (const auto &[why, count] : excluded) {
    summary << ", " << count << " not failed (" << why << ")";
  }
  summary << "; " << crashes << " crashed, " << hangs << " hung, " << failed
          << " with wrong effects\n  failure points per pass:";
  for (const auto &[pass, count] : perPass) summary << " " << pass << " " << count << ";";
  std::printf("%s\n", summary.str().c_str());
}

}  // namespace
