#include "FirmwareReport.h"

#include <cstdio>
#include <ostream>
#include <sstream>
#include <vector>

#include "BoardInfoProtocol.h"
#include "RegisterAccessProtocol.h"
#include "SetupEditProtocol.h"
#include "SmbiosEditProtocol.h"
#include "Text.h"

namespace fw {

namespace {

std::vector<std::string> Words(const std::string &line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The protocols the application withdraws from the firmware, by what they are to the drivers.
std::string ProtocolName(const std::string &guid) {
  const std::pair<const EFI_GUID *, const char *> kNames[] = {
      {&gBoardInfoProtocolGuid, "board information protocol"},
      {&gRegisterAccessProtocolGuid, "register access protocol"},
      {&gSmbiosEditProtocolGuid, "SMBIOS edit protocol"},
      {&gSetupEditProtocolGuid, "setup edit protocol"},
  };
  for (const auto &[known, name] : kNames) {
    if (emu::GuidToString(*known) == guid) return std::string(name) + " (" + guid + ")";
  }
  return guid;
}

std::string StatusText(const std::string &text) {
  uint64_t status = 0;
  return emu::ParseNumber(text, UINT64_MAX, status) ? emu::StatusName(status) : text;
}

std::string VolumeText(const std::string &volume) {
  return volume == "unnamed" ? "an unnamed volume" : "volume " + volume;
}

void Row(std::ostream &out, const std::string &what, const std::string &outcome) {
  out << "  " << what << ": " << outcome << "\n";
}

}  // namespace

std::string FormatFirmwareDispatch(const FirmwareBoot &boot) {
  std::ostringstream out;
  const std::string firmware = boot.run.firmware.substr(boot.run.firmware.rfind('/') + 1);
  char heading[200];
  std::snprintf(heading, sizeof(heading), "Real firmware: OVMF under QEMU (%s), %.1f s\n",
                firmware.c_str(), boot.run.seconds);
  out << heading
      << "  the root ports are QEMU's; the endpoints below them are stood in for by the\n"
      << "  register access protocol\n\n"
      << "Dispatch (the firmware's DXE core, held back by the drivers' dependency)\n";

  std::vector<std::string> started;
  for (const DriverImage &image : boot.images) started.push_back(image.name);
  std::istringstream in(boot.dispatch);
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> w = Words(line);
    if (w.size() == 5 && w[0] == "withdrew") {
      Row(out, "withdrawn for the boot", "the firmware's " + ProtocolName(w[4]));
    } else if (w.size() == 2 && w[0] == "status-code-handler") {
      char port[80];
      std::snprintf(port, sizeof(port), "%s, printing on the serial port at 0x%X",
                    StatusText(w[1]).c_str(), kStatusCodeSerialPort);
      Row(out, "EDK II's status-code handler dispatched from StatusCode.fv", port);
    } else if (w.size() == 2 && w[0] == "process-firmware-volume") {
      Row(out, "BoardDrivers.fv handed to ProcessFirmwareVolume", StatusText(w[1]));
    } else if (w.size() == 5 && w[0] == "flash-file") {
      Row(out, w[1], "in the firmware's flash, " + VolumeText(w[3]) + ", held by its dependency");
    } else if (w.size() == 4 && w[0] == "dispatch-without-dependency") {
      Row(out, "Dispatch with no board protocol installed",
          StatusText(w[1]) + (w[3] == "0" ? ", no driver started" : ", a driver started"));
    } else if (w.size() == 4 && w[0] == "dispatch-with-board-information-only") {
      Row(out, "Dispatch with the board information protocol",
          StatusText(w[1]) + (w[3] == "0" ? ", no driver started" : ", a driver started"));
    } else if (w.size() == 4 && w[0] == "dispatch-with-dependency") {
      std::string names;
      for (size_t i = 0; i < started.size(); ++i) {
        names += (i == 0 ? "" : i + 1 == started.size() ? " and " : ", ") + started[i];
      }
      Row(out, "Dispatch with the register access protocol too",
          StatusText(w[1]) + (started.empty() ? ", no driver started" : ", " + names + " started"));
    } else if (w.size() == 4 && w[0] == "started-from") {
      std::string base = "?";
      for (const DriverImage &image : boot.images) {
        if (image.name == w[1]) base = emu::Hex(image.base);
      }
      Row(out, w[1], "loaded at " + base + " from " + VolumeText(w[3]));
    }
  }
  return out.str();
}

}  // namespace fw
