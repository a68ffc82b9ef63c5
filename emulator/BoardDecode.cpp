#include "BoardDecode.h"

#include "PciBoard.h"

namespace emu {

namespace {

constexpr uint8_t kPortBitB = 0x02, kPortBitC = 0x04, kPortBitD = 0x08;
constexpr uint8_t kSplitRuleBit = 0x80;
constexpr uint8_t kWidthX4 = 0x0A, kWidthX8 = 0x0B, kWidthX16 = 0x0D;
constexpr unsigned kMaxResolvedStack = 5;

}  // namespace

const PROCESSOR_ROW *FindProcessor(uint16_t signature) {
  for (const PROCESSOR_ROW &processor : kProcessors) {
    if (processor.Signature == signature) return &processor;
  }
  return nullptr;
}

const RISER_ROW *FindRiser(uint8_t riserType) {
  for (const RISER_ROW &riser : kRisers) {
    if (riser.RiserType == riserType) return &riser;
  }
  return nullptr;
}

std::vector<uint16_t> HiddenRiserOpromItems(const RISER_ROW &riser) {
  std::vector<uint16_t> hidden;
  for (uint16_t item : kRiserOpromItems) {
    if (!RiserHasOpromItem(riser, item)) hidden.push_back(item);
  }
  return hidden;
}

KvrnConfigDecode DecodeKvrnConfig(uint8_t value) {
  KvrnConfigDecode decode;
  decode.value = value;
  if (value & kPortBitB) decode.portsPresent += 'B';
  if (value & kPortBitC) decode.portsPresent += 'C';
  if (value & kPortBitD) decode.portsPresent += 'D';
  decode.splitRule = (value & kSplitRuleBit) != 0;
  decode.unreadBits = value & 0x71;
  const uint8_t ports = value & (kPortBitB | kPortBitC | kPortBitD);
  if (!decode.splitRule) {
    if (value & kPortBitB) {
      decode.slotWidth = kWidthX4;
      decode.portRecords = "B";
    }
  } else if (ports == 0) {
    decode.slotWidth = kWidthX16;
  } else if (ports == kPortBitC) {
    decode.slotWidth = kWidthX8;
    decode.portRecords = "C";
  } else {
    decode.slotWidth = kWidthX4;
    decode.portRecords = "BCD";
  }
  return decode;
}

SlotCodeDecode DecodeSlotCode(const BoardDescription &board, uint32_t code) {
  SlotCodeDecode decode;
  decode.code = code;
  decode.socket = (code >> 20) & 0xF;
  decode.stack = (code >> 16) & 0xF;
  decode.port = (code >> 12) & 0xF;
  decode.rootPort = static_cast<uint16_t>(code);
  const std::string lowBits = ": its low 16 bits stand";
  const Hob *hob = FindStackBusHob(board);
  if (decode.socket == 0) {
    decode.fallback = "no socket: its low 16 bits are the BDF";
    return decode;
  }
  if (decode.stack == 0 || decode.stack > kMaxResolvedStack) {
    decode.fallback = "stack field " + std::to_string(decode.stack) + " names no stack" + lowBits;
    return decode;
  }
  if (hob == nullptr) {
    decode.fallback = "no stack-bus HOB" + lowBits;
    return decode;
  }
  const size_t index =
      STACK_BUS_TABLE_OFFSET + (decode.socket - 1) * STACKS_PER_SOCKET + (decode.stack - 1);
  const size_t data = hob->body.size() - sizeof(EFI_GUID);
  const std::string place = "CPU" + std::to_string(decode.socket);
  if (index >= data) {
    decode.fallback = place + " is past the stack-bus table" + lowBits;
    return decode;
  }
  const uint8_t bus = hob->body[sizeof(EFI_GUID) + index];
  if (bus == 0) {
    decode.fallback = place + " stack " + std::to_string(decode.stack) + " has no bus" + lowBits;
    return decode;
  }
  if (decode.port < 0xA || decode.port > 0xD) {
    decode.rootPort = 0;
    decode.fallback = "port letter " + Hex(decode.port) + " is none of A to D: 0";
    return decode;
  }
  const uint16_t signature = CpuSignature(board);
  if (const PROCESSOR_ROW *processor = FindProcessor(signature)) {
    decode.rootPort = static_cast<uint16_t>(bus << 8 | processor->RootPorts[decode.port - 0xA]);
    return decode;
  }
  decode.fallback = "no root-port table for CPU signature " + Hex(signature, 4) + lowBits;
  return decode;
}

std::string SlotCodePlace(const SlotCodeDecode &decode) {
  if (decode.socket == 0) return "no socket";
  std::string place =
      "CPU" + std::to_string(decode.socket) + " stack " + std::to_string(decode.stack);
  if (decode.port >= 0xA && decode.port <= 0xD) {
    place += std::string(" port ") + static_cast<char>('A' + decode.port - 0xA);
  } else {
    place += " port " + Hex(decode.port);
  }
  return place;
}

}  // namespace emu
