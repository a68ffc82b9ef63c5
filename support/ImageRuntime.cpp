// Routines the compiler may emit calls to (structure copies, zero-filled locals). Only the
// firmware image carries them: there is no C library to link against, and the host build takes
// the C library's own.
#include "Uefi.h"

extern "C" void *memcpy(void *Destination, const void *Source, size_t Length) {
  UINT8 *To = static_cast<UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  while (Length-- != 0) {
    *To++ = *From++;
  }
  return Destination;
}

extern "C" void *memset(void *Buffer, int Value, size_t Length) {
  UINT8 *Bytes = static_cast<UINT8 *>(Buffer);
  while (Length-- != 0) {
    *Bytes++ = static_cast<UINT8>(Value);
  }
  return Buffer;
}
