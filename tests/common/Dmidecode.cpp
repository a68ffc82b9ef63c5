#include "Dmidecode.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "Tests.h"

namespace test {

std::string FindDmidecode() {
  std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
  std::istringstream list(dirs);
  for (std::string dir; std::getline(list, dir, ':');) {
    std::string path = dir + "/dmidecode";
    if (!dir.empty() && access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

std::string RunCommand(const std::string &command, int &status) {
  CommandRun run = Run(command);
  status = run.status;
  return run.out;
}

std::string Block::Field(const std::string &name) const {
  for (const std::string &line : lines) {
    if (line.rfind("\t" + name + ": ", 0) == 0) return line.substr(name.size() + 3);
  }
  return "";
}

Bytes Block::Raw() const {
  static const std::regex kHexLine("\t\t([0-9A-F]{2} )*[0-9A-F]{2}");
  Bytes bytes;
  bool strings = false;
  for (const std::string &line : lines) {
    if (line == "\tStrings:") strings = true;
    if (!std::regex_match(line, kHexLine)) continue;
    std::istringstream hex(line);
    for (unsigned value; hex >> std::hex >> value;) bytes.push_back(static_cast<uint8_t>(value));
  }
  if (!strings) bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

uint16_t Block::SlotId() const {
  Bytes raw = Raw();
  return raw.size() > 10 ? static_cast<uint16_t>(raw[9] | raw[10] << 8) : 0;
}

std::vector<Block> Blocks(const std::string &output) {
  static const std::regex kHeader("Handle 0x([0-9A-F]{4}), DMI type ([0-9]+), [0-9]+ bytes");
  std::vector<Block> blocks;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, kHeader)) {
      blocks.push_back(
          Block{static_cast<uint16_t>(std::stoul(match[1], nullptr, 16)), std::stoi(match[2]), {}});
    } else if (!blocks.empty() && !line.empty()) {
      blocks.back().lines.push_back(line);
    }
  }
  return blocks;
}

std::vector<Block> OfType(const std::vector<Block> &blocks, int type) {
  std::vector<Block> out;
  for (const Block &block : blocks) {
    if (block.type == type) out.push_back(block);
  }
  return out;
}

}  // namespace test
