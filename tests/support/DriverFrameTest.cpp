// The runtime frame against an emulated platform: tables, scratch pool, HOB walk and the lazily
// found board information protocol.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "DriverFrame.h"
#include "LinkedDriverFrame.h"
#include "MemRoutines.h"
#include "Tests.h"

namespace {

constexpr EFI_GUID kWantedGuid = {
    0x353BB17B, 0x74AC, 0x4895, {0xB4, 0x61, 0x2C, 0x8C, 0x97, 0x68, 0x30, 0xE6}};
constexpr EFI_GUID kOtherGuid = {
    0x353BB17B, 0x74AC, 0x4895, {0xB4, 0x61, 0x2C, 0x8C, 0x97, 0x68, 0x30, 0xE7}};

class DriverFrameTest : public testing::Test {
 protected:
  void SetUp() override { emu::ClearDriverFrame(); }
  void TearDown() override {
    if (platform_ != nullptr) ReleaseScratchPool();
    platform_.reset();
    emu::ClearDriverFrame();
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

// What the frame had in hand when each platform call of its start was made.
struct FrameStep {
  std::string call;
  bool pool, dxeServices, hobList, registerAccess;
  bool operator==(const FrameStep &) const = default;
};
std::vector<FrameStep> gFrameSteps;
EFI_ALLOCATE_POOL gPlatformAllocatePool;
EFI_LOCATE_PROTOCOL gPlatformLocateProtocol;

void NoteFrameStep(std::string call) {
  gFrameSteps.push_back({std::move(call), gScratchPool != nullptr, gDxeServices != nullptr,
                         gHobList != nullptr, gRegisterAccess != nullptr});
}
EFI_STATUS EFIAPI WatchedAllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  NoteFrameStep("AllocatePool");
  return gPlatformAllocatePool(type, size, buffer);
}
EFI_STATUS EFIAPI WatchedLocateProtocol(const EFI_GUID *guid, VOID *key, VOID **interface) {
  NoteFrameStep(GuidsMatch(guid, &gRegisterAccessProtocolGuid) ? "LocateProtocol(register access)"
                                                               : "LocateProtocol(board info)");
  return gPlatformLocateProtocol(guid, key, interface);
}
EFI_STATUS EFIAPI WatchedInitNotify(UINTN value) {
  NoteFrameStep("InitNotify(" + std::to_string(value) + ")");
  return EFI_SUCCESS;
}

// Pool, DXE services table, InitNotify(22), HOB list, register access lookup: the order the
// platform's board drivers all start in.
TEST_F(DriverFrameTest, StartTakesItsStepsInOrder) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.boardInfoProtocol = false;
  emu::Platform &p = Start(board);
  BOARD_INFO_PROTOCOL boardInfo{};
  boardInfo.InitNotify = WatchedInitNotify;
  p.InstallProtocol(gBoardInfoProtocolGuid, &boardInfo);
  gPlatformAllocatePool = std::exchange(p.BootServices()->AllocatePool, WatchedAllocatePool);
  gPlatformLocateProtocol = std::exchange(p.BootServices()->LocateProtocol, WatchedLocateProtocol);
  gFrameSteps.clear();

  InitializeDriverFrame(nullptr, p.SystemTable());
  EXPECT_EQ(gFrameSteps, (std::vector<FrameStep>{
                             {"AllocatePool", false, false, false, false},
                             {"LocateProtocol(board info)", true, true, false, false},
                             {"InitNotify(22)", true, true, false, false},
                             {"LocateProtocol(register access)", true, true, true, false},
                         }));
  p.BootServices()->AllocatePool = gPlatformAllocatePool;
  p.BootServices()->LocateProtocol = gPlatformLocateProtocol;
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

VOID EFIAPI IgnoreSignal(EFI_EVENT, VOID *) {}

// A failed start gives its pool back and returns its error, even when the pool cannot go;
// when an event could not be closed, the start is abandoned: success, and the pool is kept.
TEST_F(DriverFrameTest, AFailedStartEndsWithItsErrorUnlessAWithdrawalWasRefused) {
  emu::Platform &p = Start();
  InitializeDriverFrame(nullptr, p.SystemTable());
  EXPECT_EQ(EndFailedStart(EFI_DEVICE_ERROR), EFI_DEVICE_ERROR);
  EXPECT_EQ(gScratchPool, nullptr);
  EXPECT_FALSE(gStartAbandoned);

  emu::BoardDescription board = emu::DefaultBoard();
  board.faults.push_back({"BS.FreePool", 1, EFI_INVALID_PARAMETER});
  emu::Platform &refusing = Start(board);
  emu::ClearDriverFrame();
  InitializeDriverFrame(nullptr, refusing.SystemTable());
  VOID *pool = gScratchPool;
  EXPECT_EQ(EndFailedStart(EFI_DEVICE_ERROR), EFI_DEVICE_ERROR);
  EXPECT_FALSE(gStartAbandoned);
  EXPECT_EQ(gScratchPool, pool);      // still held, so still recorded
  EXPECT_TRUE(ReleaseScratchPool());  // the fault was on the first release only

  // An event the core will not close abandons the start before the pool is looked at.
  board.faults = {{"BS.CloseEvent", 1, EFI_INVALID_PARAMETER}};
  emu::Platform &closing = Start(board);
  emu::ClearDriverFrame();
  InitializeDriverFrame(nullptr, closing.SystemTable());
  EFI_EVENT event = nullptr;
  ASSERT_EQ(gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, IgnoreSignal, nullptr, &event),
            EFI_SUCCESS);
  WithdrawEvent(event);
  EXPECT_TRUE(gStartAbandoned);
  EXPECT_EQ(EndFailedStart(EFI_OUT_OF_RESOURCES), EFI_SUCCESS);
  EXPECT_NE(gScratchPool, nullptr);
  EXPECT_EQ(test::CountOf(closing.Calls(), "BS.FreePool"), 0u);
  WithdrawEvent(event);  // the second close goes through
  EXPECT_EQ(closing.LiveEvents(), 0u);
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
  // Boots the frame on exactly these HOB bytes (followed by nothing else).
  VOID *Walk(const std::vector<uint8_t> &list, const EFI_GUID &guid = kWantedGuid) {
    emu::BoardDescription board = emu::DefaultBoard();
    board.rawHobList = list;
    emu::Platform &p = Start(board);
    InitializeDriverFrame(nullptr, p.SystemTable());
    hobs_ = static_cast<uint8_t *>(gHobList);
    return FindGuidHob(&guid);
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
  // Bytes after the terminator that would match must never be reached.
  AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 32, GuidBody(kWantedGuid, 8));
  EXPECT_EQ(Walk(list), nullptr);
}

TEST_F(HobWalkTest, OnlyGuidExtensionHobsMatch) {
  std::vector<uint8_t> list;
  AddHob(list, EFI_HOB_TYPE_MEMORY_ALLOCATION, 48, GuidBody(kWantedGuid, 24));
  AddHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
  EXPECT_EQ(Walk(list), nullptr);
}

TEST_F(HobWalkTest, GuidHobTooShortForItsNameNeverMatches) {
  std::vector<uint8_t> list;
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

// A length that is a multiple of 4 but not of 8 breaks the list's alignment even when the next
// HOB sits right behind it, where a walk that stepped by it would find a match.
TEST_F(HobWalkTest, ALengthOffTheEightByteGridEndsTheWalkBeforeAMatchBehindIt) {
  for (uint16_t length : {12, 20, 36}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> list;
    AddHob(list, EFI_HOB_TYPE_HANDOFF, 56);
    AddHob(list, EFI_HOB_TYPE_MEMORY_ALLOCATION, length);
    AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 40, GuidBody(kWantedGuid, 16));
    AddHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
    EXPECT_EQ(Walk(list), nullptr);
    TearDown();
  }
}

// OVMF leaves EfiEndOfHobList pointing where the list lay before the DXE core moved it; a walk
// that trusted it would stop before HOBs added after the move, such as the stack-bus HOB.
TEST_F(HobWalkTest, AStaleEndPointerInTheHandOffHobDoesNotCutTheWalkShort) {
  for (uint64_t staleEnd : {uint64_t{0x1BF586D0}, uint64_t{8}}) {
    SCOPED_TRACE(staleEnd);
    std::vector<uint8_t> list;
    AddHob(list, EFI_HOB_TYPE_HANDOFF, 56);
    std::memcpy(list.data() + 48, &staleEnd, sizeof(staleEnd));
    AddHob(list, EFI_HOB_TYPE_MEMORY_ALLOCATION, 48);
    AddHob(list, EFI_HOB_TYPE_GUID_EXTENSION, 40, GuidBody(kWantedGuid, 16));
    AddHob(list, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
    VOID *hob = Walk(list);
    ASSERT_NE(hob, nullptr);
    EXPECT_EQ(static_cast<uint8_t *>(hob) - hobs_, 56 + 48);
    TearDown();
  }
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
