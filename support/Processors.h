// The processor generations this board takes, one row each. Root-port resolution picks a row
// by the processor signature; the tools take the rest of the row (a name for the report, the
// CPU QEMU presents for the firmware run). A new generation is a new row here and nothing else
// in the drivers; the images carry only the signature and port columns (RootPortTables).
#ifndef SUPPORT_PROCESSORS_H_
#define SUPPORT_PROCESSORS_H_

#include "Uefi.h"

constexpr UINTN ROOT_PORTS_PER_STACK = 4;  // ports A to D

struct PROCESSOR_ROW {
  UINT16 Signature;                       // bits 19..4 of CPUID leaf 1 EAX
  UINT8 RootPorts[ROOT_PORTS_PER_STACK];  // ports A to D as device << 3 | function
  UINT32 CpuidEax;                        // a leaf 1 EAX of this generation, stepping included
  const CHAR8 *Name;                      // as the report names it
  const CHAR8 *QemuCpu;                   // QEMU's -cpu model that presents it
};

inline constexpr PROCESSOR_ROW kProcessors[] = {
    {0x5065, {0x00, 0x08, 0x10, 0x18}, 0x50654, "Cascade Lake-SP", "Skylake-Server"},
    {0x606A, {0x10, 0x18, 0x20, 0x28}, 0x606A6, "Ice Lake-SP", "Icelake-Server"},
};
constexpr UINTN PROCESSOR_COUNT = sizeof(kProcessors) / sizeof(kProcessors[0]);

// The columns the drivers use: what ResolveRootPortBdf walks.
struct ROOT_PORT_TABLE {
  UINT16 Signature;
  UINT8 Ports[ROOT_PORTS_PER_STACK];
};

constexpr UINT16 CpuSignatureOf(UINT32 CpuidEax) { return static_cast<UINT16>(CpuidEax >> 4); }

struct ROOT_PORT_TABLES {
  ROOT_PORT_TABLE Rows[PROCESSOR_COUNT];
};

constexpr ROOT_PORT_TABLES RootPortTables() {
  ROOT_PORT_TABLES Tables{};
  for (UINTN Row = 0; Row < PROCESSOR_COUNT; ++Row) {
    Tables.Rows[Row].Signature = kProcessors[Row].Signature;
    for (UINTN Port = 0; Port < ROOT_PORTS_PER_STACK; ++Port) {
      Tables.Rows[Row].Ports[Port] = kProcessors[Row].RootPorts[Port];
    }
  }
  return Tables;
}

// Every row is one generation, with its sample EAX inside it.
constexpr bool ProcessorRowsAreSound() {
  for (UINTN Row = 0; Row < PROCESSOR_COUNT; ++Row) {
    if (CpuSignatureOf(kProcessors[Row].CpuidEax) != kProcessors[Row].Signature) {
      return false;
    }
    for (UINTN Other = 0; Other < Row; ++Other) {
      if (kProcessors[Other].Signature == kProcessors[Row].Signature) {
        return false;
      }
    }
  }
  return true;
}
static_assert(ProcessorRowsAreSound(), "processor rows");

#endif  // SUPPORT_PROCESSORS_H_
