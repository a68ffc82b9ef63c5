// The platform driver that consumes the board hook protocol: it asks for the onboard network
// controller's MAC addresses and checks that the protocol kept to the lists it was given.
#ifndef EMULATOR_BOARD_HOOK_CONSUMER_H_
#define EMULATOR_BOARD_HOOK_CONSUMER_H_

#include <array>
#include <cstdint>
#include <vector>

#include "Uefi.h"

namespace emu {

class Platform;

using MacAddress = std::array<uint8_t, 6>;

struct NicMacLists {
  bool collected = false;  // false: no board hook protocol was installed to ask
  EFI_STATUS status = EFI_SUCCESS;
  std::vector<MacAddress> primary;    // function 0
  std::vector<MacAddress> secondary;  // functions 1 to 3
};

// Calls CollectNicMacAddresses once, as the consumer does: a record whose list starts at byte
// 3 with room for one entry, and a secondary list with room for three. A write outside them,
// or a count beyond their room, is a violation.
NicMacLists CollectNicMacs(Platform &platform);

}  // namespace emu

#endif  // EMULATOR_BOARD_HOOK_CONSUMER_H_
