// The firmware interfaces the real-firmware platform application uses beyond what the drivers
// need: DXE services, firmware volumes, device paths, loaded image, simple file system, SMBIOS
// and ACPI layouts, from the UEFI, PI and ACPI specifications.
#ifndef TOOLS_FWPLATFORM_FW_UEFI_H_
#define TOOLS_FWPLATFORM_FW_UEFI_H_

#include "Uefi.h"

// ---- DXE services (PI volume 2) ----
typedef EFI_STATUS(EFIAPI *DXE_DISPATCH)(VOID);
typedef EFI_STATUS(EFIAPI *DXE_PROCESS_FIRMWARE_VOLUME)(const VOID *FirmwareVolumeHeader,
                                                        UINTN Size, EFI_HANDLE *Handle);
struct DXE_SERVICES {
  EFI_TABLE_HEADER Hdr;
  VOID *GcdServices[13];
  DXE_DISPATCH Dispatch;
  VOID *Schedule;
  VOID *Trust;
  DXE_PROCESS_FIRMWARE_VOLUME ProcessFirmwareVolume;
  VOID *SetMemorySpaceCapabilities;
};
static_assert(offsetof(DXE_SERVICES, Dispatch) == 0x80, "DXE services layout");
static_assert(offsetof(DXE_SERVICES, ProcessFirmwareVolume) == 0x98, "DXE services layout");

// ---- Firmware volumes (PI volume 3) ----
constexpr EFI_GUID gEfiFirmwareVolume2ProtocolGuid = {
    0x220E73B6, 0x6BDB, 0x4413, {0x84, 0x05, 0xB9, 0x74, 0xB1, 0x08, 0x61, 0x9A}};
struct EFI_FIRMWARE_VOLUME2_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_FV_READ_FILE)(const EFI_FIRMWARE_VOLUME2_PROTOCOL *This,
                                             const EFI_GUID *NameGuid, VOID **Buffer,
                                             UINTN *BufferSize, UINT8 *FoundType,
                                             UINT32 *FileAttributes, UINT32 *AuthenticationStatus);
struct EFI_FIRMWARE_VOLUME2_PROTOCOL {
  VOID *GetVolumeAttributes;
  VOID *SetVolumeAttributes;
  EFI_FV_READ_FILE ReadFile;
};
static_assert(offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, ReadFile) == 0x10, "FV2 protocol layout");

// ---- Device paths: a volume's handle carries a PIWG firmware-volume node with its name ----
constexpr EFI_GUID gEfiDevicePathProtocolGuid = {
    0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
constexpr UINT8 kMediaDevicePath = 0x04;
constexpr UINT8 kMediaPiwgFirmwareFile = 0x06;
constexpr UINT8 kMediaPiwgFirmwareVolume = 0x07;
constexpr UINT8 kEndDevicePath = 0x7F;

// ---- Loaded image ----
struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  VOID *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  VOID *Unload;
};
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 0x18, "loaded image layout");

// ---- Simple file system ----
constexpr EFI_GUID gEfiSimpleFileSystemProtocolGuid = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
struct EFI_FILE_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_FILE_OPEN)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle,
                                          const CHAR16 *FileName, UINT64 OpenMode,
                                          UINT64 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_FILE_CLOSE)(EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_IO)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_FLUSH)(EFI_FILE_PROTOCOL *This);
struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_FILE_OPEN Open;
  EFI_FILE_CLOSE Close;
  VOID *Delete;
  EFI_FILE_IO Read;
  EFI_FILE_IO Write;
  VOID *GetPosition;
  VOID *SetPosition;
  VOID *GetInfo;
  VOID *SetInfo;
  EFI_FILE_FLUSH Flush;
};
static_assert(offsetof(EFI_FILE_PROTOCOL, Flush) == 0x50, "file protocol layout");
struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_STATUS(EFIAPI *OpenVolume)(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root);
};
constexpr UINT64 EFI_FILE_MODE_READ = 0x1;
constexpr UINT64 EFI_FILE_MODE_WRITE = 0x2;
constexpr UINT64 EFI_FILE_MODE_CREATE = 0x8000000000000000ull;

// ---- SMBIOS (PI volume 5) ----
constexpr EFI_GUID gEfiSmbiosProtocolGuid = {
    0x03583FF6, 0xCB36, 0x4940, {0x94, 0x7E, 0xB9, 0xB3, 0x9F, 0x4A, 0xFA, 0xF7}};
constexpr EFI_GUID gEfiSmbiosTableGuid = {
    0xEB9D2D31, 0x2D88, 0x11D3, {0x9A, 0x16, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
constexpr EFI_GUID gEfiSmbios3TableGuid = {
    0xF2FD1544, 0x9794, 0x4A2C, {0x99, 0x2E, 0xE5, 0xBB, 0xCF, 0x20, 0xE3, 0x94}};
struct EFI_SMBIOS_PROTOCOL;
struct EFI_SMBIOS_TABLE_HEADER {
  UINT8 Type;
  UINT8 Length;
  UINT16 Handle;
};
typedef EFI_STATUS(EFIAPI *EFI_SMBIOS_ADD)(EFI_SMBIOS_PROTOCOL *This, EFI_HANDLE ProducerHandle,
                                           UINT16 *SmbiosHandle, EFI_SMBIOS_TABLE_HEADER *Record);
typedef EFI_STATUS(EFIAPI *EFI_SMBIOS_REMOVE)(EFI_SMBIOS_PROTOCOL *This, UINT16 SmbiosHandle);
typedef EFI_STATUS(EFIAPI *EFI_SMBIOS_GET_NEXT)(const EFI_SMBIOS_PROTOCOL *This,
                                                UINT16 *SmbiosHandle, UINT8 *Type,
                                                EFI_SMBIOS_TABLE_HEADER **Record,
                                                EFI_HANDLE *ProducerHandle);
struct EFI_SMBIOS_PROTOCOL {
  EFI_SMBIOS_ADD Add;
  VOID *UpdateString;
  EFI_SMBIOS_REMOVE Remove;
  EFI_SMBIOS_GET_NEXT GetNext;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
};

// SMBIOS 3.0 entry point structure.
#pragma pack(push, 1)
struct SMBIOS3_ENTRY_POINT {
  UINT8 AnchorString[5];  // "_SM3_"
  UINT8 EntryPointChecksum;
  UINT8 EntryPointLength;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
  UINT8 DocRev;
  UINT8 EntryPointRevision;
  UINT8 Reserved;
  UINT32 TableMaximumSize;
  UINT64 TableAddress;
};
#pragma pack(pop)
static_assert(sizeof(SMBIOS3_ENTRY_POINT) == 24, "SMBIOS 3.0 entry point layout");

// ---- ACPI: the MCFG table names the ECAM window ----
constexpr EFI_GUID gEfiAcpi20TableGuid = {
    0x8868E871, 0xE4F1, 0x11D3, {0xBC, 0x22, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

#endif  // TOOLS_FWPLATFORM_FW_UEFI_H_
