// The sweep's tables, its baselines and failure points, and the replays in child processes.
#include "FaultSweep.h"

#include <malloc.h>

#include <algorithm>
#include <thread>

#include "Processors.h"

namespace sweep {

// ---- Tables -----------------------------------------------------------------------------------

// A start may change everything its driver does later; a notify pass or member only its own work.
const std::vector<Pass> &Passes() {
  static const std::vector<Pass> kPasses = {
      {"BoardSlotServiceEntryPoint", "BoardSlotService", kEverything, "RootPortAdjustNotify"},
      {"SmbiosSlotNotify", "BoardSlotService", kSmbios, nullptr},
      {"RootPortAdjustNotify", "BoardSlotService", kPciWrites, nullptr},
      {"CollectNicMacAddresses", "BoardSlotService", kNicMacs | kPciWrites, nullptr},
      {"ReadyToBootNotify", "BoardSlotService", 0, nullptr},
      {"MenuPrunerEntryPoint", "MenuPruner", kMenus | kDrivers, "KvrnLabelsNotify"},
      {"RiserMenuEditsNotify", "MenuPruner", kMenus, nullptr},
      {"KvrnLabelsNotify", "MenuPruner", kMenus, nullptr},
  };
  return kPasses;
}

const Pass *FindPass(const std::string &name) {
  for (const Pass &pass : Passes()) {
    if (name == pass.name) return &pass;
  }
  return nullptr;
}

bool IsStart(const Pass &pass) { return pass.startDecidedBy != nullptr; }

const std::vector<EFI_STATUS> *FailingStatuses(const std::string &member) {
  static const std::map<std::string, std::vector<EFI_STATUS>> kStatuses = {
      {"BS.AllocatePool", {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}},
      {"BS.FreePool", {EFI_INVALID_PARAMETER}},
      {"BS.CreateEvent", {EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES}},
      {"BS.CreateEventEx", {EFI_INVALID_PARAMETER, EFI_OUT_OF_RESOURCES}},
      {"BS.CloseEvent", {EFI_INVALID_PARAMETER}},
      // Refused: a consumer holds the interface open, or the core lost track of it.
      {"BS.UninstallProtocolInterface", {EFI_ACCESS_DENIED, EFI_NOT_FOUND, EFI_INVALID_PARAMETER}},
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
  auto it = kStatuses.find(member);
  return it == kStatuses.end() ? nullptr : &it->second;
}

namespace {

// Why a recorded call is not made to fail; empty when it is.
std::string Excluded(const emu::CallRecord &call) {
  // The dispatch dependency guarantees these protocols before either driver starts.
  if (call.member == "BS.LocateProtocol") {
    for (const EFI_GUID &guid : emu::BootPlan().dependency) {
      if (call.what == emu::GuidToString(guid)) return "lookups of the dispatch dependency";
    }
  }
  // No result: there is nothing for them to fail with.
  if (call.member == "BS.CopyMem" || call.member == "BS.SetMem") return "CopyMem and SetMem";
  // It fails already.
  if (call.injected) return "calls the baseline's own faults fail";
  return "";
}

// The ways one recorded call can fail; empty for a member the sweep does not know.
std::vector<Injection> InjectionsFor(const emu::CallRecord &call) {
  std::vector<Injection> out;
  if (const std::vector<EFI_STATUS> *statuses = FailingStatuses(call.member)) {
    for (EFI_STATUS status : *statuses) out.push_back({status, emu::StatusName(status), true});
    return out;
  }
  // Members that answer with data get boundary values and answers that belong elsewhere.
  if (call.member == "BoardInfo.QueryBoardByte") {
    out = {{0x00, "answers 0", false}, {0xFF, "answers 0xFF", false}};
  } else if (call.member == "BoardInfo.GetSlotLocation") {
    uint32_t wrongPort = call.result == KVRN_PORT_CODE_B ? KVRN_PORT_CODE_C : KVRN_PORT_CODE_B;
    for (uint64_t code :
         {uint64_t{0}, uint64_t{0xFFFFFFFF}, uint64_t{wrongPort}, uint64_t{0x22E000}}) {
      if (code != call.result) out.push_back({code, "answers " + emu::Hex(code), false});
    }
  } else if (call.member == "RegisterAccess.GetRegisterAddress" && !call.args.empty()) {
    // A register access that fails reaches no function: the same register of a function that
    // is not there, which reads all ones and drops writes.
    uint64_t dead =
        emu::kConfigSpaceBoardBase + (PciBdf(0xFF, 0x1F, 7) << 12) + (call.args[0] & 0xFFF);
    out.push_back({dead, "answers a register where nothing answers", true});
    // A platform that answers badly: no address at all, or one past configuration space where
    // no device answers.
    out.push_back({0, "answers no address", true});
    uint64_t nowhere =
        emu::kConfigSpaceBoardBase + emu::kConfigSpaceBoardSize + (call.args[0] & 0xFFF);
    out.push_back({nowhere, "answers an address in no device", true});
  } else if (call.member == "CPU.Cpuid") {
    out = {{0, "answers EAX 0", false}, {0xFFFFFFFF, "answers EAX 0xFFFFFFFF", false}};
    for (const PROCESSOR_ROW &processor : kProcessors) {
      if (processor.Signature == (call.result >> 4 & 0xFFFF)) continue;
      out.push_back(
          {processor.CpuidEax,
           std::string("answers ") + processor.Name + "'s EAX " + emu::Hex(processor.CpuidEax),
           false});
    }
  }
  return out;
}

std::string FaultText(const emu::Fault &fault) {
  return fault.member + " #" + std::to_string(fault.occurrence) + " " + emu::Hex(fault.value);
}

}  // namespace

// ---- Baselines ----------------------------------------------------------------------------------

std::string KeyOf(const emu::CallRecord &call) {
  std::string key = call.member + "(";
  for (size_t i = 0; i < call.args.size(); ++i) key += (i ? ", " : "") + emu::Hex(call.args[i]);
  key += ")";
  if (!call.what.empty()) key += " " + call.what;
  return key;
}

PassCalls CallsByPass(const std::vector<emu::CallRecord> &calls) {
  PassCalls out;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (!calls[i].image.empty()) out[calls[i].during].push_back({i, KeyOf(calls[i])});
  }
  return out;
}

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

std::unique_ptr<Baseline> RecordBaseline(const SweepBoard &board, std::vector<emu::Fault> faults) {
  auto base = std::make_unique<Baseline>();
  base->board = &board;
  base->faults = std::move(faults);
  emu::BoardDescription described = board.board;
  described.faults.insert(described.faults.end(), base->faults.begin(), base->faults.end());
  {
    std::vector<std::string> seen;  // the result keeps them too: BaselineProblems names them
    emu::ViolationCollector quiet(seen, /*forward=*/false);
    base->result = emu::RunBoot(described);
  }
  base->passes = CallsByPass(base->result.calls);
  base->smbios = DeltaOf(board.board.smbios, base->result.smbiosAfter);
  return base;
}

std::vector<std::string> BaselineProblems(const Baseline &base) {
  std::vector<std::string> problems;
  for (const std::string &violation : base.result.violations) {
    problems.push_back("platform violation: " + violation);
  }
  for (const auto &[name, calls] : base.passes) {
    if (FindPass(name) == nullptr) {
      problems.push_back("a call from '" + name + "', which the sweep does not know as a pass");
    }
  }
  return problems;
}

// ---- Failure points -----------------------------------------------------------------------------

emu::Fault FailurePoint::Fault() const {
  return emu::Fault{Call().member, occurrence, injection.value};
}

std::string FailurePoint::Describe() const {
  const emu::CallRecord &c = Call();
  std::string text = base->board->name;
  for (const emu::Fault &fault : base->faults) text += " with " + FaultText(fault);
  text += ", " + c.during + ": " + c.member + " #" + std::to_string(occurrence);
  std::string args;
  for (uint64_t arg : c.args) args += (args.empty() ? "" : ", ") + emu::Hex(arg);
  if (!args.empty()) text += " (" + args + ")";
  if (!c.what.empty()) text += " [" + c.what + "]";
  return text + " " + (injection.what.starts_with("answers") ? "" : "fails with ") + injection.what;
}

void PointCounts::Add(const PointCounts &other) {
  recorded += other.recorded;
  for (const auto &[why, count] : other.excluded) excluded[why] += count;
  for (const auto &[pass, count] : other.perPass) perPass[pass] += count;
  unknownMembers.insert(unknownMembers.end(), other.unknownMembers.begin(),
                        other.unknownMembers.end());
}

std::vector<FailurePoint> FailurePoints(const Baseline &base, PointCounts &counts,
                                        const std::set<size_t> *only) {
  std::vector<FailurePoint> points;
  std::map<std::string, uint32_t> occurrences;
  for (size_t i = 0; i < base.result.calls.size(); ++i) {
    const emu::CallRecord &call = base.result.calls[i];
    uint32_t occurrence = ++occurrences[call.member];
    if (call.image.empty() || (only != nullptr && only->count(i) == 0)) continue;
    ++counts.recorded;
    if (std::string why = Excluded(call); !why.empty()) {
      ++counts.excluded[why];
      continue;
    }
    std::vector<Injection> injections = InjectionsFor(call);
    if (injections.empty()) counts.unknownMembers.push_back(call.member);
    for (const Injection &injection : injections) {
      points.push_back({&base, i, occurrence, injection});
      ++counts.perPass[call.during];
    }
  }
  return points;
}

// ---- Replays ------------------------------------------------------------------------------------

emu::BootResult Replay(const Baseline &base, const std::vector<emu::Fault> &more) {
  emu::BoardDescription board = base.board->board;
  board.faults.insert(board.faults.end(), base.faults.begin(), base.faults.end());
  board.faults.insert(board.faults.end(), more.begin(), more.end());
  return emu::RunBoot(board);
}

std::vector<IsolatedOutcome> ReplayAll(const std::vector<FailurePoint> &points,
                                       std::chrono::milliseconds limit) {
  // Each replay's device memory (megabytes per function) then comes fresh from the system
  // instead of from heap pages the child shares with this process, which it would copy first.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  unsigned parallel = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
  return RunIsolated(
      points.size(),
      [&](size_t i) {
        emu::SetViolationHandler(nullptr);  // the replay's own result collects them
        return CheckReplay(points[i], Replay(*points[i].base, {points[i].Fault()}));
      },
      parallel, limit);
}

// ---- Two faults deep ----------------------------------------------------------------------------

std::unique_ptr<Baseline> RecordFailingRun(const FailurePoint &point) {
  std::vector<emu::Fault> faults = point.base->faults;
  faults.push_back(point.Fault());
  std::unique_ptr<Baseline> failing = RecordBaseline(*point.base->board, std::move(faults));
  failing->parent = point.base;
  return failing;
}

std::set<size_t> NewCalls(const Baseline &failing) {
  std::set<size_t> added;
  if (failing.parent == nullptr) return added;
  for (const auto &[pass, calls] : failing.passes) {
    std::multiset<std::string> unmatched;
    if (auto it = failing.parent->passes.find(pass); it != failing.parent->passes.end()) {
      for (const PassCall &call : it->second) unmatched.insert(call.key);
    }
    for (const PassCall &call : calls) {
      auto match = unmatched.find(call.key);
      if (match != unmatched.end()) {
        unmatched.erase(match);
      } else {
        added.insert(call.index);
      }
    }
  }
  return added;
}

namespace {

std::string DigestOf(const std::vector<emu::CallRecord> &calls) {
  std::string text;
  for (const emu::CallRecord &call : calls) {
    text += KeyOf(call) + (call.injected ? " failed" : " = " + emu::Hex(call.result)) + "\n";
  }
  return emu::Hex(std::hash<std::string>()(text));
}

}  // namespace

std::vector<FailingRun> FindFailingRuns(const std::vector<FailurePoint> &points,
                                        std::chrono::milliseconds limit) {
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  unsigned parallel = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
  // A child answers with the digest first, then the new calls' indexes.
  std::vector<IsolatedOutcome> outcomes = RunIsolated(
      points.size(),
      [&](size_t i) {
        emu::SetViolationHandler(nullptr);
        std::unique_ptr<Baseline> failing = RecordFailingRun(points[i]);
        std::vector<std::string> answer = {DigestOf(failing->result.calls)};
        for (size_t index : NewCalls(*failing)) answer.push_back(std::to_string(index));
        return answer;
      },
      parallel, limit);
  std::vector<FailingRun> runs(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    runs[i].end = outcomes[i].end;
    runs[i].how = outcomes[i].how;
    if (runs[i].end != IsolatedOutcome::End::kFinished || outcomes[i].findings.empty()) {
      if (runs[i].end == IsolatedOutcome::End::kFinished) {
        runs[i].end = IsolatedOutcome::End::kCrashed;
        runs[i].how = "no answer";
      }
      continue;
    }
    runs[i].digest = outcomes[i].findings.front();
    for (size_t k = 1; k < outcomes[i].findings.size(); ++k) {
      runs[i].newCalls.insert(std::stoul(outcomes[i].findings[k]));
    }
  }
  return runs;
}

}  // namespace sweep
