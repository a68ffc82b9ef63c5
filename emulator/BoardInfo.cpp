// The board information protocol as the platform's board driver provides it: board bytes and a
// slot table, answered from the board description. Slot table writes change the live board, so
// a later reader (the other driver) sees them.
#include "BoardInfoProtocol.h"
#include "DxeCore.h"

namespace emu {

namespace {

UINT8 EFIAPI QueryBoardByte(UINTN id) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter("BoardInfo.QueryBoardByte", {id});
  if (site.injected) return p.Leave(site, static_cast<UINT8>(*site.injected));
  return p.Leave(site, id > UINT32_MAX ? UINT8{0} : p.Board().BoardByte(static_cast<uint32_t>(id)));
}

UINT32 EFIAPI GetSlotLocation(UINTN index) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter("BoardInfo.GetSlotLocation", {index});
  if (site.injected) return p.Leave(site, static_cast<UINT32>(*site.injected));
  const auto &slots = p.Board().slots;
  auto it = index > UINT32_MAX ? slots.end() : slots.find(static_cast<uint32_t>(index));
  return p.Leave(site, it == slots.end() ? UINT32{0} : it->second);
}

EFI_STATUS EFIAPI InitNotify(UINTN value) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter("BoardInfo.InitNotify", {value});
  if (site.injected) return p.Leave(site, static_cast<EFI_STATUS>(*site.injected));
  return p.Leave(site, EFI_SUCCESS);
}

EFI_STATUS EFIAPI SetSlotLocation(UINTN index, UINT32 code) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter("BoardInfo.SetSlotLocation", {index, code});
  if (site.injected) return p.Leave(site, static_cast<EFI_STATUS>(*site.injected));
  if (index > UINT32_MAX) return p.Leave(site, EFI_INVALID_PARAMETER);
  if (code == 0) {
    p.Board().slots.erase(static_cast<uint32_t>(index));
  } else {
    p.Board().slots[static_cast<uint32_t>(index)] = code;
  }
  return p.Leave(site, EFI_SUCCESS);
}

// The members the drivers never call.
EFI_STATUS EFIAPI UnexpectedMember() {
  DxeCore::Current().Violation("a driver called a board information member it must not use");
  return EFI_UNSUPPORTED;
}

BOARD_INFO_PROTOCOL MakeInterface() {
  BOARD_INFO_PROTOCOL protocol{};
  void *trap = reinterpret_cast<void *>(&UnexpectedMember);
  protocol.Member0 = trap;
  protocol.Member2 = trap;
  for (void *&member : protocol.Member5To16) member = trap;
  protocol.QueryBoardByte = QueryBoardByte;
  protocol.GetSlotLocation = GetSlotLocation;
  protocol.InitNotify = InitNotify;
  protocol.SetSlotLocation = SetSlotLocation;
  return protocol;
}

}  // namespace

void Platform::InstallBoardInfoProtocol() {
  static BOARD_INFO_PROTOCOL protocol = MakeInterface();
  InstallProtocol(gBoardInfoProtocolGuid, &protocol);
}

}  // namespace emu
