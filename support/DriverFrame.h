// The start-up layer both drivers carry: service tables, scratch pool, hand-off blocks and the
// cached platform protocols that the shared platform access needs.
#ifndef SUPPORT_DRIVER_FRAME_H_
#define SUPPORT_DRIVER_FRAME_H_

#include "BoardInfoProtocol.h"
#include "RegisterAccessProtocol.h"
#include "Uefi.h"

constexpr UINTN SCRATCH_POOL_SIZE = 8192;

// Module globals, one set per image, written by the frame and never released (but the scratch
// pool when the driver's start fails).
extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;
extern EFI_RUNTIME_SERVICES *gRT;
extern VOID *gScratchPool;
extern UINT64 gScratchPoolSize;
extern VOID *gDxeServices;
extern VOID *gHobList;
extern REGISTER_ACCESS_PROTOCOL *gRegisterAccess;
extern BOARD_INFO_PROTOCOL *gBoardInfo;

EFI_STATUS InitializeDriverFrame(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Frees the scratch pool, if there is one; a start that fails leaves no pool behind. False
// when FreePool refused: the pool is still held, and still recorded here.
BOOLEAN ReleaseScratchPool();

// A start that fails withdraws what it registered, because the DXE core unloads an image whose
// entry point returns an error. When the core refuses a withdrawal (an uninstall a consumer
// holds open, a close), something still points into the image, which must therefore stay: the
// start is abandoned instead. The entry point then returns EFI_SUCCESS, the image keeps its
// scratch pool, and every notify function still registered that does work returns at once (the
// ReadyToBoot notify only closes its own event); an interface left installed keeps working for
// the consumer that holds it.
extern BOOLEAN gStartAbandoned;

// Closes an event of a start that failed; a refusal abandons the start.
VOID WithdrawEvent(EFI_EVENT Event);

// The entry point's end after its main routine failed with Status: the pool goes (a refused
// release leaks it) and the error is returned, or, when an event or the protocol could not be
// withdrawn, the start is abandoned.
EFI_STATUS EndFailedStart(EFI_STATUS Status);

EFI_STATUS FindConfigurationTable(const EFI_GUID *Guid, VOID **Table);

// Start of the first GUID extension HOB with that name, or null. Its data begins
// GUID_HOB_DATA_OFFSET bytes further on, and GuidHobDataSize tells how much of it there is.
VOID *FindGuidHob(const EFI_GUID *Guid);
constexpr UINTN GUID_HOB_DATA_OFFSET = sizeof(EFI_HOB_GUID_TYPE);
inline UINTN GuidHobDataSize(const VOID *GuidHob) {
  return static_cast<const EFI_HOB_GENERIC_HEADER *>(GuidHob)->HobLength - GUID_HOB_DATA_OFFSET;
}

BOARD_INFO_PROTOCOL *GetBoardInfoProtocol();

#endif  // SUPPORT_DRIVER_FRAME_H_
