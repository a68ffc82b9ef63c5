// Drop-in packaging of the driver images for a PI firmware: dependency expressions, FFS files,
// a firmware volume holding them, and binary INF files for EDK II platform builds. Layouts follow
// the PI specification, volume 3 (firmware storage).
#ifndef TOOLS_FVPACK_PACKAGE_H_
#define TOOLS_FVPACK_PACKAGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Uefi.h"

namespace fvpack {

using Bytes = std::vector<uint8_t>;

// PI dependency-expression opcodes.
constexpr uint8_t kDepexPush = 0x02;
constexpr uint8_t kDepexAnd = 0x03;
constexpr uint8_t kDepexEnd = 0x08;

// FFS file and section types, attributes and states.
constexpr uint8_t kFileTypeDriver = 0x07;
constexpr uint8_t kSectionPe32 = 0x10;
constexpr uint8_t kSectionDxeDepex = 0x13;
constexpr uint8_t kSectionUserInterface = 0x15;
constexpr uint8_t kFileAttributeChecksum = 0x40;
constexpr uint8_t kFileStateValid = 0x07;      // header construction, header valid, data valid
constexpr size_t kFileStateOffset = 23;        // the last byte of the file header
constexpr uint32_t kFvSignature = 0x4856465F;  // "_FVH"
constexpr uint32_t kFvBlockSize = 0x1000;
// Readable, memory mapped, erased bytes read 0xFF, files 8-byte aligned.
constexpr uint32_t kFvAttributes = 0x00000002 | 0x00000004 | 0x00000400 | 0x00000800 | 0x00030000;

constexpr EFI_GUID kFirmwareFileSystem2Guid = {
    0x8C8CE578, 0x8A3D, 0x4F1C, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};

struct Driver {
  std::string name;  // BoardSlotService: BoardSlotService.efi, its INF and FFS are named so
  EFI_GUID fileGuid;
};

// The drivers we ship, with the fixed FFS file GUIDs a platform's FDF refers to.
const std::vector<Driver> &ShippedDrivers();

// PUSH board information protocol, PUSH register access protocol, AND, END: the drivers start
// only once both protocols they call without a check exist.
Bytes BuildDepex();
// What keeps bytes from being a driver image the package can carry, as a DXE core loads it:
// a PE32+ image for x64 with the EFI boot-service driver subsystem (11), whole and consistent
// as the tools' PE/COFF reader judges it (tools/pecoff). Empty when none.
std::string ImageProblem(const Bytes &pe32);

// An FFS file's size, header included, is a 24-bit field: 16 MiB less one byte at most.
constexpr size_t kFfsMaxFileSize = 0xFFFFFF;
// A standalone FFS file, as GenFfs writes one: State 0x07, not yet inverted for a volume. Empty
// when the file would be larger than its size field can say.
Bytes BuildFfsFile(const Driver &driver, const Bytes &pe32, const Bytes &depex);
// An FFS2 volume of erase polarity 1 holding the standalone files given (each at least a file
// header long), their State bytes inverted as the polarity asks.
Bytes BuildFirmwareVolume(const std::vector<Bytes> &files);
std::string BuildInf(const Driver &driver);

}  // namespace fvpack

#endif  // TOOLS_FVPACK_PACKAGE_H_
