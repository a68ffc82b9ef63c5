// The same commit builds the same packages, RELEASE and DEBUG: a second build, from a copy of
// the sources in another folder into another build folder, gives the same bytes of every file,
// and no file carries a path of either build.
#include <algorithm>

#include "Edk2Tools.h"

namespace edk2 {
namespace {

bool Holds(const Bytes &bytes, const std::string &text) {
  return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

TEST(ReproducibleBuildTest, SecondBuildElsewhereGivesTheSameBytes) {
  TempFolder dir;
  const std::string source = dir / "source";
  test::CommandRun copy = test::Run("mkdir " + Quote(source) + " && tar -C " + Quote(SOURCE_DIR) +
                                    " --exclude=./.git --exclude=./build --exclude='./build-*' "
                                    "--exclude=./.cache -cf - . | tar -C " +
                                    Quote(source) + " -xf -");
  ASSERT_EQ(copy.status, 0) << copy.out;
  test::CommandRun build =
      test::Run("cd " + Quote(source) +
                " && cmake --preset default >/dev/null && cmake --build "
                "--preset default -j2 --target firmware_package firmware_package_debug");
  ASSERT_EQ(build.status, 0) << build.out;

  std::vector<std::string> files;
  for (const std::string folder : {"", "DEBUG/"}) {
    files.push_back(folder + "BoardDrivers.fv");
    for (const Driver &driver : ShippedDrivers()) {
      for (const char *suffix : {".efi", ".debug", ".depex", ".ffs", ".inf"})
        files.push_back(folder + driver.name + suffix);
    }
  }
  for (const std::string &name : files) {
    SCOPED_TRACE(name);
    Bytes first = ReadFile(Firmware(name)), second = ReadFile(source + "/build/firmware/" + name);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(Difference(first, second), "");
    for (const std::string &path : {std::string(SOURCE_DIR), source, std::string(FIRMWARE_DIR)}) {
      EXPECT_FALSE(Holds(first, path) || Holds(second, path)) << "carries " << path;
    }
  }
}

}  // namespace
}  // namespace edk2
