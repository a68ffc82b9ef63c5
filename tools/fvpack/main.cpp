// fvpack: packs the driver images in a firmware directory into the drop-in package:
// <name>.depex, <name>.ffs and <name>.inf per driver, and BoardDrivers.fv holding every file.
//   fvpack FIRMWARE_DIR [DRIVER...]     (default: every shipped driver)
#include <cstdio>
#include <fstream>
#include <iterator>

#include "Package.h"

namespace {

bool ReadFile(const std::string &path, fvpack::Bytes &bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

bool WriteFile(const std::string &path, const void *data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
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
    if (!ReadFile(base + ".efi", image)) {
      std::fprintf(stderr, "fvpack: cannot read %s.efi\n", base.c_str());
      return 1;
    }
    files.push_back(fvpack::BuildFfsFile(driver, image, depex));
    std::string inf = fvpack::BuildInf(driver);
    if (!WriteFile(base + ".depex", depex.data(), depex.size()) ||
        !WriteFile(base + ".ffs", files.back().data(), files.back().size()) ||
        !WriteFile(base + ".inf", inf.data(), inf.size())) {
      std::fprintf(stderr, "fvpack: cannot write the package of %s\n", driver.name.c_str());
      return 1;
    }
  }
  fvpack::Bytes fv = fvpack::BuildFirmwareVolume(files);
  if (!WriteFile(dir + "/BoardDrivers.fv", fv.data(), fv.size())) {
    std::fprintf(stderr, "fvpack: cannot write BoardDrivers.fv\n");
    return 1;
  }
  return 0;
}
