// The platform's Setup variable, from which both drivers read an option byte of their own.
#ifndef SUPPORT_SETUP_VARIABLE_H_
#define SUPPORT_SETUP_VARIABLE_H_

#include "Uefi.h"

constexpr EFI_GUID gSetupVariableGuid = {
    0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};

inline constexpr CHAR16 kSetupVariableName[] = u"Setup";

// The buffer both drivers read the variable into; a larger variable does not fit and is not read.
constexpr UINTN SETUP_VARIABLE_BUFFER_SIZE = 3820;

// Reads the Setup variable and returns its byte at Offset (below the buffer's size). A
// variable too short to reach the byte gives 0 (off), never whatever the stack held.
// SETUP_VARIABLE_UNREAD when the variable is absent, too large or unreadable.
constexpr INTN SETUP_VARIABLE_UNREAD = -1;
INTN ReadSetupOption(UINTN Offset);

#endif  // SUPPORT_SETUP_VARIABLE_H_
