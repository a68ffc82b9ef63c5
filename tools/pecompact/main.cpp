// pecompact IMAGE: compacts the headers of a PE32+ image in place (see PeCompact.h).
// pecompact --strip-debug LINKED IMAGE: writes IMAGE, the image LINKED (linked with DWARF) ships
// as: without its debug information, headers compacted; LINKED stays as it is, its symbol file.
// Each says how large the result is.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "CommandLine.h"
#include "ExitStatus.h"
#include "InputFile.h"
#include "Interruption.h"
#include "OutputFile.h"
#include "PeCompact.h"

namespace {

constexpr char kUsage[] =
    "usage: pecompact IMAGE\n"
    "       pecompact --strip-debug LINKED IMAGE\n"
    "\n"
    "pecompact IMAGE compacts the headers of a PE32+ image in place: no DOS program, ten data\n"
    "directories; every RVA stays. With --strip-debug it writes IMAGE (-: standard output),\n"
    "the image LINKED (linked with DWARF) ships as: its debug sections, COFF symbol table and\n"
    "CodeView entry taken out, then its headers compacted; LINKED stays as it is, the image's\n"
    "symbol file, and may not be IMAGE. An image is a regular file of at most 16 MiB. IMAGE is\n"
    "written under a temporary name and renamed.\n"
    "\n"
    "Exit status: 0 when written, 2 for a bad argument, an image it cannot read or compact, or\n"
    "an output it cannot write, 128 + the signal when interrupted.\n";

int Refuse(const std::string &line) {
  std::fprintf(stderr, "pecompact: %s\n", line.c_str());
  return tools::kExitRefused;
}

}  // namespace

int main(int argc, char **argv) {
  tools::HandleInterruptions("pecompact");
  CLI::App app;
  app.set_help_flag();
  CLI::Option *help = tools::AddFlag(app, "--help,-h");
  CLI::Option *strip = tools::AddFlag(app, "--strip-debug");
  std::vector<std::string> files;
  app.add_option("files", files);
  if (std::string why = tools::ParseCommandLine(app, {argv + 1, argv + argc}); !why.empty()) {
    return Refuse(why);
  }
  if (help->count() > 0) {
    std::fputs(kUsage, stdout);
    if (std::string why = tools::FinishStandardOutput(); !why.empty()) return Refuse(why);
    return tools::kExitDone;
  }
  const bool stripping = strip->count() > 0;
  if (files.size() != (stripping ? 2u : 1u)) {
    return Refuse(stripping ? "--strip-debug takes LINKED and IMAGE (see --help)"
                            : "give one IMAGE, or --strip-debug LINKED IMAGE (see --help)");
  }
  const std::string from = files.front(), to = files.back();
  if (tools::IsStandardOutput(from)) {
    return Refuse(stripping ? "LINKED is a file; '-' names standard output, only for IMAGE"
                            : "IMAGE is compacted in place; '-' names standard output");
  }
  if (stripping) {
    if (std::string clash = tools::CheckOutputs({{"IMAGE", to}}, {{"LINKED", from}});
        !clash.empty()) {
      return Refuse(clash);
    }
  }
  std::vector<uint8_t> image;
  if (std::string why = tools::ReadInputFile(from, tools::kMaxImageSize, image,
                                             [](uint64_t size) {
                                               return "has " + std::to_string(size) +
                                                      " bytes; an image has at most 16 MiB";
                                             });
      !why.empty()) {
    return Refuse(tools::Printable(from, 200) + ": " + why);
  }
  const size_t before = image.size();
  std::string why;
  if (!(stripping ? pe::StripDebugInformation(image, why) : pe::CompactHeaders(image, why))) {
    return Refuse(tools::Printable(from, 200) + ": " + why);
  }
  if (std::string problem = tools::WriteOutputFile(
          to, std::string_view(reinterpret_cast<const char *>(image.data()), image.size()));
      !problem.empty()) {
    return Refuse(tools::IsStandardOutput(to)
                      ? problem
                      : "cannot write " + tools::Printable(to, 200) + ": " + problem);
  }
  // The size line goes where the image does not.
  std::fprintf(tools::IsStandardOutput(to) ? stderr : stdout, "pecompact: %s: %zu -> %zu bytes\n",
               tools::IsStandardOutput(to) ? "standard output" : to.c_str(), before, image.size());
  if (std::string problem = tools::FinishStandardOutput(); !problem.empty()) return Refuse(problem);
  return tools::kExitDone;
}
