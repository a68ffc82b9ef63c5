// Board files: the text form of a board description that boardsim reads and writes.
#include <functional>
#include <sstream>

#include "Board.h"
#include "BoardFileLines.h"
#include "Faults.h"
#include "PciBoard.h"

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
  if (Variable *setup = board.FindVariable(u"Setup", gSetupVariableGuid)) return *setup;
  board.variables.push_back(Variable{u"Setup", gSetupVariableGuid, kSetupAttributes, {}});
  return board.variables.back();
}

// "smbios-structure HEX...": one complete structure, its bytes in hexadecimal (the words are
// joined, so the formatted area and the string set may be written apart).
bool SetSmbiosStructure(const Words &w, BoardDescription &board) {
  std::string hex;
  for (size_t i = 1; i < w.size(); ++i) hex += w[i];
  if (hex.empty() || hex.size() % 2 != 0) return false;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    uint64_t value;
    if (!Number("0x" + hex.substr(i, 2), 0xFF, value)) return false;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  std::string why;
  return board.smbios.Put(bytes, why);
}

// "smbios-slot HANDLE "DESIGNATION" SLOT-TYPE WIDTH USAGE LENGTH ID CHARACTERISTICS1
// CHARACTERISTICS2 SEGMENT BUS DEVICE-FUNCTION": a System Slots structure, fields in table
// order with the designation's text in place of its string number.
bool SetSmbiosSlot(const Words &w, BoardDescription &board) {
  if (w.size() != 13) return false;
  for (char c : w[2]) {
    if (c < 0x20 || c > 0x7E || c == '"') return false;
  }
  SmbiosSlot slot;
  slot.designation = w[2];
  struct Field {
    size_t word;
    uint64_t max;
    void *to;
  } fields[] = {
      {1, 0xFFFF, &slot.handle},
      {3, 0xFF, &slot.slotType},
      {4, 0xFF, &slot.width},
      {5, 0xFF, &slot.usage},
      {6, 0xFF, &slot.length},
      {7, 0xFFFF, &slot.id},
      {8, 0xFF, &slot.characteristics1},
      {9, 0xFF, &slot.characteristics2},
      {10, 0xFFFF, &slot.segment},
      {11, 0xFF, &slot.bus},
      {12, 0xFF, &slot.deviceFunction},
  };
  for (const Field &field : fields) {
    uint64_t value;
    if (!Number(w[field.word], field.max, value)) return false;
    if (field.max == 0xFFFF) {
      *static_cast<uint16_t *>(field.to) = static_cast<uint16_t>(value);
    } else {
      *static_cast<uint8_t *>(field.to) = static_cast<uint8_t>(value);
    }
  }
  std::string why;
  return board.smbios.Put(slot.Bytes(), why);
}

void RemoveSetupVariable(BoardDescription &board) {
  std::erase_if(board.variables, [](const Variable &v) {
    return v.name == u"Setup" && v.guid == gSetupVariableGuid;
  });
}

// Each key names one setting; the words after it are its value.
const std::vector<std::pair<std::string, Setter>> &Settings() {
  static const std::vector<std::pair<std::string, Setter>> kSettings = {
      {"riser-type",
       [](const Words &w, BoardDescription &b) { return SetByte(w, b, BOARD_BYTE_RISER_TYPE); }},
      {"kvrn-config",
       [](const Words &w, BoardDescription &b) { return SetByte(w, b, BOARD_BYTE_KVRN_CONFIG); }},
      {"kvrn-unavailable",
       [](const Words &w, BoardDescription &b) {
         return SetByte(w, b, BOARD_BYTE_KVRN_UNAVAILABLE);
       }},
      {"board-byte",
       [](const Words &w, BoardDescription &b) {
         uint64_t id, value;
         if (w.size() != 3 || !Number(w[1], 0xFFFFFFFF, id) || !Number(w[2], 0xFF, value)) {
           return false;
         }
         b.SetBoardByte(static_cast<uint32_t>(id), static_cast<uint8_t>(value));
         return true;
       }},
      {"slot",
       [](const Words &w, BoardDescription &b) {
         uint64_t index, code;
         if (w.size() != 3 || !Number(w[1], 0xFFFFFFFF, index) || !Number(w[2], 0xFFFFFFFF, code)) {
           return false;
         }
         if (code == 0) {
           b.slots.erase(static_cast<uint32_t>(index));
         } else {
           b.slots[static_cast<uint32_t>(index)] = static_cast<uint32_t>(code);
         }
         return true;
       }},
      {"slot-clear",
       [](const Words &w, BoardDescription &b) {
         if (w.size() != 1) return false;
         b.slots.clear();
         return true;
       }},
      {"setup-size",
       [](const Words &w, BoardDescription &b) {
         uint64_t size;
         if (w.size() == 2 && w[1] == "absent") {
           RemoveSetupVariable(b);
           return true;
         }
         // A fresh variable of zeros, so a board file reads back as written: the setup-byte
         // lines after it set the bytes that are not zero.
         if (w.size() != 2 || !Number(w[1], 0x10000, size)) return false;
         SetupVariable(b).data.assign(size, 0);
         return true;
       }},
      {"setup-byte",
       [](const Words &w, BoardDescription &b) {
         uint64_t offset, value;
         if (w.size() != 3 || !Number(w[1], 0xFFFF, offset) || !Number(w[2], 0xFF, value)) {
           return false;
         }
         b.SetSetupByte(offset, static_cast<uint8_t>(value));
         return true;
       }},
      {"hob-list",
       [](const Words &w, BoardDescription &b) {
         if (w.size() != 2 || (w[1] != "present" && w[1] != "absent")) return false;
         b.hobListPresent = w[1] == "present";
         return true;
       }},
      {"dxe-services",
       [](const Words &w, BoardDescription &b) {
         if (w.size() != 2 || (w[1] != "present" && w[1] != "absent")) return false;
         b.dxeServicesPresent = w[1] == "present";
         return true;
       }},
      {"smbios-edit-protocol",
       [](const Words &w, BoardDescription &b) {
         if (w.size() != 2 || (w[1] != "present" && w[1] != "absent")) return false;
         b.smbiosEditProtocol = w[1] == "present";
         return true;
       }},
      {"status-code-protocol",
       [](const Words &w, BoardDescription &b) {
         if (w.size() != 2 || (w[1] != "present" && w[1] != "absent")) return false;
         b.statusCodeProtocol = w[1] == "present";
         return true;
       }},
      {"smbios-table",
       [](const Words &w, BoardDescription &b) {
         if (w.size() != 2 || (w[1] != "empty" && w[1] != "default")) return false;
         b.smbios = w[1] == "empty" ? SmbiosTable() : DefaultSmbiosTable();
         return true;
       }},
      {"smbios-structure", SetSmbiosStructure},
      {"smbios-slot", SetSmbiosSlot},
  };
  return kSettings;
}

// The table from scratch: a slot line for each System Slots structure of the usual form, raw
// bytes for every other structure.
void FormatSmbiosTable(std::ostream &out, const SmbiosTable &table) {
  out << "smbios-table empty\n";
  bool legend = false;
  for (const SmbiosStructure &s : table.Structures()) {
    if (s.Type() == kSmbiosEndOfTableType) continue;
    std::optional<SmbiosSlot> slot = SmbiosSlot::From(s);
    bool printable = slot && slot->type == 9;
    for (char c : slot ? slot->designation : std::string()) {
      printable = printable && c >= 0x20 && c <= 0x7E && c != '"';
    }
    if (!printable) {
      out << "smbios-structure " << HexBytes(s.bytes.data(), s.Length()) << " "
          << HexBytes(s.bytes.data() + s.Length(), s.bytes.size() - s.Length()) << "\n";
      continue;
    }
    if (!legend) {
      out << "# smbios-slot HANDLE \"DESIGNATION\" SLOT-TYPE WIDTH USAGE LENGTH ID "
             "CHARACTERISTICS1 CHARACTERISTICS2 SEGMENT BUS DEVICE-FUNCTION\n";
      legend = true;
    }
    out << "smbios-slot " << Hex(slot->handle, 4) << " \"" << slot->designation << "\" "
        << Hex(slot->slotType, 2) << " " << Hex(slot->width, 2) << " " << Hex(slot->usage, 2) << " "
        << Hex(slot->length, 2) << " " << Hex(slot->id, 4) << " " << Hex(slot->characteristics1, 2)
        << " " << Hex(slot->characteristics2, 2) << " " << Hex(slot->segment, 4) << " "
        << Hex(slot->bus, 2) << " " << Hex(slot->deviceFunction, 2) << "\n";
  }
}

// "fault MEMBER OCCURRENCE VALUE", checked as boardsim's --fault is.
bool SetFault(const Words &w, BoardDescription &board, std::string &why) {
  if (w.size() != 4) {
    why = "a fault line is: fault MEMBER OCCURRENCE VALUE";
    return false;
  }
  Fault fault;
  why = ParseFault(w[1], w[2], w[3], fault);
  if (why.empty()) why = ShadowedFault(board.faults, fault);
  if (!why.empty()) return false;
  board.faults.push_back(fault);
  return true;
}

// Lines that read well but name what the board does not have. The firmware run refuses them
// (its slot table and board bytes end at 255), so the emulator does too, rather than grow
// the board to fit: each says why.
using Lacks = std::function<std::string(const Words &, const BoardDescription &)>;
const std::vector<std::pair<std::string, Lacks>> &LackingLines() {
  static const std::vector<std::pair<std::string, Lacks>> kLacks = {
      {"slot",
       [](const Words &w, const BoardDescription &) -> std::string {
         uint64_t index;
         if (w.size() != 3 || !Number(w[1], 0xFFFFFFFF, index) || index < kSlotTableSize) {
           return "";
         }
         return "slot index " + w[1] + " is past the slot table (indexes 0 to " +
                std::to_string(kSlotTableSize - 1) + ")";
       }},
      {"board-byte",
       [](const Words &w, const BoardDescription &) -> std::string {
         uint64_t id;
         if (w.size() != 3 || !Number(w[1], 0xFFFFFFFF, id) || id < kBoardByteCount) return "";
         return "board byte " + w[1] + " is past the board's bytes (ids 0 to " +
                std::to_string(kBoardByteCount - 1) + ")";
       }},
      {"setup-byte",
       [](const Words &w, const BoardDescription &b) -> std::string {
         uint64_t offset;
         if (w.size() != 3 || !Number(w[1], 0xFFFF, offset)) return "";
         const Variable *setup = b.FindVariable(u"Setup", gSetupVariableGuid);
         if (setup == nullptr) return "the board has no Setup variable; give setup-size first";
         if (offset < setup->data.size()) return "";
         return "offset " + w[1] + " is past the Setup variable's " +
                std::to_string(setup->data.size()) + " bytes; give a larger setup-size first";
       }},
      {"pci-remove",
       [](const Words &w, const BoardDescription &b) -> std::string {
         uint16_t bdf;
         if (w.size() != 2 || !ParseBdf(w[1], bdf) || b.pci.count(bdf) != 0) return "";
         return "the board has no function " + BdfText(bdf) + " to remove";
       }},
  };
  return kLacks;
}

// Words of a line: blanks separate them, a double-quoted word keeps its blanks, '#' outside
// quotes starts a comment. False for a quote left open.
bool SplitWords(const std::string &line, Words &words) {
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == '"') {
      quoted = inWord = true;
    } else if (c == '#') {
      break;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return !quoted;
}

std::string BoardLacks(const Words &words, const BoardDescription &board) {
  for (const auto &[key, lacks] : LackingLines()) {
    if (key == words[0]) return lacks(words, board);
  }
  return "";
}

}  // namespace

std::string BoardLacks(const std::string &line, const BoardDescription &board) {
  Words words;
  if (!SplitWords(line, words) || words.empty()) return "";
  return BoardLacks(words, board);
}

std::vector<std::string> BoardSettingNames() {
  std::vector<std::string> names{"fault"};
  for (const auto *settings : {&Settings(), &PciBoardSettings()}) {
    for (const auto &setting : *settings) names.push_back(setting.first);
  }
  return names;
}

bool ParseBoardText(const std::string &text, BoardDescription &board, std::string &error) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::string where = "line " + std::to_string(number) + ": ";
    // A NUL would end the line early for every reader of it that stops at one.
    if (line.find('\0') != std::string::npos) {
      error = where + "holds a NUL byte: " + EchoText(line);
      return false;
    }
    Words words;
    if (!SplitWords(line, words)) {
      error = where + "unclosed quote: " + EchoText(line);
      return false;
    }
    if (words.empty()) continue;
    if (words[0] == "fault") {
      std::string why;
      if (!SetFault(words, board, why)) {
        error = where + EchoText(line) + ": " + why;
        return false;
      }
      continue;
    }
    if (std::string why = BoardLacks(words, board); !why.empty()) {
      error = where + EchoText(line) + ": " + why;
      return false;
    }
    bool known = false;
    for (const auto *settings : {&Settings(), &PciBoardSettings()}) {
      for (const auto &[key, set] : *settings) {
        if (key != words[0]) continue;
        known = true;
        if (!set(words, board)) {
          error = where + "bad value for " + key + ": " + EchoText(line);
          return false;
        }
      }
    }
    if (!known) {
      std::vector<std::string> nearest = NearestNames(words[0], BoardSettingNames(), 1, 3);
      error = where + "unknown setting '" + EchoText(words[0]) + "'" +
              (nearest.empty() ? "" : "; nearest: " + nearest.front());
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
  // The slots below replace the slot table the board had before, as pci-clear does for PCI.
  out << "slot-clear\n";
  for (const auto &[index, code] : board.slots) out << "slot " << index << " " << Hex(code) << "\n";
  const Variable *setup = board.FindVariable(u"Setup", gSetupVariableGuid);
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
  if (!board.smbiosEditProtocol) out << "smbios-edit-protocol absent\n";
  if (!board.statusCodeProtocol) out << "status-code-protocol absent\n";
  FormatSmbiosTable(out, board.smbios);
  out << FormatPciBoardText(board);
  for (const Fault &fault : board.faults) {
    out << "fault " << fault.member << " " << OccurrenceText(fault.occurrence) << " "
        << FaultValueText(fault) << "\n";
  }
  return out.str();
}

}  // namespace emu
