// How the set-up gets EDK II's tools: a deb-src list derived from the machine's apt sources in
// an apt configuration of its own, and one line on why when they cannot be had. These run the
// set-up script on apt sources of their own that need no network, and a cache of their own.
#include <fstream>

#include "Edk2Tools.h"

namespace edk2 {
namespace {

const std::string kScript = std::string(SOURCE_DIR) + "/scripts/edk2-tools.sh";

struct SetupRun {
  test::CommandRun run;
  std::string failed;   // the one line the script left
  std::string derived;  // every file of its deb-src list, in name order
};

SetupRun RunSetup(const TempFolder &dir) {
  SetupRun setup;
  setup.run = test::Run("EDK2_TOOLS_CACHE=" + Quote(dir / "cache") +
                        " EDK2_TOOLS_APT_ETC=" + Quote(dir / "etc") + " " + Quote(kScript));
  Bytes failed = ReadFile(dir / "cache/failed");
  setup.failed.assign(failed.begin(), failed.end());
  test::CommandRun list = test::Run("cat " + Quote(dir / "cache/apt/sources.list.d") + "/*");
  if (list.status == 0) setup.derived = list.out;
  return setup;
}

void WriteText(const std::string &path, const std::string &text) {
  test::Run("mkdir -p " + Quote(path.substr(0, path.rfind('/'))));
  std::ofstream(path) << text;
}

// deb822 stanzas keep everything but their type; deb-src and disabled ones are left out.
// One-line files give a deb-src line per deb line, options kept. The file: archive does not
// exist, so the update fails, and says so in one line.
TEST(Edk2SetupTest, DerivesDebSrcFromTheMachinesSourcesAndSaysWhyAFetchFails) {
  TempFolder dir;
  WriteText(dir / "etc/sources.list.d/debian.sources",
            "Types: deb\n"
            "# a mirror's note\n"
            "URIs: file:///nonexistent/debian\n"
            "Suites: bookworm bookworm-updates\n"
            "Components: main\n"
            "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"
            "\n"
            "Types: deb-src\n"
            "URIs: file:///nonexistent/sources-only\n"
            "Suites: bookworm\n"
            "Components: main\n"
            "\n"
            "Types: deb\n"
            "URIs: file:///nonexistent/disabled\n"
            "Suites: bookworm\n"
            "Components: main\n"
            "Enabled: no\n");
  WriteText(dir / "etc/sources.list",
            "# deb file:///nonexistent/commented bookworm main\n"
            "deb [arch=amd64] file:///nonexistent/security bookworm-security main\n");
  SetupRun setup = RunSetup(dir);
  EXPECT_EQ(setup.run.status, 1) << setup.run.out;
  EXPECT_EQ(setup.derived,
            "Types: deb-src\n"
            "URIs: file:///nonexistent/debian\n"
            "Suites: bookworm bookworm-updates\n"
            "Components: main\n"
            "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n"
            "\n"
            "deb-src [arch=amd64] file:///nonexistent/security bookworm-security main\n");
  EXPECT_EQ(setup.failed.rfind("apt-get update of the deb-src list failed: ", 0), 0u)
      << setup.failed;
  EXPECT_EQ(std::count(setup.failed.begin(), setup.failed.end(), '\n'), 1) << setup.failed;
  EXPECT_NE(FindTools(dir / "cache").missing.find(setup.failed.substr(0, setup.failed.size() - 1)),
            std::string::npos);
}

TEST(Edk2SetupTest, MachineWithoutDebSourcesIsRefusedInOneLine) {
  TempFolder dir;
  WriteText(dir / "etc/sources.list.d/other.sources",
            "Types: deb-src\nURIs: file:///nonexistent\nSuites: bookworm\nComponents: main\n");
  SetupRun setup = RunSetup(dir);
  EXPECT_EQ(setup.run.status, 1);
  EXPECT_EQ(setup.failed,
            "no deb sources in " + (dir / "etc") + " to derive a deb-src list from\n");
}

// What the tests say when the tools are not there: the set-up's own reason, else how to get them,
// else the first tool that is missing.
TEST(Edk2SetupTest, MissingToolsAreNamedInOneLine) {
  TempFolder dir;
  EXPECT_EQ(FindTools(dir.path()).missing,
            "the EDK II tools are not set up in " + dir.path() + ": run scripts/setup.sh");
  WriteText(dir / "failed", "the edk2 source package cannot be fetched\n");
  EXPECT_EQ(FindTools(dir.path()).missing, "the EDK II tools are not set up in " + dir.path() +
                                               ": the edk2 source package cannot be fetched");
  WriteText(dir / "ready", "2022.11-6\n");
  WriteText(dir / "edk2/BaseTools/Source/C/bin/GenFv", "");
  EXPECT_EQ(FindTools(dir.path()).missing,
            "EDK II's GenFv is missing from " + dir.path() + "/edk2/BaseTools/Source/C/bin");
}

}  // namespace
}  // namespace edk2
