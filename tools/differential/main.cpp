// differential: boots random boards in the emulator and in OVMF, both through boardsim, and
// compares the two reports field by field.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "BoardGenerator.h"
#include "PciBoard.h"
#include "ReportCompare.h"

namespace {

constexpr char kUsage[] =
    "usage: differential --boards N --seed S [--jobs J] [--out DIR] [--board FILE]...\n"
    "Generates N boards from seed S (and takes each FILE as it stands), boots each in the\n"
    "emulator and in OVMF with boardsim, and compares the reports field by field. Boards run\n"
    "J at a time (default: the machine's cores). Board files and the reports of boards that\n"
    "differ are kept in DIR (default: a new folder under $TMPDIR or /tmp). One line per board;\n"
    "the last reads 'N boards, D differences'. Exit status 0 when D is 0, 1 otherwise.\n";

struct Options {
  uint32_t boards = 0;
  uint64_t seed = 0;
  unsigned jobs = 0;
  std::string out;
  std::vector<std::string> boardFiles;
};

bool ParseOptions(int argc, char **argv, Options &options, std::string &error) {
  bool haveBoards = false, haveSeed = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      error.clear();
      return false;
    }
    if (i + 1 >= argc) {
      error = arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unexpected '" + arg + "'";
      return false;
    }
    const std::string value = argv[++i];
    uint64_t number = 0;
    if (arg == "--boards" && emu::ParseNumber(value, 100000, number)) {
      options.boards = static_cast<uint32_t>(number);
      haveBoards = true;
    } else if (arg == "--seed" && emu::ParseNumber(value, UINT64_MAX, number)) {
      options.seed = number;
      haveSeed = true;
    } else if (arg == "--jobs" && emu::ParseNumber(value, 64, number) && number != 0) {
      options.jobs = static_cast<unsigned>(number);
    } else if (arg == "--out") {
      options.out = value;
    } else if (arg == "--board") {
      options.boardFiles.push_back(value);
    } else if (arg == "--boards" || arg == "--seed" || arg == "--jobs") {
      error = "bad value for " + arg + ": '" + emu::EchoText(value) + "'";
      return false;
    } else {
      error = "unknown option '" + emu::EchoText(arg) + "'";
      return false;
    }
  }
  if (haveBoards != haveSeed) {
    error = "--boards and --seed go together";
    return false;
  }
  if (!haveBoards && options.boardFiles.empty()) {
    error = "nothing to boot: give --boards and --seed, or --board";
    return false;
  }
  return true;
}

std::string Quote(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool ReadFile(const std::string &path, std::string &text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return true;
}

bool WriteFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.flush();
  return static_cast<bool>(out);
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
// `errors`. Returns the exit status, or -1 when it did not end by itself.
int RunBoardsim(const std::string &args, const std::string &report, const std::string &errors) {
  const std::string command = Quote(BoardsimPath()) + " " + args + " --json " + Quote(report) +
                              " >/dev/null 2>" + Quote(errors);
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct BoardRun {
  std::string name;  // "board 3 (seed 0x...)" or the file's path
  std::string file;  // the board file that reproduces it
  std::vector<differential::Difference> differences;
  std::string failure;  // a boot that could not be made or read
};

std::string FirstLine(const std::string &text) { return text.substr(0, text.find('\n')); }

void BootBoth(BoardRun &run, const std::string &dir) {
  const std::string emulated = dir + "/emulator.json", firmware = dir + "/firmware.json";
  const std::string seen = dir + "/firmware-board.txt";
  const int emuStatus = RunBoardsim("--board " + Quote(run.file), emulated, dir + "/emulator.err");
  const int fwStatus =
      RunBoardsim("--firmware --board " + Quote(run.file) + " --firmware-board " + Quote(seen),
                  firmware, dir + "/firmware.err");
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

}  // namespace

int main(int argc, char **argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    if (error.empty()) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "differential: %s\n", error.c_str());
    return 2;
  }
  if (options.out.empty()) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/differential.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "differential: cannot make a folder for the boards\n");
      return 2;
    }
    options.out = pattern;
  } else if (mkdir(options.out.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "differential: cannot make the folder '%s'\n", options.out.c_str());
    return 2;
  }
  std::printf("differential: boards and reports in %s\n", options.out.c_str());
  std::fflush(stdout);

  std::vector<BoardRun> runs;
  for (uint32_t i = 0; i < options.boards; ++i) {
    differential::GeneratedBoard generated =
        differential::GenerateBoard(differential::BoardSeed(options.seed, i));
    BoardRun run;
    run.name = "board " + std::to_string(i + 1) + " (seed " + emu::Hex(generated.seed) + ")";
    run.file = options.out + "/board-" + std::to_string(i + 1) + ".txt";
    if (!WriteFile(run.file, differential::BoardFileText(generated))) {
      std::fprintf(stderr, "differential: cannot write '%s'\n", run.file.c_str());
      return 2;
    }
    runs.push_back(run);
  }
  for (const std::string &file : options.boardFiles) {
    BoardRun run;
    run.name = file;
    run.file = file;
    runs.push_back(run);
  }

  // Each board in a folder of its own; lines go out in board order as the boards end.
  unsigned jobs =
      options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  std::atomic<size_t> next{0};
  std::mutex lock;
  std::condition_variable ended;
  std::vector<bool> done(runs.size(), false);
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < std::min<size_t>(jobs, runs.size()); ++j) {
    workers.emplace_back([&] {
      for (size_t i; (i = next++) < runs.size();) {
        const std::string dir = options.out + "/run-" + std::to_string(i + 1);
        mkdir(dir.c_str(), 0755);
        BootBoth(runs[i], dir);
        std::lock_guard<std::mutex> guard(lock);
        done[i] = true;
        ended.notify_all();
      }
    });
  }
  size_t differences = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    std::unique_lock<std::mutex> guard(lock);
    ended.wait(guard, [&] { return done[i]; });
    guard.unlock();
    differences += runs[i].differences.size() + (runs[i].failure.empty() ? 0 : 1);
    std::fputs(Report(runs[i]).c_str(), stdout);
    std::fflush(stdout);
  }
  for (std::thread &worker : workers) worker.join();
  std::printf("%zu boards, %zu differences\n", runs.size(), differences);
  return differences == 0 ? 0 : 1;
}
