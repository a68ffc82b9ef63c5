// SMBIOS System Slots records for the slots of the TQW-M3-57K2 riser card: eight in layout 5,
// six in layout 6. They are added beside whatever the table holds; nothing there is read.
#include "BoardInfoProtocol.h"
#include "BoardSlotService.h"
#include "DriverFrame.h"
#include "MemRoutines.h"

// The riser's slot names, 38 characters each, in rows of fixed size so that a slot finds its
// name without a pointer (and the image needs no relocation for it). Each name comes with the
// link width it states; the X8 names keep both blanks before "X8".
constexpr UINTN RISER_SLOT_NAME_SIZE = 39;
struct RISER_SLOT_NAME {
  CHAR8 Text[RISER_SLOT_NAME_SIZE];
  UINT8 Width;
};
enum : UINT8 {
  LS_TOP_SLOT1,
  LS_BOT_SLOT1,
  MS_TOP_SLOT1_X8,
  MS_TOP_SLOT2_X8,
  MS_BOT_SLOT1_X8,
  MS_BOT_SLOT2_X8,
  RS_TOP_SLOT1,
  RS_BOT_SLOT1,
  MS_TOP_SLOT1_X16,
  MS_BOT_SLOT1_X16,
};
static constexpr RISER_SLOT_NAME kRiserSlotNames[] = {
    {"TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16", SLOT_WIDTH_X16},
    {"TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16", SLOT_WIDTH_X16},
    {"TQW-M3-57K2 MS-Top Slot1 PCIe Gen3  X8", SLOT_WIDTH_X8},
    {"TQW-M3-57K2 MS-Top Slot2 PCIe Gen3  X8", SLOT_WIDTH_X8},
    {"TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3  X8", SLOT_WIDTH_X8},
    {"TQW-M3-57K2 MS-Bot Slot2 PCIe Gen3  X8", SLOT_WIDTH_X8},
    {"TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16", SLOT_WIDTH_X16},
    {"TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16", SLOT_WIDTH_X16},
    {"TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X16", SLOT_WIDTH_X16},
    {"TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X16", SLOT_WIDTH_X16},
};

// A slot of a layout: its name and the segment, bus and device/function of its root port.
// Its Slot ID is its position in the layout + 10.
struct RISER_SLOT {
  UINT8 Name;
  UINT8 Bus;
  UINT16 SegmentGroup;
  UINT8 DeviceFunction;
};
constexpr UINT16 RISER_FIRST_SLOT_ID = 10;

// Rows: {name, bus, segment group, device/function}.

static constexpr RISER_SLOT kRiserEightSlots[] = {
    {LS_TOP_SLOT1, 0xA0, 0x0042, 0x00},    {LS_BOT_SLOT1, 0xA0, 0x0041, 0x00},
    {MS_TOP_SLOT1_X8, 0xA0, 0x0044, 0x00}, {MS_TOP_SLOT2_X8, 0xC0, 0x0044, 0x00},
    {MS_BOT_SLOT1_X8, 0xC0, 0x0032, 0x00}, {MS_BOT_SLOT2_X8, 0xA0, 0x0032, 0x00},
    {RS_TOP_SLOT1, 0xA0, 0x0034, 0x00},    {RS_BOT_SLOT1, 0xA0, 0x0031, 0x00},
};
static constexpr RISER_SLOT kRiserSixSlots[] = {
    {LS_TOP_SLOT1, 0xA0, 0x0042, 0x00},     {LS_BOT_SLOT1, 0xA0, 0x0041, 0x00},
    {MS_TOP_SLOT1_X16, 0xA0, 0x0044, 0x00}, {MS_BOT_SLOT1_X16, 0xC0, 0x0032, 0x00},
    {RS_TOP_SLOT1, 0xA0, 0x0034, 0x00},     {RS_BOT_SLOT1, 0xA0, 0x0031, 0x00},
};

static UINTN SlotNameLength(const CHAR8 *Name) {
  UINTN Length = 0;
  while (Length < RISER_SLOT_NAME_SIZE - 1 && Name[Length] != '\0') {
    ++Length;
  }
  return Length;
}

VOID AddRiserSlotRecords(UINT8 RiserType) {
  SLOT_RECORD_BUFFER Record;
  SetMem(&Record, sizeof(Record), 0);
  if (RiserType != RISER_TYPE_EIGHT_SLOTS && RiserType != RISER_TYPE_SIX_SLOTS) {
    return;
  }
  SMBIOS_EDIT_PROTOCOL *Smbios = LocateSmbiosEdit();
  if (Smbios == nullptr) {
    return;
  }

  const RISER_SLOT *Slots = kRiserEightSlots;
  UINTN Count = sizeof(kRiserEightSlots) / sizeof(kRiserEightSlots[0]);
  if (RiserType == RISER_TYPE_SIX_SLOTS) {
    Slots = kRiserSixSlots;
    Count = sizeof(kRiserSixSlots) / sizeof(kRiserSixSlots[0]);
  }

  for (UINTN Index = 0; Index < Count; ++Index) {
    const RISER_SLOT_NAME *Name = &kRiserSlotNames[Slots[Index].Name];
    Record.Slot.Type = SMBIOS_TYPE_SYSTEM_SLOTS;
    Record.Slot.Length = sizeof(SMBIOS_SYSTEM_SLOTS);
    Record.Slot.Handle = SMBIOS_EDIT_ANY_HANDLE;
    Record.Slot.SlotId = static_cast<UINT16>(RISER_FIRST_SLOT_ID + Index);
    Record.Slot.SegmentGroupNumber = Slots[Index].SegmentGroup;
    Record.Slot.BusNumber = Slots[Index].Bus;
    Record.Slot.DeviceFunctionNumber = Slots[Index].DeviceFunction;
    Record.Slot.SlotDesignation = 1;
    Record.Slot.SlotType = SLOT_TYPE_PCIE_GEN3_X16;
    Record.Slot.SlotCharacteristics1 = SLOT_CHARACTERISTICS1_3V3;
    Record.Slot.SlotCharacteristics2 = SLOT_CHARACTERISTICS2_PME;
    Record.Slot.SlotLength = SLOT_LENGTH_LONG;
    Record.Slot.SlotDataBusWidth = Name->Width;
    // Nothing here probes the slot, so whether a card sits in it is not known.
    Record.Slot.CurrentUsage = SLOT_USAGE_UNKNOWN;

    UINTN Length = SlotNameLength(Name->Text);
    CopyMem(Record.Strings, Name->Text, Length);
    Record.Strings[Length] = '\0';
    Record.Strings[Length + 1] = '\0';
    // A failed insertion does not keep the next slot out.
    Smbios->InsertRecord(&Record, static_cast<UINT16>(sizeof(SMBIOS_SYSTEM_SLOTS) + Length + 2));
  }
}
