#include "Faults.h"

#include <algorithm>
#include <cctype>

namespace emu {

namespace {

constexpr MemberResult kStatus = MemberResult::kStatus;
constexpr MemberResult kData = MemberResult::kData;
constexpr MemberResult kNothing = MemberResult::kNothing;

std::string Lower(const std::string &text) {
  std::string out = text;
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

size_t EditDistance(const std::string &a, const std::string &b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Joined(const std::vector<std::string> &words) {
  std::string text;
  for (const std::string &word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

std::vector<std::string> FaultableNames() {
  std::vector<std::string> names;
  for (const PlatformMember &member : PlatformMembers()) {
    if (member.result != kNothing) names.push_back(member.name);
  }
  return names;
}

std::string UnknownMember(const std::string &name) {
  std::vector<std::string> nearest = NearestNames(name, FaultableNames());
  for (const std::string &candidate : nearest) {
    if (Lower(candidate) == Lower(name)) {
      return "no platform member '" + name + "' (names are case-sensitive); did you mean " +
             candidate + "?";
    }
  }
  return "no platform member '" + name + "' can be failed; nearest: " + Joined(nearest) +
         " (--list-faults lists them all)";
}

std::string CheckValue(const PlatformMember &member, uint64_t value) {
  if (member.result == kStatus && !EFI_ERROR(value)) {
    return std::string(member.name) + " returns a status, and " + Hex(value) + " (" +
           StatusName(value) +
           ") is not an error; fail it with an error status such as EFI_OUT_OF_RESOURCES or "
           "EFI_NOT_FOUND";
  }
  if (member.result == kData && value > member.maxValue) {
    return std::string(member.name) + " answers with " + member.answer + ", 0 to " +
           Hex(member.maxValue) + ", not " + Hex(value);
  }
  return "";
}

}  // namespace

const std::vector<PlatformMember> &PlatformMembers() {
  static const std::vector<PlatformMember> kMembers = {
      {"BS.AllocatePool", kStatus, 0, nullptr},
      {"BS.FreePool", kStatus, 0, nullptr},
      {"BS.CreateEvent", kStatus, 0, nullptr},
      {"BS.CreateEventEx", kStatus, 0, nullptr},
      {"BS.SignalEvent", kStatus, 0, nullptr},
      {"BS.CloseEvent", kStatus, 0, nullptr},
      {"BS.InstallProtocolInterface", kStatus, 0, nullptr},
      {"BS.UninstallProtocolInterface", kStatus, 0, nullptr},
      {"BS.RegisterProtocolNotify", kStatus, 0, nullptr},
      {"BS.LocateProtocol", kStatus, 0, nullptr},
      {"BS.CopyMem", kNothing, 0, nullptr},
      {"BS.SetMem", kNothing, 0, nullptr},
      {"RT.GetVariable", kStatus, 0, nullptr},
      {"BoardInfo.QueryBoardByte", kData, 0xFF, "the board byte"},
      {"BoardInfo.GetSlotLocation", kData, 0xFFFFFFFF, "the slot location code"},
      {"BoardInfo.InitNotify", kStatus, 0, nullptr},
      {"BoardInfo.SetSlotLocation", kStatus, 0, nullptr},
      {"RegisterAccess.GetRegisterAddress", kData, UINT64_MAX,
       "the address returned: 0x80000000 + (bus << 20 | device << 15 | function << 12 | "
       "offset) is that register, 0 is no address, any other lies in no device"},
      {"CPU.Cpuid", kData, 0xFFFFFFFF, "EAX of CPUID leaf 1"},
      {"Smbios.InsertRecord", kStatus, 0, nullptr},
      {"Smbios.RemoveRecord", kStatus, 0, nullptr},
      {"Smbios.FindRecordByType", kStatus, 0, nullptr},
      {"Smbios.ReplaceRecord", kStatus, 0, nullptr},
      {"SetupEdit.HideItem", kStatus, 0, nullptr},
      {"SetupEdit.UpdateString", kStatus, 0, nullptr},
      {"SetupEdit.SuppressItem", kStatus, 0, nullptr},
      {"StatusCode.ReportStatusCode", kStatus, 0, nullptr},
  };
  return kMembers;
}

const PlatformMember *FindPlatformMember(const std::string &name) {
  for (const PlatformMember &member : PlatformMembers()) {
    if (name == member.name) return &member;
  }
  return nullptr;
}

std::vector<std::string> NearestNames(const std::string &name,
                                      const std::vector<std::string> &names, size_t most,
                                      size_t within) {
  // A name longer than any real one is compared by its start: its tail changes no ranking
  // worth making, and costs as much as it is long.
  const std::string start = Lower(name.substr(0, 64));
  std::vector<std::pair<size_t, std::string>> ranked;
  for (const std::string &candidate : names) {
    ranked.emplace_back(EditDistance(start, Lower(candidate)), candidate);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  std::vector<std::string> out;
  for (size_t i = 0; i < ranked.size() && i < most && ranked[i].first <= within; ++i) {
    out.push_back(ranked[i].second);
  }
  return out;
}

std::string ParseFault(const std::string &member, const std::string &occurrence,
                       const std::string &value, Fault &fault) {
  const PlatformMember *known = FindPlatformMember(member);
  if (known == nullptr) return UnknownMember(member);
  if (known->result == kNothing) {
    return member + " returns nothing, so there is nothing to fail; nearest: " +
           Joined(NearestNames(member, FaultableNames()));
  }
  uint64_t count = 0;
  if (occurrence == "*") {
    count = Fault::kEveryCall;
  } else if (!ParseNumber(occurrence, 0xFFFFFFFF, count)) {
    return "occurrence '" + occurrence + "' is not a call number from 1 to 4294967295, or *";
  } else if (count == 0) {
    return "occurrence 0: calls count from 1; write * to fail every call";
  }
  uint64_t number = 0;
  EFI_STATUS status = 0;
  if (ParseStatusName(value, status)) {
    if (known->result != kStatus) {
      return member + " answers with " + known->answer + ", not a status: give a number";
    }
    number = status;
  } else if (!ParseNumber(value, UINT64_MAX, number)) {
    std::string why = "value '" + value + "' is neither a number nor a status name";
    if (known->result == kStatus && value.rfind("EFI_", 0) == 0) {
      why += "; nearest: " + Joined(NearestNames(value, StatusNames()));
    }
    return why;
  }
  if (std::string why = CheckValue(*known, number); !why.empty()) return why;
  fault = Fault{member, static_cast<uint32_t>(count), number};
  return "";
}

std::string ShadowedFault(const std::vector<Fault> &earlier, const Fault &fault) {
  for (const Fault &before : earlier) {
    if (before.member != fault.member) continue;
    if (before.occurrence == Fault::kEveryCall) {
      return "every call of " + fault.member + " already fails by the fault " + FaultText(before) +
             "; a call fails one way";
    }
    if (before.occurrence == fault.occurrence) {
      return "call " + OccurrenceText(fault.occurrence) + " of " + fault.member +
             " already fails by the fault " + FaultText(before) + "; a call fails one way";
    }
  }
  return "";
}

std::string CheckFault(const Fault &fault) {
  Fault parsed;
  std::string why =
      ParseFault(fault.member, OccurrenceText(fault.occurrence), Hex(fault.value), parsed);
  return why;
}

std::string OccurrenceText(uint32_t occurrence) {
  return occurrence == Fault::kEveryCall ? "*" : std::to_string(occurrence);
}

std::string FaultValueText(const Fault &fault) {
  const PlatformMember *member = FindPlatformMember(fault.member);
  if (member != nullptr && member->result == kStatus) return StatusName(fault.value);
  return Hex(fault.value);
}

std::string FaultText(const Fault &fault) {
  return fault.member + "=" + OccurrenceText(fault.occurrence) + "=" + FaultValueText(fault);
}

}  // namespace emu
