#include "SymbolFile.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace fw {

namespace {

constexpr size_t kSymbolSize = 18;
constexpr uint16_t kFunctionType = 0x20;  // complex type "function"
constexpr uint32_t kExecutable = 0x20000000;

template <typename T>
bool ReadAt(const std::vector<uint8_t> &bytes, uint64_t offset, T &value) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return true;
}

}  // namespace

std::string PlainSymbolName(const std::string &symbol) {
  if (symbol.size() < 2 || symbol[0] != '?') return symbol;
  return symbol.substr(1, symbol.find('@') - 1);
}

bool SymbolFile::Read(const std::string &path, std::string &why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot read " + path;
    return false;
  }
  const std::vector<uint8_t> file(std::istreambuf_iterator<char>(in), {});
  why = path + " is not a symbol file (a PE32+ image with a symbol table)";
  uint32_t pe = 0, symbolTable = 0, symbolCount = 0, signature = 0;
  uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
  if (file.size() < 2 || file[0] != 'M' || file[1] != 'Z' || !ReadAt(file, 0x3C, pe) ||
      !ReadAt(file, pe, signature) || signature != 0x00004550 ||
      !ReadAt(file, pe + 6, sectionCount) || !ReadAt(file, pe + 12, symbolTable) ||
      !ReadAt(file, pe + 16, symbolCount) || !ReadAt(file, pe + 20, optionalSize) ||
      !ReadAt(file, pe + 24, magic) || magic != 0x20B || !ReadAt(file, pe + 24 + 24, imageBase_) ||
      symbolTable == 0) {
    return false;
  }
  std::vector<uint32_t> sectionRvas;
  const uint64_t table = uint64_t{pe} + 24 + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    uint32_t virtualSize = 0, rva = 0, characteristics = 0;
    if (!ReadAt(file, table + 40 * i + 8, virtualSize) || !ReadAt(file, table + 40 * i + 12, rva) ||
        !ReadAt(file, table + 40 * i + 36, characteristics)) {
      return false;
    }
    sectionRvas.push_back(rva);
    if (characteristics & kExecutable) code_[rva] = rva + virtualSize;
  }
  const uint64_t strings = uint64_t{symbolTable} + uint64_t{symbolCount} * kSymbolSize;
  uint32_t stringsSize = 0;
  if (!ReadAt(file, strings, stringsSize) || strings + stringsSize > file.size()) return false;
  for (uint32_t i = 0; i < symbolCount; ++i) {
    const uint64_t at = symbolTable + uint64_t{i} * kSymbolSize;
    uint32_t zeroes = 0, offset = 0, value = 0;
    int16_t section = 0;
    uint16_t type = 0;
    uint8_t auxiliary = 0;
    if (!ReadAt(file, at, zeroes) || !ReadAt(file, at + 4, offset) ||
        !ReadAt(file, at + 8, value) || !ReadAt(file, at + 12, section) ||
        !ReadAt(file, at + 14, type) || !ReadAt(file, at + 17, auxiliary)) {
      return false;
    }
    i += auxiliary;
    if (section <= 0 || static_cast<size_t>(section) > sectionRvas.size()) continue;
    std::string name;
    if (zeroes != 0) {
      const char *text = reinterpret_cast<const char *>(file.data() + at);
      name.assign(text, strnlen(text, 8));
    } else if (offset >= 4 && offset < stringsSize) {
      const char *text = reinterpret_cast<const char *>(file.data() + strings + offset);
      name.assign(text, strnlen(text, stringsSize - offset));
    }
    if (name.empty()) continue;
    const uint32_t rva = sectionRvas[section - 1] + value;
    const std::string plain = PlainSymbolName(name);
    symbols_.emplace(plain, rva);
    if ((type & 0xF0) == kFunctionType) functions_.emplace(rva, plain);
  }
  why.clear();
  return true;
}

std::optional<uint32_t> SymbolFile::Rva(const std::string &name) const {
  auto it = symbols_.find(name);
  if (it == symbols_.end()) return std::nullopt;
  return it->second;
}

std::string SymbolFile::FunctionAt(uint32_t rva) const {
  auto section = code_.upper_bound(rva);
  if (section == code_.begin() || rva >= std::prev(section)->second) return "";
  auto function = functions_.upper_bound(rva);
  if (function == functions_.begin()) return "";
  --function;
  return function->first >= std::prev(section)->first ? function->second : "";
}

}  // namespace fw
