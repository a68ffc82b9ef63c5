// EDK II's own tools as the `edk2` tests use them: the BaseTools scripts/edk2-tools.sh built from
// Debian's edk2 source, EDK II's Python tools from the same tree, and Debian's UEFIExtract.
// A test that needs them fails with one line on what is missing; it never skips.
#ifndef TESTS_EDK2_EDK2_TOOLS_H_
#define TESTS_EDK2_EDK2_TOOLS_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FirmwareBoot.h"
#include "Tests.h"

namespace edk2 {

using Bytes = std::vector<uint8_t>;

struct Tools {
  std::string tree;     // the unpacked edk2 source: BaseTools, MdePkg, ...
  std::string version;  // Debian's version of it
  std::string missing;  // empty when every tool is there; else one line on what is not
};

// The tools in a cache folder laid out as scripts/edk2-tools.sh leaves it.
Tools FindTools(const std::string &cache);
// The tools the set-up built for this checkout.
const Tools &Installed();

// Runs a command with the C tools, EDK II's wrappers and its Python package in reach.
test::CommandRun RunTool(const std::string &command);

using test::TempFolder;

Bytes ReadFile(const std::string &path);
// "" when the two are the same bytes; else where they first differ.
std::string Difference(const Bytes &first, const Bytes &second);
bool WriteFile(const std::string &path, const Bytes &bytes);
std::string Firmware(const std::string &name);  // a file of the built package
using test::Quote;

// The shipped drivers and the file GUID each one's INF names, as EDK II's build reads it.
struct Driver {
  std::string name;
  std::string fileGuid;  // "7C4B2E91-3A5D-4F08-B6E2-1D9A0C53F7A4"
};
std::vector<Driver> ShippedDrivers();

// Fixture of every test that uses the tools: fails it at once, with the reason, without them.
class Edk2Test : public testing::Test {
 protected:
  void SetUp() override;
  const Tools &tools() const { return Installed(); }
  std::string Bin(const std::string &tool) const;
};

// The report of a boot in OVMF with what only the platform decides taken out (SMBIOS handles,
// the emulator's own ledger), so it can be set beside the emulator's.
std::string Comparable(const emu::BootResult &result);
// Boots the default board in OVMF as `request` says and expects both drivers to start and to do
// what the emulator does on the board the firmware made.
fw::FirmwareBoot ExpectBootLikeEmulator(fw::RunRequest request);

}  // namespace edk2

#endif  // TESTS_EDK2_EDK2_TOOLS_H_
