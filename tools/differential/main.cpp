// differential: boots random boards in the emulator and in OVMF, both through boardsim, and
// compares the two reports field by field.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "BoardGenerator.h"
#include "CommandLine.h"
#include "ExitStatus.h"
#include "InputFile.h"
#include "Interruption.h"
#include "OutputFile.h"
#include "PciBoard.h"
#include "ReportCompare.h"

namespace {

constexpr char kUsage[] =
    "usage: differential --boards N --seed S [--jobs J] [--out DIR] [--board FILE]...\n"
    "Generates N boards from seed S (and takes each FILE as it stands), boots each in the\n"
    "emulator and in OVMF with boardsim, and compares the reports field by field. Boards run\n"
    "J at a time (default: the machine's cores). Board files and the reports of boards that\n"
    "differ are kept in DIR (default: a new folder under $TMPDIR or /tmp). One line per board;\n"
    "the last reads 'N boards, D differences'.\n"
    "\n"
    "Ctrl-C or SIGTERM stops the boots under way (each boardsim stops its QEMU), prints the\n"
    "boards that finished and the last line for them, and removes the folder it made (DIR\n"
    "stays).\n"
    "\n"
    "Exit status: 0 when D is 0, 1 otherwise, 2 for a bad option or a file it cannot read or\n"
    "write, 128 + the signal when interrupted (130: Ctrl-C, 143: SIGTERM).\n";

struct Options {
  uint32_t boards = 0;
  uint64_t seed = 0;
  unsigned jobs = 0;
  std::string out;
  std::vector<std::string> boardFiles;
};

// A number option's text: decimal or 0x-hexadecimal, from `least` to `most`.
bool ReadNumber(const char *name, const std::string &text, uint64_t least, uint64_t most,
                uint64_t &value, std::string &error) {
  if (emu::ParseNumber(text, most, value) && value >= least) return true;
  error = "bad value for " + std::string(name) + ": '" + emu::EchoText(text) + "' (" +
          std::to_string(least) + " to " + std::to_string(most) + ")";
  return false;
}

bool ParseOptions(const std::vector<std::string> &args, Options &options, bool &help,
                  std::string &error) {
  CLI::App app;
  app.set_help_flag();
  CLI::Option *helpFlag = tools::AddFlag(app, "--help,-h");
  std::string boards, seed, jobs;
  CLI::Option *boardsOption = tools::AddValue(app, "--boards", boards);
  CLI::Option *seedOption = tools::AddValue(app, "--seed", seed);
  CLI::Option *jobsOption = tools::AddValue(app, "--jobs", jobs);
  CLI::Option *outOption = tools::AddValue(app, "--out", options.out);
  CLI::Option *boardFiles = tools::AddValues(app, "--board");
  error = tools::ParseCommandLine(app, args);
  if (!error.empty()) return false;
  help = helpFlag->count() > 0;
  if (help) return true;
  options.boardFiles = boardFiles->results();
  uint64_t number = 0;
  if (boardsOption->count() > 0) {
    if (!ReadNumber("--boards", boards, 0, 100000, number, error)) return false;
    options.boards = static_cast<uint32_t>(number);
  }
  if (seedOption->count() > 0 && !ReadNumber("--seed", seed, 0, UINT64_MAX, options.seed, error)) {
    return false;
  }
  if (jobsOption->count() > 0) {
    if (!ReadNumber("--jobs", jobs, 1, 64, number, error)) return false;
    options.jobs = static_cast<unsigned>(number);
  }
  if ((boardsOption->count() > 0) != (seedOption->count() > 0)) {
    error = "--boards and --seed go together";
    return false;
  }
  if (options.boards == 0 && options.boardFiles.empty()) {
    error = "nothing to boot: give --boards and --seed, or --board";
    return false;
  }
  if (outOption->count() > 0 && options.out.empty()) {
    error = "--out is an empty path";
    return false;
  }
  return true;
}

// A board file of the user's, or a file a boot wrote (a report holds every SMBIOS structure
// and call of the boot: larger than a board file, far below this).
bool ReadFile(const std::string &path, std::string &text,
              uint64_t limit = tools::kMaxBoardFileSize * 64) {
  return tools::ReadInputFile(path, limit, text).empty();
}

bool WriteFile(const std::string &path, const std::string &text) {
  return tools::WriteOutputFile(path, text).empty();
}

// boardsim beside this program, as the build puts them.
std::string BoardsimPath() {
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length <= 0) return "boardsim";
  std::string path(self, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + "boardsim";
}

// Runs boardsim with `args`; its JSON report goes to `report`, what it says to stderr to
// `errors`. Returns the exit status, or -1 when it did not end by itself (Interruption() says
// whether a signal stopped it: boardsim then stops its QEMU and removes its folder).
int RunBoardsim(const std::vector<std::string> &args, const std::string &report,
                const std::string &errors) {
  tools::ChildSpec boardsim;
  boardsim.argv = {BoardsimPath()};
  boardsim.argv.insert(boardsim.argv.end(), args.begin(), args.end());
  boardsim.argv.insert(boardsim.argv.end(), {"--json", report});
  boardsim.errors = errors;
  // Should this tool die outright, each boardsim still stops its QEMU and tidies up.
  boardsim.deathSignal = SIGTERM;
  boardsim.grace = std::chrono::seconds(20);
  return tools::RunChild(boardsim);
}

struct BoardRun {
  std::string name;       // "board 3 (seed 0x...)" or the file's path
  std::string file;       // the board file that reproduces it
  bool finished = false;  // both boots ran to their end (not stopped by a signal)
  std::vector<differential::Difference> differences;
  std::string failure;  // a boot that could not be made or read
};

std::string FirstLine(const std::string &text) { return text.substr(0, text.find('\n')); }

void BootBoth(BoardRun &run, const std::string &dir) {
  const std::string emulated = dir + "/emulator.json", firmware = dir + "/firmware.json";
  const std::string seen = dir + "/firmware-board.txt";
  const int emuStatus = RunBoardsim({"--board", run.file}, emulated, dir + "/emulator.err");
  if (tools::Interruption() != 0) return;
  const int fwStatus = RunBoardsim({"--firmware", "--board", run.file, "--firmware-board", seen},
                                   firmware, dir + "/firmware.err");
  if (tools::Interruption() != 0) return;
  run.finished = true;
  std::string emuText, fwText, errors;
  if (emuStatus != 0 || !ReadFile(emulated, emuText)) {
    ReadFile(dir + "/emulator.err", errors);
    run.failure = "the emulator's boot ended with status " + std::to_string(emuStatus) + ": " +
                  FirstLine(errors);
    return;
  }
  if (fwStatus != 0 || !ReadFile(firmware, fwText)) {
    ReadFile(dir + "/firmware.err", errors);
    run.failure = "the firmware boot ended with status " + std::to_string(fwStatus) + ": " +
                  FirstLine(errors);
    return;
  }
  nlohmann::ordered_json e = nlohmann::ordered_json::parse(emuText, nullptr, false);
  nlohmann::ordered_json f = nlohmann::ordered_json::parse(fwText, nullptr, false);
  if (e.is_discarded() || f.is_discarded()) {
    run.failure = "a report is not JSON";
    return;
  }
  try {
    run.differences = differential::CompareReports(e, f);
  } catch (const nlohmann::json::exception &error) {
    run.failure = std::string("a report lacks a field: ") + error.what();
    return;
  }
  std::string boardText, seenText, why;
  emu::BoardDescription described = emu::DefaultBoard(), made = emu::DefaultBoard();
  if (!ReadFile(run.file, boardText) || !ReadFile(seen, seenText) ||
      !emu::ParseBoardText(boardText, described, why) ||
      !emu::ParseBoardText(seenText, made, why)) {
    run.failure = "the boards cannot be read back: " + why;
    return;
  }
  for (differential::Difference &d : differential::CompareTopology(described, made)) {
    run.differences.push_back(std::move(d));
  }
}

std::string Report(const BoardRun &run) {
  std::ostringstream out;
  if (!run.failure.empty()) {
    out << run.name << ": boot failed: " << run.failure << "\n";
  } else if (run.differences.empty()) {
    out << run.name << ": same\n";
  } else {
    out << run.name << ": " << run.differences.size() << " difference"
        << (run.differences.size() == 1 ? "" : "s") << "\n";
    for (const differential::Difference &d : run.differences) {
      out << "  " << d.field << ": emulator " << emu::EchoText(d.emulated, 120) << ", firmware "
          << emu::EchoText(d.firmware, 120) << "\n";
    }
  }
  if (!run.failure.empty() || !run.differences.empty()) {
    out << "  reproduce: boardsim --board " << run.file << " [--firmware]\n";
  }
  return out.str();
}

// Where a --board file may not lie: the generated boards are written in DIR as board-N.txt.
std::string InputInOutFolder(const Options &options) {
  for (const std::string &file : options.boardFiles) {
    const std::filesystem::path path = file;
    const std::string name = path.filename().string();
    if (name.rfind("board-", 0) != 0) continue;
    const std::string folder = path.parent_path().empty() ? "." : path.parent_path().string();
    if (tools::SameFile(folder, options.out)) {
      return "--board '" + emu::EchoText(file) +
             "' lies in --out's folder, where the generated boards are written";
    }
  }
  return "";
}

}  // namespace

int main(int argc, char **argv) {
  tools::HandleInterruptions("differential");
  // The boards, their boots and the folder are put away in order when a signal comes.
  tools::DeferredInterruption deferred;
  Options options;
  std::string error;
  bool help = false;
  auto refuse = [](const std::string &line) {
    std::fprintf(stderr, "differential: %s\n", line.c_str());
    return tools::kExitRefused;
  };
  if (!ParseOptions({argv + 1, argv + argc}, options, help, error)) return refuse(error);
  if (help) {
    std::fputs(kUsage, stdout);
    if (std::string why = tools::FinishStandardOutput(); !why.empty()) return refuse(why);
    return tools::kExitDone;
  }
  // A board file neither boot could take is the user's to mend, not a difference.
  for (const std::string &file : options.boardFiles) {
    std::string text;
    if (std::string why = tools::ReadInputFile(file, tools::kMaxBoardFileSize, text);
        !why.empty()) {
      return refuse("--board '" + emu::EchoText(file) + "': " + why);
    }
    emu::BoardDescription board = emu::DefaultBoard();
    if (std::string why; !emu::ParseBoardText(text, board, why)) {
      return refuse("--board '" + emu::EchoText(file) + "', " + why);
    }
  }
  std::string made;  // the folder this run made, removed if it is interrupted
  if (options.out.empty()) {
    std::string pattern = tools::TemporaryFolderBase() + "/differential.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return refuse("cannot make a folder for the boards");
    options.out = made = pattern;
  } else {
    struct stat info;
    if ((mkdir(options.out.c_str(), 0755) != 0 && errno != EEXIST) ||
        stat(options.out.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      return refuse("cannot make the folder '" + emu::EchoText(options.out) + "'");
    }
    if (std::string clash = InputInOutFolder(options); !clash.empty()) return refuse(clash);
  }
  auto removeMade = [&made] {
    std::error_code ignored;
    if (!made.empty()) std::filesystem::remove_all(made, ignored);
  };
  std::printf("differential: boards and reports in %s\n", options.out.c_str());
  std::fflush(stdout);

  std::vector<BoardRun> runs;
  for (uint32_t i = 0; i < options.boards && tools::Interruption() == 0; ++i) {
    differential::GeneratedBoard generated =
        differential::GenerateBoard(differential::BoardSeed(options.seed, i));
    BoardRun run;
    run.name = "board " + std::to_string(i + 1) + " (seed " + emu::Hex(generated.seed) + ")";
    run.file = options.out + "/board-" + std::to_string(i + 1) + ".txt";
    if (!WriteFile(run.file, differential::BoardFileText(generated))) {
      removeMade();
      return refuse("cannot write '" + run.file + "'");
    }
    runs.push_back(run);
  }
  for (const std::string &file : options.boardFiles) {
    BoardRun run;
    run.name = file;
    run.file = file;
    runs.push_back(run);
  }

  // Each board in a folder of its own; lines go out in board order as the boards end. A signal
  // stops the boots under way (RunChild stops each boardsim, which stops its QEMU); no worker
  // starts another board.
  unsigned jobs =
      options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  std::atomic<size_t> next{0};
  std::mutex lock;
  std::condition_variable ended;
  std::vector<bool> done(runs.size(), false);
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < std::min<size_t>(jobs, runs.size()); ++j) {
    workers.emplace_back([&] {
      for (size_t i; tools::Interruption() == 0 && (i = next++) < runs.size();) {
        const std::string dir = options.out + "/run-" + std::to_string(i + 1);
        mkdir(dir.c_str(), 0755);
        BootBoth(runs[i], dir);
        std::lock_guard<std::mutex> guard(lock);
        done[i] = true;
        ended.notify_all();
      }
    });
  }
  size_t differences = 0, reported = 0;
  auto report = [&](const BoardRun &run) {
    differences += run.differences.size() + (run.failure.empty() ? 0 : 1);
    ++reported;
    std::fputs(Report(run).c_str(), stdout);
    std::fflush(stdout);
  };
  size_t i = 0;
  for (; i < runs.size() && tools::Interruption() == 0; ++i) {
    std::unique_lock<std::mutex> guard(lock);
    while (!done[i] && tools::Interruption() == 0) {
      ended.wait_for(guard, std::chrono::milliseconds(100));
    }
    if (!done[i]) break;
    guard.unlock();
    if (runs[i].finished) report(runs[i]);
  }
  for (std::thread &worker : workers) worker.join();
  if (const int signal = tools::Interruption(); signal != 0) {
    // The boards that finished after the first one still under way when the signal came.
    for (; i < runs.size(); ++i) {
      if (done[i] && runs[i].finished) report(runs[i]);
    }
    std::fflush(stdout);  // the last line stays last
    std::fprintf(stderr, "differential: interrupted by %s after %zu of %zu boards%s\n",
                 tools::SignalName(signal).c_str(), reported, runs.size(),
                 made.empty() ? "" : "; its folder is removed");
    std::printf("%zu boards, %zu differences\n", reported, differences);
    removeMade();
    tools::FinishStandardOutput();
    return tools::kExitSignal + signal;
  }
  std::printf("%zu boards, %zu differences\n", runs.size(), differences);
  if (std::string why = tools::FinishStandardOutput(); !why.empty()) return refuse(why);
  return differences == 0 ? tools::kExitDone : tools::kExitFound;
}
