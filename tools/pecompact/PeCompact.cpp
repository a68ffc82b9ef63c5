#include "PeCompact.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pe {

namespace {

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kNewHeaderPointer = 0x3C;  // e_lfanew
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kPe32PlusMagic = 0x20B;
// Optional header (PE32+) fields.
constexpr size_t kSizeOfInitializedData = 8;
constexpr size_t kSectionAlignment = 32;
constexpr size_t kFileAlignment = 36;
constexpr size_t kSizeOfImage = 56;
constexpr size_t kSizeOfHeaders = 60;
constexpr size_t kNumberOfRvaAndSizes = 108;
constexpr size_t kDataDirectories = 112;
// Directories whose entries hold file offsets, which a move would break.
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kDebugDirectory = 6;
constexpr size_t kDebugEntrySize = 28;
constexpr size_t kSymbolSize = 18;
constexpr uint32_t kInitializedData = 0x00000040;
constexpr uint32_t kDiscardable = 0x02000000;

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

struct Section {
  size_t header;  // offset of its section header in the original
  uint32_t virtualAddress;
  uint32_t rawSize;
  uint32_t rawPointer;
};

// The parts of the headers both steps read.
struct Headers {
  size_t coff, optional, table;
  uint16_t sectionCount;
  uint32_t directories;
};

bool ReadHeaders(const std::vector<uint8_t> &image, Headers &h, std::string &why) {
  if (image.size() < kDosHeaderSize || image[0] != 'M' || image[1] != 'Z') {
    why = "no DOS header";
    return false;
  }
  const size_t pe = Get<uint32_t>(image, kNewHeaderPointer);
  if (pe < kDosHeaderSize || pe + 4 + kCoffHeaderSize > image.size() ||
      std::memcmp(image.data() + pe, "PE\0\0", 4) != 0) {
    why = "no PE header";
    return false;
  }
  h.coff = pe + 4;
  h.sectionCount = Get<uint16_t>(image, h.coff + 2);
  const uint16_t optionalSize = Get<uint16_t>(image, h.coff + 16);
  h.optional = h.coff + kCoffHeaderSize;
  if (h.optional + kDataDirectories > image.size() ||
      Get<uint16_t>(image, h.optional) != kPe32PlusMagic) {
    why = "not PE32+";
    return false;
  }
  h.directories = Get<uint32_t>(image, h.optional + kNumberOfRvaAndSizes);
  h.table = h.optional + optionalSize;
  if (optionalSize != kDataDirectories + 8 * size_t{h.directories} ||
      h.table + kSectionHeaderSize * size_t{h.sectionCount} > image.size()) {
    why = "optional header and directory count disagree";
    return false;
  }
  return true;
}

// A section's name: eight bytes, or "/N" for the name at offset N of the string table that
// follows the COFF symbol table (how lld-link names .debug_info and the like).
std::string SectionName(const std::vector<uint8_t> &image, const Headers &h, size_t header) {
  std::string name(reinterpret_cast<const char *>(image.data() + header), 8);
  name.resize(std::strlen(name.c_str()));
  if (name.size() < 2 || name[0] != '/') return name;
  const uint64_t strings = uint64_t{Get<uint32_t>(image, h.coff + 8)} +
                           uint64_t{Get<uint32_t>(image, h.coff + 12)} * kSymbolSize;
  char *end = nullptr;
  const unsigned long offset = std::strtoul(name.c_str() + 1, &end, 10);
  if (*end != '\0' || strings == 0 || strings + offset >= image.size()) return name;
  const char *text = reinterpret_cast<const char *>(image.data() + strings + offset);
  return std::string(text, strnlen(text, image.size() - strings - offset));
}

// Takes the debug directory and the data its entries name off the end of the section that holds
// them. Each piece must lie in that section, from the directory on, and reach its end with no
// more than alignment between them: anything else there would be the image's own data.
bool DropDebugDirectory(std::vector<uint8_t> &image, const Headers &h, std::string &why) {
  const size_t entry = h.optional + kDataDirectories + 8 * kDebugDirectory;
  const uint32_t rva = Get<uint32_t>(image, entry), size = Get<uint32_t>(image, entry + 4);
  if (h.directories <= kDebugDirectory || (rva == 0 && size == 0)) return true;
  why = "a debug directory that is not at the end of its section";
  if (size == 0 || size % kDebugEntrySize != 0) return false;
  for (uint16_t i = 0; i < h.sectionCount; ++i) {
    const size_t header = h.table + kSectionHeaderSize * i;
    const uint32_t start = Get<uint32_t>(image, header + 12);
    const uint32_t virtualSize = Get<uint32_t>(image, header + 8);
    const uint32_t rawSize = Get<uint32_t>(image, header + 16);
    const uint32_t rawPointer = Get<uint32_t>(image, header + 20);
    const uint64_t end = uint64_t{start} + virtualSize;
    if (rva < start || rva >= end) continue;
    if (uint64_t{rva} + size > end || uint64_t{rva} - start + size > rawSize ||
        uint64_t{rawPointer} + rawSize > image.size()) {
      return false;
    }
    std::vector<std::pair<uint64_t, uint64_t>> pieces = {{rva, uint64_t{rva} + size}};
    for (uint32_t at = 0; at < size; at += kDebugEntrySize) {
      const size_t data = rawPointer + (rva - start) + at;
      const uint32_t dataSize = Get<uint32_t>(image, data + 16);
      const uint32_t dataRva = Get<uint32_t>(image, data + 20);
      if (dataSize == 0) continue;
      if (dataRva < rva || uint64_t{dataRva} + dataSize > end) return false;
      pieces.push_back({dataRva, uint64_t{dataRva} + dataSize});
    }
    std::sort(pieces.begin(), pieces.end());
    uint64_t reached = rva;
    for (const auto &[from, to] : pieces) {
      if (from > reached + 7) return false;
      reached = std::max(reached, to);
    }
    if (reached + 7 < end) return false;
    const uint32_t kept = rva - start;
    const uint32_t alignment = Get<uint32_t>(image, h.optional + kFileAlignment);
    const uint32_t keptRaw =
        static_cast<uint32_t>(std::min<size_t>(AlignUp(kept, alignment), rawSize));
    std::fill(image.begin() + rawPointer + kept, image.begin() + rawPointer + keptRaw, 0);
    Put<uint32_t>(image, header + 8, kept);
    Put<uint32_t>(image, header + 16, keptRaw);
    Put<uint64_t>(image, entry, 0);
    return true;
  }
  return false;
}

}  // namespace

bool StripDebugInformation(std::vector<uint8_t> &image, std::string &why) {
  Headers h;
  if (!ReadHeaders(image, h, why)) return false;
  uint16_t kept = h.sectionCount;
  for (uint16_t i = 0; i < h.sectionCount; ++i) {
    const size_t header = h.table + kSectionHeaderSize * i;
    const bool debug = SectionName(image, h, header).rfind(".debug", 0) == 0 &&
                       (Get<uint32_t>(image, header + 36) & kDiscardable) != 0;
    if (debug && kept == h.sectionCount) kept = i;
    if (!debug && kept != h.sectionCount) {
      why = "a debug section among the image's own sections";
      return false;
    }
  }
  if (!DropDebugDirectory(image, h, why)) return false;

  // The kept sections: their extent in memory and on file, and the initialized data they hold.
  const uint32_t fileAlignment = Get<uint32_t>(image, h.optional + kFileAlignment);
  const uint32_t sectionAlignment = Get<uint32_t>(image, h.optional + kSectionAlignment);
  if (fileAlignment == 0 || sectionAlignment == 0) {
    why = "no file or section alignment";
    return false;
  }
  uint64_t imageEnd = 0, fileEnd = Get<uint32_t>(image, h.optional + kSizeOfHeaders);
  uint32_t initialized = 0;
  for (uint16_t i = 0; i < kept; ++i) {
    const size_t header = h.table + kSectionHeaderSize * i;
    const uint32_t virtualSize = Get<uint32_t>(image, header + 8);
    const uint32_t rawSize = Get<uint32_t>(image, header + 16);
    imageEnd = std::max(imageEnd, uint64_t{Get<uint32_t>(image, header + 12)} +
                                      (virtualSize != 0 ? virtualSize : rawSize));
    if (rawSize != 0) {
      fileEnd = std::max(fileEnd, uint64_t{Get<uint32_t>(image, header + 20)} + rawSize);
    }
    if (Get<uint32_t>(image, header + 36) & kInitializedData) initialized += rawSize;
  }
  for (uint16_t i = kept; i < h.sectionCount; ++i) {
    const size_t header = h.table + kSectionHeaderSize * i;
    if (Get<uint32_t>(image, header + 12) < imageEnd ||
        (Get<uint32_t>(image, header + 16) != 0 && Get<uint32_t>(image, header + 20) < fileEnd)) {
      why = "a debug section before the end of the image's own sections";
      return false;
    }
    std::fill_n(image.begin() + header, kSectionHeaderSize, 0);
  }
  if (fileEnd > image.size()) {
    why = "a section's raw data lies outside the file";
    return false;
  }
  Put<uint16_t>(image, h.coff + 2, kept);
  Put<uint32_t>(image, h.coff + 8, 0);
  Put<uint32_t>(image, h.coff + 12, 0);
  Put<uint32_t>(image, h.optional + kSizeOfInitializedData, initialized);
  Put<uint32_t>(image, h.optional + kSizeOfImage,
                static_cast<uint32_t>(AlignUp(imageEnd, sectionAlignment)));
  image.resize(AlignUp(fileEnd, fileAlignment), 0);
  return CompactHeaders(image, why);
}

bool CompactHeaders(std::vector<uint8_t> &image, std::string &why) {
  auto fail = [&why](const char *reason) {
    why = reason;
    return false;
  };
  if (image.size() < kDosHeaderSize || image[0] != 'M' || image[1] != 'Z') {
    return fail("no DOS header");
  }
  const size_t pe = Get<uint32_t>(image, kNewHeaderPointer);
  if (pe < kDosHeaderSize || pe + 4 + kCoffHeaderSize > image.size() ||
      std::memcmp(image.data() + pe, "PE\0\0", 4) != 0) {
    return fail("no PE header");
  }
  const size_t coff = pe + 4;
  const uint16_t sectionCount = Get<uint16_t>(image, coff + 2);
  const uint16_t optionalSize = Get<uint16_t>(image, coff + 16);
  const size_t optional = coff + kCoffHeaderSize;
  if (Get<uint32_t>(image, coff + 8) != 0 || Get<uint32_t>(image, coff + 12) != 0) {
    return fail("a COFF symbol table (file offsets)");
  }
  if (optional + kDataDirectories > image.size() ||
      Get<uint16_t>(image, optional) != kPe32PlusMagic) {
    return fail("not PE32+");
  }
  const uint32_t directories = Get<uint32_t>(image, optional + kNumberOfRvaAndSizes);
  if (optionalSize != kDataDirectories + 8 * directories ||
      optional + optionalSize + kSectionHeaderSize * sectionCount > image.size()) {
    return fail("optional header and directory count disagree");
  }
  auto directoryInUse = [&](uint32_t index) {
    return index < directories &&
           Get<uint64_t>(image, optional + kDataDirectories + 8 * index) != 0;
  };
  if (directoryInUse(kSecurityDirectory) || directoryInUse(kDebugDirectory)) {
    return fail("a certificate or debug directory (file offsets)");
  }
  uint32_t kept = std::min(directories, kKeptDirectories);
  for (uint32_t index = kept; index < directories; ++index) {
    if (directoryInUse(index)) kept = index + 1;
  }

  const uint32_t fileAlignment = Get<uint32_t>(image, optional + kFileAlignment);
  if (fileAlignment == 0 || (fileAlignment & (fileAlignment - 1)) != 0) {
    return fail("file alignment is not a power of two");
  }
  std::vector<Section> sections;
  const size_t table = optional + optionalSize;
  size_t end = Get<uint32_t>(image, optional + kSizeOfHeaders);
  uint32_t firstVirtual = UINT32_MAX;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const size_t header = table + kSectionHeaderSize * i;
    Section s{header, Get<uint32_t>(image, header + 12), Get<uint32_t>(image, header + 16),
              Get<uint32_t>(image, header + 20)};
    if (s.rawSize != 0 && (s.rawPointer + size_t{s.rawSize} > image.size())) {
      return fail("a section's raw data lies outside the file");
    }
    if (Get<uint32_t>(image, header + 24) != 0 || Get<uint16_t>(image, header + 32) != 0) {
      return fail("COFF relocations in a section (file offsets)");
    }
    if (s.rawSize != 0) end = std::max(end, size_t{s.rawPointer} + s.rawSize);
    firstVirtual = std::min(firstVirtual, s.virtualAddress);
    sections.push_back(s);
  }
  if (AlignUp(end, fileAlignment) < image.size()) return fail("data after the last section");

  const size_t optionalKept = kDataDirectories + 8 * size_t{kept};
  const size_t headers = AlignUp(kDosHeaderSize + 4 + kCoffHeaderSize + optionalKept +
                                     kSectionHeaderSize * size_t{sectionCount},
                                 fileAlignment);
  if (headers > firstVirtual) return fail("headers would reach into the first section");

  std::vector<uint8_t> out(headers, 0);
  std::memcpy(out.data(), image.data(), kDosHeaderSize);
  Put<uint32_t>(out, kNewHeaderPointer, kDosHeaderSize);
  const size_t newCoff = kDosHeaderSize + 4;
  const size_t newOptional = newCoff + kCoffHeaderSize;
  const size_t newTable = newOptional + optionalKept;
  std::memcpy(out.data() + kDosHeaderSize, image.data() + pe, 4 + kCoffHeaderSize);
  Put<uint16_t>(out, newCoff + 16, static_cast<uint16_t>(optionalKept));
  std::memcpy(out.data() + newOptional, image.data() + optional, optionalKept);
  Put<uint32_t>(out, newOptional + kNumberOfRvaAndSizes, kept);
  Put<uint32_t>(out, newOptional + kSizeOfHeaders, static_cast<uint32_t>(headers));
  std::memcpy(out.data() + newTable, image.data() + table, kSectionHeaderSize * sectionCount);

  // Raw data in its original order, each section at the next aligned offset.
  std::vector<size_t> order(sections.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return sections[a].rawPointer < sections[b].rawPointer; });
  for (size_t i : order) {
    const Section &s = sections[i];
    const size_t header = newTable + kSectionHeaderSize * i;
    if (s.rawSize == 0) {
      Put<uint32_t>(out, header + 20, 0);
      continue;
    }
    const size_t at = AlignUp(out.size(), fileAlignment);
    out.resize(at + s.rawSize, 0);
    std::memcpy(out.data() + at, image.data() + s.rawPointer, s.rawSize);
    Put<uint32_t>(out, header + 20, static_cast<uint32_t>(at));
  }
  out.resize(AlignUp(out.size(), fileAlignment), 0);
  image = std::move(out);
  return true;
}

}  // namespace pe
