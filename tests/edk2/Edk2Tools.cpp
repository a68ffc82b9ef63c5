#include "Edk2Tools.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

namespace edk2 {

namespace {

bool Exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::string FirstLine(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

const char *const kCTools[] = {"GenFv",   "GenFfs",       "GenSec",  "GenFw",
                               "VolInfo", "LzmaCompress", "GenCrc32"};

}  // namespace

Tools FindTools(const std::string &cache) {
  Tools tools;
  tools.tree = cache + "/edk2";
  if (!Exists(cache + "/ready")) {
    std::string why = FirstLine(cache + "/failed");
    tools.missing = "the EDK II tools are not set up in " + cache + ": " +
                    (why.empty() ? "run scripts/setup.sh" : why);
    return tools;
  }
  tools.version = FirstLine(cache + "/ready");
  for (const char *tool : kCTools) {
    if (access((tools.tree + "/BaseTools/Source/C/bin/" + tool).c_str(), X_OK) != 0) {
      tools.missing = std::string("EDK II's ") + tool + " is missing from " + tools.tree +
                      "/BaseTools/Source/C/bin";
      return tools;
    }
  }
  for (const char *file :
       {"BaseTools/Source/Python/FMMT/FMMT.py", "BaseTools/BinWrappers/PosixLike/build",
        "MdePkg/Include/Protocol/Pcd.h"}) {
    if (!Exists(tools.tree + "/" + file)) {
      tools.missing = std::string("the edk2 source lacks ") + file;
      return tools;
    }
  }
  if (access("/usr/bin/python3", X_OK) != 0) {
    tools.missing = "Debian's python3 is not installed";
  } else if (test::Run("command -v UEFIExtract").status != 0) {
    tools.missing = "UEFIExtract is not installed (Debian package uefitool-cli)";
  }
  return tools;
}

const Tools &Installed() {
  static const Tools tools = FindTools(EDK2_CACHE_DIR);
  return tools;
}

test::CommandRun RunTool(const std::string &command) {
  const std::string base = Installed().tree + "/BaseTools";
  return test::Run("export PATH=" + Quote(base + "/Source/C/bin") + ":" +
                   Quote(base + "/BinWrappers/PosixLike") + ":\"$PATH\" PYTHONPATH=" +
                   Quote(base + "/Source/Python") + " PYTHON_COMMAND=/usr/bin/python3; " + command);
}

Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string Difference(const Bytes &first, const Bytes &second) {
  char text[96];
  for (size_t i = 0; i < first.size() && i < second.size(); ++i) {
    if (first[i] != second[i]) {
      std::snprintf(text, sizeof(text), "first difference at byte 0x%zX: 0x%02X and 0x%02X", i,
                    first[i], second[i]);
      return text;
    }
  }
  if (first.size() == second.size()) return "";
  std::snprintf(text, sizeof(text), "%zu and %zu bytes", first.size(), second.size());
  return text;
}

bool WriteFile(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string Firmware(const std::string &name) { return std::string(FIRMWARE_DIR) + "/" + name; }

std::vector<Driver> ShippedDrivers() {
  static const char *const kNames[] = SHIPPED_DRIVERS;
  std::vector<Driver> drivers;
  for (const char *name : kNames) {
    Bytes inf = ReadFile(Firmware(std::string(name) + ".inf"));
    std::smatch match;
    std::string text(inf.begin(), inf.end());
    std::regex guid("FILE_GUID\\s*=\\s*([0-9A-Fa-f-]{36})");
    drivers.push_back({name, std::regex_search(text, match, guid) ? match[1].str() : ""});
  }
  return drivers;
}

void Edk2Test::SetUp() {
  if (!Installed().missing.empty()) GTEST_FAIL() << Installed().missing;
}

std::string Edk2Test::Bin(const std::string &tool) const {
  return Quote(Installed().tree + "/BaseTools/Source/C/bin/" + tool);
}

std::string Comparable(const emu::BootResult &result) {
  std::string report = emu::FormatReport(result);
  report = std::regex_replace(report, std::regex("\n  0x[0-9A-F]{4} "), "\n  0x.... ");
  return std::regex_replace(report, std::regex("Platform checks:[^\n]*\n"), "");
}

fw::FirmwareBoot ExpectBootLikeEmulator(fw::RunRequest request) {
  fw::FirmwareBoot boot = fw::BootInFirmware(emu::DefaultBoard(), std::move(request));
  EXPECT_TRUE(boot.ok) << boot.error << "\n" << boot.run.debugLog;
  if (!boot.ok) return boot;
  std::printf("OVMF boot: %.1f s\n%s", boot.run.seconds, boot.dispatch.c_str());
  EXPECT_NE(boot.dispatch.find("dispatch-with-dependency 0x0 init-notify 2"), std::string::npos)
      << boot.dispatch;
  EXPECT_EQ(boot.result.drivers.size(), 2u);
  for (const emu::DriverOutcome &driver : boot.result.drivers) EXPECT_TRUE(driver.resident);
  emu::BootResult emulated = emu::RunBoot(boot.seen);
  EXPECT_TRUE(emulated.violations.empty());
  EXPECT_EQ(boot.result.menusAfter.edits, emulated.menusAfter.edits);
  EXPECT_EQ(Comparable(boot.result), Comparable(emulated));
  return boot;
}

}  // namespace edk2
