// The board hook protocol's interface: the onboard network controller's MAC addresses, read
// from the controller itself, and this board's fixed answers to the platform's other members.
#include "BoardInfoProtocol.h"
#include "BoardSlotService.h"
#include "DebugReport.h"
#include "DriverFrame.h"
#include "MemRoutines.h"
#include "PciAccess.h"

// The controller's receive address registers, from the memory base of its BAR pair.
constexpr UINT64 NIC_MAC_LOW_OFFSET = 0x1E2120;   // MAC bytes 0 to 3
constexpr UINT64 NIC_MAC_HIGH_OFFSET = 0x1E2140;  // MAC bytes 4 and 5

// DXE runs on identity-mapped four-level paging, where an address is the physical address and
// only the canonical lower half, below 2^47, exists: a read above it raises #GP. A base that
// puts the registers past it names no window the function can decode (a 32-bit BAR0 beside an
// unrelated BAR1 makes one), so such a function adds nothing. The limit is a constant rather
// than the processor's physical address width, which would take a CPUID leaf the drivers never
// ask for, and no decoded window lies above it in this phase.
constexpr UINT64 DXE_ADDRESS_LIMIT = UINT64{1} << 47;
constexpr UINT64 NIC_MAC_LAST_BASE = DXE_ADDRESS_LIMIT - (NIC_MAC_HIGH_OFFSET + 2);

// Functions 1 to 3 of the controller go to the secondary list.
constexpr UINT8 NIC_FIRST_SECONDARY_FUNCTION = 1;
constexpr UINT8 NIC_LAST_SECONDARY_FUNCTION = 3;

static VOID ReadNicMacAddress(UINT16 FunctionBdf, UINT8 *List);

// Function 0 goes to the primary list inside the caller's record, functions 1 to 3 to the
// secondary list. Both lists start afresh on every call.
static EFI_STATUS EFIAPI CollectNicMacAddresses(UINT8 *Record, UINT8 *SecondaryList) {
  UINT8 *PrimaryList = Record + NIC_PRIMARY_LIST_OFFSET;
  PrimaryList[0] = 0;

  const UINT16 RootPort =
      ResolveRootPortBdf(GetBoardInfoProtocol()->GetSlotLocation(SLOT_INDEX_ONBOARD_NIC));
  const UINT8 Subordinate = PciRead8(RootPort, PCI_SUBORDINATE_BUS_OFFSET);
  const UINT8 Secondary = PciRead8(RootPort, PCI_SECONDARY_BUS_OFFSET);

  // Function 0 sits on the highest bus below the root port whose device 0 answers; the
  // secondary bus is taken without a test.
  UINT8 Bus = Subordinate;
  while (Bus > Secondary && PciRead8(PciBdf(Bus, 0, 0), PCI_VENDOR_ID_OFFSET) == 0xFF) {
    --Bus;
  }
  ReadNicMacAddress(PciBdf(Bus, 0, 0), PrimaryList);

  SecondaryList[0] = 0;
  for (UINT8 Function = NIC_FIRST_SECONDARY_FUNCTION; Function <= NIC_LAST_SECONDARY_FUNCTION;
       ++Function) {
    ReadNicMacAddress(PciBdf(Secondary, 0, Function), SecondaryList);
  }
  DEBUG_REPORT((DEBUG_INFO, "BoardSlotService: NIC MAC addresses: %u primary, %u secondary\n",
                PrimaryList[0], SecondaryList[0]));
  return EFI_SUCCESS;
}

// Appends the MAC address of one function of the controller, named by its BDF, to a
// NIC_MAC_LIST. An absent function, one without memory assigned to its BAR pair, or one that
// stops answering adds nothing: there are no registers to read.
static VOID ReadNicMacAddress(UINT16 FunctionBdf, UINT8 *List) {
  if (PciRead32(FunctionBdf, PCI_VENDOR_ID_OFFSET) == PCI_ABSENT_ID) {
    DEBUG_REPORT((DEBUG_INFO, "BoardSlotService: NIC %02x:%02x.%x absent\n", BdfBus(FunctionBdf),
                  BdfDevice(FunctionBdf), BdfFunction(FunctionBdf)));
    return;
  }
  // The pair is one 64-bit BAR whatever its type bits say. A BAR0 that reads all ones did not
  // answer, and a BAR1 that does puts the base past DXE_ADDRESS_LIMIT with every other base
  // that cannot be read.
  const UINT32 Bar0 = PciRead32(FunctionBdf, PCI_BAR0_OFFSET);
  const UINT32 Bar1 = PciRead32(FunctionBdf, PCI_BAR1_OFFSET);
  const UINT64 Base = (static_cast<UINT64>(Bar1) << 32 | Bar0) & ~UINT64{PCI_BAR_FLAG_MASK};
  if (Base == 0 || Bar0 == PCI_ABSENT_ID || Base > NIC_MAC_LAST_BASE) {
    DEBUG_REPORT((DEBUG_WARN, "BoardSlotService: NIC %02x:%02x.%x BARs 0x%08x:%08x: %a\n",
                  BdfBus(FunctionBdf), BdfDevice(FunctionBdf), BdfFunction(FunctionBdf), Bar1, Bar0,
                  Base == 0 ? "no memory assigned" : "no address DXE can read"));
    return;
  }
  // Command's bits 15..11 are reserved zero: all ones is a function that no longer answers
  // (or a register the access protocol has no address for), not one that decodes already.
  const UINT16 Command = PciRead16(FunctionBdf, PCI_COMMAND_OFFSET);
  if (Command == PCI_COMMAND_ABSENT) {
    DEBUG_REPORT((DEBUG_WARN,
                  "BoardSlotService: NIC %02x:%02x.%x Command reads 0xFFFF: not answering\n",
                  BdfBus(FunctionBdf), BdfDevice(FunctionBdf), BdfFunction(FunctionBdf)));
    return;
  }

  const UINT8 Count = ++List[0];
  UINT8 *Entry = List + 1 + (Count - 1) * NIC_MAC_ENTRY_SIZE;
  SetMem(Entry, NIC_MAC_ENTRY_SIZE, 0);

  // The registers answer only while the function decodes memory: with Memory Space Enable
  // clear they read all ones, which would pass for a MAC address. A function left without it
  // (Bus Master Enable alone included) gets both enables for the copies and its own Command
  // value back afterwards; one that already decodes is not touched.
  constexpr UINT16 Enables = PCI_COMMAND_MEMORY_SPACE | PCI_COMMAND_BUS_MASTER;
  const bool EnablesRaised = (Command & PCI_COMMAND_MEMORY_SPACE) == 0;
  if (EnablesRaised) {
    PciWrite16(FunctionBdf, PCI_COMMAND_OFFSET, Command | Enables);
  }
  gBS->CopyMem(Entry, reinterpret_cast<const VOID *>(Base + NIC_MAC_LOW_OFFSET), 4);
  gBS->CopyMem(Entry + 4, reinterpret_cast<const VOID *>(Base + NIC_MAC_HIGH_OFFSET), 2);
  if (EnablesRaised) {
    PciWrite16(FunctionBdf, PCI_COMMAND_OFFSET, Command);
  }
  DEBUG_REPORT(
      (DEBUG_INFO,
       "BoardSlotService: NIC %02x:%02x.%x window 0x%lx MAC %02x:%02x:%02x:%02x:%02x:%02x\n",
       BdfBus(FunctionBdf), BdfDevice(FunctionBdf), BdfFunction(FunctionBdf), Base, Entry[0],
       Entry[1], Entry[2], Entry[3], Entry[4], Entry[5]));
}

static BOOLEAN EFIAPI DeclineQuery(UINTN, UINTN, UINTN, UINTN) { return FALSE; }
static BOOLEAN EFIAPI AffirmQuery(UINTN, UINTN, UINTN, UINTN) { return TRUE; }
static EFI_STATUS EFIAPI AcknowledgeCall(UINTN, UINTN, UINTN, UINTN) { return EFI_SUCCESS; }

constinit const BOARD_HOOK_PROTOCOL mBoardHookProtocol = {
    DeclineQuery, nullptr,         CollectNicMacAddresses,
    AffirmQuery,  AcknowledgeCall, {nullptr, nullptr, nullptr, nullptr}};
