// EDK II's print rules for one DEBUG line. The handler formats into a buffer of fixed size and
// stops writing at its end, so the text is the start of what the rules produce. The rules, as
// EDK II's BasePrintLib applies them to an ASCII format:
//   - '%' takes flags in any order: '-' (left-justify), '+', ' ' (sign or blank prefix), ','
//     (thousands separators, decimal only), '0' (zero padding, unless a precision came first),
//     'l'/'L' (64-bit), digits or '*' (a width, or after '.' a precision, '*' read as a UINTN);
//   - %d %u %x %X read an int, or an INT64 with 'l'; hexadecimal digits are upper case, %X and
//     %p pad with zeros to the width, %p reads 64 bits; %a and %s are ASCII and UCS-2 strings
//     (each character's low byte is written), a null one reads "<null string>"; %c is a UINTN's
//     low 16 bits; %g is a GUID in registry form or "<null guid>"; %t an EFI_TIME or
//     "<null time>"; %r a status's name or its low 32 bits as %08X; any other character after
//     the flags, '%' too, is written as it is;
//   - "\n" and "\n\r" are written "\r\n", "\r\n" stays, a lone "\r" stays.
#include "Edk2Print.h"

#include <cstring>
#include <iterator>

namespace emu {

namespace {

const char kDigits[] = "0123456789ABCDEF";

const char *const kWarningNames[] = {"Success",
                                     "Warning Unknown Glyph",
                                     "Warning Delete Failure",
                                     "Warning Write Failure",
                                     "Warning Buffer Too Small",
                                     "Warning Stale Data"};
const char *const kErrorNames[] = {
    "Load Error",           "Invalid Parameter",  "Unsupported",
    "Bad Buffer Size",      "Buffer Too Small",   "Not Ready",
    "Device Error",         "Write Protected",    "Out of Resources",
    "Volume Corrupt",       "Volume Full",        "No Media",
    "Media changed",        "Not Found",          "Access Denied",
    "No Response",          "No mapping",         "Time out",
    "Not started",          "Already started",    "Aborted",
    "ICMP Error",           "TFTP Error",         "Protocol Error",
    "Incompatible Version", "Security Violation", "CRC Error",
    "End of Media",         "Reserved (29)",      "Reserved (30)",
    "End of File",          "Invalid Language",   "Compromised Data"};

// A string argument is read up to its terminating NUL, and no further than this: past it the
// line is taken for one whose pointer names no string.
constexpr size_t kMostStringUnits = 65536;

// The directive's state, as the flags and the argument set it.
struct Directive {
  bool leftJustify = false, prefixSign = false, prefixBlank = false, prefixZero = false;
  bool comma = false, longType = false, padToWidth = false, precisionGiven = false;
  bool unsignedType = false, hex = false, isNumber = false;
  uint64_t width = 0;
  uint64_t precision = 1;
  char prefix = 0;
  std::string argument;  // the characters to write, in order
};

class Printer {
 public:
  Printer(const std::string &format, size_t bufferSize, const Edk2PrintSource &source)
      : format_(format), cap_(bufferSize == 0 ? 0 : bufferSize - 1), source_(source) {}

  Edk2PrintResult Run() {
    Edk2PrintResult result;
    while (At(at_) != '\0' && text_.size() < cap_ && problem_.empty()) {
      Directive d;
      const char c = At(at_);
      if (c == '%') {
        ReadDirective(d);
      } else if (c == '\r' || c == '\n') {
        LineBreak(d, c);
      } else {
        d.argument = std::string(1, c);
      }
      if (!problem_.empty()) break;
      Write(d);
      ++at_;
    }
    result.text = text_;
    result.problem = problem_;
    return result;
  }

 private:
  char At(size_t index) const { return index < format_.size() ? format_[index] : '\0'; }

  void Put(char c, int64_t count = 1) {
    for (int64_t i = 0; i < count && text_.size() < cap_; ++i) text_.push_back(c);
  }

  bool NextSlot(uint64_t &value, const char *what) {
    if (source_.nextSlot(value)) return true;
    problem_ =
        std::string("the format reads more arguments than the record holds (at ") + what + ")";
    return false;
  }

  // "\n" and "\n\r" give "\r\n"; "\r\n" stays; a lone "\r" stays.
  void LineBreak(Directive &d, char c) {
    if (c == '\r') {
      d.argument = At(at_ + 1) == '\n' ? "\r\n" : "\r";
      if (At(at_ + 1) == '\n') ++at_;
    } else {
      d.argument = "\r\n";
      if (At(at_ + 1) == '\r') ++at_;
    }
  }

  void ReadDirective(Directive &d) {
    char c;
    for (bool done = false; !done;) {
      c = At(++at_);
      switch (c) {
        case '.':
          d.precisionGiven = true;
          break;
        case '-':
          d.leftJustify = true;
          break;
        case '+':
          d.prefixSign = true;
          break;
        case ' ':
          d.prefixBlank = true;
          break;
        case ',':
          d.comma = true;
          break;
        case 'l':
        case 'L':
          d.longType = true;
          break;
        case '*': {
          uint64_t value = 0;
          if (!NextSlot(value, "'*'")) return;
          if (!d.precisionGiven) {
            d.padToWidth = true;
            d.width = value;
          } else {
            d.precision = value;
          }
          break;
        }
        case '0':
          if (!d.precisionGiven) d.prefixZero = true;
          [[fallthrough]];
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': {
          uint64_t count = 0;
          while (At(at_) >= '0' && At(at_) <= '9') count = count * 10 + (At(at_++) - '0');
          --at_;
          if (!d.precisionGiven) {
            d.padToWidth = true;
            d.width = count;
          } else {
            d.precision = count;
          }
          break;
        }
        case '\0':
          // The format ends inside the directive: it writes nothing but its padding.
          --at_;
          d.precision = 0;
          done = true;
          break;
        default:
          done = true;
          break;
      }
    }
    Argument(d, c);
  }

  void Argument(Directive &d, char c) {
    switch (c) {
      case 'p':
        d.prefixBlank = d.prefixSign = d.prefixZero = false;
        d.longType = true;
        [[fallthrough]];
      case 'X':
        d.prefixZero = true;
        [[fallthrough]];
      case 'x':
        d.hex = true;
        [[fallthrough]];
      case 'u':
        if (!d.hex) {
          d.prefixSign = false;
          d.unsignedType = true;
        }
        [[fallthrough]];
      case 'd':
        Number(d, c);
        return;
      case 's':
      case 'S':
      case 'a':
        String(d, c);
        return;
      case 'c': {
        uint64_t value = 0;
        if (!NextSlot(value, "%c")) return;
        const uint16_t character = static_cast<uint16_t>(value & 0xFFFF);
        if (character != 0) d.argument = std::string(1, static_cast<char>(character));
        return;
      }
      case 'g':
        Guid(d);
        return;
      case 't':
        Time(d);
        return;
      case 'r':
        Status(d);
        return;
      case '\r':
      case '\n':
        LineBreak(d, c);
        return;
      case '\0':
        return;
      default:
        d.argument = std::string(1, c);
        return;
    }
  }

  void Number(Directive &d, char type) {
    uint64_t slot = 0;
    if (!NextSlot(slot, type == 'p' ? "%p" : "a number")) return;
    int64_t value = d.longType ? static_cast<int64_t>(slot)
                               : static_cast<int64_t>(static_cast<int32_t>(slot & 0xFFFFFFFF));
    if (d.prefixBlank) d.prefix = ' ';
    if (d.prefixSign) d.prefix = '+';
    bool comma = d.comma;
    unsigned radix = 16;
    if (!d.hex) {
      radix = 10;
      if (comma) {
        d.prefixZero = false;
        d.precision = 1;
      }
      if (value < 0 && !d.unsignedType) {
        d.prefix = '-';
        value = static_cast<int64_t>(0 - static_cast<uint64_t>(value));
      } else if (d.unsignedType && !d.longType) {
        value = static_cast<int64_t>(static_cast<uint32_t>(value));
      }
    } else {
      comma = false;
      if (!d.longType && value < 0) value = static_cast<int64_t>(static_cast<uint32_t>(value));
    }
    std::string digits;
    uint64_t magnitude = static_cast<uint64_t>(value);
    do {
      digits.insert(digits.begin(), kDigits[magnitude % radix]);
      magnitude /= radix;
    } while (magnitude != 0);
    if (value == 0 && d.precision == 0) digits.clear();
    if (comma) {
      for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    }
    d.argument = digits;
    d.isNumber = true;
    if (d.prefix != 0) ++d.precision;
    if (d.prefixZero && !d.leftJustify && d.padToWidth && !d.precisionGiven) {
      d.precision = d.width;
    }
  }

  // Reads a NUL-terminated string of `unit`-byte characters, no more than `most` of them.
  bool ReadString(uint64_t address, size_t unit, uint64_t most, std::string &out) {
    for (uint64_t count = 0; count < most; ++count) {
      if (count == kMostStringUnits) {
        problem_ = "a string argument has no end within " + std::to_string(kMostStringUnits) +
                   " characters";
        return false;
      }
      uint16_t character = 0;
      if (!source_.read(address + count * unit, &character, unit)) {
        problem_ = "a string argument runs into memory that cannot be read";
        return false;
      }
      if (character == 0) break;
      out.push_back(static_cast<char>(character & 0xFF));
    }
    return true;
  }

  void String(Directive &d, char type) {
    uint64_t address = 0;
    if (!NextSlot(address, type == 'a' ? "%a" : "%s")) return;
    const uint64_t most = d.precisionGiven ? d.precision : UINT64_MAX;
    if (!d.precisionGiven) d.precision = 0;
    if (address == 0) {
      d.argument = std::string("<null string>").substr(0, most > 13 ? 13 : most);
      return;
    }
    ReadString(address, type == 'a' ? 1 : 2, most, d.argument);
  }

  template <typename... Values>
  static std::string Hex(int digits, Values... values) {
    std::string text;
    const uint64_t list[] = {static_cast<uint64_t>(values)...};
    for (uint64_t value : list) {
      std::string part;
      do {
        part.insert(part.begin(), kDigits[value % 16]);
        value /= 16;
      } while (value != 0);
      while (part.size() < static_cast<size_t>(digits)) part.insert(part.begin(), '0');
      text += part;
    }
    return text;
  }

  // The structure a %g or %t argument points at: false (with the argument's null text or a
  // problem set) when there is none to decode.
  bool ReadPointee(Directive &d, const char *what, const char *nullText, uint8_t *bytes,
                   size_t size) {
    uint64_t address = 0;
    if (!NextSlot(address, what)) return false;
    if (address == 0) {
      d.argument = nullText;
      return false;
    }
    if (!source_.read(address, bytes, size)) {
      problem_ = std::string("a ") + what + " argument names memory that cannot be read";
      return false;
    }
    return true;
  }

  void Guid(Directive &d) {
    uint8_t bytes[16];
    if (!ReadPointee(d, "%g", "<null guid>", bytes, sizeof(bytes))) return;
    uint32_t data1;
    uint16_t data2, data3;
    std::memcpy(&data1, bytes, 4);
    std::memcpy(&data2, bytes + 4, 2);
    std::memcpy(&data3, bytes + 6, 2);
    d.argument = Hex(8, data1) + "-" + Hex(4, data2) + "-" + Hex(4, data3) + "-" +
                 Hex(2, bytes[8], bytes[9]) + "-" +
                 Hex(2, bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  }

  static std::string Decimal(uint64_t value, size_t digits) {
    std::string text = std::to_string(value);
    while (text.size() < digits) text.insert(text.begin(), '0');
    return text;
  }

  // EFI_TIME: Year (16 bits), Month, Day, Hour, Minute.
  void Time(Directive &d) {
    uint8_t time[6];
    if (!ReadPointee(d, "%t", "<null time>", time, sizeof(time))) return;
    d.argument = Decimal(time[2], 2) + "/" + Decimal(time[3], 2) + "/" +
                 Decimal(time[0] | time[1] << 8, 4) + "  " + Decimal(time[4], 2) + ":" +
                 Decimal(time[5], 2);
  }

  void Status(Directive &d) {
    uint64_t status = 0;
    if (!NextSlot(status, "%r")) return;
    const uint64_t index = status & ~(uint64_t{1} << 63);
    if ((status >> 63) != 0 && index >= 1 && index <= std::size(kErrorNames)) {
      d.argument = kErrorNames[index - 1];
    } else if ((status >> 63) == 0 && status < std::size(kWarningNames)) {
      d.argument = kWarningNames[status];
    } else {
      d.argument = Hex(8, status & 0xFFFFFFFF);  // "%08X" of the int it reads
    }
  }

  // The argument, padded to the width and the precision, as the buffer takes it.
  void Write(Directive &d) {
    uint64_t count = d.argument.size();
    if (d.isNumber && d.prefix != 0) ++count;
    if (!d.isNumber && d.precisionGiven && count > d.precision) count = d.precision;
    uint64_t precision = d.precision < count ? count : d.precision;
    if (d.padToWidth && !d.leftJustify) Put(' ', static_cast<int64_t>(d.width - precision));
    if (d.isNumber) {
      if (d.prefix != 0) Put(d.prefix);
      Put('0', static_cast<int64_t>(precision - count));
    } else {
      Put(' ', static_cast<int64_t>(precision - count));
    }
    const size_t length = d.isNumber ? d.argument.size() : static_cast<size_t>(count);
    for (size_t i = 0; i < length && i < d.argument.size(); ++i) Put(d.argument[i]);
    if (d.padToWidth && d.leftJustify) Put(' ', static_cast<int64_t>(d.width - precision));
  }

  const std::string &format_;
  const size_t cap_;
  const Edk2PrintSource &source_;
  size_t at_ = 0;
  std::string text_;
  std::string problem_;
};

}  // namespace

Edk2PrintResult Edk2Print(const std::string &format, size_t bufferSize,
                          const Edk2PrintSource &source) {
  return Printer(format, bufferSize, source).Run();
}

}  // namespace emu
