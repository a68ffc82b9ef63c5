// What a fault can fail: one table of every platform member the drivers may call, with what it
// returns. The call log applies faults by it, boardsim lists it (--list-faults) and checks every
// fault a user writes against it, on the command line and in board files alike.
#ifndef EMULATOR_FAULTS_H_
#define EMULATOR_FAULTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Board.h"

namespace emu {

enum class MemberResult {
  kStatus,   // an EFI_STATUS: a fault makes it fail with an error status
  kData,     // an answer: a fault replaces it with another answer
  kNothing,  // no result (CopyMem, SetMem): there is nothing to fail
};

struct PlatformMember {
  const char *name;  // as the call log records it: "BS.CreateEvent"
  MemberResult result;
  uint64_t maxValue;   // kData: the largest answer the member can give
  const char *answer;  // kData: what a fault's value stands for
};

// Every member the drivers may call: the boot and runtime services, the board's protocols and
// the processor. A call to any other member is a violation of its own.
const std::vector<PlatformMember> &PlatformMembers();
const PlatformMember *FindPlatformMember(const std::string &name);

// Reads a fault as it is written, MEMBER, OCCURRENCE and VALUE: occurrences count from 1, "*"
// fails every call; a value is a number or, for a status, an EFI_* name. A status member fails
// only with an error status; a data member's answer must fit what it returns. Returns "" and
// fills `fault`, or one line on what is wrong that names the nearest valid words.
std::string ParseFault(const std::string &member, const std::string &occurrence,
                       const std::string &value, Fault &fault);
// The same checks for a fault already built.
std::string CheckFault(const Fault &fault);
// Why `fault` could never fail a call, given the faults before it: the first fault that names a
// call takes it, so a second one on the same call (or after a * fault on the member) would
// only read as "never matched". "" when it can fail one.
std::string ShadowedFault(const std::vector<Fault> &earlier, const Fault &fault);
// A fault as boardsim's --fault takes it: "BS.CreateEvent=2=EFI_OUT_OF_RESOURCES".
std::string FaultText(const Fault &fault);
// Its occurrence and value as written: "2" or "*"; "EFI_OUT_OF_RESOURCES" or "0x8E".
std::string OccurrenceText(uint32_t occurrence);
std::string FaultValueText(const Fault &fault);

// Up to `most` of `names` nearest to `name` by edit distance, ignoring case, and no further
// than `within` edits; a name that differs only in case comes first.
std::vector<std::string> NearestNames(const std::string &name,
                                      const std::vector<std::string> &names, size_t most = 3,
                                      size_t within = SIZE_MAX);

}  // namespace emu

#endif  // EMULATOR_FAULTS_H_
