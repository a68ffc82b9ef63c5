// PCI configuration access and root-port resolution, shared by both drivers.
#include "PciAccess.h"

#include "Cpuid.h"
#include "DebugReport.h"
#include "DriverFrame.h"
#include "Processors.h"

// Stack fields above this name stacks that slot location codes do not resolve.
constexpr UINT32 MAX_RESOLVED_STACK_FIELD = 5;

// Root ports A to D of a stack as device << 3 | function, by processor signature (bits 19..4
// of CPUID leaf 1 EAX): the processor rows' columns the resolution needs.
static constexpr ROOT_PORT_TABLES kRootPortTables = RootPortTables();

constinit const VOID *gStackBusHob = nullptr;

// The HOB list does not change in the DXE phase, so the HOB found once is kept: a walk of the
// whole list for every slot cost a pass more than all of its own work.
static const UINT8 *FindStackBusHob() {
  if (gStackBusHob == nullptr) {
    gStackBusHob = FindGuidHob(&gStackBusHobGuid);
  }
  return static_cast<const UINT8 *>(gStackBusHob);
}

UINT16 ResolveRootPortBdf(UINT32 SlotLocation) {
  const UINT8 *Hob = FindStackBusHob();
  const UINT16 Fallback = static_cast<UINT16>(SlotLocation);
  const UINT32 SocketField = (SlotLocation >> 20) & 0xF;
  const UINT32 StackField = (SlotLocation >> 16) & 0xF;
  const UINT32 PortLetter = (SlotLocation >> 12) & 0xF;

  // No socket: the low 16 bits are the BDF. Stack field 0 names no stack of the socket.
  if (SocketField == 0 || StackField == 0 || StackField > MAX_RESOLVED_STACK_FIELD ||
      Hob == nullptr) {
    if (SocketField != 0) {
      DEBUG_REPORT((DEBUG_WARN, "%a: slot code 0x%06x: %a, its low 16 bits stand\n",
                    gEfiCallerBaseName, SlotLocation,
                    Hob == nullptr ? "no stack-bus HOB" : "its stack field names no stack"));
    }
    return Fallback;
  }
  // The HOB's producer sizes the table for the sockets it knows; a socket past its end has no
  // entry to read.
  const UINTN Index =
      STACK_BUS_TABLE_OFFSET + (SocketField - 1) * STACKS_PER_SOCKET + (StackField - 1);
  if (Index >= GuidHobDataSize(Hob)) {
    DEBUG_REPORT((DEBUG_WARN, "%a: slot code 0x%06x: CPU%u is past the stack-bus table\n",
                  gEfiCallerBaseName, SlotLocation, SocketField));
    return Fallback;
  }

  UINT32 Eax = 0;
  ReadCpuid(1, &Eax, nullptr, nullptr, nullptr);
  const UINT16 Signature = CpuSignatureOf(Eax);
  const UINT8 *Ports = nullptr;
  for (const ROOT_PORT_TABLE &Table : kRootPortTables.Rows) {
    if (Table.Signature == Signature) {
      Ports = Table.Ports;
    }
  }

  const UINT8 Bus = Hob[GUID_HOB_DATA_OFFSET + Index];
  if (Bus == 0) {
    DEBUG_REPORT((DEBUG_WARN, "%a: slot code 0x%06x: CPU%u stack %u has no bus\n",
                  gEfiCallerBaseName, SlotLocation, SocketField, StackField));
    return Fallback;
  }
  if (PortLetter < 0xA || PortLetter > 0xD) {
    DEBUG_REPORT((DEBUG_WARN, "%a: slot code 0x%06x: port letter %X names no port: 0\n",
                  gEfiCallerBaseName, SlotLocation, PortLetter));
    return 0;
  }
  // A processor without a port table gives no device numbers for ports A to D, and another
  // generation's numbers could land on a different root port and change its registers. The
  // code's own fallback BDF is the board's answer for every port it cannot place, so callers
  // treat this port like any other unresolved code.
  if (Ports == nullptr) {
    DEBUG_REPORT((DEBUG_WARN, "%a: slot code 0x%06x: no root-port table for processor 0x%04x\n",
                  gEfiCallerBaseName, SlotLocation, Signature));
    return Fallback;
  }
  return static_cast<UINT16>(Bus << 8 | Ports[PortLetter - 0xA]);
}

static VOID *ConfigRegister(UINT16 Bdf, UINT32 Offset) {
  return PciConfigAddress(BdfBus(Bdf), BdfDevice(Bdf), BdfFunction(Bdf), Offset);
}

// A register the protocol gives no address for belongs to a function that cannot be reached:
// it reads as one that does not answer, and a write to it goes nowhere.
template <typename VALUE>
static VALUE PciRead(UINT16 Bdf, UINT32 Offset) {
  const volatile VALUE *Register = static_cast<const volatile VALUE *>(ConfigRegister(Bdf, Offset));
  return Register != nullptr ? *Register : static_cast<VALUE>(~VALUE{0});
}

template <typename VALUE>
static VOID PciWrite(UINT16 Bdf, UINT32 Offset, VALUE Value) {
  volatile VALUE *Register = static_cast<volatile VALUE *>(ConfigRegister(Bdf, Offset));
  if (Register != nullptr) {
    *Register = Value;
  }
}

UINT8 PciRead8(UINT16 Bdf, UINT32 Offset) { return PciRead<UINT8>(Bdf, Offset); }
UINT16 PciRead16(UINT16 Bdf, UINT32 Offset) { return PciRead<UINT16>(Bdf, Offset); }
UINT32 PciRead32(UINT16 Bdf, UINT32 Offset) { return PciRead<UINT32>(Bdf, Offset); }
VOID PciWrite16(UINT16 Bdf, UINT32 Offset, UINT16 Value) { PciWrite(Bdf, Offset, Value); }
VOID PciWrite32(UINT16 Bdf, UINT32 Offset, UINT32 Value) { PciWrite(Bdf, Offset, Value); }

VOID *PciConfigAddress(UINT8 Bus, UINT32 Device, UINT32 Function, UINT32 Offset) {
  REG_ACCESS_ADDRESS Register = {static_cast<UINT32>(Bus) << 20 | (Device & 0x1F) << 15 |
                                     (Function & 7) << 12 | (Offset & 0xFFF),
                                 0, REG_ACCESS_KIND_PCI_CONFIG, 0};
  return reinterpret_cast<VOID *>(gRegisterAccess->GetRegisterAddress(&Register));
}
