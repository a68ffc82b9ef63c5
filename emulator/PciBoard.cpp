// The board description's processor, stack-bus HOB and PCI functions: the default board's
// topology, and the board-file lines that describe them.
#include "PciBoard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>

#include "BoardFileLines.h"

namespace emu {

namespace {

constexpr size_t kGuidSize = sizeof(EFI_GUID);

// The platform's own data in front of the stack-bus table: never zero, so a read in front of
// the table would find a bus where there is none.
uint8_t PlatformDataByte(size_t offset) { return static_cast<uint8_t>(0x40 + offset % 0x3F); }

size_t StackBusDataSize(const Hob &hob) { return hob.body.size() - kGuidSize; }

void ResizeStackBusData(Hob &hob, size_t dataSize) {
  size_t old = StackBusDataSize(hob);
  hob.body.resize(kGuidSize + dataSize, 0);
  for (size_t offset = old; offset < dataSize && offset < STACK_BUS_TABLE_OFFSET; ++offset) {
    hob.body[kGuidSize + offset] = PlatformDataByte(offset);
  }
}

bool IsStackBusHob(const Hob &hob) {
  if (hob.type != EFI_HOB_TYPE_GUID_EXTENSION || hob.body.size() < kGuidSize) return false;
  EFI_GUID name;
  std::memcpy(&name, hob.body.data(), kGuidSize);
  return name == gStackBusHobGuid;
}

// Hexadecimal digits, "0x" optional, as lspci writes bus numbers and IDs.
bool ParseHex(const std::string &text, size_t maxDigits, uint64_t &value) {
  std::string digits = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')
                           ? text.substr(2)
                           : text;
  if (digits.empty() || digits.size() > maxDigits) return false;
  value = 0;
  for (char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = value * 16 + static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::toupper(c) - 'A' + 10);
  }
  return true;
}

bool ParseId(const std::string &text, uint16_t &vendor, uint16_t &device) {
  size_t colon = text.find(':');
  uint64_t v, d;
  if (colon == std::string::npos || !ParseHex(text.substr(0, colon), 4, v) ||
      !ParseHex(text.substr(colon + 1), 4, d)) {
    return false;
  }
  vendor = static_cast<uint16_t>(v);
  device = static_cast<uint16_t>(d);
  return true;
}

bool ParseMac(const std::string &text, std::array<uint8_t, 6> &mac) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < 6; ++i) {
    uint64_t byte;
    if ((i < 5 && text[3 * i + 2] != ':') || !ParseHex(text.substr(3 * i, 2), 2, byte)) {
      return false;
    }
    mac[i] = static_cast<uint8_t>(byte);
  }
  return true;
}

using Words = std::vector<std::string>;

// "KEY VALUE" pairs after the BDF of a PCI line; each key calls `set`, which says whether its
// value is good.
bool ParsePairs(const Words &w, size_t first,
                const std::function<bool(const std::string &, const std::string &)> &set) {
  if ((w.size() - first) % 2 != 0) return false;
  for (size_t i = first; i < w.size(); i += 2) {
    if (!set(w[i], w[i + 1])) return false;
  }
  return true;
}

bool ParseRootPort(const Words &w, BoardDescription &board) {
  uint16_t bdf;
  if (w.size() < 2 || !ParseBdf(w[1], bdf)) return false;
  PciFunction port;
  port.rootPort = true;
  port.vendorId = 0x8086;
  port.deviceId = 0x2030;
  bool ok = ParsePairs(w, 2, [&](const std::string &key, const std::string &value) {
    uint64_t number;
    if (key == "id") return ParseId(value, port.vendorId, port.deviceId);
    if (key == "secondary" && ParseNumber(value, 0xFF, number)) {
      port.secondaryBus = static_cast<uint8_t>(number);
      return true;
    }
    if (key == "subordinate" && ParseNumber(value, 0xFF, number)) {
      port.subordinateBus = static_cast<uint8_t>(number);
      return true;
    }
    if (key == "reg-15c" && ParseNumber(value, 0xFFFFFFFF, number)) {
      port.register15C = static_cast<uint32_t>(number);
      return true;
    }
    return false;
  });
  if (!ok) return false;
  board.pci[bdf] = port;
  return true;
}

bool ParseEndpoint(const Words &w, BoardDescription &board) {
  uint16_t bdf;
  if (w.size() < 2 || !ParseBdf(w[1], bdf)) return false;
  PciFunction endpoint;
  bool haveId = false;
  bool ok = ParsePairs(w, 2, [&](const std::string &key, const std::string &value) {
    uint64_t number;
    if (key == "id") return haveId = ParseId(value, endpoint.vendorId, endpoint.deviceId);
    if (key == "mac") return ParseMac(value, endpoint.mac);
    if (key == "command" && ParseNumber(value, 0xFFFF, number)) {
      endpoint.command = static_cast<uint16_t>(number);
      return true;
    }
    if (key == "memory" && value == "none") {
      endpoint.memory = 0;
      return true;
    }
    // The window must fit below 2^64 and leave the BAR's type bits clear.
    if (key == "memory" && ParseNumber(value, UINT64_MAX - kDeviceMemorySize, number) &&
        (number & PCI_BAR_FLAG_MASK) == 0) {
      endpoint.memory = number;
      return true;
    }
    return false;
  });
  if (!ok || !haveId) return false;
  board.pci[bdf] = endpoint;
  return true;
}

bool ParseStackBusHob(const Words &w, BoardDescription &board) {
  if (w.size() == 2 && w[1] == "absent") {
    RemoveStackBusHob(board);
    return true;
  }
  uint64_t count;
  if (w.size() != 3 || !ParseNumber(w[1], kMaxStackBusHobSize, count)) return false;
  if (w[2] == "sockets" && count <= kMaxStackBusSockets) {
    SetStackBusHob(board, StackBusHobSizeFor(count));
    return true;
  }
  if (w[2] == "bytes") {
    SetStackBusHob(board, count);
    return true;
  }
  return false;
}

bool ParseStackBus(const Words &w, BoardDescription &board) {
  uint64_t socket;
  if (w.size() < 3 || w.size() > 2 + STACKS_PER_SOCKET || !ParseNumber(w[1], kMaxStackBusSockets - 1, socket)) {
    return false;
  }
  std::vector<uint8_t> buses;
  for (size_t i = 2; i < w.size(); ++i) {
    uint64_t bus;
    if (!ParseNumber(w[i], 0xFF, bus)) return false;
    buses.push_back(static_cast<uint8_t>(bus));
  }
  for (size_t stack = 0; stack < buses.size(); ++stack) {
    SetStackBus(board, static_cast<unsigned>(socket), static_cast<unsigned>(stack), buses[stack]);
  }
  return true;
}

bool PresentOrAbsent(const Words &w, bool &flag) {
  if (w.size() != 2 || (w[1] != "present" && w[1] != "absent")) return false;
  flag = w[1] == "present";
  return true;
}

}  // namespace

// ---- Names ----------------------------------------------------------------------------------

std::string BdfText(uint16_t bdf) {
  char text[16];
  std::snprintf(text, sizeof(text), "%02X:%02X.%u", BdfBus(bdf), BdfDevice(bdf), BdfFunction(bdf));
  return text;
}

bool ParseBdf(const std::string &text, uint16_t &bdf) {
  size_t colon = text.find(':');
  size_t dot = text.find('.', colon == std::string::npos ? 0 : colon);
  uint64_t bus, device, function;
  if (colon == std::string::npos || dot == std::string::npos ||
      !ParseHex(text.substr(0, colon), 2, bus) ||
      !ParseHex(text.substr(colon + 1, dot - colon - 1), 2, device) || device > 0x1F ||
      !ParseHex(text.substr(dot + 1), 1, function) || function > 7) {
    return false;
  }
  bdf = PciBdf(static_cast<UINT8>(bus), static_cast<UINT8>(device), static_cast<UINT8>(function));
  return true;
}

std::string MacText(const std::array<uint8_t, 6> &mac) {
  char text[24];
  std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

// ---- Stack-bus HOB --------------------------------------------------------------------------

const Hob *FindStackBusHob(const BoardDescription &board) {
  for (const Hob &hob : board.hobs) {
    if (IsStackBusHob(hob)) return &hob;
  }
  return nullptr;
}

Hob *FindStackBusHob(BoardDescription &board) {
  return const_cast<Hob *>(FindStackBusHob(std::as_const(board)));
}

void SetStackBusHob(BoardDescription &board, size_t dataSize) {
  Hob fresh = GuidHob(gStackBusHobGuid, {});
  ResizeStackBusData(fresh, dataSize);
  if (Hob *hob = FindStackBusHob(board)) {
    *hob = std::move(fresh);
  } else {
    board.hobs.push_back(std::move(fresh));
  }
}

void RemoveStackBusHob(BoardDescription &board) { std::erase_if(board.hobs, IsStackBusHob); }

void SetStackBus(BoardDescription &board, unsigned socket, unsigned stack, uint8_t bus) {
  Hob *hob = FindStackBusHob(board);
  if (hob == nullptr) {
    SetStackBusHob(board, StackBusHobSizeFor(socket + 1));
    hob = FindStackBusHob(board);
  }
  size_t index = STACK_BUS_TABLE_OFFSET + socket * STACKS_PER_SOCKET + stack;
  if (StackBusDataSize(*hob) <= index) ResizeStackBusData(*hob, StackBusHobSizeFor(socket + 1));
  hob->body[kGuidSize + index] = bus;
}

// ---- The default board ----------------------------------------------------------------------

void AddDefaultPciTopology(BoardDescription &board) {
  board.cpuidEax = 0x50654;  // signature 0x5065, stepping 4

  // Four sockets with four stacks each (the table counts from 0, slot codes from 1); the first
  // stack of CPU1 is bus 0, which the table cannot tell from no bus.
  SetStackBusHob(board, StackBusHobSizeFor(4));
  static constexpr uint8_t kStackBuses[4][4] = {{0x00, 0x17, 0x24, 0x31},
                                                {0x40, 0x57, 0x64, 0x71},
                                                {0x80, 0x97, 0xA4, 0xB1},
                                                {0xC0, 0xD7, 0xE4, 0xF1}};
  for (unsigned socket = 0; socket < 4; ++socket) {
    for (unsigned stack = 0; stack < 4; ++stack) {
      SetStackBus(board, socket, stack, kStackBuses[socket][stack]);
    }
  }

  auto rootPort = [&board](uint16_t bdf, uint8_t secondary, uint8_t subordinate) {
    PciFunction port;
    port.rootPort = true;
    port.vendorId = 0x8086;
    port.deviceId = 0x2030;
    port.secondaryBus = secondary;
    port.subordinateBus = subordinate;
    port.register15C = 0x0001A05C;
    board.pci[bdf] = port;
  };

  // Slot 128 (0x12A000: CPU1 stack 2 port A): the onboard network controller, four functions
  // with memory assigned and decoding still off, as the PCI enumerator leaves them.
  rootPort(PciBdf(0x17, 0, 0), 0x18, 0x18);
  for (uint8_t function = 0; function < 4; ++function) {
    PciFunction nic;
    nic.vendorId = 0x8086;
    nic.deviceId = 0x37D2;
    nic.memory = 0x9D000000 + uint64_t{function} * kDeviceMemorySize;
    nic.mac = {0x02, 0xA1, 0xB2, 0xC3, 0xD4, function};
    board.pci[PciBdf(0x18, 0, function)] = nic;
  }

  // KVRN ports B, C and D (0x22B000/C/D: CPU2 stack 2), devices 1 to 3 on signature 0x5065.
  rootPort(PciBdf(0x57, 1, 0), 0x58, 0x58);
  rootPort(PciBdf(0x57, 2, 0), 0x59, 0x59);
  rootPort(PciBdf(0x57, 3, 0), 0x5A, 0x5A);

  // Riser slots: 170 (0x42A000: CPU4 stack 2) holds the add-in device 9005:8017 at device 4;
  // 171 (0x41A000: CPU4 stack 1) and 173 (0x44A000: CPU4 stack 4) are empty.
  rootPort(PciBdf(0xD7, 0, 0), 0xD8, 0xD8);
  PciFunction addIn;
  addIn.vendorId = 0x9005;
  addIn.deviceId = 0x8017;
  addIn.command = 0x0006;
  board.pci[PciBdf(0xD8, 4, 0)] = addIn;
  rootPort(PciBdf(0xC0, 0, 0), 0xC1, 0xC1);
  rootPort(PciBdf(0xF1, 0, 0), 0xF2, 0xF2);
}

// ---- Board-file lines -----------------------------------------------------------------------

const std::vector<BoardSetting> &PciBoardSettings() {
  static const std::vector<BoardSetting> kSettings = {
      {"cpu-signature",
       [](const Words &w, BoardDescription &b) {
         uint64_t signature;
         if (w.size() != 2 || !ParseNumber(w[1], 0xFFFF, signature)) return false;
         SetCpuSignature(b, static_cast<uint16_t>(signature));
         return true;
       }},
      {"cpuid-eax",
       [](const Words &w, BoardDescription &b) {
         uint64_t eax;
         if (w.size() != 2 || !ParseNumber(w[1], 0xFFFFFFFF, eax)) return false;
         b.cpuidEax = static_cast<uint32_t>(eax);
         return true;
       }},
      {"register-access",
       [](const Words &w, BoardDescription &b) {
         return PresentOrAbsent(w, b.registerAccessProtocol);
       }},
      {"stack-bus-hob", ParseStackBusHob},
      {"stack-bus", ParseStackBus},
      {"pci-clear",
       [](const Words &w, BoardDescription &b) {
         if (w.size() != 1) return false;
         b.pci.clear();
         return true;
       }},
      {"pci-remove",
       [](const Words &w, BoardDescription &b) {
         uint16_t bdf;
         if (w.size() != 2 || !ParseBdf(w[1], bdf)) return false;
         b.pci.erase(bdf);
         return true;
       }},
      {"pci-root-port", ParseRootPort},
      {"pci-endpoint", ParseEndpoint},
  };
  return kSettings;
}

std::string FormatPciBoardText(const BoardDescription &board) {
  std::ostringstream out;
  out << "cpuid-eax " << Hex(board.cpuidEax) << "  # CPU signature " << Hex(CpuSignature(board))
      << "\n";
  if (!board.registerAccessProtocol) out << "register-access absent\n";

  const Hob *hob = FindStackBusHob(board);
  if (hob == nullptr) {
    out << "stack-bus-hob absent\n";
  } else {
    size_t size = StackBusDataSize(*hob);
    bool whole = size >= STACK_BUS_TABLE_OFFSET &&
                 (size - STACK_BUS_TABLE_OFFSET) % STACKS_PER_SOCKET == 0 &&
                 (size - STACK_BUS_TABLE_OFFSET) / STACKS_PER_SOCKET <= kMaxStackBusSockets;
    if (whole) {
      out << "stack-bus-hob " << (size - STACK_BUS_TABLE_OFFSET) / STACKS_PER_SOCKET
          << " sockets\n";
    } else {
      out << "stack-bus-hob " << size << " bytes\n";
    }
    for (size_t socket = 0; STACK_BUS_TABLE_OFFSET + socket * STACKS_PER_SOCKET < size; ++socket) {
      size_t first = kGuidSize + STACK_BUS_TABLE_OFFSET + socket * STACKS_PER_SOCKET;
      size_t count = std::min(STACKS_PER_SOCKET, hob->body.size() - first);
      std::string line = "stack-bus " + std::to_string(socket);
      bool any = false;
      for (size_t stack = 0; stack < count; ++stack) {
        line += " " + Hex(hob->body[first + stack]);
        any = any || hob->body[first + stack] != 0;
      }
      if (any) out << line << "\n";
    }
  }

  // The functions below replace whatever the board had before.
  out << "pci-clear\n";
  for (const auto &[bdf, function] : board.pci) {
    char id[16];
    std::snprintf(id, sizeof(id), "%04X:%04X", function.vendorId, function.deviceId);
    if (function.rootPort) {
      out << "pci-root-port " << BdfText(bdf) << " secondary " << Hex(function.secondaryBus)
          << " subordinate " << Hex(function.subordinateBus) << " reg-15c "
          << Hex(function.register15C) << " id " << id << "\n";
      continue;
    }
    out << "pci-endpoint " << BdfText(bdf) << " id " << id << " command " << Hex(function.command)
        << " memory " << (function.memory == 0 ? std::string("none") : Hex(function.memory));
    if (function.memory != 0 || function.mac != std::array<uint8_t, 6>{}) {
      out << " mac " << MacText(function.mac);
    }
    out << "\n";
  }
  return out.str();
}

}  // namespace emu
