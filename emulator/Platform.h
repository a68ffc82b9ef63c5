// The emulated platform's front door: a board description in; images started, protocols
// installed and events signalled as the platform's other drivers would; the drivers' calls, the
// pool and event ledgers and every broken rule out. One Platform is active at a time. What the
// emulated services and protocols use among themselves sits behind it, in the emulator's
// internal headers.
#ifndef EMULATOR_PLATFORM_H_
#define EMULATOR_PLATFORM_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Board.h"
#include "DebugLog.h"
#include "Uefi.h"

namespace emu {

class DxeCore;
class PciBus;

// One call a driver made to the platform.
struct CallRecord {
  std::string member;          // "BS.CreateEvent", "RT.GetVariable", "BoardInfo.GetSlotLocation"
  std::vector<uint64_t> args;  // the integer arguments worth checking (ids, indexes, sizes)
  uint64_t result = 0;         // status or returned value
  std::string image;           // the image whose code made the call; "" for the platform
  // What tells this call from others of its member: the GUID a protocol or notification call
  // names (with the notify function of the event it registers), the notify function of a new
  // event (after its group's GUID, for CreateEventEx) or of the event closed or signalled, the
  // name of a variable, the form set of a setup edit. "" for other members.
  std::string what;
  // The driver function the platform had entered when the call was made: an entry point, a
  // notify function, a protocol member ("SmbiosSlotNotify"). "" for the platform's own code.
  std::string during;
  bool injected = false;  // the result came from a fault of the board description
  // The board description's fault that named this call, by index; -1 for none. A fault that
  // names a call the platform guarantees (a lookup of the dispatch dependency) is refused:
  // the call keeps its own result and `injected` stays false.
  int fault = -1;
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

  // The active platform, for test code that runs where a driver's would (a notify function).
  static Platform &Current();

  // The board as it stands now: the board's protocols write the slot table, the SMBIOS table
  // and the setup menus here.
  BoardDescription &Board();
  // The tables an image's entry point receives.
  EFI_SYSTEM_TABLE *SystemTable();
  EFI_BOOT_SERVICES *BootServices();

  // ---- Images ----
  // The folder StartImage loads images from (HostImageDir() unless set).
  void UseImagesFrom(const std::string &dir);
  // Loads the host build of a driver ("BoardSlotService"), runs its entry point at
  // TPL_APPLICATION, keeps it resident on success and unloads it on an error, as the DXE core
  // does. Returns the entry point's status (EFI_LOAD_ERROR when the image cannot be loaded).
  // The image starts whatever its dependency expression says: holding it back is the boot
  // plan's business, as it is the dispatcher's.
  EFI_STATUS StartImage(const std::string &name);
  bool IsResident(const std::string &name) const;
  // A symbol of a resident image's host build.
  void *ImageSymbol(const std::string &name, const char *symbol) const;
  // Ends the boot: checks pool balance, unloads every image and checks that each is gone.
  // The destructor does it too; calling it first lets a test look at the findings.
  void Finish();

  // ---- What other platform drivers do (at TPL_APPLICATION; notifications run at once) ----
  EFI_HANDLE InstallProtocol(const EFI_GUID &guid, void *interface, EFI_HANDLE handle = nullptr);
  void *FindProtocol(const EFI_GUID &guid) const;
  size_t CountProtocol(const EFI_GUID &guid) const;
  void SignalEventGroup(const EFI_GUID &group);
  // Installs the board information protocol (done at construction unless the board leaves it
  // out).
  void InstallBoardInfoProtocol();
  // Installs the SMBIOS edit protocol over the board's SMBIOS table (likewise).
  void InstallSmbiosEditProtocol();
  // Installs the register access protocol over the board's PCI segment (likewise).
  void InstallRegisterAccessProtocol();
  // Installs the Status Code Runtime Protocol, whose handler keeps the debug log (likewise).
  void InstallStatusCodeProtocol();
  // The board's PCI segment: configuration space, device memory, the drivers' writes.
  PciBus &Pci();
  // Serves a CopyMem from `from`: true when it did. Readers added later are asked after the
  // platform's own (device memory); a CopyMem that no reader serves copies host memory.
  using MemoryReader = std::function<bool(void *to, const void *from, size_t length)>;
  void AddMemoryReader(MemoryReader reader);

  // Runs driver code (a notify function, a protocol member) as the image that holds `code`,
  // so its calls and pool blocks are charged to that image. Returns what `call` returns.
  template <typename F>
  auto AsImageOf(const void *code, F &&call) {
    using Result = decltype(call());
    if constexpr (std::is_void_v<Result>) {
      RunAsImageOf(code, [&] { call(); });
    } else {
      std::optional<Result> result;
      RunAsImageOf(code, [&] { result.emplace(call()); });
      return std::move(*result);
    }
  }
  // The name of the driver function at `code` ("RootPortAdjustNotify"); "" when no function of
  // a loaded image holds that address.
  std::string FunctionName(const void *code) const;

  // The protocols the drivers' dispatch dependency guarantees: a driver looks them up without
  // a check, since the dispatcher starts it only once they are installed. A fault on such a
  // lookup is refused (CallRecord::fault names it, nothing is injected).
  void GuaranteeLookups(const std::vector<EFI_GUID> &protocols);

  // ---- Observations ----
  const std::vector<CallRecord> &Calls() const;
  size_t CountCalls(const std::string &member) const;
  std::vector<CallRecord> CallsTo(const std::string &member) const;
  size_t LivePoolBlocks() const;
  size_t LiveEvents() const;
  size_t LiveRegistrations() const;
  EFI_TPL CurrentTpl() const;
  // The debug log: each status code the drivers reported, as the handler read it.
  const std::vector<DebugLine> &DebugLines() const;

 private:
  void RunAsImageOf(const void *code, const std::function<void()> &call);

  std::unique_ptr<DxeCore> core_;
};

// What the active platform was running when the process took a fatal signal at `pc`: the
// image and driver function that hold `pc` (or, for a fault outside any image, the function
// the platform had entered) and the last call a driver made, as one line. "" when no platform
// is active. For a crash handler: it reads the platform as the crash left it.
std::string DescribeCrash(const void *pc);

// The two builds of each driver: RELEASE, the shipped one, and DEBUG, which reports to the
// platform's debug log.
enum class ImageBuild { kRelease, kDebug };
// Where the host builds of the drivers live: the build's image directory, or its DEBUG folder,
// unless the BOARDSIM_IMAGE_DIR environment variable names another for either.
std::string HostImageDir(ImageBuild build = ImageBuild::kRelease);
std::string HostImagePath(const std::string &name, const std::string &dir = HostImageDir());

}  // namespace emu

#endif  // EMULATOR_PLATFORM_H_
