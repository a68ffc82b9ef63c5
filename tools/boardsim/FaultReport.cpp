#include "FaultReport.h"

#include <sstream>

#include "Faults.h"

namespace boardsim {

std::string FaultList() {
  std::ostringstream out;
  out << "Platform members a fault can fail: --fault MEMBER=OCCURRENCE=VALUE, or the board-file\n"
         "line \"fault MEMBER OCCURRENCE VALUE\". OCCURRENCE counts the member's calls in the "
         "boot\n"
         "from 1; * fails every call. A member that returns a status fails with an error status,\n"
         "a number or a name (EFI_NOT_FOUND); one that answers with data answers VALUE "
         "instead.\n\n";
  size_t width = 0;
  for (const emu::PlatformMember &member : emu::PlatformMembers()) {
    width = std::max(width, std::string(member.name).size());
  }
  out << "  " << std::string("member").append(width - 6, ' ') << "  returns  a fault's value\n";
  std::vector<std::string> nothing;
  for (const emu::PlatformMember &member : emu::PlatformMembers()) {
    if (member.result == emu::MemberResult::kNothing) {
      nothing.push_back(member.name);
      continue;
    }
    std::string name = member.name;
    out << "  " << name.append(width - name.size(), ' ');
    if (member.result == emu::MemberResult::kStatus) {
      out << "  status   an error status\n";
    } else {
      out << "  data     " << member.answer << ", 0 to " << emu::Hex(member.maxValue) << "\n";
    }
  }
  out << "\nNever failed:\n";
  for (const EFI_GUID &guid : emu::BootPlan().dependency) {
    out << "  BS.LocateProtocol of the " << emu::GuidName(emu::GuidToString(guid))
        << ": the dispatch dependency guarantees it\n";
  }
  for (const std::string &name : nothing) out << "  " << name << ": it returns nothing\n";
  return out.str();
}

std::vector<std::string> RefusedFaults(const emu::BootResult &result) {
  std::vector<std::string> lines;
  for (const emu::FaultOutcome &outcome : emu::FaultOutcomes(result)) {
    if (outcome.refused.empty() || outcome.fault.occurrence == emu::Fault::kEveryCall) continue;
    const emu::CallRecord &call = result.calls[outcome.refused.front()];
    lines.push_back("fault " + emu::FaultText(outcome.fault) + " is refused: call #" +
                    std::to_string(outcome.refused.front() + 1) + " is " +
                    (call.image.empty() ? std::string("the platform") : call.image) +
                    "'s lookup of the " + emu::GuidName(call.what) +
                    ", which the dispatch dependency guarantees: the drivers are started only "
                    "once it is installed");
  }
  return lines;
}

std::vector<std::string> UnmatchedFaults(const emu::BootResult &result) {
  std::vector<std::string> lines;
  for (const emu::FaultOutcome &outcome : emu::FaultOutcomes(result)) {
    if (!outcome.fired.empty() || !outcome.refused.empty()) continue;
    lines.push_back("fault " + emu::FaultText(outcome.fault) +
                    " never matched a call: the boot called " + outcome.fault.member + " " +
                    std::to_string(outcome.memberCalls) + " time" +
                    (outcome.memberCalls == 1 ? "" : "s"));
  }
  return lines;
}

}  // namespace boardsim
