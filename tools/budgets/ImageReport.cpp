// The image report: what each shipped .efi file spends its bytes on.
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "Budgets.h"
#include "CommandLine.h"
#include "PeCoff.h"

namespace budgets {

namespace {

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

// One image's rows; the reader's reason when it is no image a DXE core loads.
std::string ReportImage(const std::string &name, const std::vector<uint8_t> &bytes,
                        std::ostream &out) {
  const pecoff::Reading reading = pecoff::ReadImage(bytes);
  if (!reading.ok()) return reading.problem;
  const pecoff::Image &image = reading.image;
  out << "\n" << name << ": " << bytes.size() << " bytes on disk, ";
  if (bytes.size() <= kImageBudget) {
    out << kImageBudget - bytes.size() << " to spare\n";
  } else {
    out << "OVER the budget by " << bytes.size() - kImageBudget << "\n";
  }
  out << Format(
      "  headers %u bytes (PE header at %zu, %zu data directories), file alignment "
      "%u, section alignment 0x%X, %u bytes in memory\n",
      image.sizeOfHeaders, image.peHeader, image.directories.size(), image.fileAlignment,
      image.sectionAlignment, image.sizeOfImage);
  out << Format("  %-8s %8s %8s %8s %8s  %s\n", "section", "RVA", "virtual", "raw", "at", "access");
  uint64_t rawTotal = 0;
  for (const pecoff::Section &section : image.sections) {
    const uint32_t flags = section.characteristics;
    std::string access = std::string((flags & pecoff::kSectionRead) ? "r" : "-") +
                         ((flags & pecoff::kSectionWrite) ? "w" : "-") +
                         ((flags & pecoff::kSectionExecute) ? "x" : "-");
    if ((flags & pecoff::kSectionWrite) && (flags & pecoff::kSectionExecute)) {
      access += "  WRITABLE AND EXECUTABLE";
    }
    if (section.virtualAddress % 0x1000 != 0) access += "  NOT PAGE ALIGNED";
    out << Format("  %-8s %#8x %8u %8u %#8x  %s\n", section.name.c_str(), section.virtualAddress,
                  section.virtualSize, section.rawSize, section.rawPointer, access.c_str());
    rawTotal += section.rawSize;
  }
  out << Format("  = %u header bytes + %llu section bytes\n", image.sizeOfHeaders,
                static_cast<unsigned long long>(rawTotal));
  return "";
}

}  // namespace

bool ReportImages(const std::vector<ImageFile> &images, std::ostream &out, std::ostream &errors) {
  out << "Image sizes. Budget: " << kImageBudget
      << " bytes on disk per image, sections 4 KiB aligned in memory, none both writable and "
         "executable.\n";
  bool all = true;
  for (const ImageFile &image : images) {
    if (std::string problem = ReportImage(Name(image.path), image.bytes, out); !problem.empty()) {
      errors << "budgets: " << tools::Printable(image.path, 200) << ": " << problem << "\n";
      all = false;
    }
  }
  return all;
}

}  // namespace budgets
