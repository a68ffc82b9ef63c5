// The SMBIOS edit protocol on real firmware, over the firmware's EFI_SMBIOS_PROTOCOL: insert is
// Add, remove is Remove, replace is Remove then Add with the same handle, and a lookup by type
// hands the caller a pool copy.
#include "FwPlatform.h"
#include "SmbiosEditProtocol.h"

namespace {

constinit EFI_SMBIOS_PROTOCOL *mSmbios = nullptr;

// EFI_SMBIOS_PROTOCOL's "choose a handle"; the edit protocol's is SMBIOS_EDIT_ANY_HANDLE (0xFFFF):
// the one the board's drivers use.
constexpr UINT16 kFirmwareChoosesHandle = 0xFFFE;

UINT8 Sum8(const UINT8 *Bytes, UINTN Size) {
  UINT8 Sum = 0;
  for (UINTN Index = 0; Index < Size; ++Index) Sum = static_cast<UINT8>(Sum + Bytes[Index]);
  return Sum;
}

// Size of a structure given no more than Limit bytes: formatted area, strings, double NUL;
// 0 when it does not end within Limit.
UINTN StructureSize(const UINT8 *Record, UINTN Limit) {
  if (Limit < 4 || Record[1] < 4 || Record[1] > Limit) return 0;
  for (UINTN At = Record[1]; At + 1 < Limit; ++At) {
    if (Record[At] == 0 && Record[At + 1] == 0) return At + 2;
  }
  return 0;
}

EFI_STATUS AddWithHandle(const VOID *Record, UINT16 Size, UINT16 Handle) {
  if (StructureSize(static_cast<const UINT8 *>(Record), Size) == 0) return EFI_INVALID_PARAMETER;
  UINT8 *Copy = static_cast<UINT8 *>(AllocateZeroed(Size));
  CopyBytes(Copy, Record, Size);
  UINT16 Assigned = Handle;
  EFI_STATUS Status =
      mSmbios->Add(mSmbios, nullptr, &Assigned, reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(Copy));
  gBoot->FreePool(Copy);
  return Status;
}

EFI_STATUS InsertRecord(const VOID *Record, UINT16 Size) {
  if (Record == nullptr || Size < 4) return EFI_INVALID_PARAMETER;
  UINT16 Handle;
  CopyBytes(&Handle, static_cast<const UINT8 *>(Record) + 2, 2);
  return AddWithHandle(Record, Size,
                       Handle == SMBIOS_EDIT_ANY_HANDLE ? kFirmwareChoosesHandle : Handle);
}

EFI_STATUS FindRecordByType(UINT8 Type, UINT8 Instance, VOID **Record, UINT16 *Size) {
  if (Record == nullptr || Size == nullptr || Instance == 0) return EFI_INVALID_PARAMETER;
  *Record = nullptr;
  UINT16 Handle = kFirmwareChoosesHandle;
  UINT8 Seen = 0;
  for (;;) {
    UINT8 Wanted = Type;
    EFI_SMBIOS_TABLE_HEADER *Found = nullptr;
    if (EFI_ERROR(mSmbios->GetNext(mSmbios, &Handle, &Wanted, &Found, nullptr))) {
      return EFI_NOT_FOUND;
    }
    if (++Seen == Instance) {
      const UINTN Length = StructureSize(reinterpret_cast<const UINT8 *>(Found), 0xFFFF);
      if (Length == 0) return EFI_DEVICE_ERROR;
      VOID *Copy = nullptr;
      if (EFI_ERROR(gBoot->AllocatePool(EfiBootServicesData, Length, &Copy))) {
        return EFI_OUT_OF_RESOURCES;
      }
      CopyBytes(Copy, Found, Length);
      *Record = Copy;
      *Size = static_cast<UINT16>(Length);
      return EFI_SUCCESS;
    }
  }
}

// The structures that follow `Handle` in the table, copied into pool: up to Capacity of them.
UINTN CopyFollowing(UINT16 Handle, UINT8 **Copies, UINTN Capacity) {
  UINTN Count = 0;
  bool Past = false;
  UINT16 Next = kFirmwareChoosesHandle;
  EFI_SMBIOS_TABLE_HEADER *Found = nullptr;
  while (Count < Capacity &&
         !EFI_ERROR(mSmbios->GetNext(mSmbios, &Next, nullptr, &Found, nullptr))) {
    if (Past) {
      const UINTN Length = StructureSize(reinterpret_cast<const UINT8 *>(Found), 0xFFFF);
      Copies[Count] = static_cast<UINT8 *>(AllocateZeroed(Length));
      CopyBytes(Copies[Count++], Found, Length);
    }
    Past = Past || Next == Handle;
  }
  return Count;
}

// EFI_SMBIOS_PROTOCOL has no replace, and Remove then Add would move the structure to the end
// of the table, where a walk by instance meets it a second time. The structures after it are
// taken out and put back behind it with their handles, so the table keeps its order.
EFI_STATUS ReplaceRecord(UINT16 Handle, const VOID *Record, UINT16 Size) {
  if (Record == nullptr || StructureSize(static_cast<const UINT8 *>(Record), Size) == 0) {
    return EFI_INVALID_PARAMETER;
  }
  constexpr UINTN kMostFollowing = 256;
  UINT8 **Following = static_cast<UINT8 **>(AllocateZeroed(kMostFollowing * sizeof(UINT8 *)));
  const UINTN Count = CopyFollowing(Handle, Following, kMostFollowing);
  EFI_STATUS Status = mSmbios->Remove(mSmbios, Handle);
  if (!EFI_ERROR(Status)) {
    for (UINTN Index = 0; Index < Count; ++Index) {
      mSmbios->Remove(mSmbios,
                      reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(Following[Index])->Handle);
    }
    Status = AddWithHandle(Record, Size, Handle);
    for (UINTN Index = 0; Index < Count; ++Index) {
      const UINT8 *Copy = Following[Index];
      AddWithHandle(Copy, static_cast<UINT16>(StructureSize(Copy, 0xFFFF)),
                    reinterpret_cast<const EFI_SMBIOS_TABLE_HEADER *>(Copy)->Handle);
    }
  }
  for (UINTN Index = 0; Index < Count; ++Index) gBoot->FreePool(Following[Index]);
  gBoot->FreePool(Following);
  return Status;
}

// The members, each recorded as a call of the driver that makes it.
EFI_STATUS EFIAPI TracedInsertRecord(const VOID *Record, UINT16 Size) {
  DriverCall Call(__builtin_return_address(0), "Smbios.InsertRecord", 1, Size);
  return Call.Returns(InsertRecord(Record, Size));
}
EFI_STATUS EFIAPI TracedRemoveRecord(UINT16 Handle) {
  DriverCall Call(__builtin_return_address(0), "Smbios.RemoveRecord", 1, Handle);
  return Call.Returns(mSmbios->Remove(mSmbios, Handle));
}
EFI_STATUS EFIAPI TracedFindRecordByType(UINT8 Type, UINT8 Instance, VOID **Record, UINT16 *Size) {
  DriverCall Call(__builtin_return_address(0), "Smbios.FindRecordByType", 2, Type, Instance);
  return Call.Returns(FindRecordByType(Type, Instance, Record, Size));
}
EFI_STATUS EFIAPI TracedReplaceRecord(UINT16 Handle, const VOID *Record, UINT16 Size) {
  DriverCall Call(__builtin_return_address(0), "Smbios.ReplaceRecord", 2, Handle, Size);
  return Call.Returns(ReplaceRecord(Handle, Record, Size));
}

constinit SMBIOS_EDIT_PROTOCOL mSmbiosEdit = {{},
                                              TracedInsertRecord,
                                              nullptr,
                                              TracedRemoveRecord,
                                              nullptr,
                                              TracedFindRecordByType,
                                              TracedReplaceRecord};

}  // namespace

void *gSmbiosEditInterface = &mSmbiosEdit;

bool LocateFirmwareSmbios() {
  VOID *Interface = nullptr;
  if (EFI_ERROR(gBoot->LocateProtocol(&gEfiSmbiosProtocolGuid, nullptr, &Interface))) return false;
  mSmbios = static_cast<EFI_SMBIOS_PROTOCOL *>(Interface);
  return true;
}

// dmidecode's layout: the entry point at 0 with its table address moved to 0x20 and its
// checksums fixed, the table at 0x20. OVMF may publish only the 32-bit entry point.
EFI_STATUS WriteSmbiosDump(const CHAR16 *Name) {
  constexpr UINTN kTableOffset = 0x20;
  UINT8 Entry[kTableOffset] = {};
  const VOID *Table = nullptr;
  UINTN TableSize = 0;
  if (const auto *Entry3 =
          static_cast<const SMBIOS3_ENTRY_POINT *>(ConfigurationTable(gEfiSmbios3TableGuid))) {
    SMBIOS3_ENTRY_POINT Moved = *Entry3;
    Moved.TableAddress = kTableOffset;
    CopyBytes(Entry, &Moved, sizeof(Moved));
    Table = reinterpret_cast<const VOID *>(Entry3->TableAddress);
    TableSize = Entry3->TableMaximumSize;
    Entry[5] = 0;
    Entry[5] = static_cast<UINT8>(0x100 - Sum8(Entry, Entry[6]));
  } else if (const auto *Entry2 =
                 static_cast<const UINT8 *>(ConfigurationTable(gEfiSmbiosTableGuid))) {
    CopyBytes(Entry, Entry2, 0x1F);
    UINT32 Address;
    UINT16 Length;
    CopyBytes(&Address, Entry2 + 0x18, 4);
    CopyBytes(&Length, Entry2 + 0x16, 2);
    Table = reinterpret_cast<const VOID *>(UINTN{Address});
    TableSize = Length;
    const UINT32 Moved = kTableOffset;
    CopyBytes(Entry + 0x18, &Moved, 4);
    Entry[0x15] = 0;
    Entry[0x15] = static_cast<UINT8>(0x100 - Sum8(Entry + 0x10, 0x0F));  // "_DMI_" part
    Entry[0x04] = 0;
    Entry[0x04] = static_cast<UINT8>(0x100 - Sum8(Entry, Entry[5]));
  } else {
    return EFI_NOT_FOUND;
  }
  UINT8 *Dump = static_cast<UINT8 *>(AllocateZeroed(kTableOffset + TableSize));
  CopyBytes(Dump, Entry, kTableOffset);
  CopyBytes(Dump + kTableOffset, Table, TableSize);
  EFI_STATUS Status = WriteBootFile(Name, Dump, kTableOffset + TableSize);
  gBoot->FreePool(Dump);
  return Status;
}
