// The emulated DXE core must behave as real firmware does, or the drivers' tests prove nothing.
// Here the platform itself is driven, with notify functions of the test standing in for a
// driver's.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "BoardHookProtocol.h"
#include "SmbiosEditProtocol.h"
#include "Tests.h"
#include "TriggerProtocols.h"

namespace {

constexpr EFI_GUID kProtocolA = {0xA0A0A0A0, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
constexpr EFI_GUID kProtocolB = {0xB0B0B0B0, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
constexpr EFI_GUID kGroup = {0xC0C0C0C0, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
UINT8 gInterfaceA, gInterfaceB;

// What the notify functions saw, in order.
struct Trace {
  std::vector<std::string> entries;
  EFI_TPL tplSeen = 0;
};
Trace *gTrace = nullptr;

class DxeCoreTest : public testing::Test {
 protected:
  void SetUp() override {
    platform_ = std::make_unique<emu::Platform>(emu::DefaultBoard());
    bs_ = platform_->BootServices();
    gTrace = &trace_;
  }
  void TearDown() override { gTrace = nullptr; }
  EFI_EVENT NotifyEvent(EFI_EVENT_NOTIFY notify, void *context = nullptr,
                        EFI_TPL tpl = TPL_CALLBACK) {
    EFI_EVENT event = nullptr;
    EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, tpl, notify, context, &event), EFI_SUCCESS);
    return event;
  }
  void Register(const EFI_GUID &guid, EFI_EVENT event) {
    VOID *key = nullptr;
    EXPECT_EQ(bs_->RegisterProtocolNotify(&guid, event, &key), EFI_SUCCESS);
  }
  std::unique_ptr<emu::Platform> platform_;
  EFI_BOOT_SERVICES *bs_ = nullptr;
  Trace trace_;
};

VOID EFIAPI RecordName(EFI_EVENT, VOID *context) {
  gTrace->entries.push_back(static_cast<const char *>(context));
  gTrace->tplSeen = emu::Platform::Current().CurrentTpl();
}

TEST_F(DxeCoreTest, InstallationAtApplicationLevelRunsTheNotifyAtOnceAtItsTpl) {
  Register(kProtocolA, NotifyEvent(RecordName, const_cast<char *>("A")));
  platform_->InstallProtocol(kProtocolA, &gInterfaceA);
  EXPECT_EQ(trace_.entries, std::vector<std::string>{"A"});
  EXPECT_EQ(trace_.tplSeen, TPL_CALLBACK);
  EXPECT_EQ(platform_->CurrentTpl(), TPL_APPLICATION);
}

TEST_F(DxeCoreTest, NothingFiresForAnInterfaceInstalledBeforeTheRegistration) {
  platform_->InstallProtocol(kProtocolA, &gInterfaceA);
  Register(kProtocolA, NotifyEvent(RecordName, const_cast<char *>("A")));
  EXPECT_TRUE(trace_.entries.empty());
  platform_->InstallProtocol(kProtocolA, &gInterfaceB);
  EXPECT_EQ(trace_.entries, std::vector<std::string>{"A"});
}

// A notify that installs another protocol: the second notify, at the same TPL, runs after the
// first returns.
VOID EFIAPI InstallBFromNotify(EFI_EVENT, VOID *) {
  gTrace->entries.push_back("A begins");
  EFI_HANDLE handle = nullptr;
  emu::Platform::Current().BootServices()->InstallProtocolInterface(
      &handle, &kProtocolB, EFI_NATIVE_INTERFACE, &gInterfaceB);
  gTrace->entries.push_back("A ends");
}

TEST_F(DxeCoreTest, NotifySignalledFromInsideANotifyRunsAfterIt) {
  Register(kProtocolA, NotifyEvent(InstallBFromNotify));
  Register(kProtocolB, NotifyEvent(RecordName, const_cast<char *>("B")));
  platform_->InstallProtocol(kProtocolA, &gInterfaceA);
  EXPECT_EQ(trace_.entries, (std::vector<std::string>{"A begins", "A ends", "B"}));
}

TEST_F(DxeCoreTest, HigherTplNotifyPreemptsACallbackNotify) {
  Register(kProtocolA, NotifyEvent(InstallBFromNotify));
  Register(kProtocolB, NotifyEvent(RecordName, const_cast<char *>("B"), TPL_NOTIFY));
  platform_->InstallProtocol(kProtocolA, &gInterfaceA);
  EXPECT_EQ(trace_.entries, (std::vector<std::string>{"A begins", "B", "A ends"}));
}

VOID EFIAPI SignalTwice(EFI_EVENT, VOID *context) {
  EFI_EVENT other = context;
  emu::Platform::Current().BootServices()->SignalEvent(other);
  emu::Platform::Current().BootServices()->SignalEvent(other);
}

TEST_F(DxeCoreTest, SignallingAPendingEventQueuesItOnce) {
  EFI_EVENT counted = NotifyEvent(RecordName, const_cast<char *>("counted"));
  Register(kProtocolA, NotifyEvent(SignalTwice, counted));
  platform_->InstallProtocol(kProtocolA, &gInterfaceA);
  EXPECT_EQ(trace_.entries, std::vector<std::string>{"counted"});
}

VOID EFIAPI CloseSelf(EFI_EVENT event, VOID *) {
  gTrace->entries.push_back("closing");
  EXPECT_EQ(emu::Platform::Current().BootServices()->CloseEvent(event), EFI_SUCCESS);
}

TEST_F(DxeCoreTest, ClosingAnEventInsideItsNotifyEndsItsRegistration) {
  Register(kProtocolA, NotifyEvent(CloseSelf));
  platform_->InstallProtocol(kProtocolA, &gInterfaceA);
  platform_->InstallProtocol(kProtocolA, &gInterfaceB);
  EXPECT_EQ(trace_.entries, std::vector<std::string>{"closing"});
  EXPECT_EQ(platform_->LiveRegistrations(), 0u);
}

TEST_F(DxeCoreTest, EventGroupsSignalEveryMember) {
  EFI_EVENT first = nullptr, second = nullptr;
  ASSERT_EQ(bs_->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordName, "1", &kGroup, &first),
            EFI_SUCCESS);
  ASSERT_EQ(bs_->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordName, "2", &kGroup, &second),
            EFI_SUCCESS);
  bs_->SignalEvent(first);
  EXPECT_EQ(trace_.entries, (std::vector<std::string>{"1", "2"}));
}

TEST_F(DxeCoreTest, BadEventParametersAreRejected) {
  EFI_EVENT event = nullptr;
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, nullptr, nullptr, &event),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_APPLICATION, RecordName, nullptr, &event),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordName, nullptr, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs_->CreateEventEx(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_CALLBACK, RecordName, nullptr,
                               &kGroup, &event),
            EFI_INVALID_PARAMETER);
}

TEST_F(DxeCoreTest, ClosedEventsAreGoneForGood) {
  EFI_EVENT event = NotifyEvent(RecordName);
  ASSERT_EQ(bs_->CloseEvent(event), EFI_SUCCESS);
  test::ExpectViolation expect("already closed");
  EXPECT_EQ(bs_->CloseEvent(event), EFI_INVALID_PARAMETER);
}

TEST_F(DxeCoreTest, ProtocolDatabaseFollowsTheDxeCoreRules) {
  EFI_HANDLE handle = nullptr;
  ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &kProtocolA, EFI_NATIVE_INTERFACE, &gInterfaceA),
            EFI_SUCCESS);
  ASSERT_NE(handle, nullptr);
  // The same protocol twice on one handle is refused.
  EXPECT_EQ(bs_->InstallProtocolInterface(&handle, &kProtocolA, EFI_NATIVE_INTERFACE, &gInterfaceB),
            EFI_INVALID_PARAMETER);
  VOID *found = nullptr;
  EXPECT_EQ(bs_->LocateProtocol(&kProtocolA, nullptr, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &gInterfaceA);
  EXPECT_EQ(bs_->UninstallProtocolInterface(handle, &kProtocolA, &gInterfaceB), EFI_NOT_FOUND);
  EXPECT_EQ(bs_->UninstallProtocolInterface(handle, &kProtocolA, &gInterfaceA), EFI_SUCCESS);
  EXPECT_EQ(bs_->LocateProtocol(&kProtocolA, nullptr, &found), EFI_NOT_FOUND);
  EXPECT_EQ(found, nullptr);
  // The emptied handle is gone.
  EXPECT_EQ(bs_->InstallProtocolInterface(&handle, &kProtocolB, EFI_NATIVE_INTERFACE, &gInterfaceB),
            EFI_INVALID_PARAMETER);
}

TEST_F(DxeCoreTest, AnInterfaceAConsumerHoldsOpenCannotBeUninstalled) {
  platform_.reset();
  emu::BoardDescription board = emu::DefaultBoard();
  board.heldOpen.push_back(kProtocolA);
  platform_ = std::make_unique<emu::Platform>(board);
  bs_ = platform_->BootServices();
  EFI_HANDLE handle = nullptr;
  ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &kProtocolA, EFI_NATIVE_INTERFACE, &gInterfaceA),
            EFI_SUCCESS);
  ASSERT_EQ(bs_->InstallProtocolInterface(&handle, &kProtocolB, EFI_NATIVE_INTERFACE, &gInterfaceB),
            EFI_SUCCESS);
  EXPECT_EQ(bs_->UninstallProtocolInterface(handle, &kProtocolA, &gInterfaceA), EFI_ACCESS_DENIED);
  EXPECT_EQ(platform_->FindProtocol(kProtocolA), &gInterfaceA);
  EXPECT_EQ(bs_->UninstallProtocolInterface(handle, &kProtocolB, &gInterfaceB), EFI_SUCCESS);
  // An interface the handle does not carry is still not found.
  EXPECT_EQ(bs_->UninstallProtocolInterface(handle, &kProtocolA, &gInterfaceB), EFI_NOT_FOUND);
}

TEST_F(DxeCoreTest, LocateWithARegistrationKeyReturnsEachNewInterfaceOnce) {
  EFI_EVENT event = NotifyEvent(RecordName, const_cast<char *>("A"));
  VOID *key = nullptr;
  ASSERT_EQ(bs_->RegisterProtocolNotify(&kProtocolA, event, &key), EFI_SUCCESS);
  platform_->InstallProtocol(kProtocolA, &gInterfaceA);
  platform_->InstallProtocol(kProtocolA, &gInterfaceB);
  VOID *found = nullptr;
  EXPECT_EQ(bs_->LocateProtocol(&kProtocolA, key, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &gInterfaceA);
  EXPECT_EQ(bs_->LocateProtocol(&kProtocolA, key, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &gInterfaceB);
  EXPECT_EQ(bs_->LocateProtocol(&kProtocolA, key, &found), EFI_NOT_FOUND);
}

TEST_F(DxeCoreTest, GetVariableFollowsUefiSizeRules) {
  // The drivers and the platform share one definition of the vendor GUID: check it against the
  // platform's own, written out.
  EXPECT_EQ(emu::GuidToString(gSetupVariableGuid), "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9");
  EFI_RUNTIME_SERVICES *rt = platform_->SystemTable()->RuntimeServices;
  uint8_t buffer[8192];
  UINTN size = 16;
  UINT32 attributes = 0;
  EXPECT_EQ(rt->GetVariable(u"Setup", &gSetupVariableGuid, &attributes, &size, buffer),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 3072u);
  size = sizeof(buffer);
  EXPECT_EQ(rt->GetVariable(u"Setup", &gSetupVariableGuid, &attributes, &size, buffer),
            EFI_SUCCESS);
  EXPECT_EQ(size, 3072u);
  EXPECT_EQ(attributes, emu::kSetupAttributes);
  EXPECT_EQ(rt->GetVariable(u"Setup", &gEfiHobListGuid, nullptr, &size, buffer), EFI_NOT_FOUND);
  EXPECT_EQ(rt->GetVariable(u"Setu", &gSetupVariableGuid, nullptr, &size, buffer), EFI_NOT_FOUND);
  EXPECT_EQ(rt->GetVariable(u"Setup", &gSetupVariableGuid, nullptr, nullptr, buffer),
            EFI_INVALID_PARAMETER);
  // A variable described with no data does not exist (writing no data deletes one).
  platform_->Board().FindVariable(u"Setup", gSetupVariableGuid)->data.clear();
  EXPECT_EQ(rt->GetVariable(u"Setup", &gSetupVariableGuid, nullptr, &size, buffer), EFI_NOT_FOUND);
}

TEST_F(DxeCoreTest, FaultsHitTheChosenOccurrence) {
  platform_.reset();
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults.push_back({"BS.CreateEvent", 2, EFI_DEVICE_ERROR});
  platform_ = std::make_unique<emu::Platform>(board);
  bs_ = platform_->BootServices();
  EFI_EVENT event;
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordName, nullptr, &event),
            EFI_SUCCESS);
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordName, nullptr, &event),
            EFI_DEVICE_ERROR);
  EXPECT_EQ(bs_->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RecordName, nullptr, &event),
            EFI_SUCCESS);
  EXPECT_TRUE(platform_->CallsTo("BS.CreateEvent")[1].injected);
}

TEST_F(DxeCoreTest, AFailedGetVariableTooSmallAsksForMoreThanItWasOffered) {
  platform_.reset();
  emu::BoardDescription board = emu::DefaultBoard();
  board.faults.push_back({"RT.GetVariable", 1, EFI_BUFFER_TOO_SMALL});
  platform_ = std::make_unique<emu::Platform>(board);
  UINT8 buffer[3820] = {0x5A};
  UINTN size = sizeof(buffer);
  EXPECT_EQ(platform_->SystemTable()->RuntimeServices->GetVariable(u"Setup", &gSetupVariableGuid,
                                                                   nullptr, &size, buffer),
            EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, sizeof(buffer) + 1);
  EXPECT_EQ(buffer[0], 0x5A);
}

// The call log tells calls of one member apart and names the driver function that made them.
TEST(CallRecordTest, CallsNameWhatTheyConcernAndTheDriverFunctionThatMadeThem) {
  emu::BootResult boot = emu::RunBoot(emu::DefaultBoard());
  auto find = [&](const std::string &member, const std::string &what) {
    auto it = std::find_if(boot.calls.begin(), boot.calls.end(), [&](const emu::CallRecord &c) {
      return c.member == member && c.what == what;
    });
    return it == boot.calls.end() ? std::string("(none)") : it->during;
  };
  const std::string slotRecords = emu::GuidToString(gSlotRecordsTriggerProtocolGuid);
  EXPECT_EQ(find("BS.RegisterProtocolNotify", slotRecords + " SmbiosSlotNotify"),
            "BoardSlotServiceEntryPoint");
  EXPECT_EQ(
      find("BS.CreateEventEx", emu::GuidToString(gEfiEventReadyToBootGuid) + " ReadyToBootNotify"),
      "BoardSlotServiceEntryPoint");
  EXPECT_EQ(find("BS.CloseEvent", "SmbiosSlotNotify"), "SmbiosSlotNotify");
  EXPECT_EQ(find("SetupEdit.HideItem", "Socket Configuration"), "RiserMenuEditsNotify");
  EXPECT_EQ(find("BS.CreateEvent", "KvrnLabelsNotify"), "MenuPrunerEntryPoint");
  EXPECT_EQ(find("BS.LocateProtocol", emu::GuidToString(gSmbiosEditProtocolGuid)),
            "SmbiosSlotNotify");
  EXPECT_EQ(find("BS.InstallProtocolInterface", emu::GuidToString(gBoardHookProtocolGuid)),
            "BoardSlotServiceEntryPoint");
  EXPECT_EQ(find("RT.GetVariable", "Setup"), "RiserMenuEditsNotify");
  EXPECT_EQ(find("BoardInfo.GetSlotLocation", ""), "BoardSlotServiceEntryPoint");
  EXPECT_EQ(find("CPU.Cpuid", ""), "RiserMenuEditsNotify");
  auto collect = std::find_if(boot.calls.begin(), boot.calls.end(), [](const emu::CallRecord &c) {
    return c.during == "CollectNicMacAddresses";
  });
  ASSERT_NE(collect, boot.calls.end());
  EXPECT_EQ(collect->image, "BoardSlotService");
}

TEST_F(DxeCoreTest, DoubleFreeIsReported) {
  VOID *block = nullptr;
  ASSERT_EQ(bs_->AllocatePool(EfiBootServicesData, 32, &block), EFI_SUCCESS);
  ASSERT_EQ(bs_->FreePool(block), EFI_SUCCESS);
  test::ExpectViolation expect("double free");
  EXPECT_EQ(bs_->FreePool(block), EFI_INVALID_PARAMETER);
}

TEST_F(DxeCoreTest, ServicesTheDriversMustNotUseFailLoudly) {
  test::ExpectViolation expect("BS.Stall");
  EXPECT_EQ(bs_->Stall(10), EFI_UNSUPPORTED);
}

// The scratch pool a resident driver keeps is the board description's allowance, not the
// platform's: without it, the same boot ends with that block reported.
TEST_F(DxeCoreTest, AResidentDriverKeepsOnlyThePoolTheBoardAllows) {
  platform_.reset();
  emu::BoardDescription board = emu::DefaultBoard();
  board.keptPool.clear();
  platform_ = std::make_unique<emu::Platform>(board);
  ASSERT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
  test::ExpectViolation expect("BoardSlotService leaked " + std::to_string(SCRATCH_POOL_SIZE) +
                               " bytes of pool");
  platform_->Finish();
}

TEST_F(DxeCoreTest, ImagesAreGoneAfterTheBoot) {
  ASSERT_EQ(platform_->StartImage("BoardSlotService"), EFI_SUCCESS);
  platform_->Finish();
  EXPECT_EQ(dlopen(emu::HostImagePath("BoardSlotService").c_str(), RTLD_NOW | RTLD_NOLOAD),
            nullptr);
}

}  // namespace
