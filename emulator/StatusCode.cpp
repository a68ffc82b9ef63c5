// The platform's Status Code Runtime Protocol: the router with one handler behind it, which
// keeps the debug log as EDK II's serial status-code handler would print it. Every report is a
// logged call that a fault can fail (the line is then lost, as the router returns the error).
#include "DriverFiles.h"
#include "DxeCore.h"

namespace emu {

namespace {

// A report's caller must be the reporting image's own file: the platform's log and filters name
// a line's module by it.
void CheckCaller(DxeCore &core, const std::string &image, const EFI_GUID *callerId) {
  if (image.empty()) return;
  for (const DRIVER_FILE &file : kDriverFiles) {
    if (image != file.Name) continue;
    if (callerId == nullptr || !(*callerId == file.FileGuid)) {
      core.Violation(
          image + " reported a status code as " +
          (callerId == nullptr ? std::string("no caller") : "caller " + GuidToString(*callerId)) +
          ", not as its own file " + GuidToString(file.FileGuid));
    }
  }
}

EFI_STATUS EFIAPI ReportStatusCode(EFI_STATUS_CODE_TYPE type, EFI_STATUS_CODE_VALUE value,
                                   UINT32 instance, const EFI_GUID *callerId,
                                   EFI_STATUS_CODE_DATA *data) {
  DxeCore &core = DxeCore::Current();
  DebugLine line = DecodeDebugRecord(data, ReadOwnMemory);
  // The level goes into the call record whenever the data is a debug record with one, as the
  // platform application in real firmware records it.
  std::vector<uint64_t> args{type, value, instance};
  if (line.hasLevel) args.push_back(line.level);
  const std::string caller = callerId != nullptr ? GuidToString(*callerId) : "";
  auto site = core.Enter("StatusCode.ReportStatusCode", args, caller);
  if (site.injected) return core.Leave(site, static_cast<EFI_STATUS>(*site.injected));
  line.driver = core.CurrentImageName();
  line.callerId = caller;
  line.call = static_cast<long>(site.index);
  CheckCaller(core, line.driver, callerId);
  if ((type & EFI_STATUS_CODE_TYPE_MASK) != EFI_DEBUG_CODE && line.problem.empty()) {
    line.problem = "reported as type " + Hex(type) + ", not EFI_DEBUG_CODE";
  }
  core.AddDebugLine(std::move(line));
  return core.Leave(site, EFI_SUCCESS);
}

}  // namespace

void Platform::InstallStatusCodeProtocol() {
  static EFI_STATUS_CODE_PROTOCOL protocol = {ReportStatusCode};
  InstallProtocol(gEfiStatusCodeRuntimeProtocolGuid, &protocol);
}

}  // namespace emu
