#include "Package.h"

#include <cstdio>
#include <cstring>

#include "BoardInfoProtocol.h"
#include "DriverFiles.h"
#include "PeCoff.h"
#include "RegisterAccessProtocol.h"

namespace fvpack {

namespace {

void Append(Bytes &out, const void *data, size_t size) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  out.insert(out.end(), bytes, bytes + size);
}

void AppendSize24(Bytes &out, size_t size) {
  out.push_back(static_cast<uint8_t>(size));
  out.push_back(static_cast<uint8_t>(size >> 8));
  out.push_back(static_cast<uint8_t>(size >> 16));
}

void AlignTo(Bytes &out, size_t alignment, uint8_t fill) {
  while (out.size() % alignment != 0) out.push_back(fill);
}

// A leaf section: 24-bit size (header included) and type, then the data.
void AppendSection(Bytes &file, uint8_t type, const Bytes &data) {
  AlignTo(file, 4, 0);
  AppendSize24(file, 4 + data.size());
  file.push_back(type);
  Append(file, data.data(), data.size());
}

uint8_t Sum8(const uint8_t *data, size_t size) {
  uint8_t sum = 0;
  for (size_t i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

}  // namespace

const std::vector<Driver> &ShippedDrivers() {
  static const std::vector<Driver> kDrivers = [] {
    std::vector<Driver> drivers;
    for (const DRIVER_FILE &file : kDriverFiles) drivers.push_back({file.Name, file.FileGuid});
    return drivers;
  }();
  return kDrivers;
}

Bytes BuildDepex() {
  Bytes depex;
  depex.push_back(kDepexPush);
  Append(depex, &gBoardInfoProtocolGuid, sizeof(EFI_GUID));
  depex.push_back(kDepexPush);
  Append(depex, &gRegisterAccessProtocolGuid, sizeof(EFI_GUID));
  depex.push_back(kDepexAnd);
  depex.push_back(kDepexEnd);
  return depex;
}

std::string ImageProblem(const Bytes &pe32) { return pecoff::ReadImage(pe32).problem; }

Bytes BuildFfsFile(const Driver &driver, const Bytes &pe32, const Bytes &depex) {
  // Each section's size is a 24-bit field too; the file's is the larger.
  if (pe32.size() >= kFfsMaxFileSize) return {};
  Bytes body;
  AppendSection(body, kSectionPe32, pe32);
  AppendSection(body, kSectionDxeDepex, depex);
  Bytes name;
  for (char c : driver.name) {
    name.push_back(static_cast<uint8_t>(c));
    name.push_back(0);
  }
  name.insert(name.end(), {0, 0});
  AppendSection(body, kSectionUserInterface, name);

  constexpr size_t kHeaderSize = 24;
  if (kHeaderSize + body.size() > kFfsMaxFileSize) return {};
  Bytes file;
  Append(file, &driver.fileGuid, sizeof(EFI_GUID));
  file.push_back(0);  // header checksum, below
  file.push_back(0);  // file checksum, below
  file.push_back(kFileTypeDriver);
  file.push_back(kFileAttributeChecksum);
  AppendSize24(file, kHeaderSize + body.size());
  file.push_back(0);  // state: counted as zero in the header checksum
  // The header sums to zero with State and the file checksum taken as zero.
  file[16] = static_cast<uint8_t>(0x100 - Sum8(file.data(), kHeaderSize));
  // The data sums to zero together with the file checksum.
  file[17] = static_cast<uint8_t>(0x100 - Sum8(body.data(), body.size()));
  // A standalone file carries its state as written; the volume inverts it when it places the
  // file (erase polarity 1).
  file[kFileStateOffset] = kFileStateValid;
  Append(file, body.data(), body.size());
  return file;
}

Bytes BuildFirmwareVolume(const std::vector<Bytes> &files) {
  constexpr size_t kHeaderLength = 56 + 2 * 8;  // fixed part and a one-entry block map
  Bytes fv(kHeaderLength, 0);
  for (const Bytes &file : files) {
    AlignTo(fv, 8, 0xFF);
    const size_t at = fv.size();
    Append(fv, file.data(), file.size());
    // Erase polarity 1: a state bit is set by clearing it, so every state bit is stored inverted.
    fv[at + kFileStateOffset] = static_cast<uint8_t>(~file[kFileStateOffset]);
  }
  AlignTo(fv, kFvBlockSize, 0xFF);

  uint8_t *h = fv.data();
  std::memcpy(h + 16, &kFirmwareFileSystem2Guid, sizeof(EFI_GUID));
  uint64_t length = fv.size();
  std::memcpy(h + 32, &length, 8);
  std::memcpy(h + 40, &kFvSignature, 4);
  std::memcpy(h + 44, &kFvAttributes, 4);
  uint16_t headerLength = kHeaderLength;
  std::memcpy(h + 48, &headerLength, 2);
  h[55] = 2;  // revision
  uint32_t blockMap[4] = {static_cast<uint32_t>(length / kFvBlockSize), kFvBlockSize, 0, 0};
  std::memcpy(h + 56, blockMap, sizeof(blockMap));
  // The header's 16-bit words sum to zero.
  uint16_t sum = 0;
  for (size_t i = 0; i < kHeaderLength; i += 2)
    sum = static_cast<uint16_t>(sum + (h[i] | h[i + 1] << 8));
  uint16_t checksum = static_cast<uint16_t>(0x10000 - sum);
  std::memcpy(h + 50, &checksum, 2);
  return fv;
}

std::string BuildInf(const Driver &driver) {
  char guid[40];
  const EFI_GUID &g = driver.fileGuid;
  std::snprintf(guid, sizeof(guid), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return "## @file\n"
         "#  " +
         driver.name +
         ": prebuilt DXE driver of the board. It starts once the board\n"
         "#  information and register access protocols are installed (see the depex).\n"
         "##\n\n"
         "[Defines]\n"
         "  INF_VERSION    = 0x0001001B\n"
         "  BASE_NAME      = " +
         driver.name +
         "\n"
         "  FILE_GUID      = " +
         guid +
         "\n"
         "  MODULE_TYPE    = DXE_DRIVER\n"
         "  VERSION_STRING = 1.0\n\n"
         "[Binaries.X64]\n"
         "  PE32|" +
         driver.name +
         ".efi|*\n"
         "  DXE_DEPEX|" +
         driver.name + ".depex|*\n";
}

}  // namespace fvpack
