// The emulated platform: a DXE core (pool, events, handle database, TPL dispatch), runtime
// variables, the configuration table and the outside protocols the drivers call, all answering
// from one board description. One Platform is active at a time; the service tables it hands out
// reach it through Platform::Current(), since UEFI members carry no context pointer.
#ifndef EMULATOR_PLATFORM_H_
#define EMULATOR_PLATFORM_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Board.h"
#include "Uefi.h"

namespace emu {

class PciBus;

// One call a driver made to the platform.
struct CallRecord {
  std::string member;          // "BS.CreateEvent", "RT.GetVariable", "BoardInfo.GetSlotLocation"
  std::vector<uint64_t> args;  // the integer arguments worth checking (ids, indexes, sizes)
  uint64_t result = 0;         // status or returned value
  std::string image;           // the image whose code made the call; "" for the platform
  // What tells this call from others of its member: the GUID a protocol or notification call
  // names (with the notify function of the event it registers), the notify function of a new
  // event, the name of a variable. "" for other members.
  std::string what;
  // The driver function the platform had entered when the call was made: an entry point, a
  // notify function, a protocol member ("SmbiosSlotNotify"). "" for the platform's own code.
  std::string during;
  bool injected = false;  // the result came from a fault of the board description
};

// Every broken rule (leak, double free, unexpected service, dangling registration) is reported
// here as it happens. The default handler prints to stderr; tests make it a test failure.
using ViolationHandler = std::function<void(const std::string &)>;
// Installs a handler and returns the one it replaces.
ViolationHandler SetViolationHandler(ViolationHandler handler);

// Collects the violations reported while it lives; with `forward`, the handler it displaced
// still sees each of them (so a test that does not expect them still fails).
class ViolationCollector {
 public:
  explicit ViolationCollector(std::vector<std::string> &sink, bool forward = true);
  ~ViolationCollector();
  ViolationCollector(const ViolationCollector &) = delete;
  ViolationCollector &operator=(const ViolationCollector &) = delete;

 private:
  ViolationHandler outer_;
};

class Platform {
 public:
  explicit Platform(BoardDescription board);
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  static Platform &Current();

  // The board as it stands now: the board information protocol writes its slot table here.
  BoardDescription &Board() { return board_; }
  EFI_SYSTEM_TABLE *SystemTable() { return &systemTable_; }
  EFI_BOOT_SERVICES *BootServices() { return &bootServices_; }

  // ---- Images ----
  // Loads the host build of a driver ("BoardSlotService"), runs its entry point at
  // TPL_APPLICATION, keeps it resident on success and unloads it on an error, as the DXE core
  // does. Returns the entry point's status (EFI_LOAD_ERROR when the image cannot be loaded).
  // The image starts whatever its dependency expression says: holding it back is the boot
  // plan's business, as it is the dispatcher's.
  EFI_STATUS StartImage(const std::string &name);
  bool IsResident(const std::string &name) const;
  // A symbol of a resident image's host build, for emulator hooks.
  void *ImageSymbol(const std::string &name, const char *symbol) const;
  // Runs for every image right after it is loaded, before its entry point.
  void OnImageLoaded(std::function<void(const std::string &name, void *module)> hook);
  // Ends the boot: checks pool balance, unloads every image and checks that each is gone.
  // The destructor does it too; calling it first lets a test look at the findings.
  void Finish();

  // ---- What other platform drivers do (at TPL_APPLICATION; notifications run at once) ----
  EFI_HANDLE InstallProtocol(const EFI_GUID &guid, void *interface, EFI_HANDLE handle = nullptr);
  void *FindProtocol(const EFI_GUID &guid) const;
  size_t CountProtocol(const EFI_GUID &guid) const;
  void SignalEventGroup(const EFI_GUID &group);
  // Installs the board information protocol (done at construction unless the test asks not).
  void InstallBoardInfoProtocol();
  // Installs the SMBIOS edit protocol over the board's SMBIOS table (done at construction
  // unless the board leaves it out).
  void InstallSmbiosEditProtocol();
  // Installs the register access protocol (likewise).
  void InstallRegisterAccessProtocol();
  // The board's PCI segment: configuration space, device memory, the drivers' writes.
  PciBus &Pci() { return *pci_; }

  // Runs driver code (a notify function, a protocol member) as the image that holds `code`,
  // so its calls and pool blocks are charged to that image.
  template <typename F>
  auto AsImageOf(const void *code, F &&call) {
    ImageScope scope(*this, ImageIndexOf(code), FunctionName(code));
    return call();
  }
  // The name of the driver function at `code` ("RootPortAdjustNotify"); "" when no function of
  // a loaded image holds that address.
  std::string FunctionName(const void *code) const;
  // The notify function of a live event, by name.
  std::string NotifyFunctionOf(EFI_EVENT event) const;

  // ---- Observations ----
  const std::vector<CallRecord> &Calls() const { return calls_; }
  size_t CountCalls(const std::string &member) const;
  std::vector<CallRecord> CallsTo(const std::string &member) const;
  size_t LivePoolBlocks() const { return pool_.size(); }
  size_t LiveEvents() const;
  size_t LiveRegistrations() const;
  EFI_TPL CurrentTpl() const { return tpl_; }

  // ---- For the emulated services and protocols ----
  struct CallSite {
    size_t index;
    std::optional<uint64_t> injected;
  };
  // Logs a call by the current image and tells whether a fault replaces its result.
  CallSite Enter(const char *member, std::vector<uint64_t> args = {}, std::string what = {});
  template <typename T>
  T Leave(const CallSite &site, T result) {
    calls_[site.index].result = static_cast<uint64_t>(result);
    return result;
  }
  void Violation(const std::string &what);
  // Pool memory handed to the current image (the caller frees it with FreePool). With
  // `guardTail` the block ends (8-byte aligned) right before an inaccessible page, as under a
  // DXE core's heap guard: a read past its end stops the process.
  void *AllocateCallerPool(size_t size, EFI_MEMORY_TYPE type = EfiBootServicesData,
                           bool guardTail = false);
  std::string CurrentImageName() const;

  // Boot services, as the DXE core implements them.
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer);
  EFI_STATUS FreePool(VOID *buffer);
  EFI_STATUS CreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify, const VOID *context,
                         const EFI_GUID *group, EFI_EVENT *event);
  EFI_STATUS SignalEvent(EFI_EVENT event);
  EFI_STATUS CloseEvent(EFI_EVENT event);
  EFI_STATUS InstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *guid,
                                      EFI_INTERFACE_TYPE type, VOID *interface);
  EFI_STATUS UninstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *guid, VOID *interface);
  EFI_STATUS RegisterProtocolNotify(const EFI_GUID *guid, EFI_EVENT event, VOID **registration);
  EFI_STATUS LocateProtocol(const EFI_GUID *guid, VOID *registration, VOID **interface);
  // A CopyMem source inside emulated device memory reads as the device answers.
  void CopyMem(VOID *destination, const VOID *source, UINTN length);
  void AddMemoryReader(std::function<bool(void *to, const void *from, size_t length)> reader);
  EFI_STATUS GetVariable(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes, UINTN *size,
                         VOID *data);

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
    ImageScope(Platform &platform, int image, std::string function = {});
    ~ImageScope();

   private:
    Platform &platform_;
    int saved_;
    std::string savedFunction_;
  };

  void BuildTables();
  void AttachPci();
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

  std::vector<CallRecord> calls_;
  std::map<std::string, uint32_t> callCounts_;
  std::map<void *, Allocation> pool_;
  std::vector<std::unique_ptr<Event>> events_;  // closed ones stay, so a stale handle is caught
  std::deque<Event *> pending_;
  std::vector<std::unique_ptr<Registration>> registrations_;
  std::vector<std::unique_ptr<Handle>> handles_;
  std::list<Interface> interfaces_;  // in installation order
  uint64_t installSerial_ = 0;
  std::vector<std::unique_ptr<Image>> images_;
  std::vector<std::function<void(const std::string &, void *)>> imageHooks_;
  std::vector<std::function<bool(void *, const void *, size_t)>> memoryReaders_;
  std::unique_ptr<PciBus> pci_;
};

// Where the host builds of the drivers live (the build's image directory unless the
// BOARDSIM_IMAGE_DIR environment variable names another).
std::string HostImagePath(const std::string &name);

}  // namespace emu

#endif  // EMULATOR_PLATFORM_H_
