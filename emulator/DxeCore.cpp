// The DXE core behind the front door: pool, events and TPL dispatch, the handle database,
// variables and device memory, and the images it loads, starts and unloads.
#include "DxeCore.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ImageSymbols.h"
#include "PciBus.h"
#include "Text.h"

// Under AddressSanitizer the bytes between a guarded block's end and its guard page are
// poisoned too, so a read just past the block is caught whatever its size.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define EMULATOR_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define EMULATOR_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#endif
#endif
#ifndef EMULATOR_POISON
#define EMULATOR_POISON(address, size) ((void)(address), (void)(size))
#define EMULATOR_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace emu {

constexpr uint64_t kCanonicalLimit = uint64_t{1} << 47;

// ---- Records of the handle database and event machinery ----------------------------------------

struct DxeCore::Event {
  UINT32 type;
  EFI_TPL tpl;
  EFI_EVENT_NOTIFY notify;
  const VOID *context;
  bool inGroup;
  EFI_GUID group;
  int image;  // image that created it
  bool pending = false;
  bool closed = false;
};

struct DxeCore::Registration {
  EFI_GUID guid;
  Event *event;
  std::deque<uint64_t> fresh;  // serials of interfaces installed since the last lookup
  bool live = true;
};

struct DxeCore::Handle {
  bool live = true;
};

struct DxeCore::Interface {
  Handle *handle;
  EFI_GUID guid;
  VOID *interface;
  uint64_t serial;
};

struct DxeCore::Image {
  std::string name;
  std::string path;
  void *module = nullptr;
  EFI_HANDLE handle = nullptr;
  std::vector<std::pair<uintptr_t, uintptr_t>> ranges;  // loaded segments, [begin, end)
  uintptr_t base = 0;  // where the file's addresses start in memory
  std::shared_ptr<const ImageSymbols> symbols;
  bool resident = false;
  struct {
    EFI_HANDLE ParentHandle;
    uintptr_t ImageBase;
  } loadedImage{};
};

namespace {

DxeCore *gActive = nullptr;

bool InRanges(const std::vector<std::pair<uintptr_t, uintptr_t>> &ranges, const void *address) {
  uintptr_t value = reinterpret_cast<uintptr_t>(address);
  for (const auto &[begin, end] : ranges) {
    if (value >= begin && value < end) return true;
  }
  return false;
}

uintptr_t LoadBaseOf(void *module) {
  link_map *map = nullptr;
  if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return 0;
  return map->l_addr;
}

std::vector<std::pair<uintptr_t, uintptr_t>> SegmentsOf(void *module) {
  struct Query {
    void *anySymbolBase;
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
  } query{nullptr, {}};
  link_map *map = nullptr;
  if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
  query.anySymbolBase = reinterpret_cast<void *>(map->l_addr);
  dl_iterate_phdr(
      [](dl_phdr_info *info, size_t, void *data) {
        Query *q = static_cast<Query *>(data);
        if (reinterpret_cast<void *>(info->dlpi_addr) != q->anySymbolBase) return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr) &segment = info->dlpi_phdr[i];
          if (segment.p_type != PT_LOAD) continue;
          uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
          q->ranges.emplace_back(begin, begin + segment.p_memsz);
        }
        return 1;
      },
      &query);
  return query.ranges;
}

}  // namespace

// ---- Construction ------------------------------------------------------------------------------

DxeCore::DxeCore(BoardDescription board) : board_(std::move(board)) {
  if (gActive != nullptr) {
    std::fprintf(stderr, "emulator: only one platform may be active at a time\n");
    std::abort();
  }
  gActive = this;
  BuildTables();
  AttachPci();
}

DxeCore::~DxeCore() {
  Finish();
  gActive = nullptr;
}

DxeCore *DxeCore::Active() { return gActive; }

DxeCore &DxeCore::Current() {
  if (gActive == nullptr) {
    std::fprintf(stderr, "emulator: a service was called with no active platform\n");
    std::abort();
  }
  return *gActive;
}

// ---- Call log ----------------------------------------------------------------------------------

CallLog::Site DxeCore::Enter(const char *member, std::vector<uint64_t> args, std::string what) {
  return log_.Enter(member, std::move(args), std::move(what), CurrentImageName(), currentFunction_);
}

std::string DxeCore::CurrentImageName() const {
  return currentImage_ < 0 ? std::string() : images_[currentImage_]->name;
}

// ---- Pool ---------------------------------------------------------------------------------------

EFI_STATUS DxeCore::AllocatePool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  bool validType = (type < EfiMaxMemoryType && type != EfiConventionalMemory &&
                    type != EfiPersistentMemory && type != EfiUnacceptedMemoryType) ||
                   type >= 0x70000000u;
  if (buffer == nullptr || !validType) return EFI_INVALID_PARAMETER;
  if (size > (UINTN{1} << 32)) return EFI_OUT_OF_RESOURCES;
  void *block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) return EFI_OUT_OF_RESOURCES;
  // Pool memory is not cleared: a driver that reads before writing sees this pattern.
  std::memset(block, 0xAF, size);
  bool inEntry = currentImage_ >= 0 && !images_[currentImage_]->resident;
  pool_[block] = Allocation{size, type, currentImage_, inEntry};
  *buffer = block;
  return EFI_SUCCESS;
}

void *DxeCore::AllocateCallerPool(size_t size, EFI_MEMORY_TYPE type, bool guardTail) {
  void *block = nullptr;
  if (!guardTail) return AllocatePool(type, size, &block) == EFI_SUCCESS ? block : nullptr;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t span = (size + 7) & ~size_t{7};
  const size_t dataPages = (span + page - 1) / page + (span == 0 ? 1 : 0);
  const size_t mappingSize = (dataPages + 1) * page;
  void *mapping =
      mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  uint8_t *guard = static_cast<uint8_t *>(mapping) + dataPages * page;
  mprotect(guard, page, PROT_NONE);
  block = guard - span;
  std::memset(block, 0xAF, size);
  EMULATOR_POISON(static_cast<uint8_t *>(block) + size, span - size);
  bool inEntry = currentImage_ >= 0 && !images_[currentImage_]->resident;
  pool_[block] = Allocation{size, type, currentImage_, inEntry, mapping, mappingSize};
  return block;
}

void DxeCore::ReleaseBlock(void *block, const Allocation &allocation) {
  if (allocation.mapping != nullptr) {
    EMULATOR_UNPOISON(allocation.mapping, allocation.mappingSize);
    munmap(allocation.mapping, allocation.mappingSize);
  } else {
    std::free(block);
  }
}

EFI_STATUS DxeCore::FreePool(VOID *buffer) {
  auto it = pool_.find(buffer);
  if (it == pool_.end()) {
    Violation(CurrentImageName() + " freed " +
              (buffer == nullptr ? "a null pointer"
                                 : "a pointer that is not a live pool block (double free?)"));
    return EFI_INVALID_PARAMETER;
  }
  ReleaseBlock(buffer, it->second);
  pool_.erase(it);
  return EFI_SUCCESS;
}

// ---- Events and TPL dispatch --------------------------------------------------------------------

DxeCore::Event *DxeCore::LiveEvent(EFI_EVENT event) const {
  for (const auto &record : events_) {
    if (record.get() == event) return record->closed ? nullptr : record.get();
  }
  return nullptr;
}

EFI_STATUS DxeCore::CreateEvent(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY notify,
                                const VOID *context, const EFI_GUID *group, EFI_EVENT *event) {
  if (event == nullptr) return EFI_INVALID_PARAMETER;
  const UINT32 notifyBits = type & (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL);
  if (notifyBits == (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL)) return EFI_INVALID_PARAMETER;
  if (notifyBits != 0 && (notify == nullptr || tpl <= TPL_APPLICATION || tpl >= TPL_HIGH_LEVEL)) {
    return EFI_INVALID_PARAMETER;
  }
  if (group != nullptr &&
      (type == EVT_SIGNAL_EXIT_BOOT_SERVICES || type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE)) {
    return EFI_INVALID_PARAMETER;
  }
  auto record = std::make_unique<Event>();
  record->type = type;
  record->tpl = tpl;
  record->notify = notify;
  record->context = context;
  record->inGroup = group != nullptr;
  record->group = group != nullptr ? *group : EFI_GUID{};
  record->image = currentImage_;
  *event = record.get();
  events_.push_back(std::move(record));
  return EFI_SUCCESS;
}

void DxeCore::QueueEvent(Event *event) {
  if ((event->type & EVT_NOTIFY_SIGNAL) == 0 || event->pending) return;
  event->pending = true;
  pending_.push_back(event);
}

EFI_STATUS DxeCore::SignalEvent(EFI_EVENT handle) {
  Event *event = LiveEvent(handle);
  if (event == nullptr) {
    Violation(CurrentImageName() + " signalled an event that does not exist");
    return EFI_INVALID_PARAMETER;
  }
  if (event->inGroup) {
    SignalEventGroup(event->group);
  } else {
    QueueEvent(event);
    DispatchPending();
  }
  return EFI_SUCCESS;
}

void DxeCore::SignalEventGroup(const EFI_GUID &group) {
  for (const auto &record : events_) {
    if (!record->closed && record->inGroup && record->group == group) QueueEvent(record.get());
  }
  DispatchPending();
}

// Runs every pending notification whose TPL is above the current one, highest TPL first and in
// signal order within a TPL. A notification signalled from inside another at the same TPL waits
// until that one returns, as on a real DXE core.
void DxeCore::DispatchPending() {
  for (;;) {
    auto next = pending_.end();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if ((*it)->tpl > tpl_ && (next == pending_.end() || (*it)->tpl > (*next)->tpl)) next = it;
    }
    if (next == pending_.end()) return;
    Event *event = *next;
    pending_.erase(next);
    event->pending = false;
    EFI_TPL saved = tpl_;
    tpl_ = event->tpl;
    AsImageOf(reinterpret_cast<const void *>(event->notify), [&] {
      event->notify(event, const_cast<VOID *>(event->context));
      return 0;
    });
    tpl_ = saved;
  }
}

void DxeCore::CloseEventRecord(Event *event) {
  event->closed = true;
  event->pending = false;
  pending_.erase(std::remove(pending_.begin(), pending_.end(), event), pending_.end());
  for (auto &registration : registrations_) {
    if (registration->event == event) registration->live = false;
  }
}

EFI_STATUS DxeCore::CloseEvent(EFI_EVENT handle) {
  Event *event = LiveEvent(handle);
  if (event == nullptr) {
    Violation(CurrentImageName() + " closed an event that does not exist or is already closed");
    return EFI_INVALID_PARAMETER;
  }
  CloseEventRecord(event);
  return EFI_SUCCESS;
}

size_t DxeCore::LiveEvents() const {
  return static_cast<size_t>(
      std::count_if(events_.begin(), events_.end(), [](const auto &e) { return !e->closed; }));
}

size_t DxeCore::LiveRegistrations() const {
  return static_cast<size_t>(std::count_if(registrations_.begin(), registrations_.end(),
                                           [](const auto &r) { return r->live; }));
}

// ---- Handle database ----------------------------------------------------------------------------

DxeCore::Handle *DxeCore::LiveHandle(EFI_HANDLE handle) const {
  for (const auto &record : handles_) {
    if (record.get() == handle) return record->live ? record.get() : nullptr;
  }
  return nullptr;
}

EFI_STATUS DxeCore::InstallProtocolInterface(EFI_HANDLE *handle, const EFI_GUID *guid,
                                             EFI_INTERFACE_TYPE type, VOID *interface) {
  if (handle == nullptr || guid == nullptr || type != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  Handle *target = nullptr;
  if (*handle != nullptr) {
    target = LiveHandle(*handle);
    if (target == nullptr) return EFI_INVALID_PARAMETER;
    for (const Interface &entry : interfaces_) {
      if (entry.handle == target && entry.guid == *guid) return EFI_INVALID_PARAMETER;
    }
  } else {
    handles_.push_back(std::make_unique<Handle>());
    target = handles_.back().get();
  }
  uint64_t serial = ++installSerial_;
  interfaces_.push_back(Interface{target, *guid, interface, serial});
  *handle = target;
  for (auto &registration : registrations_) {
    if (registration->live && registration->guid == *guid) {
      registration->fresh.push_back(serial);
      QueueEvent(registration->event);
    }
  }
  DispatchPending();
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::UninstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID *guid,
                                               VOID *interface) {
  Handle *target = LiveHandle(handle);
  if (target == nullptr || guid == nullptr) return EFI_INVALID_PARAMETER;
  auto it = std::find_if(interfaces_.begin(), interfaces_.end(), [&](const Interface &entry) {
    return entry.handle == target && entry.guid == *guid && entry.interface == interface;
  });
  if (it == interfaces_.end()) return EFI_NOT_FOUND;
  // The DXE core asks a consumer that opened the interface BY_DRIVER to stop; one that will
  // not keeps the interface installed.
  if (std::any_of(board_.heldOpen.begin(), board_.heldOpen.end(),
                  [&](const EFI_GUID &held) { return held == *guid; })) {
    return EFI_ACCESS_DENIED;
  }
  interfaces_.erase(it);
  ReleaseHandleIfEmpty(target);
  return EFI_SUCCESS;
}

// A handle with no protocol left is freed by the DXE core.
void DxeCore::ReleaseHandleIfEmpty(Handle *handle) {
  if (std::none_of(interfaces_.begin(), interfaces_.end(),
                   [&](const Interface &entry) { return entry.handle == handle; })) {
    handle->live = false;
  }
}

EFI_STATUS DxeCore::RegisterProtocolNotify(const EFI_GUID *guid, EFI_EVENT event,
                                           VOID **registration) {
  Event *record = LiveEvent(event);
  if (guid == nullptr || record == nullptr || registration == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  registrations_.push_back(std::make_unique<Registration>(Registration{*guid, record, {}, true}));
  *registration = registrations_.back().get();
  return EFI_SUCCESS;
}

EFI_STATUS DxeCore::LocateProtocol(const EFI_GUID *guid, VOID *registration, VOID **interface) {
  if (interface == nullptr || guid == nullptr) return EFI_INVALID_PARAMETER;
  *interface = nullptr;
  if (registration != nullptr) {
    // The next interface installed since the last lookup with this key.
    auto it = std::find_if(registrations_.begin(), registrations_.end(),
                           [&](const auto &r) { return r.get() == registration && r->live; });
    if (it == registrations_.end()) return EFI_NOT_FOUND;
    while (!(*it)->fresh.empty()) {
      uint64_t serial = (*it)->fresh.front();
      (*it)->fresh.pop_front();
      for (const Interface &entry : interfaces_) {
        if (entry.serial == serial) {
          *interface = entry.interface;
          return EFI_SUCCESS;
        }
      }
    }
    return EFI_NOT_FOUND;
  }
  for (const Interface &entry : interfaces_) {
    if (entry.guid == *guid) {
      *interface = entry.interface;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_HANDLE DxeCore::InstallProtocol(const EFI_GUID &guid, void *interface, EFI_HANDLE handle) {
  ImageScope scope(*this, -1);
  EFI_STATUS status = InstallProtocolInterface(&handle, &guid, EFI_NATIVE_INTERFACE, interface);
  if (EFI_ERROR(status)) {
    Violation("the platform could not install " + GuidToString(guid));
    return nullptr;
  }
  return handle;
}

void *DxeCore::FindProtocol(const EFI_GUID &guid) const {
  for (const Interface &entry : interfaces_) {
    if (entry.guid == guid) return entry.interface;
  }
  return nullptr;
}

size_t DxeCore::CountProtocol(const EFI_GUID &guid) const {
  return static_cast<size_t>(std::count_if(interfaces_.begin(), interfaces_.end(),
                                           [&](const Interface &e) { return e.guid == guid; }));
}

// ---- Memory and variables -----------------------------------------------------------------------

void DxeCore::AddMemoryReader(Platform::MemoryReader reader) {
  memoryReaders_.push_back(std::move(reader));
}

void DxeCore::CopyMem(VOID *destination, const VOID *source, UINTN length) {
  // DXE runs identity-mapped on four-level paging: only the canonical lower half, below 2^47,
  // exists, and a read above it raises #GP on the processor.
  const uint64_t from = reinterpret_cast<uintptr_t>(source);
  if (length != 0 && (from >= kCanonicalLimit || length > kCanonicalLimit - from)) {
    Violation(CurrentImageName() + " read " + std::to_string(length) + " bytes at " + Hex(from) +
              ", not a canonical address (#GP)");
    std::memset(destination, 0xFF, length);
    return;
  }
  for (const auto &reader : memoryReaders_) {
    if (reader(destination, source, length)) return;
  }
  std::memmove(destination, source, length);
}

EFI_STATUS DxeCore::GetVariable(const CHAR16 *name, const EFI_GUID *guid, UINT32 *attributes,
                                UINTN *size, VOID *data) {
  if (name == nullptr || guid == nullptr || size == nullptr) return EFI_INVALID_PARAMETER;
  std::u16string wanted;
  for (const CHAR16 *c = name; *c != 0; ++c) wanted.push_back(*c);
  Variable *variable = board_.FindVariable(wanted, *guid);
  // A variable holds at least one byte: setting one with no data deletes it.
  if (variable == nullptr || variable->data.empty()) return EFI_NOT_FOUND;
  if (*size < variable->data.size()) {
    *size = variable->data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (data == nullptr) return EFI_INVALID_PARAMETER;
  std::memcpy(data, variable->data.data(), variable->data.size());
  *size = variable->data.size();
  if (attributes != nullptr) *attributes = variable->attributes;
  return EFI_SUCCESS;
}

// ---- Images -------------------------------------------------------------------------------------

DxeCore::ImageScope::ImageScope(DxeCore &core, int image, std::string function)
    : core_(core), saved_(core.currentImage_), savedFunction_(std::move(core.currentFunction_)) {
  core_.currentImage_ = image;
  core_.currentFunction_ = std::move(function);
}

DxeCore::ImageScope::~ImageScope() {
  core_.currentImage_ = saved_;
  core_.currentFunction_ = std::move(savedFunction_);
}

std::string DxeCore::FunctionName(const void *code) const {
  int index = ImageIndexOf(code);
  if (index < 0 || !images_[index]->symbols) return "";
  return images_[index]->symbols->FunctionAt(reinterpret_cast<uintptr_t>(code) -
                                             images_[index]->base);
}

std::string DxeCore::ImageNameOf(const void *code) const {
  int index = ImageIndexOf(code);
  return index < 0 ? "" : images_[index]->name;
}

std::string DxeCore::NotifyFunctionOf(EFI_EVENT event) const {
  const Event *record = LiveEvent(event);
  return record != nullptr ? FunctionName(reinterpret_cast<const void *>(record->notify)) : "";
}

int DxeCore::ImageIndexOf(const void *address) const {
  for (size_t i = 0; i < images_.size(); ++i) {
    if (images_[i]->module != nullptr && InRanges(images_[i]->ranges, address)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void DxeCore::OnImageLoaded(std::function<void(const std::string &, void *)> hook) {
  imageHooks_.push_back(std::move(hook));
}

EFI_STATUS DxeCore::StartImage(const std::string &name) {
  auto image = std::make_unique<Image>();
  image->name = name;
  image->path = HostImagePath(name, imageDir_);
  // Every boot starts from a fresh image: one left over from an earlier boot would carry its
  // module globals along.
  if (void *stale = dlopen(image->path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    dlclose(stale);
    Violation(name + " is still loaded from an earlier boot");
  }
  image->module = dlopen(image->path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (image->module == nullptr) {
    Violation("cannot load " + image->path + ": " + dlerror());
    return EFI_LOAD_ERROR;
  }
  auto entry =
      reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(dlsym(image->module, (name + "EntryPoint").c_str()));
  if (entry == nullptr) {
    Violation(image->path + " has no entry point " + name + "EntryPoint");
    dlclose(image->module);
    return EFI_LOAD_ERROR;
  }
  image->ranges = SegmentsOf(image->module);
  image->base = LoadBaseOf(image->module);
  image->symbols = ImageSymbols::Of(image->path);
  image->loadedImage.ImageBase = image->ranges.empty() ? 0 : image->ranges.front().first;
  images_.push_back(std::move(image));
  int index = static_cast<int>(images_.size() - 1);
  Image &loaded = *images_[index];
  loaded.handle = InstallProtocol(gEfiLoadedImageProtocolGuid, &loaded.loadedImage);
  for (const auto &hook : imageHooks_) hook(name, loaded.module);

  EFI_STATUS status;
  {
    ImageScope scope(*this, index, FunctionName(reinterpret_cast<const void *>(entry)));
    status = entry(loaded.handle, &systemTable_);
  }
  if (EFI_ERROR(status)) {
    UnloadImage(index, false);
  } else {
    loaded.resident = true;
  }
  return status;
}

bool DxeCore::IsResident(const std::string &name) const {
  return std::any_of(images_.begin(), images_.end(), [&](const auto &image) {
    return image->name == name && image->resident && image->module != nullptr;
  });
}

void *DxeCore::ImageSymbol(const std::string &name, const char *symbol) const {
  for (const auto &image : images_) {
    if (image->name == name && image->module != nullptr) return dlsym(image->module, symbol);
  }
  return nullptr;
}

// Takes an image out of memory. After a failed start nothing may still point into it: events,
// protocol interfaces and pool blocks of the image are violations, and are withdrawn so that no
// later installation calls into freed code.
void DxeCore::UnloadImage(int index, bool endOfBoot) {
  Image &image = *images_[index];
  if (image.module == nullptr) return;
  if (!endOfBoot) {
    for (const auto &event : events_) {
      if (event->closed) continue;
      if (InRanges(image.ranges, reinterpret_cast<const void *>(event->notify)) ||
          InRanges(image.ranges, event->context)) {
        Violation(image.name +
                  " failed to start but left an event whose notify function is "
                  "in the unloaded image");
        CloseEventRecord(event.get());
      }
    }
    for (auto it = interfaces_.begin(); it != interfaces_.end();) {
      if (InRanges(image.ranges, it->interface)) {
        Violation(image.name + " failed to start but left protocol " + GuidToString(it->guid) +
                  " installed from the unloaded image");
        Handle *handle = it->handle;
        it = interfaces_.erase(it);
        ReleaseHandleIfEmpty(handle);
      } else {
        ++it;
      }
    }
    for (auto it = pool_.begin(); it != pool_.end();) {
      if (it->second.image == index) {
        Violation(image.name + " failed to start and leaked " + std::to_string(it->second.size) +
                  " bytes of pool");
        ReleaseBlock(it->first, it->second);
        it = pool_.erase(it);
      } else {
        ++it;
      }
    }
  } else {
    // End of boot: the platform tears everything down; the image's registrations go with it.
    for (const auto &event : events_) {
      if (!event->closed && event->image == index) CloseEventRecord(event.get());
    }
    for (auto it = interfaces_.begin(); it != interfaces_.end();) {
      Handle *handle = it->handle;
      it = InRanges(image.ranges, it->interface) ? interfaces_.erase(it) : std::next(it);
      ReleaseHandleIfEmpty(handle);
    }
  }
  UninstallProtocolInterface(image.handle, &gEfiLoadedImageProtocolGuid, &image.loadedImage);
  dlclose(image.module);
  image.module = nullptr;
  image.resident = false;
  if (void *still = dlopen(image.path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    dlclose(still);
    Violation(image.name + " stayed in memory after it was unloaded");
  }
}

// At the end of a boot a resident image may keep the blocks its entry point allocated that the
// board description allows (one per allowance). Every other block a driver still holds is a
// leak.
void DxeCore::CheckPoolAtEnd() {
  const std::vector<KeptPool> &allowed = board_.keptPool;
  std::vector<std::vector<bool>> used(images_.size(), std::vector<bool>(allowed.size(), false));
  for (auto it = pool_.begin(); it != pool_.end();) {
    const Allocation &block = it->second;
    bool kept = false;
    if (block.image >= 0 && images_[block.image]->resident && block.inEntryPoint) {
      for (size_t k = 0; k < allowed.size() && !kept; ++k) {
        kept =
            !used[block.image][k] && block.size == allowed[k].size && block.type == allowed[k].type;
        if (kept) used[block.image][k] = true;
      }
    }
    if (!kept && block.image >= 0) {
      Violation(images_[block.image]->name + " leaked " + std::to_string(block.size) +
                " bytes of pool");
    }
    ReleaseBlock(it->first, it->second);
    it = pool_.erase(it);
  }
}

void DxeCore::Finish() {
  if (finished_) return;
  finished_ = true;
  CheckPoolAtEnd();
  for (size_t i = images_.size(); i > 0; --i) UnloadImage(static_cast<int>(i - 1), true);
}

std::string HostImageDir(ImageBuild build) {
  const char *dir = std::getenv("BOARDSIM_IMAGE_DIR");
  if (dir != nullptr) return dir;
  return build == ImageBuild::kDebug ? EMULATOR_IMAGE_DIR "/DEBUG" : EMULATOR_IMAGE_DIR;
}

std::string HostImagePath(const std::string &name, const std::string &dir) {
  return dir + "/" + name + ".so";
}

}  // namespace emu
