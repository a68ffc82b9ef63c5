// MenuPruner: fits the setup menus to the fitted riser. Nothing happens at start-up but the
// registrations; every edit runs when a setup edit protocol is installed.
#include "MenuPruner.h"

#include "BoardInfoProtocol.h"
#include "DebugReport.h"
#include "DriverFrame.h"
#include "MenuTextPool.h"
#include "Risers.h"

static VOID EFIAPI RiserMenuEditsNotify(EFI_EVENT Event, VOID *Context);

// A riser row as the riser edits walk it: which storage items it names, and where its own
// edits lie in the riser slot edits below.
struct RISER_MENU {
  UINT8 RiserType;
  UINT8 StorageItems;
  UINT8 FirstEdit;
  UINT8 EditCount;
};

// The steps of the riser edits, each walking its table below.
static const RISER_MENU *FindRiserMenu(UINT8 RiserType);
static VOID MakeFixedEdits(SETUP_EDIT_PROTOCOL *SetupEdit);
static VOID MakeM2Edits(SETUP_EDIT_PROTOCOL *SetupEdit);
static VOID MakeNvmeEdits(SETUP_EDIT_PROTOCOL *SetupEdit);
static VOID MakeRiserSlotEdits(SETUP_EDIT_PROTOCOL *SetupEdit, const RISER_MENU *Riser);
// DEBUG images: the setup edits a riser edits pass makes, the onboard NIC item's aside.
[[maybe_unused]] static UINTN PlannedRiserEdits(const RISER_MENU *Riser);
#if defined(BOARD_DEBUG_REPORTS)
static constinit UINTN mRiserEditPasses = 0;  // a second pass edits the same instance again
#endif

DRIVER_EXPORT EFI_STATUS EFIAPI MenuPrunerEntryPoint(EFI_HANDLE ImageHandle,
                                                     EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverFrame(ImageHandle, SystemTable);

  // Without the riser edits the driver still loads, with the KVRN labels alone.
  VOID *Registration = nullptr;
  EFI_EVENT RiserEditsEvent = nullptr;
  BOOLEAN RiserEditsArmed = FALSE;
  EFI_STATUS Armed = gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RiserMenuEditsNotify,
                                      nullptr, &RiserEditsEvent);
  if (!EFI_ERROR(Armed)) {
    Armed = gBS->RegisterProtocolNotify(&gSetupEditProtocolGuid, RiserEditsEvent, &Registration);
    if (!EFI_ERROR(Armed)) {
      RiserEditsArmed = TRUE;
    } else {
      gBS->CloseEvent(RiserEditsEvent);  // nothing could ever signal it
    }
  }
  if (!RiserEditsArmed) {
    DEBUG_REPORT(
        (DEBUG_ERROR, "MenuPruner: riser edits not armed: %r: the KVRN labels alone\n", Armed));
  }

  EFI_EVENT KvrnLabelsEvent = nullptr;
  EFI_STATUS Status = gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, KvrnLabelsNotify, nullptr,
                                       &KvrnLabelsEvent);
  if (!EFI_ERROR(Status)) {
    Status = gBS->RegisterProtocolNotify(&gSetupEditProtocolGuid, KvrnLabelsEvent, &Registration);
    if (!EFI_ERROR(Status)) {
      return Status;
    }
    DEBUG_REPORT((DEBUG_ERROR, "MenuPruner: KVRN labels event not registered: %r\n", Status));
    WithdrawEvent(KvrnLabelsEvent);
  } else {
    DEBUG_REPORT((DEBUG_ERROR, "MenuPruner: KVRN labels event not created: %r\n", Status));
  }

  // The start failed and the DXE core will unload this image: no event may still point into
  // it. Whatever the core refuses to withdraw keeps the image (EndFailedStart).
  if (RiserEditsArmed) {
    WithdrawEvent(RiserEditsEvent);
  }
  return EndFailedStart(Status);
}

static VOID EFIAPI RiserMenuEditsNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  if (gStartAbandoned) {  // the start failed but had to stay: nothing to do
    return;
  }
  SETUP_EDIT_PROTOCOL *SetupEdit = LocateSetupEdit();
  if (SetupEdit == nullptr) {
    return;
  }
  UINT8 RiserType = GetBoardInfoProtocol()->QueryBoardByte(BOARD_BYTE_RISER_TYPE);
#if defined(BOARD_DEBUG_REPORTS)
  if (++mRiserEditPasses > 1) {
    DEBUG_REPORT((DEBUG_WARN,
                  "MenuPruner: setup edit protocol installed again: editing the "
                  "instance found first once more\n"));
  }
#endif

  // A riser type without a row gets the fixed edits alone.
  MakeFixedEdits(SetupEdit);
  const RISER_MENU *Riser = FindRiserMenu(RiserType);
  DEBUG_REPORT((DEBUG_INFO, "MenuPruner: riser type %u: %lu setup edits\n", RiserType,
                PlannedRiserEdits(Riser)));
  if (Riser == nullptr) {
    return;
  }
  if ((Riser->StorageItems & RISER_M2_ITEMS) != 0) {
    MakeM2Edits(SetupEdit);
  }
  if ((Riser->StorageItems & RISER_NVME_ITEMS) != 0) {
    MakeNvmeEdits(SetupEdit);
  }
  MakeRiserSlotEdits(SetupEdit, Riser);
}

SETUP_EDIT_PROTOCOL *LocateSetupEdit() {
  VOID *Interface = nullptr;
  const EFI_STATUS Status = gBS->LocateProtocol(&gSetupEditProtocolGuid, nullptr, &Interface);
  if (EFI_ERROR(Status)) {
    DEBUG_REPORT((DEBUG_WARN, "MenuPruner: no setup edit protocol: %r\n", Status));
    return nullptr;
  }
  // An installation without an interface (null) edits nothing rather than call through it.
  return static_cast<SETUP_EDIT_PROTOCOL *>(Interface);
}

// ---- Riser edit tables --------------------------------------------------------------------------

enum MENU_CALL : UINT8 { HIDE_ITEM, UPDATE_STRING, ONBOARD_NIC_CHECK };
enum MENU_FORM_SET : UINT8 { SETUP, SOCKET_CONFIGURATION };

// One edit as it runs, in four bytes: the call in bits 15..13 of its item, the form set in bit
// 12, the string id below; and the new text's pool offset (retitles only).
constexpr UINT16 MENU_ID_MASK = 0x0FFF;
constexpr UINTN MENU_FORM_SET_SHIFT = 12;
constexpr UINTN MENU_CALL_SHIFT = 13;
struct MENU_EDIT {
  UINT16 Item;
  MENU_TEXT Text;
};

// Not defined: reaching it during the build means a string id does not fit its bits.
UINT16 MenuIdTooLarge();

// One edit as written.
struct MENU_EDIT_ROW {
  MENU_CALL Call = HIDE_ITEM;
  MENU_FORM_SET FormSet = SETUP;
  UINT16 Id = 0;
  const CHAR8 *Text = nullptr;

  using COMPACT = MENU_EDIT;
  static constexpr UINTN TEXT_COUNT = 1;
  constexpr const CHAR8 *TextAt(UINTN) const { return Text; }
  template <typename POOL>
  constexpr MENU_EDIT Compact(const POOL &Pool) const {
    const UINT16 Item =
        Id > MENU_ID_MASK
            ? MenuIdTooLarge()
            : static_cast<UINT16>(Call << MENU_CALL_SHIFT | FormSet << MENU_FORM_SET_SHIFT | Id);
    return {Item, Text == nullptr ? MENU_TEXT{0} : Pool.OffsetOf(Text)};
  }
};

// Every riser type: the items this board does not carry, the KVRN slot's own item.
constexpr MENU_EDIT_ROW kFixedEditRows[] = {
    {HIDE_ITEM, SETUP, 143},
    {HIDE_ITEM, SETUP, 1655},
    {HIDE_ITEM, SETUP, 1636},
    {HIDE_ITEM, SETUP, 1657},
    {HIDE_ITEM, SETUP, 1659},
    {HIDE_ITEM, SETUP, 1661},
    {HIDE_ITEM, SETUP, 1663},
    {HIDE_ITEM, SETUP, 1665},
    {HIDE_ITEM, SETUP, 1667},
    {HIDE_ITEM, SETUP, 1669},
    {HIDE_ITEM, SETUP, 1671},
    {HIDE_ITEM, SETUP, 1673},
    {HIDE_ITEM, SETUP, 1675},
    {HIDE_ITEM, SETUP, 1677},
    {HIDE_ITEM, SETUP, 1679},
    {HIDE_ITEM, SOCKET_CONFIGURATION, 2641},
    {ONBOARD_NIC_CHECK},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2337, "KVRN: CPU2 PCI-E 3.0"},
    {HIDE_ITEM, SOCKET_CONFIGURATION, 2432},
};

// Riser types 0 to 2, 5 and 6: the M.2 ports on the PCH's sSATA controller.
constexpr MENU_EDIT_ROW kM2EditRows[] = {
    {UPDATE_STRING, SOCKET_CONFIGURATION, 878, "M.2 HC: S-SATA4"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 879, "M.2 HC: S-SATA5"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2416, "M.2 HC: S-SATA4 VMD"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2417, "M.2 HC: S-SATA5 VMD"},
};

// Riser types 0 to 2: the root ports named after the NVMe bays they feed, once as plain ports
// and once under VMD. The bay numbers are the board's: 7 to 4 and 19 to 16 run against the ids.
enum NVME_PORT_ITEM : UINT8 { NVME_PLAIN, NVME_VMD, NVME_PORT_ITEMS };
struct NVME_PORT {
  struct {
    UINT16 Id;
    MENU_TEXT Text;
  } Items[NVME_PORT_ITEMS];  // the plain port, then the port under VMD
};

struct NVME_PORT_ROW {
  UINT16 PlainId;
  const CHAR8 *PlainText;
  UINT16 VmdId;
  const CHAR8 *VmdText;

  using COMPACT = NVME_PORT;
  static constexpr UINTN TEXT_COUNT = 2;
  constexpr const CHAR8 *TextAt(UINTN Text) const { return Text == 0 ? PlainText : VmdText; }
  template <typename POOL>
  constexpr NVME_PORT Compact(const POOL &Pool) const {
    return {{{PlainId, Pool.OffsetOf(PlainText)}, {VmdId, Pool.OffsetOf(VmdText)}}};
  }
};

constexpr NVME_PORT_ROW kNvmePortRows[] = {
    {2375, "NVMe0", 2486, "NVMe0 VMD"},   {2376, "NVMe1", 2487, "NVMe1 VMD"},
    {2377, "NVMe2", 2488, "NVMe2 VMD"},   {2378, "NVMe3", 2489, "NVMe3 VMD"},
    {2379, "NVMe7", 2492, "NVMe7 VMD"},   {2380, "NVMe6", 2493, "NVMe6 VMD"},
    {2381, "NVMe5", 2494, "NVMe5 VMD"},   {2382, "NVMe4", 2495, "NVMe4 VMD"},
    {2387, "NVMe8", 2504, "NVMe8 VMD"},   {2388, "NVMe9", 2505, "NVMe9 VMD"},
    {2389, "NVMe10", 2506, "NVMe10 VMD"}, {2390, "NVMe11", 2507, "NVMe11 VMD"},
    {2354, "NVMe12", 2456, "NVMe12 VMD"}, {2355, "NVMe13", 2457, "NVMe13 VMD"},
    {2356, "NVMe14", 2458, "NVMe14 VMD"}, {2357, "NVMe15", 2459, "NVMe15 VMD"},
    {2358, "NVMe19", 2462, "NVMe19 VMD"}, {2359, "NVMe18", 2463, "NVMe18 VMD"},
    {2360, "NVMe17", 2464, "NVMe17 VMD"}, {2361, "NVMe16", 2465, "NVMe16 VMD"},
    {2366, "NVMe20", 2474, "NVMe20 VMD"}, {2367, "NVMe21", 2475, "NVMe21 VMD"},
    {2368, "NVMe22", 2476, "NVMe22 VMD"}, {2369, "NVMe23", 2477, "NVMe23 VMD"},
};

// ---- Riser slot edits, from the riser rows --------------------------------------------------

// Each riser row's own edits, after its M.2 and NVMe ones: its slots' OPROM items retitled in
// slot order, the riser OPROM items no slot of it uses hidden, then its slots' port and VMD
// items retitled in the row's item order. Rows that make the same edits share them.

constexpr UINTN RISER_EDITS_PER_ROW = 4 * RISER_MAX_SLOTS;  // at most three per slot and a hide

struct RISER_EDIT_PLAN {
  MENU_EDIT_ROW Edits[RISER_COUNT * RISER_EDITS_PER_ROW];
  UINTN EditCount;
  RISER_MENU Menus[RISER_COUNT];
};

constexpr UINTN PlanRiserRow(const RISER_ROW &Riser, MENU_EDIT_ROW *Edits) {
  UINTN Count = 0;
  for (UINTN Slot = 0; Slot < Riser.SlotCount; ++Slot) {
    Edits[Count++] = {UPDATE_STRING, SETUP, Riser.Slots[Slot].OpromItem,
                      Riser.Slots[Slot].OpromText};
  }
  for (UINT16 Item : kRiserOpromItems) {
    if (!RiserHasOpromItem(Riser, Item)) {
      Edits[Count++] = {HIDE_ITEM, SETUP, Item};
    }
  }
  for (UINTN Position = 0; Position < Riser.SlotCount; ++Position) {
    const RISER_SLOT_ROW &Slot = Riser.Slots[Riser.ItemOrder[Position]];
    Edits[Count++] = {UPDATE_STRING, SOCKET_CONFIGURATION, Slot.PortItem, Slot.PortText};
  }
  for (UINTN Position = 0; Position < Riser.SlotCount; ++Position) {
    const RISER_SLOT_ROW &Slot = Riser.Slots[Riser.ItemOrder[Position]];
    Edits[Count++] = {UPDATE_STRING, SOCKET_CONFIGURATION, Slot.VmdItem, Slot.VmdText};
  }
  return Count;
}

constexpr bool SameMenuEdits(const MENU_EDIT_ROW *First, const MENU_EDIT_ROW *Second, UINTN Count) {
  for (UINTN Edit = 0; Edit < Count; ++Edit) {
    if (First[Edit].Call != Second[Edit].Call || First[Edit].FormSet != Second[Edit].FormSet ||
        First[Edit].Id != Second[Edit].Id ||
        (First[Edit].Text == nullptr) != (Second[Edit].Text == nullptr) ||
        (First[Edit].Text != nullptr && !SameText(First[Edit].Text, Second[Edit].Text))) {
      return false;
    }
  }
  return true;
}

constexpr RISER_EDIT_PLAN PlanRiserEdits() {
  RISER_EDIT_PLAN Plan{};
  for (UINTN Row = 0; Row < RISER_COUNT; ++Row) {
    MENU_EDIT_ROW *Next = Plan.Edits + Plan.EditCount;
    const UINTN Count = PlanRiserRow(kRisers[Row], Next);
    UINTN First = Plan.EditCount;
    for (UINTN Earlier = 0; Earlier < Row; ++Earlier) {
      const RISER_MENU &Menu = Plan.Menus[Earlier];
      if (Menu.EditCount == Count && SameMenuEdits(Plan.Edits + Menu.FirstEdit, Next, Count)) {
        First = Menu.FirstEdit;
      }
    }
    if (First == Plan.EditCount) {
      Plan.EditCount += Count;
    }
    Plan.Menus[Row] = {kRisers[Row].RiserType, kRisers[Row].StorageItems, static_cast<UINT8>(First),
                       static_cast<UINT8>(Count)};
  }
  return Plan;
}
constexpr RISER_EDIT_PLAN kRiserEditPlan = PlanRiserEdits();
static_assert(kRiserEditPlan.EditCount <= 0xFF, "riser edits are counted in bytes");

template <UINTN N>
struct RISER_EDIT_ROWS {
  MENU_EDIT_ROW Rows[N];
};
template <UINTN N>
constexpr RISER_EDIT_ROWS<N> RiserEditRows() {
  RISER_EDIT_ROWS<N> Rows{};
  for (UINTN Edit = 0; Edit < N; ++Edit) {
    Rows.Rows[Edit] = kRiserEditPlan.Edits[Edit];
  }
  return Rows;
}
constexpr auto kRiserSlotEditRows = RiserEditRows<kRiserEditPlan.EditCount>();

struct RISER_MENUS {
  RISER_MENU Rows[RISER_COUNT];
};
constexpr RISER_MENUS RiserMenus() {
  RISER_MENUS Menus{};
  for (UINTN Row = 0; Row < RISER_COUNT; ++Row) {
    Menus.Rows[Row] = kRiserEditPlan.Menus[Row];
  }
  return Menus;
}
static constexpr RISER_MENUS mRiserMenus = RiserMenus();

// One pool for all of them: the layouts share their port texts.
constexpr auto kRiserTextList =
    JoinMenuTexts(MenuTextsOf(kFixedEditRows), MenuTextsOf(kM2EditRows), MenuTextsOf(kNvmePortRows),
                  MenuTextsOf(kRiserSlotEditRows.Rows));
constexpr auto mRiserTexts = BuildMenuTextPool<MenuTextPoolSize(kRiserTextList)>(kRiserTextList);

constexpr auto mFixedEdits = CompactMenuTable(kFixedEditRows, mRiserTexts);
constexpr auto mM2Edits = CompactMenuTable(kM2EditRows, mRiserTexts);
constexpr auto mNvmePorts = CompactMenuTable(kNvmePortRows, mRiserTexts);
constexpr auto mRiserSlotEdits = CompactMenuTable(kRiserSlotEditRows.Rows, mRiserTexts);

// ---- Walking the tables -------------------------------------------------------------------------

// Statuses are not looked at: a failed edit does not stop the ones after it.
static VOID MakeMenuEdits(SETUP_EDIT_PROTOCOL *SetupEdit, const MENU_EDIT *Edits, UINTN Count) {
  for (const MENU_EDIT *Edit = Edits; Edit != Edits + Count; ++Edit) {
    const CHAR8 *Title = (Edit->Item >> MENU_FORM_SET_SHIFT & 1) == SETUP
                             ? SETUP_FORM_SET
                             : SOCKET_CONFIGURATION_FORM_SET;
    const UINT16 Id = Edit->Item & MENU_ID_MASK;
    switch (Edit->Item >> MENU_CALL_SHIFT) {
      case HIDE_ITEM:
        ReportFailedEdit("HideItem", Title, Id, SetupEdit->HideItem(Title, Id));
        break;
      case UPDATE_STRING:
        ReportFailedEdit("UpdateString", Title, Id,
                         SetupEdit->UpdateString(Title, Id, mRiserTexts.At(Edit->Text)));
        break;
      case ONBOARD_NIC_CHECK:
        SuppressAbsentOnboardNicItem(SetupEdit);
        break;
    }
  }
}

[[maybe_unused]] static UINTN PlannedRiserEdits(const RISER_MENU *Riser) {
  UINTN Edits = ArrayCount(mFixedEdits.Rows) - 1;  // but the onboard NIC check
  if (Riser != nullptr) {
    Edits += Riser->EditCount;
    if ((Riser->StorageItems & RISER_M2_ITEMS) != 0) {
      Edits += ArrayCount(mM2Edits.Rows);
    }
    if ((Riser->StorageItems & RISER_NVME_ITEMS) != 0) {
      Edits += NVME_PORT_ITEMS * ArrayCount(mNvmePorts.Rows);
    }
  }
  return Edits;
}

static VOID MakeFixedEdits(SETUP_EDIT_PROTOCOL *SetupEdit) {
  MakeMenuEdits(SetupEdit, mFixedEdits.Rows, ArrayCount(mFixedEdits.Rows));
}

static VOID MakeM2Edits(SETUP_EDIT_PROTOCOL *SetupEdit) {
  MakeMenuEdits(SetupEdit, mM2Edits.Rows, ArrayCount(mM2Edits.Rows));
}

// All plain ports, then all VMD ports.
static VOID MakeNvmeEdits(SETUP_EDIT_PROTOCOL *SetupEdit) {
  for (UINTN Item = 0; Item < NVME_PORT_ITEMS; ++Item) {
    for (const NVME_PORT &Port : mNvmePorts.Rows) {
      ReportFailedEdit("UpdateString", SOCKET_CONFIGURATION_FORM_SET, Port.Items[Item].Id,
                       SetupEdit->UpdateString(SOCKET_CONFIGURATION_FORM_SET, Port.Items[Item].Id,
                                               mRiserTexts.At(Port.Items[Item].Text)));
    }
  }
}

static const RISER_MENU *FindRiserMenu(UINT8 RiserType) {
  for (const RISER_MENU &Riser : mRiserMenus.Rows) {
    if (Riser.RiserType == RiserType) {
      return &Riser;
    }
  }
  return nullptr;
}

static VOID MakeRiserSlotEdits(SETUP_EDIT_PROTOCOL *SetupEdit, const RISER_MENU *Riser) {
  MakeMenuEdits(SetupEdit, mRiserSlotEdits.Rows + Riser->FirstEdit, Riser->EditCount);
}
