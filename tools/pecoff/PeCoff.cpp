#include "PeCoff.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace pecoff {

namespace {

using namespace layout;

constexpr uint64_t kFourGiB = uint64_t{1} << 32;
constexpr uint32_t kPageSize = 0x1000;
constexpr size_t kBlockHeaderSize = 8;  // a base relocation block's page RVA and SizeOfBlock
constexpr size_t kTlsDirectorySize = 40;

// The data directories, by index, as messages name them.
const char *const kDirectoryNames[kMaxDirectories] = {"export",
                                                      "import",
                                                      "resource",
                                                      "exception",
                                                      "certificate",
                                                      "base relocation",
                                                      "debug",
                                                      "architecture",
                                                      "global pointer",
                                                      "TLS",
                                                      "load configuration",
                                                      "bound import",
                                                      "import address table",
                                                      "delay import",
                                                      "CLR runtime",
                                                      "reserved"};

std::string Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Say(const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

bool PowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// A name as a message shows it: unprintable bytes as \xNN.
std::string Printable(const std::string &name) {
  std::string out;
  for (unsigned char c : name) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      out += Say("\\x%02X", c);
    }
  }
  return out;
}

class Reader {
 public:
  Reader(std::span<const uint8_t> bytes, Accept accept) : bytes_(bytes), accept_(accept) {}

  std::string Read() {
    for (auto step :
         {&Reader::ReadCoffHeader, &Reader::ReadOptionalHeader, &Reader::CheckLayout,
          &Reader::ReadStringTable, &Reader::ReadSections, &Reader::CheckEntryPoint,
          &Reader::ReadDirectories, &Reader::ReadRelocations, &Reader::ReadDebugEntries}) {
      if (std::string problem = (this->*step)(); !problem.empty()) return problem;
    }
    return "";
  }

  Image &image() { return image_; }

 private:
  // Whether [offset, offset + size) lies in the file.
  bool InFile(uint64_t offset, uint64_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  template <typename T>
  T Get(uint64_t offset) const {
    T value{};
    if (InFile(offset, sizeof(T))) std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }
  std::string PastTheEnd(const std::string &what) const {
    return what + Say(" runs past the end of the file (0x%zX bytes)", bytes_.size());
  }

  // The DOS header, the PE signature where it points and the COFF header after it.
  std::string ReadCoffHeader() {
    Image &m = image_;
    if (bytes_.size() < kDosHeaderSize || bytes_[0] != 'M' || bytes_[1] != 'Z') {
      return "not a PE image (no MZ header)";
    }
    m.peHeader = Get<uint32_t>(kNewHeaderPointer);
    if (!InFile(m.peHeader, kSignatureSize) || Get<uint32_t>(m.peHeader) != 0x00004550) {
      return Say("not a PE image (no PE signature where its MZ header points, 0x%zX)", m.peHeader);
    }
    m.coffHeader = m.peHeader + kSignatureSize;
    if (!InFile(m.coffHeader, kCoffHeaderSize)) {
      return PastTheEnd(Say("the COFF header (at 0x%zX)", m.coffHeader));
    }
    m.machine = Get<uint16_t>(m.coffHeader);
    m.symbolTable = Get<uint32_t>(m.coffHeader + kPointerToSymbolTable);
    m.symbolCount = Get<uint32_t>(m.coffHeader + kNumberOfSymbols);
    m.optionalHeaderSize = Get<uint16_t>(m.coffHeader + kSizeOfOptionalHeader);
    m.characteristics = Get<uint16_t>(m.coffHeader + kFileCharacteristics);
    m.optionalHeader = m.coffHeader + kCoffHeaderSize;
    return "";
  }

  std::string ReadOptionalHeader() {
    Image &m = image_;
    if (!InFile(m.optionalHeader, 2)) {
      return PastTheEnd(Say("the optional header (at 0x%zX)", m.optionalHeader));
    }
    if (const uint16_t magic = Get<uint16_t>(m.optionalHeader); magic != kPe32PlusMagic) {
      return Say("not a PE32+ image (optional header magic 0x%X)", magic);
    }
    if (m.machine != kMachineX64) return Say("not an x64 image (machine 0x%X)", m.machine);
    if (m.optionalHeaderSize < kDataDirectories) {
      return Say("the optional header is 0x%X bytes, short of the 0x%zX every PE32+ one holds",
                 m.optionalHeaderSize, kDataDirectories);
    }
    if (!InFile(m.optionalHeader, m.optionalHeaderSize)) {
      return PastTheEnd(
          Say("the optional header (0x%X bytes at 0x%zX)", m.optionalHeaderSize, m.optionalHeader));
    }
    const size_t o = m.optionalHeader;
    m.subsystem = Get<uint16_t>(o + kSubsystem);
    if (std::string problem = CheckSubsystem(); !problem.empty()) return problem;
    m.sizeOfInitializedData = Get<uint32_t>(o + kSizeOfInitializedData);
    m.entryPoint = Get<uint32_t>(o + kAddressOfEntryPoint);
    m.imageBase = Get<uint64_t>(o + kImageBase);
    if (m.characteristics & kRelocationsStripped) {
      return Say(
          "relocations stripped (COFF characteristics 0x%X): a DXE core could load it only at its "
          "image base 0x%llX",
          m.characteristics, static_cast<unsigned long long>(m.imageBase));
    }
    m.sectionAlignment = Get<uint32_t>(o + kSectionAlignment);
    m.fileAlignment = Get<uint32_t>(o + kFileAlignment);
    m.sizeOfImage = Get<uint32_t>(o + kSizeOfImage);
    m.sizeOfHeaders = Get<uint32_t>(o + kSizeOfHeaders);
    const uint32_t directories = Get<uint32_t>(o + kNumberOfRvaAndSizes);
    if (directories > kMaxDirectories) {
      return Say("NumberOfRvaAndSizes %u: there are only %u data directories", directories,
                 kMaxDirectories);
    }
    const size_t directoryBytes = m.optionalHeaderSize - kDataDirectories;
    if (directories * kDataDirectorySize != directoryBytes) {
      return Say(
          "NumberOfRvaAndSizes %u (0x%zX bytes of directories) does not fill the optional header "
          "(0x%zX bytes after its fixed part)",
          directories, directories * kDataDirectorySize, directoryBytes);
    }
    for (uint32_t i = 0; i < directories; ++i) {
      const size_t at = o + kDataDirectories + kDataDirectorySize * i;
      m.directories.push_back({Get<uint32_t>(at), Get<uint32_t>(at + 4)});
    }
    m.sectionTable = o + m.optionalHeaderSize;
    return "";
  }

  std::string CheckSubsystem() const {
    const uint16_t s = image_.subsystem;
    if (accept_ == Accept::kBootServiceDriver) {
      if (s == kSubsystemEfiBootServiceDriver) return "";
      return Say("subsystem %u, not an EFI boot-service driver (11)", s);
    }
    if (s == kSubsystemEfiApplication || s == kSubsystemEfiBootServiceDriver ||
        s == kSubsystemEfiRuntimeDriver) {
      return "";
    }
    return Say("subsystem %u, not a UEFI image (10, 11 or 12)", s);
  }

  // Alignments, the section table and the header and image sizes.
  std::string CheckLayout() {
    Image &m = image_;
    if (!PowerOfTwo(m.sectionAlignment)) {
      return Say("SectionAlignment 0x%X is not a power of two", m.sectionAlignment);
    }
    if (!PowerOfTwo(m.fileAlignment)) {
      return Say("FileAlignment 0x%X is not a power of two", m.fileAlignment);
    }
    if (m.fileAlignment > m.sectionAlignment) {
      return Say("FileAlignment 0x%X is larger than SectionAlignment 0x%X", m.fileAlignment,
                 m.sectionAlignment);
    }
    if (m.sectionAlignment < kPageSize && m.fileAlignment != m.sectionAlignment) {
      return Say("SectionAlignment 0x%X is below a page, so FileAlignment (0x%X) must equal it",
                 m.sectionAlignment, m.fileAlignment);
    }
    const uint16_t count = Get<uint16_t>(m.coffHeader + kNumberOfSections);
    if (count == 0) return "no sections";
    const uint64_t tableEnd = m.sectionTable + uint64_t{count} * kSectionHeaderSize;
    if (!InFile(m.sectionTable, tableEnd - m.sectionTable)) {
      return PastTheEnd(Say("the section table (%u sections at 0x%zX)", count, m.sectionTable));
    }
    if (m.sizeOfHeaders < tableEnd) {
      return Say("SizeOfHeaders 0x%X does not cover the headers and section table (0x%llX bytes)",
                 m.sizeOfHeaders, static_cast<unsigned long long>(tableEnd));
    }
    if (m.sizeOfHeaders > bytes_.size()) {
      return PastTheEnd(Say("SizeOfHeaders 0x%X", m.sizeOfHeaders));
    }
    if (m.sizeOfHeaders % m.fileAlignment != 0) {
      return Say("SizeOfHeaders 0x%X is not a multiple of FileAlignment 0x%X", m.sizeOfHeaders,
                 m.fileAlignment);
    }
    if (m.sizeOfImage == 0) return "SizeOfImage is 0";
    if (m.sizeOfImage % m.sectionAlignment != 0) {
      return Say("SizeOfImage 0x%X is not a multiple of SectionAlignment 0x%X", m.sizeOfImage,
                 m.sectionAlignment);
    }
    if (m.sizeOfImage <= m.sizeOfHeaders) {
      return Say("SizeOfImage 0x%X does not reach past the headers (SizeOfHeaders 0x%X)",
                 m.sizeOfImage, m.sizeOfHeaders);
    }
    m.sections.resize(count);
    return "";
  }

  // The string table after the COFF symbol table, where long section names are spelled.
  std::string ReadStringTable() {
    const Image &m = image_;
    if (m.symbolTable == 0) {
      if (m.symbolCount == 0) return "";
      return Say("NumberOfSymbols %u with no symbol table (PointerToSymbolTable 0)", m.symbolCount);
    }
    const uint64_t strings = m.symbolTable + uint64_t{m.symbolCount} * kSymbolSize;
    if (!InFile(m.symbolTable, strings - m.symbolTable + 4)) {
      return PastTheEnd(
          Say("the COFF symbol table (%u symbols at 0x%X, then the string table's "
              "size)",
              m.symbolCount, m.symbolTable));
    }
    const uint32_t size = Get<uint32_t>(strings);
    if (!InFile(strings, size)) {
      return PastTheEnd(Say("the COFF string table (0x%X bytes at 0x%llX)", size,
                            static_cast<unsigned long long>(strings)));
    }
    if (size > 4 && bytes_[strings + size - 1] != 0) {
      return Say("the COFF string table (0x%X bytes at 0x%llX) does not end in a NUL", size,
                 static_cast<unsigned long long>(strings));
    }
    strings_ = strings;
    stringsSize_ = size;
    return "";
  }

  // "/N": the name at offset N of the string table.
  std::string SectionName(size_t header, std::string &name) const {
    const char *raw = reinterpret_cast<const char *>(bytes_.data() + header);
    name.assign(raw, strnlen(raw, 8));
    for (size_t i = name.size(); i < 8; ++i) {
      if (raw[i] != 0) {
        return Say("section %s: its name has bytes after the NULs that end it",
                   Printable(std::string(raw, 8)).c_str());
      }
    }
    if (name.empty() || name[0] != '/') return "";
    uint64_t offset = 0;
    bool digits = name.size() > 1;
    for (size_t i = 1; i < name.size(); ++i) {
      digits = digits && name[i] >= '0' && name[i] <= '9';
      offset = offset * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    if (!digits || offset < 4 || offset >= stringsSize_) {
      return Say("section %s: its long name lies outside the COFF string table (0x%X bytes)",
                 Printable(name).c_str(), stringsSize_);
    }
    const char *text = reinterpret_cast<const char *>(bytes_.data() + strings_ + offset);
    name.assign(text, strnlen(text, stringsSize_ - offset));
    return "";
  }

  std::string ReadSections() {
    Image &m = image_;
    for (size_t i = 0; i < m.sections.size(); ++i) {
      Section &s = m.sections[i];
      s.header = m.sectionTable + kSectionHeaderSize * i;
      if (std::string problem = SectionName(s.header, s.name); !problem.empty()) return problem;
      s.virtualSize = Get<uint32_t>(s.header + kVirtualSize);
      s.virtualAddress = Get<uint32_t>(s.header + kVirtualAddress);
      s.rawSize = Get<uint32_t>(s.header + kSizeOfRawData);
      s.rawPointer = Get<uint32_t>(s.header + kPointerToRawData);
      s.coffRelocations = Get<uint32_t>(s.header + kPointerToRelocations);
      s.coffRelocationCount = Get<uint16_t>(s.header + kNumberOfRelocations);
      s.characteristics = Get<uint32_t>(s.header + kCharacteristics);
      const std::string name = Printable(s.name);
      if (std::string problem = CheckRawData(s, name); !problem.empty()) return problem;
      if (std::string problem = CheckPlace(s, name); !problem.empty()) return problem;
      if (i > 0) {
        if (std::string problem = CheckOrder(m.sections[i - 1], s); !problem.empty()) {
          return problem;
        }
      }
    }
    return "";
  }

  std::string CheckRawData(const Section &s, const std::string &name) const {
    if (s.rawSize == 0) return "";
    // A loader that takes the raw size then and one that takes the section as empty disagree.
    if (s.virtualSize == 0) {
      return Say("section %s: VirtualSize is 0 while 0x%X bytes of it lie on file", name.c_str(),
                 s.rawSize);
    }
    if (uint64_t{s.rawPointer} + s.rawSize >= kFourGiB) {
      return Say("section %s: raw data offset 0x%X plus size 0x%X wraps past 4 GiB", name.c_str(),
                 s.rawPointer, s.rawSize);
    }
    if (!InFile(s.rawPointer, s.rawSize)) {
      return PastTheEnd(Say("section %s: raw data (offset 0x%X, size 0x%X)", name.c_str(),
                            s.rawPointer, s.rawSize));
    }
    if (s.rawPointer < image_.sizeOfHeaders) {
      return Say("section %s: raw data (offset 0x%X) lies in the headers (SizeOfHeaders 0x%X)",
                 name.c_str(), s.rawPointer, image_.sizeOfHeaders);
    }
    return "";
  }

  std::string CheckPlace(const Section &s, const std::string &name) const {
    const Image &m = image_;
    if (s.virtualAddress % m.sectionAlignment != 0) {
      return Say("section %s: address 0x%X is not a multiple of SectionAlignment 0x%X",
                 name.c_str(), s.virtualAddress, m.sectionAlignment);
    }
    if (s.virtualAddress < m.sizeOfHeaders) {
      return Say("section %s: address 0x%X lies in the headers (SizeOfHeaders 0x%X)", name.c_str(),
                 s.virtualAddress, m.sizeOfHeaders);
    }
    const uint64_t end = uint64_t{s.virtualAddress} + s.MemorySize();
    if (end >= kFourGiB) {
      return Say("section %s: address 0x%X plus size 0x%X wraps past 4 GiB", name.c_str(),
                 s.virtualAddress, s.MemorySize());
    }
    if (end > m.sizeOfImage) {
      return Say("section %s: 0x%X to 0x%llX reaches past SizeOfImage 0x%X", name.c_str(),
                 s.virtualAddress, static_cast<unsigned long long>(end), m.sizeOfImage);
    }
    return "";
  }

  std::string CheckOrder(const Section &before, const Section &s) const {
    const std::string name = Printable(s.name), other = Printable(before.name);
    if (s.virtualAddress == before.virtualAddress) {
      return Say("section %s is at the same address (0x%X) as section %s", name.c_str(),
                 s.virtualAddress, other.c_str());
    }
    if (s.virtualAddress < before.virtualAddress) {
      return Say("section %s (0x%X) comes before section %s (0x%X): sections out of order",
                 name.c_str(), s.virtualAddress, other.c_str(), before.virtualAddress);
    }
    const uint32_t end = before.virtualAddress + before.MemorySize();  // checked: no wrap
    if (s.virtualAddress < end) {
      return Say("section %s (0x%X) overlaps section %s (0x%X to 0x%X)", name.c_str(),
                 s.virtualAddress, other.c_str(), before.virtualAddress, end);
    }
    return "";
  }

  std::string CheckEntryPoint() {
    const Image &m = image_;
    if (m.entryPoint == 0) return "no entry point (AddressOfEntryPoint is 0)";
    if (m.entryPoint >= m.sizeOfImage) {
      return Say("entry point 0x%X lies outside the image (SizeOfImage 0x%X)", m.entryPoint,
                 m.sizeOfImage);
    }
    const Section *s = m.SectionAt(m.entryPoint);
    if (s == nullptr) return Say("entry point 0x%X lies in no section", m.entryPoint);
    if ((s->characteristics & kSectionExecute) == 0) {
      return Say("entry point 0x%X lies in section %s, which is not executable", m.entryPoint,
                 Printable(s->name).c_str());
    }
    return "";
  }

  // The file offset of [rva, rva + size) when one section's data on file holds all of it.
  bool FileOffsetOf(uint32_t rva, uint32_t size, uint64_t &offset) const {
    const Section *s = image_.SectionAt(rva);
    if (s == nullptr || uint64_t{rva} + size > uint64_t{s->virtualAddress} + s->FileBackedSize()) {
      return false;
    }
    offset = uint64_t{s->rawPointer} + (rva - s->virtualAddress);
    return true;
  }

  std::string ReadDirectories() {
    const Image &m = image_;
    for (uint32_t i = 0; i < m.directories.size(); ++i) {
      const DataDirectory d = m.directories[i];
      if (!d.Present()) continue;
      const char *name = kDirectoryNames[i];
      if (i == kTlsDirectory && d.size != kTlsDirectorySize) {
        return Say("the TLS directory (0x%X bytes) is not the 0x%zX bytes of a PE32+ one", d.size,
                   kTlsDirectorySize);
      }
      if (i == kCertificateDirectory) {
        if (uint64_t{d.rva} + d.size >= kFourGiB || !InFile(d.rva, d.size)) {
          return PastTheEnd(
              Say("the certificate directory (offset 0x%X, 0x%X bytes)", d.rva, d.size));
        }
        continue;
      }
      if (uint64_t{d.rva} + d.size >= kFourGiB) {
        return Say("the %s directory (0x%X, 0x%X bytes) wraps past 4 GiB", name, d.rva, d.size);
      }
      if (uint64_t{d.rva} + d.size > m.sizeOfImage) {
        return Say("the %s directory (0x%X, 0x%X bytes) lies outside the image (SizeOfImage 0x%X)",
                   name, d.rva, d.size, m.sizeOfImage);
      }
      uint64_t offset = 0;
      if (!FileOffsetOf(d.rva, d.size, offset)) {
        return Say("the %s directory (0x%X, 0x%X bytes) lies outside every section's data on file",
                   name, d.rva, d.size);
      }
    }
    return "";
  }

  // The blocks a loader walks to relocate the image: each a page RVA, its size, then 16-bit
  // entries of type and offset in the page.
  std::string ReadRelocations() {
    Image &m = image_;
    const DataDirectory d = m.Directory(kBaseRelocationDirectory);
    if (d.size == 0) return "";
    uint64_t at = 0;
    FileOffsetOf(d.rva, d.size, at);  // the directories are checked
    for (uint32_t done = 0; done < d.size;) {
      const uint32_t blockRva = d.rva + done;
      if (d.size - done < kBlockHeaderSize) {
        return Say("base relocation block at 0x%X: its 8-byte header runs past the directory",
                   blockRva);
      }
      const uint32_t page = Get<uint32_t>(at + done);
      const uint32_t blockSize = Get<uint32_t>(at + done + 4);
      if (blockSize < kBlockHeaderSize || blockSize % 4 != 0) {
        return Say(
            "base relocation block at 0x%X: SizeOfBlock 0x%X is short of its 8-byte header or "
            "not a multiple of 4",
            blockRva, blockSize);
      }
      if (blockSize > d.size - done) {
        return Say(
            "base relocation block at 0x%X: SizeOfBlock 0x%X runs past the directory "
            "(0x%X bytes left)",
            blockRva, blockSize, d.size - done);
      }
      for (uint32_t e = kBlockHeaderSize; e < blockSize; e += 2) {
        const uint16_t entry = Get<uint16_t>(at + done + e);
        const uint8_t type = static_cast<uint8_t>(entry >> 12);
        if (type == kRelocationAbsolute) continue;
        const uint64_t rva = uint64_t{page} + (entry & 0xFFF);
        if (type != kRelocationDir64 && type != kRelocationHighLow) {
          return Say("base relocation at 0x%llX: type %u, which an x64 loader does not apply",
                     static_cast<unsigned long long>(rva), type);
        }
        const uint32_t width = type == kRelocationDir64 ? 8 : 4;
        if (rva + width > m.sizeOfImage) {
          return Say("base relocation at 0x%llX: its %u bytes reach past SizeOfImage 0x%X",
                     static_cast<unsigned long long>(rva), width, m.sizeOfImage);
        }
        m.relocations.push_back({static_cast<uint32_t>(rva), type});
      }
      done += blockSize;
    }
    return "";
  }

  std::string ReadDebugEntries() {
    Image &m = image_;
    const DataDirectory d = m.Directory(kDebugDirectory);
    if (d.size % kDebugEntrySize != 0) {
      return Say("the debug directory (0x%X bytes) is no whole number of 28-byte entries", d.size);
    }
    uint64_t at = 0;
    if (d.size != 0) FileOffsetOf(d.rva, d.size, at);
    for (uint32_t i = 0; i < d.size / kDebugEntrySize; ++i) {
      DebugEntry e;
      e.entry = static_cast<size_t>(at + kDebugEntrySize * i);
      e.type = Get<uint32_t>(e.entry + kDebugType);
      e.dataSize = Get<uint32_t>(e.entry + kDebugSizeOfData);
      e.dataRva = Get<uint32_t>(e.entry + kDebugAddressOfRawData);
      e.dataOffset = Get<uint32_t>(e.entry + kDebugPointerToRawData);
      if (e.dataSize != 0 && e.dataRva != 0 && uint64_t{e.dataRva} + e.dataSize > m.sizeOfImage) {
        return Say(
            "debug entry %u: its data (0x%X, 0x%X bytes) lies outside the image "
            "(SizeOfImage 0x%X)",
            i, e.dataRva, e.dataSize, m.sizeOfImage);
      }
      // Tools that rewrite the data (GenFw zeroes it) find it by its file offset.
      if (e.dataSize != 0 && e.dataOffset == 0) {
        return Say("debug entry %u: 0x%X bytes of data with no file offset (PointerToRawData 0)", i,
                   e.dataSize);
      }
      if (e.dataSize != 0 && !InFile(e.dataOffset, e.dataSize)) {
        return PastTheEnd(
            Say("debug entry %u: its data (offset 0x%X, 0x%X bytes)", i, e.dataOffset, e.dataSize));
      }
      m.debugEntries.push_back(e);
    }
    return "";
  }

  std::span<const uint8_t> bytes_;
  Accept accept_;
  Image image_;
  uint64_t strings_ = 0;
  uint32_t stringsSize_ = 0;
};

}  // namespace

DataDirectory Image::Directory(uint32_t index) const {
  return index < directories.size() ? directories[index] : DataDirectory{};
}

const Section *Image::SectionAt(uint32_t rva) const {
  for (const Section &s : sections) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < s.MemorySize()) return &s;
  }
  return nullptr;
}

Reading ReadImage(std::span<const uint8_t> bytes, Accept accept) {
  Reader reader(bytes, accept);
  Reading reading;
  reading.problem = reader.Read();
  if (reading.ok()) reading.image = std::move(reader.image());
  return reading;
}

}  // namespace pecoff
