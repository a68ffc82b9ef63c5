// Our FFS files and protocol layouts against EDK II's: GenSec and GenFfs build each file from
// the package's own parts, and MdePkg's headers say what the board information GUID names.
#include <regex>

#include "BoardInfoProtocol.h"
#include "Edk2Tools.h"

namespace edk2 {
namespace {

class Edk2FfsTest : public Edk2Test {};

// What an EDK II build makes of a driver's .efi, .depex and name: each section by GenSec, the
// file by GenFfs with a file checksum, the sections in our order.
TEST_F(Edk2FfsTest, GenFfsBuildsOurFilesByteForByte) {
  TempFolder dir;
  for (const Driver &driver : ShippedDrivers()) {
    SCOPED_TRACE(driver.name);
    ASSERT_EQ(driver.fileGuid.size(), 36u) << "no FILE_GUID in " << driver.name << ".inf";
    const std::string base = dir / driver.name;
    for (const std::string &command :
         {Bin("GenSec") + " -s EFI_SECTION_PE32 -o " + Quote(base + ".pe32") + " " +
              Quote(Firmware(driver.name + ".efi")),
          Bin("GenSec") + " -s EFI_SECTION_DXE_DEPEX -o " + Quote(base + ".dxe") + " " +
              Quote(Firmware(driver.name + ".depex")),
          Bin("GenSec") + " -s EFI_SECTION_USER_INTERFACE -n " + driver.name + " -o " +
              Quote(base + ".ui"),
          Bin("GenFfs") + " -t EFI_FV_FILETYPE_DRIVER -g " + driver.fileGuid + " -s -i " +
              Quote(base + ".pe32") + " -i " + Quote(base + ".dxe") + " -i " + Quote(base + ".ui") +
              " -o " + Quote(base + ".ffs")}) {
      test::CommandRun run = test::Run(command);
      ASSERT_EQ(run.status, 0) << command << "\n" << run.out;
    }
    Bytes ours = ReadFile(Firmware(driver.name + ".ffs"));
    ASSERT_FALSE(ours.empty());
    EXPECT_EQ(Difference(ReadFile(base + ".ffs"), ours), "");
  }
}

// The board information protocol is EDK II's PCD protocol: the same GUID, and the members the
// drivers call sit where Pcd.h puts Get8, Get32, Get64 and Set32.
TEST_F(Edk2FfsTest, BoardInformationProtocolIsThePcdProtocol) {
  Bytes header = ReadFile(tools().tree + "/MdePkg/Include/Protocol/Pcd.h");
  const std::string text(header.begin(), header.end());

  std::smatch define;
  ASSERT_TRUE(std::regex_search(text, define,
                                std::regex("#define PCD_PROTOCOL_GUID[^{]*(\\{[^}]*\\{[^}]*\\})")));
  std::vector<uint32_t> fields;
  const std::string guid = define[1].str();
  const std::regex number("0x([0-9A-Fa-f]+)");
  for (auto it = std::sregex_iterator(guid.begin(), guid.end(), number);
       it != std::sregex_iterator(); ++it) {
    fields.push_back(static_cast<uint32_t>(std::stoul((*it)[1].str(), nullptr, 16)));
  }
  // {11B34006-D85B-4D0A-A290-D5A571310EF7}, written out, and the drivers' own constant.
  const std::vector<uint32_t> kBoardInfo = {0x11B34006, 0xD85B, 0x4D0A, 0xA2, 0x90, 0xD5,
                                            0xA5,       0x71,   0x31,   0x0E, 0xF7};
  EXPECT_EQ(fields, kBoardInfo) << define[0];
  const EFI_GUID &ours = gBoardInfoProtocolGuid;
  std::vector<uint32_t> own = {ours.Data1, ours.Data2, ours.Data3};
  for (uint8_t byte : ours.Data4) own.push_back(byte);
  EXPECT_EQ(own, kBoardInfo);

  // PCD_PROTOCOL: one pointer per member, in the order the structure lists them.
  std::smatch body;
  ASSERT_TRUE(
      std::regex_search(text, body, std::regex("typedef struct \\{([^}]*)\\} PCD_PROTOCOL;")));
  std::vector<std::string> members;
  const std::string list = body[1].str();
  const std::regex member("PCD_PROTOCOL_\\w+\\s+(\\w+)\\s*;");
  for (auto it = std::sregex_iterator(list.begin(), list.end(), member);
       it != std::sregex_iterator(); ++it) {
    members.push_back((*it)[1].str());
  }
  auto offsetOf = [&members](const std::string &name) {
    for (size_t i = 0; i < members.size(); ++i) {
      if (members[i] == name) return 8 * i;
    }
    return size_t{0};
  };
  EXPECT_EQ(offsetOf("Get8"), 0x08u);
  EXPECT_EQ(offsetOf("Get32"), 0x18u);
  EXPECT_EQ(offsetOf("Get64"), 0x20u);
  EXPECT_EQ(offsetOf("Set32"), 0x88u);
  EXPECT_EQ(offsetof(BOARD_INFO_PROTOCOL, QueryBoardByte), offsetOf("Get8"));
  EXPECT_EQ(offsetof(BOARD_INFO_PROTOCOL, GetSlotLocation), offsetOf("Get32"));
  EXPECT_EQ(offsetof(BOARD_INFO_PROTOCOL, InitNotify), offsetOf("Get64"));
  EXPECT_EQ(offsetof(BOARD_INFO_PROTOCOL, SetSlotLocation), offsetOf("Set32"));
}

}  // namespace
}  // namespace edk2
