#include "CallLog.h"

#include <algorithm>
#include <iterator>

#include "Faults.h"

namespace emu {

CallLog::Site CallLog::Enter(const char *member, std::vector<uint64_t> args, std::string what,
                             std::string image, std::string during) {
  CallRecord record;
  record.member = member;
  record.args = std::move(args);
  record.image = std::move(image);
  record.what = std::move(what);
  record.during = std::move(during);
  uint32_t occurrence = ++occurrences_[member];
  Site site{calls_.size(), std::nullopt};
  for (size_t i = 0; i < faults_.size(); ++i) {
    const Fault &fault = faults_[i];
    if (fault.member != record.member ||
        (fault.occurrence != Fault::kEveryCall && fault.occurrence != occurrence)) {
      continue;
    }
    // A member without a result has nothing a fault could replace.
    const PlatformMember *known = FindPlatformMember(record.member);
    if (known == nullptr || known->result == MemberResult::kNothing) break;
    record.fault = static_cast<int>(i);
    bool guaranteed = std::find(guaranteed_.begin(), guaranteed_.end(),
                                std::pair{record.member, record.what}) != guaranteed_.end();
    if (!guaranteed) {
      site.injected = fault.value;
      record.injected = true;
    }
    break;
  }
  calls_.push_back(std::move(record));
  return site;
}

void CallLog::Guarantee(std::string member, std::string what) {
  guaranteed_.emplace_back(std::move(member), std::move(what));
}

size_t CallLog::Count(const std::string &member) const {
  return static_cast<size_t>(std::count_if(
      calls_.begin(), calls_.end(), [&](const CallRecord &c) { return c.member == member; }));
}

std::vector<CallRecord> CallLog::To(const std::string &member) const {
  std::vector<CallRecord> out;
  std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
               [&](const CallRecord &c) { return c.member == member; });
  return out;
}

}  // namespace emu
