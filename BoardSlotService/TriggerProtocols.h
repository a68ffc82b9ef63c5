// Protocols that other platform drivers install to start BoardSlotService's later work. Only
// their installation matters; their interfaces are never read.
#ifndef BOARD_SLOT_SERVICE_TRIGGER_PROTOCOLS_H_
#define BOARD_SLOT_SERVICE_TRIGGER_PROTOCOLS_H_

#include "Uefi.h"

// Installed once the SMBIOS table can take the board's slot records.
constexpr EFI_GUID gSlotRecordsTriggerProtocolGuid = {
    0xF42A009D, 0x977F, 0x4F08, {0x94, 0x40, 0xBC, 0xA5, 0xA3, 0xBE, 0xD9, 0xAF}};

// Installed whenever the root ports may be adjusted from Setup.
constexpr EFI_GUID gRootPortAdjustTriggerProtocolGuid = {
    0xDBC9FD21, 0xFAD8, 0x45B0, {0x9E, 0x78, 0x27, 0x15, 0x88, 0x67, 0xCC, 0x93}};

#endif  // BOARD_SLOT_SERVICE_TRIGGER_PROTOCOLS_H_
