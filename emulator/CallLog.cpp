#include "CallLog.h"

#include <algorithm>
#include <iterator>

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
  for (const Fault &fault : faults_) {
    if (fault.member == member && (fault.occurrence == 0 || fault.occurrence == occurrence)) {
      site.injected = fault.value;
      record.injected = true;
      break;
    }
  }
  calls_.push_back(std::move(record));
  return site;
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
