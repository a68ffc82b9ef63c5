// The scenario the host hands the real-firmware platform, as a file on the boot volume: what the
// platform's own drivers would provide. Little-endian, fixed layout, shared by both sides.
#ifndef TOOLS_FWPLATFORM_SCENARIO_H_
#define TOOLS_FWPLATFORM_SCENARIO_H_

#include "Uefi.h"

constexpr UINT32 FW_SCENARIO_MAGIC = 0x4E435342;  // "BSCN"
constexpr UINT32 FW_SCENARIO_VERSION = 4;

constexpr UINTN FW_MAX_STACK_BUS_BYTES = 16 * 6;  // sixteen sockets of six stacks
constexpr UINTN FW_MAX_SETUP_SIZE = 4096;
constexpr UINTN FW_MAX_ROOT_PORTS = 32;
constexpr UINTN FW_MAX_STAND_INS = 32;

// A root port QEMU models: the platform sets its register 0x15C before the drivers start.
struct FW_ROOT_PORT {
  UINT16 Bdf;
  UINT16 Reserved;
  UINT32 Register15C;
};
static_assert(sizeof(FW_ROOT_PORT) == 8, "scenario layout");

// A function QEMU cannot model, stood in for by the register access protocol: it sits below a
// root port, BusOffset buses past that port's secondary bus (whatever number the firmware gave
// it). With memory, its BAR pair holds the board's address Memory, and the 2 MiB window there
// holds its MAC at 0x1E2120 and 0x1E2140.
struct FW_STAND_IN {
  UINT16 RootPortBdf;
  UINT8 BusOffset;
  UINT8 DeviceFunction;  // device << 3 | function
  UINT16 VendorId;
  UINT16 DeviceId;
  UINT16 Command;
  UINT8 Mac[6];
  UINT64 Memory;  // 0: none assigned
};
static_assert(sizeof(FW_STAND_IN) == 24, "scenario layout");
static_assert(offsetof(FW_STAND_IN, Memory) == 16, "scenario layout");

struct FW_SCENARIO {
  UINT32 Magic;
  UINT32 Version;
  UINT8 BoardBytes[256];  // QueryBoardByte answers by id; larger ids read 0
  UINT32 Slots[256];      // slot location code by slot index; 0: none
  UINT32 CpuidEax;        // what QEMU was asked to present
  UINT32 StackBusBytes;   // size of the stack-bus table; 0: no stack-bus HOB
  UINT8 StackBus[FW_MAX_STACK_BUS_BYTES];
  UINT32 SetupPresent;
  UINT32 SetupSize;
  UINT8 Setup[FW_MAX_SETUP_SIZE];
  UINT32 RootPortCount;
  FW_ROOT_PORT RootPorts[FW_MAX_ROOT_PORTS];
  UINT32 StandInCount;
  FW_STAND_IN StandIns[FW_MAX_STAND_INS];
  UINT32 Flags;  // FW_SCENARIO_*
};
// Wait for a debugger before anything else (boardsim --firmware --gdb).
constexpr UINT32 FW_SCENARIO_HOLD_FOR_DEBUGGER = 0x1;
static_assert(offsetof(FW_SCENARIO, CpuidEax) == 8 + 256 + 1024, "scenario layout");
static_assert(offsetof(FW_SCENARIO, Setup) == 0x518 + FW_MAX_STACK_BUS_BYTES, "scenario layout");

// I/O ports the application uses, as QEMU's command line sets them up: its report goes to a debug
// console of its own (the firmware's DEBUG output keeps 0x402), and isa-debug-exit ends the run.
constexpr UINT16 FW_REPORT_PORT = 0x403;
constexpr UINT16 FW_EXIT_PORT = 0xF4;

// Files on the boot volume.
#define FW_SCENARIO_FILE u"scenario.bin"
#define FW_PACKAGE_FILE u"BoardDrivers.fv"
#define FW_STATUS_CODE_FILE u"StatusCode.fv"  // EDK II's status-code handler, for DEBUG images
#define FW_SMBIOS_BEFORE_FILE u"smbios-before.bin"
#define FW_SMBIOS_AFTER_FILE u"smbios-after.bin"

#endif  // TOOLS_FWPLATFORM_SCENARIO_H_
