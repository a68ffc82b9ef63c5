// The README's integrator lines in a real EDK II platform build: tools/edk2-platform/ takes
// them from README.md, EDK II's build makes a flash device of them, and OVMF boots the drivers
// from the volume it holds.
#include <cstring>

#include "Edk2Tools.h"

namespace edk2 {
namespace {

class Edk2PlatformTest : public Edk2Test {
 protected:
  test::CommandRun BuildPlatform(const TempFolder &dir, const std::string &options) {
    return RunTool("/usr/bin/python3 " +
                   Quote(std::string(SOURCE_DIR) + "/tools/edk2-platform/build-platform.py") + " " +
                   Quote(FIRMWARE_DIR) + " " + Quote(dir.path()) + options);
  }
};

std::string Trimmed(const std::string &text) {
  size_t end = text.find_last_not_of("\n");
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

TEST_F(Edk2PlatformTest, ReadmeLinesBuildAFlashDeviceThatBoots) {
  TempFolder dir;
  test::CommandRun run = BuildPlatform(dir, "");
  ASSERT_EQ(run.status, 0) << run.out;
  const std::string image = Trimmed(run.out);
  Bytes fd = ReadFile(image);
  ASSERT_GE(fd.size(), 0x48u) << image;

  // Every line the README gives went into the platform's files as it stands there.
  Bytes readme = ReadFile(std::string(SOURCE_DIR) + "/README.md");
  std::string text(readme.begin(), readme.end());
  Bytes dsc = ReadFile(dir / "BoardPkg/Platform.dsc"),
        fdf = ReadFile(dir / "BoardPkg/Platform.fdf");
  const std::string platform =
      std::string(dsc.begin(), dsc.end()) + std::string(fdf.begin(), fdf.end());
  for (const char *line : {"  BoardPkg/Binaries/BoardSlotService.inf\n", "  FvForceRebase = FALSE",
                           "  INF RuleOverride = BINARY BoardPkg/Binaries/MenuPruner.inf\n",
                           "    PE32      PE32                |.efi\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << "the README lost: " << line;
    EXPECT_NE(platform.find(line), std::string::npos) << "the platform lacks: " << line;
  }

  // The FD holds one volume from its start; EDK II's readers take it.
  uint64_t length = 0;
  std::memcpy(&length, fd.data() + 32, 8);
  ASSERT_EQ(std::memcmp(fd.data() + 40, "_FVH", 4), 0);
  ASSERT_LE(length, fd.size());
  test::CommandRun volInfo = test::Run(Bin("VolInfo") + " " + Quote(image));
  EXPECT_EQ(volInfo.status, 0) << volInfo.out;
  EXPECT_EQ(volInfo.out.find("ERROR"), std::string::npos) << volInfo.out;
  for (const Driver &driver : ShippedDrivers()) {
    EXPECT_NE(volInfo.out.find(driver.fileGuid), std::string::npos) << volInfo.out;
  }
  const std::string volume = dir / "platform.fv";
  ASSERT_TRUE(WriteFile(volume, Bytes(fd.begin(), fd.begin() + static_cast<ptrdiff_t>(length))));
  std::printf("platform flash device: %zu bytes, its volume %llu bytes\n", fd.size(),
              static_cast<unsigned long long>(length));

  // The volume asks for 16-byte alignment and carries a name, which the DXE core reports.
  fw::RunRequest request;
  request.driverVolume = volume;
  fw::FirmwareBoot boot = ExpectBootLikeEmulator(request);
  EXPECT_NE(
      boot.dispatch.find("started-from MenuPruner volume 6D42ADFB-7FA1-466C-B1A2-16C0E1D75C77"),
      std::string::npos)
      << boot.dispatch;
}

// Without FvForceRebase = FALSE the volume at a flash address is rebased, and GenFv refuses our
// images: what the README tells integrators, shown.
TEST_F(Edk2PlatformTest, RebasedVolumeRefusesOurImages) {
  TempFolder dir;
  test::CommandRun run = BuildPlatform(dir, " --drop FvForceRebase");
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.out.find("Section-Alignment and File-Alignment do not match"), std::string::npos)
      << run.out;
}

// The integrator lines come from the README or nowhere: a README without them is refused, with
// a line saying so, before any build.
TEST_F(Edk2PlatformTest, ReadmeWithoutTheLinesIsRefused) {
  TempFolder dir;
  ASSERT_TRUE(WriteFile(dir / "README.md", Bytes{'#', ' ', 'x', '\n'}));
  test::CommandRun run = BuildPlatform(dir, " --compose-only --readme " + Quote(dir / "README.md"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "build-platform: README.md has no code block under '## Integrating into a platform'\n");
}

}  // namespace
}  // namespace edk2
