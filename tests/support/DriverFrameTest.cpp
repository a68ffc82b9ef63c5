// The runtime frame against an emulated platform: tables, scratch pool, HOB walk and the lazily
// found board information protocol.
#include <gtest/gtest.h>

#include <cstring>

#include "DriverFrame.h"
#include "Tests.h"

namespace {

constexpr EFI_GUID kWantedGuid = {
    0x353BB17B, 0x74AC, 0x4895, {0xB4, 0x61, 0x2C, 0x8C, 0x97, 0x68, 0x30, 0xE6}};
constexpr EFI_GUID kOtherGuid = {
    0x353BB17B, 0x74AC, 0x4895, {0xB4, 0x61, 0x2C, 0x8C, 0x97, 0x68, 0x30, 0xE7}};

// The frame's globals belong to an image; linked into the test they outlive each platform.
class DriverFrameTest : public testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override {
    if (platform_ != nullptr) ReleaseScratchPool();
    platform_.reset();
    Reset();
  }
  static void Reset() {
    gST = nullptr;
    gBS = nullptr;
    gRT = nullptr;
    gScratchPool = nullptr;
    gScratchPoolSize = 0;
    gDxeServices = nullptr;
    gHobList = nullptr;
    gRegisterAccess = nullptr;
    gBoardInfo = nullptr;
  }
  emu::Platform &Start(emu::BoardDescription board = emu::DefaultBoard()) {
    platform_.reset();
    platform_ = std::make_unique<emu::Platform>(std::move(board));
    return *platform_;
  }
  std::unique_ptr<emu::Platform> platform_;
};

// Raw HOB bytes: a header with the given type and length, then `body`.
void AddHob(std::vector<uint8_t> &list, uint16_t type, uint16_t length,
            std::vector<uint8_t> body = {}) {
  EFI_HOB_GENERIC_HEADER header{type, length, 0};
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&header);
  list.insert(list.end(), bytes, bytes + sizeof(header));
  body.resize(length > 8 ? length - 8 : 0, 0);
  list.insert(list.end(), body.begin(), body.end());
}

std::vector<uint8_t> GuidBody(const EFI_GUID &guid, size_t dataSize) {
  std::vector<uint8_t> body(sizeof(EFI_GUID) + dataSize, 0x5A);
  std::memcpy(body.data(), &guid, sizeof(guid));
  return body;
}

TEST_F(DriverFrameTest, RecordsTablesAndAllocatesTheScratchPool) {
  emu::Platform &p = Start();
  ASSERT_EQ(InitializeDriverFrame(nullptr, p.SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(gST, p.SystemTable());
  EXPECT_EQ(gBS, p.SystemTable()->BootServices);
  EXPECT_EQ(gRT, p.SystemTable()->RuntimeServices);
  ASSERT_NE(gScratchPool, nullptr);
  EXPECT_EQ(gScratchPoolSize, 8192u);
  EXPECT_EQ(test::ArgsOf(p.Calls(), "BS.AllocatePool"),
            (std::vector<std::vector<uint64_t>>{{EfiBootServicesData, 8192}}));
  EXPECT_NE(gDxeServices, nullptr);
  EXPECT_NE(gHobList, nullptr);
  EXPECT_EQ(test::FirstArgsOf(p.Calls(), "BoardInfo.InitNotify"), std::vector<uint64_t>{22});
}

TEST_F(DriverFrameTest, SecondStartKeepsTheExistingPool) {
  emu::Platform &p = Start();
  InitializeDriverFrame(nullptr, p.SystemTable());
  VOID *pool = gScratchPool;
  InitializeDriverFrame(nullptr, p.SystemTable());
  EXPECT_EQ(gScratchPool, pool);
  EXPECT_EQ(test::CountOf(p.Calls(), "BS.AllocatePool"), 1u);
}

TEST_F(DriverFrameTest, FailedPoolAllocationLeavesNoPoolAndStartGoesOn) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults.push_back({"BS.AllocatePool", 1, EFI_OUT_OF_RESOURCES});
  emu::Platform &p = Start(board);
  InitializeDriverFrame(nullptr, p.SystemTable());
  EXPECT_EQ(gScratchPool, nullptr);
  EXPECT_EQ(test::CountOf(p.Calls(), "BoardInfo.InitNotify"), 1u);
  EXPECT_NE(gHobList, nullptr);
  ReleaseScratchPool();  // nothing to free
  EXPECT_EQ(test::CountOf(p.Calls(), "BS.FreePool"), 0u);
}

TEST_F(DriverFrameTest, MissingTablesLeaveNullPointersAndStartGoesOn) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.dxeServicesPresent = false;
  board.hobListPresent = false;
  emu::Platform &p = Start(board);
  InitializeDriverFrame(nullptr, p.SystemTable());
  EXPECT_EQ(gDxeServices, nullptr);
  EXPECT_EQ(gHobList, nullptr);
  EXPECT_EQ(FindGuidHob(&kWantedGuid), nullptr);
  EXPECT_EQ(test::CountOf(p.Calls(), "BoardInfo.InitNotify"), 1u);
}

TEST_F(DriverFrameTest, EmptyConfigurationTableIsNotFound) {
  emu::Platform &p = Start();
  p.SystemTable()->NumberOfTableEntries = 0;
  InitializeDriverFrame(nullptr, p.SystemTable());
  VOID *table = &table;
  EXPECT_EQ(FindConfigurationTable(&gEfiDxeServicesTableGuid, &table), EFI_NOT_FOUND);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(gDxeServices, nullptr);
}

TEST_F(DriverFrameTest, BoardInfoProtocolIsLookedUpUntilFoundThenCached) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.boardInfoProtocol = false;
  emu::Platform &p = Start(board);
  gBS = p.BootServices();
  EXPECT_EQ(GetBoardInfoProtocol(), nullptr);
  EXPECT_EQ(GetBoardInfoProtocol(), nullptr);
  EXPECT_EQ(test::CountOf(p.Calls(), "BS.LocateProtocol"), 2u);

  p.InstallBoardInfoProtocol();
  BOARD_INFO_PROTOCOL *found = GetBoardInfoProtocol();
  EXPECT_EQ(found, p.FindProtocol(gBoardInfoProtocolGuid));
  EXPECT_EQ(GetBoardInfoProtocol(), found);
  EXPECT_EQ(test::CountOf(p.Calls(), "BS.LocateProtocol"), 3u);
}

// ---- HOB walk ----

class HobWalkTest : public DriverFrameTest {
 protected:
  // Boots the frame on exactly these HOB bytes (followed by nothing else), with the PHIT HOB
  // that opens them naming the end HOB at `endHob` (by default the last 8 bytes) where the
  // platform put the list.
  VOID *Walk(const std::vector<uint8_t> &list, size_t endHob = SIZE_MAX) {
    emu::BoardDescription board = emu::DefaultBoard();
    board.rawHobList = list;
    emu::Platform &p = Start(board);
    InitializeDriverFrame(nullptr, p.SystemTable());
    hobs_ = static_cast<uint8_t *>(gHobList);
    emu::SetEndOfHobList(hobs_, endHob != SIZE_MAX ? endHob : list.size() - 8);
    return FindGuidHob(&kWantedGuid);
  }
  // The same walk over a list that opens with no PHIT HOB, kept in the test's own buffer.
  VOID *WalkWithoutPhit(std::vector<uint8_t> &list) {
    emu::Platform &p = Start();
    InitializeDriverFrame(nullptr, p.SystemTable());
    gHobList = list.data();
    return FindGuidHob(&kWantedGuid);
  }
  uint8_t *hobs_ = nullptr;
};

TEST_F(HobWalkTest, FindsTheNamedGuidHobPastOthers) {
  std::vector<uint8_t> list;
  AddHob(list, EFI_HOB_TYPE_HANDOFF, 56);
  AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 32, GuidBody(kOtherGuid, 8));
  AddHob(list, EFI_HOB_TYPE_MEMORY_ALLOCATION, 48);
  AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 40, GuidBody(kWantedGuid, 16));
  AddHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  VOID *hob = Walk(list);
  ASSERT_NE(hob, nullptr);
  EXPECT_EQ(static_cast<uint8_t *>(hob) - hobs_, 56 + 32 + 48);
  EXPECT_EQ(GuidHobDataSize(hob), 16u);
}

TEST_F(HobWalkTest, NoMatchEndsAtTheTerminator) {
  std::vector<uint8_t> list;
  AddHob(list, EFI_HOB_TYPE_HANDOFF, 56);
  AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 32, GuidBody(kOtherGuid, 8));
  AddHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  const size_t endHob = list.size() - 8;
  // Bytes after the terminator that would match must never be reached.
  AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 32, GuidBody(kWantedGuid, 8));
  EXPECT_EQ(Walk(list, endHob), nullptr);
}

TEST_F(HobWalkTest, OnlyGuidExtensionHobsMatch) {
  std::vector<uint8_t> list;
  AddHob(list, EFI_HOB_TYPE_HANDOFF, 56);
  AddHob(list, EFI_HOB_TYPE_MEMORY_ALLOCATION, 48, GuidBody(kWantedGuid, 24));
  AddHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  EXPECT_EQ(Walk(list), nullptr);
}

TEST_F(HobWalkTest, GuidHobTooShortForItsNameNeverMatches) {
  std::vector<uint8_t> list;
  AddHob(list, EFI_HOB_TYPE_HANDOFF, 56);
  AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 16, GuidBody(kWantedGuid, 0));
  AddHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  EXPECT_EQ(Walk(list), nullptr);
}

TEST_F(HobWalkTest, DamagedLengthsEndTheWalkInsteadOfLooping) {
  for (uint16_t length : {0, 4, 12, 30}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> list;
    AddHob(list, EFI_HOB_TYPE_HANDOFF, 56);
    AddHob(list, EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, 48);
    std::vector<uint8_t> damaged;
    AddHob(damaged, EFI_HOB_TYPE_MEMORY_ALLOCATION, 48);
    reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(damaged.data())->HobLength = length;
    list.insert(list.end(), damaged.begin(), damaged.end());
    AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 32, GuidBody(kWantedGuid, 8));
    AddHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
    EXPECT_EQ(Walk(list), nullptr);
    TearDown();
  }
}

// Found by fuzzing: a length that steps over the end HOB took the walk past the list, and a
// named HOB reaching past it was handed to the stack-bus lookup, which read its table there.
TEST_F(HobWalkTest, NoHobReachesPastTheEndHobThePhitNames) {
  std::vector<uint8_t> over;
  AddHob(over, EFI_HOB_TYPE_HANDOFF, 56);
  AddHob(over, EFI_HOB_TYPE_MEMORY_ALLOCATION, 48 + 8);  // covers the end HOB
  const size_t endHob = over.size() - 8;
  over.resize(endHob);
  AddHob(over, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  AddHob(over, EFI_HOB_TYPE_GUID_EXTENSION, 32, GuidBody(kWantedGuid, 8));
  EXPECT_EQ(Walk(over, endHob), nullptr);
  TearDown();

  std::vector<uint8_t> past;
  AddHob(past, EFI_HOB_TYPE_HANDOFF, 56);
  AddHob(past, EFI_HOB_TYPE_GUID_EXTENSION, 40, GuidBody(kWantedGuid, 16));
  AddHob(past, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(past.data() + 56)->HobLength = 0x5098;
  EXPECT_EQ(Walk(past), nullptr);
}

TEST_F(HobWalkTest, ListWithoutAnEndThePhitNamesHoldsNothing) {
  std::vector<uint8_t> list;
  AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 40, GuidBody(kWantedGuid, 16));
  AddHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  EXPECT_EQ(WalkWithoutPhit(list), nullptr);
  TearDown();

  // A PHIT HOB naming an end inside itself (here: none at all).
  std::vector<uint8_t> unnamed;
  AddHob(unnamed, EFI_HOB_TYPE_HANDOFF, 56);
  AddHob(unnamed, EFI_HOB_TYPE_GUID_EXTENSION, 40, GuidBody(kWantedGuid, 16));
  AddHob(unnamed, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  EXPECT_EQ(Walk(unnamed, 0), nullptr);
}

TEST_F(HobWalkTest, DefaultBoardHoldsAPlatformSizedList) {
  emu::BoardDescription board = emu::DefaultBoard();
  std::vector<uint8_t> list = emu::BuildHobList(board);
  size_t count = 0;
  for (size_t offset = 0;; ++count) {
    auto *header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(list.data() + offset);
    if (header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) break;
    ASSERT_EQ(header->HobLength % 8, 0);
    offset += header->HobLength;
  }
  EXPECT_GE(count, 200u);
}

}  // namespace
