// The drivers' calls to the platform, recorded as the emulator records them: member, arguments,
// what the call names, its result, the driver and the driver function the platform had entered.
//
// The boot and runtime services the drivers may use are wrapped in place, in the firmware's own
// tables (the drivers read the tables at every call). A call is a driver's when the platform is
// inside one of its functions and the call returns into that driver's code:
//   - an entry point, from the moment the DXE core has loaded the image until Dispatch returns
//     (the DXE core's own calls in that time return into the DXE core);
//   - a notify function (each event a driver creates gets a stand-in notify function that enters
//     the driver's) or a protocol member the platform calls; a driver function that ends in a
//     call (a tail call) returns from it into the platform's code that entered the function.
// The call must also come at the TPL the function was entered at: the firmware's own notify
// functions that a timer tick runs in the middle of a driver's function run higher. While a call
// is being answered, by the firmware or by the platform's stand-in protocols, the services they
// use in turn are not the drivers' calls.
#include "DriverFiles.h"
#include "FwPlatform.h"
#include "StatusCode.h"

namespace {

constexpr UINTN kMaxRecords = 4096;
constexpr UINTN kMaxEvents = 32;

enum WHAT_KIND : UINT8 { kWhatNone = 0, kWhatGuid = 1, kWhatNotify = 2, kWhatVariable = 4 };

}  // namespace

struct CALL_RECORD {
  const char *Member;
  UINT8 Driver;
  UINT8 ArgCount;
  UINT8 What;  // WHAT_KIND bits
  UINT64 During;
  UINT64 Args[4];
  UINT64 Result;
  EFI_GUID Guid;
  UINT64 Notify;
  CHAR8 Variable[32];
};

namespace {

constinit CALL_RECORD *mRecords = nullptr;
constinit UINTN mRecordCount = 0;
constinit UINTN mLost = 0;

// The driver function the platform is in, the TPL it was entered at, and how deep the platform
// is in answering a call.
constinit UINT8 mDriver = kNoDriver;
constinit UINT64 mFunction = 0;
constinit EFI_TPL mTpl = TPL_APPLICATION;
constinit bool mEnteredByPlatform = false;
constinit UINT32 mAnswering = 0;

// The platform application's own image: where a tail call from a function it entered returns.
constinit UINT64 mPlatformBase = 0;
constinit UINT64 mPlatformSize = 0;

// The firmware's own members, called once a call is recorded.
constinit EFI_BOOT_SERVICES mFirmware = {};
constinit EFI_GET_VARIABLE mFirmwareGetVariable = nullptr;

// A driver's event: the stand-in notify function enters the driver's own.
struct DRIVER_EVENT {
  EFI_EVENT Event;
  EFI_EVENT_NOTIFY Notify;
  VOID *Context;
  EFI_TPL Tpl;
  bool InUse;
};
constinit DRIVER_EVENT mEvents[kMaxEvents] = {};

DRIVER_EVENT *EventOf(EFI_EVENT Event) {
  for (DRIVER_EVENT &Entry : mEvents) {
    if (Entry.InUse && Entry.Event == Event && Event != nullptr) return &Entry;
  }
  return nullptr;
}

VOID EFIAPI EnterDriverNotify(EFI_EVENT Event, VOID *Context) {
  const DRIVER_EVENT Entry = *static_cast<DRIVER_EVENT *>(Context);
  DriverScope Scope(reinterpret_cast<const VOID *>(Entry.Notify), Entry.Tpl);
  Entry.Notify(Event, Entry.Context);
}

// A driver's event with a notify function gets the stand-in; Context is then its entry.
DRIVER_EVENT *WrapNotify(const DriverCall &Call, EFI_TPL Tpl, EFI_EVENT_NOTIFY &Notify,
                         const VOID *&Context) {
  if (Notify == nullptr || !Call.FromDriver()) return nullptr;
  for (DRIVER_EVENT &Entry : mEvents) {
    if (!Entry.InUse) {
      Entry = {nullptr, Notify, const_cast<VOID *>(Context), Tpl, true};
      Notify = EnterDriverNotify;
      Context = &Entry;
      return &Entry;
    }
  }
  Fail("the drivers hold more events than the platform can follow");
}

VOID KeepEvent(DRIVER_EVENT *Entry, EFI_STATUS Status, EFI_EVENT *Event) {
  if (Entry == nullptr) return;
  if (EFI_ERROR(Status) || Event == nullptr) {
    Entry->InUse = false;
  } else {
    Entry->Event = *Event;
  }
}

// ---- The firmware's status code router, as the drivers see it ----
// A driver that finds the router gets a stand-in that records each report, with the level of a
// debug record as the emulator records it, and hands it on unchanged.
constinit EFI_STATUS_CODE_PROTOCOL *mFirmwareStatusCode = nullptr;

EFI_STATUS EFIAPI TracedReportStatusCode(EFI_STATUS_CODE_TYPE Type, EFI_STATUS_CODE_VALUE Value,
                                         UINT32 Instance, const EFI_GUID *CallerId,
                                         EFI_STATUS_CODE_DATA *Data) {
  const bool Debug = Data != nullptr && SameGuid(Data->Type, gEfiStatusCodeDataTypeDebugGuid) &&
                     Data->Size >= sizeof(EFI_DEBUG_INFO);
  UINT32 Level = 0;
  if (Debug) CopyBytes(&Level, Data + 1, sizeof(Level));
  DriverCall Call(__builtin_return_address(0), "StatusCode.ReportStatusCode", Debug ? 4 : 3, Type,
                  Value, Instance, Level);
  Call.Guid(CallerId);
  return Call.Returns(mFirmwareStatusCode->ReportStatusCode(Type, Value, Instance, CallerId, Data));
}

constinit EFI_STATUS_CODE_PROTOCOL mTracedStatusCode = {TracedReportStatusCode};

// ---- The wrapped services ----
EFI_STATUS EFIAPI TracedAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  DriverCall Call(__builtin_return_address(0), "BS.AllocatePool", 2, Type, Size);
  return Call.Returns(mFirmware.AllocatePool(Type, Size, Buffer));
}

EFI_STATUS EFIAPI TracedFreePool(VOID *Buffer) {
  DriverCall Call(__builtin_return_address(0), "BS.FreePool");
  return Call.Returns(mFirmware.FreePool(Buffer));
}

EFI_STATUS EFIAPI TracedCreateEvent(UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify,
                                    VOID *Context, EFI_EVENT *Event) {
  DriverCall Call(__builtin_return_address(0), "BS.CreateEvent", 2, Type, Tpl);
  Call.Notify(reinterpret_cast<UINT64>(Notify));
  const VOID *Passed = Context;
  DRIVER_EVENT *Entry = WrapNotify(Call, Tpl, Notify, Passed);
  const EFI_STATUS Status =
      mFirmware.CreateEvent(Type, Tpl, Notify, const_cast<VOID *>(Passed), Event);
  KeepEvent(Entry, Status, Event);
  return Call.Returns(Status);
}

EFI_STATUS EFIAPI TracedCreateEventEx(UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify,
                                      const VOID *Context, const EFI_GUID *Group,
                                      EFI_EVENT *Event) {
  DriverCall Call(__builtin_return_address(0), "BS.CreateEventEx", 2, Type, Tpl);
  Call.Guid(Group).Notify(reinterpret_cast<UINT64>(Notify));
  DRIVER_EVENT *Entry = WrapNotify(Call, Tpl, Notify, Context);
  const EFI_STATUS Status = mFirmware.CreateEventEx(Type, Tpl, Notify, Context, Group, Event);
  KeepEvent(Entry, Status, Event);
  return Call.Returns(Status);
}

EFI_STATUS EFIAPI TracedSignalEvent(EFI_EVENT Event) {
  DriverCall Call(__builtin_return_address(0), "BS.SignalEvent");
  if (const DRIVER_EVENT *Entry = EventOf(Event)) {
    Call.Notify(reinterpret_cast<UINT64>(Entry->Notify));
  }
  return Call.Returns(mFirmware.SignalEvent(Event));
}

EFI_STATUS EFIAPI TracedCloseEvent(EFI_EVENT Event) {
  DriverCall Call(__builtin_return_address(0), "BS.CloseEvent");
  DRIVER_EVENT *Entry = EventOf(Event);
  if (Entry != nullptr) Call.Notify(reinterpret_cast<UINT64>(Entry->Notify));
  const EFI_STATUS Status = mFirmware.CloseEvent(Event);
  if (Entry != nullptr && !EFI_ERROR(Status)) Entry->InUse = false;
  return Call.Returns(Status);
}

EFI_STATUS EFIAPI TracedInstallProtocolInterface(EFI_HANDLE *Handle, const EFI_GUID *Guid,
                                                 EFI_INTERFACE_TYPE Type, VOID *Interface) {
  DriverCall Call(__builtin_return_address(0), "BS.InstallProtocolInterface");
  Call.Guid(Guid);
  return Call.Returns(mFirmware.InstallProtocolInterface(Handle, Guid, Type, Interface));
}

EFI_STATUS EFIAPI TracedUninstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Guid,
                                                   VOID *Interface) {
  DriverCall Call(__builtin_return_address(0), "BS.UninstallProtocolInterface");
  Call.Guid(Guid);
  return Call.Returns(mFirmware.UninstallProtocolInterface(Handle, Guid, Interface));
}

EFI_STATUS EFIAPI TracedRegisterProtocolNotify(const EFI_GUID *Guid, EFI_EVENT Event,
                                               VOID **Registration) {
  DriverCall Call(__builtin_return_address(0), "BS.RegisterProtocolNotify");
  Call.Guid(Guid);
  if (const DRIVER_EVENT *Entry = EventOf(Event)) {
    Call.Notify(reinterpret_cast<UINT64>(Entry->Notify));
  }
  return Call.Returns(mFirmware.RegisterProtocolNotify(Guid, Event, Registration));
}

EFI_STATUS EFIAPI TracedLocateProtocol(const EFI_GUID *Guid, VOID *Registration, VOID **Interface) {
  DriverCall Call(__builtin_return_address(0), "BS.LocateProtocol");
  Call.Guid(Guid);
  const EFI_STATUS Status = mFirmware.LocateProtocol(Guid, Registration, Interface);
  if (Call.FromDriver() && !EFI_ERROR(Status) && Guid != nullptr && Interface != nullptr &&
      *Interface != nullptr && SameGuid(*Guid, gEfiStatusCodeRuntimeProtocolGuid)) {
    mFirmwareStatusCode = static_cast<EFI_STATUS_CODE_PROTOCOL *>(*Interface);
    *Interface = &mTracedStatusCode;
  }
  return Call.Returns(Status);
}

VOID EFIAPI TracedCopyMem(VOID *To, const VOID *From, UINTN Length) {
  DriverCall Call(__builtin_return_address(0), "BS.CopyMem", 1, Length);
  ShowStandInsAsDecoding();
  mFirmware.CopyMem(To, DeviceMemorySource(From), Length);
}

VOID EFIAPI TracedSetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
  DriverCall Call(__builtin_return_address(0), "BS.SetMem", 2, Size, Value);
  mFirmware.SetMem(Buffer, Size, Value);
}

EFI_STATUS EFIAPI TracedGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                    UINTN *Size, VOID *Data) {
  DriverCall Call(__builtin_return_address(0), "RT.GetVariable", 1, Size != nullptr ? *Size : 0);
  Call.Variable(Name);
  return Call.Returns(mFirmwareGetVariable(Name, Guid, Attributes, Size, Data));
}

VOID SealTable(EFI_TABLE_HEADER &Header, VOID *Table) {
  UINT32 Crc = 0;
  Header.CRC32 = 0;
  gBoot->CalculateCrc32(Table, Header.HeaderSize, &Crc);
  Header.CRC32 = Crc;
}

EFI_TPL CurrentTpl() {
  const EFI_TPL Tpl = mFirmware.RaiseTPL(TPL_HIGH_LEVEL);
  mFirmware.RestoreTPL(Tpl);
  return Tpl;
}

bool MadeByDriver(const VOID *ReturnAddress) {
  const UINT64 Address = reinterpret_cast<UINT64>(ReturnAddress);
  if (mDriver == kNoDriver || mAnswering != 0) return false;
  const bool IntoDriver = DriverAt(Address) == mDriver;
  const bool IntoPlatform = mEnteredByPlatform && Address - mPlatformBase < mPlatformSize;
  return (IntoDriver || IntoPlatform) && CurrentTpl() == mTpl;
}

VOID ReportText(const char *Text) {
  // The text runs to the line's end: blanks stay, anything unprintable does not.
  for (; *Text != '\0'; ++Text) Out << (*Text >= ' ' && *Text < 0x7F ? *Text : '?');
}

}  // namespace

// ---- Scopes and records ----
DriverScope::DriverScope(const VOID *Function, EFI_TPL Tpl)
    : mSavedDriver(mDriver),
      mSavedFunction(mFunction),
      mSavedTpl(mTpl),
      mSavedEnteredByPlatform(mEnteredByPlatform),
      mSavedAnswering(mAnswering) {
  mDriver = DriverAt(reinterpret_cast<UINT64>(Function));
  mFunction = reinterpret_cast<UINT64>(Function);
  mTpl = Tpl;
  mEnteredByPlatform = true;
  mAnswering = 0;
}

DriverScope::~DriverScope() {
  mDriver = mSavedDriver;
  mFunction = mSavedFunction;
  mTpl = mSavedTpl;
  mEnteredByPlatform = mSavedEnteredByPlatform;
  mAnswering = mSavedAnswering;
}

VOID EnterDriverEntryPoint(UINT8 Driver, UINT64 EntryPoint) {
  mDriver = Driver;
  mFunction = EntryPoint;
  mTpl = TPL_APPLICATION;
  mEnteredByPlatform = false;
  mAnswering = 0;
}

VOID LeaveDriverEntryPoints() { EnterDriverEntryPoint(kNoDriver, 0); }

DriverCall::DriverCall(const VOID *ReturnAddress, const char *Member, UINTN ArgCount, UINT64 A0,
                       UINT64 A1, UINT64 A2, UINT64 A3)
    : mFromDriver(MadeByDriver(ReturnAddress)) {
  if (mFromDriver && mRecords != nullptr) {
    if (mRecordCount == kMaxRecords) {
      ++mLost;
    } else {
      mRecord = &mRecords[mRecordCount++];
      ZeroBytes(mRecord, sizeof(*mRecord));
      mRecord->Member = Member;
      mRecord->Driver = mDriver;
      mRecord->ArgCount = static_cast<UINT8>(ArgCount);
      mRecord->During = mFunction;
      mRecord->Args[0] = A0;
      mRecord->Args[1] = A1;
      mRecord->Args[2] = A2;
      mRecord->Args[3] = A3;
    }
  }
  ++mAnswering;
}

DriverCall::~DriverCall() { --mAnswering; }

DriverCall &DriverCall::Guid(const EFI_GUID *Guid) {
  if (mRecord != nullptr && Guid != nullptr) {
    mRecord->Guid = *Guid;
    mRecord->What |= kWhatGuid;
  }
  return *this;
}

DriverCall &DriverCall::Notify(UINT64 Function) {
  if (mRecord != nullptr && Function != 0) {
    mRecord->Notify = Function;
    mRecord->What |= kWhatNotify;
  }
  return *this;
}

DriverCall &DriverCall::Variable(const CHAR16 *Name) {
  if (mRecord != nullptr && Name != nullptr) {
    UINTN Length = 0;
    for (; Length + 1 < sizeof(mRecord->Variable) && Name[Length] != 0; ++Length) {
      mRecord->Variable[Length] = Name[Length] < 0x80 ? static_cast<CHAR8>(Name[Length]) : '?';
    }
    mRecord->Variable[Length] = '\0';
    mRecord->What |= kWhatVariable;
  }
  return *this;
}

DriverCall &DriverCall::Label(const CHAR8 *Text) {
  if (mRecord != nullptr && Text != nullptr) {
    UINTN Length = 0;
    for (; Length + 1 < sizeof(mRecord->Variable) && Text[Length] != 0; ++Length) {
      mRecord->Variable[Length] = Text[Length];
    }
    mRecord->Variable[Length] = '\0';
    mRecord->What |= kWhatVariable;
  }
  return *this;
}

VOID DriverCall::Record(UINT64 Result) {
  if (mRecord != nullptr) mRecord->Result = Result;
}

VOID TraceDriverCalls(EFI_HANDLE ImageHandle) {
  VOID *Interface = nullptr;
  if (EFI_ERROR(gBoot->HandleProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid, &Interface))) {
    Fail("no loaded image of the platform application");
  }
  mPlatformBase =
      reinterpret_cast<UINT64>(static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface)->ImageBase);
  mPlatformSize = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface)->ImageSize;
  VOID *Buffer = nullptr;
  if (EFI_ERROR(
          gBoot->AllocatePool(EfiBootServicesData, kMaxRecords * sizeof(CALL_RECORD), &Buffer))) {
    Fail("no pool for the call records");
  }
  mRecords = static_cast<CALL_RECORD *>(Buffer);
  mFirmware = *gBoot;
  gBoot->AllocatePool = TracedAllocatePool;
  gBoot->FreePool = TracedFreePool;
  gBoot->CreateEvent = TracedCreateEvent;
  gBoot->CreateEventEx = TracedCreateEventEx;
  gBoot->SignalEvent = TracedSignalEvent;
  gBoot->CloseEvent = TracedCloseEvent;
  gBoot->InstallProtocolInterface = TracedInstallProtocolInterface;
  gBoot->UninstallProtocolInterface = TracedUninstallProtocolInterface;
  gBoot->RegisterProtocolNotify = TracedRegisterProtocolNotify;
  gBoot->LocateProtocol = TracedLocateProtocol;
  gBoot->CopyMem = TracedCopyMem;
  gBoot->SetMem = TracedSetMem;
  SealTable(gBoot->Hdr, gBoot);
  mFirmwareGetVariable = gRuntime->GetVariable;
  gRuntime->GetVariable = TracedGetVariable;
  SealTable(gRuntime->Hdr, gRuntime);
}

// "call MEMBER DRIVER DURING RESULT COUNT ARGS... [guid G] [notify ADDRESS] [variable NAME]"
VOID ReportDriverCalls() {
  for (UINTN Index = 0; Index < mRecordCount; ++Index) {
    const CALL_RECORD &Record = mRecords[Index];
    Out << "call " << Record.Member << " " << kDriverFiles[Record.Driver].Name << " "
        << Hex{Record.During, 0} << " " << Hex{Record.Result, 0} << " " << Dec{Record.ArgCount};
    for (UINTN Arg = 0; Arg < Record.ArgCount; ++Arg) Out << " " << Hex{Record.Args[Arg], 0};
    if (Record.What & kWhatGuid) Out << " guid " << Record.Guid;
    if (Record.What & kWhatNotify) Out << " notify " << Hex{Record.Notify, 0};
    if (Record.What & kWhatVariable) {
      Out << " variable ";
      ReportText(Record.Variable);
    }
    Out << "\n";
  }
  if (mLost != 0) Out << "calls-lost " << Dec{mLost} << "\n";
}
