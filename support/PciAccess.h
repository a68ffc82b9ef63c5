// PCI configuration access through the register access protocol, and resolution of slot
// location codes to root-port bus/device/function numbers.
#ifndef SUPPORT_PCI_ACCESS_H_
#define SUPPORT_PCI_ACCESS_H_

#include "Uefi.h"

// Root-port BDF: bus << 8 | device << 3 | function.
constexpr UINT8 BdfBus(UINT16 Bdf) { return static_cast<UINT8>(Bdf >> 8); }
constexpr UINT8 BdfDevice(UINT16 Bdf) { return static_cast<UINT8>((Bdf >> 3) & 0x1F); }
constexpr UINT8 BdfFunction(UINT16 Bdf) { return static_cast<UINT8>(Bdf & 7); }

// Address of one configuration register; device, function and offset keep only their low
// 5, 3 and 12 bits. Every call asks the register access protocol afresh.
VOID *PciConfigAddress(UINT8 Bus, UINT32 Device, UINT32 Function, UINT32 Offset);

// The root port behind a slot location code (socket field, stack field, port letter), or the
// code's low 16 bits when the code names no port that the stack-bus table resolves.
UINT16 ResolveRootPortBdf(UINT32 SlotLocation);

// Configuration accesses by BDF, each through its own PciConfigAddress.
UINT8 PciRead8(UINT16 Bdf, UINT32 Offset);
UINT16 PciRead16(UINT16 Bdf, UINT32 Offset);
UINT32 PciRead32(UINT16 Bdf, UINT32 Offset);
VOID PciWrite16(UINT16 Bdf, UINT32 Offset, UINT16 Value);
VOID PciWrite32(UINT16 Bdf, UINT32 Offset, UINT32 Value);

// CPUID; each output pointer is optional. Returns the leaf. The one place the drivers execute
// the instruction (the host build answers from the emulated CPU).
UINT32 ReadCpuid(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx);

#endif  // SUPPORT_PCI_ACCESS_H_
