#include "InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tools {

namespace {

template <typename Buffer>
std::string ReadBounded(const std::string &path, uint64_t limit, Buffer &out,
                        const std::function<std::string(uint64_t)> &tooLarge) {
  out.clear();
  if (path.empty()) return "an empty path names no file";
  // Non-blocking, so that opening a pipe with no writer does not wait; a regular file reads
  // the same either way.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::strerror(errno);
  struct stat info;
  std::string why;
  if (fstat(fd, &info) != 0) {
    why = std::strerror(errno);
  } else if (S_ISDIR(info.st_mode)) {
    why = "is a directory";
  } else if (!S_ISREG(info.st_mode)) {
    why = "is not a regular file";
  } else if (static_cast<uint64_t>(info.st_size) > limit) {
    why = tooLarge ? tooLarge(static_cast<uint64_t>(info.st_size))
                   : "has " + std::to_string(info.st_size) + " bytes, more than " +
                         std::to_string(limit);
  }
  // Read to one byte past the limit, whatever the size said: a file that grows while it is
  // read is caught, not read without end.
  out.resize(why.empty() ? static_cast<size_t>(info.st_size) + 1 : 0);
  size_t got = 0;
  while (why.empty()) {
    if (got == out.size()) out.resize(std::min<uint64_t>(limit + 1, out.size() * 2 + 4096));
    if (got == out.size()) break;
    const ssize_t n = read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) why = std::strerror(errno);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (why.empty() && got > limit)
    why = "grew past " + std::to_string(limit) + " bytes while it was read";
  out.resize(why.empty() ? got : 0);
  return why;
}

}  // namespace

std::string ReadInputFile(const std::string &path, uint64_t limit, std::vector<uint8_t> &bytes,
                          const std::function<std::string(uint64_t)> &tooLarge) {
  return ReadBounded(path, limit, bytes, tooLarge);
}

std::string ReadInputFile(const std::string &path, uint64_t limit, std::string &text,
                          const std::function<std::string(uint64_t)> &tooLarge) {
  return ReadBounded(path, limit, text, tooLarge);
}

}  // namespace tools
