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

  emu::BoardDescription read;
  read.variables.clear();
  std::string error;
  ASSERT_TRUE(emu::ParseBoardText(emu::FormatBoardText(board), read, error)) << error;
  EXPECT_EQ(read.boardBytes, board.boardBytes);
  EXPECT_EQ(read.slots, board.slots);
  EXPECT_EQ(read.variables.at(0).data, board.variables.at(0).data);
  EXPECT_FALSE(read.dxeServicesPresent);
  ASSERT_EQ(read.faults.size(), 1u);
  EXPECT_EQ(read.faults[0].member, "BS.CreateEvent");
  EXPECT_EQ(read.faults[0].value, EFI_OUT_OF_RESOURCES);
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
  EXPECT_EQ(board.FindVariable(u"Setup", emu::kSetupVariableGuid), nullptr);
}

}  // namespace
