// SMBIOS records of the KVRN module. The platform's own record of the module's slot (Slot ID
// 0x0B01) is resized to the link the module runs, or removed when the module is unusable; each
// port the slot is split into gets an OEM record (type 161) in the System Slots layout.
#include "BoardSlotService.h"
#include "DebugReport.h"
#include "DriverFrame.h"
#include "MemRoutines.h"

// The platform's designation of the KVRN slot, matched without its NUL.
static constexpr CHAR8 kKvrnSlotDesignation[] = "KVRN: CPU2 PCIE 3.0";
constexpr UINTN KVRN_SLOT_DESIGNATION_LENGTH = sizeof(kKvrnSlotDesignation) - 1;

// Port records carry this designation with the port letter between the parentheses.
static constexpr CHAR8 kKvrnPortDesignation[] = "KVRN( ): CPU2 PCIE 3.0";
constexpr UINTN KVRN_PORT_DESIGNATION_LENGTH = sizeof(kKvrnPortDesignation) - 1;
constexpr UINTN KVRN_PORT_LETTER_INDEX = 5;
constexpr UINT16 KVRN_PORT_RECORD_SIZE =
    sizeof(SMBIOS_SYSTEM_SLOTS) + KVRN_PORT_DESIGNATION_LENGTH + 2;

// Ports B, C and D in record order. Segment, bus and device/function of a port record are the
// bytes of the port's slot location code.
static constexpr UINT32 kKvrnPortCodes[] = {KVRN_PORT_CODE_B, KVRN_PORT_CODE_C, KVRN_PORT_CODE_D};
constexpr UINTN KVRN_PORT_COUNT = sizeof(kKvrnPortCodes) / sizeof(kKvrnPortCodes[0]);
constexpr UINTN KVRN_PORT_INDEX_B = 0;
constexpr UINTN KVRN_PORT_INDEX_C = 1;

// A lone port record is 0x0B11 whichever port it describes; in the three-port split port i
// takes 0x0B01 with i + 1 in bits 7..4.
constexpr UINT16 KVRN_SINGLE_PORT_SLOT_ID = 0x0B11;

// Instance numbers of the SMBIOS edit protocol are 8-bit and count from 1.
constexpr UINTN SMBIOS_LAST_INSTANCE = 255;

// Copies shorter than this do not hold the Slot ID, and never match.
constexpr UINTN SLOT_ID_EXTENT = offsetof(SMBIOS_SYSTEM_SLOTS, SlotId) + sizeof(UINT16);

static VOID RemoveKvrnSlotRecord(SMBIOS_EDIT_PROTOCOL *Smbios);
static VOID SetKvrnSlotWidth(SMBIOS_EDIT_PROTOCOL *Smbios, UINT8 Width);
static VOID AddKvrnPortRecord(SMBIOS_EDIT_PROTOCOL *Smbios, SLOT_RECORD_BUFFER *Record, UINTN Port,
                              UINT8 Width, UINT16 SlotId);

VOID UpdateKvrnSlotRecords() {
  SLOT_RECORD_BUFFER Record;
  SetMem(&Record, sizeof(Record), 0);

  SMBIOS_EDIT_PROTOCOL *Smbios = LocateSmbiosEdit();
  if (Smbios == nullptr) {
    return;
  }
  BOARD_INFO_PROTOCOL *Board = GetBoardInfoProtocol();
  if (Board->QueryBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE) != 0) {
    RemoveKvrnSlotRecord(Smbios);
    return;
  }

  Record.Slot.Type = SMBIOS_TYPE_KVRN_PORT;
  Record.Slot.Length = sizeof(SMBIOS_SYSTEM_SLOTS);
  Record.Slot.Handle = SMBIOS_EDIT_ANY_HANDLE;
  Record.Slot.SlotDesignation = 1;
  Record.Slot.SlotType = SLOT_TYPE_PCIE_GEN3_X16;
  // Nothing here probes the port, so whether a card sits behind it is not known.
  Record.Slot.CurrentUsage = SLOT_USAGE_UNKNOWN;
  Record.Slot.SlotLength = SLOT_LENGTH_LONG;
  Record.Slot.SlotId = KVRN_SINGLE_PORT_SLOT_ID;
  Record.Slot.SlotCharacteristics1 = SLOT_CHARACTERISTICS1_3V3;
  Record.Slot.SlotCharacteristics2 = SLOT_CHARACTERISTICS2_PME;
  CopyMem(Record.Strings, kKvrnPortDesignation, KVRN_PORT_DESIGNATION_LENGTH);

  // Without the split bit only port B counts, as one x4 link. With it: no port is a single x16
  // link, port C alone an x8 link, anything else three x4 ports B, C and D.
  UINT8 Config = Board->QueryBoardByte(BOARD_BYTE_KVRN_CONFIG);
  if ((Config & KVRN_SPLIT) == 0) {
    if ((Config & KVRN_PORT_B) != 0) {
      SetKvrnSlotWidth(Smbios, SLOT_WIDTH_X4);
      AddKvrnPortRecord(Smbios, &Record, KVRN_PORT_INDEX_B, SLOT_WIDTH_X4,
                        KVRN_SINGLE_PORT_SLOT_ID);
    }
    return;
  }
  UINT8 Ports = Config & KVRN_PORT_MASK;
  if (Ports == 0) {
    SetKvrnSlotWidth(Smbios, SLOT_WIDTH_X16);
    return;
  }
  if (Ports == KVRN_PORT_C) {
    SetKvrnSlotWidth(Smbios, SLOT_WIDTH_X8);
    AddKvrnPortRecord(Smbios, &Record, KVRN_PORT_INDEX_C, SLOT_WIDTH_X8, KVRN_SINGLE_PORT_SLOT_ID);
    return;
  }
  SetKvrnSlotWidth(Smbios, SLOT_WIDTH_X4);
  for (UINTN Port = 0; Port < KVRN_PORT_COUNT; ++Port) {
    AddKvrnPortRecord(Smbios, &Record, Port, SLOT_WIDTH_X4,
                      static_cast<UINT16>(KVRN_SLOT_ID | ((Port + 1) << 4)));
  }
}

// The module is unusable: the first System Slots structure designated as the KVRN slot leaves
// the table. Every copy the protocol hands out is freed.
static VOID RemoveKvrnSlotRecord(SMBIOS_EDIT_PROTOCOL *Smbios) {
  for (UINTN Instance = 1; Instance <= SMBIOS_LAST_INSTANCE; ++Instance) {
    VOID *Copy = nullptr;
    UINT16 Size = 0;
    if (EFI_ERROR(Smbios->FindRecordByType(SMBIOS_TYPE_SYSTEM_SLOTS, static_cast<UINT8>(Instance),
                                           &Copy, &Size))) {
      DEBUG_REPORT((DEBUG_WARN,
                    "BoardSlotService: KVRN module unusable, but no KVRN slot record to remove\n"));
      return;
    }
    if (Copy == nullptr) {
      continue;
    }
    // The designation is the first string, which starts where the formatted area ends: at 17
    // in the layout the board writes, further on in SMBIOS 3.2's and later ones. A copy too
    // short to hold it there never matches.
    const UINT8 *Structure = static_cast<const UINT8 *>(Copy);
    bool Match = Size > offsetof(SMBIOS_SYSTEM_SLOTS, Length);
    if (Match) {
      const UINTN Designation = Structure[offsetof(SMBIOS_SYSTEM_SLOTS, Length)];
      Match = Size >= Designation + KVRN_SLOT_DESIGNATION_LENGTH &&
              CompareBytes(Structure + Designation, kKvrnSlotDesignation,
                           KVRN_SLOT_DESIGNATION_LENGTH) == 0;
    }
    if (Match) {
      const UINT16 Handle = ReadUnaligned16(Structure + offsetof(SMBIOS_SYSTEM_SLOTS, Handle));
      const EFI_STATUS Removed = Smbios->RemoveRecord(Handle);
      DEBUG_REPORT(
          (EFI_ERROR(Removed) ? DEBUG_WARN : DEBUG_INFO,
           "BoardSlotService: KVRN module unusable: removing KVRN slot record 0x%04x: %r\n", Handle,
           Removed));
    }
    const EFI_STATUS Freed = gBS->FreePool(Copy);
    if (EFI_ERROR(Freed)) {
      DEBUG_REPORT((DEBUG_WARN, "BoardSlotService: SMBIOS copy not freed: %r\n", Freed));
    }
    if (Match) {
      return;
    }
  }
}

// Every System Slots structure with the KVRN slot's Slot ID takes the width. A failing
// replacement ends the walk. The protocol keeps its own copy of what it is given, so each copy
// is freed once the protocol is done with it.
static VOID SetKvrnSlotWidth(SMBIOS_EDIT_PROTOCOL *Smbios, UINT8 Width) {
  UINTN Resized = 0;  // DEBUG images only: no record found is worth a line
  for (UINTN Instance = 1; Instance <= SMBIOS_LAST_INSTANCE; ++Instance) {
    VOID *Copy = nullptr;
    UINT16 Size = 0;
    EFI_STATUS Status = Smbios->FindRecordByType(SMBIOS_TYPE_SYSTEM_SLOTS,
                                                 static_cast<UINT8>(Instance), &Copy, &Size);
    if (EFI_ERROR(Status)) {
      if (Resized == 0) {
        DEBUG_REPORT((DEBUG_WARN,
                      "BoardSlotService: no KVRN slot record (Slot ID 0x%04x) to "
                      "set to width 0x%02x\n",
                      KVRN_SLOT_ID, Width));
      }
      return;
    }
    if (Copy == nullptr) {
      continue;
    }
    UINT8 *Structure = static_cast<UINT8 *>(Copy);
    // A formatted area that ends before the Slot ID has none: the bytes there are strings.
    if (Size >= SLOT_ID_EXTENT &&
        Structure[offsetof(SMBIOS_SYSTEM_SLOTS, Length)] >= SLOT_ID_EXTENT &&
        ReadUnaligned16(Structure + offsetof(SMBIOS_SYSTEM_SLOTS, SlotId)) == KVRN_SLOT_ID) {
      Structure[offsetof(SMBIOS_SYSTEM_SLOTS, SlotDataBusWidth)] = Width;
      Status = Smbios->ReplaceRecord(
          ReadUnaligned16(Structure + offsetof(SMBIOS_SYSTEM_SLOTS, Handle)), Copy, Size);
      ++Resized;
      DEBUG_REPORT((EFI_ERROR(Status) ? DEBUG_WARN : DEBUG_INFO,
                    "BoardSlotService: KVRN slot record 0x%04x to width 0x%02x: %r\n",
                    ReadUnaligned16(Structure + offsetof(SMBIOS_SYSTEM_SLOTS, Handle)), Width,
                    Status));
    }
    const EFI_STATUS Freed = gBS->FreePool(Copy);
    if (EFI_ERROR(Freed)) {
      DEBUG_REPORT((DEBUG_WARN, "BoardSlotService: SMBIOS copy not freed: %r\n", Freed));
    }
    if (EFI_ERROR(Status)) {
      return;
    }
  }
}

// One port record from the buffer that UpdateKvrnSlotRecords prepared; the buffer serves every
// port in turn. A failed insertion does not stop the next port.
static VOID AddKvrnPortRecord(SMBIOS_EDIT_PROTOCOL *Smbios, SLOT_RECORD_BUFFER *Record, UINTN Port,
                              UINT8 Width, UINT16 SlotId) {
  UINT32 Code = kKvrnPortCodes[Port];
  Record->Slot.SlotDataBusWidth = Width;
  Record->Slot.SlotId = SlotId;
  Record->Slot.SegmentGroupNumber = static_cast<UINT16>(Code >> 16);
  Record->Slot.BusNumber = static_cast<UINT8>(Code >> 8);
  Record->Slot.DeviceFunctionNumber = static_cast<UINT8>(Code);
  Record->Strings[KVRN_PORT_LETTER_INDEX] = static_cast<CHAR8>('B' + Port);
  const EFI_STATUS Status = Smbios->InsertRecord(Record, KVRN_PORT_RECORD_SIZE);
  DEBUG_REPORT((EFI_ERROR(Status) ? DEBUG_WARN : DEBUG_INFO,
                "BoardSlotService: adding KVRN port %c record (Slot ID 0x%04x, width 0x%02x): %r\n",
                Record->Strings[KVRN_PORT_LETTER_INDEX], SlotId, Width, Status));
}
