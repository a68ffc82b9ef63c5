// Board files: the text form of a board description that boardsim reads and writes.
#include <functional>
#include <sstream>

#include "Board.h"
#include "Pci.h"

namespace emu {

namespace {

using Words = std::vector<std::string>;
using Setter = std::function<bool(const Words &, BoardDescription &)>;

bool Number(const std::string &word, uint64_t max, uint64_t &value) {
  return ParseNumber(word, max, value);
}

bool SetByte(const Words &w, BoardDescription &board, uint32_t id) {
  uint64_t value;
  if (w.size() != 2 || !Number(w[1], 0xFF, value)) return false;
  board.SetBoardByte(id, static_cast<uint8_t>(value));
  return true;
}

Variable &SetupVariable(BoardDescription &board) {
  if (Variable *setup = board.FindVariable(u"Setup", kSetupVariableGuid)) return *setup;
  board.variables.push_back(Variable{u"Setup", kSetupVariableGuid, kSetupAttributes, {}});
  return board.variables.back();
}

void RemoveSetupVariable(BoardDescription &board) {
  std::erase_if(board.variables, [](const Variable &v) {
    return v.name == u"Setup" && v.guid == kSetupVariableGuid;
  });
}

// Each key names one setting; the words after it are its value.
const std::vector<std::pair<std::string, Setter>> &Settings() {
  static const std::vector<std::pair<std::string, Setter>> kSettings = {
      {"riser-type", [](const Words &w, BoardDescription &b) {
         return SetByte(w, b, BOARD_BYTE_RISER_TYPE);
       }},
      {"kvrn-config", [](const Words &w, BoardDescription &b) {
         return SetByte(w, b, BOARD_BYTE_KVRN_CONFIG);
       }},
      {"kvrn-unavailable", [](const Words &w, BoardDescription &b) {
         return SetByte(w, b, BOARD_BYTE_KVRN_UNAVAILABLE);
       }},
      {"board-byte", [](const Words &w, BoardDescription &b) {
         uint64_t id, value;
         if (w.size() != 3 || !Number(w[1], 0xFFFFFFFF, id) || !Number(w[2], 0xFF, value)) {
           return false;
         }
         b.SetBoardByte(static_cast<uint32_t>(id), static_cast<uint8_t>(value));
         return true;
       }},
      {"slot", [](const Words &w, BoardDescription &b) {
         uint64_t index, code;
         if (w.size() != 3 || !Number(w[1], 0xFFFFFFFF, index) ||
             !Number(w[2], 0xFFFFFFFF, code)) {
           return false;
         }
         if (code == 0) {
           b.slots.erase(static_cast<uint32_t>(index));
         } else {
           b.slots[static_cast<uint32_t>(index)] = static_cast<uint32_t>(code);
         }
         return true;
       }},
      {"setup-size", [](const Words &w, BoardDescription &b) {
         uint64_t size;
         if (w.size() == 2 && w[1] == "absent") {
           RemoveSetupVariable(b);
           return true;
         }
         if (w.size() != 2 || !Number(w[1], 0x10000, size)) return false;
         SetupVariable(b).data.resize(size, 0);
         return true;
       }},
      {"setup-byte", [](const Words &w, BoardDescription &b) {
         uint64_t offset, value;
         if (w.size() != 3 || !Number(w[1], 0xFFFF, offset) || !Number(w[2], 0xFF, value)) {
           return false;
         }
         b.SetSetupByte(offset, static_cast<uint8_t>(value));
         return true;
       }},
      {"hob-list", [](const Words &w, BoardDescription &b) {
         if (w.size() != 2 || (w[1] != "present" && w[1] != "absent")) return false;
         b.hobListPresent = w[1] == "present";
         return true;
       }},
      {"dxe-services", [](const Words &w, BoardDescription &b) {
         if (w.size() != 2 || (w[1] != "present" && w[1] != "absent")) return false;
         b.dxeServicesPresent = w[1] == "present";
         return true;
       }},
      {"fault", [](const Words &w, BoardDescription &b) {
         uint64_t occurrence, value;
         if (w.size() != 4 || !Number(w[2], 0xFFFFFFFF, occurrence) ||
             !Number(w[3], UINT64_MAX, value)) {
           return false;
         }
         b.faults.push_back(Fault{w[1], static_cast<uint32_t>(occurrence), value});
         return true;
       }},
  };
  return kSettings;
}

std::string Hex(uint64_t value) {
  std::ostringstream out;
  out << "0x" << std::uppercase << std::hex << value;
  return out.str();
}

}  // namespace

bool ParseBoardText(const std::string &text, BoardDescription &board, std::string &error) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = line.substr(0, line.find('#'));
    std::istringstream wordStream(line);
    Words words;
    for (std::string word; wordStream >> word;) words.push_back(word);
    if (words.empty()) continue;
    bool known = false;
    for (const auto *settings : {&Settings(), &PciBoardSettings()}) {
      for (const auto &[key, set] : *settings) {
        if (key != words[0]) continue;
        known = true;
        if (!set(words, board)) {
          error = "line " + std::to_string(number) + ": bad value for " + key + ": " + line;
          return false;
        }
      }
    }
    if (!known) {
      error = "line " + std::to_string(number) + ": unknown setting '" + words[0] + "'";
      return false;
    }
  }
  return true;
}

std::string FormatBoardText(const BoardDescription &board) {
  std::ostringstream out;
  out << "riser-type " << unsigned{board.RiserType()} << "\n";
  out << "kvrn-config " << Hex(board.KvrnConfig()) << "\n";
  out << "kvrn-unavailable " << unsigned{board.KvrnUnavailable()} << "\n";
  for (const auto &[id, value] : board.boardBytes) {
    if (id == BOARD_BYTE_RISER_TYPE || id == BOARD_BYTE_KVRN_CONFIG ||
        id == BOARD_BYTE_KVRN_UNAVAILABLE) {
      continue;
    }
    out << "board-byte " << id << " " << Hex(value) << "\n";
  }
  for (const auto &[index, code] : board.slots) out << "slot " << index << " " << Hex(code) << "\n";
  const Variable *setup = board.FindVariable(u"Setup", kSetupVariableGuid);
  if (setup == nullptr) {
    out << "setup-size absent\n";
  } else {
    out << "setup-size " << setup->data.size() << "\n";
    for (size_t i = 0; i < setup->data.size(); ++i) {
      if (setup->data[i] != 0) out << "setup-byte " << i << " " << Hex(setup->data[i]) << "\n";
    }
  }
  if (!board.hobListPresent) out << "hob-list absent\n";
  if (!board.dxeServicesPresent) out << "dxe-services absent\n";
  out << FormatPciBoardText(board);
  for (const Fault &fault : board.faults) {
    out << "fault " << fault.member << " " << fault.occurrence << " " << Hex(fault.value) << "\n";
  }
  return out.str();
}

}  // namespace emu
