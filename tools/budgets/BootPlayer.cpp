// The boot the instruction counts are taken on: the default board, both drivers, every trigger,
// the board hook protocol's consumer, ReadyToBoot.
#include <cstdio>

#include "BoardHookProtocol.h"
#include "Boot.h"
#include "Budgets.h"
#include "SetupMenus.h"
#include "TriggerProtocols.h"

namespace budgets {

namespace {

// Trigger protocols carry no interface of interest; any installed pointer will do.
UINT8 gTriggerInterface;

}  // namespace

int PlayBoot() {
  std::vector<std::string> violations;
  emu::ViolationCollector collector(violations);
  {
    emu::Platform platform(emu::DefaultBoard());
    for (const char *driver : {"BoardSlotService", "MenuPruner"}) {
      if (EFI_ERROR(platform.StartImage(driver))) {
        std::fprintf(stderr, "budgets: %s did not start\n", driver);
        return 1;
      }
    }
    platform.InstallProtocol(gSetupEditProtocolGuid, emu::SetupEditInterface());
    platform.InstallProtocol(gSlotRecordsTriggerProtocolGuid, &gTriggerInterface);
    platform.InstallProtocol(gRootPortAdjustTriggerProtocolGuid, &gTriggerInterface);
    emu::CollectNicMacs(platform);
    // The members the consumer only polls.
    auto *hook = static_cast<BOARD_HOOK_PROTOCOL *>(platform.FindProtocol(gBoardHookProtocolGuid));
    if (hook != nullptr) {
      platform.AsImageOf(reinterpret_cast<const void *>(hook->DeclineQuery),
                         [&] { return hook->DeclineQuery(0, 0, 0, 0); });
      platform.AsImageOf(reinterpret_cast<const void *>(hook->AffirmQuery),
                         [&] { return hook->AffirmQuery(0, 0, 0, 0); });
      platform.AsImageOf(reinterpret_cast<const void *>(hook->AcknowledgeCall),
                         [&] { return hook->AcknowledgeCall(0, 0, 0, 0); });
    }
    platform.SignalEventGroup(gEfiEventReadyToBootGuid);
    platform.Finish();
  }
  for (const std::string &violation : violations) {
    std::fprintf(stderr, "budgets: %s\n", violation.c_str());
  }
  return violations.empty() ? 0 : 1;
}

}  // namespace budgets
