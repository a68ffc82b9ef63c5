// fvpack: packs the driver images in a firmware directory into the drop-in package:
// <name>.depex, <name>.ffs and <name>.inf per driver, and BoardDrivers.fv holding every file.
//   fvpack FIRMWARE_DIR [DRIVER...]     (default: every shipped driver)
// A file it cannot use (not a regular file, not an x64 boot-service driver image, too large for
// an FFS file) or cannot write ends it with one line on stderr and status 2.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "Package.h"

namespace {

std::string TooLarge(uint64_t size) {
  return std::to_string(size) + " bytes: past the 16 MiB an FFS file's size can say";
}

// Reads a regular file whole; anything else (a directory, a device) is refused, and so is a
// file too large for any FFS file, before it is read.
std::string ReadFile(const std::string &path, fvpack::Bytes &bytes) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  if (static_cast<uint64_t>(info.st_size) >= fvpack::kFfsMaxFileSize) return TooLarge(info.st_size);
  FILE *in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return std::strerror(errno);
  bytes.resize(static_cast<size_t>(info.st_size));
  size_t got = std::fread(bytes.data(), 1, bytes.size(), in);
  bool failed = std::ferror(in) != 0 || got != bytes.size() || std::fgetc(in) != EOF;
  std::fclose(in);
  return failed ? "changed or could not be read while it was read" : "";
}

// Whether every byte reached the file: a full disk or a device shows only when the stream
// is flushed, so it is closed before it is judged.
std::string WriteFile(const std::string &path, const void *data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return std::strerror(errno);
  errno = 0;
  out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
  out.close();
  if (out.fail()) return errno != 0 ? std::strerror(errno) : "the write failed";
  return "";
}

// One line on stderr, and the status of a refused file.
int Refuse(const std::string &path, const std::string &why) {
  std::fprintf(stderr, "fvpack: %s: %s\n", path.c_str(), why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || std::string(argv[1]) == "--help") {
    std::fprintf(stderr, "usage: fvpack FIRMWARE_DIR [DRIVER...]\n");
    return 2;
  }
  std::string dir = argv[1];
  std::vector<fvpack::Driver> drivers;
  for (const fvpack::Driver &driver : fvpack::ShippedDrivers()) {
    bool wanted = argc == 2;
    for (int i = 2; i < argc; ++i) wanted = wanted || driver.name == argv[i];
    if (wanted) drivers.push_back(driver);
  }
  if (drivers.size() != static_cast<size_t>(argc == 2 ? drivers.size() : argc - 2)) {
    std::fprintf(stderr, "fvpack: unknown driver name\n");
    return 2;
  }

  fvpack::Bytes depex = fvpack::BuildDepex();
  std::vector<fvpack::Bytes> files;
  for (const fvpack::Driver &driver : drivers) {
    std::string base = dir + "/" + driver.name;
    fvpack::Bytes image;
    if (std::string why = ReadFile(base + ".efi", image); !why.empty()) {
      return Refuse(base + ".efi", why);
    }
    if (std::string why = fvpack::ImageProblem(image); !why.empty()) {
      return Refuse(base + ".efi", why);
    }
    files.push_back(fvpack::BuildFfsFile(driver, image, depex));
    if (files.back().empty()) {
      return Refuse(base + ".efi", TooLarge(image.size()));
    }
    std::string inf = fvpack::BuildInf(driver);
    const struct {
      const char *extension;
      const void *data;
      size_t size;
    } outputs[] = {{".depex", depex.data(), depex.size()},
                   {".ffs", files.back().data(), files.back().size()},
                   {".inf", inf.data(), inf.size()}};
    for (const auto &output : outputs) {
      if (std::string why = WriteFile(base + output.extension, output.data, output.size);
          !why.empty()) {
        return Refuse(base + output.extension, "cannot write: " + why);
      }
    }
  }
  fvpack::Bytes fv = fvpack::BuildFirmwareVolume(files);
  if (std::string why = WriteFile(dir + "/BoardDrivers.fv", fv.data(), fv.size()); !why.empty()) {
    return Refuse(dir + "/BoardDrivers.fv", "cannot write: " + why);
  }
  return 0;
}
