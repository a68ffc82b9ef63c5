// The platform's debug log, as DEBUG images fill it through the status-code path: each status
// code a driver reports, unpacked as EDK II's status-code handler unpacks it
// (ReportStatusCodeExtractDebugInfo) and printed with EDK II's print rules into the handler's
// 256-byte buffer, the text it would write on the serial port.
#ifndef EMULATOR_DEBUG_LOG_H_
#define EMULATOR_DEBUG_LOG_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "StatusCode.h"

namespace emu {

struct DebugLine {
  std::string driver;     // the image that reported it; "" for the platform or unknown
  std::string callerId;   // the caller GUID the report named, registry form; "" for none
  bool hasLevel = false;  // a debug information record with its error level in `level`
  bool unpacked = false;  // one that unpacks: `text` holds what the handler writes
  uint32_t level = 0;     // its error level (DEBUG_INFO, DEBUG_WARN, DEBUG_ERROR, ...)
  std::string text;       // what the handler writes, line ends as written ("\r\n")
  // What is wrong with the report: a record that does not unpack (then `text` is empty), or one
  // that EDK II prints all the same but a driver should not send. "" for none.
  std::string problem;
  long call = -1;  // its StatusCode.ReportStatusCode call in the boot's calls; -1: not known
};

// The size of the buffer EDK II's status-code handler prints a DEBUG line into
// (MAX_DEBUG_MESSAGE_LENGTH): a line's text stops at one byte less.
constexpr size_t kDebugMessageBufferSize = 0x100;

// Copies memory a driver handed over; false where none can be read. A report names memory the
// platform cannot vouch for, so it is read only through this.
using MemoryProbe = std::function<bool(uint64_t address, void *to, size_t length)>;
// The probe over this process's own memory: an address that is not mapped reads as unreadable
// instead of stopping the process.
bool ReadOwnMemory(uint64_t address, void *to, size_t length);

// Unpacks one status code's data as EDK II's handler does: a record tagged with
// EFI_STATUS_CODE_DATA_TYPE_DEBUG_GUID holds the level 20 bytes in, twelve argument slots from
// 24 and the format string from 120, whatever its HeaderSize says; the format must end within
// the data's Size. `driver`, `callerId` and `call` are left for the caller.
DebugLine DecodeDebugRecord(const EFI_STATUS_CODE_DATA *data, const MemoryProbe &probe);

// The error level's name: "INFO", "WARN", "ERROR", others as EDK II names them ("VERBOSE"),
// several joined with '|', and any bit no name covers in hexadecimal.
std::string DebugLevelName(uint32_t level);

// The text the lines put on the serial port, one entry per line it shows there: the lines'
// texts in order, split at each "\r\n" (a text without one runs on into the next).
std::vector<std::string> DebugLogLines(const std::vector<DebugLine> &lines);

}  // namespace emu

#endif  // EMULATOR_DEBUG_LOG_H_
