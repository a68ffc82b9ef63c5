// The board description's processor, stack-bus HOB and PCI functions: how tests and boardsim
// describe them, and the default board's topology.
#ifndef EMULATOR_PCI_BOARD_H_
#define EMULATOR_PCI_BOARD_H_

#include <array>
#include <cstdint>
#include <string>

#include "Board.h"
#include "PciAccess.h"

namespace emu {

// Each endpoint with memory decodes this much behind its BAR pair.
constexpr size_t kDeviceMemorySize = 0x200000;
constexpr uint32_t kNicMacLowOffset = 0x1E2120;   // MAC bytes 0 to 3
constexpr uint32_t kNicMacHighOffset = 0x1E2140;  // MAC bytes 4 and 5
constexpr uint32_t kRootPortRegister15C = 0x15C;

// "18:00.0": bus and device in hexadecimal, as lspci shows them.
std::string BdfText(uint16_t bdf);
bool ParseBdf(const std::string &text, uint16_t &bdf);
std::string MacText(const std::array<uint8_t, 6> &mac);

// The stack-bus HOB of the description, or null.
Hob *FindStackBusHob(BoardDescription &board);
const Hob *FindStackBusHob(const BoardDescription &board);
// Gives the board a fresh stack-bus HOB with `dataSize` bytes of data: the platform's own data
// up to the table, then a table of zeros (no stack has a bus).
void SetStackBusHob(BoardDescription &board, size_t dataSize);
void RemoveStackBusHob(BoardDescription &board);
constexpr size_t StackBusHobSizeFor(size_t sockets) {
  return STACK_BUS_TABLE_OFFSET + STACKS_PER_SOCKET * sockets;
}
// A board file names at most 15 sockets (0 to 14, as the table counts them); a larger HOB is
// described in bytes.
constexpr size_t kMaxStackBusSockets = 15;
// HOB lengths are 16 bits: this much data still fits behind the GUID HOB header.
constexpr size_t kMaxStackBusHobSize = 0xFFF8 - sizeof(EFI_HOB_GUID_TYPE);
// Sets the bus of a stack (0-based socket and stack, as the table counts them; slot location
// codes name them plus one), growing the HOB when its table is too short.
void SetStackBus(BoardDescription &board, unsigned socket, unsigned stack, uint8_t bus);

// The CPU signature the drivers compare: bits 19..4 of CPUID leaf 1 EAX.
inline uint16_t CpuSignature(const BoardDescription &board) {
  return static_cast<uint16_t>(board.cpuidEax >> 4);
}
inline void SetCpuSignature(BoardDescription &board, uint16_t signature) {
  board.cpuidEax = (board.cpuidEax & ~0xFFFF0u) | uint32_t{signature} << 4;
}

// The default board's processor, stack buses and PCI functions.
void AddDefaultPciTopology(BoardDescription &board);

}  // namespace emu

#endif  // EMULATOR_PCI_BOARD_H_
