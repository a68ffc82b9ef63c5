// DEBUG lines in the platform's own debug log, the way EDK II's DEBUG() reaches it through
// DebugLib on ReportStatusCode:
//
//   DEBUG_REPORT((DEBUG_INFO, "BoardSlotService: KVRN port %c in slot %u, code 0x%06x\n",
//                 Port, SlotIndex, Code));
//
// A DEBUG image (built with BOARD_DEBUG_REPORTS) hands each line to the Status Code Runtime
// Protocol as a debug information record: the error level, the arguments, the format string.
// The platform's status-code handler formats the text with EDK II's print rules, so a line
// carries EDK II's directives: %a (ASCII string), %s (UCS-2 string), %c, %d, %u, %x, %X, %p, %g
// (EFI_GUID *), %r (EFI_STATUS), %%; flags '-', '+', ' ', '0', a width and a precision (digits
// or '*'), and 'l' for 64-bit integers (%lx). In a RELEASE image a report compiles to nothing
// and its arguments are not evaluated, as EDK II's DEBUG() in a release build.
//
// Both builds check every report at compile time: one line each (the format ends in its only
// "\n"), printable ASCII, short enough for one record without pool, no directive EDK II's DebugLib
// and its print library read differently (','), and each argument of a type its directive reads
// whole: an int-sized integer for %d/%u/%x/%X/%c, any integer for the 'l' forms and '*', a
// 64-bit one for %r, CHAR8 * for %a, CHAR16 * for %s, EFI_GUID * for %g, any pointer for %p.
#ifndef SUPPORT_DEBUG_REPORT_H_
#define SUPPORT_DEBUG_REPORT_H_

#include "StatusCode.h"

#if defined(BOARD_DEBUG_REPORTS)
#define DEBUG_REPORT(Arguments) DebugReportLine Arguments
#else
#define DEBUG_REPORT(Arguments)  \
  do {                           \
    if constexpr (false) {       \
      DebugReportLine Arguments; \
    }                            \
  } while (0)
#endif

// The driver's name (its FFS file's), for lines reported from the code both drivers share:
// DEBUG_REPORT((DEBUG_WARN, "%a: ...\n", gEfiCallerBaseName, ...)). DEBUG images only.
extern const CHAR8 gEfiCallerBaseName[];

// Sends one record: the level, the format string of FormatSize bytes (its NUL included) and its
// argument slots. Reports nothing while the platform has no Status Code Runtime Protocol.
VOID ReportDebugLine(UINT32 ErrorLevel, const CHAR8 *Format, UINTN FormatSize,
                     const UINT64 *Arguments);

// ---- The compile-time check of a report --------------------------------------------------------

// What each directive reads from the argument list.
enum DEBUG_ARGUMENT_KIND : UINT8 {
  DebugArgumentInt,        // %d %u %x %X: an int
  DebugArgumentInt64,      // %ld %lu %lx %lX
  DebugArgumentAscii,      // %a
  DebugArgumentUnicode,    // %s %S
  DebugArgumentGuid,       // %g
  DebugArgumentStatus,     // %r
  DebugArgumentCharacter,  // %c
  DebugArgumentPointer,    // %p
  DebugArgumentCount,      // '*': a width or a precision
};

struct DEBUG_FORMAT_SHAPE {
  UINTN Size;   // of the format string, its NUL included
  UINTN Count;  // arguments read
  DEBUG_ARGUMENT_KIND Kinds[DEBUG_INFO_ARGUMENT_SLOTS];
};

// Each names a rule a report broke: evaluating a call to one stops the compilation there, and
// the compiler names it.
VOID DebugFormatMustEndInItsOnlyNewline();
VOID DebugFormatMustBePrintableAscii();
VOID DebugFormatTooLongForOneRecord();
VOID DebugFormatDirectiveNotUnderstood();
VOID DebugFormatHasMoreThanTwelveArguments();
VOID DebugReportArgumentCountDiffersFromTheFormats();
VOID DebugReportArgumentDoesNotFitItsDirective();

consteval VOID AddDebugArgument(DEBUG_FORMAT_SHAPE &Shape, DEBUG_ARGUMENT_KIND Kind) {
  if (Shape.Count == DEBUG_INFO_ARGUMENT_SLOTS) DebugFormatHasMoreThanTwelveArguments();
  Shape.Kinds[Shape.Count++] = Kind;
}

consteval bool IsDebugFormatDigit(CHAR8 Character) { return Character >= '0' && Character <= '9'; }

// A width or a precision: digits, or '*' for one read from the arguments.
consteval UINTN SkipDebugFormatCount(const CHAR8 *Format, UINTN Index, DEBUG_FORMAT_SHAPE &Shape) {
  if (Format[Index] == '*') {
    AddDebugArgument(Shape, DebugArgumentCount);
    return Index + 1;
  }
  while (IsDebugFormatDigit(Format[Index])) ++Index;
  return Index;
}

// One directive, from just past its '%': what it reads; returns the index past it.
consteval UINTN ParseDebugDirective(const CHAR8 *Format, UINTN Index, DEBUG_FORMAT_SHAPE &Shape) {
  if (Format[Index] == '%') return Index + 1;
  while (Format[Index] == '-' || Format[Index] == '+' || Format[Index] == ' ' ||
         Format[Index] == '0') {
    ++Index;
  }
  Index = SkipDebugFormatCount(Format, Index, Shape);
  if (Format[Index] == '.') Index = SkipDebugFormatCount(Format, Index + 1, Shape);
  const bool Long = Format[Index] == 'l' || Format[Index] == 'L';
  if (Long) ++Index;
  switch (Format[Index]) {
    case 'd':
    case 'u':
    case 'x':
    case 'X':
      AddDebugArgument(Shape, Long ? DebugArgumentInt64 : DebugArgumentInt);
      return Index + 1;
    case 'a':
    case 's':
    case 'S':
    case 'g':
    case 'r':
    case 'c':
    case 'p':
      if (Long) DebugFormatDirectiveNotUnderstood();
      AddDebugArgument(Shape, Format[Index] == 'a'   ? DebugArgumentAscii
                              : Format[Index] == 'g' ? DebugArgumentGuid
                              : Format[Index] == 'r' ? DebugArgumentStatus
                              : Format[Index] == 'c' ? DebugArgumentCharacter
                              : Format[Index] == 'p' ? DebugArgumentPointer
                                                     : DebugArgumentUnicode);
      return Index + 1;
    default:
      DebugFormatDirectiveNotUnderstood();
      return Index;
  }
}

consteval DEBUG_FORMAT_SHAPE ParseDebugFormat(const CHAR8 *Format) {
  DEBUG_FORMAT_SHAPE Shape = {};
  UINTN Index = 0;
  while (Format[Index] != '\0') {
    const CHAR8 Character = Format[Index];
    if (Character == '\n') {
      if (Format[Index + 1] != '\0') DebugFormatMustEndInItsOnlyNewline();
      ++Index;
    } else if (Character < ' ' || Character > '~') {
      DebugFormatMustBePrintableAscii();
    } else if (Character == '%') {
      Index = ParseDebugDirective(Format, Index + 1, Shape);
    } else {
      ++Index;
    }
  }
  if (Index == 0 || Format[Index - 1] != '\n') DebugFormatMustEndInItsOnlyNewline();
  Shape.Size = Index + 1;
  if (Shape.Size > DEBUG_INFO_MAX_FORMAT_SIZE) DebugFormatTooLongForOneRecord();
  return Shape;
}

// The argument types each directive kind takes, as a mask of kinds.
template <typename T>
struct DEBUG_ARGUMENT_TYPE {
  static constexpr UINT32 Kinds = 0;
};
template <typename T>
struct DEBUG_ARGUMENT_TYPE<const T> : DEBUG_ARGUMENT_TYPE<T> {};
template <typename T>
struct DEBUG_ARGUMENT_TYPE<volatile T> : DEBUG_ARGUMENT_TYPE<T> {};
template <typename T>
struct DEBUG_ARGUMENT_TYPE<const volatile T> : DEBUG_ARGUMENT_TYPE<T> {};

constexpr UINT32 DebugKinds(DEBUG_ARGUMENT_KIND Kind) { return 1u << Kind; }

template <UINTN Size>
constexpr UINT32 DebugIntegerKinds() {
  static_assert(Size <= 8, "integers of up to 64 bits");
  return DebugKinds(DebugArgumentInt64) | DebugKinds(DebugArgumentCount) |
         (Size <= 4 ? DebugKinds(DebugArgumentInt) | DebugKinds(DebugArgumentCharacter)
                    : DebugKinds(DebugArgumentStatus));
}

#define DEBUG_INTEGER_ARGUMENT(Type)                                   \
  template <>                                                          \
  struct DEBUG_ARGUMENT_TYPE<Type> {                                   \
    static constexpr UINT32 Kinds = DebugIntegerKinds<sizeof(Type)>(); \
  }
DEBUG_INTEGER_ARGUMENT(bool);
DEBUG_INTEGER_ARGUMENT(char);
DEBUG_INTEGER_ARGUMENT(signed char);
DEBUG_INTEGER_ARGUMENT(unsigned char);
DEBUG_INTEGER_ARGUMENT(char16_t);
DEBUG_INTEGER_ARGUMENT(short);
DEBUG_INTEGER_ARGUMENT(unsigned short);
DEBUG_INTEGER_ARGUMENT(int);
DEBUG_INTEGER_ARGUMENT(unsigned int);
DEBUG_INTEGER_ARGUMENT(long);
DEBUG_INTEGER_ARGUMENT(unsigned long);
DEBUG_INTEGER_ARGUMENT(long long);
DEBUG_INTEGER_ARGUMENT(unsigned long long);
#undef DEBUG_INTEGER_ARGUMENT

template <typename T>
struct DEBUG_ARGUMENT_TYPE<T *> {
  static constexpr UINT32 Kinds = DebugKinds(DebugArgumentPointer);
};
template <>
struct DEBUG_ARGUMENT_TYPE<const CHAR8 *> {
  static constexpr UINT32 Kinds = DebugKinds(DebugArgumentPointer) | DebugKinds(DebugArgumentAscii);
};
template <>
struct DEBUG_ARGUMENT_TYPE<CHAR8 *> : DEBUG_ARGUMENT_TYPE<const CHAR8 *> {};
template <>
struct DEBUG_ARGUMENT_TYPE<const CHAR16 *> {
  static constexpr UINT32 Kinds =
      DebugKinds(DebugArgumentPointer) | DebugKinds(DebugArgumentUnicode);
};
template <>
struct DEBUG_ARGUMENT_TYPE<CHAR16 *> : DEBUG_ARGUMENT_TYPE<const CHAR16 *> {};
template <>
struct DEBUG_ARGUMENT_TYPE<const EFI_GUID *> {
  static constexpr UINT32 Kinds = DebugKinds(DebugArgumentPointer) | DebugKinds(DebugArgumentGuid);
};
template <>
struct DEBUG_ARGUMENT_TYPE<EFI_GUID *> : DEBUG_ARGUMENT_TYPE<const EFI_GUID *> {};
template <>
struct DEBUG_ARGUMENT_TYPE<decltype(nullptr)> {
  static constexpr UINT32 Kinds = DebugKinds(DebugArgumentPointer) |
                                  DebugKinds(DebugArgumentAscii) |
                                  DebugKinds(DebugArgumentUnicode) | DebugKinds(DebugArgumentGuid);
};

// An enumeration is read as the integer it is.
template <typename T>
constexpr UINT32 DebugArgumentKindsOf() {
  if constexpr (__is_enum(T)) {
    return DebugIntegerKinds<sizeof(T)>();
  } else {
    return DEBUG_ARGUMENT_TYPE<T>::Kinds;
  }
}

template <typename T>
struct DEBUG_FORMAT_ARGUMENT {
  using Type = T;
};

// A report's format string, checked against the arguments' types when the report is compiled.
template <typename... Arguments>
struct DEBUG_FORMAT {
  template <UINTN Size>
  consteval DEBUG_FORMAT(const CHAR8 (&Format)[Size])
      : Text(Format), Shape(ParseDebugFormat(Format)) {
    if (Shape.Size != Size) DebugFormatMustBePrintableAscii();  // a NUL inside
    if (Shape.Count != sizeof...(Arguments)) DebugReportArgumentCountDiffersFromTheFormats();
    const UINT32 Accepted[] = {DebugArgumentKindsOf<Arguments>()..., 0};
    for (UINTN Index = 0; Index < Shape.Count; ++Index) {
      if ((Accepted[Index] & DebugKinds(Shape.Kinds[Index])) == 0) {
        DebugReportArgumentDoesNotFitItsDirective();
      }
    }
  }
  const CHAR8 *Text;
  DEBUG_FORMAT_SHAPE Shape;
};

// An argument's 64-bit slot, as EDK II's DebugLib fills it: an int in the low half (the other
// half is zero here), anything else whole.
template <typename T>
inline UINT64 DebugArgumentSlot(DEBUG_ARGUMENT_KIND Kind, T Value) {
  if constexpr (DebugArgumentKindsOf<T>() & DebugKinds(DebugArgumentPointer)) {
    return reinterpret_cast<UINTN>(Value);
  } else if (Kind == DebugArgumentInt || Kind == DebugArgumentCharacter) {
    return static_cast<UINT32>(Value);
  } else {
    return static_cast<UINT64>(Value);
  }
}

template <typename... Arguments>
inline VOID DebugReportLine(UINT32 ErrorLevel,
                            DEBUG_FORMAT<typename DEBUG_FORMAT_ARGUMENT<Arguments>::Type...> Format,
                            Arguments... Values) {
  UINT64 Slots[DEBUG_INFO_ARGUMENT_SLOTS] = {};
  [[maybe_unused]] UINTN Slot = 0;
  ((Slots[Slot] = DebugArgumentSlot(Format.Shape.Kinds[Slot], Values), ++Slot), ...);
  ReportDebugLine(ErrorLevel, Format.Text, Format.Shape.Size, Slots);
}

#endif  // SUPPORT_DEBUG_REPORT_H_
