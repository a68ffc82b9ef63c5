// The one way our tools read a file they are given: a regular file no larger than its format
// allows, nothing else. A folder, a device (/dev/zero never ends), a pipe (it waits for a
// writer), a link loop or a missing file is refused before a byte is read.
#ifndef TOOLS_COMMON_INPUT_FILE_H_
#define TOOLS_COMMON_INPUT_FILE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tools {

// The largest file each format allows.
constexpr uint64_t kMaxBoardFileSize = 1 << 20;  // a board file: a page of settings
constexpr uint64_t kMaxImageSize = 0xFFFFFF;     // a PE image: an FFS file's 24-bit size
constexpr uint64_t kMaxProfileSize = 256 << 20;  // a callgrind profile of one pass

// Reads `path` whole into `bytes`. "" when read; otherwise the reason in a few words, without
// the path ("is a directory", "No such file or directory"). A file over `limit` bytes is
// refused as `tooLarge` says, given its size ("has N bytes, more than LIMIT" by default).
std::string ReadInputFile(const std::string &path, uint64_t limit, std::vector<uint8_t> &bytes,
                          const std::function<std::string(uint64_t size)> &tooLarge = nullptr);
std::string ReadInputFile(const std::string &path, uint64_t limit, std::string &text,
                          const std::function<std::string(uint64_t size)> &tooLarge = nullptr);

}  // namespace tools

#endif  // TOOLS_COMMON_INPUT_FILE_H_
