// The drop-in package, read back as a PI firmware reads it. Deliberately independent of the
// packing tool's code: offsets and rules come from the PI firmware-storage layouts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "Tests.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string Firmware(const std::string &name) { return std::string(FIRMWARE_DIR) + "/" + name; }

uint32_t Size24(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16; }

// {11B34006-D85B-4D0A-A290-D5A571310EF7} and {FD480A76-B134-4EF7-ADFE-B0E054639807}, as bytes.
const char *const SHIPPED_DRIVERS_LIST[] = SHIPPED_DRIVERS;
const uint8_t kBoardInfoGuid[16] = {0x06, 0x40, 0xB3, 0x11, 0x5B, 0xD8, 0x0A, 0x4D,
                                    0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7};
const uint8_t kRegisterAccessGuid[16] = {0x76, 0x0A, 0x48, 0xFD, 0x34, 0xB1, 0xF7, 0x4E,
                                         0xAD, 0xFE, 0xB0, 0xE0, 0x54, 0x63, 0x98, 0x07};
// EFI_FIRMWARE_FILE_SYSTEM2_GUID {8C8CE578-8A3D-4F1C-9935-896185C32DD3}.
const uint8_t kFfs2Guid[16] = {0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F,
                               0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3};

struct Section {
  uint8_t type;
  Bytes data;
};

struct FfsFile {
  Bytes guid;
  uint8_t type, attributes, state;
  std::vector<Section> sections;
};

// Checks one FFS file's checksums and reads its sections.
FfsFile ParseFfs(const uint8_t *file, size_t available) {
  FfsFile out{};
  EXPECT_GE(available, 24u);
  uint32_t size = Size24(file + 20);
  EXPECT_LE(size, available);
  out.guid.assign(file, file + 16);
  out.type = file[18];
  out.attributes = file[19];
  out.state = file[23];
  uint8_t headerSum = 0;
  for (int i = 0; i < 24; ++i) headerSum += file[i];
  headerSum = static_cast<uint8_t>(headerSum - file[17] - file[23]);
  EXPECT_EQ(headerSum, 0) << "header checksum";
  uint8_t dataSum = 0;
  for (uint32_t i = 24; i < size; ++i) dataSum += file[i];
  if (out.attributes & 0x40) {
    EXPECT_EQ(static_cast<uint8_t>(dataSum + file[17]), 0) << "file checksum";
  } else {
    EXPECT_EQ(file[17], 0xAA);
  }
  for (uint32_t at = 24; at < size;) {
    at = (at + 3) & ~3u;
    uint32_t sectionSize = Size24(file + at);
    EXPECT_GE(sectionSize, 4u);
    EXPECT_LE(at + sectionSize, size);
    if (sectionSize < 4 || at + sectionSize > size) break;
    out.sections.push_back({file[at + 3], Bytes(file + at + 4, file + at + sectionSize)});
    at += sectionSize;
  }
  return out;
}

class PackageTest : public testing::TestWithParam<const char *> {};

TEST_P(PackageTest, DepexHoldsTheDriverBackUntilBothProtocolsExist) {
  Bytes depex = ReadFile(Firmware(std::string(GetParam()) + ".depex"));
  Bytes expected = {0x02};
  expected.insert(expected.end(), kBoardInfoGuid, kBoardInfoGuid + 16);
  expected.push_back(0x02);
  expected.insert(expected.end(), kRegisterAccessGuid, kRegisterAccessGuid + 16);
  expected.insert(expected.end(), {0x03, 0x08});
  EXPECT_EQ(depex, expected);
}

TEST_P(PackageTest, FfsFileIsADriverWithImageDepexAndName) {
  std::string name = GetParam();
  Bytes ffs = ReadFile(Firmware(name + ".ffs"));
  ASSERT_FALSE(ffs.empty());
  FfsFile file = ParseFfs(ffs.data(), ffs.size());
  EXPECT_EQ(Size24(ffs.data() + 20), ffs.size());
  EXPECT_EQ(file.type, 0x07);  // EFI_FV_FILETYPE_DRIVER
  // Header construction, header valid, data valid, as written: GenFfs's convention. A volume
  // inverts it when it places the file.
  EXPECT_EQ(file.state, 0x07);
  ASSERT_EQ(file.sections.size(), 3u);
  EXPECT_EQ(file.sections[0].type, 0x10);  // PE32
  EXPECT_EQ(file.sections[0].data, ReadFile(Firmware(name + ".efi")));
  EXPECT_EQ(file.sections[1].type, 0x13);  // DXE_DEPEX
  EXPECT_EQ(file.sections[1].data, ReadFile(Firmware(name + ".depex")));
  EXPECT_EQ(file.sections[2].type, 0x15);  // USER_INTERFACE, UCS-2
  Bytes ui;
  for (char c : name) ui.insert(ui.end(), {static_cast<uint8_t>(c), 0});
  ui.insert(ui.end(), {0, 0});
  EXPECT_EQ(file.sections[2].data, ui);
}

TEST_P(PackageTest, InfNamesTheSameGuidAndBinaries) {
  std::string name = GetParam();
  std::string inf;
  for (uint8_t c : ReadFile(Firmware(name + ".inf"))) inf.push_back(static_cast<char>(c));
  Bytes ffs = ReadFile(Firmware(name + ".ffs"));
  ASSERT_GE(ffs.size(), 16u);
  char guid[40];
  std::snprintf(guid, sizeof(guid),
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", ffs[3],
                ffs[2], ffs[1], ffs[0], ffs[5], ffs[4], ffs[7], ffs[6], ffs[8], ffs[9], ffs[10],
                ffs[11], ffs[12], ffs[13], ffs[14], ffs[15]);
  EXPECT_NE(inf.find("FILE_GUID      = " + std::string(guid)), std::string::npos) << inf;
  EXPECT_NE(inf.find("MODULE_TYPE    = DXE_DRIVER"), std::string::npos);
  EXPECT_NE(inf.find("INF_VERSION    = 0x0001001B\n"), std::string::npos) << inf;
  EXPECT_NE(inf.find("[Binaries.X64]\n  PE32|" + name + ".efi|*\n  DXE_DEPEX|" + name + ".depex|*"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Drivers, PackageTest, testing::ValuesIn(SHIPPED_DRIVERS_LIST));

TEST(FirmwareVolumeTest, HoldsEveryDriverFileInAValidFfs2Volume) {
  Bytes fv = ReadFile(Firmware("BoardDrivers.fv"));
  ASSERT_GE(fv.size(), 0x48u);
  const uint8_t *h = fv.data();
  EXPECT_EQ(std::memcmp(h, Bytes(16, 0).data(), 16), 0);  // zero vector
  EXPECT_EQ(std::memcmp(h + 16, kFfs2Guid, 16), 0);
  uint64_t length;
  std::memcpy(&length, h + 32, 8);
  EXPECT_EQ(length, fv.size());
  EXPECT_EQ(std::memcmp(h + 40, "_FVH", 4), 0);
  uint32_t attributes;
  std::memcpy(&attributes, h + 44, 4);
  EXPECT_TRUE(attributes & 0x4) << "READ_STATUS";
  EXPECT_TRUE(attributes & 0x800) << "ERASE_POLARITY";
  uint16_t headerLength = h[48] | h[49] << 8;
  uint16_t sum = 0;
  for (size_t i = 0; i < headerLength; i += 2)
    sum = static_cast<uint16_t>(sum + (h[i] | h[i + 1] << 8));
  EXPECT_EQ(sum, 0) << "header checksum";
  EXPECT_EQ(h[55], 2);  // revision
  // Block map: blocks cover the volume, then the zero terminator.
  uint32_t blocks, blockLength;
  std::memcpy(&blocks, h + 56, 4);
  std::memcpy(&blockLength, h + 60, 4);
  EXPECT_EQ(uint64_t{blocks} * blockLength, length);

  std::vector<std::string> names;
  size_t at = headerLength;
  while (at + 24 <= fv.size()) {
    at = (at + 7) & ~size_t{7};
    if (at + 24 > fv.size() ||
        std::all_of(fv.begin() + at, fv.begin() + at + 24, [](uint8_t b) { return b == 0xFF; })) {
      break;  // free space
    }
    size_t size = Size24(fv.data() + at + 20);
    ASSERT_LE(at + size, fv.size());
    FfsFile placed = ParseFfs(fv.data() + at, fv.size() - at);
    // Erase polarity 1: the state bits are stored inverted, and nothing else differs from the
    // standalone file.
    EXPECT_EQ(placed.state, 0xF8);
    Bytes standalone = ReadFile(Firmware(std::string(SHIPPED_DRIVERS_LIST[names.size()]) + ".ffs"));
    ASSERT_EQ(standalone.size(), size);
    standalone[23] = static_cast<uint8_t>(~standalone[23]);
    EXPECT_EQ(Bytes(fv.begin() + at, fv.begin() + at + size), standalone);
    names.push_back(SHIPPED_DRIVERS_LIST[names.size()]);
    at += size;
    if (names.size() == std::size(SHIPPED_DRIVERS_LIST)) break;
  }
  EXPECT_EQ(names.size(), std::size(SHIPPED_DRIVERS_LIST));
  // Past the files, the volume is erased.
  for (size_t i = at; i < fv.size(); ++i) ASSERT_EQ(fv[i], 0xFF) << "at " << i;
}

// ---- Files fvpack must refuse ----

void WriteFile(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void Put16(Bytes &bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// fvpack run on copies of the images in a folder of the test's own. A file it cannot use ends
// the run with status 2 and one line that names the file.
class FvPackRefusalTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "fvpack-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    image_ = ReadFile(Firmware("BoardSlotService.efi"));
    ASSERT_GT(image_.size(), 0x200u);
    WriteFile(Efi(), image_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Efi() const { return dir_ + "/BoardSlotService.efi"; }
  test::CommandRun Pack() const {
    return test::Run(std::string(FVPACK_PATH) + " " + dir_ + " BoardSlotService");
  }
  // Refused, in one line naming `file` and saying `why`, with no FFS file written.
  void ExpectRefused(const std::string &file, const std::string &why) const {
    test::CommandRun run = Pack();
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    EXPECT_EQ(run.out.rfind("fvpack: " + file + ": ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find(why), std::string::npos) << run.out;
  }
  size_t PeHeader() const { return image_[0x3C] | image_[0x3D] << 8; }

  std::string dir_;
  Bytes image_;
};

TEST_F(FvPackRefusalTest, PacksTheImagesItIsGiven) {
  test::CommandRun run = Pack();
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadFile(dir_ + "/BoardSlotService.ffs"), ReadFile(Firmware("BoardSlotService.ffs")));
}

// Only what a DXE core loads as a driver: a PE32+ image for x64, subsystem 11, whole (the
// reader's own refusals are tests/image/PeReaderTest.cpp's).
TEST_F(FvPackRefusalTest, RefusesWhatIsNoX64BootServiceDriverImage) {
  std::mt19937 random(13);
  Bytes noise(4096);
  for (uint8_t &byte : noise) byte = static_cast<uint8_t>(random());
  const size_t pe = PeHeader(), optional = pe + 24;
  struct Case {
    const char *what;
    Bytes bytes;
    const char *why;
  } cases[] = {
      {"empty", {}, "not a PE image (no MZ header)"},
      {"random bytes", noise, "not a PE image"},
      {"MZ pointing past the end", image_, "no PE signature"},
      {"cut short", Bytes(image_.begin(), image_.begin() + static_cast<long>(optional + 40)),
       "the optional header (0xC0 bytes at 0x58) runs past the end of the file"},
      {"PE32", image_, "not a PE32+ image (optional header magic 0x10B)"},
      {"i386", image_, "not an x64 image (machine 0x14C)"},
      {"application", image_, "subsystem 10, not an EFI boot-service driver (11)"},
  };
  cases[2].bytes[0x3C] = 0xF0, cases[2].bytes[0x3D] = 0xFF, cases[2].bytes[0x3E] = 0xFF;
  Put16(cases[4].bytes, optional, 0x10B);
  Put16(cases[5].bytes, pe + 4, 0x14C);
  Put16(cases[6].bytes, optional + 68, 10);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(Efi(), c.bytes);
    ExpectRefused(Efi(), c.why);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/BoardSlotService.ffs"));
  }
}

// The FFS file's size is 24 bits: an image that would wrap it is refused, whether the file is
// too large to read or only its sections take it past the limit.
TEST_F(FvPackRefusalTest, RefusesAnImagePastTheFfsSizeLimit) {
  for (size_t size : {size_t{17'000'000}, size_t{0xFFFFFF} - 16}) {
    SCOPED_TRACE(size);
    Bytes padded = image_;
    padded.resize(size, 0);  // trailing data does not stop an image from being one
    WriteFile(Efi(), padded);
    ExpectRefused(Efi(), std::to_string(size) + " bytes: past the 16 MiB");
  }
}

TEST_F(FvPackRefusalTest, RefusesADirectoryOrAMissingImage) {
  std::filesystem::remove(Efi());
  ExpectRefused(Efi(), "No such file or directory");
  std::filesystem::create_directory(Efi());
  ExpectRefused(Efi(), "is a directory");
}

// A write that fails only when the stream is flushed (a full device) is a failure too.
TEST_F(FvPackRefusalTest, RefusesOutputsThatCannotBeWritten) {
  for (const char *output : {"BoardSlotService.depex", "BoardSlotService.ffs", "BoardDrivers.fv"}) {
    SCOPED_TRACE(output);
    std::string path = dir_ + "/" + output;
    std::filesystem::remove(path);
    std::filesystem::create_symlink("/dev/full", path);
    ExpectRefused(path, "cannot write: No space left on device");
    std::filesystem::remove(path);
  }
}

}  // namespace
