// The one way our tools write what they make. Every write is checked, standard output's too. A
// file is written under a temporary name beside it and renamed over it once every byte is on
// disk, so a failure (a full disk, a signal) never leaves a cut file that looks finished. "-"
// is standard output. Outputs that name the same file as each other or as an input are refused
// before any work.
#ifndef TOOLS_COMMON_OUTPUT_FILE_H_
#define TOOLS_COMMON_OUTPUT_FILE_H_

#include <string>
#include <string_view>
#include <vector>

namespace tools {

inline bool IsStandardOutput(const std::string &path) { return path == "-"; }

// Writes `bytes` whole to `path`. "" when written; otherwise the reason in a few words,
// without the path. A device or pipe that exists (/dev/null) is written in place, a link is
// followed to the file it names, a folder is refused.
std::string WriteOutputFile(const std::string &path, std::string_view bytes);

// Flushes standard output. "" when everything written to it arrived; otherwise why not.
std::string FinishStandardOutput();

// A path a tool reads or writes, with the option (or argument) that named it.
struct NamedPath {
  std::string option;  // "--json", "IMAGE"
  std::string path;
};

// Refuses, in one line, an output that names the same file as another output (or goes to
// standard output with it) or as an input, or that could not be written where it is named (a
// folder there, no folder to hold it); "" when each output is a file of its own.
std::string CheckOutputs(const std::vector<NamedPath> &outputs,
                         const std::vector<NamedPath> &inputs);

// Where temporary folders go: $TMPDIR, or /tmp.
std::string TemporaryFolderBase();

// Whether two paths name one file: the same inode when both exist, else the same place once
// links and relative parts are resolved.
bool SameFile(const std::string &a, const std::string &b);

}  // namespace tools

#endif  // TOOLS_COMMON_OUTPUT_FILE_H_
