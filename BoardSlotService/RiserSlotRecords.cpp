// SMBIOS System Slots records for the slots of the fitted riser, one per slot of its row in
// the riser rows (Risers.h). They are added beside whatever the table holds; nothing there is
// read.
#include "BoardInfoProtocol.h"
#include "BoardSlotService.h"
#include "DebugReport.h"
#include "DriverFrame.h"
#include "MemRoutines.h"
#include "Risers.h"

// The riser rows' slots as this driver walks them, built from the rows at compile time: the
// rows with slots, each slot's root port (segment, bus, device/function: its slot location code
// read as bytes) and Slot ID, and each distinct name once, in a row of fixed size with the
// width it states, so that a slot finds its name without a pointer (and the image needs no
// relocation for it).
struct RISER_SLOT_LAYOUT {
  UINT8 RiserType;
  UINT8 FirstSlot;
  UINT8 SlotCount;
};

struct RISER_SLOT {
  UINT8 Name;
  UINT8 Bus;
  UINT16 SegmentGroup;
  UINT8 DeviceFunction;
  UINT8 SlotId;
};

constexpr UINTN RiserSlotNameLength(const CHAR8 *Name) {
  UINTN Length = 0;
  while (Name[Length] != '\0') {
    ++Length;
  }
  return Length;
}

struct RISER_SLOT_COUNTS {
  UINTN Layouts = 0, Slots = 0, Names = 0, NameSize = 0;
};

// Where a slot's name first appears among the rows' slots, or the slot itself.
constexpr UINTN FirstSlotNamed(UINTN Row, UINTN Slot) {
  for (UINTN EarlierRow = 0; EarlierRow <= Row; ++EarlierRow) {
    const UINTN Last = EarlierRow == Row ? Slot : kRisers[EarlierRow].SlotCount;
    for (UINTN Earlier = 0; Earlier < Last; ++Earlier) {
      if (SameText(kRisers[EarlierRow].Slots[Earlier].Name, kRisers[Row].Slots[Slot].Name)) {
        return EarlierRow * RISER_MAX_SLOTS + Earlier;
      }
    }
  }
  return Row * RISER_MAX_SLOTS + Slot;
}

constexpr RISER_SLOT_COUNTS CountRiserSlots() {
  RISER_SLOT_COUNTS Counts;
  for (UINTN Row = 0; Row < RISER_COUNT; ++Row) {
    Counts.Layouts += kRisers[Row].SlotCount != 0;
    for (UINTN Slot = 0; Slot < kRisers[Row].SlotCount; ++Slot) {
      ++Counts.Slots;
      if (FirstSlotNamed(Row, Slot) == Row * RISER_MAX_SLOTS + Slot) {
        ++Counts.Names;
      }
      const UINTN Size = RiserSlotNameLength(kRisers[Row].Slots[Slot].Name) + 1;
      Counts.NameSize = Size > Counts.NameSize ? Size : Counts.NameSize;
    }
  }
  return Counts;
}
constexpr RISER_SLOT_COUNTS RISER_SLOTS = CountRiserSlots();

struct RISER_SLOT_NAME {
  CHAR8 Text[RISER_SLOTS.NameSize];
  UINT8 Width;  // SMBIOS Slot Data Bus Width
};

struct RISER_SLOT_TABLES {
  RISER_SLOT_LAYOUT Layouts[RISER_SLOTS.Layouts];
  RISER_SLOT Slots[RISER_SLOTS.Slots];
  RISER_SLOT_NAME Names[RISER_SLOTS.Names];
};

// Not defined: reaching it during the build means a riser row does not fit the compact tables.
UINT8 RiserRowTooLarge();

constexpr UINT8 Fits8(UINTN Value) {
  return Value > 0xFF ? RiserRowTooLarge() : static_cast<UINT8>(Value);
}

constexpr RISER_SLOT_TABLES CompactRiserSlots() {
  RISER_SLOT_TABLES Tables{};
  UINTN Layouts = 0, Slots = 0, Names = 0;
  UINTN NameOf[RISER_COUNT * RISER_MAX_SLOTS] = {};
  for (UINTN Row = 0; Row < RISER_COUNT; ++Row) {
    const RISER_ROW &Riser = kRisers[Row];
    if (Riser.SlotCount == 0) {
      continue;
    }
    Tables.Layouts[Layouts++] = {Riser.RiserType, Fits8(Slots), Riser.SlotCount};
    for (UINTN Slot = 0; Slot < Riser.SlotCount; ++Slot) {
      const RISER_SLOT_ROW &From = Riser.Slots[Slot];
      const UINTN Named = FirstSlotNamed(Row, Slot);
      if (Named == Row * RISER_MAX_SLOTS + Slot) {
        RISER_SLOT_NAME &Name = Tables.Names[Names];
        for (UINTN Char = 0; From.Name[Char] != '\0'; ++Char) {
          Name.Text[Char] = From.Name[Char];
        }
        Name.Width = From.Lanes == 16 ? SLOT_WIDTH_X16 : SLOT_WIDTH_X8;
        NameOf[Named] = Names++;
      }
      Tables.Slots[Slots++] = {Fits8(NameOf[Named]), static_cast<UINT8>(From.Code >> 8),
                               static_cast<UINT16>(From.Code >> 16), static_cast<UINT8>(From.Code),
                               Fits8(From.SlotId)};
    }
  }
  return Tables;
}
static constexpr RISER_SLOT_TABLES mRiserSlots = CompactRiserSlots();

static UINTN SlotNameLength(const CHAR8 *Name) {
  UINTN Length = 0;
  while (Length < RISER_SLOTS.NameSize - 1 && Name[Length] != '\0') {
    ++Length;
  }
  return Length;
}

VOID AddRiserSlotRecords(UINT8 RiserType) {
  SLOT_RECORD_BUFFER Record;
  SetMem(&Record, sizeof(Record), 0);
  // A riser without slots adds no record, and needs no protocol.
  const RISER_SLOT_LAYOUT *Layout = nullptr;
  for (const RISER_SLOT_LAYOUT &Riser : mRiserSlots.Layouts) {
    if (Riser.RiserType == RiserType) {
      Layout = &Riser;
    }
  }
  if (Layout == nullptr) {
    DEBUG_REPORT((DEBUG_INFO, "BoardSlotService: riser type %u has no slots: no riser records\n",
                  RiserType));
    return;
  }
  SMBIOS_EDIT_PROTOCOL *Smbios = LocateSmbiosEdit();
  if (Smbios == nullptr) {
    return;
  }

  const RISER_SLOT *Slot = mRiserSlots.Slots + Layout->FirstSlot;
  for (const RISER_SLOT *End = Slot + Layout->SlotCount; Slot != End; ++Slot) {
    const RISER_SLOT_NAME *Name = &mRiserSlots.Names[Slot->Name];
    Record.Slot.Type = SMBIOS_TYPE_SYSTEM_SLOTS;
    Record.Slot.Length = sizeof(SMBIOS_SYSTEM_SLOTS);
    Record.Slot.Handle = SMBIOS_EDIT_ANY_HANDLE;
    Record.Slot.SlotId = Slot->SlotId;
    Record.Slot.SegmentGroupNumber = Slot->SegmentGroup;
    Record.Slot.BusNumber = Slot->Bus;
    Record.Slot.DeviceFunctionNumber = Slot->DeviceFunction;
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
    const EFI_STATUS Status = Smbios->InsertRecord(
        &Record, static_cast<UINT16>(sizeof(SMBIOS_SYSTEM_SLOTS) + Length + 2));
    DEBUG_REPORT((EFI_ERROR(Status) ? DEBUG_WARN : DEBUG_INFO,
                  "BoardSlotService: adding riser slot record %u \"%a\": %r\n", Slot->SlotId,
                  Name->Text, Status));
  }
}
