#include "Boot.h"

#include <algorithm>

#include "SetupMenus.h"
#include "TriggerProtocols.h"

namespace emu {

namespace {

// Trigger protocols carry no interface of interest; any installed pointer will do.
UINT8 gTriggerInterface;

}  // namespace

BootResult RunBoot(const BoardDescription &board, const BootPlan &plan) {
  BootResult result;
  result.board = board;
  result.slotsBefore = board.slots;

  ViolationCollector collector(result.violations);
  {
    Platform platform(board);
    platform.UseImagesFrom(plan.imageDir.empty() ? HostImageDir(plan.images) : plan.imageDir);
    platform.GuaranteeLookups(plan.dependency);
    for (const std::string &name : plan.drivers) {
      bool dispatchable =
          std::all_of(plan.dependency.begin(), plan.dependency.end(),
                      [&](const EFI_GUID &guid) { return platform.FindProtocol(guid) != nullptr; });
      EFI_STATUS status = dispatchable ? platform.StartImage(name) : EFI_NOT_READY;
      result.drivers.push_back(DriverOutcome{name, status, platform.IsResident(name)});
    }
    if (plan.setupEditProtocol) {
      platform.InstallProtocol(gSetupEditProtocolGuid, SetupEditInterface());
    }
    if (plan.slotRecordsTrigger) {
      platform.InstallProtocol(gSlotRecordsTriggerProtocolGuid, &gTriggerInterface);
    }
    if (plan.rootPortAdjustTrigger) {
      platform.InstallProtocol(gRootPortAdjustTriggerProtocolGuid, &gTriggerInterface);
    }
    if (plan.collectNicMacs) result.nicMacs = CollectNicMacs(platform);
    if (plan.readyToBoot) platform.SignalEventGroup(gEfiEventReadyToBootGuid);
    result.slotsAfter = platform.Board().slots;
    result.menusAfter = platform.Board().setupMenus;
    result.smbiosAfter = platform.Board().smbios;
    result.pciWrites = platform.Pci().Writes();
    platform.Finish();
    result.calls = platform.Calls();
    result.images = plan.images;
    result.debugLines = platform.DebugLines();
  }
  return result;
}

std::vector<FaultOutcome> FaultOutcomes(const BootResult &result) {
  std::vector<FaultOutcome> outcomes;
  for (const Fault &fault : result.board.faults) outcomes.push_back(FaultOutcome{fault, {}, {}, 0});
  for (size_t i = 0; i < result.calls.size(); ++i) {
    const CallRecord &call = result.calls[i];
    for (FaultOutcome &outcome : outcomes)
      outcome.memberCalls += call.member == outcome.fault.member;
    if (call.fault < 0 || static_cast<size_t>(call.fault) >= outcomes.size()) continue;
    FaultOutcome &outcome = outcomes[static_cast<size_t>(call.fault)];
    (call.injected ? outcome.fired : outcome.refused).push_back(i);
  }
  return outcomes;
}

}  // namespace emu
