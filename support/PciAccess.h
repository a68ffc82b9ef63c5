// PCI configuration access through the register access protocol, and resolution of slot
// location codes to root-port bus/device/function numbers.
#ifndef SUPPORT_PCI_ACCESS_H_
#define SUPPORT_PCI_ACCESS_H_

#include "Uefi.h"

// Root-port BDF: bus << 8 | device << 3 | function.
constexpr UINT8 BdfBus(UINT16 Bdf) { return static_cast<UINT8>(Bdf >> 8); }
constexpr UINT8 BdfDevice(UINT16 Bdf) { return static_cast<UINT8>((Bdf >> 3) & 0x1F); }
constexpr UINT8 BdfFunction(UINT16 Bdf) { return static_cast<UINT8>(Bdf & 7); }
constexpr UINT16 PciBdf(UINT8 Bus, UINT8 Device, UINT8 Function) {
  return static_cast<UINT16>(Bus << 8 | (Device & 0x1F) << 3 | (Function & 7));
}

// Standard configuration header registers the drivers touch.
constexpr UINT32 PCI_VENDOR_ID_OFFSET = 0x00;  // vendor ID, device ID in the high half
constexpr UINT32 PCI_COMMAND_OFFSET = 0x04;
constexpr UINT32 PCI_BAR0_OFFSET = 0x10;
constexpr UINT32 PCI_BAR1_OFFSET = 0x14;
constexpr UINT32 PCI_SECONDARY_BUS_OFFSET = 0x19;    // type 1 header
constexpr UINT32 PCI_SUBORDINATE_BUS_OFFSET = 0x1A;  // type 1 header
constexpr UINT16 PCI_COMMAND_MEMORY_SPACE = 0x0002;
constexpr UINT16 PCI_COMMAND_BUS_MASTER = 0x0004;
constexpr UINT32 PCI_BAR_FLAG_MASK = 0xF;  // type and prefetch bits below a memory BAR's base
constexpr UINT32 PCI_ABSENT_ID = 0xFFFFFFFF;
constexpr UINT16 PCI_COMMAND_ABSENT = 0xFFFF;  // reserved bits 15..11 set: nothing answered

// Stack-bus HOB of the earlier boot phase: in its data, at STACK_BUS_TABLE_OFFSET, one bus
// number per socket and stack, STACKS_PER_SOCKET to a socket; 0 means the stack has no bus.
constexpr EFI_GUID gStackBusHobGuid = {
    0x353BB17B, 0x74AC, 0x4895, {0xB4, 0x61, 0x2C, 0x8C, 0x97, 0x68, 0x30, 0xE6}};
constexpr UINTN STACK_BUS_TABLE_OFFSET = 0x5060;
constexpr UINTN STACKS_PER_SOCKET = 6;

// The stack-bus HOB once found (module global; null until then).
extern const VOID *gStackBusHob;

// Address of one configuration register; device, function and offset keep only their low
// 5, 3 and 12 bits. Every call asks the register access protocol afresh.
//
// The protocol's answer is the drivers' only map of configuration space. Null is no address:
// the accesses below treat it as a function that does not answer. Any other answer cannot be
// told from a register, even one in no device; such an address reads as the board answers
// there (all ones where nothing decodes), and since no value that reads all ones is ever
// written back, a bad answer costs work but writes nothing the board did not hold.
VOID *PciConfigAddress(UINT8 Bus, UINT32 Device, UINT32 Function, UINT32 Offset);

// The root port behind a slot location code (socket field, stack field, port letter), or the
// code's low 16 bits when the code names no port that the stack-bus table resolves.
UINT16 ResolveRootPortBdf(UINT32 SlotLocation);

// Configuration accesses by BDF, each through its own PciConfigAddress. Without an address a
// read gives all ones and a write is not made.
UINT8 PciRead8(UINT16 Bdf, UINT32 Offset);
UINT16 PciRead16(UINT16 Bdf, UINT32 Offset);
UINT32 PciRead32(UINT16 Bdf, UINT32 Offset);
VOID PciWrite16(UINT16 Bdf, UINT32 Offset, UINT16 Value);
VOID PciWrite32(UINT16 Bdf, UINT32 Offset, UINT32 Value);

#endif  // SUPPORT_PCI_ACCESS_H_
