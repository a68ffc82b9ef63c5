// Random but well-formed boards, from a seed: what both the emulator and real firmware (OVMF
// under QEMU, with the platform application's stand-ins) can express.
#ifndef TOOLS_DIFFERENTIAL_BOARD_GENERATOR_H_
#define TOOLS_DIFFERENTIAL_BOARD_GENERATOR_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Board.h"

namespace differential {

struct GeneratedBoard {
  uint64_t seed = 0;
  emu::BoardDescription board;
  // The parts QEMU cannot model, which the platform application stands in for.
  std::vector<std::string> standIns;
};

// The same seed gives the same board on every machine.
GeneratedBoard GenerateBoard(uint64_t seed);

// The seed of the index-th board of a run started with `seed`.
uint64_t BoardSeed(uint64_t seed, uint32_t index);

// The board file that reproduces the board: a comment on where it came from, then the lines.
std::string BoardFileText(const GeneratedBoard &generated);

}  // namespace differential

#endif  // TOOLS_DIFFERENTIAL_BOARD_GENERATOR_H_
