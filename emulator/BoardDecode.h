// The board's codes in words, for reports a firmware engineer reads without the design
// documents: the KVRN configuration byte, and slot location codes with the root ports they
// resolve to on a board.
#ifndef EMULATOR_BOARD_DECODE_H_
#define EMULATOR_BOARD_DECODE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Board.h"
#include "Processors.h"
#include "Risers.h"

namespace emu {

// The processor row of the board's CPU signature, or null: the drivers have no root-port table
// for it.
const PROCESSOR_ROW *FindProcessor(uint16_t signature);

// The riser row of a riser type, or null: the drivers make the fixed setup edits alone and add
// no riser slot records.
const RISER_ROW *FindRiser(uint8_t riserType);
// The riser OPROM items no slot of the riser uses, which MenuPruner hides, in the order it does.
std::vector<uint16_t> HiddenRiserOpromItems(const RISER_ROW &riser);

// What BoardSlotService makes of the KVRN configuration byte (board byte 191).
struct KvrnConfigDecode {
  uint8_t value = 0;
  // Ports B, C and D by bits 0x02, 0x04 and 0x08: the ports placed in the slot table.
  std::string portsPresent;
  // Bit 0x80 selects the rule for the SMBIOS records: set, the split-slot rule reads all three
  // port bits; clear, the single-port rule reads only port B's.
  bool splitRule = false;
  std::optional<uint8_t> slotWidth;  // the KVRN slot record's new width; none: it keeps its own
  std::string portRecords;           // the ports that get a KVRN port record (type 161)
  uint8_t unreadBits = 0;            // bits set that neither rule reads (0x01, 0x10 to 0x40)
};
KvrnConfigDecode DecodeKvrnConfig(uint8_t value);

// A slot location code's fields and the root port it resolves to on a board, as the drivers
// resolve it: through the stack-bus HOB's table and the root-port table of the CPU signature.
struct SlotCodeDecode {
  uint32_t code = 0;
  unsigned socket = 0;  // bits 23..20: the socket counted from 1 (CPU2 is 2); 0 names none
  unsigned stack = 0;   // bits 19..16: the stack counted from 1
  unsigned port = 0;    // bits 15..12: 0xA to 0xD for ports A to D
  uint16_t rootPort = 0;
  // "" when the stack-bus table placed the port; else why the code's low 16 bits (or 0) stand.
  std::string fallback;
};
SlotCodeDecode DecodeSlotCode(const BoardDescription &board, uint32_t code);
// "CPU2 stack 2 port B"; "no socket" for a code whose low 16 bits are a BDF in themselves.
std::string SlotCodePlace(const SlotCodeDecode &decode);

}  // namespace emu

#endif  // EMULATOR_BOARD_DECODE_H_
