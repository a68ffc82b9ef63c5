// The service tables the drivers receive. Each member the drivers may use logs the call, applies
// a fault the board description names, and hands over to the DXE core; every other member is a
// trap that reports a violation.
#include <cstring>
#include <string>
#include <type_traits>

#include "DxeCore.h"

namespace emu {

namespace {

// ---- Boot service entry points: log, apply faults, hand over to the platform ------------------

DxeCore &Core() { return DxeCore::Current(); }

std::string GuidText(const EFI_GUID *guid) { return guid != nullptr ? GuidToString(*guid) : ""; }

std::string VariableText(const CHAR16 *name) {
  std::string text;
  for (const CHAR16 *c = name; c != nullptr && *c != 0; ++c) {
    text.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
  }
  return text;
}

template <typename T>
T Injected(const CallLog::Site &site) {
  return Core().Leave(site, static_cast<T>(*site.injected));
}

EFI_STATUS EFIAPI ThunkAllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  auto site = Core().Enter("BS.AllocatePool", {type, size});
  if (site.injected) return Injected<EFI_STATUS>(site);
  return Core().Leave(site, Core().AllocatePool(type, size, buffer));
}

EFI_STATUS EFIAPI ThunkFreePool(VOID *buffer) {
  auto site = Core().Enter("BS.FreePool");
  if (site.injected) return Injected<EFI_STATUS>(site);
  return Core().Leave(site, Core().FreePool(buffer));
}

EFI_STATUS EFIAPI ThunkCreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, VOID *context,
                                   EFI_EVENT *event) {
  auto site = Core().Enter("BS.CreateEvent", {type, tpl},
                           Core().FunctionName(reinterpret_cast<const void *>(notify)));
  if (site.injected) return Injected<EFI_STATUS>(site);
  return Core().Leave(site, Core().CreateEvent(type, tpl, notify, context, nullptr, event));
}

EFI_STATUS EFIAPI ThunkCreateEventEx(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify,
                                     const VOID *context, const EFI_GUID *group, EFI_EVENT *event) {
  auto site = Core().Enter(
      "BS.CreateEventEx", {type, tpl},
      GuidText(group) + " " + Core().FunctionName(reinterpret_cast<const void *>(notify)));
  if (site.injected) return Injected<EFI_STATUS>(site);
  return Core().Leave(site, Core().CreateEvent(type, tpl, notify, context, group, event));
}

EFI_STATUS EFIAPI ThunkSignalEvent(EFI_EVENT event) {
  auto site = Core().Enter("BS.SignalEvent", {}, Core().NotifyFunctionOf(event));
  if (site.injected) return Injected<EFI_STATUS>(site);
  return Core().Leave(site, Core().SignalEvent(event));
}

EFI_STATUS EFIAPI ThunkCloseEvent(EFI_EVENT event) {
  auto site = Core().Enter("BS.CloseEvent", {}, Core().NotifyFunctionOf(event));
  if (site.injected) return Injected<EFI_STATUS>(site);
  return Core().Leave(site, Core().CloseEvent(event));
}

EFI_STATUS EFIAPI ThunkInstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *guid,
                                                EFI_INTERFACE_TYPE type, VOID *interface) {
  auto site = Core().Enter("BS.InstallProtocolInterface", {}, GuidText(guid));
  if (site.injected) return Injected<EFI_STATUS>(site);
  return Core().Leave(site, Core().InstallProtocolInterface(handle, guid, type, interface));
}

EFI_STATUS EFIAPI ThunkUninstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *guid,
                                                  VOID *interface) {
  auto site = Core().Enter("BS.UninstallProtocolInterface", {}, GuidText(guid));
  if (site.injected) return Injected<EFI_STATUS>(site);
  return Core().Leave(site, Core().UninstallProtocolInterface(handle, guid, interface));
}

EFI_STATUS EFIAPI ThunkRegisterProtocolNotify(const EFI_GUID *guid, EFI_EVENT event,
                                              VOID **registration) {
  auto site = Core().Enter("BS.RegisterProtocolNotify", {},
                           GuidText(guid) + " " + Core().NotifyFunctionOf(event));
  if (site.injected) return Injected<EFI_STATUS>(site);
  return Core().Leave(site, Core().RegisterProtocolNotify(guid, event, registration));
}

EFI_STATUS EFIAPI ThunkLocateProtocol(const EFI_GUID *guid, VOID *registration, VOID **interface) {
  auto site = Core().Enter("BS.LocateProtocol", {}, GuidText(guid));
  if (site.injected) {
    if (interface != nullptr) *interface = nullptr;
    return Injected<EFI_STATUS>(site);
  }
  return Core().Leave(site, Core().LocateProtocol(guid, registration, interface));
}

VOID EFIAPI ThunkCopyMem(VOID *destination, const VOID *source, UINTN length) {
  auto site = Core().Enter("BS.CopyMem", {length});
  Core().CopyMem(destination, source, length);
  Core().Leave(site, 0);
}

VOID EFIAPI ThunkSetMem(VOID *buffer, UINTN size, UINT8 value) {
  auto site = Core().Enter("BS.SetMem", {size, value});
  std::memset(buffer, value, size);
  Core().Leave(site, 0);
}

EFI_STATUS EFIAPI ThunkGetVariable(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes,
                                   UINTN *size, VOID *data) {
  auto site = Core().Enter("RT.GetVariable", {size != nullptr ? *size : 0}, VariableText(name));
  if (site.injected) {
    // A variable that has outgrown the caller's buffer: the size it needs comes back.
    if (*site.injected == EFI_BUFFER_TOO_SMALL && size != nullptr) *size += 1;
    return Injected<EFI_STATUS>(site);
  }
  return Core().Leave(site, Core().GetVariable(name, guid, attributes, size, data));
}

// Members the drivers have no business calling: each one is a loud failure of the boot.
template <typename Fn>
struct Trap;
template <typename R, typename... A>
struct Trap<R(EFIAPI *)(A...)> {
  template <const char *Name>
  static R EFIAPI Call(A...) {
    Core().Enter(Name);
    Core().Violation(std::string("a driver called ") + Name + ", which it must not use");
    if constexpr (!std::is_void_v<R>) return static_cast<R>(EFI_UNSUPPORTED);
  }
};

EFI_STATUS EFIAPI TrapInstallMultiple(EFI_HANDLE *, ...) {
  Core().Violation("a driver called BS.InstallMultipleProtocolInterfaces, which it must not use");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI TrapUninstallMultiple(EFI_HANDLE, ...) {
  Core().Violation("a driver called BS.UninstallMultipleProtocolInterfaces, which it must not use");
  return EFI_UNSUPPORTED;
}

#define TRAP(table, member, name)                                           \
  do {                                                                      \
    static constexpr char kName[] = name;                                   \
    (table).member = &Trap<decltype((table).member)>::template Call<kName>; \
  } while (0)

}  // namespace

void DxeCore::BuildTables() {
  EFI_BOOT_SERVICES &bs = bootServices_;
  bs.Hdr = {EFI_BOOT_SERVICES_SIGNATURE, EFI_2_70_SYSTEM_TABLE_REVISION, sizeof(EFI_BOOT_SERVICES),
            0, 0};
  TRAP(bs, RaiseTPL, "BS.RaiseTPL");
  TRAP(bs, RestoreTPL, "BS.RestoreTPL");
  TRAP(bs, AllocatePages, "BS.AllocatePages");
  TRAP(bs, FreePages, "BS.FreePages");
  TRAP(bs, GetMemoryMap, "BS.GetMemoryMap");
  bs.AllocatePool = ThunkAllocatePool;
  bs.FreePool = ThunkFreePool;
  bs.CreateEvent = ThunkCreateEvent;
  TRAP(bs, SetTimer, "BS.SetTimer");
  TRAP(bs, WaitForEvent, "BS.WaitForEvent");
  bs.SignalEvent = ThunkSignalEvent;
  bs.CloseEvent = ThunkCloseEvent;
  TRAP(bs, CheckEvent, "BS.CheckEvent");
  bs.InstallProtocolInterface = ThunkInstallProtocolInterface;
  TRAP(bs, ReinstallProtocolInterface, "BS.ReinstallProtocolInterface");
  bs.UninstallProtocolInterface = ThunkUninstallProtocolInterface;
  TRAP(bs, HandleProtocol, "BS.HandleProtocol");
  bs.RegisterProtocolNotify = ThunkRegisterProtocolNotify;
  TRAP(bs, LocateHandle, "BS.LocateHandle");
  TRAP(bs, LocateDevicePath, "BS.LocateDevicePath");
  TRAP(bs, InstallConfigurationTable, "BS.InstallConfigurationTable");
  TRAP(bs, LoadImage, "BS.LoadImage");
  TRAP(bs, StartImage, "BS.StartImage");
  TRAP(bs, Exit, "BS.Exit");
  TRAP(bs, UnloadImage, "BS.UnloadImage");
  TRAP(bs, ExitBootServices, "BS.ExitBootServices");
  TRAP(bs, GetNextMonotonicCount, "BS.GetNextMonotonicCount");
  TRAP(bs, Stall, "BS.Stall");
  TRAP(bs, SetWatchdogTimer, "BS.SetWatchdogTimer");
  TRAP(bs, ConnectController, "BS.ConnectController");
  TRAP(bs, DisconnectController, "BS.DisconnectController");
  TRAP(bs, OpenProtocol, "BS.OpenProtocol");
  TRAP(bs, CloseProtocol, "BS.CloseProtocol");
  TRAP(bs, OpenProtocolInformation, "BS.OpenProtocolInformation");
  TRAP(bs, ProtocolsPerHandle, "BS.ProtocolsPerHandle");
  TRAP(bs, LocateHandleBuffer, "BS.LocateHandleBuffer");
  bs.LocateProtocol = ThunkLocateProtocol;
  bs.InstallMultipleProtocolInterfaces = TrapInstallMultiple;
  bs.UninstallMultipleProtocolInterfaces = TrapUninstallMultiple;
  TRAP(bs, CalculateCrc32, "BS.CalculateCrc32");
  bs.CopyMem = ThunkCopyMem;
  bs.SetMem = ThunkSetMem;
  bs.CreateEventEx = ThunkCreateEventEx;

  EFI_RUNTIME_SERVICES &rt = runtimeServices_;
  rt.Hdr = {EFI_RUNTIME_SERVICES_SIGNATURE, EFI_2_70_SYSTEM_TABLE_REVISION,
            sizeof(EFI_RUNTIME_SERVICES), 0, 0};
  TRAP(rt, GetTime, "RT.GetTime");
  TRAP(rt, SetTime, "RT.SetTime");
  TRAP(rt, GetWakeupTime, "RT.GetWakeupTime");
  TRAP(rt, SetWakeupTime, "RT.SetWakeupTime");
  TRAP(rt, SetVirtualAddressMap, "RT.SetVirtualAddressMap");
  TRAP(rt, ConvertPointer, "RT.ConvertPointer");
  rt.GetVariable = ThunkGetVariable;
  TRAP(rt, GetNextVariableName, "RT.GetNextVariableName");
  TRAP(rt, SetVariable, "RT.SetVariable");
  TRAP(rt, GetNextHighMonotonicCount, "RT.GetNextHighMonotonicCount");
  TRAP(rt, ResetSystem, "RT.ResetSystem");
  TRAP(rt, UpdateCapsule, "RT.UpdateCapsule");
  TRAP(rt, QueryCapsuleCapabilities, "RT.QueryCapsuleCapabilities");
  TRAP(rt, QueryVariableInfo, "RT.QueryVariableInfo");

  // The configuration table the earlier phases leave: the HOB list and the DXE services table,
  // among the usual tables of a platform (their contents are never read by the drivers).
  static constexpr EFI_GUID kAcpiTableGuid = {
      0x8868E871, 0xE4F1, 0x11D3, {0xBC, 0x22, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};
  static constexpr EFI_GUID kSmbios3TableGuid = {
      0xF2FD1544, 0x9794, 0x4A2C, {0x99, 0x2E, 0xE5, 0xBB, 0xCF, 0x20, 0xE3, 0x94}};
  hobList_ = BuildHobList(board_);
  dxeServices_ = {DXE_SERVICES_SIGNATURE, EFI_2_70_SYSTEM_TABLE_REVISION, sizeof(EFI_TABLE_HEADER),
                  0, 0};
  configurationTable_.push_back({kAcpiTableGuid, &dxeServices_});
  if (board_.dxeServicesPresent)
    configurationTable_.push_back({gEfiDxeServicesTableGuid, &dxeServices_});
  if (board_.hobListPresent) configurationTable_.push_back({gEfiHobListGuid, hobList_.data()});
  configurationTable_.push_back({kSmbios3TableGuid, &dxeServices_});

  systemTable_.Hdr = {EFI_SYSTEM_TABLE_SIGNATURE, EFI_2_70_SYSTEM_TABLE_REVISION,
                      sizeof(EFI_SYSTEM_TABLE), 0, 0};
  static char16_t kVendor[] = u"Board emulator";
  systemTable_.FirmwareVendor = kVendor;
  systemTable_.FirmwareRevision = 0x00010000;
  systemTable_.RuntimeServices = &runtimeServices_;
  systemTable_.BootServices = &bootServices_;
  systemTable_.NumberOfTableEntries = configurationTable_.size();
  systemTable_.ConfigurationTable = configurationTable_.data();
}

}  // namespace emu
