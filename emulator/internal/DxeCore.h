// The platform behind the front door: a DXE core (pool, events, handle database, TPL dispatch,
// images), runtime variables and the configuration table, all answering from one board
// description, with the call log and its faults. The service tables it hands out, and the
// board's protocols, reach the active core through DxeCore::Current(), since UEFI members carry
// no context pointer. Only the emulator's own sources see this header.
#ifndef EMULATOR_INTERNAL_DXE_CORE_H_
#define EMULATOR_INTERNAL_DXE_CORE_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Board.h"
#include "CallLog.h"
#include "Platform.h"
#include "Uefi.h"

namespace emu {

class PciBus;

// Hands a broken rule to the violation handler of the moment (Platform.h).
void ReportViolation(const std::string &what);

class DxeCore {
 public:
  explicit DxeCore(BoardDescription board);
  ~DxeCore();
  DxeCore(const DxeCore &) = delete;
  DxeCore &operator=(const DxeCore &) = delete;

  static DxeCore &Current();

  BoardDescription &Board() { return board_; }
  EFI_SYSTEM_TABLE *SystemTable() { return &systemTable_; }
  EFI_BOOT_SERVICES *BootServices() { return &bootServices_; }
  PciBus &Pci() { return *pci_; }
  // Builds the PCI segment over the board and puts it behind device memory and CPUID
  // (RegisterAccess.cpp).
  void AttachPci();

  // ---- Call log and faults, for the emulated services and protocols ----
  // Logs a call by the current image and tells whether a fault replaces its result.
  CallLog::Site Enter(const char *member, std::vector<uint64_t> args = {}, std::string what = {});
  template <typename T>
  T Leave(const CallLog::Site &site, T result) {
    return log_.Leave(site, result);
  }
  const CallLog &Log() const { return log_; }
  // A lookup of `guid` (LocateProtocol) is never failed by a fault.
  void GuaranteeLookup(const EFI_GUID &guid) {
    log_.Guarantee("BS.LocateProtocol", GuidToString(guid));
  }
  void Violation(const std::string &what) { ReportViolation(what); }
  std::string CurrentImageName() const;

  // ---- Boot services, as the DXE core implements them ----
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer);
  // Pool memory handed to the current image (the caller frees it with FreePool). With
  // `guardTail` the block ends (8-byte aligned) right before an inaccessible page, as under a
  // DXE core's heap guard: a read past its end stops the process.
  void *AllocateCallerPool(size_t size, EFI_MEMORY_TYPE type = EfiBootServicesData,
                           bool guardTail = false);
  EFI_STATUS FreePool(VOID *buffer);
  EFI_STATUS CreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, const VOID *context,
                         const EFI_GUID *group, EFI_EVENT *event);
  EFI_STATUS SignalEvent(EFI_EVENT event);
  void SignalEventGroup(const EFI_GUID &group);
  EFI_STATUS CloseEvent(EFI_EVENT event);
  EFI_STATUS InstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *guid,
                                      EFI_INTERFACE_TYPE type, VOID *interface);
  EFI_STATUS UninstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *guid, VOID *interface);
  EFI_STATUS RegisterProtocolNotify(const EFI_GUID *guid, EFI_EVENT event, VOID **registration);
  EFI_STATUS LocateProtocol(const EFI_GUID *guid, VOID *registration, VOID **interface);
  // A CopyMem source inside emulated device memory reads as the device answers.
  void CopyMem(VOID *destination, const VOID *source, UINTN length);
  void AddMemoryReader(Platform::MemoryReader reader);
  EFI_STATUS GetVariable(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes, UINTN *size,
                         VOID *data);

  // ---- What the platform itself does ----
  EFI_HANDLE InstallProtocol(const EFI_GUID &guid, void *interface, EFI_HANDLE handle = nullptr);
  void *FindProtocol(const EFI_GUID &guid) const;
  size_t CountProtocol(const EFI_GUID &guid) const;

  // ---- Images ----
  void UseImagesFrom(const std::string &dir) { imageDir_ = dir; }
  EFI_STATUS StartImage(const std::string &name);
  bool IsResident(const std::string &name) const;
  void *ImageSymbol(const std::string &name, const char *symbol) const;
  // Runs for every image right after it is loaded, before its entry point.
  void OnImageLoaded(std::function<void(const std::string &name, void *module)> hook);
  void Finish();
  // Runs driver code as the image that holds `code`, so its calls and pool blocks are charged
  // to that image.
  template <typename F>
  auto AsImageOf(const void *code, F &&call) {
    ImageScope scope(*this, ImageIndexOf(code), FunctionName(code));
    return call();
  }
  std::string FunctionName(const void *code) const;
  std::string NotifyFunctionOf(EFI_EVENT event) const;
  // The active core, or null (for a crash handler, which must not abort).
  static DxeCore *Active();
  // The image that holds `code`, "" for none; the function the platform entered last.
  std::string ImageNameOf(const void *code) const;
  const std::string &CurrentFunction() const { return currentFunction_; }

  // ---- The debug log (StatusCode.cpp) ----
  void AddDebugLine(DebugLine line) { debugLines_.push_back(std::move(line)); }
  const std::vector<DebugLine> &DebugLines() const { return debugLines_; }

  // ---- Observations ----
  size_t LivePoolBlocks() const { return pool_.size(); }
  size_t LiveEvents() const;
  size_t LiveRegistrations() const;
  EFI_TPL CurrentTpl() const { return tpl_; }

 private:
  struct Event;
  struct Registration;
  struct Handle;
  struct Interface;
  struct Image;
  struct Allocation {
    size_t size;
    EFI_MEMORY_TYPE type;
    int image;                // owning image, -1 for the platform
    bool inEntryPoint;        // allocated while the owner's entry point ran
    void *mapping = nullptr;  // pages of a guarded block, null for a plain one
    size_t mappingSize = 0;
  };

  class ImageScope {
   public:
    ImageScope(DxeCore &core, int image, std::string function = {});
    ~ImageScope();

   private:
    DxeCore &core_;
    int saved_;
    std::string savedFunction_;
  };

  void BuildTables();  // ServiceTables.cpp
  void DispatchPending();
  void QueueEvent(Event *event);
  Event *LiveEvent(EFI_EVENT event) const;
  Handle *LiveHandle(EFI_HANDLE handle) const;
  void CloseEventRecord(Event *event);
  void ReleaseHandleIfEmpty(Handle *handle);
  int ImageIndexOf(const void *address) const;
  void UnloadImage(int index, bool endOfBoot);
  void CheckPoolAtEnd();
  static void ReleaseBlock(void *block, const Allocation &allocation);

  BoardDescription board_;
  CallLog log_{board_.faults};
  std::vector<uint8_t> hobList_;
  EFI_SYSTEM_TABLE systemTable_{};
  EFI_BOOT_SERVICES bootServices_{};
  EFI_RUNTIME_SERVICES runtimeServices_{};
  std::vector<EFI_CONFIGURATION_TABLE> configurationTable_;
  EFI_TABLE_HEADER dxeServices_{};

  EFI_TPL tpl_ = TPL_APPLICATION;
  int currentImage_ = -1;
  std::string currentFunction_;  // the driver function entered, for the call log
  bool finished_ = false;

  std::map<void *, Allocation> pool_;
  std::vector<std::unique_ptr<Event>> events_;  // closed ones stay, so a stale handle is caught
  std::deque<Event *> pending_;
  std::vector<std::unique_ptr<Registration>> registrations_;
  std::vector<std::unique_ptr<Handle>> handles_;
  std::list<Interface> interfaces_;  // in installation order
  uint64_t installSerial_ = 0;
  std::vector<std::unique_ptr<Image>> images_;
  std::string imageDir_ = HostImageDir();
  std::vector<DebugLine> debugLines_;
  std::vector<std::function<void(const std::string &, void *)>> imageHooks_;
  std::vector<Platform::MemoryReader> memoryReaders_;
  std::unique_ptr<PciBus> pci_;
};

}  // namespace emu

#endif  // EMULATOR_INTERNAL_DXE_CORE_H_
