// The boot report's riser section: the fitted riser's row of the riser table, which both
// drivers walk, with each slot's root port decoded on the board.
#include <sstream>

#include "BoardDecode.h"
#include "Boot.h"
#include "PciBoard.h"
#include "SmbiosEditProtocol.h"
#include "TextTable.h"

namespace emu {

namespace {

std::string ItemList(const std::vector<uint16_t> &items) {
  if (items.empty()) return "none";
  std::string text;
  for (uint16_t item : items) text += (text.empty() ? "" : ", ") + std::to_string(item);
  return text;
}

std::string StorageItemsText(uint8_t items) {
  std::string text;
  if (items & RISER_M2_ITEMS) text = "the M.2 items";
  if (items & RISER_NVME_ITEMS) text += std::string(text.empty() ? "" : " and ") + "the NVMe items";
  return text.empty() ? "no storage items" : text;
}

}  // namespace

std::string FormatRiser(const BootResult &result) {
  std::ostringstream out;
  const uint8_t type = result.board.RiserType();
  const RISER_ROW *riser = FindRiser(type);
  if (riser == nullptr) {
    out << "Riser type " << unsigned{type}
        << ": no row in the riser table: the fixed setup edits alone, no riser slot records\n";
    return out.str();
  }
  out << "Riser type " << unsigned{type}
      << " (its row in the riser table): " << StorageItemsText(riser->StorageItems) << " retitled, "
      << unsigned{riser->SlotCount} << (riser->SlotCount == 1 ? " slot" : " slots") << "\n";
  if (riser->SlotCount != 0) {
    TextTable table({"slot ID", "designation", "width", "slot code", "socket, stack, port",
                     "root port", "OPROM item", "port item", "VMD item"});
    for (size_t i = 0; i < riser->SlotCount; ++i) {
      const RISER_SLOT_ROW &slot = riser->Slots[i];
      SlotCodeDecode code = DecodeSlotCode(result.board, slot.Code);
      table.Add({std::to_string(slot.SlotId), std::string("\"") + slot.Name + "\"",
                 SlotWidthName(slot.Lanes == 16 ? SLOT_WIDTH_X16 : SLOT_WIDTH_X8),
                 Hex(slot.Code, 6), SlotCodePlace(code),
                 BdfText(code.rootPort) + (code.fallback.empty() ? "" : " (" + code.fallback + ")"),
                 std::to_string(slot.OpromItem), std::to_string(slot.PortItem),
                 std::to_string(slot.VmdItem)});
    }
    table.Print(out);
    std::string order;
    for (size_t i = 0; i < riser->SlotCount; ++i) {
      order += (i == 0 ? "" : ", ") + std::to_string(riser->Slots[riser->ItemOrder[i]].SlotId);
    }
    out << "  Port and VMD items are retitled by slot ID in the order " << order << ".\n";
  }
  out << "  Riser OPROM items hidden (no slot of this riser): "
      << ItemList(HiddenRiserOpromItems(*riser)) << "\n";
  return out.str();
}

}  // namespace emu
