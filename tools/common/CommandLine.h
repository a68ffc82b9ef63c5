// Every tool's command line, read with CLI11 and held to the same rules: an option that takes a
// value never takes the next option as it (`--json --trace` is refused, naming --json), a flag
// takes no value, an option meant once is refused twice, an unknown option is named with the
// nearest known one. Each refusal is one line; the tool prints it and exits kExitRefused.
#ifndef TOOLS_COMMON_COMMAND_LINE_H_
#define TOOLS_COMMON_COMMAND_LINE_H_

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace tools {

// An option taking one value, at most once (its value in `value`, or option->results()).
CLI::Option *AddValue(CLI::App &app, const std::string &name, std::string &value);
CLI::Option *AddValue(CLI::App &app, const std::string &name);
// An option taking one value, any number of times; its values in order are option->results().
CLI::Option *AddValues(CLI::App &app, const std::string &name);
// A flag; --help and -h are the tools' own (CLI11's help is turned off), so that a refusal
// elsewhere on the line comes first.
CLI::Option *AddFlag(CLI::App &app, const std::string &name);

// Parses `args` (without the program name) into `app`. Empty when the line is good; otherwise
// one printable line naming the word at fault.
std::string ParseCommandLine(CLI::App &app, const std::vector<std::string> &args);

// A piece of outside text fit for a one-line message: bytes that are not printable ASCII as
// \xNN, anything past `most` characters cut, saying how long it was.
std::string Printable(const std::string &text, size_t most = 80);

}  // namespace tools

#endif  // TOOLS_COMMON_COMMAND_LINE_H_
