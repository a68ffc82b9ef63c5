// budgets images IMAGE...                the image report
// budgets boot                           plays the default boot (scripts/budgets runs it under
//                                        callgrind, once per pass)
// budgets boot-cost NAME PROFILE ...     the boot cost report from one profile per pass
// Reports go to standard output; scripts/budgets writes them under build/reports/.
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "Budgets.h"
#include "CommandLine.h"
#include "ExitStatus.h"
#include "InputFile.h"
#include "Interruption.h"
#include "OutputFile.h"

namespace {

constexpr char kUsage[] =
    "usage: budgets images IMAGE...\n"
    "       budgets boot\n"
    "       budgets boot-cost NAME PROFILE [NAME PROFILE]...\n"
    "\n"
    "images     each image's size on disk against the budget and its sections (an image is a\n"
    "           regular file of at most 16 MiB)\n"
    "boot       plays the default boot, as scripts/budgets runs it under callgrind\n"
    "boot-cost  the instructions each pass executed inside the drivers, from one callgrind\n"
    "           profile per pass\n"
    "Reports go to standard output (scripts/budgets writes them under build/reports/).\n"
    "\n"
    "Exit status: 0 when reported, 1 when the boot found a problem, 2 for a bad argument, a file\n"
    "it cannot read or an image the PE/COFF reader refuses (one line naming the file and the\n"
    "rule, and no report), 128 + the signal when interrupted.\n";

int Refuse(const std::string &line) {
  std::fprintf(stderr, "budgets: %s\n", line.c_str());
  return tools::kExitRefused;
}

// The report, or nothing: a report that did not reach standard output whole is refused.
int Report(const std::string &text, int status) {
  std::fputs(text.c_str(), stdout);
  if (std::string why = tools::FinishStandardOutput(); !why.empty()) return Refuse(why);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  tools::HandleInterruptions("budgets");
  CLI::App app;
  app.set_help_flag();
  app.require_subcommand(0, 1);
  app.fallthrough();  // --help after a subcommand is the tool's
  CLI::Option *help = tools::AddFlag(app, "--help,-h");
  std::vector<std::string> images, profiles;
  CLI::App *imagesCommand = app.add_subcommand("images");
  CLI::App *bootCommand = app.add_subcommand("boot");
  CLI::App *costCommand = app.add_subcommand("boot-cost");
  for (CLI::App *command : {imagesCommand, bootCommand, costCommand}) command->set_help_flag();
  imagesCommand->add_option("IMAGE", images);
  costCommand->add_option("PROFILES", profiles);
  if (std::string why = tools::ParseCommandLine(app, {argv + 1, argv + argc}); !why.empty()) {
    return Refuse(why);
  }
  if (help->count() > 0) return Report(kUsage, tools::kExitDone);
  if (bootCommand->parsed()) return budgets::PlayBoot();
  if (imagesCommand->parsed() && !images.empty()) {
    std::vector<budgets::ImageFile> files;
    for (const std::string &path : images) {
      files.push_back({path, {}});
      if (std::string why = tools::ReadInputFile(path, tools::kMaxImageSize, files.back().bytes);
          !why.empty()) {
        return Refuse(tools::Printable(path, 200) + ": " + why);
      }
    }
    // An image the reader refuses is bad input: its line names the file and the rule, and no
    // report goes out without it.
    std::ostringstream out, refusals;
    if (!budgets::ReportImages(files, out, refusals)) {
      std::fputs(refusals.str().c_str(), stderr);
      return tools::kExitRefused;
    }
    return Report(out.str(), tools::kExitDone);
  }
  if (costCommand->parsed() && !profiles.empty() && profiles.size() % 2 == 0) {
    std::ostringstream out;
    if (!budgets::ReportBootCost(profiles, out)) return tools::kExitRefused;
    return Report(out.str(), tools::kExitDone);
  }
  return Refuse("give images IMAGE..., boot, or boot-cost NAME PROFILE... (see --help)");
}
