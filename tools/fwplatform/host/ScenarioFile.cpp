#include "ScenarioFile.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "PciAccess.h"
#include "PciBoard.h"
#include "Scenario.h"

namespace fw {

namespace {

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%02x", value);
  return text;
}

bool FillStackBus(const emu::BoardDescription &board, FW_SCENARIO &file, std::string &why) {
  const emu::Hob *hob = emu::FindStackBusHob(board);
  if (hob == nullptr) return true;
  const size_t data = hob->body.size() - sizeof(EFI_GUID);
  if (data < STACK_BUS_TABLE_OFFSET || data - STACK_BUS_TABLE_OFFSET > FW_MAX_STACK_BUS_BYTES) {
    why = "the stack-bus HOB's size cannot be given to real firmware";
    return false;
  }
  file.StackBusBytes = static_cast<uint32_t>(data - STACK_BUS_TABLE_OFFSET);
  std::memcpy(file.StackBus, hob->body.data() + sizeof(EFI_GUID) + STACK_BUS_TABLE_OFFSET,
              file.StackBusBytes);
  return true;
}

bool FillSetup(const emu::BoardDescription &board, FW_SCENARIO &file, std::string &why) {
  const emu::Variable *setup = board.FindVariable(u"Setup", gSetupVariableGuid);
  if (setup == nullptr) return true;
  if (setup->data.empty()) {
    why = "a Setup variable of no bytes, which UEFI cannot hold (SetVariable deletes it)";
    return false;
  }
  if (setup->data.size() > FW_MAX_SETUP_SIZE) {
    why = "a Setup variable over " + std::to_string(FW_MAX_SETUP_SIZE) + " bytes";
    return false;
  }
  file.SetupPresent = 1;
  file.SetupSize = static_cast<uint32_t>(setup->data.size());
  std::memcpy(file.Setup, setup->data.data(), setup->data.size());
  return true;
}

// Root ports are QEMU's: each bus of root ports is a PCIe expander bus with that number, and
// each root port sits at its device and function there. Endpoints are stood in for.
bool FillPci(const emu::BoardDescription &board, FW_SCENARIO &file, RunRequest &request,
             std::string &why) {
  std::map<uint8_t, std::vector<uint16_t>> portsByBus;
  for (const auto &[bdf, function] : board.pci) {
    if (!function.rootPort) continue;
    if (file.RootPortCount == FW_MAX_ROOT_PORTS) {
      why = "more root ports than a run can hold";
      return false;
    }
    if (BdfBus(bdf) == 0) {
      why = "root port " + emu::BdfText(bdf) + " on bus 0, which the machine's own devices hold";
      return false;
    }
    file.RootPorts[file.RootPortCount++] = {bdf, 0, function.register15C};
    portsByBus[BdfBus(bdf)].push_back(bdf);
  }
  int chassis = 1;
  for (const auto &[bus, ports] : portsByBus) {
    std::string expander = "pxb" + Hex2(bus);
    request.qemuArgs.push_back("-device");
    request.qemuArgs.push_back("pxb-pcie,id=" + expander + ",bus_nr=" + std::to_string(bus) +
                               ",bus=pcie.0");
    for (uint16_t bdf : ports) {
      // The firmware gives each port the buses it asks to keep beyond its secondary bus, so
      // the numbers come out as the board has them. No port asks for I/O space: with a 4 KiB
      // window each, a few dozen ports exhaust the 64 KiB and the firmware stops.
      const emu::PciFunction &port = board.pci.at(bdf);
      const int reserve =
          port.subordinateBus > port.secondaryBus ? port.subordinateBus - port.secondaryBus : 0;
      request.qemuArgs.push_back("-device");
      request.qemuArgs.push_back("pcie-root-port,id=rp" + std::to_string(chassis) +
                                 ",bus=" + expander + ",chassis=" + std::to_string(chassis) +
                                 ",slot=0,addr=0x" + Hex2(BdfDevice(bdf)) + "." +
                                 std::to_string(BdfFunction(bdf)) +
                                 ",io-reserve=0,bus-reserve=" + std::to_string(reserve));
      ++chassis;
    }
  }
  for (const auto &[bdf, function] : board.pci) {
    if (function.rootPort) continue;
    const emu::PciFunction *parent = nullptr;
    uint16_t parentBdf = 0;
    for (const auto &[portBdf, port] : board.pci) {
      if (port.rootPort && port.secondaryBus <= BdfBus(bdf) && BdfBus(bdf) <= port.subordinateBus) {
        parent = &port;
        parentBdf = portBdf;
      }
    }
    if (parent == nullptr) {
      why = "endpoint " + emu::BdfText(bdf) + " is below no root port";
      return false;
    }
    if (file.StandInCount == FW_MAX_STAND_INS) {
      why = "more endpoints than a run can hold";
      return false;
    }
    FW_STAND_IN &standIn = file.StandIns[file.StandInCount++];
    standIn.RootPortBdf = parentBdf;
    standIn.BusOffset = static_cast<uint8_t>(BdfBus(bdf) - parent->secondaryBus);
    standIn.DeviceFunction = static_cast<uint8_t>(bdf & 0xFF);
    standIn.VendorId = function.vendorId;
    standIn.DeviceId = function.deviceId;
    standIn.Command = function.command;
    standIn.Memory = function.memory;
    std::memcpy(standIn.Mac, function.mac.data(), 6);
  }
  return true;
}

}  // namespace

bool FirmwareBuildsType(uint8_t type) {
  static const std::set<uint8_t> kTypes = {0, 1, 3, 4, 16, 17, 19, 32, 127};
  return kTypes.count(type) != 0;
}

// The board's structures of other types go in through -smbios file=.
bool PrepareRun(const emu::BoardDescription &board, RunRequest &request, std::string &why) {
  if (!board.boardInfoProtocol || !board.registerAccessProtocol || !board.smbiosEditProtocol ||
      !board.statusCodeProtocol || !board.hobListPresent || !board.dxeServicesPresent ||
      board.rawHobList || !board.faults.empty()) {
    why = "real firmware always has the board's protocols and tables, and takes no faults";
    return false;
  }
  auto file = std::make_unique<FW_SCENARIO>();
  std::memset(file.get(), 0, sizeof(FW_SCENARIO));
  file->Magic = FW_SCENARIO_MAGIC;
  file->Version = FW_SCENARIO_VERSION;
  static_assert(std::size(FW_SCENARIO{}.BoardBytes) == emu::kBoardByteCount);
  static_assert(std::size(FW_SCENARIO{}.Slots) == emu::kSlotTableSize);
  for (const auto &[id, value] : board.boardBytes) {
    if (id >= emu::kBoardByteCount) {
      why = "board byte " + std::to_string(id) + " is beyond the run's board bytes";
      return false;
    }
    file->BoardBytes[id] = value;
  }
  for (const auto &[index, code] : board.slots) {
    if (index >= emu::kSlotTableSize) {
      why = "slot index " + std::to_string(index) + " is beyond the run's slot table";
      return false;
    }
    file->Slots[index] = code;
  }
  file->CpuidEax = board.cpuidEax;
  file->Flags = request.holdForDebugger ? FW_SCENARIO_HOLD_FOR_DEBUGGER : 0;
  if (!FillStackBus(board, *file, why) || !FillSetup(board, *file, why) ||
      !FillPci(board, *file, request, why)) {
    return false;
  }
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(file.get());
  request.files["scenario.bin"].assign(bytes, bytes + sizeof(FW_SCENARIO));
  request.cpu = QemuCpuFor(board.cpuidEax);
  for (const emu::SmbiosStructure &structure : board.smbios.Structures()) {
    if (!FirmwareBuildsType(structure.Type())) request.smbiosStructures.push_back(structure.bytes);
  }
  request.filesBack = {"smbios-before.bin", "smbios-after.bin"};
  return true;
}

}  // namespace fw
