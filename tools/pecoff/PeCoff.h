// The tools' one reader of PE32+ images (fvpack, pecompact, budgets and the tests' image checks):
// it takes only what a DXE core's image loader takes, and names the first rule an image breaks.
// It reads a byte buffer and never past it, whatever the bytes hold.
#ifndef TOOLS_PECOFF_PE_COFF_H_
#define TOOLS_PECOFF_PE_COFF_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pecoff {

// Where the fields sit, for the tools that write them (pecompact).
namespace layout {
constexpr size_t kDosHeaderSize = 64;
constexpr size_t kNewHeaderPointer = 0x3C;  // e_lfanew
constexpr size_t kSignatureSize = 4;        // "PE\0\0"
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kDataDirectorySize = 8;
constexpr size_t kDebugEntrySize = 28;
constexpr size_t kSymbolSize = 18;
// COFF header fields.
constexpr size_t kNumberOfSections = 2;
constexpr size_t kPointerToSymbolTable = 8;
constexpr size_t kNumberOfSymbols = 12;
constexpr size_t kSizeOfOptionalHeader = 16;
constexpr size_t kFileCharacteristics = 18;
// PE32+ optional header fields.
constexpr size_t kSizeOfInitializedData = 8;
constexpr size_t kAddressOfEntryPoint = 16;
constexpr size_t kImageBase = 24;
constexpr size_t kSectionAlignment = 32;
constexpr size_t kFileAlignment = 36;
constexpr size_t kSizeOfImage = 56;
constexpr size_t kSizeOfHeaders = 60;
constexpr size_t kSubsystem = 68;
constexpr size_t kNumberOfRvaAndSizes = 108;
constexpr size_t kDataDirectories = 112;  // the fixed part of the optional header ends here
constexpr uint32_t kMaxDirectories = 16;
// Section header fields.
constexpr size_t kVirtualSize = 8;
constexpr size_t kVirtualAddress = 12;
constexpr size_t kSizeOfRawData = 16;
constexpr size_t kPointerToRawData = 20;
constexpr size_t kPointerToRelocations = 24;
constexpr size_t kNumberOfRelocations = 32;
constexpr size_t kCharacteristics = 36;
// Debug directory entry fields.
constexpr size_t kDebugType = 12;
constexpr size_t kDebugSizeOfData = 16;
constexpr size_t kDebugAddressOfRawData = 20;
constexpr size_t kDebugPointerToRawData = 24;
}  // namespace layout

constexpr uint16_t kMachineX64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kSubsystemEfiApplication = 10;
constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
constexpr uint16_t kSubsystemEfiRuntimeDriver = 12;
constexpr uint16_t kRelocationsStripped = 0x0001;  // COFF characteristics

constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionInitializedData = 0x00000040;
constexpr uint32_t kSectionDiscardable = 0x02000000;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

// Data directory indexes.
constexpr uint32_t kImportDirectory = 1;
constexpr uint32_t kCertificateDirectory = 4;  // a file offset, not an RVA
constexpr uint32_t kBaseRelocationDirectory = 5;
constexpr uint32_t kDebugDirectory = 6;
constexpr uint32_t kTlsDirectory = 9;

// Base relocation types an x64 image may hold.
constexpr uint8_t kRelocationAbsolute = 0;  // padding
constexpr uint8_t kRelocationHighLow = 3;   // a 32-bit address
constexpr uint8_t kRelocationDir64 = 10;    // a 64-bit address

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
  bool Present() const { return rva != 0 || size != 0; }
};

struct Section {
  std::string name;   // a long name ("/4") as the COFF string table spells it
  size_t header = 0;  // file offset of its section header
  uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawPointer = 0;
  uint32_t coffRelocations = 0;  // PointerToRelocations: none in a linked image
  uint16_t coffRelocationCount = 0;
  uint32_t characteristics = 0;
  // The bytes the loader gives it in memory (VirtualSize; the raw size when that is 0, which the
  // reader takes only for a section with no data on file), and how many of them come from the
  // file.
  uint32_t MemorySize() const { return virtualSize != 0 ? virtualSize : rawSize; }
  uint32_t FileBackedSize() const { return MemorySize() < rawSize ? MemorySize() : rawSize; }
};

struct DebugEntry {
  size_t entry = 0;  // file offset of the directory entry
  uint32_t type = 0, dataSize = 0, dataRva = 0, dataOffset = 0;
};

struct Relocation {
  uint32_t rva = 0;
  uint8_t type = 0;  // kRelocationHighLow or kRelocationDir64; padding is left out
};

struct Image {
  size_t peHeader = 0, coffHeader = 0, optionalHeader = 0, sectionTable = 0;  // file offsets
  uint16_t machine = 0, characteristics = 0, subsystem = 0, optionalHeaderSize = 0;
  uint32_t symbolTable = 0, symbolCount = 0;  // the COFF symbol table a symbol file keeps
  uint32_t entryPoint = 0, sectionAlignment = 0, fileAlignment = 0, sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0, sizeOfInitializedData = 0;
  uint64_t imageBase = 0;
  std::vector<DataDirectory> directories;  // NumberOfRvaAndSizes of them
  std::vector<Section> sections;           // in ascending address order
  std::vector<Relocation> relocations;     // in directory order
  std::vector<DebugEntry> debugEntries;

  // An absent directory (past NumberOfRvaAndSizes) reads as {0, 0}.
  DataDirectory Directory(uint32_t index) const;
  // The section whose memory holds `rva`, or null.
  const Section *SectionAt(uint32_t rva) const;
};

// Which subsystems the caller takes: the drivers we ship, or any UEFI image (pecompact also
// makes the firmware runs' platform application).
enum class Accept { kBootServiceDriver, kAnyEfiImage };

struct Reading {
  Image image;          // meaningful only when problem is empty
  std::string problem;  // the first rule the bytes break, in one line; empty for an image
  bool ok() const { return problem.empty(); }
};

// Reads `bytes` as a PE32+ image for x64 as a DXE core loads it. It refuses headers, section
// table, section data, symbol and string tables, and the certificate directory outside the file;
// offsets plus sizes past 2^32; symbols without a symbol table, a string table that does not end
// in a NUL, a section name with bytes after its NUL padding or a long one outside the string
// table; stripped relocations; no sections; a section with data on file and a VirtualSize of 0;
// SectionAlignment or FileAlignment not a power of two, a FileAlignment above the
// SectionAlignment (or unequal to one below 4 KiB); a SizeOfHeaders that misses the section
// table, the file or the alignment; a SizeOfImage that is 0, unaligned or short of a section;
// sections in the headers, unaligned, out of order, at one address or overlapping; data
// directories past NumberOfRvaAndSizes, more than 16, outside the image or beyond one section's
// data on file, a TLS directory of another size than 40 bytes; base relocations a loader cannot
// apply; a debug directory that is no whole number of entries or whose data has no file offset
// or lies outside the image or the file; an entry point of 0 or outside an executable section; a
// PE32 optional header, a machine other than x64 and a subsystem other than what `accept` names.
Reading ReadImage(std::span<const uint8_t> bytes, Accept accept = Accept::kBootServiceDriver);

}  // namespace pecoff

#endif  // TOOLS_PECOFF_PE_COFF_H_
