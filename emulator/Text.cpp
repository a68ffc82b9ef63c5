#include "Text.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace emu {

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

namespace {

constexpr std::pair<EFI_STATUS, const char *> kStatusNames[] = {
    {EFI_SUCCESS, "EFI_SUCCESS"},
    {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
    {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
    {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
    {EFI_BAD_BUFFER_SIZE, "EFI_BAD_BUFFER_SIZE"},
    {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
    {EFI_NOT_READY, "EFI_NOT_READY"},
    {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
    {EFI_WRITE_PROTECTED, "EFI_WRITE_PROTECTED"},
    {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
    {EFI_VOLUME_CORRUPTED, "EFI_VOLUME_CORRUPTED"},
    {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
    {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
    {EFI_ALREADY_STARTED, "EFI_ALREADY_STARTED"},
    {EFI_ABORTED, "EFI_ABORTED"},
    {EFI_SECURITY_VIOLATION, "EFI_SECURITY_VIOLATION"},
};

}  // namespace

std::string HexBytes(const uint8_t *bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string EchoText(const std::string &text, size_t most) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (out.size() >= most) {
      return out + "... (" + std::to_string(text.size()) + " bytes)";
    }
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += std::string("\\x") + kDigits[c >> 4] + kDigits[c & 0xF];
    }
  }
  return out;
}

std::string StatusName(EFI_STATUS status) {
  for (const auto &[value, name] : kStatusNames) {
    if (value == status) return name;
  }
  return Hex(status);
}

bool ParseStatusName(const std::string &name, EFI_STATUS &status) {
  for (const auto &[value, known] : kStatusNames) {
    if (name == known) {
      status = value;
      return true;
    }
  }
  return false;
}

std::vector<std::string> StatusNames() {
  std::vector<std::string> names;
  for (const auto &entry : kStatusNames) names.push_back(entry.second);
  return names;
}

bool ParseNumber(const std::string &text, uint64_t max, uint64_t &value) {
  // A NUL inside the text would end the number early: "6\0junk" is not 6.
  if (text.find('\0') != std::string::npos) return false;
  // Decimal, or hexadecimal after "0x"; a leading zero does not mean octal.
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char *digits = text.c_str() + (hex ? 2 : 0);
  if (*digits == '\0' || !std::isxdigit(static_cast<unsigned char>(*digits))) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

std::string GuidToString(const EFI_GUID &guid) {
  char text[40];
  std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace emu
