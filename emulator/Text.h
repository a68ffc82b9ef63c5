// The text forms the emulator reads and writes: numbers in board files and reports, GUIDs in
// the call log.
#ifndef EMULATOR_TEXT_H_
#define EMULATOR_TEXT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Uefi.h"

namespace emu {

// "0x1A05C"; with `digits`, zero-padded to at least that many digits ("0x0001A05C").
std::string Hex(uint64_t value, int digits = 0);

// Parses a decimal or 0x-prefixed hexadecimal number no larger than `max`.
bool ParseNumber(const std::string &text, uint64_t max, uint64_t &value);

// A piece of outside text fit to quote in a one-line message: every byte that is not printable
// ASCII written as \xNN, and anything past `most` characters cut, saying how long it was.
std::string EchoText(const std::string &text, size_t most = 80);

// Bytes as hexadecimal digits, two a byte, no separator: "0A06400012".
std::string HexBytes(const uint8_t *bytes, size_t count);

// "EFI_SUCCESS", "EFI_NOT_FOUND", ... or the value in hexadecimal.
std::string StatusName(EFI_STATUS status);
// The status a name such as "EFI_NOT_FOUND" stands for; false for a name of no status.
bool ParseStatusName(const std::string &name, EFI_STATUS &status);
// Every status name, in the order of their values.
std::vector<std::string> StatusNames();

// GUID text in registry form, "11B34006-D85B-4D0A-A290-D5A571310EF7".
std::string GuidToString(const EFI_GUID &guid);

}  // namespace emu

#endif  // EMULATOR_TEXT_H_
