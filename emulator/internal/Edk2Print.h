// EDK II's print rules, as its status-code handler applies them to a DEBUG line: AsciiBSPrint
// of the record's format string over the record's argument slots. The emulated handler prints
// with them; the firmware tests hold its lines to what EDK II's own handler prints in OVMF.
#ifndef EMULATOR_INTERNAL_EDK2_PRINT_H_
#define EMULATOR_INTERNAL_EDK2_PRINT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace emu {

// Where the directives' arguments come from.
struct Edk2PrintSource {
  // The next 64-bit argument slot; false when there is none left.
  std::function<bool(uint64_t &slot)> nextSlot;
  // Copies memory a pointer argument names; false where it cannot be read.
  std::function<bool(uint64_t address, void *to, size_t length)> read;
};

struct Edk2PrintResult {
  std::string text;     // what EDK II writes into the buffer
  std::string problem;  // why EDK II would read what it has no business reading; "" for none
};

// Formats `format` (ASCII) as EDK II's print library does into a buffer of `bufferSize` bytes:
// the text stops at bufferSize - 1 characters. A directive that wants an argument the source
// cannot give (no slot left, a string or GUID that cannot be read, a string with no end within
// reach) ends the text with a problem: EDK II would read past the record or fault.
Edk2PrintResult Edk2Print(const std::string &format, size_t bufferSize,
                          const Edk2PrintSource &source);

}  // namespace emu

#endif  // EMULATOR_INTERNAL_EDK2_PRINT_H_
