// boardsim --json, read by Debian's python3 json module (not by our own code) and checked
// against the boot's own results.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "Boot.h"
#include "Faults.h"
#include "PciBoard.h"
#include "Tests.h"

namespace {

using test::Boardsim;
using test::CommandRun;

// Reads a report with a real JSON parser and writes what it holds as one fact a line.
constexpr char kFlatten[] = R"py(
import json, sys
r = json.load(open(sys.argv[1]))
print("top", *r.keys())
print("schema", r["schema"], r["version"], r["source"])
b = r["board"]
k = b["kvrnConfig"]
print("kvrn", k["value"], "".join(k["portsPresent"]), k["splitRule"], k["slotWidth"],
      "".join(k["portRecords"]))
for d in r["drivers"]:
    print("driver", d["name"], d["status"], d["resident"])
for s in r["slots"]:
    root = s["decoded"]["rootPort"] if s["decoded"] else None
    print("slot", s["index"], s["before"], s["after"], root)
for s in r["smbios"]["slotStructures"]:
    print("smbios", s["handle"], s["type"], s["designation"], s["width"], s["slotCode"]["code"],
          s["change"])
print("structures", len(r["smbios"]["structures"]))
for e in r["menus"]["edits"]:
    print("edit", e["member"], e["formSet"], e["id"], e["status"])
n = r["nicMacs"]
print("macs", n["collected"], n["status"], *n["primary"], "/", *n["secondary"])
for p in r["pci"]["rootPorts"]:
    print("rootport", p["bdf"], p["slot"], p["before"], p["after"])
for f in r["faults"]:
    print("fault", f["member"], f["occurrence"], f["valueText"], f["firedOnCalls"], f["matched"])
c = r["platformChecks"]
print("checks", c["made"], c["passed"], len(c["problems"]))
d = r["debugLog"]
print("debuglog", d["images"], len(d["lines"]))
for c in r.get("calls", []):
    print("call", c["number"], c["member"], c["result"], c["faulted"])
)py";

std::string Bool(bool value) { return value ? "True" : "False"; }
std::string Code(const std::map<uint32_t, uint32_t> &slots, uint32_t index) {
  auto it = slots.find(index);
  return it == slots.end() ? "None" : std::to_string(it->second);
}

// The same facts, from the boot itself.
std::vector<std::string> Expected(const emu::BootResult &boot) {
  std::vector<std::string> lines{"schema boardsim-report 1 emulator", "kvrn 132 C True 11 C"};
  for (const emu::DriverOutcome &d : boot.drivers) {
    lines.push_back("driver " + d.name + " " + emu::StatusName(d.status) + " " + Bool(d.resident));
  }
  std::vector<uint32_t> order(std::begin(kExpansionSlotIndexes), std::end(kExpansionSlotIndexes));
  order.push_back(SLOT_INDEX_ONBOARD_NIC);
  for (uint32_t index : order) {
    auto after = boot.slotsAfter.find(index);
    lines.push_back("slot " + std::to_string(index) + " " + Code(boot.slotsBefore, index) + " " +
                    Code(boot.slotsAfter, index) + " " +
                    (after == boot.slotsAfter.end() ? "None" : "<root>"));
  }
  for (const emu::SmbiosStructure &s : boot.smbiosAfter.Structures()) {
    if (s.Type() != 9 && s.Type() != 161) continue;
    const emu::SmbiosStructure *was = boot.board.smbios.Find(s.Handle());
    std::string change = was == nullptr ? "added" : *was == s ? "none" : "width";
    uint32_t code = uint32_t{s.Word(0x0D)} << 16 | s.Byte(0x0F) << 8 | s.Byte(0x10);
    lines.push_back("smbios " + std::to_string(s.Handle()) + " " + std::to_string(s.Type()) + " " +
                    s.String(1) + " " + std::to_string(s.Byte(6)) + " " + std::to_string(code) +
                    " " + change);
  }
  lines.push_back("structures " + std::to_string(boot.smbiosAfter.Structures().size()));
  for (const emu::SetupEditCall &e : boot.menusAfter.edits) {
    lines.push_back("edit " + e.member + " " + e.formSet + " " + std::to_string(e.id) + " " +
                    emu::StatusName(e.status));
  }
  std::string macs = "macs " + Bool(boot.nicMacs.collected) + " " +
                     (boot.nicMacs.collected ? emu::StatusName(boot.nicMacs.status) : "None");
  for (const emu::MacAddress &mac : boot.nicMacs.primary) macs += " " + emu::MacText(mac);
  macs += " /";
  for (const emu::MacAddress &mac : boot.nicMacs.secondary) macs += " " + emu::MacText(mac);
  lines.push_back(macs);
  lines.push_back("rootport D7:00.0 170 " + std::to_string(0x0001A05C) + " " +
                  std::to_string(0x0001805C));
  std::vector<emu::FaultOutcome> outcomes = emu::FaultOutcomes(boot);
  for (const emu::FaultOutcome &f : outcomes) {
    std::string fired = "[";
    for (size_t i = 0; i < f.fired.size(); ++i) {
      fired += (i ? ", " : "") + std::to_string(f.fired[i] + 1);
    }
    lines.push_back("fault " + f.fault.member + " " + emu::OccurrenceText(f.fault.occurrence) +
                    " " + emu::FaultValueText(f.fault) + " " + fired + "] " +
                    Bool(!f.fired.empty()));
  }
  lines.push_back("checks True " + Bool(boot.violations.empty()) + " " +
                  std::to_string(boot.violations.size()));
  lines.push_back("debuglog RELEASE " + std::to_string(boot.debugLines.size()));
  for (size_t i = 0; i < boot.calls.size(); ++i) {
    lines.push_back("call " + std::to_string(i + 1) + " " + boot.calls[i].member + " " +
                    emu::Hex(boot.calls[i].result) + " " + Bool(boot.calls[i].injected));
  }
  return lines;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(BoardsimJsonTest, ThePythonJsonModuleReadsWhatTheBootDid) {
  test::TempFolder dir;
  std::ofstream(dir / "flatten.py") << kFlatten;
  const std::string options =
      "--kvrn-config 0x84 --fault SetupEdit.UpdateString=2=EFI_DEVICE_ERROR "
      "--fault 'SetupEdit.HideItem=*=EFI_OUT_OF_RESOURCES' --fault CPU.Cpuid=99=0";
  CommandRun run = Boardsim(options + " --trace --json " + dir / "report.json");
  ASSERT_EQ(run.status, 0) << run.out;
  CommandRun flat = test::Run("python3 " + dir / "flatten.py" + " " + dir / "report.json");
  ASSERT_EQ(flat.status, 0) << flat.out;
  std::vector<std::string> read = Lines(flat.out);
  ASSERT_FALSE(read.empty());
  EXPECT_EQ(read.front(),
            "top schema version source board drivers slots smbios menus nicMacs pci faults "
            "platformChecks debugLog calls");

  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x84);
  board.faults = {{"SetupEdit.UpdateString", 2, EFI_DEVICE_ERROR},
                  {"SetupEdit.HideItem", emu::Fault::kEveryCall, EFI_OUT_OF_RESOURCES},
                  {"CPU.Cpuid", 99, 0}};
  emu::BootResult boot = emu::RunBoot(board);
  std::vector<std::string> expected = Expected(boot);
  std::set<std::string> got(read.begin() + 1, read.end());
  for (std::string line : expected) {
    if (line.ends_with(" <root>")) {
      // The decoded root port: whatever it is, it is there.
      line.resize(line.size() - 7);
      bool found = false;
      for (const std::string &g : got)
        found = found || (g.rfind(line + " ", 0) == 0 && !g.ends_with(" None"));
      EXPECT_TRUE(found) << line;
      continue;
    }
    EXPECT_EQ(got.count(line), 1u) << line << "\n" << flat.out.substr(0, 3000);
  }
  EXPECT_EQ(read.size() - 1, expected.size());
}

TEST(BoardsimJsonTest, JsonOnStandardOutputIsTheOnlyOutputAndWritingItCanFail) {
  CommandRun run = Boardsim("--json -");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out.front(), '{');
  EXPECT_EQ(run.out.find("Slot table"), std::string::npos);
  test::TempFolder dir;
  std::ofstream(dir / "report.json") << run.out;
  CommandRun parsed = test::Run(
      "python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); "
      "print(r[\"version\"], \"calls\" in r, len(r[\"slots\"]))' " +
      dir / "report.json");
  EXPECT_EQ(parsed.out, "1 False 19\n");

  run = Boardsim("--json /nonexistent/dir/report.json");
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(test::HasRow(run.out,
                           "boardsim: --json '/nonexistent/dir/report.json': no folder "
                           "/nonexistent/dir to write it in"));
}

}  // namespace
