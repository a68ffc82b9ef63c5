#include "FwPlatform.h"

constinit EFI_SYSTEM_TABLE *gSystem = nullptr;
constinit EFI_BOOT_SERVICES *gBoot = nullptr;
constinit EFI_RUNTIME_SERVICES *gRuntime = nullptr;
constinit FW_SCENARIO *gScenario = nullptr;

namespace {

VOID OutByte(UINT16 Port, UINT8 Value) {
  __asm__ volatile("outb %0, %1" : : "a"(Value), "Nd"(Port));
}

constinit EFI_FILE_PROTOCOL *mRoot = nullptr;

}  // namespace

const Report &Report::operator<<(const char *Text) const {
  while (*Text != '\0') OutByte(FW_REPORT_PORT, static_cast<UINT8>(*Text++));
  return *this;
}

const Report &Report::operator<<(char Character) const {
  OutByte(FW_REPORT_PORT, static_cast<UINT8>(Character));
  return *this;
}

const Report &Report::operator<<(Hex Number) const {
  static const char kDigits[] = "0123456789ABCDEF";
  // Digits is a minimum: a value wider than it keeps every digit (a slot code's bits 31..24).
  UINT32 Digits = 1;
  while (Digits < 16 && (Number.Value >> (4 * Digits)) != 0) ++Digits;
  if (Digits < Number.Digits) Digits = Number.Digits;
  *this << "0x";
  for (UINT32 Index = Digits; Index > 0; --Index) {
    *this << kDigits[(Number.Value >> (4 * (Index - 1))) & 0xF];
  }
  return *this;
}

const Report &Report::operator<<(Dec Number) const {
  char Text[21];
  UINT32 Length = 0;
  UINT64 Value = Number.Value;
  do {
    Text[Length++] = static_cast<char>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (Length > 0) *this << Text[--Length];
  return *this;
}

const Report &Report::operator<<(Bdf Function) const {
  static const char kDigits[] = "0123456789ABCDEF";
  UINT16 Value = Function.Value;
  return *this << kDigits[Value >> 12] << kDigits[(Value >> 8) & 0xF] << ':'
               << kDigits[(Value >> 7) & 1] << kDigits[(Value >> 3) & 0xF] << '.'
               << kDigits[Value & 7];
}

const Report &Report::operator<<(PciId Id) const {
  static const char kDigits[] = "0123456789ABCDEF";
  for (UINT32 Shift = 16; Shift > 0; Shift -= 4)
    *this << kDigits[(Id.VendorDevice >> (Shift - 4)) & 0xF];
  *this << ':';
  for (UINT32 Shift = 32; Shift > 16; Shift -= 4)
    *this << kDigits[(Id.VendorDevice >> (Shift - 4)) & 0xF];
  return *this;
}

const Report &Report::operator<<(const EFI_GUID &Guid) const {
  static const char kDigits[] = "0123456789ABCDEF";
  auto Digits = [this](UINT64 Value, UINT32 Count) {
    while (Count > 0) {
      --Count;
      *this << kDigits[(Value >> (4 * Count)) & 0xF];
    }
  };
  Digits(Guid.Data1, 8);
  *this << '-';
  Digits(Guid.Data2, 4);
  *this << '-';
  Digits(Guid.Data3, 4);
  *this << '-';
  for (UINT32 Index = 0; Index < 8; ++Index) {
    if (Index == 2) *this << '-';
    Digits(Guid.Data4[Index], 2);
  }
  return *this;
}

VOID Fail(const char *What) {
  Out << "FAIL: " << What << "\n";
  ExitQemu(2);
}

VOID *AllocateZeroed(UINTN Size) {
  VOID *Buffer = nullptr;
  if (EFI_ERROR(gBoot->AllocatePool(EfiBootServicesData, Size, &Buffer))) Fail("out of pool");
  ZeroBytes(Buffer, Size);
  return Buffer;
}

VOID ExitQemu(UINT8 Code) {
  OutByte(FW_EXIT_PORT, Code);
  for (;;) __asm__ volatile("hlt");
}

VOID ZeroBytes(VOID *Buffer, UINTN Size) {
  UINT8 *Bytes = static_cast<UINT8 *>(Buffer);
  for (UINTN Index = 0; Index < Size; ++Index) Bytes[Index] = 0;
}

VOID CopyBytes(VOID *To, const VOID *From, UINTN Size) {
  UINT8 *Target = static_cast<UINT8 *>(To);
  const UINT8 *Source = static_cast<const UINT8 *>(From);
  for (UINTN Index = 0; Index < Size; ++Index) Target[Index] = Source[Index];
}

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  const UINT8 *X = reinterpret_cast<const UINT8 *>(&A);
  const UINT8 *Y = reinterpret_cast<const UINT8 *>(&B);
  for (UINTN Index = 0; Index < sizeof(EFI_GUID); ++Index) {
    if (X[Index] != Y[Index]) return false;
  }
  return true;
}

VOID *ConfigurationTable(const EFI_GUID &Guid) {
  for (UINTN Index = 0; Index < gSystem->NumberOfTableEntries; ++Index) {
    if (SameGuid(gSystem->ConfigurationTable[Index].VendorGuid, Guid)) {
      return gSystem->ConfigurationTable[Index].VendorTable;
    }
  }
  return nullptr;
}

EFI_STATUS OpenBootVolume(EFI_HANDLE ImageHandle) {
  VOID *Interface = nullptr;
  EFI_STATUS Status = gBoot->HandleProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid, &Interface);
  if (EFI_ERROR(Status)) return Status;
  EFI_HANDLE Device = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface)->DeviceHandle;
  Status = gBoot->HandleProtocol(Device, &gEfiSimpleFileSystemProtocolGuid, &Interface);
  if (EFI_ERROR(Status)) return Status;
  auto *FileSystem = static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *>(Interface);
  return FileSystem->OpenVolume(FileSystem, &mRoot);
}

EFI_STATUS ReadBootFile(const CHAR16 *Name, UINT8 **Data, UINTN *Size) {
  constexpr UINTN kLimit = 1 << 20;
  EFI_FILE_PROTOCOL *File = nullptr;
  EFI_STATUS Status = mRoot->Open(mRoot, &File, Name, EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR(Status)) return Status;
  // Pages, not pool: pool is only 8-byte aligned, and the DXE core refuses a volume that lies
  // below the alignment its header asks for (an FDF's usual FvAlignment = 16).
  EFI_PHYSICAL_ADDRESS Buffer = 0;
  Status = gBoot->AllocatePages(AllocateAnyPages, EfiBootServicesData, kLimit / 4096, &Buffer);
  if (!EFI_ERROR(Status)) {
    UINTN Length = kLimit;
    *Data = reinterpret_cast<UINT8 *>(Buffer);
    Status = File->Read(File, &Length, *Data);
    *Size = Length;
  }
  File->Close(File);
  return Status;
}

EFI_STATUS WriteBootFile(const CHAR16 *Name, const VOID *Data, UINTN Size) {
  EFI_FILE_PROTOCOL *File = nullptr;
  EFI_STATUS Status = mRoot->Open(
      mRoot, &File, Name, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE, 0);
  if (EFI_ERROR(Status)) return Status;
  UINTN Length = Size;
  Status = File->Write(File, &Length, const_cast<VOID *>(Data));
  File->Flush(File);
  File->Close(File);
  return Status;
}
