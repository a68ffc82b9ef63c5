// The fault sweep's engine. A baseline boot records every call the drivers make to the boot
// services, the runtime services and the platform's protocols; each recorded call, failed in
// each way it can fail, is a failure point; a replay boots the same board with the baseline's
// faults and the point's on top. A replay must end (no crash, no hang), keep the pool balanced,
// leave nothing registered that points into an unloaded image, give each driver the start
// status its design says, and show the effect defined for that failure: a failed lookup ends
// the routine that needed it, an ignored status changes nothing, a failed walk step ends the
// walk, a lost answer only takes work away, and nothing outside the failing pass changes.
//
// A baseline may itself carry faults, so a sweep can go a fault deeper: record a baseline with
// one point's fault in place, and replay its own points on top of it.
#ifndef TESTS_SWEEP_FAULT_SWEEP_H_
#define TESTS_SWEEP_FAULT_SWEEP_H_

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Boot.h"
#include "IsolatedRuns.h"

namespace sweep {

// ---- The passes: the driver code the platform enters, and what each may change -------------

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
  // For a start: the notify function whose event decides it. A failure to create or register
  // that event fails the start with the failure's status; nothing else the start does fails it.
  const char *startDecidedBy;
};

// Every pass the drivers have, in the order the platform meets them.
const std::vector<Pass> &Passes();
const Pass *FindPass(const std::string &name);
bool IsStart(const Pass &pass);

// ---- How a call can fail ---------------------------------------------------------------------

struct Injection {
  uint64_t value;
  std::string what;  // for the report
  bool lost;         // a failure or a lost answer, not merely a different answer
};

// The statuses a member returns when it fails; null for a member that answers with data.
const std::vector<EFI_STATUS> *FailingStatuses(const std::string &member);

// ---- Baselines -------------------------------------------------------------------------------

struct SweepBoard {
  std::string name;
  emu::BoardDescription board;
};

// A recorded call as the comparisons see it: its index in the boot's calls and its key (the
// same member with the same arguments and identity, whatever it answered).
struct PassCall {
  size_t index;
  std::string key;
};
using PassCalls = std::map<std::string, std::vector<PassCall>>;  // by pass name
std::string KeyOf(const emu::CallRecord &call);
PassCalls CallsByPass(const std::vector<emu::CallRecord> &calls);

// What a boot did to the SMBIOS table: structures added (compared without their handles, which
// the table chooses), and the board's structures changed or removed.
struct SmbiosDelta {
  std::vector<std::vector<uint8_t>> added;
  std::set<uint16_t> changed;
  std::set<uint16_t> removed;
};
SmbiosDelta DeltaOf(const emu::SmbiosTable &before, const emu::SmbiosTable &after);

struct Baseline {
  const SweepBoard *board;
  std::vector<emu::Fault> faults;  // in place in the baseline and in every replay of it
  // The baseline this one adds its last fault to (a failure point's own run); null for one
  // recorded without a parent.
  const Baseline *parent = nullptr;
  emu::BootResult result;
  PassCalls passes;
  SmbiosDelta smbios;
};

// Boots the board with `faults` and records what each pass did.
std::unique_ptr<Baseline> RecordBaseline(const SweepBoard &board,
                                         std::vector<emu::Fault> faults = {});
// What makes a sweep over the baseline meaningless: violations, calls from a pass the sweep
// does not know. Empty when the baseline is sound. (A baseline with faults may have
// violations its faults explain, and passes they keep from running.)
std::vector<std::string> BaselineProblems(const Baseline &base);

// ---- Failure points ----------------------------------------------------------------------------

struct FailurePoint {
  const Baseline *base;
  size_t call;          // index in the baseline's calls
  uint32_t occurrence;  // of its member in the boot, from 1
  Injection injection;

  const emu::CallRecord &Call() const { return base->result.calls[call]; }
  emu::Fault Fault() const;
  std::string Describe() const;
};

// What the enumeration saw, for the sweep's summary.
struct PointCounts {
  size_t recorded = 0;                      // driver calls in the baseline
  std::map<std::string, size_t> excluded;   // calls not failed, by reason
  std::map<std::string, size_t> perPass;    // failure points by pass
  std::vector<std::string> unknownMembers;  // calls the sweep knows no failure of
  void Add(const PointCounts &other);
};

// Every way each driver call of the baseline can fail (with `only`, each of those calls). A
// member the sweep knows no failure of is listed in `counts.unknownMembers`: a new platform
// call must get its failures here.
std::vector<FailurePoint> FailurePoints(const Baseline &base, PointCounts &counts,
                                        const std::set<size_t> *only = nullptr);

// ---- Replays -----------------------------------------------------------------------------------

// The baseline's board, booted with the baseline's faults and `more` on top. The result holds
// the replay's violations; the violation handler of the moment sees them too.
emu::BootResult Replay(const Baseline &base, const std::vector<emu::Fault> &more);
// What the replay of a point shows wrong; empty when the failure had its defined effect.
std::vector<std::string> CheckReplay(const FailurePoint &point, const emu::BootResult &replay);
// Replays and checks every point, each in a child process of its own (two at a time on a
// machine with two cores or more), so that a crash or a hang ends only that replay.
std::vector<IsolatedOutcome> ReplayAll(const std::vector<FailurePoint> &points,
                                       std::chrono::milliseconds limit = std::chrono::seconds(10));

// ---- Two faults deep ---------------------------------------------------------------------------
//
// A failure sets calls going that the fault-free run never makes: above all the withdrawals of
// a failed start (CloseEvent, UninstallProtocolInterface, the scratch pool's FreePool), which a
// sweep one fault deep therefore never fails. A second fault goes on each of them. Faults find
// their call by member and occurrence, and a failing run makes exactly the fault-free run's
// calls up to its failure, so every new call comes after the first fault, and a second fault
// there cannot move the first: each replay checks that both landed where they were recorded.

// A failure point's own run, recorded as a baseline: its parent's faults and the point's.
std::unique_ptr<Baseline> RecordFailingRun(const FailurePoint &point);
// The calls of a failing run that its parent does not make, by index. Pass by pass and in
// call order, a call is new when its key is not among the parent's calls of that pass that
// are still unmatched.
std::set<size_t> NewCalls(const Baseline &failing);
// What a failing run did, found in a child process of its own (so that this process is not
// risked on a run that crashes or hangs): its new calls, and a digest of every call it made
// (key, and the answer of each call no fault failed) by which runs that behaved alike, such
// as one call failed with two statuses the driver treats the same, are told.
struct FailingRun {
  IsolatedOutcome::End end = IsolatedOutcome::End::kFinished;
  std::string how;
  std::set<size_t> newCalls;
  std::string digest;
};
std::vector<FailingRun> FindFailingRuns(const std::vector<FailurePoint> &points,
                                        std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace sweep

#endif  // TESTS_SWEEP_FAULT_SWEEP_H_
