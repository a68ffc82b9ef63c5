// Our FFS files in a real flash image: EDK II's FMMT inserts them into the compressed DXE volume
// of Debian's OVMF code image, and QEMU boots it. The DXE core finds the drivers in flash and
// holds them on their dependency until the platform application provides the board's
// protocols; they start from flash, and do what the emulator does.
#include "Edk2Tools.h"

namespace edk2 {
namespace {

constexpr char kOvmfCode[] = "/usr/share/OVMF/OVMF_CODE_4M.fd";
constexpr char kDxeVolume[] = "7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1";  // OVMF's DXEFV

class Edk2FlashTest : public Edk2Test {};

TEST_F(Edk2FlashTest, DriversInsertedIntoOvmfStartFromFlash) {
  const Bytes original = ReadFile(kOvmfCode);
  ASSERT_FALSE(original.empty()) << kOvmfCode << " is missing (Debian package ovmf)";
  TempFolder dir;
  std::string image = kOvmfCode;
  for (const Driver &driver : ShippedDrivers()) {
    const std::string next = dir / ("with-" + driver.name + ".fd");
    test::CommandRun run = RunTool("cd " + Quote(dir.path()) + " && /usr/bin/python3 " +
                                   Quote(tools().tree + "/BaseTools/Source/Python/FMMT/FMMT.py") +
                                   " -a " + Quote(image) + " " + kDxeVolume + " " +
                                   Quote(Firmware(driver.name + ".ffs")) + " " + Quote(next));
    ASSERT_EQ(run.status, 0) << run.out;
    image = next;
  }
  const Bytes inserted = ReadFile(image);
  std::printf("OVMF_CODE_4M.fd: %zu bytes before, %zu bytes with both drivers\n", original.size(),
              inserted.size());
  EXPECT_EQ(inserted.size(), original.size());
  EXPECT_NE(inserted, original);

  // UEFIExtract unpacks the recompressed DXE volume and finds both files in it.
  const std::string copy = dir / "flash.fd";
  ASSERT_TRUE(WriteFile(copy, inserted));
  test::CommandRun extract =
      test::Run("cd " + Quote(dir.path()) + " && UEFIExtract flash.fd report");
  ASSERT_EQ(extract.status, 0) << extract.out;
  Bytes report = ReadFile(copy + ".report.txt");
  const std::string text(report.begin(), report.end());
  const size_t volume = text.find(std::string("- ") + kDxeVolume);
  ASSERT_NE(volume, std::string::npos) << text;
  for (const Driver &driver : ShippedDrivers()) {
    const size_t file = text.find(driver.fileGuid + " | " + driver.name);
    EXPECT_NE(file, std::string::npos) << driver.name << "\n" << text;
    EXPECT_GT(file, volume);
  }

  // No volume on the boot disk: the application finds the drivers in flash, held.
  fw::RunRequest request;
  request.flashImage = copy;
  request.driverVolume.clear();
  fw::FirmwareBoot boot = ExpectBootLikeEmulator(request);
  for (const Driver &driver : ShippedDrivers()) {
    EXPECT_NE(boot.dispatch.find("flash-file " + driver.name + " volume " + kDxeVolume + " held"),
              std::string::npos)
        << boot.dispatch;
    EXPECT_NE(boot.dispatch.find("started-from " + driver.name + " volume " + kDxeVolume),
              std::string::npos)
        << boot.dispatch;
  }
  EXPECT_EQ(boot.dispatch.find("process-firmware-volume"), std::string::npos) << boot.dispatch;
  // Only the register access protocol can be shown to hold them here: the firmware's PCD
  // driver installed the board information GUID before the DXE core first looked at them, and
  // the core keeps that half of the dependency as met.
  EXPECT_NE(boot.dispatch.find("dispatch-without-dependency 0x800000000000000E started 0"),
            std::string::npos)
      << boot.dispatch;
  EXPECT_NE(boot.dispatch.find("dispatch-with-board-information-only 0x800000000000000E started 0"),
            std::string::npos)
      << boot.dispatch;
}

}  // namespace
}  // namespace edk2
