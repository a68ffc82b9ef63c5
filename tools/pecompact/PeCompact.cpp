#include "PeCompact.h"

#include <algorithm>
#include <cstring>

namespace pe {

namespace {

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kNewHeaderPointer = 0x3C;  // e_lfanew
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kPe32PlusMagic = 0x20B;
// Optional header (PE32+) fields.
constexpr size_t kFileAlignment = 36;
constexpr size_t kSizeOfHeaders = 60;
constexpr size_t kNumberOfRvaAndSizes = 108;
constexpr size_t kDataDirectories = 112;
// Directories whose entries hold file offsets, which a move would break.
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kDebugDirectory = 6;

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

}  // namespace

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
