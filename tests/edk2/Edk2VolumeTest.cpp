// Volumes of our FFS files as EDK II's GenFv packs them, read by VolInfo and UEFIExtract and
// dispatched by OVMF.
#include <fstream>
#include <regex>

#include "Edk2Tools.h"

namespace edk2 {
namespace {

class Edk2VolumeTest : public Edk2Test {
 protected:
  // A GenFv volume of every shipped .ffs file: erase polarity 1, 4 KiB blocks, the attributes
  // given (as GenFv's [attributes] lines).
  std::string PackWithGenFv(const TempFolder &dir, const std::string &name,
                            const std::vector<std::string> &attributes) {
    std::ofstream inf(dir / (name + ".inf"));
    inf << "[options]\nEFI_BLOCK_SIZE = 0x1000\n[attributes]\nEFI_ERASE_POLARITY = 1\n";
    for (const std::string &attribute : attributes) inf << attribute << " = TRUE\n";
    inf << "[files]\n";
    for (const Driver &driver : ShippedDrivers()) {
      inf << "EFI_FILE_NAME = " << Firmware(driver.name + ".ffs") << "\n";
    }
    inf.close();
    const std::string volume = dir / (name + ".fv");
    test::CommandRun run =
        test::Run(Bin("GenFv") + " -i " + Quote(dir / (name + ".inf")) + " -o " + Quote(volume));
    EXPECT_EQ(run.status, 0) << run.out;
    return volume;
  }

  // VolInfo reads the volume without an error and finds each driver, placed with its state
  // inverted for the polarity, with its three sections.
  void ExpectVolInfoReads(const std::string &volume) {
    test::CommandRun run = test::Run(Bin("VolInfo") + " " + Quote(volume));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("ERROR"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("EFI_FVB2_ERASE_POLARITY"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("There are a total of 2 files in this FV"), std::string::npos)
        << run.out;
    for (const Driver &driver : ShippedDrivers()) {
      const std::regex file("File Name: +" + driver.fileGuid +
                            "[^=]*File State: +0xF8\\s+EFI_FILE_DATA_VALID\\s+File Type: +0x07 "
                            " EFI_FV_FILETYPE_DRIVER[^=]*EFI_SECTION_PE32[^=]*"
                            "EFI_SECTION_DXE_DEPEX[^=]*String: " +
                            driver.name);
      EXPECT_TRUE(std::regex_search(run.out, file)) << driver.name << "\n" << run.out;
    }
  }

  // UEFIExtract, written apart from EDK II, parses the volume into the same files and sections.
  // A volume that is not a whole flash image has no volume top file; that note is all it says.
  void ExpectUefiExtractReads(const TempFolder &dir, const std::string &volume) {
    const std::string copy = dir / "extract.fv";
    ASSERT_TRUE(WriteFile(copy, ReadFile(volume)));
    test::CommandRun run =
        test::Run("cd " + Quote(dir.path()) + " && UEFIExtract extract.fv report");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(std::regex_replace(run.out,
                                 std::regex("parse: not a single Volume Top File is found, "
                                            "the image may be corrupted\n"),
                                 ""),
              "");
    Bytes report = ReadFile(copy + ".report.txt");
    const std::string text(report.begin(), report.end());
    for (const Driver &driver : ShippedDrivers()) {
      const std::regex file("File +\\| DXE driver +\\|[^\n]*-- " + driver.fileGuid + " \\| " +
                            driver.name +
                            "\n[^\n]*PE32 image section\n[^\n]*DXE dependency section\n[^\n]*UI "
                            "section\n");
      EXPECT_TRUE(std::regex_search(text, file)) << driver.name << "\n" << text;
    }
  }
};

// With our writer's attributes GenFv makes exactly our volume: same header, same placement,
// same State bytes, same free space.
TEST_F(Edk2VolumeTest, GenFvMakesOurVolumeByteForByte) {
  TempFolder dir;
  std::string volume = PackWithGenFv(
      dir, "ours",
      {"EFI_READ_ENABLED_CAP", "EFI_READ_STATUS", "EFI_MEMORY_MAPPED", "EFI_FVB2_ALIGNMENT_8"});
  Bytes ours = ReadFile(Firmware("BoardDrivers.fv"));
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(Difference(ReadFile(volume), ours), "");
  ExpectVolInfoReads(Firmware("BoardDrivers.fv"));
  ExpectUefiExtractReads(dir, Firmware("BoardDrivers.fv"));
}

// A volume as an FDF describes one (16-byte alignment, the usual capabilities) of our .ffs files
// is read by both tools, and OVMF dispatches the drivers from it with the emulator's report.
TEST_F(Edk2VolumeTest, FdfStyleVolumeIsReadAndDispatched) {
  TempFolder dir;
  std::string volume = PackWithGenFv(
      dir, "fdf",
      {"EFI_READ_ENABLED_CAP", "EFI_READ_STATUS", "EFI_WRITE_ENABLED_CAP", "EFI_WRITE_STATUS",
       "EFI_STICKY_WRITE", "EFI_MEMORY_MAPPED", "EFI_FVB2_ALIGNMENT_16"});
  ExpectVolInfoReads(volume);
  ExpectUefiExtractReads(dir, volume);

  fw::RunRequest request;
  request.driverVolume = volume;
  fw::FirmwareBoot boot = ExpectBootLikeEmulator(request);
  EXPECT_NE(boot.dispatch.find("process-firmware-volume 0x0\n"), std::string::npos)
      << boot.dispatch;
  EXPECT_NE(boot.dispatch.find("started-from BoardSlotService volume unnamed"), std::string::npos)
      << boot.dispatch;
}

}  // namespace
}  // namespace edk2
