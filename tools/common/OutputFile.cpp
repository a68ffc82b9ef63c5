#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "CommandLine.h"
#include "Interruption.h"

namespace tools {

namespace {

std::string WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return std::strerror(errno);
    if (written == 0) return "the write made no progress";
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return "";
}

// The file a path names once links are followed, or the path itself for a file yet to be made
// (a dangling link is followed to where it points).
std::string Resolved(const std::string &path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) return resolved;
  std::error_code error;
  std::filesystem::path target = path;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(target, error))) {
    std::filesystem::path to = std::filesystem::read_symlink(target, error);
    if (!error) target = to.is_absolute() ? to : target.parent_path() / to;
  }
  std::filesystem::path parent = target.parent_path().empty() ? "." : target.parent_path();
  if (realpath(parent.c_str(), resolved) != nullptr) {
    return (std::filesystem::path(resolved) / target.filename()).string();
  }
  return std::filesystem::absolute(target, error).lexically_normal().string();
}

// Writes in place: a device or a pipe, which cannot be renamed over. Non-blocking open, so a
// pipe without a reader is an error rather than a wait.
std::string WriteInPlace(const std::string &path, std::string_view bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0 && errno == ENXIO) return "is a pipe that nothing reads";
  if (fd < 0) return std::strerror(errno);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::string why = WriteAll(fd, bytes);
  if (close(fd) != 0 && why.empty()) why = std::strerror(errno);
  return why;
}

// A new file beside `target`, named after it, made with the permissions the umask gives a new
// file (mkstemp would make it private).
int MakeTemporary(const std::string &target, std::string &temporary) {
  const std::filesystem::path path = target;
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned seed =
      static_cast<unsigned>(getpid()) * 2654435761u ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix;
    for (int i = 0; i < 6; ++i) {
      seed = seed * 1103515245u + 12345u;
      suffix += kLetters[(seed >> 16) % (sizeof(kLetters) - 1)];
    }
    temporary = (path.parent_path() / ("." + path.filename().string() + "." + suffix)).string();
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

std::string WriteAndRename(const std::string &target, std::string_view bytes) {
  std::string temporary;
  const int fd = MakeTemporary(target, temporary);
  if (fd < 0) return std::strerror(errno);
  TemporaryFile pending(temporary);
  std::string why = WriteAll(fd, bytes);
  // A file replaced keeps its permissions.
  struct stat existing;
  if (why.empty() && stat(target.c_str(), &existing) == 0 &&
      fchmod(fd, existing.st_mode & 07777) != 0) {
    why = std::strerror(errno);
  }
  if (why.empty() && fsync(fd) != 0) why = std::strerror(errno);
  if (close(fd) != 0 && why.empty()) why = std::strerror(errno);
  if (why.empty() && rename(temporary.c_str(), target.c_str()) != 0) why = std::strerror(errno);
  if (!why.empty()) unlink(temporary.c_str());
  return why;
}

// Why an output could not be written there, found before the work that makes it: a folder
// in its place, or no folder to hold it.
std::string CannotWrite(const std::string &path) {
  if (path.empty()) return "an empty path names no file";
  const std::string target = Resolved(path);
  struct stat info;
  if (stat(target.c_str(), &info) == 0) {
    return S_ISDIR(info.st_mode) ? "is a directory" : "";
  }
  const std::string folder = std::filesystem::path(target).parent_path().string();
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "no folder " + Printable(folder) + " to write it in";
  }
  return access(folder.c_str(), W_OK) == 0 ? "" : std::string(std::strerror(errno));
}

}  // namespace

std::string WriteOutputFile(const std::string &path, std::string_view bytes) {
  if (IsStandardOutput(path)) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
        std::fflush(stdout) != 0) {
      return std::string("cannot write to standard output: ") + std::strerror(errno);
    }
    return "";
  }
  if (path.empty()) return "an empty path names no file";
  const std::string target = Resolved(path);
  struct stat info;
  if (stat(target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return "is a directory";
    if (!S_ISREG(info.st_mode)) return WriteInPlace(target, bytes);
  }
  return WriteAndRename(target, bytes);
}

std::string FinishStandardOutput() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    return std::string("cannot write to standard output: ") + std::strerror(errno);
  }
  return "";
}

std::string TemporaryFolderBase() {
  const char *base = std::getenv("TMPDIR");
  return base != nullptr && *base != '\0' ? base : "/tmp";
}

bool SameFile(const std::string &a, const std::string &b) {
  struct stat first, second;
  if (stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  return Resolved(a) == Resolved(b);
}

std::string CheckOutputs(const std::vector<NamedPath> &outputs,
                         const std::vector<NamedPath> &inputs) {
  for (size_t i = 0; i < outputs.size(); ++i) {
    const NamedPath &output = outputs[i];
    for (size_t j = 0; j < i; ++j) {
      const NamedPath &earlier = outputs[j];
      if (IsStandardOutput(output.path) && IsStandardOutput(earlier.path)) {
        return earlier.option + " and " + output.option + " both go to standard output";
      }
      if (!IsStandardOutput(output.path) && !IsStandardOutput(earlier.path) &&
          SameFile(output.path, earlier.path)) {
        return earlier.option + " and " + output.option + " name the same file '" +
               Printable(output.path) + "'";
      }
    }
    if (IsStandardOutput(output.path)) continue;
    if (std::string why = CannotWrite(output.path); !why.empty()) {
      return output.option + " '" + Printable(output.path) + "': " + why;
    }
    for (const NamedPath &input : inputs) {
      if (SameFile(output.path, input.path)) {
        return output.option + " '" + Printable(output.path) + "' would overwrite " + input.option +
               " '" + Printable(input.path) + "'";
      }
    }
  }
  return "";
}

}  // namespace tools
