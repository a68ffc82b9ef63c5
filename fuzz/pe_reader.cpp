// The tools' PE/COFF reader over arbitrary bytes, taken as a boot-service driver and as any UEFI
// image, and pecompact on whatever the reader takes. Nothing may read past the bytes, crash or
// hang; a refusal is one line; what the reader takes holds together as a loader relies on it
// (headers, section data and the tables it read inside the file, sections in order inside
// SizeOfImage, the entry point in an executable section, every relocation inside the image);
// and what pecompact makes of an image is an image the reader takes, with the same sections at
// the same addresses.
//
// Input: the file, whole.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "PeCoff.h"
#include "PeCompact.h"

namespace {

void Expect(bool holds, const char *what) {
  if (!holds) {
    std::fprintf(stderr, "pe_reader: %s\n", what);
    std::abort();
  }
}

void CheckImage(const pecoff::Image &image, size_t fileSize) {
  Expect(!image.sections.empty(), "an image without sections");
  Expect(image.sizeOfHeaders <= fileSize, "headers past the file");
  Expect(image.sectionTable + 40 * image.sections.size() <= image.sizeOfHeaders,
         "a section table past the headers");
  uint64_t end = 0;
  for (const pecoff::Section &s : image.sections) {
    Expect(s.rawSize == 0 || uint64_t{s.rawPointer} + s.rawSize <= fileSize,
           "section data past the file");
    Expect(s.virtualAddress >= end, "sections out of order or overlapping");
    end = uint64_t{s.virtualAddress} + s.MemorySize();
    Expect(end <= image.sizeOfImage, "a section past SizeOfImage");
  }
  const pecoff::Section *entry = image.SectionAt(image.entryPoint);
  Expect(entry != nullptr && (entry->characteristics & pecoff::kSectionExecute) != 0,
         "an entry point outside every executable section");
  for (const pecoff::Relocation &r : image.relocations) {
    Expect(uint64_t{r.rva} + (r.type == pecoff::kRelocationDir64 ? 8 : 4) <= image.sizeOfImage,
           "a relocation past SizeOfImage");
  }
}

// pecompact's output from an image: again an image, its sections where they were.
void CheckCompacted(const pecoff::Image &before, const std::vector<uint8_t> &bytes, bool strip) {
  std::vector<uint8_t> out = bytes;
  std::string why;
  if (!(strip ? pe::StripDebugInformation(out, why) : pe::CompactHeaders(out, why))) {
    Expect(!why.empty() && why.find('\n') == std::string::npos, "pecompact: no one-line reason");
    return;
  }
  const pecoff::Reading after = pecoff::ReadImage(out, pecoff::Accept::kAnyEfiImage);
  if (!after.ok()) std::fprintf(stderr, "pe_reader: %s\n", after.problem.c_str());
  Expect(after.ok(), "pecompact wrote an image the reader refuses");
  Expect(after.image.entryPoint == before.entryPoint, "pecompact moved the entry point");
  Expect(after.image.sections.size() <= before.sections.size(), "pecompact added sections");
  for (size_t i = 0; i < after.image.sections.size(); ++i) {
    Expect(after.image.sections[i].virtualAddress == before.sections[i].virtualAddress,
           "pecompact moved a section");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  for (pecoff::Accept accept : {pecoff::Accept::kBootServiceDriver, pecoff::Accept::kAnyEfiImage}) {
    const pecoff::Reading reading = pecoff::ReadImage({data, size}, accept);
    if (!reading.ok()) {
      Expect(reading.problem.find('\n') == std::string::npos, "a refusal of more than one line");
      continue;
    }
    CheckImage(reading.image, size);
    if (accept == pecoff::Accept::kAnyEfiImage) {
      CheckCompacted(reading.image, bytes, false);
      CheckCompacted(reading.image, bytes, true);
    }
  }
  return 0;
}
