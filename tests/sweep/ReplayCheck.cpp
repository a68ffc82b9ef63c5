// What a replay must show, against the baseline it was replayed from.
#include <algorithm>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>

#include "BoardHookProtocol.h"
#include "FaultSweep.h"

namespace sweep {

namespace {

// Members whose failure the drivers pass over: wherever it happens, no output changes.
constexpr std::string_view kPassedOver[] = {"BS.AllocatePool", "BoardInfo.InitNotify",
                                            "BS.CloseEvent", "BS.FreePool", "BS.CreateEventEx"};

// A pass's calls; none for a pass that did not run.
const std::vector<PassCall> &CallsOf(const PassCalls &passes, const std::string &name) {
  static const std::vector<PassCall> kNone;
  auto it = passes.find(name);
  return it == passes.end() ? kNone : it->second;
}

std::vector<std::string> Keys(const std::vector<PassCall> &calls) {
  std::vector<std::string> keys;
  for (const PassCall &call : calls) keys.push_back(call.key);
  return keys;
}

// Passes whose calls a failure in `pass` may change: its own, after a start every pass of that
// driver, and after BoardSlotService's start every pass that reads the slot table it fills.
bool MayChangeCallsOf(const Pass &failing, const Pass &other) {
  if (&failing == &other) return true;
  if (!IsStart(failing)) return false;
  return std::string(failing.driver) == other.driver || (failing.outputs & kSlots) != 0;
}

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
    if (point_.injection.lost && !(Withdraws() && Is("BS.UninstallProtocolInterface"))) {
      CheckOnlyWorkIsLost();
    }
    return findings_;
  }

 private:
  void Find(const std::string &what) { findings_.push_back(what); }
  bool Is(const char *member) const { return call_.member == member; }
  bool IsStatus() const { return FailingStatuses(call_.member) != nullptr; }
  bool WhatEndsWith(const char *function) const {
    return call_.what == function || call_.what.ends_with(std::string(" ") + function);
  }

  // A withdrawal of a start that failed in the baseline: a refusal abandons the start, which
  // then stays resident with EFI_SUCCESS and its pool, makes the rest of its withdrawals, and
  // leaves every notify function that is still registered doing nothing. The pool's release is
  // not one: nothing points into the image once it fails, so the start fails as before.
  bool Withdraws() const {
    if (!IsStart(pass_) || !(Is("BS.CloseEvent") || Is("BS.UninstallProtocolInterface"))) {
      return false;
    }
    return std::any_of(
        base_.result.drivers.begin(), base_.result.drivers.end(),
        [&](const emu::DriverOutcome &d) { return d.name == pass_.driver && EFI_ERROR(d.status); });
  }
  // Passes of an abandoned driver that may still run: ReadyToBoot closes its own event, and a
  // hook protocol its consumer kept answers as in the fault-free run.
  static bool RunsAfterAbandonment(const Pass &pass) {
    return pass.name == std::string("ReadyToBootNotify") ||
           pass.name == std::string("CollectNicMacAddresses");
  }
  // The run without faults, the baseline's own when it has none.
  const Baseline &FaultFree() const {
    const Baseline *root = &base_;
    while (root->parent != nullptr) root = root->parent;
    return *root;
  }

  // The replay runs as the baseline did up to the chosen call, and that call failed. Faults
  // find their calls by occurrence, so the baseline's own faults must all lie before the
  // point, where the replay cannot have moved them, and must have failed the same calls.
  bool InjectionLanded() {
    const auto &calls = replay_.calls;
    const auto &recorded = base_.result.calls;
    bool same = calls.size() > point_.call;
    for (size_t i = 0; same && i < point_.call; ++i) {
      same = KeyOf(calls[i]) == KeyOf(recorded[i]) && calls[i].injected == recorded[i].injected;
    }
    if (!same || KeyOf(calls[point_.call]) != KeyOf(call_) || !calls[point_.call].injected) {
      Find("the replay did not fail the recorded call");
      return false;
    }
    if (std::any_of(recorded.begin() + static_cast<std::ptrdiff_t>(point_.call), recorded.end(),
                    [](const emu::CallRecord &c) { return c.injected; })) {
      Find("a fault of the baseline lies after the point, where the point's fault could move it");
      return false;
    }
    return true;
  }

  // No leak, double free, unexpected service or registration into an unloaded image, but those
  // the baseline's own faults already caused. A block whose FreePool failed stays allocated:
  // that one leak is the failure's own.
  void CheckViolations() {
    std::vector<std::string> violations = replay_.violations;
    for (const std::string &known : base_.result.violations) {
      auto same = std::find(violations.begin(), violations.end(), known);
      if (same != violations.end()) violations.erase(same);
    }
    if (Is("BS.FreePool") && !Withdraws()) {
      auto leak = std::find_if(violations.begin(), violations.end(), [&](const std::string &v) {
        return v.starts_with(call_.image + " leaked") ||
               v.starts_with(call_.image + " failed to start and leaked");
      });
      if (leak == violations.end()) {
        Find("the block whose FreePool failed is not reported as kept");
      } else {
        violations.erase(leak);
      }
    }
    for (const std::string &violation : violations) Find("platform violation: " + violation);
  }

  // Only the event the passes table names decides a driver's start: its creation or
  // registration failing fails the start with that status. Nothing else does.
  bool DecidesStart() const {
    return IsStart(pass_) && (Is("BS.CreateEvent") || Is("BS.RegisterProtocolNotify")) &&
           WhatEndsWith(pass_.startDecidedBy);
  }

  void CheckStartStatuses() {
    for (size_t i = 0; i < replay_.drivers.size(); ++i) {
      const emu::DriverOutcome &got = replay_.drivers[i];
      emu::DriverOutcome want = base_.result.drivers[i];
      // A start pass frees its pool only once its start has failed, which a refusal of that
      // release does not change.
      if (IsStart(pass_) && got.name == pass_.driver && !Is("BS.FreePool")) {
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
      for (const Pass &pass : Passes()) {
        if (pass.driver == std::string(pass_.driver) && !IsStart(pass)) silent.insert(pass.name);
      }
    }
    if (std::string notify = UnarmedNotify(); !notify.empty()) silent.insert(notify);
    if (Withdraws()) {
      for (const Pass &pass : Passes()) {
        if (pass.driver == std::string(pass_.driver) && !IsStart(pass) &&
            !RunsAfterAbandonment(pass)) {
          silent.insert(pass.name);
        }
      }
    }
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
           Is("BS.AllocatePool") || Is("BoardInfo.InitNotify") || Withdraws();
  }

  void CheckOtherPasses() {
    std::set<std::string> silent = SilentPasses();
    for (const Pass &pass : Passes()) {
      const std::vector<PassCall> &got = passes_[pass.name];
      if (silent.count(pass.name) != 0) {
        if (!got.empty()) Find(std::string(pass.name) + " ran, but its work was not to run");
        continue;
      }
      if (&pass == &pass_) continue;
      if (Withdraws() && pass.driver == std::string(pass_.driver) && RunsAfterAbandonment(pass)) {
        // What the refusal kept answers as without any fault, or is not asked at all.
        if (!got.empty() && pass.name == std::string("CollectNicMacAddresses") &&
            Keys(got) != Keys(CallsOf(FaultFree().passes, pass.name))) {
          Find("the hook protocol a consumer kept answered other than without faults");
        }
        continue;
      }
      if (MayChangeCallsOf(pass_, pass) && !StartFailureKeepsPasses()) continue;
      if (Keys(got) != Keys(CallsOf(base_.passes, pass.name))) {
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
    } else if (Withdraws()) {
      // The other withdrawals are made all the same; the scratch pool is kept.
      want = Keys(before);
      auto pool = std::find_if(before.rbegin(), before.rend(), [&](const PassCall &c) {
        return base_.result.calls[c.index].member == "BS.FreePool";
      });
      if (pool != before.rend() && pool->index != point_.call) {
        want->erase(want->begin() + (before.rend() - pool - 1));
      }
      rule = "a refused withdrawal abandons the start and keeps the pool";
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
    if (std::find(std::begin(kPassedOver), std::end(kPassedOver), call_.member) !=
        std::end(kPassedOver)) {
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
    if (Withdraws() && Is("BS.UninstallProtocolInterface")) {
      // The hook protocol stays, and answers as it does without any fault.
      mayChange = kNicMacs | kPciWrites;
      const emu::BootResult &fine = FaultFree().result;
      if (replay_.nicMacs.collected && !(replay_.nicMacs.primary == fine.nicMacs.primary &&
                                         replay_.nicMacs.secondary == fine.nicMacs.secondary)) {
        Find("the hook protocol a consumer kept found other MAC addresses than without faults");
      }
      for (const emu::PciWrite &write : Writes(replay_)) {
        if (!Known(Writes(fine), write)) Find("the abandoned start's driver wrote configuration");
      }
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

  // A failure or a lost answer only takes work away: no configuration write that neither the
  // baseline nor a run it was derived from made (a second failure may undo the first's change,
  // as a refused slot write keeps the slot the fault-free run saw), no more MAC addresses than
  // they found.
  void CheckOnlyWorkIsLost() {
    std::vector<emu::PciWrite> was;
    size_t primary = 0, secondary = 0;
    for (const Baseline *run = &base_; run != nullptr; run = run->parent) {
      std::vector<emu::PciWrite> writes = Writes(run->result);
      was.insert(was.end(), writes.begin(), writes.end());
      primary = std::max(primary, run->result.nicMacs.primary.size());
      secondary = std::max(secondary, run->result.nicMacs.secondary.size());
    }
    for (const emu::PciWrite &write : Writes(replay_)) {
      if (!Known(was, write)) {
        Find("wrote " + emu::Hex(write.after) + " to " + emu::BdfText(write.bdf) + " register " +
             emu::Hex(write.offset) + ", which the baseline never wrote");
      }
    }
    if (replay_.nicMacs.primary.size() > primary || replay_.nicMacs.secondary.size() > secondary) {
      Find("found more MAC addresses than the baseline");
    }
  }

  // A write that leaves the register as one of `was` left it.
  static bool Known(const std::vector<emu::PciWrite> &was, const emu::PciWrite &write) {
    return std::any_of(was.begin(), was.end(), [&](const emu::PciWrite &w) {
      return w.bdf == write.bdf && w.offset == write.offset && w.after == write.after;
    });
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

}  // namespace

std::vector<std::string> CheckReplay(const FailurePoint &point, const emu::BootResult &replay) {
  return ReplayCheck(point, replay).Run();
}

}  // namespace sweep
