// Images for the judges of the tools' PE/COFF reader: the files every reader must take, and
// images crafted from a shipped driver, each breaking one rule a DXE core's loader holds (or, as a
// near miss, keeping to it at its very edge). Offsets come from the PE/COFF layout, not from the
// reader.
#ifndef TESTS_IMAGE_PE_CORPUS_H_
#define TESTS_IMAGE_PE_CORPUS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace pecorpus {

using Bytes = std::vector<uint8_t>;

struct CraftedImage {
  std::string what;  // the defect, as a file name
  Bytes bytes;
  std::string rule;  // words the reader's refusal must hold; empty for a near miss it must take
};

Bytes ReadFile(const std::string &path);

// The image the crafted ones start from: BoardSlotService.efi, whose .text, .rdata, .data (no
// data on file) and .reloc (one block of relocations, the last bytes of the file) every rule
// needs.
std::string BaseImagePath();
// One image per case, crafted from `base`; empty when `base` lacks that shape.
std::vector<CraftedImage> CraftedImages(const Bytes &base);

// The files every reader must take: each driver's image and symbol file as built, and the image
// lld-link lays out itself (512-byte file alignment) and with 4 KiB file alignment.
std::vector<std::string> ValidImagePaths();

struct NamedImage {
  std::string name;  // a file name for it
  Bytes bytes;
};
// The valid files and every crafted image: what the outside readers judge, once the tools'
// reader has taken it.
std::vector<NamedImage> Candidates();

}  // namespace pecorpus

#endif  // TESTS_IMAGE_PE_CORPUS_H_
