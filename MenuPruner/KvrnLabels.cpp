// KVRN port labels: the OPROM item of each expansion slot that holds a KVRN port is named after
// the port, and the port's own "Socket Configuration" items are retitled and hidden. The slots
// are found where BoardSlotService placed the ports in the board information protocol.
#include "BoardInfoProtocol.h"
#include "DriverFrame.h"
#include "MenuPruner.h"
#include "MenuTextPool.h"

// The KVRN slot's OPROM item, hidden when the module is unusable.
constexpr UINT16 KVRN_SLOT_OPROM_ITEM = 1600;

// Each expansion slot's OPROM item in "Setup": prompt and help string ids.
struct KVRN_LABEL_SLOT {
  UINT8 SlotIndex;
  UINT16 PromptId;
  UINT16 HelpId;
};

constexpr KVRN_LABEL_SLOT kKvrnLabelSlots[] = {
    {170, 1596, 1597}, {171, 1598, 1599}, {172, 1600, 1601}, {173, 1602, 1603}, {174, 1604, 1605},
    {175, 1606, 1607}, {176, 1608, 1609}, {177, 1610, 1611}, {178, 1612, 1613}, {161, 1614, 1615},
    {162, 1616, 1617}, {163, 1618, 1619}, {164, 1620, 1621}, {165, 1622, 1623}, {166, 1624, 1625},
    {167, 1626, 1627}, {168, 1628, 1629}, {169, 1630, 1631},
};

// The slots are those BoardSlotService walks, in its order, and their items pair up from 1596.
constexpr bool LabelSlotsFollowTheSlotWalk() {
  if (ArrayCount(kKvrnLabelSlots) != EXPANSION_SLOT_COUNT) {
    return false;
  }
  for (UINTN Row = 0; Row < EXPANSION_SLOT_COUNT; ++Row) {
    const KVRN_LABEL_SLOT &Slot = kKvrnLabelSlots[Row];
    if (Slot.SlotIndex != kExpansionSlotIndexes[Row] || Slot.PromptId != 1596 + 2 * Row ||
        Slot.HelpId != Slot.PromptId + 1) {
      return false;
    }
  }
  return true;
}
static_assert(LabelSlotsFollowTheSlotWalk(), "KVRN label slots");

// One KVRN port: its slot location code (CPU2, stack 2, the port letter, zero low half), its
// bit in the KVRN configuration byte, its "Setup" OPROM texts, and its pair of "Socket
// Configuration" items, the first retitled and the second hidden.
struct KVRN_PORT_LABEL {
  UINT32 Code;
  UINT8 Mask;
  MENU_TEXT Prompt;
  MENU_TEXT Help;
  UINT16 RetitleId;
  MENU_TEXT Retitle;
  UINT16 HideId;
};

struct KVRN_PORT_LABEL_ROW {
  UINT32 Code;
  UINT8 Mask;
  const CHAR8 *Prompt;
  const CHAR8 *Help;
  UINT16 RetitleId;
  const CHAR8 *Retitle;
  UINT16 HideId;

  using COMPACT = KVRN_PORT_LABEL;
  static constexpr UINTN TEXT_COUNT = 3;
  constexpr const CHAR8 *TextAt(UINTN Text) const {
    return Text == 0 ? Prompt : Text == 1 ? Help : Retitle;
  }
  template <typename POOL>
  constexpr KVRN_PORT_LABEL Compact(const POOL &Pool) const {
    return {
        Code,  Mask, Pool.OffsetOf(Prompt), Pool.OffsetOf(Help), RetitleId, Pool.OffsetOf(Retitle),
        HideId};
  }
};

// Tested in this order. The help texts spell "PCIE" where the prompts spell "PCI-E".
constexpr KVRN_PORT_LABEL_ROW kKvrnPortLabelRows[] = {
    {KVRN_PORT_CODE_B, KVRN_PORT_B, "KVRN(B): CPU2 PCI-E 3.0 OPROM",
     "Enables or disables KVRN(B): CPU2 PCIE 3.0 OPROM option.", 2338, "KVRN(B): CPU2 PCI-E 3.0",
     2433},
    {KVRN_PORT_CODE_C, KVRN_PORT_C, "KVRN(C): CPU2 PCI-E 3.0 OPROM",
     "Enables or disables KVRN(C): CPU2 PCIE 3.0 OPROM option.", 2339, "KVRN(C): CPU2 PCI-E 3.0",
     2434},
    {KVRN_PORT_CODE_D, KVRN_PORT_D, "KVRN(D): CPU2 PCI-E 3.0 OPROM",
     "Enables or disables KVRN(D): CPU2 PCIE 3.0 OPROM option.", 2340, "KVRN(D): CPU2 PCI-E 3.0",
     2435},
};

constexpr auto kKvrnTextList = MenuTextsOf(kKvrnPortLabelRows);
constexpr auto mKvrnTexts = BuildMenuTextPool<MenuTextPoolSize(kKvrnTextList)>(kKvrnTextList);
constexpr auto mKvrnPortLabels = CompactMenuTable(kKvrnPortLabelRows, mKvrnTexts);

static VOID LabelKvrnSlot(SETUP_EDIT_PROTOCOL *SetupEdit, const KVRN_LABEL_SLOT &Slot,
                          const KVRN_PORT_LABEL &Port);
constexpr UINTN KVRN_LABEL_EDITS = 4;  // made for each slot labelled

VOID EFIAPI KvrnLabelsNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  if (gStartAbandoned) {  // the start failed but had to stay: nothing to do
    return;
  }
  BOARD_INFO_PROTOCOL *Board = GetBoardInfoProtocol();
  UINT8 KvrnConfig = Board->QueryBoardByte(BOARD_BYTE_KVRN_CONFIG);
  SETUP_EDIT_PROTOCOL *SetupEdit = LocateSetupEdit();
  if (SetupEdit == nullptr) {
    return;
  }
  if (Board->QueryBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE) != 0) {
    ReportFailedEdit("HideItem", SETUP_FORM_SET, KVRN_SLOT_OPROM_ITEM,
                     SetupEdit->HideItem(SETUP_FORM_SET, KVRN_SLOT_OPROM_ITEM));
    DEBUG_REPORT(
        (DEBUG_INFO, "MenuPruner: KVRN module unusable: Setup %u hidden\n", KVRN_SLOT_OPROM_ITEM));
    return;
  }

  // A slot gets the first port whose code it holds and whose bit is set; every port test asks
  // the slot table afresh. A port found in two slots labels both.
  UINTN Labelled = 0;  // DEBUG images report how many
  for (const KVRN_LABEL_SLOT &Slot : kKvrnLabelSlots) {
    for (const KVRN_PORT_LABEL &Port : mKvrnPortLabels.Rows) {
      if (Board->GetSlotLocation(Slot.SlotIndex) == Port.Code && (KvrnConfig & Port.Mask) != 0) {
        LabelKvrnSlot(SetupEdit, Slot, Port);
        ++Labelled;
        DEBUG_REPORT((DEBUG_INFO, "MenuPruner: KVRN port %c in slot %u: Setup %u and %u labelled\n",
                      static_cast<CHAR8>('A' + (Port.Code >> 12 & 0xF) - 0xA), Slot.SlotIndex,
                      Slot.PromptId, Slot.HelpId));
        break;
      }
    }
  }
  DEBUG_REPORT(
      (DEBUG_INFO, "MenuPruner: KVRN labels: %lu setup edits\n", Labelled * KVRN_LABEL_EDITS));
}

// Statuses are not looked at: a failed edit does not stop the ones after it.
static VOID LabelKvrnSlot(SETUP_EDIT_PROTOCOL *SetupEdit, const KVRN_LABEL_SLOT &Slot,
                          const KVRN_PORT_LABEL &Port) {
  ReportFailedEdit(
      "UpdateString", SETUP_FORM_SET, Slot.PromptId,
      SetupEdit->UpdateString(SETUP_FORM_SET, Slot.PromptId, mKvrnTexts.At(Port.Prompt)));
  ReportFailedEdit("UpdateString", SETUP_FORM_SET, Slot.HelpId,
                   SetupEdit->UpdateString(SETUP_FORM_SET, Slot.HelpId, mKvrnTexts.At(Port.Help)));
  ReportFailedEdit("UpdateString", SOCKET_CONFIGURATION_FORM_SET, Port.RetitleId,
                   SetupEdit->UpdateString(SOCKET_CONFIGURATION_FORM_SET, Port.RetitleId,
                                           mKvrnTexts.At(Port.Retitle)));
  ReportFailedEdit("HideItem", SOCKET_CONFIGURATION_FORM_SET, Port.HideId,
                   SetupEdit->HideItem(SOCKET_CONFIGURATION_FORM_SET, Port.HideId));
}
