#include "ImageSymbols.h"

#include <cxxabi.h>
#include <elf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

namespace emu {

namespace {

// "RootPortAdjustNotify(void*, void*)" -> "RootPortAdjustNotify"; C names stay as they are.
std::string PlainName(const char *symbol) {
  int status = 0;
  char *demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : symbol;
  std::free(demangled);
  size_t open = name.find('(');
  if (open != std::string::npos) name.erase(open);
  return name;
}

template <typename T>
bool ReadAt(const std::vector<char> &file, uint64_t offset, T &out) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, file.data() + offset, sizeof(T));
  return true;
}

}  // namespace

std::shared_ptr<const ImageSymbols> ImageSymbols::Of(const std::string &path) {
  static std::map<std::string, std::shared_ptr<const ImageSymbols>> cache;
  auto &entry = cache[path];
  if (!entry) {
    auto symbols = std::make_shared<ImageSymbols>();
    symbols->Read(path);
    entry = std::move(symbols);
  }
  return entry;
}

// The static symbol table when the image has one (local functions are named only there), the
// dynamic one otherwise.
void ImageSymbols::Read(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Elf64_Ehdr header;
  if (!ReadAt(file, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr)) {
    return;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  for (size_t i = 0; i < sections.size(); ++i) {
    if (!ReadAt(file, header.e_shoff + i * sizeof(Elf64_Shdr), sections[i])) return;
  }
  const Elf64_Shdr *table = nullptr;
  for (uint32_t wanted : {SHT_SYMTAB, SHT_DYNSYM}) {
    for (const Elf64_Shdr &section : sections) {
      if (table == nullptr && section.sh_type == wanted && section.sh_link < sections.size()) {
        table = &section;
      }
    }
  }
  if (table == nullptr || table->sh_entsize != sizeof(Elf64_Sym)) return;
  const Elf64_Shdr &strings = sections[table->sh_link];
  for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= table->sh_size; at += sizeof(Elf64_Sym)) {
    Elf64_Sym symbol;
    if (!ReadAt(file, table->sh_offset + at, symbol)) return;
    if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_size == 0 ||
        symbol.st_name >= strings.sh_size || strings.sh_offset + strings.sh_size > file.size()) {
      continue;
    }
    const char *name = file.data() + strings.sh_offset + symbol.st_name;
    if (std::memchr(name, '\0', strings.sh_size - symbol.st_name) == nullptr) continue;
    functions_.push_back(
        Function{symbol.st_value, symbol.st_value + symbol.st_size, PlainName(name)});
  }
  std::sort(functions_.begin(), functions_.end(),
            [](const Function &a, const Function &b) { return a.begin < b.begin; });
}

std::string ImageSymbols::FunctionAt(uint64_t offset) const {
  auto after = std::upper_bound(functions_.begin(), functions_.end(), offset,
                                [](uint64_t value, const Function &f) { return value < f.begin; });
  if (after == functions_.begin()) return "";
  const Function &candidate = *std::prev(after);
  return offset < candidate.end ? candidate.name : "";
}

}  // namespace emu
