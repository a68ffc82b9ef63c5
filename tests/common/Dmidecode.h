// Debian's dmidecode as the tests use it: found at run time, run on a dump, its output split
// into one block per structure.
#ifndef TESTS_COMMON_DMIDECODE_H_
#define TESTS_COMMON_DMIDECODE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace test {

using Bytes = std::vector<uint8_t>;

// dmidecode in PATH, /usr/sbin, /sbin or /usr/local/sbin; "" when there is none.
std::string FindDmidecode();
// Runs a shell command; its output, stdout and stderr together.
std::string RunCommand(const std::string &command, int &status);

// One structure as dmidecode prints it: "Handle 0x0005, DMI type 9, 17 bytes" and its lines.
struct Block {
  uint16_t handle = 0;
  int type = -1;
  std::vector<std::string> lines;

  std::string Field(const std::string &name) const;
  // With -u: the formatted area, then the string set as dmidecode shows it in hexadecimal,
  // closed by the final NUL, which is the structure's bytes.
  Bytes Raw() const;
  uint16_t SlotId() const;
};

std::vector<Block> Blocks(const std::string &output);
std::vector<Block> OfType(const std::vector<Block> &blocks, int type);

}  // namespace test

#endif  // TESTS_COMMON_DMIDECODE_H_
