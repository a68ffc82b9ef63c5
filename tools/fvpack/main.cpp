// fvpack: packs the driver images in a firmware directory into the drop-in package:
// <name>.depex, <name>.ffs and <name>.inf per driver, and BoardDrivers.fv holding every file.
//   fvpack FIRMWARE_DIR [DRIVER...]     (default: every shipped driver)
// A file it cannot use (not a regular file, not an x64 boot-service driver image, too large for
// an FFS file) or cannot write ends it with one line on stderr and status 2. Every image is read
// and judged before anything is written, so a refusal leaves the package as it was.
#include <sys/stat.h>

#include <cstdio>
#include <string_view>

#include "CommandLine.h"
#include "ExitStatus.h"
#include "InputFile.h"
#include "Interruption.h"
#include "OutputFile.h"
#include "Package.h"

namespace {

constexpr char kUsage[] =
    "usage: fvpack FIRMWARE_DIR [DRIVER...]\n"
    "\n"
    "Packs the driver images FIRMWARE_DIR/DRIVER.efi (default: every shipped driver:\n"
    "BoardSlotService MenuPruner) into the drop-in package beside them: DRIVER.depex,\n"
    "DRIVER.ffs and DRIVER.inf for each, and BoardDrivers.fv holding every FFS file. Each image\n"
    "must be a regular file holding a PE32+ image for x64 with subsystem 11 (EFI boot-service\n"
    "driver), smaller than the 16 MiB an FFS file's size can say. Every image is judged before\n"
    "anything is written; each file is written under a temporary name and renamed.\n"
    "\n"
    "Exit status: 0 when packed, 2 for a bad argument, an image it cannot use or a file it\n"
    "cannot write, 128 + the signal when interrupted.\n";

std::string TooLarge(uint64_t size) {
  return std::to_string(size) + " bytes: past the 16 MiB an FFS file's size can say";
}

// One line on stderr, and the status of a refused file.
int Refuse(const std::string &path, const std::string &why) {
  std::fprintf(stderr, "fvpack: %s: %s\n", tools::Printable(path, 200).c_str(), why.c_str());
  return tools::kExitRefused;
}

int RefuseLine(const std::string &line) {
  std::fprintf(stderr, "fvpack: %s\n", line.c_str());
  return tools::kExitRefused;
}

// The drivers named, each once and each shipped; every shipped driver when none is named.
bool ChooseDrivers(const std::vector<std::string> &names, std::vector<fvpack::Driver> &drivers,
                   std::string &why) {
  std::string shipped;
  for (const fvpack::Driver &driver : fvpack::ShippedDrivers()) {
    shipped += (shipped.empty() ? "" : ", ") + driver.name;
  }
  if (names.empty()) {
    drivers = fvpack::ShippedDrivers();
    return true;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    const fvpack::Driver *found = nullptr;
    for (const fvpack::Driver &driver : fvpack::ShippedDrivers()) {
      if (driver.name == names[i]) found = &driver;
    }
    if (found == nullptr) {
      why = "unknown driver name '" + tools::Printable(names[i]) + "' (shipped: " + shipped + ")";
      return false;
    }
    for (size_t j = 0; j < i; ++j) {
      if (names[j] == names[i]) {
        why = "driver " + names[i] + " is named twice";
        return false;
      }
    }
    drivers.push_back(*found);
  }
  return true;
}

struct Output {
  std::string path;
  std::string bytes;
};

std::string Text(const fvpack::Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

int main(int argc, char **argv) {
  tools::HandleInterruptions("fvpack");
  CLI::App app;
  app.set_help_flag();
  CLI::Option *help = tools::AddFlag(app, "--help,-h");
  std::vector<std::string> words;
  app.add_option("words", words);
  if (std::string why = tools::ParseCommandLine(app, {argv + 1, argv + argc}); !why.empty()) {
    return RefuseLine(why);
  }
  if (help->count() > 0) {
    std::fputs(kUsage, stdout);
    if (std::string why = tools::FinishStandardOutput(); !why.empty()) return RefuseLine(why);
    return tools::kExitDone;
  }
  if (words.empty()) return RefuseLine("no FIRMWARE_DIR given (see --help)");
  // An empty name would make "/BoardSlotService.efi" of "" + "/" + name.
  const std::string dir = words.front();
  struct stat info;
  if (dir.empty()) return RefuseLine("FIRMWARE_DIR is an empty path");
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Refuse(dir, "not a folder");
  }
  std::vector<fvpack::Driver> drivers;
  std::string why;
  if (!ChooseDrivers({words.begin() + 1, words.end()}, drivers, why)) return RefuseLine(why);

  // Outputs may not land on an image (a link from an output's name to an input, say).
  std::vector<tools::NamedPath> inputs, outputNames;
  for (const fvpack::Driver &driver : drivers) {
    const std::string base = dir + "/" + driver.name;
    inputs.push_back({"the image", base + ".efi"});
    for (const char *extension : {".depex", ".ffs", ".inf"}) {
      outputNames.push_back({driver.name + extension, base + extension});
    }
  }
  outputNames.push_back({"BoardDrivers.fv", dir + "/BoardDrivers.fv"});
  if (std::string clash = tools::CheckOutputs(outputNames, inputs); !clash.empty()) {
    return RefuseLine(clash);
  }

  fvpack::Bytes depex = fvpack::BuildDepex();
  std::vector<fvpack::Bytes> files;
  std::vector<Output> outputs;
  for (const fvpack::Driver &driver : drivers) {
    const std::string base = dir + "/" + driver.name, efi = base + ".efi";
    fvpack::Bytes image;
    if (std::string problem = tools::ReadInputFile(efi, tools::kMaxImageSize, image, TooLarge);
        !problem.empty()) {
      return Refuse(efi, problem);
    }
    if (std::string problem = fvpack::ImageProblem(image); !problem.empty()) {
      return Refuse(efi, problem);
    }
    files.push_back(fvpack::BuildFfsFile(driver, image, depex));
    if (files.back().empty()) return Refuse(efi, TooLarge(image.size()));
    outputs.push_back({base + ".depex", Text(depex)});
    outputs.push_back({base + ".ffs", Text(files.back())});
    outputs.push_back({base + ".inf", fvpack::BuildInf(driver)});
  }
  outputs.push_back({dir + "/BoardDrivers.fv", Text(fvpack::BuildFirmwareVolume(files))});
  for (const Output &output : outputs) {
    if (std::string problem = tools::WriteOutputFile(output.path, output.bytes); !problem.empty()) {
      return Refuse(output.path, "cannot write: " + problem);
    }
  }
  return tools::kExitDone;
}
