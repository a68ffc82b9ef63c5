// The emulated status-code handler's reading of a report: the debug information record
// unpacked at EDK II's fixed places, its text printed with EDK II's rules, and nothing read
// that the record and the memory behind it do not hold.
#include "DebugLog.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Edk2Print.h"
#include "Text.h"

namespace emu {

namespace {

// Where process_vm_readv is not allowed, a pipe tells readable memory from the rest the same
// way: write() refuses to copy from an address that is not mapped.
bool ReadThroughPipe(uint64_t address, void *to, size_t length) {
  static int fds[2] = {-1, -1};
  if (fds[0] < 0 && pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  uint8_t *out = static_cast<uint8_t *>(to);
  for (size_t done = 0; done < length;) {
    const size_t chunk = length - done < 4096 ? length - done : 4096;
    const ssize_t wrote = write(
        fds[1], reinterpret_cast<const void *>(static_cast<uintptr_t>(address + done)), chunk);
    if (wrote <= 0) return false;
    if (read(fds[0], out + done, static_cast<size_t>(wrote)) != wrote) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

bool ReadOwnMemory(uint64_t address, void *to, size_t length) {
  if (length == 0) return true;
  if (address == 0 || address + length < address) return false;
  iovec local{to, length};
  iovec remote{reinterpret_cast<void *>(static_cast<uintptr_t>(address)), length};
  const ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (got == static_cast<ssize_t>(length)) return true;
  if (got < 0 && (errno == EPERM || errno == ENOSYS)) return ReadThroughPipe(address, to, length);
  return false;
}

DebugLine DecodeDebugRecord(const EFI_STATUS_CODE_DATA *data, const MemoryProbe &probe) {
  DebugLine line;
  const uint64_t address = reinterpret_cast<uintptr_t>(data);
  EFI_STATUS_CODE_DATA header;
  if (data == nullptr) {
    line.problem = "no data: not a debug information record";
    return line;
  }
  if (!probe(address, &header, sizeof(header))) {
    line.problem = "its data header cannot be read";
    return line;
  }
  if (std::memcmp(&header.Type, &gEfiStatusCodeDataTypeDebugGuid, sizeof(EFI_GUID)) != 0) {
    line.problem = "its data (" + GuidToString(header.Type) + ") is not a debug information record";
    return line;
  }
  // The handler reads after the 20-byte header, up to the format's NUL; the data's Size says
  // how far the record reaches.
  std::vector<uint8_t> record(sizeof(header) + header.Size);
  if (!probe(address, record.data(), record.size())) {
    line.problem =
        "its data cannot be read to the " + std::to_string(header.Size) + " bytes its Size gives";
    return line;
  }
  if (record.size() < DEBUG_INFO_ARGUMENTS_OFFSET) {
    line.problem = "its " + std::to_string(header.Size) + " bytes of data hold no error level";
    return line;
  }
  std::memcpy(&line.level, record.data() + sizeof(header), sizeof(line.level));
  line.hasLevel = true;
  const uint8_t *formatStart = record.data() + DEBUG_INFO_FORMAT_OFFSET;
  const uint8_t *end = record.data() + record.size();
  const uint8_t *nul =
      record.size() > DEBUG_INFO_FORMAT_OFFSET ? std::find(formatStart, end, 0) : end;
  if (nul == end) {
    line.problem = "its format string does not end within the " + std::to_string(header.Size) +
                   " bytes its Size gives";
    return line;
  }
  size_t slot = 0;
  Edk2PrintSource source{
      [&](uint64_t &value) {
        if (slot == DEBUG_INFO_ARGUMENT_SLOTS) return false;
        std::memcpy(&value, record.data() + DEBUG_INFO_ARGUMENTS_OFFSET + sizeof(uint64_t) * slot++,
                    sizeof(value));
        return true;
      },
      probe};
  Edk2PrintResult printed =
      Edk2Print(std::string(formatStart, nul), kDebugMessageBufferSize, source);
  if (!printed.problem.empty()) {
    line.problem = printed.problem;
    return line;
  }
  line.unpacked = true;
  line.text = printed.text;
  if (header.HeaderSize != sizeof(header)) {
    line.problem = "its HeaderSize is " + std::to_string(header.HeaderSize) +
                   ", not 20: EDK II's handler reads past 20 bytes regardless";
  }
  return line;
}

std::string DebugLevelName(uint32_t level) {
  static const std::pair<uint32_t, const char *> kNames[] = {
      {DEBUG_ERROR, "ERROR"}, {DEBUG_WARN, "WARN"}, {DEBUG_INFO, "INFO"},
      {0x00000001, "INIT"},   {0x00000004, "LOAD"}, {0x00400000, "VERBOSE"}};
  std::string name;
  uint32_t rest = level;
  for (const auto &[bit, text] : kNames) {
    if ((level & bit) == 0) continue;
    name += (name.empty() ? "" : "|") + std::string(text);
    rest &= ~bit;
  }
  if (rest != 0 || level == 0) name += (name.empty() ? "" : "|") + Hex(rest, 8);
  return name;
}

std::vector<std::string> DebugLogLines(const std::vector<DebugLine> &lines) {
  std::string stream;
  for (const DebugLine &line : lines) stream += line.text;
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = stream.find("\r\n", start)) != std::string::npos; start = end + 2) {
    out.push_back(stream.substr(start, end - start));
  }
  if (start < stream.size()) out.push_back(stream.substr(start));
  return out;
}

}  // namespace emu
