#include "PeCompact.h"

#include <algorithm>
#include <cstring>

#include "PeCoff.h"

namespace pe {

namespace {

using namespace pecoff::layout;

template <typename T>
T Get(const std::vector<uint8_t> &bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(value));
  return value;
}

template <typename T>
void Put(std::vector<uint8_t> &bytes, size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

size_t AlignUp(size_t value, size_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// The image as the tools' reader takes it; pecompact also makes the firmware runs' platform
// application, so any UEFI subsystem is taken.
bool ReadImage(const std::vector<uint8_t> &bytes, pecoff::Image &image, std::string &why) {
  pecoff::Reading reading = pecoff::ReadImage(bytes, pecoff::Accept::kAnyEfiImage);
  if (!reading.ok()) {
    why = reading.problem;
    return false;
  }
  image = std::move(reading.image);
  return true;
}

// Takes the debug directory and the data its entries name off the end of the section that holds
// them (and off `sections`, the copy of the section headers the caller goes on with). Each piece
// must lie in that section, from the directory on, and reach its end with no more than alignment
// between them: anything else there would be the image's own data.
bool DropDebugDirectory(std::vector<uint8_t> &bytes, const pecoff::Image &image,
                        std::vector<pecoff::Section> &sections, std::string &why) {
  const pecoff::DataDirectory directory = image.Directory(pecoff::kDebugDirectory);
  if (!directory.Present()) return true;
  why = "a debug directory that is not at the end of its section";
  if (directory.size == 0) return false;
  const uint32_t rva = directory.rva, size = directory.size;
  for (pecoff::Section &section : sections) {
    const uint32_t start = section.virtualAddress;
    const uint64_t end = uint64_t{start} + section.virtualSize;
    if (rva < start || rva >= end) continue;
    if (uint64_t{rva} + size > end || uint64_t{rva} - start + size > section.rawSize) return false;
    std::vector<std::pair<uint64_t, uint64_t>> pieces = {{rva, uint64_t{rva} + size}};
    for (const pecoff::DebugEntry &entry : image.debugEntries) {
      if (entry.dataSize == 0) continue;
      if (entry.dataRva < rva || uint64_t{entry.dataRva} + entry.dataSize > end) return false;
      pieces.push_back({entry.dataRva, uint64_t{entry.dataRva} + entry.dataSize});
    }
    std::sort(pieces.begin(), pieces.end());
    uint64_t reached = rva;
    for (const auto &[from, to] : pieces) {
      if (from > reached + 7) return false;
      reached = std::max(reached, to);
    }
    if (reached + 7 < end) return false;
    const uint32_t kept = rva - start;
    const uint32_t keptRaw = static_cast<uint32_t>(
        std::min<size_t>(AlignUp(kept, image.fileAlignment), section.rawSize));
    std::fill(bytes.begin() + section.rawPointer + kept,
              bytes.begin() + section.rawPointer + keptRaw, 0);
    Put<uint32_t>(bytes, section.header + kVirtualSize, kept);
    Put<uint32_t>(bytes, section.header + kSizeOfRawData, keptRaw);
    Put<uint64_t>(
        bytes,
        image.optionalHeader + kDataDirectories + kDataDirectorySize * pecoff::kDebugDirectory, 0);
    section.virtualSize = kept;
    section.rawSize = keptRaw;
    return true;
  }
  return false;
}

}  // namespace

bool StripDebugInformation(std::vector<uint8_t> &bytes, std::string &why) {
  pecoff::Image image;
  if (!ReadImage(bytes, image, why)) return false;
  std::vector<pecoff::Section> sections = image.sections;
  size_t kept = sections.size();
  for (size_t i = 0; i < sections.size(); ++i) {
    const bool debug = sections[i].name.rfind(".debug", 0) == 0 &&
                       (sections[i].characteristics & pecoff::kSectionDiscardable) != 0;
    if (debug && kept == sections.size()) kept = i;
    if (!debug && kept != sections.size()) {
      why = "a debug section among the image's own sections";
      return false;
    }
  }
  if (!DropDebugDirectory(bytes, image, sections, why)) return false;

  // The kept sections: their extent in memory and on file, and the initialized data they hold.
  uint64_t imageEnd = 0, fileEnd = image.sizeOfHeaders;
  uint32_t initialized = 0;
  for (size_t i = 0; i < kept; ++i) {
    const pecoff::Section &section = sections[i];
    imageEnd = std::max(imageEnd, uint64_t{section.virtualAddress} + section.MemorySize());
    if (section.rawSize != 0) {
      fileEnd = std::max(fileEnd, uint64_t{section.rawPointer} + section.rawSize);
    }
    if (section.characteristics & pecoff::kSectionInitializedData) initialized += section.rawSize;
  }
  for (size_t i = kept; i < sections.size(); ++i) {
    const pecoff::Section &section = sections[i];
    if (section.virtualAddress < imageEnd ||
        (section.rawSize != 0 && section.rawPointer < fileEnd)) {
      why = "a debug section before the end of the image's own sections";
      return false;
    }
    std::fill_n(bytes.begin() + section.header, kSectionHeaderSize, 0);
  }
  Put<uint16_t>(bytes, image.coffHeader + kNumberOfSections, static_cast<uint16_t>(kept));
  Put<uint32_t>(bytes, image.coffHeader + kPointerToSymbolTable, 0);
  Put<uint32_t>(bytes, image.coffHeader + kNumberOfSymbols, 0);
  Put<uint32_t>(bytes, image.optionalHeader + kSizeOfInitializedData, initialized);
  Put<uint32_t>(bytes, image.optionalHeader + kSizeOfImage,
                static_cast<uint32_t>(AlignUp(imageEnd, image.sectionAlignment)));
  bytes.resize(AlignUp(fileEnd, image.fileAlignment), 0);
  return CompactHeaders(bytes, why);
}

bool CompactHeaders(std::vector<uint8_t> &bytes, std::string &why) {
  auto fail = [&why](const char *reason) {
    why = reason;
    return false;
  };
  pecoff::Image image;
  if (!ReadImage(bytes, image, why)) return false;
  if (image.symbolTable != 0 || image.symbolCount != 0) {
    return fail("a COFF symbol table (file offsets)");
  }
  if (image.Directory(pecoff::kCertificateDirectory).Present() ||
      image.Directory(pecoff::kDebugDirectory).Present()) {
    return fail("a certificate or debug directory (file offsets)");
  }
  const uint32_t directories = static_cast<uint32_t>(image.directories.size());
  uint32_t kept = std::min(directories, kKeptDirectories);
  for (uint32_t index = kept; index < directories; ++index) {
    if (image.directories[index].Present()) kept = index + 1;
  }

  size_t end = image.sizeOfHeaders;
  uint32_t firstVirtual = UINT32_MAX;
  for (const pecoff::Section &s : image.sections) {
    if (s.coffRelocations != 0 || s.coffRelocationCount != 0) {
      return fail("COFF relocations in a section (file offsets)");
    }
    if (s.rawSize != 0) end = std::max(end, size_t{s.rawPointer} + s.rawSize);
    firstVirtual = std::min(firstVirtual, s.virtualAddress);
  }
  const uint32_t fileAlignment = image.fileAlignment;
  if (AlignUp(end, fileAlignment) < bytes.size()) return fail("data after the last section");

  const uint16_t sectionCount = static_cast<uint16_t>(image.sections.size());
  const size_t optionalKept = kDataDirectories + kDataDirectorySize * size_t{kept};
  const size_t headers = AlignUp(kDosHeaderSize + kSignatureSize + kCoffHeaderSize + optionalKept +
                                     kSectionHeaderSize * size_t{sectionCount},
                                 fileAlignment);
  if (headers > firstVirtual) return fail("headers would reach into the first section");

  std::vector<uint8_t> out(headers, 0);
  std::memcpy(out.data(), bytes.data(), kDosHeaderSize);
  Put<uint32_t>(out, kNewHeaderPointer, kDosHeaderSize);
  const size_t newCoff = kDosHeaderSize + kSignatureSize;
  const size_t newOptional = newCoff + kCoffHeaderSize;
  const size_t newTable = newOptional + optionalKept;
  std::memcpy(out.data() + kDosHeaderSize, bytes.data() + image.peHeader,
              kSignatureSize + kCoffHeaderSize);
  Put<uint16_t>(out, newCoff + kSizeOfOptionalHeader, static_cast<uint16_t>(optionalKept));
  std::memcpy(out.data() + newOptional, bytes.data() + image.optionalHeader, optionalKept);
  Put<uint32_t>(out, newOptional + kNumberOfRvaAndSizes, kept);
  Put<uint32_t>(out, newOptional + kSizeOfHeaders, static_cast<uint32_t>(headers));
  std::memcpy(out.data() + newTable, bytes.data() + image.sectionTable,
              kSectionHeaderSize * sectionCount);

  // Raw data in its original order, each section at the next aligned offset.
  const std::vector<pecoff::Section> &sections = image.sections;
  std::vector<size_t> order(sections.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return sections[a].rawPointer < sections[b].rawPointer; });
  for (size_t i : order) {
    const pecoff::Section &s = sections[i];
    const size_t header = newTable + kSectionHeaderSize * i;
    if (s.rawSize == 0) {
      Put<uint32_t>(out, header + kPointerToRawData, 0);
      continue;
    }
    const size_t at = AlignUp(out.size(), fileAlignment);
    out.resize(at + s.rawSize, 0);
    std::memcpy(out.data() + at, bytes.data() + s.rawPointer, s.rawSize);
    Put<uint32_t>(out, header + kPointerToRawData, static_cast<uint32_t>(at));
  }
  out.resize(AlignUp(out.size(), fileAlignment), 0);
  bytes = std::move(out);
  return true;
}

}  // namespace pe
