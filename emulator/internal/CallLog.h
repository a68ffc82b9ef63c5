// The call log and fault injection. Every call a driver makes to the platform (boot and runtime
// services, the board's protocols, CPUID) is recorded on entry; a fault of the board
// description that names the call replaces its result, and the record says so.
#ifndef EMULATOR_INTERNAL_CALL_LOG_H_
#define EMULATOR_INTERNAL_CALL_LOG_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Board.h"
#include "Platform.h"

namespace emu {

class CallLog {
 public:
  // The faults are read at every call, so a test may add one while the platform runs.
  explicit CallLog(const std::vector<Fault> &faults) : faults_(faults) {}

  // Where a logged call's result goes, and the result a fault imposes on it, if any.
  struct Site {
    size_t index;
    std::optional<uint64_t> injected;
  };
  // Records a call by `image` (made while the platform was in its function `during`) and
  // tells whether a fault replaces its result.
  Site Enter(const char *member, std::vector<uint64_t> args, std::string what, std::string image,
             std::string during);
  template <typename T>
  T Leave(const Site &site, T result) {
    calls_[site.index].result = static_cast<uint64_t>(result);
    return result;
  }

  // A call of `member` that concerns `what` must not be failed: a fault that names it is
  // refused, and its record says so.
  void Guarantee(std::string member, std::string what);

  const std::vector<CallRecord> &Calls() const { return calls_; }
  size_t Count(const std::string &member) const;
  std::vector<CallRecord> To(const std::string &member) const;

 private:
  const std::vector<Fault> &faults_;
  std::vector<CallRecord> calls_;
  std::map<std::string, uint32_t> occurrences_;                  // calls so far per member
  std::vector<std::pair<std::string, std::string>> guaranteed_;  // member and what
};

}  // namespace emu

#endif  // EMULATOR_INTERNAL_CALL_LOG_H_
