#include "MemRoutines.h"

VOID CopyMem(VOID *Destination, const VOID *Source, UINTN Length) {
  UINT8 *To = static_cast<UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  if (To == From || Length == 0) {
    return;
  }
  if (To < From || To >= From + Length) {
    // No overlap that a forward copy would trample.
    for (UINTN Index = 0; Index < Length; ++Index) {
      To[Index] = From[Index];
    }
  } else {
    // Destination starts inside the source: copy from the end.
    for (UINTN Index = Length; Index > 0; --Index) {
      To[Index - 1] = From[Index - 1];
    }
  }
}

VOID SetMem(VOID *Buffer, UINTN Length, UINT8 Value) {
  UINT8 *Bytes = static_cast<UINT8 *>(Buffer);
  for (UINTN Index = 0; Index < Length; ++Index) {
    Bytes[Index] = Value;
  }
}

INTN CompareBytes(const VOID *First, const VOID *Second, UINTN Length) {
  const UINT8 *A = static_cast<const UINT8 *>(First);
  const UINT8 *B = static_cast<const UINT8 *>(Second);
  for (UINTN Index = 0; Index < Length; ++Index) {
    if (A[Index] != B[Index]) {
      return static_cast<INTN>(A[Index]) - static_cast<INTN>(B[Index]);
    }
  }
  return 0;
}
