// The trace: every call the drivers made to the platform, in order, each decoded into what it
// concerns, the arguments worth seeing and its result. It stands in for the debug log that
// the drivers must not write.
#include <sstream>

#include "BoardHookProtocol.h"
#include "Boot.h"
#include "DebugLogText.h"
#include "DriverFiles.h"
#include "Faults.h"
#include "PciBoard.h"
#include "SetupEditProtocol.h"
#include "SmbiosEditProtocol.h"
#include "TextTable.h"
#include "TriggerProtocols.h"

namespace emu {

namespace {

std::string Decimal(uint64_t value) { return std::to_string(value); }

std::string MemoryTypeName(uint64_t type) {
  switch (type) {
    case EfiBootServicesCode:
      return "EfiBootServicesCode";
    case EfiBootServicesData:
      return "EfiBootServicesData";
    case EfiRuntimeServicesData:
      return "EfiRuntimeServicesData";
    default:
      return "memory type " + Decimal(type);
  }
}

std::string EventTypeName(uint64_t type) {
  return type == EVT_NOTIFY_SIGNAL ? "EVT_NOTIFY_SIGNAL" : "type " + Hex(type);
}

std::string TplName(uint64_t tpl) {
  switch (tpl) {
    case TPL_APPLICATION:
      return "TPL_APPLICATION";
    case TPL_CALLBACK:
      return "TPL_CALLBACK";
    case TPL_NOTIFY:
      return "TPL_NOTIFY";
    default:
      return "TPL " + Decimal(tpl);
  }
}

std::string BoardByteName(uint64_t id) {
  switch (id) {
    case BOARD_BYTE_KVRN_CONFIG:
      return "board byte 191 (KVRN configuration)";
    case BOARD_BYTE_RISER_TYPE:
      return "board byte 192 (riser type)";
    case BOARD_BYTE_KVRN_UNAVAILABLE:
      return "board byte 200 (KVRN unavailable)";
    default:
      return "board byte " + Decimal(id);
  }
}

// "GUID Function" as the call log keeps a registration: the GUID's name and the function.
std::pair<std::string, std::string> GuidAndFunction(const std::string &what) {
  size_t space = what.find(' ');
  if (space == std::string::npos) return {GuidName(what), ""};
  return {GuidName(what.substr(0, space)), what.substr(space + 1)};
}

std::string Result(const CallRecord &call) {
  const PlatformMember *member = FindPlatformMember(call.member);
  std::string text;
  if (member == nullptr) {
    text = Hex(call.result);
  } else if (member->result == MemberResult::kStatus) {
    text = StatusName(call.result);
  } else if (member->result == MemberResult::kNothing) {
    text = "-";
  } else if (call.member == "BoardInfo.QueryBoardByte") {
    text = Hex(call.result, 2);
  } else if (call.member == "BoardInfo.GetSlotLocation") {
    text = Hex(call.result, 6);
  } else {
    text = Hex(call.result);
  }
  if (call.injected) return text + " (fault)";
  if (call.fault >= 0) return text + " (fault refused)";
  return text;
}

}  // namespace

std::string GuidName(const std::string &guid) {
  static const std::pair<EFI_GUID, const char *> kNames[] = {
      {gBoardInfoProtocolGuid, "board information protocol"},
      {gRegisterAccessProtocolGuid, "register access protocol"},
      {gSmbiosEditProtocolGuid, "SMBIOS edit protocol"},
      {gSetupEditProtocolGuid, "setup edit protocol"},
      {gSlotRecordsTriggerProtocolGuid, "slot-records trigger protocol"},
      {gRootPortAdjustTriggerProtocolGuid, "root-port adjustment trigger protocol"},
      {gBoardHookProtocolGuid, "board hook protocol"},
      {gEfiEventReadyToBootGuid, "ReadyToBoot event group"},
      {gEfiLoadedImageProtocolGuid, "loaded image protocol"},
      {gSetupVariableGuid, "Setup variable GUID"},
      {gEfiStatusCodeRuntimeProtocolGuid, "status code protocol"},
  };
  for (const auto &[value, name] : kNames) {
    if (GuidToString(value) == guid) return name;
  }
  for (const DRIVER_FILE &file : kDriverFiles) {
    if (GuidToString(file.FileGuid) == guid) return std::string(file.Name) + "'s file";
  }
  return guid;
}

CallText DescribeCall(const CallRecord &call) {
  auto arg = [&call](size_t i) { return i < call.args.size() ? call.args[i] : 0; };
  const std::string &m = call.member;
  CallText text;
  if (m == "BS.AllocatePool") {
    text.arguments = MemoryTypeName(arg(0)) + ", " + Decimal(arg(1)) + " bytes";
  } else if (m == "BS.CreateEvent" || m == "BS.CreateEventEx") {
    if (m == "BS.CreateEventEx") {
      auto [group, function] = GuidAndFunction(call.what);
      text.concerns = group + ", notify " + function;
    } else {
      text.concerns = "notify " + call.what;
    }
    text.arguments = EventTypeName(arg(0)) + ", " + TplName(arg(1));
  } else if (m == "BS.RegisterProtocolNotify") {
    auto [protocol, function] = GuidAndFunction(call.what);
    text.concerns = protocol + " -> " + function;
  } else if (m == "BS.InstallProtocolInterface" || m == "BS.UninstallProtocolInterface" ||
             m == "BS.LocateProtocol") {
    text.concerns = GuidName(call.what);
  } else if (m == "BS.CloseEvent" || m == "BS.SignalEvent") {
    text.concerns = call.what.empty() ? "" : "event of " + call.what;
  } else if (m == "BS.CopyMem") {
    text.arguments = Decimal(arg(0)) + " bytes";
  } else if (m == "BS.SetMem") {
    text.arguments = Decimal(arg(0)) + " bytes of " + Hex(arg(1), 2);
  } else if (m == "RT.GetVariable") {
    text.concerns = "variable \"" + call.what + "\"";
    text.arguments = "buffer of " + Decimal(arg(0)) + " bytes";
  } else if (m == "BoardInfo.QueryBoardByte") {
    text.concerns = BoardByteName(arg(0));
  } else if (m == "BoardInfo.GetSlotLocation") {
    text.concerns = "slot " + Decimal(arg(0));
  } else if (m == "BoardInfo.SetSlotLocation") {
    text.concerns = "slot " + Decimal(arg(0));
    text.arguments = "code " + Hex(arg(1), 6);
  } else if (m == "BoardInfo.InitNotify") {
    text.arguments = Decimal(arg(0));
  } else if (m == "RegisterAccess.GetRegisterAddress" && !call.args.empty()) {
    uint64_t word = arg(0);
    text.concerns =
        BdfText(PciBdf(static_cast<uint8_t>(word >> 20), (word >> 15) & 0x1F, (word >> 12) & 7)) +
        " +" + Hex(word & 0xFFF, 3);
    if (arg(1) != 0 || arg(2) != REG_ACCESS_KIND_PCI_CONFIG || arg(3) != 0) {
      text.arguments =
          "record " + Hex(word, 8) + " " + Hex(arg(1)) + " " + Hex(arg(2)) + " " + Hex(arg(3));
    }
  } else if (m == "StatusCode.ReportStatusCode") {
    text.concerns = call.what.empty() ? "no caller" : "caller " + GuidName(call.what);
    text.arguments =
        ((arg(0) & EFI_STATUS_CODE_TYPE_MASK) == EFI_DEBUG_CODE ? std::string("EFI_DEBUG_CODE")
                                                                : "type " + Hex(arg(0))) +
        ", " + Hex(arg(1), 8) + ", instance " + Decimal(arg(2)) +
        (call.args.size() > 3 ? ", " + DebugLevelName(static_cast<uint32_t>(arg(3))) : "");
  } else if (m == "CPU.Cpuid") {
    text.concerns = "leaf " + Decimal(arg(0));
  } else if (m == "Smbios.InsertRecord") {
    text.arguments = Decimal(arg(0)) + " bytes";
  } else if (m == "Smbios.RemoveRecord") {
    text.concerns = "handle " + Hex(arg(0), 4);
  } else if (m == "Smbios.FindRecordByType") {
    text.concerns = "type " + Decimal(arg(0)) + ", instance " + Decimal(arg(1));
  } else if (m == "Smbios.ReplaceRecord") {
    text.concerns = "handle " + Hex(arg(0), 4);
    text.arguments = Decimal(arg(1)) + " bytes";
  } else if (m.rfind("SetupEdit.", 0) == 0) {
    text.concerns = "\"" + call.what + "\" " + Decimal(arg(0));
  } else {
    text.concerns = call.what;
    for (uint64_t value : call.args)
      text.arguments += (text.arguments.empty() ? "" : " ") + Hex(value);
  }
  text.result = Result(call);
  return text;
}

std::string FormatTrace(const BootResult &result) {
  std::ostringstream out;
  out << "Calls the drivers made to the platform, in order (" << result.calls.size() << ")\n";
  TextTable table({"#", "driver", "function", "member", "concerns", "arguments", "result"});
  for (size_t i = 0; i < result.calls.size(); ++i) {
    const CallRecord &call = result.calls[i];
    CallText text = DescribeCall(call);
    // A report shows the line it carried.
    for (const DebugLine &line : result.debugLines) {
      if (line.call != static_cast<long>(i)) continue;
      text.concerns = line.unpacked ? "\"" + DebugLineText(line) + "\"" : DebugLineText(line);
    }
    table.Add({std::to_string(i + 1), call.image.empty() ? "-" : call.image,
               call.during.empty() ? "-" : call.during, call.member,
               text.concerns.empty() ? "-" : text.concerns,
               text.arguments.empty() ? "-" : text.arguments, text.result});
  }
  if (table.Rows() == 0) {
    out << "  none recorded\n";
  } else {
    table.Print(out);
  }
  return out.str();
}

}  // namespace emu
