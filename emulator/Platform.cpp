// The front door: each member hands over to the DXE core behind it.
#include "Platform.h"

#include <cstdio>
#include <cstdlib>

#include "Boot.h"
#include "DxeCore.h"

namespace emu {

namespace {

Platform *gActive = nullptr;

ViolationHandler &Handler() {
  static ViolationHandler handler = [](const std::string &what) {
    std::fprintf(stderr, "emulator: %s\n", what.c_str());
  };
  return handler;
}

}  // namespace

// ---- Violations ---------------------------------------------------------------------------------

void ReportViolation(const std::string &what) { Handler()(what); }

ViolationHandler SetViolationHandler(ViolationHandler handler) {
  ViolationHandler previous = std::move(Handler());
  Handler() = handler ? std::move(handler) : [](const std::string &) {};
  return previous;
}

ViolationCollector::ViolationCollector(std::vector<std::string> &sink, bool forward) {
  outer_ = SetViolationHandler(nullptr);
  ViolationHandler outer = forward ? outer_ : ViolationHandler();
  SetViolationHandler([&sink, outer](const std::string &what) {
    sink.push_back(what);
    if (outer) outer(what);
  });
}

ViolationCollector::~ViolationCollector() { SetViolationHandler(std::move(outer_)); }

// ---- The platform -------------------------------------------------------------------------------

// The board's own protocols are there before any driver starts, in this order.
Platform::Platform(BoardDescription board) : core_(std::make_unique<DxeCore>(std::move(board))) {
  gActive = this;
  if (core_->Board().boardInfoProtocol) InstallBoardInfoProtocol();
  if (core_->Board().smbiosEditProtocol) InstallSmbiosEditProtocol();
  if (core_->Board().registerAccessProtocol) InstallRegisterAccessProtocol();
  if (core_->Board().statusCodeProtocol) InstallStatusCodeProtocol();
}

Platform::~Platform() {
  core_->Finish();
  gActive = nullptr;
}

Platform &Platform::Current() {
  if (gActive == nullptr) {
    std::fprintf(stderr, "emulator: no platform is active\n");
    std::abort();
  }
  return *gActive;
}

BoardDescription &Platform::Board() { return core_->Board(); }
EFI_SYSTEM_TABLE *Platform::SystemTable() { return core_->SystemTable(); }
EFI_BOOT_SERVICES *Platform::BootServices() { return core_->BootServices(); }

void Platform::UseImagesFrom(const std::string &dir) { core_->UseImagesFrom(dir); }
EFI_STATUS Platform::StartImage(const std::string &name) { return core_->StartImage(name); }
bool Platform::IsResident(const std::string &name) const { return core_->IsResident(name); }
void *Platform::ImageSymbol(const std::string &name, const char *symbol) const {
  return core_->ImageSymbol(name, symbol);
}
void Platform::Finish() { core_->Finish(); }

EFI_HANDLE Platform::InstallProtocol(const EFI_GUID &guid, void *interface, EFI_HANDLE handle) {
  return core_->InstallProtocol(guid, interface, handle);
}
void *Platform::FindProtocol(const EFI_GUID &guid) const { return core_->FindProtocol(guid); }
size_t Platform::CountProtocol(const EFI_GUID &guid) const { return core_->CountProtocol(guid); }
void Platform::SignalEventGroup(const EFI_GUID &group) { core_->SignalEventGroup(group); }
PciBus &Platform::Pci() { return core_->Pci(); }
void Platform::AddMemoryReader(MemoryReader reader) { core_->AddMemoryReader(std::move(reader)); }

void Platform::RunAsImageOf(const void *code, const std::function<void()> &call) {
  core_->AsImageOf(code, call);
}
std::string Platform::FunctionName(const void *code) const { return core_->FunctionName(code); }

void Platform::GuaranteeLookups(const std::vector<EFI_GUID> &protocols) {
  for (const EFI_GUID &guid : protocols) core_->GuaranteeLookup(guid);
}

const std::vector<CallRecord> &Platform::Calls() const { return core_->Log().Calls(); }
size_t Platform::CountCalls(const std::string &member) const { return core_->Log().Count(member); }
std::vector<CallRecord> Platform::CallsTo(const std::string &member) const {
  return core_->Log().To(member);
}
size_t Platform::LivePoolBlocks() const { return core_->LivePoolBlocks(); }
size_t Platform::LiveEvents() const { return core_->LiveEvents(); }
size_t Platform::LiveRegistrations() const { return core_->LiveRegistrations(); }
EFI_TPL Platform::CurrentTpl() const { return core_->CurrentTpl(); }
const std::vector<DebugLine> &Platform::DebugLines() const { return core_->DebugLines(); }

std::string DescribeCrash(const void *pc) {
  DxeCore *core = DxeCore::Active();
  if (core == nullptr) return "";
  std::string image = core->ImageNameOf(pc);
  std::string text;
  if (!image.empty()) {
    std::string function = core->FunctionName(pc);
    text = image + " crashed in " +
           (function.empty() ? "code at " + Hex(reinterpret_cast<uintptr_t>(pc)) : function);
    if (!core->CurrentFunction().empty() && core->CurrentFunction() != function) {
      text += " (called from " + core->CurrentFunction() + ")";
    }
  } else {
    text = "the emulator crashed";
    if (!core->CurrentImageName().empty()) {
      text += " while " + core->CurrentImageName() + " ran " + core->CurrentFunction();
    }
  }
  const std::vector<CallRecord> &calls = core->Log().Calls();
  if (calls.empty()) return text + "; no call was made before it";
  const CallRecord &last = calls.back();
  CallText call = DescribeCall(last);
  text += "; the last call: #" + std::to_string(calls.size()) + " " + last.member;
  if (!call.concerns.empty()) text += " " + call.concerns;
  if (!call.arguments.empty()) text += " (" + call.arguments + ")";
  return text + " -> " + call.result + (last.during.empty() ? "" : " in " + last.during);
}

}  // namespace emu
