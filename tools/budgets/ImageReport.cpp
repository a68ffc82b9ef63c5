// The image report: what each shipped .efi file spends its bytes on.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Budgets.h"

namespace budgets {

namespace {

constexpr uint32_t kMemExecute = 0x20000000;
constexpr uint32_t kMemRead = 0x40000000;
constexpr uint32_t kMemWrite = 0x80000000;

struct Reader {
  const std::vector<uint8_t> &bytes;
  bool ok = true;
  template <typename T>
  T At(size_t offset) {
    T value{};
    if (offset + sizeof(T) > bytes.size()) {
      ok = false;
      return value;
    }
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
  }
};

std::string Name(const std::string &path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

}  // namespace

bool ReportImages(const std::vector<ImageFile> &images, std::ostream &out) {
  out << "Image sizes. Budget: " << kImageBudget
      << " bytes on disk per image, sections 4 KiB aligned in memory, none both writable and "
         "executable.\n";
  bool all = true;
  for (const ImageFile &image : images) {
    const std::string &path = image.path;
    const std::vector<uint8_t> &bytes = image.bytes;
    Reader r{bytes};
    const uint32_t pe = r.At<uint32_t>(0x3C);
    const size_t coff = pe + 4, optional = coff + 20;
    const uint16_t sectionCount = r.At<uint16_t>(coff + 2);
    const uint16_t optionalSize = r.At<uint16_t>(coff + 16);
    if (bytes.size() < 64 || bytes[0] != 'M' || r.At<uint32_t>(pe) != 0x00004550u ||
        r.At<uint16_t>(optional) != 0x20B || !r.ok) {
      out << "\n" << Name(path) << ": not a PE32+ image\n";
      all = false;
      continue;
    }
    const uint32_t sectionAlignment = r.At<uint32_t>(optional + 32);
    const uint32_t fileAlignment = r.At<uint32_t>(optional + 36);
    const uint32_t sizeOfImage = r.At<uint32_t>(optional + 56);
    const uint32_t sizeOfHeaders = r.At<uint32_t>(optional + 60);
    const uint32_t directories = r.At<uint32_t>(optional + 108);

    out << "\n" << Name(path) << ": " << bytes.size() << " bytes on disk, ";
    if (bytes.size() <= kImageBudget) {
      out << kImageBudget - bytes.size() << " to spare\n";
    } else {
      out << "OVER the budget by " << bytes.size() - kImageBudget << "\n";
    }
    out << Format(
        "  headers %u bytes (PE header at %u, %u data directories), file alignment "
        "%u, section alignment 0x%X, %u bytes in memory\n",
        sizeOfHeaders, pe, directories, fileAlignment, sectionAlignment, sizeOfImage);
    out << Format("  %-8s %8s %8s %8s %8s  %s\n", "section", "RVA", "virtual", "raw", "at",
                  "access");
    uint32_t rawTotal = 0;
    for (uint16_t i = 0; i < sectionCount; ++i) {
      const size_t s = optional + optionalSize + 40 * size_t{i};
      char name[9] = {};
      for (int c = 0; c < 8; ++c) name[c] = static_cast<char>(r.At<uint8_t>(s + c));
      const uint32_t virtualSize = r.At<uint32_t>(s + 8), rva = r.At<uint32_t>(s + 12);
      const uint32_t rawSize = r.At<uint32_t>(s + 16), rawPointer = r.At<uint32_t>(s + 20);
      const uint32_t flags = r.At<uint32_t>(s + 36);
      std::string access = std::string((flags & kMemRead) ? "r" : "-") +
                           ((flags & kMemWrite) ? "w" : "-") + ((flags & kMemExecute) ? "x" : "-");
      if ((flags & kMemWrite) && (flags & kMemExecute)) access += "  WRITABLE AND EXECUTABLE";
      if (rva % 0x1000 != 0) access += "  NOT PAGE ALIGNED";
      out << Format("  %-8s %#8x %8u %8u %#8x  %s\n", name, rva, virtualSize, rawSize, rawPointer,
                    access.c_str());
      rawTotal += rawSize;
    }
    out << Format("  = %u header bytes + %u section bytes\n", sizeOfHeaders, rawTotal);
    all = all && r.ok;
  }
  return all;
}

}  // namespace budgets
