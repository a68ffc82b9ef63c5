// Board-file lines for the processor, the stack-bus HOB, the register access protocol and the
// PCI functions (PciBoard.cpp); BoardFile.cpp walks them after its own.
#ifndef EMULATOR_INTERNAL_BOARD_FILE_LINES_H_
#define EMULATOR_INTERNAL_BOARD_FILE_LINES_H_

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Board.h"

namespace emu {

using BoardLineSetter = std::function<bool(const std::vector<std::string> &, BoardDescription &)>;
using BoardSetting = std::pair<std::string, BoardLineSetter>;
const std::vector<BoardSetting> &PciBoardSettings();
std::string FormatPciBoardText(const BoardDescription &board);

}  // namespace emu

#endif  // EMULATOR_INTERNAL_BOARD_FILE_LINES_H_
