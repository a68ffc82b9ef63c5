// pecompact: what the compacted headers keep (every RVA, every section's bytes) and what it
// refuses to move; what stripping a DWARF link takes out, and what it keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "PeCoff.h"
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

// A base relocation block: one 64-bit address at `rva`, then a padding entry.
void PutRelocationBlock(std::vector<uint8_t> &image, size_t at, uint32_t rva) {
  Put<uint32_t>(image, at, rva & ~0xFFFu);
  Put<uint32_t>(image, at + 4, 0x0C);
  Put<uint16_t>(image, at + 8, static_cast<uint16_t>(0xA000 | (rva & 0xFFF)));
  Put<uint16_t>(image, at + 10, 0);
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
  Put<uint16_t>(image, optional + 68, 11);      // boot-service driver
  Put<uint32_t>(image, optional + 32, 0x1000);
  Put<uint32_t>(image, optional + 36, 32);
  Put<uint32_t>(image, optional + 56, 0x4000);
  Put<uint32_t>(image, optional + 60, 0x220);
  Put<uint32_t>(image, optional + 108, 16);
  Put<uint32_t>(image, optional + 112 + 8 * 5, 0x3000);
  Put<uint32_t>(image, optional + 112 + 8 * 5 + 4, 0x0C);
  const char *names[] = {".text", ".reloc"};
  const uint32_t rvas[] = {0x1000, 0x3000}, sizes[] = {0x40, 0x20}, pointers[] = {0x220, 0x260};
  const uint32_t characteristics[] = {0x60000020, 0x42000040};
  for (int i = 0; i < 2; ++i) {
    const size_t header = table + 40 * i;
    std::memcpy(image.data() + header, names[i], std::strlen(names[i]));
    Put<uint32_t>(image, header + 8, sizes[i]);
    Put<uint32_t>(image, header + 12, rvas[i]);
    Put<uint32_t>(image, header + 16, sizes[i]);
    Put<uint32_t>(image, header + 20, pointers[i]);
    Put<uint32_t>(image, header + 36, characteristics[i]);
  }
  for (uint8_t i = 0; i < 0x60; ++i) image.push_back(static_cast<uint8_t>(0x80 + i));
  PutRelocationBlock(image, 0x260, 0x1020);
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
  Put<uint32_t>(debug, 124 + 20 + 112 + 8 * 6, 0x1000);  // a debug directory, in .text
  EXPECT_FALSE(pe::CompactHeaders(debug, why));
  EXPECT_NE(why.find("debug directory"), std::string::npos) << why;
  std::vector<uint8_t> overlay = LinkerImage();
  overlay.resize(overlay.size() + 64, 0xEE);  // data after the last section
  EXPECT_FALSE(pe::CompactHeaders(overlay, why));
  EXPECT_EQ(why, "data after the last section");
  // What the PE/COFF reader refuses, with its reason.
  std::vector<uint8_t> notPe = LinkerImage();
  notPe[120] = 'X';
  EXPECT_FALSE(pe::CompactHeaders(notPe, why));
  EXPECT_NE(why.find("no PE signature"), std::string::npos) << why;
}

// An image as lld-link /debug:dwarf lays one: .text, then .rdata ending in the debug directory
// and its CodeView record, .reloc, a discardable .debug_info named through the string table,
// and the COFF symbol table with that string table after the sections.
struct DwarfLink {
  std::vector<uint8_t> bytes;
  size_t coff = 0, optional = 0, table = 0;
  static constexpr uint32_t kRdataContent = 0x2D;  // what the image itself keeps in .rdata
  static constexpr uint32_t kDirectory = 0x2030;   // 4-aligned after it
};

DwarfLink DwarfLinkedImage() {
  DwarfLink link;
  std::vector<uint8_t> &image = link.bytes;
  image.assign(0x400, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put<uint32_t>(image, 0x3C, 0x80);
  std::memcpy(image.data() + 0x80, "PE\0\0", 4);
  link.coff = 0x84;
  link.optional = link.coff + 20;
  link.table = link.optional + 240;
  Put<uint16_t>(image, link.coff, 0x8664);
  Put<uint16_t>(image, link.coff + 2, 4);
  Put<uint16_t>(image, link.coff + 16, 240);
  Put<uint16_t>(image, link.optional, 0x20B);
  Put<uint32_t>(image, link.optional + 8, 0x80 + 0x20 + 0x40);  // initialized data, as linked
  Put<uint32_t>(image, link.optional + 16, 0x1000);
  Put<uint16_t>(image, link.optional + 68, 11);
  Put<uint32_t>(image, link.optional + 32, 0x1000);
  Put<uint32_t>(image, link.optional + 36, 32);
  Put<uint32_t>(image, link.optional + 56, 0x5000);
  Put<uint32_t>(image, link.optional + 60, 0x400);
  Put<uint32_t>(image, link.optional + 108, 16);
  Put<uint32_t>(image, link.optional + 112 + 8 * 5, 0x3000);
  Put<uint32_t>(image, link.optional + 112 + 8 * 5 + 4, 0x0C);
  Put<uint32_t>(image, link.optional + 112 + 8 * 6, DwarfLink::kDirectory);
  Put<uint32_t>(image, link.optional + 112 + 8 * 6 + 4, 28);
  struct {
    const char *name;
    uint32_t virtualSize, rva, rawSize, characteristics;
  } sections[] = {{".text", 0x30, 0x1000, 0x40, 0x60000020},
                  {".rdata", 0x65, 0x2000, 0x80, 0x40000040},
                  {".reloc", 0x0C, 0x3000, 0x20, 0x42000040},
                  {"/4", 0x40, 0x4000, 0x40, 0x42000040}};
  for (size_t i = 0; i < 4; ++i) {
    const size_t header = link.table + 40 * i;
    std::memcpy(image.data() + header, sections[i].name, std::strlen(sections[i].name));
    Put<uint32_t>(image, header + 8, sections[i].virtualSize);
    Put<uint32_t>(image, header + 12, sections[i].rva);
    Put<uint32_t>(image, header + 16, sections[i].rawSize);
    Put<uint32_t>(image, header + 20, static_cast<uint32_t>(image.size()));
    Put<uint32_t>(image, header + 36, sections[i].characteristics);
    for (uint32_t k = 0; k < sections[i].rawSize; ++k) {
      image.push_back(k < sections[i].virtualSize ? static_cast<uint8_t>(0x11 * (i + 1) + k) : 0);
    }
  }
  PutRelocationBlock(image, 0x400 + 0x40 + 0x80, 0x2000);
  // The debug directory's one entry names the CodeView record right behind it.
  const size_t rdata = 0x400 + 0x40;
  const size_t directory = rdata + (DwarfLink::kDirectory - 0x2000);
  std::fill(image.begin() + rdata + DwarfLink::kRdataContent, image.begin() + rdata + 0x80, 0);
  Put<uint32_t>(image, directory + 12, 2);  // CodeView
  Put<uint32_t>(image, directory + 16, 0x19);
  Put<uint32_t>(image, directory + 20, DwarfLink::kDirectory + 28);
  Put<uint32_t>(image, directory + 24, static_cast<uint32_t>(directory + 28));
  std::memcpy(image.data() + directory + 28, "RSDS", 4);
  // Symbol table (two symbols), then the string table naming .debug_info at offset 4.
  Put<uint32_t>(image, link.coff + 8, static_cast<uint32_t>(image.size()));
  Put<uint32_t>(image, link.coff + 12, 2);
  image.resize(image.size() + 2 * 18, 0x5A);
  const std::string strings = std::string("\x10\0\0\0", 4) + ".debug_info" + '\0';
  image.insert(image.end(), strings.begin(), strings.end());
  return link;
}

struct SectionView {
  uint32_t virtualSize, rva;
  std::vector<uint8_t> bytes;
};

// The sections as the tools' PE/COFF reader sees them: it must take what pecompact reads and
// writes.
std::vector<SectionView> Sections(const std::vector<uint8_t> &image) {
  const pecoff::Reading reading = pecoff::ReadImage(image);
  EXPECT_TRUE(reading.ok()) << reading.problem;
  std::vector<SectionView> sections;
  for (const pecoff::Section &s : reading.image.sections) {
    sections.push_back({s.virtualSize, s.virtualAddress,
                        std::vector<uint8_t>(image.begin() + s.rawPointer,
                                             image.begin() + s.rawPointer + s.rawSize)});
  }
  return sections;
}

TEST(PeCompactTest, StrippingADwarfLinkKeepsTheImagesOwnSectionsByteForByte) {
  const DwarfLink link = DwarfLinkedImage();
  std::vector<uint8_t> image = link.bytes;
  std::string why;
  ASSERT_TRUE(pe::StripDebugInformation(image, why)) << why;

  const size_t coff = 64 + 4, optional = coff + 20;
  EXPECT_EQ(Get<uint16_t>(image, coff + 2), 3);   // .debug_info is gone
  EXPECT_EQ(Get<uint32_t>(image, coff + 8), 0u);  // no symbol table
  EXPECT_EQ(Get<uint32_t>(image, coff + 12), 0u);
  EXPECT_EQ(Get<uint64_t>(image, optional + 112 + 8 * 6), 0u);  // no debug directory
  EXPECT_EQ(Get<uint64_t>(image, optional + 112 + 8 * 5), 0x0000000C00003000u);
  EXPECT_EQ(Get<uint32_t>(image, optional + 56), 0x4000u);      // size of image
  EXPECT_EQ(Get<uint32_t>(image, optional + 8), 0x40u + 0x20);  // .rdata and .reloc on file
  EXPECT_EQ(Get<uint32_t>(image, optional + 16), 0x1000u);

  const std::vector<SectionView> linked = Sections(link.bytes), shipped = Sections(image);
  ASSERT_EQ(shipped.size(), 3u);
  for (size_t i = 0; i < shipped.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(shipped[i].rva, linked[i].rva);
    // .rdata ends where the debug directory began; everything before it is as linked.
    const size_t kept = i == 1 ? DwarfLink::kDirectory - 0x2000 : linked[i].virtualSize;
    EXPECT_EQ(shipped[i].virtualSize, kept);
    ASSERT_GE(shipped[i].bytes.size(), kept);
    EXPECT_TRUE(std::equal(shipped[i].bytes.begin(), shipped[i].bytes.begin() + kept,
                           linked[i].bytes.begin()));
    EXPECT_TRUE(std::all_of(shipped[i].bytes.begin() + kept, shipped[i].bytes.end(),
                            [](uint8_t b) { return b == 0; }));
  }
  EXPECT_EQ(image.size() % 32, 0u);
  EXPECT_LE(image.size(), 0x200u + 0x40 + 0x40 + 0x20);
  // What comes out is an image like any other: compacting it again changes nothing.
  std::vector<uint8_t> again = image;
  ASSERT_TRUE(pe::CompactHeaders(again, why)) << why;
  EXPECT_EQ(again, image);
}

TEST(PeCompactTest, RefusesToStripWhatWouldMoveTheImagesOwnData) {
  std::string why;
  // Data of the image after the debug directory in .rdata.
  DwarfLink trailing = DwarfLinkedImage();
  Put<uint32_t>(trailing.bytes, trailing.table + 40 + 8, 0x75);
  EXPECT_FALSE(pe::StripDebugInformation(trailing.bytes, why));
  EXPECT_NE(why.find("debug directory"), std::string::npos) << why;
  // A debug entry whose data lies before the directory, in the image's own data.
  DwarfLink before = DwarfLinkedImage();
  Put<uint32_t>(before.bytes, 0x440 + 0x30 + 20, 0x2000);
  EXPECT_FALSE(pe::StripDebugInformation(before.bytes, why));
  // A debug section ahead of .reloc: they trade places in the table and in memory.
  DwarfLink early = DwarfLinkedImage();
  std::vector<uint8_t> reloc(early.bytes.begin() + early.table + 80,
                             early.bytes.begin() + early.table + 120);
  std::copy(early.bytes.begin() + early.table + 120, early.bytes.begin() + early.table + 160,
            early.bytes.begin() + early.table + 80);
  std::copy(reloc.begin(), reloc.end(), early.bytes.begin() + early.table + 120);
  Put<uint32_t>(early.bytes, early.table + 80 + 12, 0x3000);
  Put<uint32_t>(early.bytes, early.table + 120 + 12, 0x4000);
  Put<uint32_t>(early.bytes, early.optional + 112 + 8 * 5, 0x4000);
  EXPECT_FALSE(pe::StripDebugInformation(early.bytes, why));
  EXPECT_NE(why.find("debug section"), std::string::npos) << why;
  // Not an image at all.
  std::vector<uint8_t> text(200, 'x');
  EXPECT_FALSE(pe::StripDebugInformation(text, why));
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
