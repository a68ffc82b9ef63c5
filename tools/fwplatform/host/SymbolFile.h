// A symbol file as add_firmware_image writes it (<name>.debug: the image linked with DWARF and a
// COFF symbol table), read for what the host needs of it: the image base the link assumed, the
// RVA of a symbol, and the function that holds an RVA. gdb reads the DWARF itself.
#ifndef TOOLS_FWPLATFORM_HOST_SYMBOL_FILE_H_
#define TOOLS_FWPLATFORM_HOST_SYMBOL_FILE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace fw {

class SymbolFile {
 public:
  // False, with the reason, for a file that is not a PE32+ image with a symbol table.
  bool Read(const std::string &path, std::string &why);

  uint64_t ImageBase() const { return imageBase_; }
  // A symbol by its plain name ("gHoldForDebugger", "SmbiosSlotNotify").
  std::optional<uint32_t> Rva(const std::string &name) const;
  // The function whose code holds `rva`, by its plain name; "" when none does.
  std::string FunctionAt(uint32_t rva) const;

 private:
  uint64_t imageBase_ = 0;
  std::map<std::string, uint32_t> symbols_;
  std::map<uint32_t, std::string> functions_;  // by start
  std::map<uint32_t, uint32_t> code_;          // executable sections: start -> end
};

// "?SmbiosSlotNotify@@YAXPEAX0@Z" -> "SmbiosSlotNotify"; C names stay as they are.
std::string PlainSymbolName(const std::string &symbol);

}  // namespace fw

#endif  // TOOLS_FWPLATFORM_HOST_SYMBOL_FILE_H_
