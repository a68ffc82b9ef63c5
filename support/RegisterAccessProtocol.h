// Register access protocol: turns a register description into the memory address of a PCI
// configuration register. Installed by another platform driver.
#ifndef SUPPORT_REGISTER_ACCESS_PROTOCOL_H_
#define SUPPORT_REGISTER_ACCESS_PROTOCOL_H_

#include "Uefi.h"

constexpr EFI_GUID gRegisterAccessProtocolGuid = {
    0xFD480A76, 0xB134, 0x4EF7, {0xAD, 0xFE, 0xB0, 0xE0, 0x54, 0x63, 0x98, 0x07}};

// The record the protocol decodes. Word 0: bits 11..0 register offset, 14..12 function,
// 19..15 device, 27..20 bus; the other words are fixed by the protocol.
struct REG_ACCESS_ADDRESS {
  UINT32 Address;
  UINT32 Reserved0;  // 0
  UINT32 Kind;       // 0x200: PCI configuration space
  UINT32 Reserved1;  // 0
};
static_assert(sizeof(REG_ACCESS_ADDRESS) == 16, "REG_ACCESS_ADDRESS layout");
static_assert(offsetof(REG_ACCESS_ADDRESS, Kind) == 8, "REG_ACCESS_ADDRESS layout");

constexpr UINT32 REG_ACCESS_KIND_PCI_CONFIG = 0x200;

typedef UINTN(EFIAPI *REG_ACCESS_GET_REGISTER_ADDRESS)(REG_ACCESS_ADDRESS *Register);

struct REGISTER_ACCESS_PROTOCOL {
  VOID *Member0To2[3];
  REG_ACCESS_GET_REGISTER_ADDRESS GetRegisterAddress;
};
static_assert(offsetof(REGISTER_ACCESS_PROTOCOL, GetRegisterAddress) == 0x18,
              "register access layout");

#endif  // SUPPORT_REGISTER_ACCESS_PROTOCOL_H_
