// CPUID, the drivers' one view of the processor. The firmware image executes the instruction;
// the host build asks the emulated processor of the board it runs on.
#include "Cpuid.h"

#if defined(_WIN32)

static VOID Cpuid(UINT32 Leaf, UINT32 *Registers) {
  // Only leaf 1 is asked for, which takes no sub-leaf in ECX.
  __asm__ volatile("cpuid"
                   : "=a"(Registers[0]), "=b"(Registers[1]), "=c"(Registers[2]), "=d"(Registers[3])
                   : "a"(Leaf));
}

#else

constinit CPUID_HOOK gCpuidHook = nullptr;

DRIVER_EXPORT VOID EFIAPI SetCpuidHook(CPUID_HOOK Hook) { gCpuidHook = Hook; }

// Without an emulated processor every register reads 0: no signature the drivers know.
static VOID Cpuid(UINT32 Leaf, UINT32 *Registers) {
  if (gCpuidHook != nullptr) {
    gCpuidHook(Leaf, Registers);
  }
}

#endif

UINT32 ReadCpuid(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx) {
  UINT32 Registers[4] = {0, 0, 0, 0};
  Cpuid(Leaf, Registers);
  if (Eax != nullptr) {
    *Eax = Registers[0];
  }
  if (Ebx != nullptr) {
    *Ebx = Registers[1];
  }
  if (Ecx != nullptr) {
    *Ecx = Registers[2];
  }
  if (Edx != nullptr) {
    *Edx = Registers[3];
  }
  return Leaf;
}
