#include <gtest/gtest.h>

#include "Board.h"

namespace {

TEST(BoardFileTest, FormattedBoardReadsBackTheSame) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(77, 0x12);
  board.slots[165] = 0x31A000;
  board.SetSetupByte(331, 1);
  board.dxeServicesPresent = false;
  board.faults.push_back({"BS.CreateEvent", 2, EFI_OUT_OF_RESOURCES});
  board.faults.push_back({"BoardInfo.QueryBoardByte", emu::Fault::kEveryCall, 0xFF});

  emu::BoardDescription read;
  read.variables.clear();
  std::string error;
  ASSERT_TRUE(emu::ParseBoardText(emu::FormatBoardText(board), read, error)) << error;
  EXPECT_EQ(read.boardBytes, board.boardBytes);
  EXPECT_EQ(read.slots, board.slots);
  EXPECT_EQ(read.variables.at(0).data, board.variables.at(0).data);
  EXPECT_FALSE(read.dxeServicesPresent);
  ASSERT_EQ(read.faults.size(), 2u);
  EXPECT_EQ(read.faults[0].member, "BS.CreateEvent");
  EXPECT_EQ(read.faults[0].value, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(read.faults[1].occurrence, emu::Fault::kEveryCall);
  EXPECT_NE(emu::FormatBoardText(board).find("fault BoardInfo.QueryBoardByte * 0xFF\n"),
            std::string::npos);
}

// Board files take faults by the same rules as boardsim's --fault, and say which line broke
// them.
TEST(BoardFileTest, FaultLinesAreCheckedLikeTheOption) {
  struct Case {
    const char *text;
    const char *error;
  } cases[] = {
      {"fault BS.CreateEvent 2 EFI_OUT_OF_RESOURCES", ""},
      {"\nfault bs.createevent 2 0x8000000000000009", "line 2: fault bs.createevent"},
      {"fault bs.createevent 2 0x8000000000000009", "did you mean BS.CreateEvent?"},
      {"fault BS.Foo 1 1", "no platform member 'BS.Foo'"},
      {"fault BS.CreateEvent 0 EFI_DEVICE_ERROR", "write * to fail every call"},
      {"fault BS.CreateEvent 1 0", "is not an error"},
      {"fault BS.CreateEvent 1", "a fault line is: fault MEMBER OCCURRENCE VALUE"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    emu::BoardDescription board = emu::DefaultBoard();
    std::string error;
    EXPECT_EQ(emu::ParseBoardText(c.text, board, error), std::string(c.error).empty());
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

// A board file is outside input: a NUL never shortens a line, and a bad line comes back as
// one short, printable line, whatever it held.
TEST(BoardFileTest, NulBytesAndUnprintableLinesAreRefusedInOneShortLine) {
  struct Case {
    std::string text;
    const char *error;
  } cases[] = {
      {std::string("riser-type 6\0junk", 17), "line 1: holds a NUL byte: riser-type 6\\x00junk"},
      {"riser-type \x1B[31m6", "bad value for riser-type: riser-type \\x1B[31m6"},
      {"slot 170 " + std::string(1 << 20, '7'), "... (1048585 bytes)"},
      {std::string(1 << 20, '\xFF'), "unknown setting '\\xFF\\xFF"},
  };
  for (const Case &c : cases) {
    emu::BoardDescription board = emu::DefaultBoard();
    std::string error;
    EXPECT_FALSE(emu::ParseBoardText(c.text, board, error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_LT(error.size(), 200u);
    for (char ch : error) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << error;
    EXPECT_EQ(board.RiserType(), 5);
  }
}

TEST(BoardFileTest, BadLinesAreNamed) {
  struct Case {
    const char *text;
    const char *error;
  } cases[] = {
      {"riser-type 256", "line 1: bad value for riser-type"},
      {"# comment\nslot 170", "line 2: bad value for slot"},
      {"kvrn-config 0x", "bad value for kvrn-config"},
      {"setup-byte 10 -1", "bad value for setup-byte"},
      {"riser-type 010", ""},  // a leading zero is decimal, not octal
      {"frobnicate 1", "line 1: unknown setting 'frobnicate'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    emu::BoardDescription board = emu::DefaultBoard();
    std::string error;
    bool ok = emu::ParseBoardText(c.text, board, error);
    EXPECT_EQ(ok, std::string(c.error).empty());
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    if (ok) EXPECT_EQ(board.RiserType(), 10);
  }
}

TEST(BoardFileTest, FreeingASlotAndDroppingTheSetupVariable) {
  emu::BoardDescription board = emu::DefaultBoard();
  std::string error;
  ASSERT_TRUE(emu::ParseBoardText("slot 170 0\nsetup-size absent\n", board, error));
  EXPECT_EQ(board.slots.count(170), 0u);
  EXPECT_EQ(board.FindVariable(u"Setup", gSetupVariableGuid), nullptr);
}

}  // namespace

namespace {

TEST(BoardFileTest, SmbiosTableReadsBackTheSame) {
  emu::BoardDescription board = emu::DefaultBoard();
  std::string error;
  // Blanks and a '#' inside the quotes belong to the designation; a slot line with a handle
  // already in the table replaces that structure.
  ASSERT_TRUE(emu::ParseBoardText(
      "smbios-edit-protocol absent\n"
      "smbios-slot 0x30 \"Riser  X8 #2\" 0xB6 0x0B 0x02 0x04 0x0C 0x04 0x01 0x44 0xC0 0x08 # "
      "spare\n"
      "smbios-slot 0x0005 \"KVRN: CPU2 PCIE 3.0\" 0xB6 0x0A 4 4 0x0B01 4 1 0x22 0xB0 0\n"
      "smbios-structure 0A064000 1234 6F6E6500 00\n",
      board, error))
      << error;
  EXPECT_FALSE(board.smbiosEditProtocol);
  const emu::SmbiosStructure *slot = board.smbios.Find(0x30);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->String(1), "Riser  X8 #2");
  EXPECT_EQ(slot->Word(9), 0x0C);
  EXPECT_EQ(slot->Byte(0x10), 0x08);
  EXPECT_EQ(board.smbios.Find(0x0005)->Byte(6), 0x0A);
  EXPECT_EQ(board.smbios.OfType(9).size(), 5u);
  EXPECT_EQ(board.smbios.Find(0x40)->Strings(), std::vector<std::string>{"one"});

  // Read alone, and on top of the default board as boardsim reads a board file.
  for (emu::BoardDescription read : {emu::BoardDescription{}, emu::DefaultBoard()}) {
    ASSERT_TRUE(emu::ParseBoardText(emu::FormatBoardText(board), read, error)) << error;
    EXPECT_EQ(read.smbios, board.smbios);
    EXPECT_FALSE(read.smbiosEditProtocol);
  }
}

TEST(BoardFileTest, BadSmbiosLinesAreNamed) {
  for (const char *text : {
           "smbios-slot 0x30 \"open 0xB6 0x0B 2 4 0x0C 4 1 0x44 0xC0 0",
           "smbios-slot 0x30 \"short\" 0xB6 0x0B 2 4 0x0C 4 1 0x44 0xC0",
           "smbios-slot 0xFF00 \"reserved\" 0xB6 0x0B 2 4 0x0C 4 1 0x44 0xC0 0",
           "smbios-slot 0x30 \"wide\" 0x1B6 0x0B 2 4 0x0C 4 1 0x44 0xC0 0",
           "smbios-structure 0A064000123",         // odd digit count
           "smbios-structure 0A06400012346F6E65",  // no closing NUL
           "smbios-structure 0A0640001234000000",  // more than one structure
           "smbios-structure 7F0440000000",        // the end-of-table structure
           "smbios-structure 0A0640001234ZZ0000",
           "smbios-table half",
       }) {
    SCOPED_TRACE(text);
    emu::BoardDescription board = emu::DefaultBoard();
    std::string error;
    EXPECT_FALSE(emu::ParseBoardText(text, board, error));
    EXPECT_EQ(error.rfind("line 1: ", 0), 0u) << error;
    EXPECT_EQ(board.smbios, emu::DefaultSmbiosTable());
  }
}

}  // namespace

// A board file read over the default board gives back the board it was written from: slots the
// board does not take and Setup bytes it leaves zero must not come back from the defaults.
TEST(BoardFileTest, AWrittenBoardReadsBackOverTheDefaultBoard) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.slots = {{172, 0x22B000}};
  board.FindVariable(u"Setup", gSetupVariableGuid)->data.assign(400, 0);
  board.SetSetupByte(288, 1);
  emu::BoardDescription read = emu::DefaultBoard();
  std::string error;
  ASSERT_TRUE(emu::ParseBoardText(emu::FormatBoardText(board), read, error)) << error;
  EXPECT_EQ(read.slots, board.slots);
  EXPECT_EQ(read.FindVariable(u"Setup", gSetupVariableGuid)->data,
            board.FindVariable(u"Setup", gSetupVariableGuid)->data);
  EXPECT_EQ(emu::FormatBoardText(read), emu::FormatBoardText(board));
}
