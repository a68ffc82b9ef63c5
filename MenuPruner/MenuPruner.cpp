// MenuPruner: fits the setup menus to the fitted riser. Nothing happens at start-up but the
// registrations; every edit runs when a setup edit protocol is installed.
#include "MenuPruner.h"

#include "BoardInfoProtocol.h"
#include "DriverFrame.h"
#include "MenuTextPool.h"

static VOID EFIAPI RiserMenuEditsNotify(EFI_EVENT Event, VOID *Context);

// The steps of the riser edits, each walking its table below.
static VOID MakeFixedEdits(SETUP_EDIT_PROTOCOL *SetupEdit);
static VOID MakeM2Edits(SETUP_EDIT_PROTOCOL *SetupEdit);
static VOID MakeNvmeEdits(SETUP_EDIT_PROTOCOL *SetupEdit);
static VOID MakeRiserLayout5Edits(SETUP_EDIT_PROTOCOL *SetupEdit);
static VOID MakeRiserLayout6Edits(SETUP_EDIT_PROTOCOL *SetupEdit);

DRIVER_EXPORT EFI_STATUS EFIAPI MenuPrunerEntryPoint(EFI_HANDLE ImageHandle,
                                                     EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverFrame(ImageHandle, SystemTable);

  // Without the riser edits the driver still loads, with the KVRN labels alone.
  VOID *Registration = nullptr;
  EFI_EVENT RiserEditsEvent = nullptr;
  BOOLEAN RiserEditsArmed = FALSE;
  if (!EFI_ERROR(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RiserMenuEditsNotify, nullptr,
                                  &RiserEditsEvent))) {
    if (!EFI_ERROR(
            gBS->RegisterProtocolNotify(&gSetupEditProtocolGuid, RiserEditsEvent, &Registration))) {
      RiserEditsArmed = TRUE;
    } else {
      gBS->CloseEvent(RiserEditsEvent);  // nothing could ever signal it
    }
  }

  EFI_EVENT KvrnLabelsEvent = nullptr;
  EFI_STATUS Status = gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, KvrnLabelsNotify, nullptr,
                                       &KvrnLabelsEvent);
  if (!EFI_ERROR(Status)) {
    Status = gBS->RegisterProtocolNotify(&gSetupEditProtocolGuid, KvrnLabelsEvent, &Registration);
    if (!EFI_ERROR(Status)) {
      return Status;
    }
    WithdrawEvent(KvrnLabelsEvent);
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

  MakeFixedEdits(SetupEdit);
  if (RiserType <= RISER_TYPE_LAST_NVME || RiserType == RISER_TYPE_EIGHT_SLOTS ||
      RiserType == RISER_TYPE_SIX_SLOTS) {
    MakeM2Edits(SetupEdit);
  }
  if (RiserType <= RISER_TYPE_LAST_NVME) {
    MakeNvmeEdits(SetupEdit);
  }
  if (RiserType == RISER_TYPE_EIGHT_SLOTS) {
    MakeRiserLayout5Edits(SetupEdit);
  }
  if (RiserType == RISER_TYPE_SIX_SLOTS) {
    MakeRiserLayout6Edits(SetupEdit);
  }
}

SETUP_EDIT_PROTOCOL *LocateSetupEdit() {
  VOID *Interface = nullptr;
  if (EFI_ERROR(gBS->LocateProtocol(&gSetupEditProtocolGuid, nullptr, &Interface))) {
    return nullptr;
  }
  // An installation without an interface (null) edits nothing rather than call through it.
  return static_cast<SETUP_EDIT_PROTOCOL *>(Interface);
}

// ---- Riser edit tables --------------------------------------------------------------------------

enum MENU_CALL : UINT8 { HIDE_ITEM, UPDATE_STRING, ONBOARD_NIC_CHECK };
enum MENU_FORM_SET : UINT8 { SETUP, SOCKET_CONFIGURATION };

// One edit as it runs: the call, the item, and the new text's pool offset (retitles only).
struct MENU_EDIT {
  MENU_CALL Call;
  MENU_FORM_SET FormSet;
  UINT16 Id;
  MENU_TEXT Text;
};

// One edit as written.
struct MENU_EDIT_ROW {
  MENU_CALL Call;
  MENU_FORM_SET FormSet = SETUP;
  UINT16 Id = 0;
  const CHAR8 *Text = nullptr;

  using COMPACT = MENU_EDIT;
  static constexpr UINTN TEXT_COUNT = 1;
  constexpr const CHAR8 *TextAt(UINTN) const { return Text; }
  template <typename POOL>
  constexpr MENU_EDIT Compact(const POOL &Pool) const {
    return {Call, FormSet, Id, Text == nullptr ? MENU_TEXT{0} : Pool.OffsetOf(Text)};
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

// With the NVMe names, the riser slots' OPROM items go.
constexpr UINT16 kNvmeHiddenOpromItems[] = {1602, 1604, 1606, 1608, 1610, 1612, 1614, 1616};

// Riser type 5: eight riser slots, two X16 and two X8 positions per side.
constexpr MENU_EDIT_ROW kRiserLayout5EditRows[] = {
    {UPDATE_STRING, SETUP, 1602, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16 OPROM"},
    {UPDATE_STRING, SETUP, 1604, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16 OPROM"},
    {UPDATE_STRING, SETUP, 1606, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X8 OPROM"},
    {UPDATE_STRING, SETUP, 1608, "TQW-M3-57K2 MS-Top Slot2 PCIe Gen3 X8 OPROM"},
    {UPDATE_STRING, SETUP, 1610, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X8 OPROM"},
    {UPDATE_STRING, SETUP, 1612, "TQW-M3-57K2 MS-Bot Slot2 PCIe Gen3 X8 OPROM"},
    {UPDATE_STRING, SETUP, 1614, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16 OPROM"},
    {UPDATE_STRING, SETUP, 1616, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16 OPROM"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2379, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2375, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2387, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X8"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2389, "TQW-M3-57K2 MS-Top Slot2 PCIe Gen3 X8"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2358, "TQW-M3-57K2 MS-Bot Slot2 PCIe Gen3 X8"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2360, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X8"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2366, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2354, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2492, "TQW-M3-57K2 Slot1 LS-Top PCIe Gen3 X16 VMD"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2486, "TQW-M3-57K2 Slot1 LS-Bot PCIe Gen3 X16 VMD"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2498, "TQW-M3-57K2 Slot1 MS-Top PCIe Gen3 X8 VMD"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2500, "TQW-M3-57K2 Slot2 MS-Top PCIe Gen3 X8 VMD"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2462, "TQW-M3-57K2 Slot2 MS-Bot PCIe Gen3 X8 VMD"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2464, "TQW-M3-57K2 Slot1 MS-Bot PCIe Gen3 X8 VMD"},
    // The board's setup has no RS-Top VMD text: 2468 carries the MS-Top one, at X16.
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2468, "TQW-M3-57K2 Slot1 MS-Top PCIe Gen3 X16 VMD"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2456, "TQW-M3-57K2 Slot1 RS-Bot PCIe Gen3 X16 VMD"},
};

// Riser type 6: six X16 riser slots; the last two OPROM items have no slot. The VMD items get
// the plain port texts, and 2389, 2360, 2500 and 2464 are left as they are.
constexpr MENU_EDIT_ROW kRiserLayout6EditRows[] = {
    {UPDATE_STRING, SETUP, 1602, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 x16 OPROM"},
    {UPDATE_STRING, SETUP, 1604, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 x16 OPROM"},
    {UPDATE_STRING, SETUP, 1606, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 x16 OPROM"},
    {UPDATE_STRING, SETUP, 1608, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 x16 OPROM"},
    {UPDATE_STRING, SETUP, 1610, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 x16 OPROM"},
    {UPDATE_STRING, SETUP, 1612, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 x16 OPROM"},
    {HIDE_ITEM, SETUP, 1614},
    {HIDE_ITEM, SETUP, 1616},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2379, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2375, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2387, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2358, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2366, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2354, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2492, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2486, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2498, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2462, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2468, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16"},
    {UPDATE_STRING, SOCKET_CONFIGURATION, 2456, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16"},
};

// One pool for all of them: the layouts share their port texts.
constexpr auto kRiserTextList =
    JoinMenuTexts(MenuTextsOf(kFixedEditRows), MenuTextsOf(kM2EditRows), MenuTextsOf(kNvmePortRows),
                  MenuTextsOf(kRiserLayout5EditRows), MenuTextsOf(kRiserLayout6EditRows));
constexpr auto mRiserTexts = BuildMenuTextPool<MenuTextPoolSize(kRiserTextList)>(kRiserTextList);

constexpr auto mFixedEdits = CompactMenuTable(kFixedEditRows, mRiserTexts);
constexpr auto mM2Edits = CompactMenuTable(kM2EditRows, mRiserTexts);
constexpr auto mNvmePorts = CompactMenuTable(kNvmePortRows, mRiserTexts);
constexpr auto mRiserLayout5Edits = CompactMenuTable(kRiserLayout5EditRows, mRiserTexts);
constexpr auto mRiserLayout6Edits = CompactMenuTable(kRiserLayout6EditRows, mRiserTexts);

// ---- Walking the tables -------------------------------------------------------------------------

// Statuses are not looked at: a failed edit does not stop the ones after it.
static VOID MakeMenuEdits(SETUP_EDIT_PROTOCOL *SetupEdit, const MENU_EDIT *Edits, UINTN Count) {
  for (const MENU_EDIT *Edit = Edits; Edit != Edits + Count; ++Edit) {
    const CHAR8 *Title = Edit->FormSet == SETUP ? SETUP_FORM_SET : SOCKET_CONFIGURATION_FORM_SET;
    switch (Edit->Call) {
      case HIDE_ITEM:
        SetupEdit->HideItem(Title, Edit->Id);
        break;
      case UPDATE_STRING:
        SetupEdit->UpdateString(Title, Edit->Id, mRiserTexts.At(Edit->Text));
        break;
      case ONBOARD_NIC_CHECK:
        SuppressAbsentOnboardNicItem(SetupEdit);
        break;
    }
  }
}

static VOID MakeFixedEdits(SETUP_EDIT_PROTOCOL *SetupEdit) {
  MakeMenuEdits(SetupEdit, mFixedEdits.Rows, ArrayCount(mFixedEdits.Rows));
}

static VOID MakeM2Edits(SETUP_EDIT_PROTOCOL *SetupEdit) {
  MakeMenuEdits(SetupEdit, mM2Edits.Rows, ArrayCount(mM2Edits.Rows));
}

// All plain ports, then all VMD ports, then the riser slots' OPROM items go.
static VOID MakeNvmeEdits(SETUP_EDIT_PROTOCOL *SetupEdit) {
  for (UINTN Item = 0; Item < NVME_PORT_ITEMS; ++Item) {
    for (const NVME_PORT &Port : mNvmePorts.Rows) {
      SetupEdit->UpdateString(SOCKET_CONFIGURATION_FORM_SET, Port.Items[Item].Id,
                              mRiserTexts.At(Port.Items[Item].Text));
    }
  }
  for (UINT16 Id : kNvmeHiddenOpromItems) {
    SetupEdit->HideItem(SETUP_FORM_SET, Id);
  }
}

static VOID MakeRiserLayout5Edits(SETUP_EDIT_PROTOCOL *SetupEdit) {
  MakeMenuEdits(SetupEdit, mRiserLayout5Edits.Rows, ArrayCount(mRiserLayout5Edits.Rows));
}

static VOID MakeRiserLayout6Edits(SETUP_EDIT_PROTOCOL *SetupEdit) {
  MakeMenuEdits(SetupEdit, mRiserLayout6Edits.Rows, ArrayCount(mRiserLayout6Edits.Rows));
}
