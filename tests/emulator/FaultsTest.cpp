// Faults as users write them, the members they can fail, and what became of each in a boot.
#include <gtest/gtest.h>

#include <set>

#include "Boot.h"
#include "Faults.h"

namespace {

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST(FaultsTest, WrittenFaultsAreReadOrRefusedWithTheNearestNames) {
  struct Case {
    const char *member, *occurrence, *value;
    const char *error;  // "" when the fault is sound
  } cases[] = {
      {"BS.CreateEvent", "2", "0x8000000000000009", ""},
      {"BS.CreateEvent", "*", "EFI_DEVICE_ERROR", ""},
      {"BoardInfo.QueryBoardByte", "1", "0", ""},  // an answer of 0 is an answer
      {"CPU.Cpuid", "3", "0x606A6", ""},
      {"BS.Foo", "1", "1", "no platform member 'BS.Foo' can be failed; nearest: "},
      {"bs.createevent", "2", "0x8000000000000009",
       "(names are case-sensitive); did you mean BS.CreateEvent?"},
      {"BS.CreateEvent", "0", "EFI_DEVICE_ERROR", "calls count from 1; write * to fail every"},
      {"BS.CreateEvent", "first", "EFI_DEVICE_ERROR", "occurrence 'first' is not a call number"},
      {"BS.CreateEvent", "1", "0", "0x0 (EFI_SUCCESS) is not an error"},
      {"BS.CreateEvent", "1", "EFI_SUCCESS", "is not an error"},
      {"BS.CreateEvent", "1", "1", "0x1 (0x1) is not an error"},  // a warning
      {"BS.CreateEvent", "1", "EFI_OUT_OF_RESOURCE", "nearest: EFI_OUT_OF_RESOURCES"},
      {"BoardInfo.QueryBoardByte", "1", "0x100", "the board byte, 0 to 0xFF, not 0x100"},
      {"BoardInfo.QueryBoardByte", "1", "EFI_NOT_FOUND", "not a status"},
      {"BoardInfo.GetSlotLocation", "1", "0x100000000", "0 to 0xFFFFFFFF"},
      {"BS.CopyMem", "1", "1", "BS.CopyMem returns nothing"},
      {"BS.RaiseTPL", "1", "EFI_DEVICE_ERROR", "no platform member 'BS.RaiseTPL'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.member) + "=" + c.occurrence + "=" + c.value);
    emu::Fault fault;
    std::string error = emu::ParseFault(c.member, c.occurrence, c.value, fault);
    if (std::string(c.error).empty()) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(fault.member, c.member);
    } else {
      EXPECT_TRUE(Has(error, c.error)) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos);
    }
  }
  emu::Fault every;
  ASSERT_EQ(emu::ParseFault("SetupEdit.HideItem", "*", "EFI_NOT_FOUND", every), "");
  EXPECT_EQ(every.occurrence, emu::Fault::kEveryCall);
  EXPECT_EQ(every.value, 0x800000000000000Eull);
  EXPECT_EQ(emu::FaultText(every), "SetupEdit.HideItem=*=EFI_NOT_FOUND");
}

// The table is the one source of the members: every call a driver makes in a boot is to one
// of its members, and a fault on each member it lists as having a result replaces that result.
TEST(FaultsTest, EveryMemberTheDriversCallIsListedAndCanBeFailed) {
  emu::BootResult clean = emu::RunBoot(emu::DefaultBoard());
  ASSERT_TRUE(clean.violations.empty());
  std::map<std::string, uint32_t> firstFailable;  // occurrence of each member's first call
  std::map<std::string, uint32_t> seen;
  for (const emu::CallRecord &call : clean.calls) {
    const emu::PlatformMember *member = emu::FindPlatformMember(call.member);
    ASSERT_NE(member, nullptr) << call.member << " is called but not listed";
    uint32_t occurrence = ++seen[call.member];
    bool dependency = call.member == "BS.LocateProtocol" &&
                      (call.what == emu::GuidToString(gBoardInfoProtocolGuid) ||
                       call.what == emu::GuidToString(gRegisterAccessProtocolGuid));
    if (member->result != emu::MemberResult::kNothing && !dependency) {
      firstFailable.try_emplace(call.member, occurrence);
    }
  }
  EXPECT_GE(firstFailable.size(), 15u);
  for (const auto &[name, occurrence] : firstFailable) {
    SCOPED_TRACE(name);
    const emu::PlatformMember *member = emu::FindPlatformMember(name);
    uint64_t value = member->result == emu::MemberResult::kStatus ? EFI_DEVICE_ERROR : 0;
    emu::BoardDescription board = emu::DefaultBoard();
    board.faults.push_back({name, occurrence, value});
    ASSERT_EQ(emu::CheckFault(board.faults.back()), "");
    std::vector<std::string> findings;  // a failed FreePool leaves a leak, and so on
    emu::ViolationCollector quiet(findings, /*forward=*/false);
    emu::BootResult faulted = emu::RunBoot(board);
    std::vector<emu::FaultOutcome> outcomes = emu::FaultOutcomes(faulted);
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_EQ(outcomes[0].fired.size(), 1u);
    const emu::CallRecord &call = faulted.calls[outcomes[0].fired[0]];
    EXPECT_TRUE(call.injected);
    EXPECT_EQ(call.fault, 0);
    if (name != "RegisterAccess.GetRegisterAddress") EXPECT_EQ(call.result, value);
  }
}

TEST(FaultsTest, LookupsTheDispatchDependencyGuaranteesAreRefusedNotFailed) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults = {{"BS.LocateProtocol", 1, EFI_NOT_FOUND},
                  {"BS.LocateProtocol", emu::Fault::kEveryCall, EFI_NOT_FOUND}};
  emu::BootResult result = emu::RunBoot(board);
  for (const emu::DriverOutcome &driver : result.drivers) {
    EXPECT_EQ(driver.status, EFI_SUCCESS) << driver.name;
  }
  std::vector<emu::FaultOutcome> outcomes = emu::FaultOutcomes(result);
  ASSERT_EQ(outcomes.size(), 2u);
  // The first lookup is the board information protocol's: refused, and it keeps its answer.
  EXPECT_TRUE(outcomes[0].fired.empty());
  ASSERT_EQ(outcomes[0].refused.size(), 1u);
  const emu::CallRecord &first = result.calls[outcomes[0].refused[0]];
  EXPECT_EQ(first.what, "11B34006-D85B-4D0A-A290-D5A571310EF7");
  EXPECT_EQ(first.result, EFI_SUCCESS);
  // Every other call of the member: the dependency's lookups are refused, the rest fail.
  EXPECT_EQ(outcomes[1].refused.size(), 3u);
  EXPECT_FALSE(outcomes[1].fired.empty());
  std::set<std::string> failedLookups;
  for (size_t index : outcomes[1].fired) failedLookups.insert(result.calls[index].what);
  EXPECT_EQ(failedLookups.count("FD480A76-B134-4EF7-ADFE-B0E054639807"), 0u);
  EXPECT_EQ(failedLookups.count("5E90A50D-6955-4A49-9032-DA3812F8E8E5"), 1u);  // SMBIOS edit
}

TEST(FaultsTest, AFaultThatNamesNoCallIsSeenAsNeverMatched) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults = {{"BS.CreateEvent", 99999, EFI_OUT_OF_RESOURCES},
                  {"BS.SignalEvent", emu::Fault::kEveryCall, EFI_DEVICE_ERROR}};
  emu::BootResult result = emu::RunBoot(board);
  std::vector<emu::FaultOutcome> outcomes = emu::FaultOutcomes(result);
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_TRUE(outcomes[0].fired.empty() && outcomes[0].refused.empty());
  EXPECT_EQ(outcomes[0].memberCalls, 4u);  // two in each driver's start
  EXPECT_EQ(outcomes[1].memberCalls, 0u);
}

}  // namespace
