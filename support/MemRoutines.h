// Byte routines that both drivers carry, so neither depends on a C library.
#ifndef SUPPORT_MEM_ROUTINES_H_
#define SUPPORT_MEM_ROUTINES_H_

#include "Uefi.h"

// Copies Length bytes; correct when the ranges overlap in either direction.
VOID CopyMem(VOID *Destination, const VOID *Source, UINTN Length);

// Fills Length bytes with Value.
VOID SetMem(VOID *Buffer, UINTN Length, UINT8 Value);

// Difference of the first pair of bytes that differ (first minus second, as unsigned bytes), or
// 0 when all Length bytes agree.
INTN CompareBytes(const VOID *First, const VOID *Second, UINTN Length);

// Whether two NUL-terminated texts are the same, for the tables built at compile time.
constexpr bool SameText(const CHAR8 *First, const CHAR8 *Second) {
  for (UINTN Index = 0;; ++Index) {
    if (First[Index] != Second[Index]) {
      return false;
    }
    if (First[Index] == 0) {
      return true;
    }
  }
}

// Unaligned little-endian load; the compiler turns it into a single move.
inline UINT64 ReadUnaligned64(const VOID *Address) {
  UINT64 Value;
  __builtin_memcpy(&Value, Address, sizeof(Value));
  return Value;
}

inline UINT16 ReadUnaligned16(const VOID *Address) {
  UINT16 Value;
  __builtin_memcpy(&Value, Address, sizeof(Value));
  return Value;
}

inline VOID WriteUnaligned16(VOID *Address, UINT16 Value) {
  __builtin_memcpy(Address, &Value, sizeof(Value));
}

// GUIDs are compared as two 64-bit halves, as the firmware's own lookups do.
inline bool GuidsMatch(const EFI_GUID *First, const EFI_GUID *Second) {
  const UINT8 *A = reinterpret_cast<const UINT8 *>(First);
  const UINT8 *B = reinterpret_cast<const UINT8 *>(Second);
  return ReadUnaligned64(A) == ReadUnaligned64(B) &&
         ReadUnaligned64(A + 8) == ReadUnaligned64(B + 8);
}

#endif  // SUPPORT_MEM_ROUTINES_H_
