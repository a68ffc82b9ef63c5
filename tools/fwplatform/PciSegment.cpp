// The board's protocols on real firmware: board information from the scenario, and register
// access over the ECAM window of QEMU's PCI Express segment, with stand-ins for the functions
// QEMU cannot model (the add-in card, the onboard network controller's register window).
#include "BoardInfoProtocol.h"
#include "FwPlatform.h"
#include "RegisterAccessProtocol.h"

constinit UINT32 gInitNotifyCalls = 0;

namespace {

constexpr UINTN kConfigSpaceSize = 4096;
constexpr UINTN kDeviceMemorySize = 0x200000;
constexpr UINTN kNicMacLow = 0x1E2120;
constexpr UINTN kNicMacHigh = 0x1E2140;

struct RootPortState {
  UINT16 Bdf;
  UINT8 Secondary;
  UINT8 Subordinate;
  UINT32 Register15C;  // as set before the drivers start
};

struct StandInState {
  UINT16 Bdf;  // where the firmware's bus numbers put it
  UINT8 *Config;
  UINT8 *Initial;  // a copy taken before the drivers start
  UINT64 Memory;   // the pages that answer for the window; 0: none
  UINT64 Window;   // the window's board address, which the BAR pair holds
  UINT8 Mac[6];
  bool Decoding;  // what the window shows now: the registers, or all ones
};

constinit UINT64 mEcamBase = 0;
constinit RootPortState mRootPorts[FW_MAX_ROOT_PORTS] = {};
constinit UINTN mRootPortCount = 0;
constinit StandInState mStandIns[FW_MAX_STAND_INS] = {};
constinit UINTN mStandInCount = 0;

volatile UINT32 *Ecam(UINT16 Bdf, UINT32 Offset) {
  return reinterpret_cast<volatile UINT32 *>(mEcamBase + (UINT64{Bdf} << 12) + Offset);
}

UINT32 Read32(const UINT8 *Bytes) {
  UINT32 Value;
  CopyBytes(&Value, Bytes, 4);
  return Value;
}

VOID Write32(UINT8 *Bytes, UINT32 Value) { CopyBytes(Bytes, &Value, 4); }

// ---- Board information protocol from the scenario ----
UINT8 EFIAPI QueryBoardByte(UINTN Id) {
  DriverCall Call(__builtin_return_address(0), "BoardInfo.QueryBoardByte", 1, Id);
  return Call.Returns<UINT8>(Id < 256 ? gScenario->BoardBytes[Id] : 0);
}
UINT32 EFIAPI GetSlotLocation(UINTN Index) {
  DriverCall Call(__builtin_return_address(0), "BoardInfo.GetSlotLocation", 1, Index);
  return Call.Returns<UINT32>(Index < 256 ? gScenario->Slots[Index] : 0);
}
EFI_STATUS EFIAPI InitNotify(UINTN Value) {
  DriverCall Call(__builtin_return_address(0), "BoardInfo.InitNotify", 1, Value);
  ++gInitNotifyCalls;
  return Call.Returns(EFI_SUCCESS);
}
EFI_STATUS EFIAPI SetSlotLocation(UINTN Index, UINT32 Code) {
  DriverCall Call(__builtin_return_address(0), "BoardInfo.SetSlotLocation", 2, Index, Code);
  if (Index >= 256) return Call.Returns(EFI_INVALID_PARAMETER);
  gScenario->Slots[Index] = Code;
  return Call.Returns(EFI_SUCCESS);
}
constinit BOARD_INFO_PROTOCOL mBoardInfo = {
    nullptr, QueryBoardByte, nullptr, GetSlotLocation, InitNotify, {}, SetSlotLocation};

// ---- Register access protocol ----
// Recorded with the register's address in configuration space as its result: where the firmware
// put the window is of no interest to a reader of the records.
UINTN EFIAPI GetRegisterAddress(REG_ACCESS_ADDRESS *Register) {
  if (Register == nullptr) Fail("a driver asked for a register with no REG_ACCESS_ADDRESS");
  DriverCall Call(__builtin_return_address(0), "RegisterAccess.GetRegisterAddress", 4,
                  Register->Address, Register->Reserved0, Register->Kind, Register->Reserved1);
  Call.Returns(Register->Address & 0x0FFFFFFF);
  if (Register->Reserved0 != 0 || Register->Kind != REG_ACCESS_KIND_PCI_CONFIG ||
      Register->Reserved1 != 0 || (Register->Address >> 28) != 0) {
    Fail("a driver asked for a register with a malformed REG_ACCESS_ADDRESS");
  }
  const UINT16 Bdf = static_cast<UINT16>(Register->Address >> 12);
  const UINT32 Offset = Register->Address & 0xFFF;
  for (UINTN Index = 0; Index < mStandInCount; ++Index) {
    if (mStandIns[Index].Bdf == Bdf)
      return reinterpret_cast<UINTN>(mStandIns[Index].Config + Offset);
  }
  return reinterpret_cast<UINTN>(Ecam(Bdf, Offset));
}
constinit REGISTER_ACCESS_PROTOCOL mRegisterAccess = {{}, GetRegisterAddress};

// The ECAM base from the ACPI MCFG table: RSDP -> XSDT -> MCFG.
UINT64 FindEcamBase() {
  const UINT8 *Rsdp = static_cast<const UINT8 *>(ConfigurationTable(gEfiAcpi20TableGuid));
  if (Rsdp == nullptr) return 0;
  UINT64 XsdtAddress;
  CopyBytes(&XsdtAddress, Rsdp + 24, 8);
  const UINT8 *Xsdt = reinterpret_cast<const UINT8 *>(XsdtAddress);
  const UINT32 Length = Read32(Xsdt + 4);
  for (UINT32 Offset = 36; Offset + 8 <= Length; Offset += 8) {
    UINT64 TableAddress;
    CopyBytes(&TableAddress, Xsdt + Offset, 8);
    const UINT8 *Table = reinterpret_cast<const UINT8 *>(TableAddress);
    if (Table[0] == 'M' && Table[1] == 'C' && Table[2] == 'F' && Table[3] == 'G') {
      UINT64 Base;
      CopyBytes(&Base, Table + 44, 8);
      return Base;
    }
  }
  return 0;
}

const RootPortState *RootPortAt(UINT16 Bdf) {
  for (UINTN Index = 0; Index < mRootPortCount; ++Index) {
    if (mRootPorts[Index].Bdf == Bdf) return &mRootPorts[Index];
  }
  return nullptr;
}

// A function answers in its window only while its Command register has Memory Space Enable
// set; otherwise every byte there reads all ones. The window is plain memory.
VOID ShowDecoding(StandInState &StandIn) {
  const bool Decoding = (StandIn.Config[4] & 0x2) != 0;
  if (StandIn.Memory == 0 || Decoding == StandIn.Decoding) return;
  UINT8 *Window = reinterpret_cast<UINT8 *>(StandIn.Memory);
  for (UINTN Index = 0; Index < kDeviceMemorySize; ++Index) Window[Index] = Decoding ? 0 : 0xFF;
  if (Decoding) {
    CopyBytes(Window + kNicMacLow, StandIn.Mac, 4);
    CopyBytes(Window + kNicMacHigh, StandIn.Mac + 4, 2);
  }
  StandIn.Decoding = Decoding;
}

VOID PlaceStandIn(const FW_STAND_IN &Described) {
  const RootPortState *Port = RootPortAt(Described.RootPortBdf);
  if (Port == nullptr) Fail("a stand-in below a root port the scenario does not have");
  StandInState &StandIn = mStandIns[mStandInCount++];
  StandIn.Bdf =
      static_cast<UINT16>((Port->Secondary + Described.BusOffset) << 8 | Described.DeviceFunction);
  StandIn.Config = static_cast<UINT8 *>(AllocateZeroed(kConfigSpaceSize));
  Write32(StandIn.Config, UINT32{Described.DeviceId} << 16 | Described.VendorId);
  StandIn.Config[4] = static_cast<UINT8>(Described.Command);
  StandIn.Config[5] = static_cast<UINT8>(Described.Command >> 8);
  if (Described.Memory != 0) {
    EFI_PHYSICAL_ADDRESS Memory = 0;
    if (EFI_ERROR(gBoot->AllocatePages(AllocateAnyPages, EfiBootServicesData,
                                       kDeviceMemorySize / 4096, &Memory))) {
      Fail("no memory for a stand-in's registers");
    }
    UINT8 *Window = reinterpret_cast<UINT8 *>(Memory);
    ZeroBytes(Window, kDeviceMemorySize);
    CopyBytes(Window + kNicMacLow, Described.Mac, 4);
    CopyBytes(Window + kNicMacHigh, Described.Mac + 4, 2);
    StandIn.Memory = Memory;
    StandIn.Window = Described.Memory;
    CopyBytes(StandIn.Mac, Described.Mac, 6);
    StandIn.Decoding = true;
    // A 64-bit memory BAR pair holding the board's address, as the PCI enumerator would have
    // programmed it; CopyMem finds the pages by it (DeviceMemorySource).
    Write32(StandIn.Config + 0x10, static_cast<UINT32>(Described.Memory) | 0x4);
    Write32(StandIn.Config + 0x14, static_cast<UINT32>(Described.Memory >> 32));
    ShowDecoding(StandIn);
  } else {
    // Nothing assigned: a 64-bit memory BAR still reads its type bits, as the emulated one does.
    Write32(StandIn.Config + 0x10, 0x4);
  }
  StandIn.Initial = static_cast<UINT8 *>(AllocateZeroed(kConfigSpaceSize));
  CopyBytes(StandIn.Initial, StandIn.Config, kConfigSpaceSize);
}

VOID ReportMac(const UINT8 *Mac) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (UINTN Index = 0; Index < 6; ++Index) {
    Out << (Index == 0 ? "" : ":") << kDigits[Mac[Index] >> 4] << kDigits[Mac[Index] & 0xF];
  }
}

}  // namespace

void *gBoardInfoInterface = &mBoardInfo;
void *gRegisterAccessInterface = &mRegisterAccess;

VOID SetUpPciSegment() {
  mEcamBase = FindEcamBase();
  if (mEcamBase == 0) Fail("no MCFG table");
  if (gScenario->RootPortCount > FW_MAX_ROOT_PORTS || gScenario->StandInCount > FW_MAX_STAND_INS) {
    Fail("scenario with too many functions");
  }
  for (UINT32 Index = 0; Index < gScenario->RootPortCount; ++Index) {
    const FW_ROOT_PORT &Described = gScenario->RootPorts[Index];
    if (*Ecam(Described.Bdf, 0) == 0xFFFFFFFF) Fail("a root port of the scenario is missing");
    RootPortState &Port = mRootPorts[mRootPortCount++];
    Port.Bdf = Described.Bdf;
    const UINT32 Buses = *Ecam(Described.Bdf, 0x18);
    Port.Secondary = static_cast<UINT8>(Buses >> 8);
    Port.Subordinate = static_cast<UINT8>(Buses >> 16);
    *Ecam(Described.Bdf, 0x15C) = Described.Register15C;
    Port.Register15C = *Ecam(Described.Bdf, 0x15C);
  }
  for (UINT32 Index = 0; Index < gScenario->StandInCount; ++Index) {
    PlaceStandIn(gScenario->StandIns[Index]);
  }
}

VOID ShowStandInsAsDecoding() {
  for (UINTN Index = 0; Index < mStandInCount; ++Index) ShowDecoding(mStandIns[Index]);
}

// The window a stand-in's 64-bit BAR pair decodes now, at its board address; a copy from there
// comes from the pages that answer for it. Any other source is ordinary memory.
const VOID *DeviceMemorySource(const VOID *Source) {
  const UINT64 Address = reinterpret_cast<UINT64>(Source);
  for (UINTN Index = 0; Index < mStandInCount; ++Index) {
    const StandInState &StandIn = mStandIns[Index];
    const UINT32 Bar0 = Read32(StandIn.Config + 0x10);
    if (StandIn.Memory == 0 || (Bar0 & 0x6) != 0x4) continue;
    const UINT64 Base = (UINT64{Read32(StandIn.Config + 0x14)} << 32 | Bar0) & ~UINT64{0xF};
    if (Base != 0 && Address >= Base && Address - Base < kDeviceMemorySize) {
      return reinterpret_cast<const VOID *>(StandIn.Memory + (Address - Base));
    }
  }
  return Source;
}

VOID ReportBoardAsSeen() {
  UINT32 Eax = 0;
  __asm__ volatile("cpuid" : "=a"(Eax) : "a"(1) : "ebx", "ecx", "edx");
  Out << "cpuid-eax " << Hex{Eax, 0} << "\n";
  Out << "pci-clear\n";
  for (UINTN Index = 0; Index < mRootPortCount; ++Index) {
    const RootPortState &Port = mRootPorts[Index];
    const UINT32 Id = *Ecam(Port.Bdf, 0);
    Out << "pci-root-port " << Bdf{Port.Bdf} << " id " << PciId{Id} << " secondary "
        << Hex{Port.Secondary, 2} << " subordinate " << Hex{Port.Subordinate, 2} << " reg-15c "
        << Hex{Port.Register15C, 0} << "\n";
  }
  for (UINTN Index = 0; Index < mStandInCount; ++Index) {
    const StandInState &StandIn = mStandIns[Index];
    const UINT32 Id = Read32(StandIn.Config);
    Out << "pci-endpoint " << Bdf{StandIn.Bdf} << " id " << PciId{Id} << " command "
        << Hex{static_cast<UINT64>(StandIn.Config[4] | StandIn.Config[5] << 8), 0};
    if (StandIn.Memory != 0) {
      Out << " memory " << Hex{StandIn.Window, 0} << " mac ";
      ReportMac(StandIn.Mac);
    } else {
      Out << " memory none";
    }
    Out << "\n";
  }
}

VOID ReportRegisterChanges() {
  for (UINTN Index = 0; Index < mRootPortCount; ++Index) {
    const RootPortState &Port = mRootPorts[Index];
    const UINT32 Now = *Ecam(Port.Bdf, 0x15C);
    if (Now != Port.Register15C) {
      Out << "register " << Bdf{Port.Bdf} << " 0x15C " << Hex{Port.Register15C, 8} << " "
          << Hex{Now, 8} << "\n";
    }
  }
  for (UINTN Index = 0; Index < mStandInCount; ++Index) {
    const StandInState &StandIn = mStandIns[Index];
    for (UINT32 Offset = 0; Offset < kConfigSpaceSize; Offset += 4) {
      const UINT32 Before = Read32(StandIn.Initial + Offset);
      const UINT32 Now = Read32(StandIn.Config + Offset);
      if (Before != Now) {
        Out << "register " << Bdf{StandIn.Bdf} << " " << Hex{Offset, 3} << " " << Hex{Before, 8}
            << " " << Hex{Now, 8} << "\n";
      }
    }
  }
}
