#include "FirmwareBoot.h"

#include <cctype>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>

#include "PciBoard.h"
#include "PciBus.h"
#include "ScenarioFile.h"
#include "SetupMenus.h"
#include "SymbolFile.h"

namespace fw {

namespace {

// The lines of one "== name" section of the application's log.
std::vector<std::string> Section(const std::string &log, const std::string &name) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind("== ", 0) == 0) {
      inside = line == "== " + name;
      continue;
    }
    if (inside) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Words(const std::string &line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// `menu UpdateString "Socket Configuration" 2337 "KVRN: CPU2 PCI-E 3.0"`
bool ParseMenuLine(const std::string &line, emu::SetupEditCall &call) {
  std::istringstream in(line);
  std::string tag;
  in >> tag >> call.member;
  auto quoted = [&in](std::string &out) {
    char c;
    if (!(in >> c) || c != '"') return false;
    return static_cast<bool>(std::getline(in, out, '"'));
  };
  unsigned id = 0;
  if (!quoted(call.formSet) || !(in >> id)) return false;
  call.id = static_cast<uint16_t>(id);
  return call.member != "UpdateString" || quoted(call.text);
}

bool ParseMac(const std::string &text, emu::MacAddress &mac) {
  unsigned b[6];
  if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4],
                  &b[5]) != 6) {
    return false;
  }
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
  return true;
}

bool ReadFindings(const std::vector<std::string> &lines, FirmwareBoot &boot) {
  emu::BootResult &result = boot.result;
  result.slotsAfter.clear();
  emu::SetupMenus menus = boot.seen.setupMenus;
  for (const std::string &line : lines) {
    std::vector<std::string> w = Words(line);
    if (w.empty()) continue;
    uint64_t a = 0, b = 0, c = 0;
    if (w[0] == "driver" && w.size() == 3) {
      bool resident = w[2] == "resident";
      result.drivers.push_back({w[1], resident ? EFI_SUCCESS : EFI_LOAD_ERROR, resident});
    } else if (w[0] == "slot" && w.size() == 3 && emu::ParseNumber(w[1], 255, a) &&
               emu::ParseNumber(w[2], 0xFFFFFFFF, b)) {
      result.slotsAfter[static_cast<uint32_t>(a)] = static_cast<uint32_t>(b);
    } else if (w[0] == "menu") {
      emu::SetupEditCall call;
      if (!ParseMenuLine(line, call)) return false;
      menus.Apply(call);
    } else if (w[0] == "mac-lists" && w.size() >= 2) {
      result.nicMacs.collected = w[1] == "collected";
      if (w.size() == 3 && emu::ParseNumber(w[2], UINT64_MAX, a)) result.nicMacs.status = a;
    } else if (w[0] == "mac" && w.size() == 3) {
      emu::MacAddress mac{};
      if (!ParseMac(w[2], mac)) return false;
      (w[1] == "primary" ? result.nicMacs.primary : result.nicMacs.secondary).push_back(mac);
    } else if (w[0] == "register" && w.size() == 5) {
      uint16_t bdf;
      if (!emu::ParseBdf(w[1], bdf) || !emu::ParseNumber(w[2], 0xFFF, a) ||
          !emu::ParseNumber(w[3], 0xFFFFFFFF, b) || !emu::ParseNumber(w[4], 0xFFFFFFFF, c)) {
        return false;
      }
      result.pciWrites.push_back({bdf, static_cast<uint16_t>(a), static_cast<uint32_t>(b),
                                  static_cast<uint32_t>(c), false});
    } else {
      return false;
    }
  }
  result.menusAfter = menus;
  return true;
}

// "image BoardSlotService 0x1D7F0000" lines, from anywhere in the report.
std::vector<DriverImage> ReadImages(const std::string &log, const std::string &symbolDir) {
  std::vector<DriverImage> images;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> w = Words(line);
    uint64_t base = 0;
    if (w.size() == 3 && w[0] == "image" && emu::ParseNumber(w[2], UINT64_MAX, base)) {
      images.push_back({w[1], base, DriverSymbolFile(w[1], symbolDir)});
    }
  }
  return images;
}

// The function of a driver that lies at `address`, by name; "" when no symbol file names it.
std::string FunctionAt(uint64_t address, const std::vector<DriverImage> &images) {
  static std::map<std::string, SymbolFile> files;
  for (const DriverImage &image : images) {
    const std::string path =
        image.symbolFile.empty() ? DriverSymbolFile(image.name) : image.symbolFile;
    auto [it, added] = files.try_emplace(path);
    std::string why;
    if (added && !it->second.Read(path, why)) continue;
    if (address < image.base || address - image.base > UINT32_MAX) continue;
    std::string name = it->second.FunctionAt(static_cast<uint32_t>(address - image.base));
    if (!name.empty()) return name;
  }
  return "";
}

bool IsGuidText(const std::string &text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

std::string DriverSymbolFile(const std::string &driver, const std::string &folder) {
  return folder + "/" + driver + ".debug";
}

std::vector<emu::DebugLine> ReadDebugLog(const std::string &serial,
                                         const std::vector<emu::CallRecord> &calls) {
  // The handler's own lines for other codes, each one write ending in "\r\n" (its "\n\r" as
  // EDK II's print rules write it).
  static const std::regex kHandlerLine(
      "(PROGRESS CODE: V[0-9A-F]{8} I[0-9A-F]+|ERROR: C[0-9A-F]{8}:V[0-9A-F]{8} I[0-9A-F]+"
      "( [0-9A-F-]{36})?( [0-9A-F]+)?|Undefined: C[0-9A-F]{8}:V[0-9A-F]{8} I[0-9A-F]+|"
      "\r\nDXE_ASSERT!: [^\r\n]*)\r\n");
  const std::string debug = std::regex_replace(serial, kHandlerLine, "");
  std::vector<const emu::CallRecord *> reports;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].member == "StatusCode.ReportStatusCode" && calls[i].args.size() == 4) {
      reports.push_back(&calls[i]);
    }
  }
  std::vector<emu::DebugLine> lines;
  for (size_t start = 0; start < debug.size();) {
    size_t end = debug.find("\r\n", start);
    end = end == std::string::npos ? debug.size() : end + 2;
    emu::DebugLine line;
    line.unpacked = true;
    line.text = debug.substr(start, end - start);
    if (lines.size() < reports.size()) {
      const emu::CallRecord &call = *reports[lines.size()];
      line.driver = call.image;
      line.callerId = call.what;
      line.hasLevel = true;
      line.level = static_cast<uint32_t>(call.args[3]);
      line.call = static_cast<long>(&call - calls.data());
    }
    lines.push_back(std::move(line));
    start = end;
  }
  return lines;
}

bool ReadCallRecord(const std::string &line, const std::vector<DriverImage> &images,
                    emu::CallRecord &call) {
  std::vector<std::string> w = Words(line);
  uint64_t during = 0, result = 0, count = 0;
  if (w.size() < 6 || w[0] != "call" || !emu::ParseNumber(w[3], UINT64_MAX, during) ||
      !emu::ParseNumber(w[4], UINT64_MAX, result) || !emu::ParseNumber(w[5], 4, count) ||
      w.size() < 6 + count) {
    return false;
  }
  call = {};
  call.member = w[1];
  call.image = w[2];
  call.during = FunctionAt(during, images);
  call.result = result;
  for (size_t i = 0; i < count; ++i) {
    uint64_t arg = 0;
    if (!emu::ParseNumber(w[6 + i], UINT64_MAX, arg)) return false;
    call.args.push_back(arg);
  }
  // The register the application answered for, at its address in the emulator's terms.
  if (call.member == "RegisterAccess.GetRegisterAddress") call.result += emu::kConfigSpaceBoardBase;
  // What tells the call from others of its member: a GUID (with the notify function of the
  // event a registration names), the notify function of a new event, a variable's name.
  std::string guid, notify, variable;
  for (size_t i = 6 + count; i < w.size(); i += 2) {
    uint64_t address = 0;
    if (i + 1 >= w.size()) return false;
    if (w[i] == "guid" && IsGuidText(w[i + 1])) {
      guid = w[i + 1];
    } else if (w[i] == "notify" && emu::ParseNumber(w[i + 1], UINT64_MAX, address)) {
      notify = FunctionAt(address, images);
    } else if (w[i] == "variable") {
      variable = line.substr(line.find(" variable ") + 10);
      break;
    } else {
      return false;
    }
  }
  call.what = !guid.empty()     ? guid + (notify.empty() ? "" : " " + notify)
              : !notify.empty() ? notify
                                : variable;
  return true;
}

bool SmbiosFromDump(const std::vector<uint8_t> &dump, emu::SmbiosTable &table, std::string &why) {
  // The entry point names the table's address: 64 bits at 0x10 in a 3.0 one, 32 bits at 0x18
  // in a 2.x one; a dump has moved it to 0x20.
  uint64_t address = 0;
  if (dump.size() >= 0x20 && std::memcmp(dump.data(), "_SM3_", 5) == 0) {
    std::memcpy(&address, dump.data() + 0x10, 8);
  } else if (dump.size() >= 0x20 && std::memcmp(dump.data(), "_SM_", 4) == 0) {
    uint32_t address32;
    std::memcpy(&address32, dump.data() + 0x18, 4);
    address = address32;
  } else {
    why = "not an SMBIOS dump";
    return false;
  }
  if (address != 0x20) {
    why = "the dump's table is not at 0x20";
    return false;
  }
  table.Clear();
  for (size_t at = 0x20; at < dump.size();) {
    size_t size = emu::SmbiosStructureExtent(dump.data() + at, dump.size() - at);
    if (size == 0) break;
    std::vector<uint8_t> bytes(dump.begin() + at, dump.begin() + at + size);
    if (bytes[0] == 127) break;  // the table keeps its own end-of-table structure
    if (!table.Put(bytes, why)) return false;
    at += size;
  }
  return true;
}

FirmwareBoot BootInFirmware(const emu::BoardDescription &board, RunRequest request) {
  FirmwareBoot boot;
  if (!PrepareRun(board, request, boot.error)) {
    boot.boardRefused = true;
    return boot;
  }
  boot.run = RunInOvmf(request);
  if (!boot.run.ran) {
    boot.error = boot.run.error;
    return boot;
  }
  const std::string &log = boot.run.debugLog;
  if (boot.run.exitCode != 0 || log.find("== end") == std::string::npos) {
    size_t fail = log.find("FAIL: ");
    boot.error = fail != std::string::npos ? log.substr(fail, log.find('\n', fail) - fail)
                                           : "the platform application did not finish";
    return boot;
  }
  for (const std::string &line : Section(log, "dispatch")) boot.dispatch += line + "\n";
  boot.images = ReadImages(log, request.symbolDir);

  // The board as the firmware made it: the description's own settings, then the processor and
  // PCI functions the firmware reported, and the SMBIOS table it built before the triggers.
  boot.seen = board;
  std::string pciLines;
  for (const std::string &line : Section(log, "board")) pciLines += line + "\n";
  emu::SmbiosTable before, after;
  if (!emu::ParseBoardText(pciLines, boot.seen, boot.error) ||
      !SmbiosFromDump(boot.run.files["smbios-before.bin"], before, boot.error) ||
      !SmbiosFromDump(boot.run.files["smbios-after.bin"], after, boot.error)) {
    boot.error = "unreadable firmware report: " + boot.error;
    return boot;
  }
  boot.seen.smbios = before;
  boot.seenText = emu::FormatBoardText(boot.seen);

  boot.result.board = boot.seen;
  boot.result.platformChecked = false;
  boot.result.slotsBefore = boot.seen.slots;
  boot.result.smbiosAfter = after;
  if (!ReadFindings(Section(log, "findings"), boot)) {
    boot.error = "unreadable findings in the firmware report";
    return boot;
  }
  for (const std::string &line : Section(log, "calls")) {
    emu::CallRecord call;
    uint64_t lost = 0;
    if (line.rfind("calls-lost ", 0) == 0 && emu::ParseNumber(line.substr(11), UINT64_MAX, lost)) {
      boot.callsLost = lost;
    } else if (ReadCallRecord(line, boot.images, call)) {
      boot.result.calls.push_back(std::move(call));
    } else {
      boot.error = "unreadable call record in the firmware report: " + line;
      return boot;
    }
  }
  if (!request.statusCodeVolume.empty()) {
    boot.result.images = request.debugImages ? emu::ImageBuild::kDebug : emu::ImageBuild::kRelease;
    boot.result.debugLines = ReadDebugLog(boot.run.serialLog, boot.result.calls);
  }
  boot.ok = true;
  return boot;
}

}  // namespace fw
