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

namespace {

constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kSubsystemBootServiceDriver = 11;
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint32_t kMemExecute = 0x20000000;
constexpr uint32_t kMemWrite = 0x80000000;

struct Section {
  std::string name;
  uint32_t virtualAddress, virtualSize, rawSize, rawPointer, characteristics;
};

struct PeImage {
  std::vector<uint8_t> bytes;
  uint16_t machine = 0, characteristics = 0, subsystem = 0;
  uint32_t entryRva = 0, sectionAlignment = 0, fileAlignment = 0, sizeOfImage = 0;
  uint64_t imageBase = 0;
  uint32_t importRva = 0, importSize = 0, relocRva = 0, relocSize = 0, tlsSize = 0;
  std::vector<Section> sections;

  template <typename T>
  T At(size_t offset) const {
    T value{};
    EXPECT_LE(offset + sizeof(T), bytes.size());
    if (offset + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
  }
};

PeImage Read(const std::string &path) {
  PeImage image;
  std::ifstream in(path, std::ios::binary);
  image.bytes.assign(std::istreambuf_iterator<char>(in), {});
  if (image.bytes.size() < 0x100 || image.At<uint16_t>(0) != 0x5A4D) return image;
  uint32_t pe = image.At<uint32_t>(0x3C);
  EXPECT_EQ(image.At<uint32_t>(pe), 0x00004550u);  // "PE\0\0"
  size_t coff = pe + 4;
  image.machine = image.At<uint16_t>(coff);
  uint16_t sectionCount = image.At<uint16_t>(coff + 2);
  uint16_t optionalSize = image.At<uint16_t>(coff + 16);
  image.characteristics = image.At<uint16_t>(coff + 18);
  size_t opt = coff + 20;
  EXPECT_EQ(image.At<uint16_t>(opt), 0x20B);  // PE32+
  image.entryRva = image.At<uint32_t>(opt + 16);
  image.imageBase = image.At<uint64_t>(opt + 24);
  image.sectionAlignment = image.At<uint32_t>(opt + 32);
  image.fileAlignment = image.At<uint32_t>(opt + 36);
  image.sizeOfImage = image.At<uint32_t>(opt + 56);
  image.subsystem = image.At<uint16_t>(opt + 68);
  size_t directories = opt + 112;
  image.importRva = image.At<uint32_t>(directories + 8 * 1);
  image.importSize = image.At<uint32_t>(directories + 8 * 1 + 4);
  image.relocRva = image.At<uint32_t>(directories + 8 * 5);
  image.relocSize = image.At<uint32_t>(directories + 8 * 5 + 4);
  image.tlsSize = image.At<uint32_t>(directories + 8 * 9 + 4);
  size_t table = opt + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    size_t s = table + 40 * i;
    Section section;
    char name[9] = {};
    std::memcpy(name, image.bytes.data() + s, 8);
    section.name = name;
    section.virtualSize = image.At<uint32_t>(s + 8);
    section.virtualAddress = image.At<uint32_t>(s + 12);
    section.rawSize = image.At<uint32_t>(s + 16);
    section.rawPointer = image.At<uint32_t>(s + 20);
    section.characteristics = image.At<uint32_t>(s + 36);
    image.sections.push_back(section);
  }
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
  for (const Section &section : image.sections) {
    if (image.relocRva < section.virtualAddress ||
        image.relocRva >= section.virtualAddress + section.rawSize) {
      continue;
    }
    size_t at = section.rawPointer + (image.relocRva - section.virtualAddress);
    size_t end = at + image.relocSize;
    while (at + 8 <= end) {
      uint32_t page = image.At<uint32_t>(at);
      uint32_t blockSize = image.At<uint32_t>(at + 4);
      if (blockSize < 8) break;
      for (size_t entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
        uint16_t value = image.At<uint16_t>(entry);
        if (value >> 12 == 10) rvas.insert(page + (value & 0xFFF));  // IMAGE_REL_BASED_DIR64
      }
      at += blockSize;
    }
  }
  return rvas;
}

class PeImageTest : public testing::TestWithParam<const char *> {};

TEST_P(PeImageTest, LoadsAsAnX64BootServiceDriver) {
  std::string name = GetParam();
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + name + ".efi");
  ASSERT_FALSE(image.sections.empty()) << "no PE image for " << name;
  EXPECT_EQ(image.machine, kMachineX64);
  EXPECT_EQ(image.subsystem, kSubsystemBootServiceDriver);
  // Relocatable: the DXE core loads it wherever it finds memory (see below for the addresses).
  EXPECT_EQ(image.characteristics & kRelocsStripped, 0);
  // Nothing to import: there is no loader to resolve it.
  EXPECT_EQ(image.importRva, 0u);
  EXPECT_EQ(image.importSize, 0u);
  EXPECT_EQ(image.tlsSize, 0u);
}

// Every address of the image that its data holds has a base relocation. An image that reaches
// everything RIP-relative holds none, and then needs no relocation at all.
TEST_P(PeImageTest, EveryAddressItsDataHoldsIsRelocated) {
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + GetParam() + ".efi");
  ASSERT_FALSE(image.sections.empty());
  std::set<uint32_t> relocated = RelocatedRvas(image);
  for (const Section &section : image.sections) {
    if ((section.characteristics & kMemExecute) != 0) continue;
    uint32_t size = std::min(section.virtualSize, section.rawSize);
    for (uint32_t offset = 0; offset + 8 <= size; offset += 8) {
      uint64_t value = image.At<uint64_t>(section.rawPointer + offset);
      if (value >= image.imageBase && value < image.imageBase + image.sizeOfImage) {
        EXPECT_TRUE(relocated.count(section.virtualAddress + offset))
            << section.name << "+0x" << std::hex << offset << " holds an unrelocated address";
      }
    }
  }
}

TEST_P(PeImageTest, SectionsArePageAlignedAndNeverWritableAndExecutable) {
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + GetParam() + ".efi");
  ASSERT_FALSE(image.sections.empty());
  EXPECT_EQ(image.sectionAlignment, 0x1000u);
  for (const Section &section : image.sections) {
    SCOPED_TRACE(section.name);
    EXPECT_EQ(section.virtualAddress % 0x1000, 0u);
    EXPECT_NE(section.characteristics & (kMemWrite | kMemExecute), kMemWrite | kMemExecute);
    // A dynamic initialiser would need a .CRT section that no firmware loader runs.
    EXPECT_NE(section.name.substr(0, 4), ".CRT");
    EXPECT_NE(section.name, ".tls");
  }
}

TEST_P(PeImageTest, EntryPointIsTheNamedFunction) {
  std::string name = GetParam();
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + name + ".efi");
  uint64_t rva =
      MapRva(std::string(FIRMWARE_DIR) + "/" + name + ".map", name + "EntryPoint", image.imageBase);
  ASSERT_NE(rva, 0u) << "entry point missing from the linker map";
  EXPECT_EQ(image.entryRva, rva);
}

// The symbol file beside each image is the same link with its DWARF kept: every section of the
// image lies at the same RVA with the same bytes, so gdb's addresses hold for the image the
// firmware runs, and gdb finds the entry point's source line in it.
TEST_P(PeImageTest, SymbolFileHoldsTheImagesCodeAndItsSourceLines) {
  const std::string name = GetParam();
  PeImage image = Read(std::string(FIRMWARE_DIR) + "/" + name + ".efi");
  PeImage symbols = Read(std::string(FIRMWARE_DIR) + "/" + name + ".debug");
  ASSERT_FALSE(image.sections.empty());
  ASSERT_GT(symbols.sections.size(), image.sections.size()) << "no debug sections";
  EXPECT_EQ(symbols.imageBase, image.imageBase);
  EXPECT_EQ(symbols.entryRva, image.entryRva);
  for (size_t i = 0; i < image.sections.size(); ++i) {
    const Section &shipped = image.sections[i], &linked = symbols.sections[i];
    SCOPED_TRACE(shipped.name);
    EXPECT_EQ(linked.name, shipped.name);
    EXPECT_EQ(linked.virtualAddress, shipped.virtualAddress);
    const uint32_t size = std::min(shipped.virtualSize, shipped.rawSize);
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
