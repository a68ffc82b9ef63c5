// The risers this board takes, one row per riser type byte value (board byte 192): the slots
// the riser carries and what the setup names after it. BoardSlotService adds an SMBIOS System
// Slots record per slot; MenuPruner retitles the slots' setup items, hides the riser OPROM items
// no slot uses, and makes the M.2 and NVMe edits the row asks for; the emulator's report walks
// the same rows. A riser type without a row gets neither. Each driver compacts at build time
// the columns it uses (texts into pools, no pointer in the image).
//
// A new riser is a new row; a riser without a slot is the row without that slot (every slot
// keeps its own Slot ID and items, so the others do not move).
#ifndef SUPPORT_RISERS_H_
#define SUPPORT_RISERS_H_

#include "Uefi.h"

// The riser OPROM items of "Setup", one per slot position the setup knows.
inline constexpr UINT16 kRiserOpromItems[] = {1602, 1604, 1606, 1608, 1610, 1612, 1614, 1616};
constexpr UINTN RISER_MAX_SLOTS = sizeof(kRiserOpromItems) / sizeof(kRiserOpromItems[0]);

struct RISER_SLOT_ROW {
  const CHAR8 *Name;  // its SMBIOS designation; the X8 names keep both blanks before "X8"
  UINT16 SlotId;      // its SMBIOS Slot ID
  UINT8 Lanes;        // the link width the name states: 16 or 8
  UINT32 Code;        // its slot location code: segment group << 16 | bus << 8 | dev/func
  UINT16 OpromItem;   // "Setup": its OPROM item, one of kRiserOpromItems
  const CHAR8 *OpromText;
  UINT16 PortItem;  // "Socket Configuration": its root port's item
  const CHAR8 *PortText;
  UINT16 VmdItem;  // "Socket Configuration": its root port's item under VMD
  const CHAR8 *VmdText;
};

// The storage items of "Socket Configuration" a riser names.
enum RISER_STORAGE_ITEMS : UINT8 {
  RISER_M2_ITEMS = 0x01,    // the M.2 ports on the PCH's sSATA controller
  RISER_NVME_ITEMS = 0x02,  // the root ports named after the NVMe bays they feed
};

struct RISER_ROW {
  UINT8 RiserType;  // the riser type byte
  UINT8 StorageItems;
  UINT8 SlotCount;
  // In SMBIOS record order; the OPROM items are retitled in this order too.
  RISER_SLOT_ROW Slots[RISER_MAX_SLOTS];
  // The order the slots' port and VMD items are retitled in, by slot position.
  UINT8 ItemOrder[RISER_MAX_SLOTS];
};

// The TQW-M3-57K2 riser in its two layouts (riser types 5 and 6), and the NVMe riser types.
inline constexpr RISER_ROW kRisers[] = {
    {0, RISER_M2_ITEMS | RISER_NVME_ITEMS, 0, {}, {}},
    {1, RISER_M2_ITEMS | RISER_NVME_ITEMS, 0, {}, {}},
    {2, RISER_M2_ITEMS | RISER_NVME_ITEMS, 0, {}, {}},
    // Eight slots, two X16 and two X8 positions per side. The MS-Bot pair is listed Slot1
    // first, on bus 0xC0, the reverse of the MS-Top pair, and its port and VMD items are
    // retitled Slot2 first. The setup has no RS-Top VMD text: 2468 carries the MS-Top one, at
    // X16.
    {5,
     RISER_M2_ITEMS,
     8,
     {
         {"TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16", 10, 16, 0x42A000,  //
          1602, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16 OPROM",        //
          2379, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16",              //
          2492, "TQW-M3-57K2 Slot1 LS-Top PCIe Gen3 X16 VMD"},
         {"TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16", 11, 16, 0x41A000,  //
          1604, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16 OPROM",        //
          2375, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16",              //
          2486, "TQW-M3-57K2 Slot1 LS-Bot PCIe Gen3 X16 VMD"},
         {"TQW-M3-57K2 MS-Top Slot1 PCIe Gen3  X8", 12, 8, 0x44A000,  //
          1606, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X8 OPROM",        //
          2387, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X8",              //
          2498, "TQW-M3-57K2 Slot1 MS-Top PCIe Gen3 X8 VMD"},
         {"TQW-M3-57K2 MS-Top Slot2 PCIe Gen3  X8", 13, 8, 0x44C000,  //
          1608, "TQW-M3-57K2 MS-Top Slot2 PCIe Gen3 X8 OPROM",        //
          2389, "TQW-M3-57K2 MS-Top Slot2 PCIe Gen3 X8",              //
          2500, "TQW-M3-57K2 Slot2 MS-Top PCIe Gen3 X8 VMD"},
         {"TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3  X8", 14, 8, 0x32C000,  //
          1610, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X8 OPROM",        //
          2360, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X8",              //
          2464, "TQW-M3-57K2 Slot1 MS-Bot PCIe Gen3 X8 VMD"},
         {"TQW-M3-57K2 MS-Bot Slot2 PCIe Gen3  X8", 15, 8, 0x32A000,  //
          1612, "TQW-M3-57K2 MS-Bot Slot2 PCIe Gen3 X8 OPROM",        //
          2358, "TQW-M3-57K2 MS-Bot Slot2 PCIe Gen3 X8",              //
          2462, "TQW-M3-57K2 Slot2 MS-Bot PCIe Gen3 X8 VMD"},
         {"TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16", 16, 16, 0x34A000,  //
          1614, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16 OPROM",        //
          2366, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16",              //
          2468, "TQW-M3-57K2 Slot1 MS-Top PCIe Gen3 X16 VMD"},
         {"TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16", 17, 16, 0x31A000,  //
          1616, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16 OPROM",        //
          2354, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16",              //
          2456, "TQW-M3-57K2 Slot1 RS-Bot PCIe Gen3 X16 VMD"},
     },
     {0, 1, 2, 3, 5, 4, 6, 7}},
    // Six X16 slots; OPROM items 1614 and 1616 have no slot. The VMD items take the plain port
    // texts.
    {6,
     RISER_M2_ITEMS,
     6,
     {
         {"TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16", 10, 16, 0x42A000,  //
          1602, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 x16 OPROM",        //
          2379, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16",              //
          2492, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16"},
         {"TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16", 11, 16, 0x41A000,  //
          1604, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 x16 OPROM",        //
          2375, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16",              //
          2486, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16"},
         {"TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X16", 12, 16, 0x44A000,  //
          1606, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 x16 OPROM",        //
          2387, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X16",              //
          2498, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X16"},
         {"TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X16", 13, 16, 0x32C000,  //
          1608, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 x16 OPROM",        //
          2358, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X16",              //
          2462, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X16"},
         {"TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16", 14, 16, 0x34A000,  //
          1610, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 x16 OPROM",        //
          2366, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16",              //
          2468, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16"},
         {"TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16", 15, 16, 0x31A000,  //
          1612, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 x16 OPROM",        //
          2354, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16",              //
          2456, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16"},
     },
     {0, 1, 2, 3, 4, 5}},
};
constexpr UINTN RISER_COUNT = sizeof(kRisers) / sizeof(kRisers[0]);

// Whether a slot of the riser has this riser OPROM item: MenuPruner hides those no slot has.
constexpr bool RiserHasOpromItem(const RISER_ROW &Riser, UINT16 Item) {
  for (UINTN Slot = 0; Slot < Riser.SlotCount; ++Slot) {
    if (Riser.Slots[Slot].OpromItem == Item) {
      return true;
    }
  }
  return false;
}

// Each riser type has one row; each slot an OPROM item of its own among kRiserOpromItems and a
// Slot ID of its own; the item order names every slot once.
constexpr bool RiserRowsAreSound() {
  for (UINTN Row = 0; Row < RISER_COUNT; ++Row) {
    const RISER_ROW &Riser = kRisers[Row];
    if (Riser.SlotCount > RISER_MAX_SLOTS) {
      return false;
    }
    for (UINTN Other = 0; Other < Row; ++Other) {
      if (kRisers[Other].RiserType == Riser.RiserType) {
        return false;
      }
    }
    UINT32 OrderSeen = 0;
    for (UINTN Slot = 0; Slot < Riser.SlotCount; ++Slot) {
      const RISER_SLOT_ROW &Row2 = Riser.Slots[Slot];
      bool KnownItem = false;
      for (UINT16 Item : kRiserOpromItems) {
        KnownItem = KnownItem || Item == Row2.OpromItem;
      }
      if (!KnownItem || (Row2.Lanes != 8 && Row2.Lanes != 16) || Row2.Name == nullptr ||
          Row2.OpromText == nullptr || Row2.PortText == nullptr || Row2.VmdText == nullptr) {
        return false;
      }
      for (UINTN Earlier = 0; Earlier < Slot; ++Earlier) {
        if (Riser.Slots[Earlier].SlotId == Row2.SlotId ||
            Riser.Slots[Earlier].OpromItem == Row2.OpromItem) {
          return false;
        }
      }
      if (Riser.ItemOrder[Slot] >= Riser.SlotCount) {
        return false;
      }
      OrderSeen |= 1u << Riser.ItemOrder[Slot];
    }
    if (OrderSeen != (1u << Riser.SlotCount) - 1) {
      return false;
    }
  }
  return true;
}
static_assert(RiserRowsAreSound(), "riser rows");

#endif  // SUPPORT_RISERS_H_
