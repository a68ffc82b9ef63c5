// The setup edits MenuPruner must make, transcribed from the board's setup documents
// independently of the driver's tables, and a boot of MenuPruner alone.
#ifndef TESTS_MENU_PRUNER_MENU_EDITS_H_
#define TESTS_MENU_PRUNER_MENU_EDITS_H_

#include <string>
#include <vector>

#include "Tests.h"

namespace test {

using Edits = std::vector<emu::SetupEditCall>;

inline emu::SetupEditCall Hide(const std::string &formSet, uint16_t id) {
  return {"HideItem", formSet, id, ""};
}
inline emu::SetupEditCall Retitle(const std::string &formSet, uint16_t id,
                                  const std::string &text) {
  return {"UpdateString", formSet, id, text};
}

inline Edits operator+(Edits first, const Edits &second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

inline const std::string kSetup = "Setup";
inline const std::string kSocket = "Socket Configuration";

inline Edits FixedEdits() {
  Edits edits = {Hide(kSetup, 143), Hide(kSetup, 1655), Hide(kSetup, 1636)};
  for (uint16_t id = 1657; id <= 1679; id += 2) edits.push_back(Hide(kSetup, id));
  edits.push_back(Hide(kSocket, 2641));
  // Row 17, the onboard NIC check, suppresses nothing while the NIC's root port answers.
  edits.push_back(Retitle(kSocket, 2337, "KVRN: CPU2 PCI-E 3.0"));
  edits.push_back(Hide(kSocket, 2432));
  return edits;
}

inline Edits M2Edits() {
  return {Retitle(kSocket, 878, "M.2 HC: S-SATA4"), Retitle(kSocket, 879, "M.2 HC: S-SATA5"),
          Retitle(kSocket, 2416, "M.2 HC: S-SATA4 VMD"),
          Retitle(kSocket, 2417, "M.2 HC: S-SATA5 VMD")};
}

inline Edits NvmeEdits() {
  const uint16_t plainIds[] = {2375, 2376, 2377, 2378, 2379, 2380, 2381, 2382,
                               2387, 2388, 2389, 2390, 2354, 2355, 2356, 2357,
                               2358, 2359, 2360, 2361, 2366, 2367, 2368, 2369};
  const uint16_t vmdIds[] = {2486, 2487, 2488, 2489, 2492, 2493, 2494, 2495,
                             2504, 2505, 2506, 2507, 2456, 2457, 2458, 2459,
                             2462, 2463, 2464, 2465, 2474, 2475, 2476, 2477};
  // Bays 7 to 4 and 19 to 16 run against rising ids.
  const int bays[] = {0,  1,  2,  3,  7,  6,  5,  4,  8,  9,  10, 11,
                      12, 13, 14, 15, 19, 18, 17, 16, 20, 21, 22, 23};
  Edits edits;
  for (int row = 0; row < 24; ++row) {
    edits.push_back(Retitle(kSocket, plainIds[row], "NVMe" + std::to_string(bays[row])));
  }
  for (int row = 0; row < 24; ++row) {
    edits.push_back(Retitle(kSocket, vmdIds[row], "NVMe" + std::to_string(bays[row]) + " VMD"));
  }
  for (uint16_t id = 1602; id <= 1616; id += 2) edits.push_back(Hide(kSetup, id));
  return edits;
}

inline Edits RiserLayout5Edits() {
  return {
      Retitle(kSetup, 1602, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16 OPROM"),
      Retitle(kSetup, 1604, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16 OPROM"),
      Retitle(kSetup, 1606, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X8 OPROM"),
      Retitle(kSetup, 1608, "TQW-M3-57K2 MS-Top Slot2 PCIe Gen3 X8 OPROM"),
      Retitle(kSetup, 1610, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X8 OPROM"),
      Retitle(kSetup, 1612, "TQW-M3-57K2 MS-Bot Slot2 PCIe Gen3 X8 OPROM"),
      Retitle(kSetup, 1614, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16 OPROM"),
      Retitle(kSetup, 1616, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16 OPROM"),
      Retitle(kSocket, 2379, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2375, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2387, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X8"),
      Retitle(kSocket, 2389, "TQW-M3-57K2 MS-Top Slot2 PCIe Gen3 X8"),
      Retitle(kSocket, 2358, "TQW-M3-57K2 MS-Bot Slot2 PCIe Gen3 X8"),
      Retitle(kSocket, 2360, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X8"),
      Retitle(kSocket, 2366, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2354, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2492, "TQW-M3-57K2 Slot1 LS-Top PCIe Gen3 X16 VMD"),
      Retitle(kSocket, 2486, "TQW-M3-57K2 Slot1 LS-Bot PCIe Gen3 X16 VMD"),
      Retitle(kSocket, 2498, "TQW-M3-57K2 Slot1 MS-Top PCIe Gen3 X8 VMD"),
      Retitle(kSocket, 2500, "TQW-M3-57K2 Slot2 MS-Top PCIe Gen3 X8 VMD"),
      Retitle(kSocket, 2462, "TQW-M3-57K2 Slot2 MS-Bot PCIe Gen3 X8 VMD"),
      Retitle(kSocket, 2464, "TQW-M3-57K2 Slot1 MS-Bot PCIe Gen3 X8 VMD"),
      Retitle(kSocket, 2468, "TQW-M3-57K2 Slot1 MS-Top PCIe Gen3 X16 VMD"),
      Retitle(kSocket, 2456, "TQW-M3-57K2 Slot1 RS-Bot PCIe Gen3 X16 VMD"),
  };
}

inline Edits RiserLayout6Edits() {
  return {
      Retitle(kSetup, 1602, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 x16 OPROM"),
      Retitle(kSetup, 1604, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 x16 OPROM"),
      Retitle(kSetup, 1606, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 x16 OPROM"),
      Retitle(kSetup, 1608, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 x16 OPROM"),
      Retitle(kSetup, 1610, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 x16 OPROM"),
      Retitle(kSetup, 1612, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 x16 OPROM"),
      Hide(kSetup, 1614),
      Hide(kSetup, 1616),
      Retitle(kSocket, 2379, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2375, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2387, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2358, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2366, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2354, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2492, "TQW-M3-57K2 LS-Top Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2486, "TQW-M3-57K2 LS-Bot Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2498, "TQW-M3-57K2 MS-Top Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2462, "TQW-M3-57K2 MS-Bot Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2468, "TQW-M3-57K2 RS-Top Slot1 PCIe Gen3 X16"),
      Retitle(kSocket, 2456, "TQW-M3-57K2 RS-Bot Slot1 PCIe Gen3 X16"),
  };
}

// The four edits that label the OPROM item of one expansion slot with a KVRN port ('B' to 'D').
// The slots' items pair up from 1596 in walk order: 170 to 178, then 161 to 169.
inline Edits KvrnLabel(uint32_t slotIndex, char port) {
  uint16_t row = static_cast<uint16_t>(slotIndex >= 170 ? slotIndex - 170 : slotIndex - 161 + 9);
  uint16_t prompt = static_cast<uint16_t>(1596 + 2 * row);
  uint16_t letter = static_cast<uint16_t>(port - 'B');
  std::string kvrn = std::string("KVRN(") + port + "): CPU2 ";
  return {Retitle(kSetup, prompt, kvrn + "PCI-E 3.0 OPROM"),
          Retitle(kSetup, static_cast<uint16_t>(prompt + 1),
                  "Enables or disables " + kvrn + "PCIE 3.0 OPROM option."),
          Retitle(kSocket, static_cast<uint16_t>(2338 + letter), kvrn + "PCI-E 3.0"),
          Hide(kSocket, static_cast<uint16_t>(2433 + letter))};
}

// MenuPruner alone on `board` (its slot table as described), then one installation of the
// setup edit protocol.
inline emu::BootResult BootMenuPruner(const emu::BoardDescription &board) {
  emu::BootPlan plan;
  plan.drivers = {"MenuPruner"};
  plan.slotRecordsTrigger = plan.rootPortAdjustTrigger = plan.readyToBoot = false;
  return emu::RunBoot(board, plan);
}

inline emu::BoardDescription BoardWithRiser(uint8_t riserType) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, riserType);
  return board;
}

}  // namespace test

#endif  // TESTS_MENU_PRUNER_MENU_EDITS_H_
