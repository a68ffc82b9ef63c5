// The SMBIOS edit protocol as the platform's SMBIOS driver provides it, over the board's live
// SMBIOS table: what a driver inserts, replaces or removes changes the table that the boot
// result reports and that the operating system would read.
#include <cstring>

#include "DxeCore.h"
#include "SmbiosEditProtocol.h"

namespace emu {

namespace {

SmbiosTable &Table() { return DxeCore::Current().Board().smbios; }

EFI_STATUS EFIAPI InsertRecord(const VOID *record, UINT16 size) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter("Smbios.InsertRecord", {size});
  if (site.injected) return p.Leave(site, static_cast<EFI_STATUS>(*site.injected));
  return p.Leave(site, Table().Insert(static_cast<const uint8_t *>(record), size));
}

EFI_STATUS EFIAPI RemoveRecord(UINT16 handle) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter("Smbios.RemoveRecord", {handle});
  if (site.injected) return p.Leave(site, static_cast<EFI_STATUS>(*site.injected));
  return p.Leave(site, Table().Remove(handle));
}

// The copy is pool memory of the calling image: a copy it never frees is its leak. It sits
// right before a guard page, so reading past its end stops the boot.
EFI_STATUS EFIAPI FindRecordByType(UINT8 type, UINT8 instance, VOID **record, UINT16 *size) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter("Smbios.FindRecordByType", {type, instance});
  if (record != nullptr) *record = nullptr;
  if (size != nullptr) *size = 0;
  if (site.injected) return p.Leave(site, static_cast<EFI_STATUS>(*site.injected));
  if (record == nullptr || size == nullptr || instance == 0) {
    return p.Leave(site, EFI_INVALID_PARAMETER);
  }
  const SmbiosStructure *found = Table().FindByType(type, instance);
  if (found == nullptr) return p.Leave(site, EFI_NOT_FOUND);
  void *copy = p.AllocateCallerPool(found->bytes.size(), EfiBootServicesData, /*guardTail=*/true);
  if (copy == nullptr) return p.Leave(site, EFI_OUT_OF_RESOURCES);
  std::memcpy(copy, found->bytes.data(), found->bytes.size());
  *record = copy;
  *size = static_cast<UINT16>(found->bytes.size());
  return p.Leave(site, EFI_SUCCESS);
}

EFI_STATUS EFIAPI ReplaceRecord(UINT16 handle, const VOID *record, UINT16 size) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter("Smbios.ReplaceRecord", {handle, size});
  if (site.injected) return p.Leave(site, static_cast<EFI_STATUS>(*site.injected));
  return p.Leave(site, Table().Replace(handle, static_cast<const uint8_t *>(record), size));
}

// The members the drivers never call.
EFI_STATUS EFIAPI UnexpectedMember() {
  DxeCore::Current().Violation("a driver called an SMBIOS edit member it must not use");
  return EFI_UNSUPPORTED;
}

SMBIOS_EDIT_PROTOCOL MakeInterface() {
  SMBIOS_EDIT_PROTOCOL protocol{};
  void *trap = reinterpret_cast<void *>(&UnexpectedMember);
  for (void *&member : protocol.Member0To3) member = trap;
  protocol.Member5 = trap;
  protocol.Member7 = trap;
  protocol.InsertRecord = InsertRecord;
  protocol.RemoveRecord = RemoveRecord;
  protocol.FindRecordByType = FindRecordByType;
  protocol.ReplaceRecord = ReplaceRecord;
  return protocol;
}

}  // namespace

SMBIOS_EDIT_PROTOCOL *SmbiosEditInterface() {
  static SMBIOS_EDIT_PROTOCOL protocol = MakeInterface();
  return &protocol;
}

void Platform::InstallSmbiosEditProtocol() {
  InstallProtocol(gSmbiosEditProtocolGuid, SmbiosEditInterface());
}

}  // namespace emu
