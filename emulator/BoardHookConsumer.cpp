#include "BoardHookConsumer.h"

#include <algorithm>

#include "BoardHookProtocol.h"
#include "DxeCore.h"
#include "Platform.h"

namespace emu {

namespace {

// Bytes the consumer's buffers hold past each list, to catch a write beyond it.
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kFill = 0xA5;
constexpr size_t kPrimaryRoom = 1;
constexpr size_t kSecondaryRoom = 3;

// Reads a NIC_MAC_LIST of at most `room` entries; a larger count is reported and cut.
std::vector<MacAddress> ReadList(const uint8_t *list, size_t room, const char *name) {
  size_t count = list[0];
  if (count > room) {
    DxeCore::Current().Violation(std::string("CollectNicMacAddresses put ") +
                                 std::to_string(count) + " entries in the " + name +
                                 " list, which holds " + std::to_string(room));
    count = room;
  }
  std::vector<MacAddress> entries(count);
  for (size_t k = 0; k < count; ++k) {
    std::copy_n(list + 1 + NIC_MAC_ENTRY_SIZE * k, NIC_MAC_ENTRY_SIZE, entries[k].begin());
  }
  return entries;
}

bool Untouched(const uint8_t *bytes, size_t length) {
  return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == kFill; });
}

}  // namespace

NicMacLists CollectNicMacs(Platform &platform) {
  NicMacLists lists;
  auto *hook = static_cast<BOARD_HOOK_PROTOCOL *>(platform.FindProtocol(gBoardHookProtocolGuid));
  if (hook == nullptr || hook->CollectNicMacAddresses == nullptr) return lists;

  std::array<uint8_t, NIC_PRIMARY_RECORD_SIZE + kGuardBytes> record;
  std::array<uint8_t, NIC_SECONDARY_LIST_SIZE + kGuardBytes> secondary;
  record.fill(kFill);
  secondary.fill(kFill);
  auto collect = hook->CollectNicMacAddresses;
  lists.status = platform.AsImageOf(reinterpret_cast<const void *>(collect),
                                    [&] { return collect(record.data(), secondary.data()); });
  lists.collected = true;

  if (!Untouched(record.data(), NIC_PRIMARY_LIST_OFFSET)) {
    DxeCore::Current().Violation(
        "CollectNicMacAddresses changed bytes 0 to 2 of the caller's record");
  }
  if (!Untouched(record.data() + NIC_PRIMARY_RECORD_SIZE, kGuardBytes) ||
      !Untouched(secondary.data() + NIC_SECONDARY_LIST_SIZE, kGuardBytes)) {
    DxeCore::Current().Violation("CollectNicMacAddresses wrote past the end of a list");
  }
  lists.primary = ReadList(record.data() + NIC_PRIMARY_LIST_OFFSET, kPrimaryRoom, "primary");
  lists.secondary = ReadList(secondary.data(), kSecondaryRoom, "secondary");
  return lists;
}

}  // namespace emu
