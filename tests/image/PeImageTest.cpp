// The shipped images, read as a platform's PE/COFF loader reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "PeCoff.h"

namespace {

using pecoff::Section;

// An image file and what the tools' PE/COFF reader, which takes only what a DXE core loads,
// makes of it: no sections when it refuses the file.
struct PeImage : pecoff::Image {
  std::vector<uint8_t> bytes;
  std::string problem;

  uint64_t At64(size_t offset) const {
    uint64_t value = 0;
    if (offset + sizeof(value) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, 8);
    return value;
  }
};

PeImage Read(const std::string &path) {
  PeImage image;
  std::ifstream in(path, std::ios::binary);
  image.bytes.assign(std::istreambuf_iterator<char>(in), {});
  pecoff::Reading reading = pecoff::ReadImage(image.bytes);
  image.problem = reading.problem;
  static_cast<pecoff::Image &>(image) = std::move(reading.image);
  return image;
}

// The RVA the linker map gives a public symbol.
uint64_t MapRva(const std::string &mapPath, const std::string &symbol, uint64_t imageBase) {
  std::ifstream in(mapPath);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string address, name, rvaPlusBase;
    if (words >> address >> name >> rvaPlusBase && name == symbol) {
      return std::stoull(rvaPlusBase, nullptr, 16) - imageBase;
    }
  }
  return 0;
}

// The RVAs that the image's base relocations fix up as 64-bit addresses.
std::set<uint32_t> RelocatedRvas(const PeImage &image) {
  std::set<uint32_t> rvas;
  for (const pecoff::Relocation &relocation : image.relocations) {
    if (relocation.type == pecoff::kRelocationDir64) rvas.insert(relocation.rva);
  }
  return rvas;
}

class PeImageTest : public testing::TestWithParam<const char *> {};

TEST_P(PeImageTest, LoadsAsAnX64BootServiceDriver) {
  std::string name = GetParam();
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + name + ".efi");
  ASSERT_EQ(image.problem, "");  // an x64 boot-service driver, whole
  // Relocatable: the DXE core loads it wherever it finds memory (see below for the addresses).
  EXPECT_EQ(image.characteristics & pecoff::kRelocationsStripped, 0);
  // Nothing to import: there is no loader to resolve it.
  EXPECT_FALSE(image.Directory(pecoff::kImportDirectory).Present());
  EXPECT_FALSE(image.Directory(pecoff::kTlsDirectory).Present());
}

// Every address of the image that its data holds has a base relocation. An image that reaches
// everything RIP-relative holds none, and then needs no relocation at all.
TEST_P(PeImageTest, EveryAddressItsDataHoldsIsRelocated) {
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + GetParam() + ".efi");
  ASSERT_EQ(image.problem, "");
  std::set<uint32_t> relocated = RelocatedRvas(image);
  for (const Section &section : image.sections) {
    if ((section.characteristics & pecoff::kSectionExecute) != 0) continue;
    uint32_t size = section.FileBackedSize();
    for (uint32_t offset = 0; offset + 8 <= size; offset += 8) {
      uint64_t value = image.At64(section.rawPointer + offset);
      if (value >= image.imageBase && value < image.imageBase + image.sizeOfImage) {
        EXPECT_TRUE(relocated.count(section.virtualAddress + offset))
            << section.name << "+0x" << std::hex << offset << " holds an unrelocated address";
      }
    }
  }
}

TEST_P(PeImageTest, SectionsArePageAlignedAndNeverWritableAndExecutable) {
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + GetParam() + ".efi");
  ASSERT_EQ(image.problem, "");
  EXPECT_EQ(image.sectionAlignment, 0x1000u);
  for (const Section &section : image.sections) {
    SCOPED_TRACE(section.name);
    EXPECT_EQ(section.virtualAddress % 0x1000, 0u);
    constexpr uint32_t kWritableAndExecutable = pecoff::kSectionWrite | pecoff::kSectionExecute;
    EXPECT_NE(section.characteristics & kWritableAndExecutable, kWritableAndExecutable);
    // A dynamic initialiser would need a .CRT section that no firmware loader runs.
    EXPECT_NE(section.name.substr(0, 4), ".CRT");
    EXPECT_NE(section.name, ".tls");
  }
}

TEST_P(PeImageTest, EntryPointIsTheNamedFunction) {
  std::string name = GetParam();
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + name + ".efi");
  ASSERT_EQ(image.problem, "");
  uint64_t rva =
      MapRva(std::string(FIRMWARE_DIR) + "/" + name + ".map", name + "EntryPoint", image.imageBase);
  ASSERT_NE(rva, 0u) << "entry point missing from the linker map";
  EXPECT_EQ(image.entryPoint, rva);
}

// The symbol file beside each image is the same link with its DWARF kept: every section of the
// image lies at the same RVA with the same bytes, so gdb's addresses hold for the image the
// firmware runs, and gdb finds the entry point's source line in it.
TEST_P(PeImageTest, SymbolFileHoldsTheImagesCodeAndItsSourceLines) {
  const std::string name = GetParam();
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + name + ".efi");
  PeImage symbols = Read(std::string(FIRMWARE_DIR) + "/" + name + ".debug");
  ASSERT_EQ(image.problem, "");
  ASSERT_EQ(symbols.problem, "");
  ASSERT_GT(symbols.sections.size(), image.sections.size()) << "no debug sections";
  EXPECT_EQ(symbols.imageBase, image.imageBase);
  EXPECT_EQ(symbols.entryPoint, image.entryPoint);
  for (size_t i = 0; i < image.sections.size(); ++i) {
    const Section &shipped = image.sections[i], &linked = symbols.sections[i];
    SCOPED_TRACE(shipped.name);
    EXPECT_EQ(linked.name, shipped.name);
    EXPECT_EQ(linked.virtualAddress, shipped.virtualAddress);
    const uint32_t size = shipped.FileBackedSize();
    ASSERT_GE(linked.rawSize, size);
    EXPECT_TRUE(std::equal(image.bytes.begin() + shipped.rawPointer,
                           image.bytes.begin() + shipped.rawPointer + size,
                           symbols.bytes.begin() + linked.rawPointer));
  }

  const std::string entry = name + "EntryPoint";
  FILE *gdb = popen(
      ("gdb -nx -batch -ex 'info line " + entry + "' " + FIRMWARE_DIR + "/" + name + ".debug 2>&1")
          .c_str(),
      "r");
  ASSERT_NE(gdb, nullptr);
  std::string said;
  for (char buffer[256]; fgets(buffer, sizeof(buffer), gdb) != nullptr;) said += buffer;
  ASSERT_EQ(pclose(gdb), 0) << said;
  // Line N of "/BoardDrivers/BoardSlotService/BoardSlotService.cpp" starts at address ...
  const std::string file = "/BoardDrivers/" + name + "/" + name + ".cpp";
  const size_t at = said.find("Line ");
  ASSERT_NE(at, std::string::npos) << said;
  const int line = std::atoi(said.c_str() + at + 5);
  EXPECT_NE(said.find("of \"" + file + "\""), std::string::npos) << said;
  // The line that opens the function's body, where its declaration, named in the source, ends.
  std::ifstream source(std::string(SOURCE_DIR) + "/" + name + "/" + name + ".cpp");
  int declared = 0, n = 0;
  for (std::string text; std::getline(source, text);) {
    ++n;
    if (text.find(" " + entry + "(") != std::string::npos) declared = n;
  }
  ASSERT_NE(declared, 0);
  EXPECT_GE(line, declared);
  EXPECT_LE(line, declared + 2) << said;
}

INSTANTIATE_TEST_SUITE_P(Images, PeImageTest, testing::Values("BoardSlotService", "MenuPruner"));

}  // namespace
