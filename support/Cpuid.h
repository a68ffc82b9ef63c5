// CPUID, the drivers' one view of the processor: root-port resolution picks its port table by
// the processor signature.
#ifndef SUPPORT_CPUID_H_
#define SUPPORT_CPUID_H_

#include "Uefi.h"

// Executes CPUID with Leaf in EAX (the sub-leaf in ECX is not set: only leaf 1 is asked for,
// which takes none). Each output pointer is optional. Returns the leaf. The one place the
// drivers execute the instruction; the host build answers from the emulated processor.
UINT32 ReadCpuid(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx);

#if !defined(_WIN32)
// Host build only: the emulator answers CPUID for the board it describes. Every host image
// exports the setter, and the emulator hands each image its hook when it loads the image.
typedef VOID(EFIAPI *CPUID_HOOK)(UINT32 Leaf, UINT32 *Registers);  // EAX, EBX, ECX, EDX
typedef VOID(EFIAPI *CPUID_HOOK_SETTER)(CPUID_HOOK Hook);
DRIVER_EXPORT VOID EFIAPI SetCpuidHook(CPUID_HOOK Hook);
constexpr char CPUID_HOOK_SETTER_NAME[] = "SetCpuidHook";
#endif

#endif  // SUPPORT_CPUID_H_
