// The register access protocol in front of the running PCI segment, and the processor's CPUID,
// both answering from the board description.
#include <dlfcn.h>

#include "DxeCore.h"
#include "PciBus.h"

namespace emu {

// ---- The register access protocol and the processor -----------------------------------------

namespace {

UINTN EFIAPI GetRegisterAddress(REG_ACCESS_ADDRESS *record) {
  DxeCore &p = DxeCore::Current();
  if (record == nullptr) {
    p.Enter("RegisterAccess.GetRegisterAddress");
    return p.Pci().RegisterAddress(nullptr);
  }
  auto site = p.Enter("RegisterAccess.GetRegisterAddress",
                      {record->Address, record->Reserved0, record->Kind, record->Reserved1});
  if (site.injected) {
    // A protocol that answers badly: the injected value is the address it returns, as the
    // board sees it (a configuration register, 0, or an address where no device answers).
    return p.Pci().AtBoardAddress(p.Leave(site, *site.injected));
  }
  uintptr_t address = p.Pci().RegisterAddress(record);
  p.Leave(site, kConfigSpaceBoardBase + (record->Address & 0x0FFFFFFF));
  return address;
}

EFI_STATUS EFIAPI UnexpectedMember() {
  DxeCore::Current().Violation("a driver called a register access member it must not use");
  return EFI_UNSUPPORTED;
}

VOID EFIAPI AnswerCpuid(UINT32 leaf, UINT32 *registers) {
  DxeCore &p = DxeCore::Current();
  auto site = p.Enter("CPU.Cpuid", {leaf});
  uint32_t eax = leaf == 1 ? p.Board().cpuidEax : 0;
  if (site.injected) eax = static_cast<uint32_t>(*site.injected);
  registers[0] = eax;
  registers[1] = registers[2] = registers[3] = 0;
  p.Leave(site, eax);
}

}  // namespace

CPUID_HOOK EmulatedCpuid() { return AnswerCpuid; }

void Platform::InstallRegisterAccessProtocol() {
  static REGISTER_ACCESS_PROTOCOL protocol = [] {
    REGISTER_ACCESS_PROTOCOL interface {};
    for (void *&member : interface.Member0To2) member = reinterpret_cast<void *>(&UnexpectedMember);
    interface.GetRegisterAddress = GetRegisterAddress;
    return interface;
  }();
  InstallProtocol(gRegisterAccessProtocolGuid, &protocol);
}

void DxeCore::AttachPci() {
  pci_ = std::make_unique<PciBus>(board_);
  PciBus *pci = pci_.get();
  AddMemoryReader([pci](void *to, const void *from, size_t length) {
    return pci->ReadDeviceMemory(to, from, length);
  });
  // Each host image asks this board's processor; the setter is the image's own, looked up in
  // the image and not through the test program's symbols.
  OnImageLoaded([this](const std::string &name, void *module) {
    auto setter = reinterpret_cast<CPUID_HOOK_SETTER>(dlsym(module, CPUID_HOOK_SETTER_NAME));
    if (setter == nullptr) {
      Violation(name + " exports no " + CPUID_HOOK_SETTER_NAME + ": it would see no processor");
      return;
    }
    setter(AnswerCpuid);
  });
}

}  // namespace emu
