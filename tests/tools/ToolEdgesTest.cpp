// Every tool at its edges, as a careless or hostile user meets them: the command line, the
// files it is given, the files it writes and the board files boardsim reads. Each refusal is
// one line naming the tool, with exit status 2; nothing is read that is not a regular file of
// its format's size, and nothing written is cut short or lands on an input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "Tests.h"

namespace {

std::string Tool(const std::string &name) {
  static const std::map<std::string, std::string> kPaths = {{"boardsim", BOARDSIM_PATH},
                                                            {"fvpack", FVPACK_PATH},
                                                            {"pecompact", PECOMPACT_PATH},
                                                            {"budgets", BUDGETS_PATH},
                                                            {"differential", DIFFERENTIAL_PATH}};
  return test::Quote(kPaths.at(name));
}

std::string Firmware(const std::string &name) { return std::string(FIRMWARE_DIR) + "/" + name; }

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// One line, "TOOL: ...", holding `part`, and the status.
void ExpectOneLine(const test::CommandRun &run, const std::string &tool, int status,
                   const std::string &part) {
  EXPECT_EQ(run.status, status) << run.out;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
  EXPECT_EQ(run.out.rfind(tool + ": ", 0), 0u) << run.out;
  EXPECT_NE(run.out.find(part), std::string::npos) << run.out;
}

// The same rules on every tool's command line: --help is exit 0, a value-taking option never
// takes the next option as its value, and each wrong line is named in one line.
TEST(ToolEdgesTest, CommandLinesAreReadAlike) {
  test::TempFolder dir;
  const std::string empty = test::Quote(dir.path());
  for (const char *tool : {"boardsim", "fvpack", "pecompact", "budgets", "differential"}) {
    SCOPED_TRACE(tool);
    for (const char *help : {" --help", " -h"}) {
      test::CommandRun run = test::Run(Tool(tool) + help);
      EXPECT_EQ(run.status, 0) << run.out;
      EXPECT_EQ(run.out.rfind("usage: ", 0), 0u) << run.out;
    }
  }
  struct Row {
    const char *tool;
    std::string args;
    std::string part;
  } rows[] = {
      // Before: a file named --trace and no trace.
      {"boardsim", "--json --trace", "option --json needs a value (it is followed by the option"},
      {"boardsim", "--json= --trace", "option --json needs a value"},
      {"boardsim", "--json a.json --json b.json", "option --json is given twice"},
      {"boardsim", "--trace=1", "option --trace takes no value"},
      // Before: silently no dump at all.
      {"boardsim", "--smbios-dump ''", "--smbios-dump '': an empty path names no file"},
      {"boardsim", "--firmware --gdb-wait 5", "--gdb-wait means nothing without --gdb"},
      {"boardsim", "--firmware --gdb --gdb-wait 0", "bad value for --gdb-wait: '0'"},
      {"boardsim", "--firmware --qemu-arg -daemonize", "a daemon would outlive it"},
      // A board real firmware cannot be given is bad input, not a failed run (it was status 1).
      {"boardsim", "--firmware --fault BS.CreateEvent=1=EFI_NOT_FOUND", "takes no faults"},
      // Before: the second fault was reported as never matching a call.
      {"boardsim", "--fault BS.CreateEvent=1=EFI_NOT_FOUND --fault BS.CreateEvent=1=EFI_ABORTED",
       "call 1 of BS.CreateEvent already fails by the fault BS.CreateEvent=1=EFI_NOT_FOUND"},
      {"boardsim", "--fault 'BS.CreateEvent=*=EFI_NOT_FOUND' --fault BS.CreateEvent=3=EFI_ABORTED",
       "every call of BS.CreateEvent already fails"},
      {"differential", "--boards --seed 1", "option --boards needs a value"},
      {"differential", "--bords 2 --seed 1", "unknown option '--bords'; nearest: --boards"},
      {"differential", "--boards 0 --seed 1", "nothing to boot"},
      {"fvpack", "", "no FIRMWARE_DIR given"},
      // Before: read as the root folder.
      {"fvpack", "''", "FIRMWARE_DIR is an empty path"},
      // Before: "unknown driver name".
      {"fvpack", empty + " BoardSlotService BoardSlotService",
       "driver BoardSlotService is named twice"},
      {"fvpack", empty + " Nope", "unknown driver name 'Nope' (shipped: BoardSlotService"},
      // Before: "cannot read --help" and the like.
      {"pecompact", "", "give one IMAGE, or --strip-debug LINKED IMAGE"},
      {"pecompact", "--strip-debug a.efi", "--strip-debug takes LINKED and IMAGE"},
      {"pecompact", "-", "'-' names standard output"},
      {"budgets", "", "give images IMAGE..., boot, or boot-cost"},
      {"budgets", "images --frob a.efi", "unknown option '--frob'"},
      {"budgets", "boot-cost pass", "give images IMAGE..., boot, or boot-cost"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.tool) + " " + row.args);
    ExpectOneLine(test::Run("cd " + empty + " && " + Tool(row.tool) + " " + row.args), row.tool, 2,
                  row.part);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // nothing refused wrote a file
}

// Outputs: every write checked, standard output's too; an output never lands on an input or
// on another output; a write that fails leaves the earlier file whole and no stray file.
TEST(ToolEdgesTest, WritesCannotLie) {
  test::TempFolder dir;
  const std::string board = dir / "board.txt", old = dir / "old.json";
  const std::string linked = dir / "Linked.debug", image = dir / "Image.efi";
  const std::string firmware = dir / "firmware";
  std::filesystem::create_directory(firmware);
  std::filesystem::copy_file(Firmware("BoardSlotService.debug"), linked);
  std::filesystem::copy_file(Firmware("BoardSlotService.efi"), firmware + "/BoardSlotService.efi");
  std::filesystem::create_symlink(firmware + "/BoardSlotService.efi",
                                  firmware + "/BoardSlotService.ffs");
  std::filesystem::create_symlink(board, dir / "link-to-board.txt");
  const std::string linkedBytes = ReadText(linked);
  struct Row {
    const char *tool;
    std::string command;
    int status;
    std::string part;
  } rows[] = {
      // Before: exit 0 with the report lost.
      {"boardsim", "{ " + Tool("boardsim") + " >/dev/full; }", 2,
       "cannot write to standard output: No space left on device"},
      {"boardsim", "{ " + Tool("boardsim") + " --json - >/dev/full; }", 2,
       "cannot write to standard output: No space left on device"},
      {"boardsim", "{ " + Tool("boardsim") + " --print-board >/dev/full; }", 2,
       "cannot write to standard output"},
      {"budgets", "{ " + Tool("budgets") + " --help >/dev/full; }", 2,
       "cannot write to standard output"},
      {"boardsim", Tool("boardsim") + " --json " + (dir / "a") + " --smbios-dump " + (dir / "a"), 2,
       "--json and --smbios-dump name the same file"},
      {"boardsim", Tool("boardsim") + " --json - --smbios-dump -", 2,
       "--json and --smbios-dump both go to standard output"},
      {"boardsim",
       Tool("boardsim") + " --board " + board + " --json " + (dir / "link-to-board.txt"), 2,
       "would overwrite --board"},
      // Before: the symbol file replaced by the stripped image.
      {"pecompact", Tool("pecompact") + " --strip-debug " + linked + " " + linked, 2,
       "IMAGE '" + linked + "' would overwrite LINKED"},
      {"fvpack", Tool("fvpack") + " " + firmware + " BoardSlotService", 2,
       "BoardSlotService.ffs '" + firmware + "/BoardSlotService.ffs' would overwrite the image"},
      // The file-size limit makes the JSON write fail part way: the old report must stay whole.
      {"boardsim",
       "(trap '' XFSZ; ulimit -f 8; " + Tool("boardsim") + " --json " + old + " >/dev/null)", 2,
       "cannot write the JSON report to '" + old + "': File too large"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.command);
    Write(board, "riser-type 6\n");
    Write(old, "{\"a report\": \"whole\"}\n");
    ExpectOneLine(test::Run(row.command), row.tool, row.status, row.part);
    EXPECT_EQ(ReadText(board), "riser-type 6\n");
    EXPECT_EQ(ReadText(old), "{\"a report\": \"whole\"}\n");
    EXPECT_EQ(ReadText(linked), linkedBytes);
    EXPECT_EQ(ReadText(firmware + "/BoardSlotService.efi"),
              ReadText(Firmware("BoardSlotService.efi")));
  }
  // Nothing but the files above: no temporary file left by a refused or failed write.
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Linked.debug", "board.txt", "firmware",
                                             "link-to-board.txt", "old.json"}));
  // '-' is standard output wherever a tool writes a file, and the rest of the output keeps out.
  test::CommandRun dump = test::Run(Tool("boardsim") + " --smbios-dump -");
  EXPECT_EQ(dump.status, 0);
  EXPECT_EQ(dump.out.rfind("_SM3_", 0), 0u);
  EXPECT_EQ(dump.out.find("Slot table"), std::string::npos);
  test::CommandRun stripped =
      test::Run("{ " + Tool("pecompact") + " --strip-debug " + linked + " - >" + image + "; }");
  EXPECT_EQ(stripped.status, 0) << stripped.out;
  EXPECT_EQ(ReadText(image), ReadText(Firmware("BoardSlotService.efi")));
}

// Inputs that are not regular files of their format's size are refused before a byte is read:
// before, pecompact aborted on a folder, grew without bound on /dev/zero and blocked on a FIFO.
TEST(ToolEdgesTest, InputsThatAreNoRegularFileAreRefused) {
  test::TempFolder dir;
  const struct {
    const char *name;
    std::function<void(const std::string &path)> make;
    std::string why;
  } kinds[] = {
      {"folder", [](const std::string &p) { std::filesystem::create_directory(p); },
       "is a directory"},
      {"device", [](const std::string &p) { std::filesystem::create_symlink("/dev/zero", p); },
       "is not a regular file"},
      {"fifo", [](const std::string &p) { mkfifo(p.c_str(), 0600); }, "is not a regular file"},
      {"link loop", [](const std::string &p) { std::filesystem::create_symlink(p, p); },
       "Too many levels of symbolic links"},
      {"missing", [](const std::string &) {}, "No such file or directory"},
      {"too large",
       [](const std::string &p) {
         Write(p, "");
         std::filesystem::resize_file(p, 300'000'000);  // sparse: nothing is written
       },
       "300000000 bytes"},
  };
  struct Reader {
    const char *tool;
    std::function<std::string(const std::string &path)> command;
  } readers[] = {
      {"pecompact", [](const std::string &p) { return Tool("pecompact") + " " + p; }},
      {"pecompact",
       [&](const std::string &p) {
         return Tool("pecompact") + " --strip-debug " + p + " " + (dir / "out.efi");
       }},
      {"budgets", [](const std::string &p) { return Tool("budgets") + " images " + p; }},
      {"budgets", [](const std::string &p) { return Tool("budgets") + " boot-cost pass " + p; }},
      {"fvpack",
       [](const std::string &p) {
         return Tool("fvpack") + " " + std::filesystem::path(p).parent_path().string() +
                " BoardSlotService";
       }},
      {"differential", [](const std::string &p) { return Tool("differential") + " --board " + p; }},
      {"boardsim", [](const std::string &p) { return Tool("boardsim") + " --board " + p; }},
  };
  int folder = 0;
  for (const auto &kind : kinds) {
    // fvpack reads FOLDER/BoardSlotService.efi: one folder per kind of input.
    const std::string place = dir / ("in-" + std::to_string(folder++));
    std::filesystem::create_directory(place);
    const std::string path = place + "/BoardSlotService.efi";
    kind.make(path);
    for (const Reader &tool : readers) {
      SCOPED_TRACE(std::string(kind.name) + ": " + tool.command(path));
      // A hang shows as status 124.
      ExpectOneLine(test::Run("timeout 20 " + tool.command(path)), tool.tool, 2, kind.why);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "out.efi"));
}

// An image the PE/COFF reader refuses is bad input to every tool that reads images: one line naming
// the file and the rule, status 2, and nothing written (before, budgets printed its report and a
// second line that named no file).
TEST(ToolEdgesTest, AnImageTheReaderRefusesIsBadInput) {
  test::TempFolder dir;
  const std::string firmware = dir / "firmware", broken = firmware + "/BoardSlotService.efi";
  std::filesystem::create_directory(firmware);
  const std::string shipped = ReadText(Firmware("BoardSlotService.efi"));
  Write(broken, shipped.substr(0, shipped.size() - 0x20));  // .reloc's data cut short
  const std::string rule = broken + ": section .reloc: raw data";
  struct Row {
    const char *tool;
    std::string args;
  } rows[] = {
      {"fvpack", firmware + " BoardSlotService"},
      {"pecompact", broken},
      {"pecompact", "--strip-debug " + broken + " " + (dir / "out.efi")},
      {"budgets", "images " + Firmware("MenuPruner.efi") + " " + broken},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.tool) + " " + row.args);
    ExpectOneLine(test::Run(Tool(row.tool) + " " + row.args), row.tool, 2, rule);
    EXPECT_EQ(ReadText(broken), shipped.substr(0, shipped.size() - 0x20));
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "out.efi"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(firmware), {}), 1);
}

// Board-file lines that name what the board lacks are refused, in a board file (with the file
// and line) and on the command line alike, as the firmware run refuses them; before, the
// emulator took them without a word (or grew the Setup variable to fit).
TEST(ToolEdgesTest, BoardFilesRefuseWhatTheBoardLacks) {
  test::TempFolder dir;
  struct Row {
    std::vector<std::pair<std::string, std::string>> lines;  // board-file line, option
    std::string why;
  } rows[] = {
      {{{"slot 999 0x22B000", "--slot 999=0x22B000"}},
       "slot index 999 is past the slot table (indexes 0 to 255)"},
      {{{"board-byte 256 1", "--board-byte 256=1"}},
       "board byte 256 is past the board's bytes (ids 0 to 255)"},
      {{{"setup-byte 3072 1", "--setup-byte 3072=1"}},
       "offset 3072 is past the Setup variable's 3072 bytes"},
      {{{"setup-size 16", "--setup-size 16"}, {"setup-byte 16 1", "--setup-byte 16=1"}},
       "offset 16 is past the Setup variable's 16 bytes"},
      {{{"setup-size absent", "--setup-size absent"}, {"setup-byte 1 1", "--setup-byte 1=1"}},
       "the board has no Setup variable"},
      {{{"pci-remove 01:00.0", "--pci-remove 01:00.0"}},
       "the board has no function 01:00.0 to remove"},
      {{{"fault BS.CreateEvent 2 EFI_NOT_FOUND", "--fault BS.CreateEvent=2=EFI_NOT_FOUND"},
        {"fault BS.CreateEvent 2 EFI_ABORTED", "--fault BS.CreateEvent=2=EFI_ABORTED"}},
       "call 2 of BS.CreateEvent already fails"},
  };
  for (const Row &row : rows) {
    std::string text = "riser-type 5\n", args;
    for (const auto &[line, option] : row.lines) {
      text += line + "\n";
      args += " " + option;
    }
    SCOPED_TRACE(text);
    Write(dir / "board.txt", text);
    const std::string last = row.lines.back().first;
    ExpectOneLine(
        test::Run(Tool("boardsim") + " --board " + (dir / "board.txt")), "boardsim", 2,
        "board.txt', line " + std::to_string(row.lines.size() + 1) + ": " + last + ": " + row.why);
    ExpectOneLine(test::Run(Tool("boardsim") + args), "boardsim", 2, row.why);
  }
  // The differential refuses such a board before it boots it, rather than count a difference.
  Write(dir / "board.txt", "slot 999 0x22B000\n");
  ExpectOneLine(test::Run(Tool("differential") + " --board " + (dir / "board.txt")), "differential",
                2, "board.txt', line 1: slot 999 0x22B000: slot index 999");
}

}  // namespace
