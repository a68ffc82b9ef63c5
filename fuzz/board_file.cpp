// Board files as users write them, or garble them: any text on top of the default board is
// read, or refused with one line that names its line; it never crashes or hangs. A board it
// reads stays inside the board's tables (no slot index or board byte past 255) and is written
// back (FormatBoardText) as a file that reads back to the same board, word for word.
//
// Input: the text of a board file.
#include <cstdlib>
#include <string>

#include "Board.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const emu::BoardDescription kDefault = emu::DefaultBoard();
  const std::string text(reinterpret_cast<const char *>(data), size);
  emu::BoardDescription board = kDefault;
  std::string error;
  if (!emu::ParseBoardText(text, board, error)) {
    Check(error.rfind("line ", 0) == 0 && error.find('\n') == std::string::npos);
    return 0;
  }
  for (const auto &[index, code] : board.slots) Check(index < emu::kSlotTableSize && code != 0);
  for (const auto &[id, value] : board.boardBytes) Check(id < emu::kBoardByteCount);
  const std::string written = emu::FormatBoardText(board);
  emu::BoardDescription again = kDefault;
  Check(emu::ParseBoardText(written, again, error));
  Check(emu::FormatBoardText(again) == written);
  return 0;
}
