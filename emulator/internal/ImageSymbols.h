// The function names of a host image, read from its ELF symbol table, so that the call log can
// say which driver function the platform had entered and which function an event notifies.
#ifndef EMULATOR_IMAGE_SYMBOLS_H_
#define EMULATOR_IMAGE_SYMBOLS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {

class ImageSymbols {
 public:
  // The symbols of the image file at `path`, read once per path and shared after that (an
  // image is loaded afresh for every boot). Empty when the file has no symbol table.
  static std::shared_ptr<const ImageSymbols> Of(const std::string &path);

  // The unqualified name of the function that covers `offset` from the image's load base
  // ("SmbiosSlotNotify"), or "" when no function does.
  std::string FunctionAt(uint64_t offset) const;

 private:
  struct Function {
    uint64_t begin;
    uint64_t end;
    std::string name;
  };
  void Read(const std::string &path);

  std::vector<Function> functions_;  // by begin
};

}  // namespace emu

#endif  // EMULATOR_IMAGE_SYMBOLS_H_
