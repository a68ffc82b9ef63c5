// The report's debug log: the lines the drivers reported, in order, as the platform's
// status-code handler prints them, with the driver, the level and the call that carried each.
#include <sstream>

#include "Boot.h"
#include "DebugLogText.h"
#include "TextTable.h"

namespace emu {

const char *ImageBuildName(ImageBuild build) {
  return build == ImageBuild::kDebug ? "DEBUG" : "RELEASE";
}

std::string DebugLineText(const DebugLine &line) {
  if (!line.unpacked) return "(does not unpack: " + line.problem + ")";
  std::string text = line.text;
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) {
    text.resize(text.size() - 2);
  }
  return EchoText(text, kDebugMessageBufferSize);
}

std::string FormatDebugLog(const BootResult &result) {
  if (result.images == ImageBuild::kRelease && result.debugLines.empty()) return "";
  std::ostringstream out;
  out << "Debug log (" << ImageBuildName(result.images) << " images; each line as "
      << (result.platformChecked ? "the platform's status-code handler prints it"
                                 : "EDK II's status-code handler printed it on the serial port")
      << ")\n";
  if (result.debugLines.empty()) {
    out << "  nothing reported\n";
    return out.str();
  }
  TextTable table({"call", "driver", "level", "line"});
  for (const DebugLine &line : result.debugLines) {
    table.Add({line.call < 0 ? "-" : "#" + std::to_string(line.call + 1),
               line.driver.empty() ? "-" : line.driver,
               line.hasLevel ? DebugLevelName(line.level) : "-",
               DebugLineText(line) +
                   (line.unpacked && !line.problem.empty() ? "  (" + line.problem + ")" : "")});
  }
  table.Print(out);
  return out.str();
}

}  // namespace emu
