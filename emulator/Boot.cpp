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
  }
  return result;
}

}  // namespace emu
