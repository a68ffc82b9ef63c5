// pecompact: what the compacted headers keep (every RVA, every section's bytes) and what it
// refuses to move.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "PeCompact.h"

namespace {

template <typename T>
T Get(const std::vector<uint8_t> &bytes, size_t offset) {
  T value{};
  if (offset + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

template <typename T>
void Put(std::vector<uint8_t> &bytes, size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

// An image laid out as lld-link lays one: DOS header and program (PE header at 120), sixteen
// directories (base relocation at 0x3000), .text and .reloc, file alignment 32.
std::vector<uint8_t> LinkerImage() {
  std::vector<uint8_t> image(0x220, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put<uint32_t>(image, 0x3C, 120);
  std::memcpy(image.data() + 64, "This program cannot be run in DOS mode.", 39);
  std::memcpy(image.data() + 120, "PE\0\0", 4);
  const size_t coff = 124, optional = coff + 20, table = optional + 240;
  Put<uint16_t>(image, coff, 0x8664);
  Put<uint16_t>(image, coff + 2, 2);
  Put<uint16_t>(image, coff + 16, 240);
  Put<uint16_t>(image, optional, 0x20B);
  Put<uint32_t>(image, optional + 16, 0x1010);  // entry point
  Put<uint32_t>(image, optional + 32, 0x1000);
  Put<uint32_t>(image, optional + 36, 32);
  Put<uint32_t>(image, optional + 56, 0x4000);
  Put<uint32_t>(image, optional + 60, 0x220);
  Put<uint32_t>(image, optional + 108, 16);
  Put<uint32_t>(image, optional + 112 + 8 * 5, 0x3000);
  Put<uint32_t>(image, optional + 112 + 8 * 5 + 4, 0x0C);
  const char *names[] = {".text", ".reloc"};
  const uint32_t rvas[] = {0x1000, 0x3000}, sizes[] = {0x40, 0x20}, pointers[] = {0x220, 0x260};
  for (int i = 0; i < 2; ++i) {
    const size_t header = table + 40 * i;
    std::memcpy(image.data() + header, names[i], std::strlen(names[i]));
    Put<uint32_t>(image, header + 8, sizes[i]);
    Put<uint32_t>(image, header + 12, rvas[i]);
    Put<uint32_t>(image, header + 16, sizes[i]);
    Put<uint32_t>(image, header + 20, pointers[i]);
  }
  for (uint8_t i = 0; i < 0x60; ++i) image.push_back(static_cast<uint8_t>(0x80 + i));
  return image;
}

TEST(PeCompactTest, KeepsEveryRvaAndSectionWhileTheHeadersShrink) {
  const std::vector<uint8_t> linked = LinkerImage();
  std::vector<uint8_t> image = linked;
  std::string why;
  ASSERT_TRUE(pe::CompactHeaders(image, why)) << why;
  EXPECT_EQ(image.size(), linked.size() - 0xA0);
  EXPECT_EQ(Get<uint32_t>(image, 0x3C), 64u);
  const size_t optional = 64 + 4 + 20, table = optional + 112 + 8 * 10;
  EXPECT_EQ(Get<uint16_t>(image, 64 + 4 + 16), 112 + 8 * 10);
  EXPECT_EQ(Get<uint32_t>(image, optional + 108), 10u);
  EXPECT_EQ(Get<uint32_t>(image, optional + 60), 0x180u);
  EXPECT_EQ(Get<uint32_t>(image, optional + 16), 0x1010u);
  EXPECT_EQ(Get<uint64_t>(image, optional + 112 + 8 * 5), 0x0000000C00003000u);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const size_t before = 124 + 20 + 240 + 40 * i, after = table + 40 * i;
    EXPECT_EQ(Get<uint32_t>(image, after + 12), Get<uint32_t>(linked, before + 12));
    const uint32_t size = Get<uint32_t>(image, after + 16);
    const uint32_t from = Get<uint32_t>(linked, before + 20), to = Get<uint32_t>(image, after + 20);
    EXPECT_EQ(to % 32, 0u);
    ASSERT_LE(to + size, image.size());
    EXPECT_TRUE(std::equal(image.begin() + to, image.begin() + to + size, linked.begin() + from));
  }
  // Already compact: nothing moves.
  std::vector<uint8_t> again = image;
  ASSERT_TRUE(pe::CompactHeaders(again, why)) << why;
  EXPECT_EQ(again, image);
}

TEST(PeCompactTest, RefusesImagesWhoseFileOffsetsWouldBreak) {
  std::string why;
  std::vector<uint8_t> debug = LinkerImage();
  Put<uint32_t>(debug, 124 + 20 + 112 + 8 * 6, 0x2000);  // a debug directory
  EXPECT_FALSE(pe::CompactHeaders(debug, why));
  std::vector<uint8_t> overlay = LinkerImage();
  overlay.resize(overlay.size() + 64, 0xEE);  // data after the last section
  EXPECT_FALSE(pe::CompactHeaders(overlay, why));
  std::vector<uint8_t> notPe = LinkerImage();
  notPe[120] = 'X';
  EXPECT_FALSE(pe::CompactHeaders(notPe, why));
}

TEST(PeCompactTest, ShippedImagesAreAlreadyCompact) {
  for (const char *name : {"BoardSlotService", "MenuPruner"}) {
    SCOPED_TRACE(name);
    std::ifstream in(std::string(FIRMWARE_DIR) + "/" + name + ".efi", std::ios::binary);
    std::vector<uint8_t> image(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(image.empty());
    std::vector<uint8_t> again = image;
    std::string why;
    ASSERT_TRUE(pe::CompactHeaders(again, why)) << why;
    EXPECT_EQ(again, image);
  }
}

}  // namespace
