#include "PeCorpus.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

namespace pecorpus {

namespace {

uint32_t Get32(const Bytes &b, size_t at) {
  uint32_t value = 0;
  if (at + 4 <= b.size()) std::memcpy(&value, b.data() + at, 4);
  return value;
}
uint16_t Get16(const Bytes &b, size_t at) {
  uint16_t value = 0;
  if (at + 2 <= b.size()) std::memcpy(&value, b.data() + at, 2);
  return value;
}
void Put32(Bytes &b, size_t at, uint32_t value) { std::memcpy(b.data() + at, &value, 4); }
void Put16(Bytes &b, size_t at, uint16_t value) { std::memcpy(b.data() + at, &value, 2); }

// Where the base image keeps what the cases change, by the PE/COFF layout.
struct Layout {
  explicit Layout(const Bytes &b)
      : coff(Get32(b, 0x3C) + 4), optional(coff + 20), table(optional + Get16(b, coff + 16)) {
    for (uint16_t i = 0; i < Get16(b, coff + 2); ++i) {
      const size_t header = table + 40 * i;
      const std::string name(reinterpret_cast<const char *>(b.data() + header),
                             strnlen(reinterpret_cast<const char *>(b.data() + header), 8));
      if (name == ".text") text = header;
      if (name == ".rdata") rdata = header;
      if (name == ".data") data = header;
      if (name == ".reloc") reloc = header;
    }
  }
  size_t coff, optional, table;
  size_t text = 0, rdata = 0, data = 0, reloc = 0;  // section headers

  // Optional header fields.
  size_t EntryPoint() const { return optional + 16; }
  size_t SectionAlignment() const { return optional + 32; }
  size_t FileAlignment() const { return optional + 36; }
  size_t SizeOfImage() const { return optional + 56; }
  size_t SizeOfHeaders() const { return optional + 60; }
  size_t Subsystem() const { return optional + 68; }
  size_t DirectoryCount() const { return optional + 108; }
  size_t Directory(uint32_t index) const { return optional + 112 + 8 * index; }
};

// Section header fields.
constexpr size_t kVirtualSize = 8, kAddress = 12, kRawSize = 16, kRawPointer = 20;
constexpr uint32_t kImport = 1, kCertificate = 4, kRelocations = 5, kDebug = 6, kTls = 9;

struct Case {
  const char *what;
  std::function<void(Bytes &, const Layout &)> craft;
  const char *rule;  // '*' stands for any text
};

// What each case does to the base image, and the rule the result breaks.
const std::vector<Case> &Cases() {
  using L = const Layout &;
  static const std::vector<Case> kCases = {
      // The headers.
      {"no-mz", [](Bytes &b, L) { b[0] = 'X'; }, "not a PE image (no MZ header)"},
      {"pe-header-pointer-past-the-end", [](Bytes &b, L) { Put32(b, 0x3C, 0xFFFFFFF0); },
       "no PE signature"},
      {"cut-in-the-coff-header", [](Bytes &b, L l) { b.resize(l.coff + 10); },
       "the COFF header (*) runs past the end of the file"},
      {"cut-in-the-optional-header", [](Bytes &b, L l) { b.resize(l.optional + 0x40); },
       "the optional header (*) runs past the end of the file"},
      {"pe32", [](Bytes &b, L l) { Put16(b, l.optional, 0x10B); },
       "not a PE32+ image (optional header magic 0x10B)"},
      {"i386", [](Bytes &b, L l) { Put16(b, l.coff, 0x14C); }, "not an x64 image (machine 0x14C)"},
      {"application", [](Bytes &b, L l) { Put16(b, l.Subsystem(), 10); },
       "subsystem 10, not an EFI boot-service driver (11)"},
      {"relocations-stripped", [](Bytes &b, L l) { b[l.coff + 18] |= 1; },
       "relocations stripped (COFF characteristics *): a DXE core could load it only at its image "
       "base"},
      {"optional-header-short-of-its-fixed-part",
       [](Bytes &b, L l) { Put16(b, l.coff + 16, 0x60); },
       "the optional header is 0x60 bytes, short of the 0x70"},
      {"seventeen-directories", [](Bytes &b, L l) { Put32(b, l.DirectoryCount(), 17); },
       "NumberOfRvaAndSizes 17: there are only 16"},
      {"directories-past-the-optional-header",
       [](Bytes &b, L l) { Put32(b, l.DirectoryCount(), Get32(b, l.DirectoryCount()) + 1); },
       "NumberOfRvaAndSizes * does not fill the optional header"},
      {"directories-short-of-the-optional-header",
       [](Bytes &b, L l) { Put32(b, l.DirectoryCount(), Get32(b, l.DirectoryCount()) - 1); },
       "NumberOfRvaAndSizes * does not fill the optional header"},
      // Alignments and sizes.
      {"file-alignment-3", [](Bytes &b, L l) { Put32(b, l.FileAlignment(), 3); },
       "FileAlignment 0x3 is not a power of two"},
      {"section-alignment-0x1800", [](Bytes &b, L l) { Put32(b, l.SectionAlignment(), 0x1800); },
       "SectionAlignment 0x1800 is not a power of two"},
      {"file-alignment-above-section-alignment",
       [](Bytes &b, L l) { Put32(b, l.FileAlignment(), 0x2000); },
       "FileAlignment 0x2000 is larger than SectionAlignment 0x1000"},
      {"section-alignment-below-a-page-unlike-file-alignment",
       [](Bytes &b, L l) { Put32(b, l.SectionAlignment(), 0x200); },
       "SectionAlignment 0x200 is below a page, so FileAlignment (0x20) must equal it"},
      {"no-sections", [](Bytes &b, L l) { Put16(b, l.coff + 2, 0); }, "no sections"},
      {"0xffff-sections", [](Bytes &b, L l) { Put16(b, l.coff + 2, 0xFFFF); },
       "the section table (65535 sections at *) runs past the end of the file"},
      {"cut-in-the-section-table", [](Bytes &b, L l) { b.resize(l.reloc + 20); },
       "the section table (* sections at *) runs past the end of the file"},
      {"headers-short-of-the-section-table",
       [](Bytes &b, L l) { Put32(b, l.SizeOfHeaders(), 0x100); },
       "SizeOfHeaders 0x100 does not cover the headers and section table"},
      {"headers-past-the-end", [](Bytes &b, L l) { Put32(b, l.SizeOfHeaders(), 0x10000); },
       "SizeOfHeaders 0x10000 runs past the end of the file"},
      {"headers-size-unaligned",
       [](Bytes &b, L l) { Put32(b, l.SizeOfHeaders(), Get32(b, l.SizeOfHeaders()) - 4); },
       "SizeOfHeaders * is not a multiple of FileAlignment 0x20"},
      {"image-size-0", [](Bytes &b, L l) { Put32(b, l.SizeOfImage(), 0); }, "SizeOfImage is 0"},
      {"image-size-unaligned",
       [](Bytes &b, L l) { Put32(b, l.SizeOfImage(), Get32(b, l.SizeOfImage()) + 0x800); },
       "SizeOfImage * is not a multiple of SectionAlignment 0x1000"},
      {"image-size-short-of-a-section",
       [](Bytes &b, L l) { Put32(b, l.SizeOfImage(), Get32(b, l.SizeOfImage()) - 0x1000); },
       "section .reloc: * reaches past SizeOfImage"},
      // Section data on file.
      {"raw-data-past-the-end",
       [](Bytes &b, L l) { Put32(b, l.reloc + kRawSize, Get32(b, l.reloc + kRawSize) + 0x20); },
       "section .reloc: raw data (offset *, size *) runs past the end of the file (*)"},
      {"raw-data-offset-past-the-end",
       [](Bytes &b, L l) { Put32(b, l.reloc + kRawPointer, static_cast<uint32_t>(b.size())); },
       "section .reloc: raw data (offset *) runs past the end of the file"},
      {"raw-data-wraps-past-4-gib",
       [](Bytes &b, L l) { Put32(b, l.rdata + kRawPointer, 0xFFFFFF00); },
       "section .rdata: raw data offset 0xFFFFFF00 plus size * wraps past 4 GiB"},
      {"raw-data-with-no-virtual-size", [](Bytes &b, L l) { Put32(b, l.rdata + kVirtualSize, 0); },
       "section .rdata: VirtualSize is 0 while * bytes of it lie on file"},
      {"raw-data-in-the-headers", [](Bytes &b, L l) { Put32(b, l.text + kRawPointer, 0x100); },
       "section .text: raw data (offset 0x100) lies in the headers"},
      // Sections in memory.
      {"section-address-unaligned",
       [](Bytes &b, L l) { Put32(b, l.data + kAddress, Get32(b, l.data + kAddress) + 0x10); },
       "section .data: address * is not a multiple of SectionAlignment"},
      {"section-in-the-headers", [](Bytes &b, L l) { Put32(b, l.text + kAddress, 0); },
       "section .text: address 0x0 lies in the headers"},
      {"section-size-wraps-past-4-gib",
       [](Bytes &b, L l) { Put32(b, l.data + kVirtualSize, 0xFFFFF000); },
       "section .data: address * plus size 0xFFFFF000 wraps past 4 GiB"},
      {"section-past-the-image", [](Bytes &b, L l) { Put32(b, l.reloc + kVirtualSize, 0x1010); },
       "section .reloc: * reaches past SizeOfImage"},
      {"two-sections-at-one-address",
       [](Bytes &b, L l) { Put32(b, l.data + kAddress, Get32(b, l.rdata + kAddress)); },
       "section .data is at the same address (*) as section .rdata"},
      {"sections-out-of-order",
       [](Bytes &b, L l) {
         std::swap_ranges(b.begin() + static_cast<long>(l.rdata),
                          b.begin() + static_cast<long>(l.rdata + 40),
                          b.begin() + static_cast<long>(l.data));
       },
       "section .rdata (*) comes before section .data (*): sections out of order"},
      {"sections-overlap", [](Bytes &b, L l) { Put32(b, l.text + kVirtualSize, 0x1100); },
       "section .rdata (*) overlaps section .text (*)"},
      // The symbol and string tables.
      {"name-with-bytes-after-its-nul",
       [](Bytes &b, L l) { std::memcpy(b.data() + l.data, ".data\0\0x", 8); },
       "section .data\\x00\\x00x: its name has bytes after the NULs that end it"},
      {"long-name-without-a-string-table",
       [](Bytes &b, L l) { std::memcpy(b.data() + l.data, "/4\0\0\0\0\0\0", 8); },
       "section /4: its long name lies outside the COFF string table"},
      {"symbol-table-past-the-end",
       [](Bytes &b, L l) {
         Put32(b, l.coff + 8, 0x1000);
         Put32(b, l.coff + 12, 1000);
       },
       "the COFF symbol table (1000 symbols at 0x1000*) runs past the end of the file"},
      {"string-table-past-the-end",
       [](Bytes &b, L l) {
         const uint32_t at = static_cast<uint32_t>(b.size() - 0x10);  // .reloc's padding
         Put32(b, l.coff + 8, at);
         Put32(b, at, 0x100);
       },
       "the COFF string table (0x100 bytes at *) runs past the end of the file"},
      {"symbols-without-a-symbol-table", [](Bytes &b, L l) { Put32(b, l.coff + 12, 5); },
       "NumberOfSymbols 5 with no symbol table (PointerToSymbolTable 0)"},
      {"string-table-without-a-final-nul",
       [](Bytes &b, L l) {
         const uint32_t at = static_cast<uint32_t>(b.size() - 0x10);  // .reloc's padding
         Put32(b, l.coff + 8, at);
         Put32(b, at, 8);
         std::memcpy(b.data() + at + 4, ".abc", 4);
       },
       "the COFF string table (0x8 bytes at *) does not end in a NUL"},
      // The entry point.
      {"entry-point-0", [](Bytes &b, L l) { Put32(b, l.EntryPoint(), 0); },
       "no entry point (AddressOfEntryPoint is 0)"},
      {"entry-point-past-the-image",
       [](Bytes &b, L l) { Put32(b, l.EntryPoint(), Get32(b, l.SizeOfImage()) + 0x10); },
       "entry point * lies outside the image"},
      {"entry-point-in-no-section",
       [](Bytes &b, L l) { Put32(b, l.EntryPoint(), Get32(b, l.data + kAddress) + 0x800); },
       "entry point * lies in no section"},
      {"entry-point-in-data",
       [](Bytes &b, L l) { Put32(b, l.EntryPoint(), Get32(b, l.rdata + kAddress) + 0x10); },
       "entry point * lies in section .rdata, which is not executable"},
      // Data directories.
      {"relocations-past-the-image",
       [](Bytes &b, L l) { Put32(b, l.Directory(kRelocations), Get32(b, l.SizeOfImage())); },
       "the base relocation directory (*) lies outside the image"},
      {"relocations-size-wraps-past-4-gib",
       [](Bytes &b, L l) { Put32(b, l.Directory(kRelocations) + 4, 0xFFFFFFF8); },
       "the base relocation directory (*) wraps past 4 GiB"},
      {"relocations-in-no-data-on-file",
       [](Bytes &b, L l) { Put32(b, l.Directory(kRelocations), Get32(b, l.data + kAddress)); },
       "the base relocation directory (*) lies outside every section's data on file"},
      {"import-directory-in-no-section",
       [](Bytes &b, L l) {
         Put32(b, l.Directory(kImport), Get32(b, l.data + kAddress) + 0x800);
         Put32(b, l.Directory(kImport) + 4, 0x14);
       },
       "the import directory (*) lies outside every section's data on file"},
      {"certificate-past-the-end",
       [](Bytes &b, L l) {
         Put32(b, l.Directory(kCertificate), static_cast<uint32_t>(b.size() - 0x100));
         Put32(b, l.Directory(kCertificate) + 4, 0x200);
       },
       "the certificate directory (*) runs past the end of the file"},
      {"tls-directory-of-32-bytes",
       [](Bytes &b, L l) {
         Put32(b, l.Directory(kTls), Get32(b, l.rdata + kAddress));
         Put32(b, l.Directory(kTls) + 4, 32);
       },
       "the TLS directory (0x20 bytes) is not the 0x28 bytes of a PE32+ one"},
      {"debug-directory-with-part-of-an-entry",
       [](Bytes &b, L l) {
         Put32(b, l.Directory(kDebug), Get32(b, l.rdata + kAddress));
         Put32(b, l.Directory(kDebug) + 4, 29);
       },
       "the debug directory (0x1D bytes) is no whole number of 28-byte entries"},
      {"debug-data-outside-the-image",
       [](Bytes &b, L l) {
         Put32(b, l.Directory(kDebug), Get32(b, l.rdata + kAddress));
         Put32(b, l.Directory(kDebug) + 4, 28);
         const size_t entry = Get32(b, l.rdata + kRawPointer);
         Put32(b, entry + 16, 0x100);
         Put32(b, entry + 20, Get32(b, l.SizeOfImage()));
         Put32(b, entry + 24, static_cast<uint32_t>(entry));
       },
       "debug entry 0: its data (*) lies outside the image"},
      {"debug-data-past-the-end",
       [](Bytes &b, L l) {
         Put32(b, l.Directory(kDebug), Get32(b, l.rdata + kAddress));
         Put32(b, l.Directory(kDebug) + 4, 28);
         const size_t entry = Get32(b, l.rdata + kRawPointer);
         Put32(b, entry + 16, 0x100);
         Put32(b, entry + 20, 0);
         Put32(b, entry + 24, static_cast<uint32_t>(b.size() - 0x10));
       },
       "debug entry 0: its data (offset *) runs past the end of the file"},
      {"debug-data-with-no-file-offset",
       [](Bytes &b, L l) {
         Put32(b, l.Directory(kDebug), Get32(b, l.rdata + kAddress));
         Put32(b, l.Directory(kDebug) + 4, 28);
         const size_t entry = Get32(b, l.rdata + kRawPointer);
         Put32(b, entry + 16, 0x100);
         Put32(b, entry + 20, 0);
         Put32(b, entry + 24, 0);
       },
       "debug entry 0: 0x100 bytes of data with no file offset (PointerToRawData 0)"},
      // Base relocation blocks (the one block at the start of .reloc's data).
      {"relocation-block-size-0",
       [](Bytes &b, L l) { Put32(b, Get32(b, l.reloc + kRawPointer) + 4, 0); },
       "base relocation block at *: SizeOfBlock 0x0 is short of its 8-byte header or not a "
       "multiple of 4"},
      {"relocation-block-size-unaligned",
       [](Bytes &b, L l) { Put32(b, Get32(b, l.reloc + kRawPointer) + 4, 0x0E); },
       "base relocation block at *: SizeOfBlock 0xE is short of its 8-byte header or not a "
       "multiple of 4"},
      {"relocation-block-past-the-directory",
       [](Bytes &b, L l) {
         const size_t block = Get32(b, l.reloc + kRawPointer);
         Put32(b, block + 4, Get32(b, block + 4) + 0x10);
       },
       "base relocation block at *: SizeOfBlock * runs past the directory"},
      {"relocation-block-header-past-the-directory",
       [](Bytes &b, L l) {
         const uint32_t size = Get32(b, l.Directory(kRelocations) + 4) + 4;
         Put32(b, l.Directory(kRelocations) + 4, size);
         Put32(b, l.reloc + kVirtualSize, size);
       },
       "base relocation block at *: its 8-byte header runs past the directory"},
      {"relocation-of-type-5",
       [](Bytes &b, L l) {
         const size_t entry = Get32(b, l.reloc + kRawPointer) + 8;
         Put16(b, entry, static_cast<uint16_t>(0x5000 | (Get16(b, entry) & 0xFFF)));
       },
       "base relocation at *: type 5, which an x64 loader does not apply"},
      {"relocation-past-the-image",
       [](Bytes &b, L l) {
         const size_t block = Get32(b, l.reloc + kRawPointer);
         Put32(b, block, Get32(b, l.SizeOfImage()) - 0x1000);
         Put16(b, block + 8, 0xAFFC);
       },
       "base relocation at *: its 8 bytes reach past SizeOfImage"},
      // Near misses: each keeps to a rule at its very edge.
      {"entry-point-on-the-last-byte-of-text",
       [](Bytes &b, L l) {
         Put32(b, l.EntryPoint(),
               Get32(b, l.text + kAddress) + Get32(b, l.text + kVirtualSize) - 1);
       },
       ""},
      {"data-after-the-last-section", [](Bytes &b, L) { b.resize(b.size() + 0x1000, 0); }, ""},
      {"string-table-ending-on-the-last-byte",
       [](Bytes &b, L l) {
         const uint32_t at = static_cast<uint32_t>(b.size() - 0x10);  // .reloc's padding
         Put32(b, l.coff + 8, at);
         Put32(b, at, 0x10);
         std::memcpy(b.data() + at + 4, ".debug_x", 8);
         std::memcpy(b.data() + l.data, "/4\0\0\0\0\0\0", 8);  // .data, named ".debug_x" there
       },
       ""},
      {"relocation-on-the-last-8-bytes-of-the-image",
       [](Bytes &b, L l) {
         const size_t block = Get32(b, l.reloc + kRawPointer);
         Put32(b, block, Get32(b, l.SizeOfImage()) - 0x1000);
         Put16(b, block + 8, 0xAFF8);
       },
       ""},
  };
  return kCases;
}

}  // namespace

Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string BaseImagePath() { return std::string(FIRMWARE_DIR) + "/BoardSlotService.efi"; }

std::vector<CraftedImage> CraftedImages(const Bytes &base) {
  if (base.size() < 0x40) return {};
  const Layout layout(base);
  const size_t reloc = Get32(base, layout.reloc + kRawPointer);
  if (layout.text == 0 || layout.rdata == 0 || layout.data == 0 || layout.reloc == 0 ||
      Get32(base, layout.data + kRawSize) != 0 ||
      Get32(base, layout.Directory(kRelocations)) == 0 ||
      Get32(base, reloc + 4) != Get32(base, layout.Directory(kRelocations) + 4) ||
      reloc + Get32(base, layout.reloc + kRawSize) != base.size()) {
    return {};
  }
  std::vector<CraftedImage> images;
  for (const Case &c : Cases()) {
    Bytes bytes = base;
    c.craft(bytes, layout);
    images.push_back({c.what, std::move(bytes), c.rule});
  }
  return images;
}

std::vector<std::string> ValidImagePaths() {
  static const char *const kDrivers[] = SHIPPED_DRIVERS;
  std::vector<std::string> paths;
  for (const std::string driver : kDrivers) {
    for (const std::string &path :
         {std::string(FIRMWARE_DIR) + "/" + driver + ".efi",
          std::string(FIRMWARE_DIR) + "/" + driver + ".debug",
          std::string(PE_VARIANTS_DIR) + "/" + driver + "-lld.efi",
          std::string(PE_VARIANTS_DIR) + "/" + driver + "-filealign4096.efi"}) {
      paths.push_back(path);
    }
  }
  return paths;
}

std::vector<NamedImage> Candidates() {
  std::vector<NamedImage> images;
  for (const std::string &path : ValidImagePaths()) {
    images.push_back({path.substr(path.find_last_of('/') + 1), ReadFile(path)});
  }
  for (CraftedImage &image : CraftedImages(ReadFile(BaseImagePath()))) {
    images.push_back({image.what + ".efi", std::move(image.bytes)});
  }
  return images;
}

}  // namespace pecorpus
