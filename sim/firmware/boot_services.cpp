#include "boot_services.h"

#include "device_path_nodes.h"
#include "guids.h"
#include "physical_memory.h"
#include "service_calls.h"
#include "status_names.h"
#include "variable_store.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <utility>

namespace sim {
namespace {

// Pool memory starts with this garbage, and so do the guard bytes behind every block.
constexpr uint8_t kPoolFill = 0xAF;
constexpr size_t kPoolGuardBytes = 16;

BootServices *Active = nullptr;

BootServices &S() {
  return *Active;
}

// ---- boot services ---------------------------------------------------------------------------
EFI_TPL EFIAPI BsRaiseTpl(EFI_TPL NewTpl) {
  EFI_TPL Old = S().Tpl;
  if (NewTpl < Old) {
    S().Problem("RaiseTPL to a lower level");
  }
  S().Tpl = NewTpl;
  S().TplChanges.push_back(NewTpl);
  return Old;
}

VOID EFIAPI BsRestoreTpl(EFI_TPL OldTpl) {
  // EDK II's core asserts here: RestoreTPL only goes down (or stays).
  if (OldTpl > S().Tpl) {
    S().Problem("RestoreTPL to a higher level");
  }
  S().Tpl = OldTpl;
  S().TplChanges.push_back(OldTpl);
}

EFI_STATUS EFIAPI BsAllocatePages(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE, UINTN Count,
                                  EFI_PHYSICAL_ADDRESS *Memory) {
  if (Memory == nullptr || Count == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (S().PageFailures > 0) {
    S().PageFailures--;
    return EFI_OUT_OF_RESOURCES;
  }
  if (Type == AllocateAddress) {
    uint64_t Start = *Memory;
    uint64_t End = Start + Count * EFI_PAGE_SIZE;
    if (Start % EFI_PAGE_SIZE != 0 || Start < kLowWindowBase ||
        End > kLowWindowBase + kLowWindowSize) {
      return EFI_NOT_FOUND;
    }
    for (auto &[At, Block] : S().Pages) {
      if (!Block.Freed && At < End && At + Block.Pages * EFI_PAGE_SIZE > Start) {
        return EFI_NOT_FOUND;
      }
    }
    S().Pages[Start] = PageBlock{Count, false, Type, 0};
    return EFI_SUCCESS;
  }
  uint8_t *Block = ArenaAllocate(Count * EFI_PAGE_SIZE, EFI_PAGE_SIZE);
  if (Block == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  uint64_t Address = reinterpret_cast<uint64_t>(Block);
  if (Type == AllocateMaxAddress && Address + Count * EFI_PAGE_SIZE - 1 > *Memory) {
    return EFI_NOT_FOUND;
  }
  S().Pages[Address] = PageBlock{Count, false, Type, Type == AllocateMaxAddress ? *Memory : 0};
  *Memory = Address;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsFreePages(EFI_PHYSICAL_ADDRESS Memory, UINTN Count) {
  auto It = S().Pages.find(Memory);
  if (It == S().Pages.end() || It->second.Freed || It->second.Pages != Count) {
    S().Problem("FreePages of memory that was not allocated that way");
    return EFI_NOT_FOUND;
  }
  It->second.Freed = true;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Buffer = S().AllocatePool(Size, Type);
  return *Buffer == nullptr ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsFreePool(VOID *Buffer) {
  return S().FreePool(Buffer);
}

EFI_STATUS EFIAPI BsCreateEvent(UINT32, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY, VOID *,
                                EFI_EVENT *Event) {
  if (Event == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Event = S().NewEvent(nullptr);
  S().Event(*Event)->NotifyTpl = NotifyTpl;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsWaitForEvent(UINTN Count, EFI_EVENT *List, UINTN *Index) {
  if (Count == 0 || List == nullptr || Index == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (S().Tpl != TPL_APPLICATION) {
    S().Problem("WaitForEvent above TPL_APPLICATION");
    return EFI_UNSUPPORTED;
  }
  for (UINTN I = 0; I < Count; I++) {
    EventRecord *E = S().Event(List[I]);
    if (E == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    if (E->Signaled || (E->Poll && E->Poll())) {
      E->Signaled = false;
      *Index = I;
      return EFI_SUCCESS;
    }
  }
  for (UINTN I = 0; I < Count; I++) {
    EventRecord *E = S().Event(List[I]);
    if (E->Block && E->Block()) {
      E->Signaled = false;
      *Index = I;
      return EFI_SUCCESS;
    }
  }
  // Nothing can ever signal these events on the board: the run would wait forever.
  HaltGuarded("WaitForEvent with no event that can be signaled (stuck)");
}

EFI_STATUS EFIAPI BsSignalEvent(EFI_EVENT Event) {
  EventRecord *E = S().Event(Event);
  if (E == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  E->Signaled = true;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsCloseEvent(EFI_EVENT Event) {
  return S().Event(Event) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI BsCheckEvent(EFI_EVENT Event) {
  EventRecord *E = S().Event(Event);
  if (E == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (E->Signaled || (E->Poll && E->Poll())) {
    E->Signaled = false;
    return EFI_SUCCESS;
  }
  return EFI_NOT_READY;
}

EFI_STATUS EFIAPI BsInstallProtocolInterface(EFI_HANDLE *Handle, const EFI_GUID *Guid,
                                             EFI_INTERFACE_TYPE Type, VOID *Interface) {
  if (Handle == nullptr || Guid == nullptr || Type != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  return S().Install(Handle, *Guid, Interface);
}

EFI_STATUS EFIAPI BsUninstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Guid,
                                               VOID *Interface) {
  if (Guid == nullptr || S().Protocol(Handle, *Guid) != Interface) {
    return EFI_NOT_FOUND;
  }
  return S().Uninstall(Handle, *Guid);
}

// OpenProtocol as EDK II's DXE core answers it. The interface pointer is written only on
// success (and EFI_ALREADY_STARTED) and set to NULL on EFI_UNSUPPORTED; for an invalid handle,
// parameter or attribute, and on EFI_ACCESS_DENIED, it is left as the caller had it. Exclusive
// opens do not disconnect the other agents (the board has no driver bindings to stop), so an
// open that would need that is denied.
EFI_STATUS OpenProtocol(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **Interface, EFI_HANDLE Agent,
                        EFI_HANDLE Controller, UINT32 Attributes) {
  if (Guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL && Interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (!S().IsHandle(Handle)) {
    return EFI_INVALID_PARAMETER;
  }
  switch (Attributes) {
  case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
    if (!S().IsHandle(Agent) || !S().IsHandle(Controller) || Handle == Controller) {
      return EFI_INVALID_PARAMETER;
    }
    break;
  case EFI_OPEN_PROTOCOL_BY_DRIVER:
  case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
    if (!S().IsHandle(Agent) || !S().IsHandle(Controller)) {
      return EFI_INVALID_PARAMETER;
    }
    break;
  case EFI_OPEN_PROTOCOL_EXCLUSIVE:
    if (!S().IsHandle(Agent)) {
      return EFI_INVALID_PARAMETER;
    }
    break;
  case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
  case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
  case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
    break;
  default:
    return EFI_INVALID_PARAMETER;
  }
  auto *Target = const_cast<HandleRecord *>(S().Record(Handle));
  void *Found = nullptr;
  bool Present = false;
  for (const ProtocolEntry &Entry : Target->Protocols) {
    if (SameGuid(Entry.Guid, *Guid)) {
      Found = Entry.Interface;
      Present = true;
    }
  }
  if (!Present) {
    if (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
      *Interface = nullptr;
    }
    return EFI_UNSUPPORTED;
  }
  if (Attributes == EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
    return EFI_SUCCESS;
  }
  bool ManagedByDriver = false;
  bool HeldExclusive = false;
  for (const OpenRecord &Open : Target->Opens) {
    if (!SameGuid(Open.Guid, *Guid)) {
      continue;
    }
    const bool Exact =
        Open.Agent == Agent && Open.Attributes == Attributes && Open.Controller == Controller;
    if ((Open.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
      ManagedByDriver = true;
      if (Exact) {
        *Interface = Found;
        return EFI_ALREADY_STARTED;
      }
    }
    if ((Open.Attributes & EFI_OPEN_PROTOCOL_EXCLUSIVE) != 0) {
      HeldExclusive = true;
    } else if (Exact) {
      *Interface = Found; // the same open again: one record covers both
      return EFI_SUCCESS;
    }
  }
  const bool WantsDriver = (Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0;
  const bool WantsExclusive = (Attributes & EFI_OPEN_PROTOCOL_EXCLUSIVE) != 0;
  if ((WantsDriver || WantsExclusive) && (ManagedByDriver || HeldExclusive)) {
    return EFI_ACCESS_DENIED;
  }
  Target->Opens.push_back({*Guid, Agent, Controller, Attributes});
  *Interface = Found;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsOpenProtocol(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **Interface,
                                 EFI_HANDLE Agent, EFI_HANDLE Controller, UINT32 Attributes) {
  return OpenProtocol(Handle, Guid, Interface, Agent, Controller, Attributes);
}

EFI_STATUS EFIAPI BsCloseProtocol(EFI_HANDLE Handle, const EFI_GUID *Guid, EFI_HANDLE Agent,
                                  EFI_HANDLE Controller) {
  if (Guid == nullptr || !S().IsHandle(Handle) || !S().IsHandle(Agent) ||
      (Controller != nullptr && !S().IsHandle(Controller))) {
    return EFI_INVALID_PARAMETER;
  }
  if (S().Protocol(Handle, *Guid) == nullptr) {
    return EFI_NOT_FOUND;
  }
  auto *Target = const_cast<HandleRecord *>(S().Record(Handle));
  size_t Before = Target->Opens.size();
  std::erase_if(Target->Opens, [&](const OpenRecord &Open) {
    return SameGuid(Open.Guid, *Guid) && Open.Agent == Agent && Open.Controller == Controller;
  });
  return Target->Opens.size() == Before ? EFI_NOT_FOUND : EFI_SUCCESS;
}

// HandleProtocol is OpenProtocol by the DXE core's image with BY_HANDLE_PROTOCOL, as in EDK II:
// the same rules for the interface pointer.
EFI_STATUS EFIAPI BsHandleProtocol(EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **Interface) {
  return OpenProtocol(Handle, Guid, Interface, nullptr, nullptr,
                      EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL);
}

EFI_STATUS EFIAPI BsLocateHandle(EFI_LOCATE_SEARCH_TYPE Search, const EFI_GUID *Guid, VOID *,
                                 UINTN *Size, EFI_HANDLE *Buffer) {
  if (Size == nullptr || (Search == ByProtocol && Guid == nullptr) || Search == ByRegisterNotify) {
    return EFI_INVALID_PARAMETER;
  }
  std::vector<EFI_HANDLE> Found = S().HandlesWith(Search == AllHandles ? EFI_GUID{} : *Guid);
  if (Found.empty()) {
    return EFI_NOT_FOUND;
  }
  UINTN Needed = Found.size() * sizeof(EFI_HANDLE);
  if (*Size < Needed) {
    *Size = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(Buffer, Found.data(), Needed);
  *Size = Needed;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsLocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE Search, const EFI_GUID *Guid, VOID *,
                                       UINTN *Count, EFI_HANDLE **Buffer) {
  if (Count == nullptr || Buffer == nullptr || (Search == ByProtocol && Guid == nullptr) ||
      Search == ByRegisterNotify) {
    return EFI_INVALID_PARAMETER;
  }
  *Count = 0;
  *Buffer = nullptr;
  std::vector<EFI_HANDLE> Found = S().HandlesWith(Search == AllHandles ? EFI_GUID{} : *Guid);
  if (Found.empty()) {
    return EFI_NOT_FOUND;
  }
  void *Memory = S().AllocatePool(Found.size() * sizeof(EFI_HANDLE), EfiBootServicesData);
  if (Memory == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  std::memcpy(Memory, Found.data(), Found.size() * sizeof(EFI_HANDLE));
  *Buffer = static_cast<EFI_HANDLE *>(Memory);
  *Count = Found.size();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsLocateProtocol(const EFI_GUID *Guid, VOID *, VOID **Interface) {
  if (Guid == nullptr || Interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::vector<EFI_HANDLE> Found = S().HandlesWith(*Guid);
  if (Found.empty()) {
    *Interface = nullptr;
    return EFI_NOT_FOUND;
  }
  *Interface = S().Protocol(Found.front(), *Guid);
  return EFI_SUCCESS;
}

// All or nothing: refuse when a protocol is already on the handle.
EFI_STATUS InstallMultiple(EFI_HANDLE *Handle, const std::vector<ProtocolEntry> &Pairs) {
  if (*Handle != nullptr) {
    if (!S().IsHandle(*Handle)) {
      return EFI_INVALID_PARAMETER;
    }
    for (const ProtocolEntry &Pair : Pairs) {
      if (S().Protocol(*Handle, Pair.Guid) != nullptr) {
        return EFI_INVALID_PARAMETER;
      }
    }
  }
  for (const ProtocolEntry &Pair : Pairs) {
    EFI_STATUS Status = S().Install(Handle, Pair.Guid, Pair.Interface);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  return EFI_SUCCESS;
}

// Variadic, so entered on the image stack and recorded here rather than through Recorded.
EFI_STATUS EFIAPI BsInstallMultipleProtocolInterfaces(EFI_HANDLE *Handle, ...) {
  std::vector<ProtocolEntry> Pairs;
  if (Handle != nullptr) {
    __builtin_ms_va_list Args;
    __builtin_ms_va_start(Args, Handle);
    for (;;) {
      const EFI_GUID *Guid = __builtin_va_arg(Args, const EFI_GUID *);
      if (Guid == nullptr) {
        break;
      }
      void *Interface = __builtin_va_arg(Args, void *);
      Pairs.push_back({*Guid, Interface});
    }
    __builtin_ms_va_end(Args);
  }
  size_t Call = CallLog::Enabled()
                    ? CallLog::Begin(__builtin_return_address(0), __builtin_frame_address(0))
                    : CallLog::kNone;
  if (Call != CallLog::kNone) {
    ServiceCall &Record = CallLog::At(Call);
    Record.Service = "InstallMultipleProtocolInterfaces";
    Record.Arguments = {Handle == nullptr    ? "handle pointer NULL"
                        : *Handle == nullptr ? "a new handle"
                                             : HandleArgument(*Handle)};
    for (const ProtocolEntry &Pair : Pairs) {
      Record.Arguments.push_back(GuidName(Pair.Guid));
    }
    CallLog::Made(Call);
  }
  EFI_STATUS Status = Handle == nullptr ? EFI_INVALID_PARAMETER : InstallMultiple(Handle, Pairs);
  if (Call != CallLog::kNone) {
    CallLog::End(Call, Status);
    if (Status == EFI_SUCCESS) {
      CallLog::At(Call).Results.push_back("on " + HandleArgument(*Handle));
    }
    CallLog::Made(Call);
  }
  return Status;
}

EFI_STATUS EFIAPI BsStall(UINTN Microseconds) {
  S().ClockMicroseconds += Microseconds;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsConnectController(EFI_HANDLE Controller, EFI_HANDLE *,
                                      EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN Recursive) {
  if (!S().IsHandle(Controller)) {
    return EFI_INVALID_PARAMETER;
  }
  S().ControllerCalls.push_back("connect " + S().Record(Controller)->Label +
                                (Recursive ? " recursive" : ""));
  S().Note(S().ControllerCalls.back());
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsDisconnectController(EFI_HANDLE Controller, EFI_HANDLE, EFI_HANDLE) {
  if (!S().IsHandle(Controller)) {
    return EFI_INVALID_PARAMETER;
  }
  S().ControllerCalls.push_back("disconnect " + S().Record(Controller)->Label);
  S().Note(S().ControllerCalls.back());
  return EFI_SUCCESS;
}

VOID EFIAPI BsCopyMem(VOID *Destination, const VOID *Source, UINTN Length) {
  std::memmove(Destination, Source, Length);
}

VOID EFIAPI BsSetMem(VOID *Buffer, UINTN Size, UINT8 Value) {
  std::memset(Buffer, Value, Size);
}

EFI_STATUS EFIAPI BsCalculateCrc32(VOID *Data, UINTN Size, UINT32 *Crc) {
  if (Data == nullptr || Crc == nullptr || Size == 0) {
    return EFI_INVALID_PARAMETER;
  }
  uint32_t Value = 0xFFFFFFFF;
  for (UINTN I = 0; I < Size; I++) {
    Value ^= static_cast<uint8_t *>(Data)[I];
    for (int Bit = 0; Bit < 8; Bit++) {
      Value = (Value >> 1) ^ (0xEDB88320u & (0u - (Value & 1)));
    }
  }
  *Crc = ~Value;
  return EFI_SUCCESS;
}

// Services the drivers of this board have no business calling: the call is recorded as a
// problem, so a test fails, and the driver gets EFI_UNSUPPORTED.
const char *const NotOfferedNames[] = {"GetMemoryMap",
                                       "SetTimer",
                                       "ReinstallProtocolInterface",
                                       "RegisterProtocolNotify",
                                       "LocateDevicePath",
                                       "InstallConfigurationTable",
                                       "LoadImage",
                                       "StartImage",
                                       "Exit",
                                       "UnloadImage",
                                       "ExitBootServices",
                                       "GetNextMonotonicCount",
                                       "SetWatchdogTimer",
                                       "OpenProtocol",
                                       "CloseProtocol",
                                       "OpenProtocolInformation",
                                       "ProtocolsPerHandle",
                                       "UninstallMultipleProtocolInterfaces",
                                       "CreateEventEx"};

template <int Slot> EFI_STATUS EFIAPI BsNotOffered() {
  S().Problem(std::string("boot service not offered by the board: ") + NotOfferedNames[Slot]);
  return EFI_UNSUPPORTED;
}

template <int Slot> void DescribeBsNotOffered(ServiceCall &Call) {
  DescribeNotOffered(Call, NotOfferedNames[Slot]);
}

template <typename T, int Slot> T NotOffered() {
  return reinterpret_cast<T>(
      reinterpret_cast<void (*)()>(Recorded<BsNotOffered<Slot>, DescribeBsNotOffered<Slot>>));
}

EFI_STATUS EFIAPI BsAfterEnd() {
  S().Problem("boot service called after the end of boot services");
  return EFI_UNSUPPORTED;
}

// ---- what --calls shows of each service -------------------------------------------------------
std::string TplName(EFI_TPL Tpl) {
  switch (Tpl) {
  case TPL_APPLICATION:
    return "TPL_APPLICATION";
  case TPL_CALLBACK:
    return "TPL_CALLBACK";
  case TPL_NOTIFY:
    return "TPL_NOTIFY";
  case TPL_HIGH_LEVEL:
    return "TPL_HIGH_LEVEL";
  }
  return "TPL " + std::to_string(Tpl);
}

std::string MemoryTypeName(EFI_MEMORY_TYPE Type) {
  static const char *const Names[] = {"EfiReservedMemoryType",  "EfiLoaderCode",
                                      "EfiLoaderData",          "EfiBootServicesCode",
                                      "EfiBootServicesData",    "EfiRuntimeServicesCode",
                                      "EfiRuntimeServicesData", "EfiConventionalMemory"};
  return Type < std::size(Names) ? Names[Type] : "memory type " + std::to_string(Type);
}

std::string AddressArgument(const void *Address) {
  return Address == nullptr ? "NULL" : DescribeAddress(reinterpret_cast<uint64_t>(Address));
}

std::string SearchName(EFI_LOCATE_SEARCH_TYPE Search) {
  switch (Search) {
  case AllHandles:
    return "AllHandles";
  case ByRegisterNotify:
    return "ByRegisterNotify";
  case ByProtocol:
    return "ByProtocol";
  }
  return "search type " + std::to_string(Search);
}

std::string OpenAttributesText(UINT32 Attributes) {
  static const struct {
    UINT32 Bit;
    const char *Name;
  } Names[] = {{EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL, "BY_HANDLE_PROTOCOL"},
               {EFI_OPEN_PROTOCOL_GET_PROTOCOL, "GET_PROTOCOL"},
               {EFI_OPEN_PROTOCOL_TEST_PROTOCOL, "TEST_PROTOCOL"},
               {EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER, "BY_CHILD_CONTROLLER"},
               {EFI_OPEN_PROTOCOL_BY_DRIVER, "BY_DRIVER"},
               {EFI_OPEN_PROTOCOL_EXCLUSIVE, "EXCLUSIVE"}};
  std::string List;
  for (const auto &Name : Names) {
    if (Attributes & Name.Bit) {
      List += (List.empty() ? "" : "|") + std::string(Name.Name);
    }
  }
  return "attributes " + HexNumber(Attributes) + (List.empty() ? "" : " (" + List + ")");
}

void DescribeRaiseTpl(ServiceCall &Call, EFI_TPL NewTpl) {
  Call.Service = "RaiseTPL";
  Call.Arguments = {TplName(NewTpl)};
  Call.Kind = ServiceCall::Returns::Value;
  Call.ValueText = "was " + TplName(Call.Value);
}

void DescribeRestoreTpl(ServiceCall &Call, EFI_TPL OldTpl) {
  Call.Service = "RestoreTPL";
  Call.Arguments = {TplName(OldTpl)};
}

void DescribeAllocatePages(ServiceCall &Call, EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE Memory,
                           UINTN Count, EFI_PHYSICAL_ADDRESS *Address) {
  static const char *const Types[] = {"AllocateAnyPages", "AllocateMaxAddress", "AllocateAddress"};
  if (!Call.Returned) {
    Call.Service = "AllocatePages";
    Call.Arguments = {Type < std::size(Types) ? Types[Type] : "type " + std::to_string(Type),
                      MemoryTypeName(Memory), HexNumber(Count) + " page(s)"};
    if (Type != AllocateAnyPages) {
      Call.Arguments.push_back(Address == nullptr ? "address NULL"
                                                  : "address " + HexNumber(*Address));
    }
  } else if (Call.Value == EFI_SUCCESS && Address != nullptr && Type == AllocateAddress) {
    Call.Results.push_back("at " + HexNumber(*Address));
  }
}

void DescribeFreePages(ServiceCall &Call, EFI_PHYSICAL_ADDRESS Memory, UINTN Count) {
  Call.Service = "FreePages";
  Call.Arguments = {AddressArgument(reinterpret_cast<const void *>(Memory)),
                    HexNumber(Count) + " page(s)"};
}

void DescribeAllocatePool(ServiceCall &Call, EFI_MEMORY_TYPE Type, UINTN Size, VOID **) {
  Call.Service = "AllocatePool";
  Call.Arguments = {MemoryTypeName(Type), "size " + HexNumber(Size)};
}

void DescribeFreePool(ServiceCall &Call, VOID *Buffer) {
  Call.Service = "FreePool";
  if (!Call.Returned) {
    Call.Arguments = {AddressArgument(Buffer)};
  }
}

void DescribeCreateEvent(ServiceCall &Call, UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Notify,
                         VOID *, EFI_EVENT *) {
  Call.Service = "CreateEvent";
  Call.Arguments = {"type " + HexNumber(Type), TplName(NotifyTpl),
                    Notify == nullptr ? "no notify function"
                                      : "notify " + AddressArgument((const void *)Notify)};
}

void DescribeWaitForEvent(ServiceCall &Call, UINTN Count, EFI_EVENT *, UINTN *Index) {
  Call.Service = "WaitForEvent";
  if (!Call.Returned) {
    Call.Arguments = {std::to_string(Count) + " event(s)"};
  } else if (Call.Value == EFI_SUCCESS && Index != nullptr) {
    Call.Results.push_back("index " + std::to_string(*Index));
  }
}

template <const char *Name> void DescribeEventCall(ServiceCall &Call, EFI_EVENT) {
  Call.Service = Name;
  Call.Arguments = {"event"};
}
constexpr char kSignalEvent[] = "SignalEvent";
constexpr char kCloseEvent[] = "CloseEvent";
constexpr char kCheckEvent[] = "CheckEvent";

void DescribeInstallProtocolInterface(ServiceCall &Call, EFI_HANDLE *Handle, const EFI_GUID *Guid,
                                      EFI_INTERFACE_TYPE Type, VOID *) {
  if (!Call.Returned) {
    Call.Service = "InstallProtocolInterface";
    Call.Arguments = {Handle == nullptr    ? "handle pointer NULL"
                      : *Handle == nullptr ? "a new handle"
                                           : HandleArgument(*Handle),
                      GuidArgument(Guid),
                      Type == EFI_NATIVE_INTERFACE ? "EFI_NATIVE_INTERFACE"
                                                   : "interface type " + std::to_string(Type)};
  } else if (Call.Value == EFI_SUCCESS && Handle != nullptr) {
    Call.Results.push_back("on " + HandleArgument(*Handle));
  }
}

void DescribeUninstallProtocolInterface(ServiceCall &Call, EFI_HANDLE Handle, const EFI_GUID *Guid,
                                        VOID *) {
  Call.Service = "UninstallProtocolInterface";
  if (!Call.Returned) {
    Call.Arguments = {HandleArgument(Handle), GuidArgument(Guid)};
  }
}

void DescribeHandleProtocol(ServiceCall &Call, EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **) {
  Call.Service = "HandleProtocol";
  Call.Arguments = {HandleArgument(Handle), GuidArgument(Guid)};
}

void DescribeLocateHandle(ServiceCall &Call, EFI_LOCATE_SEARCH_TYPE Search, const EFI_GUID *Guid,
                          VOID *, UINTN *Size, EFI_HANDLE *) {
  if (!Call.Returned) {
    Call.Service = "LocateHandle";
    Call.Arguments = {SearchName(Search), GuidArgument(Guid), SizeArgument(Size)};
  } else if ((Call.Value == EFI_SUCCESS || Call.Value == EFI_BUFFER_TOO_SMALL) && Size != nullptr) {
    Call.Results.push_back(SizeArgument(Size));
  }
}

void DescribeOpenProtocol(ServiceCall &Call, EFI_HANDLE Handle, const EFI_GUID *Guid, VOID **,
                          EFI_HANDLE Agent, EFI_HANDLE Controller, UINT32 Attributes) {
  Call.Service = "OpenProtocol";
  Call.Arguments = {HandleArgument(Handle), GuidArgument(Guid), "agent " + HandleArgument(Agent),
                    "controller " + HandleArgument(Controller), OpenAttributesText(Attributes)};
}

void DescribeCloseProtocol(ServiceCall &Call, EFI_HANDLE Handle, const EFI_GUID *Guid,
                           EFI_HANDLE Agent, EFI_HANDLE Controller) {
  Call.Service = "CloseProtocol";
  Call.Arguments = {HandleArgument(Handle), GuidArgument(Guid), "agent " + HandleArgument(Agent),
                    "controller " + HandleArgument(Controller)};
}

void DescribeLocateHandleBuffer(ServiceCall &Call, EFI_LOCATE_SEARCH_TYPE Search,
                                const EFI_GUID *Guid, VOID *, UINTN *Count, EFI_HANDLE **) {
  if (!Call.Returned) {
    Call.Service = "LocateHandleBuffer";
    Call.Arguments = {SearchName(Search), GuidArgument(Guid)};
  } else if (Call.Value == EFI_SUCCESS && Count != nullptr) {
    Call.Results.push_back(std::to_string(*Count) + " handle(s)");
  }
}

void DescribeLocateProtocol(ServiceCall &Call, const EFI_GUID *Guid, VOID *Registration, VOID **) {
  Call.Service = "LocateProtocol";
  Call.Arguments = {GuidArgument(Guid)};
  if (Registration != nullptr) {
    Call.Arguments.push_back("registration " + AddressArgument(Registration));
  }
}

void DescribeStall(ServiceCall &Call, UINTN Microseconds) {
  Call.Service = "Stall";
  Call.Arguments = {std::to_string(Microseconds) + " us"};
}

void DescribeConnectController(ServiceCall &Call, EFI_HANDLE Controller, EFI_HANDLE *Drivers,
                               EFI_DEVICE_PATH_PROTOCOL *RemainingPath, BOOLEAN Recursive) {
  Call.Service = "ConnectController";
  Call.Arguments = {HandleArgument(Controller), Drivers == nullptr ? "any driver" : "given drivers",
                    RemainingPath == nullptr ? "no remaining path" : "a remaining path",
                    Recursive ? "recursive" : "not recursive"};
}

void DescribeDisconnectController(ServiceCall &Call, EFI_HANDLE Controller, EFI_HANDLE Driver,
                                  EFI_HANDLE Child) {
  Call.Service = "DisconnectController";
  Call.Arguments = {HandleArgument(Controller), "driver " + HandleArgument(Driver),
                    "child " + HandleArgument(Child)};
}

void DescribeCopyMem(ServiceCall &Call, VOID *Destination, const VOID *Source, UINTN Length) {
  Call.Service = "CopyMem";
  if (!Call.Returned) {
    Call.Arguments = {"to " + AddressArgument(Destination), "from " + AddressArgument(Source),
                      HexNumber(Length) + " bytes"};
  }
}

void DescribeSetMem(ServiceCall &Call, VOID *Buffer, UINTN Size, UINT8 Value) {
  Call.Service = "SetMem";
  if (!Call.Returned) {
    Call.Arguments = {AddressArgument(Buffer), HexNumber(Size) + " bytes",
                      "value " + HexNumber(Value)};
  }
}

void DescribeCalculateCrc32(ServiceCall &Call, VOID *Data, UINTN Size, UINT32 *Crc) {
  if (!Call.Returned) {
    Call.Service = "CalculateCrc32";
    Call.Arguments = {AddressArgument(Data), HexNumber(Size) + " bytes"};
  } else if (Call.Value == EFI_SUCCESS && Crc != nullptr) {
    Call.Results.push_back("CRC " + HexNumber(*Crc));
  }
}

// After the end of boot services every slot fails; a recorded call names its slot.
constexpr const char *BootServiceNames[] = {"RaiseTPL",
                                            "RestoreTPL",
                                            "AllocatePages",
                                            "FreePages",
                                            "GetMemoryMap",
                                            "AllocatePool",
                                            "FreePool",
                                            "CreateEvent",
                                            "SetTimer",
                                            "WaitForEvent",
                                            "SignalEvent",
                                            "CloseEvent",
                                            "CheckEvent",
                                            "InstallProtocolInterface",
                                            "ReinstallProtocolInterface",
                                            "UninstallProtocolInterface",
                                            "HandleProtocol",
                                            "the reserved slot",
                                            "RegisterProtocolNotify",
                                            "LocateHandle",
                                            "LocateDevicePath",
                                            "InstallConfigurationTable",
                                            "LoadImage",
                                            "StartImage",
                                            "Exit",
                                            "UnloadImage",
                                            "ExitBootServices",
                                            "GetNextMonotonicCount",
                                            "Stall",
                                            "SetWatchdogTimer",
                                            "ConnectController",
                                            "DisconnectController",
                                            "OpenProtocol",
                                            "CloseProtocol",
                                            "OpenProtocolInformation",
                                            "ProtocolsPerHandle",
                                            "LocateHandleBuffer",
                                            "LocateProtocol",
                                            "InstallMultipleProtocolInterfaces",
                                            "UninstallMultipleProtocolInterfaces",
                                            "CalculateCrc32",
                                            "CopyMem",
                                            "SetMem",
                                            "CreateEventEx"};
constexpr size_t kBootServiceSlots =
    (sizeof(EFI_BOOT_SERVICES) - sizeof(EFI_TABLE_HEADER)) / sizeof(void *);
static_assert(std::size(BootServiceNames) == kBootServiceSlots);

template <size_t Slot> void DescribeAfterEnd(ServiceCall &Call) {
  Call.Service = BootServiceNames[Slot];
  if (Call.Returned) {
    Call.Results.push_back("boot services have ended");
  }
}

template <size_t... Slot>
constexpr std::array<void (*)(), sizeof...(Slot)> AfterEndSlots(std::index_sequence<Slot...>) {
  return {reinterpret_cast<void (*)()>(Recorded<BsAfterEnd, DescribeAfterEnd<Slot>>)...};
}

} // namespace

// ---- device paths ------------------------------------------------------------------------------
std::vector<uint8_t> EndNode() {
  return {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};
}

std::vector<uint8_t> FilePathNode(const std::string &FileName) {
  std::vector<uint8_t> Node = {MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, 0, 0};
  for (char C : FileName) {
    Node.push_back((uint8_t)C);
    Node.push_back(0);
  }
  Node.push_back(0);
  Node.push_back(0);
  Node[2] = (uint8_t)Node.size();
  Node[3] = (uint8_t)(Node.size() >> 8);
  return Node;
}

// ---- the services' life -------------------------------------------------------------------
BootServices::BootServices(std::vector<std::string> &Problems, std::vector<std::string> &Timeline,
                           EFI_SYSTEM_TABLE &System)
    : Problems(Problems), Timeline(Timeline), System(System) {
  if (Active != nullptr) {
    std::fprintf(stderr, "only one set of boot services at a time\n");
    std::abort();
  }
  Active = this;
}

BootServices &BootServices::Current() {
  return S();
}

BootServices::~BootServices() {
  for (auto &Record : Images) {
    UnregisterImage(Record->Image.get());
  }
  Active = nullptr;
}

void BootServices::Reset() {
  for (auto &Record : Images) {
    UnregisterImage(Record->Image.get());
  }
  Images.clear();
  Handles.clear();
  Events.clear();
  Pool.clear();
  Pages.clear();
  ControllerCalls.clear();
  TplChanges.clear();
  Tpl = TPL_APPLICATION;
  Ended = false;
}

void BootServices::InstallDispatcher() {
  // The image that loads the drivers: their loaded images name it as their parent.
  Dispatcher = NewHandle("DXE dispatcher");
  // The volume the driver images are loaded from.
  VolumePath = {HARDWARE_DEVICE_PATH, HW_PCI_DP, 6, 0, 1, 0x11};
  std::vector<uint8_t> End = EndNode();
  VolumePath.insert(VolumePath.end(), End.begin(), End.end());
  Volume = NewHandle("boot volume");
  Install(&Volume, EFI_DEVICE_PATH_PROTOCOL_GUID, VolumePath.data());
}

void BootServices::End() {
  Ended = true;
  auto *Slots =
      reinterpret_cast<void (**)()>(reinterpret_cast<uint8_t *>(&Table) + sizeof(EFI_TABLE_HEADER));
  size_t Count = (sizeof(EFI_BOOT_SERVICES) - sizeof(EFI_TABLE_HEADER)) / sizeof(void *);
  static const auto AfterEnd = AfterEndSlots(std::make_index_sequence<kBootServiceSlots>());
  for (size_t Index = 0; Index < Count; Index++) {
    Slots[Index] = AfterEnd[Index];
  }
  Table.Hdr.Signature = 0;
}

// ---- the table ----------------------------------------------------------------------------
void BootServices::BuildTable() {
  EFI_BOOT_SERVICES &Bs = Table;
  Bs = {};
  Bs.Hdr = {EFI_BOOT_SERVICES_SIGNATURE, (2 << 16) | 31, sizeof(EFI_BOOT_SERVICES), 0, 0};
  Bs.RaiseTPL = OffImageStack<Recorded<BsRaiseTpl, DescribeRaiseTpl>>;
  Bs.RestoreTPL = OffImageStack<Recorded<BsRestoreTpl, DescribeRestoreTpl>>;
  Bs.AllocatePages = OffImageStack<Recorded<BsAllocatePages, DescribeAllocatePages>>;
  Bs.FreePages = OffImageStack<Recorded<BsFreePages, DescribeFreePages>>;
  Bs.GetMemoryMap = NotOffered<EFI_GET_MEMORY_MAP, 0>();
  Bs.AllocatePool = OffImageStack<Recorded<BsAllocatePool, DescribeAllocatePool>>;
  Bs.FreePool = OffImageStack<Recorded<BsFreePool, DescribeFreePool>>;
  Bs.CreateEvent = OffImageStack<Recorded<BsCreateEvent, DescribeCreateEvent>>;
  Bs.SetTimer = NotOffered<EFI_SET_TIMER, 1>();
  Bs.WaitForEvent = OffImageStack<Recorded<BsWaitForEvent, DescribeWaitForEvent>>;
  Bs.SignalEvent = OffImageStack<Recorded<BsSignalEvent, DescribeEventCall<kSignalEvent>>>;
  Bs.CloseEvent = OffImageStack<Recorded<BsCloseEvent, DescribeEventCall<kCloseEvent>>>;
  Bs.CheckEvent = OffImageStack<Recorded<BsCheckEvent, DescribeEventCall<kCheckEvent>>>;
  Bs.InstallProtocolInterface =
      OffImageStack<Recorded<BsInstallProtocolInterface, DescribeInstallProtocolInterface>>;
  Bs.ReinstallProtocolInterface = NotOffered<EFI_REINSTALL_PROTOCOL_INTERFACE, 2>();
  Bs.UninstallProtocolInterface =
      OffImageStack<Recorded<BsUninstallProtocolInterface, DescribeUninstallProtocolInterface>>;
  Bs.HandleProtocol = OffImageStack<Recorded<BsHandleProtocol, DescribeHandleProtocol>>;
  Bs.RegisterProtocolNotify = NotOffered<EFI_REGISTER_PROTOCOL_NOTIFY, 3>();
  Bs.LocateHandle = OffImageStack<Recorded<BsLocateHandle, DescribeLocateHandle>>;
  Bs.LocateDevicePath = NotOffered<EFI_LOCATE_DEVICE_PATH, 4>();
  Bs.InstallConfigurationTable = NotOffered<EFI_INSTALL_CONFIGURATION_TABLE, 5>();
  Bs.LoadImage = NotOffered<EFI_IMAGE_LOAD, 6>();
  Bs.StartImage = NotOffered<EFI_IMAGE_START, 7>();
  Bs.Exit = NotOffered<EFI_EXIT, 8>();
  Bs.UnloadImage = NotOffered<EFI_IMAGE_UNLOAD, 9>();
  Bs.ExitBootServices = NotOffered<EFI_EXIT_BOOT_SERVICES, 10>();
  Bs.GetNextMonotonicCount = NotOffered<EFI_GET_NEXT_MONOTONIC_COUNT, 11>();
  Bs.Stall = OffImageStack<Recorded<BsStall, DescribeStall>>;
  Bs.SetWatchdogTimer = NotOffered<EFI_SET_WATCHDOG_TIMER, 12>();
  Bs.ConnectController = OffImageStack<Recorded<BsConnectController, DescribeConnectController>>;
  Bs.DisconnectController =
      OffImageStack<Recorded<BsDisconnectController, DescribeDisconnectController>>;
  Bs.OpenProtocol = OffImageStack<Recorded<BsOpenProtocol, DescribeOpenProtocol>>;
  Bs.CloseProtocol = OffImageStack<Recorded<BsCloseProtocol, DescribeCloseProtocol>>;
  Bs.OpenProtocolInformation = NotOffered<EFI_OPEN_PROTOCOL_INFORMATION, 15>();
  Bs.ProtocolsPerHandle = NotOffered<EFI_PROTOCOLS_PER_HANDLE, 16>();
  Bs.LocateHandleBuffer = OffImageStack<Recorded<BsLocateHandleBuffer, DescribeLocateHandleBuffer>>;
  Bs.LocateProtocol = OffImageStack<Recorded<BsLocateProtocol, DescribeLocateProtocol>>;
  Bs.InstallMultipleProtocolInterfaces =
      BsInstallMultipleProtocolInterfaces; // variadic: on the image stack
  Bs.UninstallMultipleProtocolInterfaces =
      NotOffered<EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES, 17>();
  Bs.CalculateCrc32 = OffImageStack<Recorded<BsCalculateCrc32, DescribeCalculateCrc32>>;
  Bs.CopyMem = OffImageStack<Recorded<BsCopyMem, DescribeCopyMem>>;
  Bs.SetMem = OffImageStack<Recorded<BsSetMem, DescribeSetMem>>;
  Bs.CreateEventEx = NotOffered<EFI_CREATE_EVENT_EX, 18>();
}

// ---- images ----------------------------------------------------------------------------------
EFI_HANDLE BootServices::LoadImage(const std::string &Path, std::string &Error) {
  std::unique_ptr<PeImage> Image = LoadPeImage(Path, Error);
  if (!Image) {
    return nullptr;
  }
  if (Image->Subsystem != 11) {
    Error = Path + ": not a boot-service driver image (subsystem " +
            std::to_string(Image->Subsystem) + ")";
    return nullptr;
  }
  std::vector<uint8_t> FilePath = FilePathNode("\\" + Image->Name + ".efi");
  std::vector<uint8_t> End = EndNode();
  FilePath.insert(FilePath.end(), End.begin(), End.end());
  return AddLoadedImage(std::move(Image), Volume, std::move(FilePath));
}

EFI_HANDLE BootServices::AddLoadedImage(std::unique_ptr<PeImage> Image, EFI_HANDLE DeviceHandle,
                                        std::vector<uint8_t> FilePath) {
  auto Record = std::make_unique<LoadedImageRecord>();
  Record->Image = std::move(Image);
  RegisterImage(Record->Image.get());
  Record->FilePath = std::move(FilePath);
  EFI_LOADED_IMAGE_PROTOCOL &Li = Record->Protocol;
  Li.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  Li.ParentHandle = Dispatcher;
  Li.SystemTable = &System;
  Li.DeviceHandle = DeviceHandle;
  Li.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Record->FilePath.data());
  Li.ImageBase = Record->Image->Base;
  Li.ImageSize = Record->Image->Size;
  Li.ImageCodeType = EfiBootServicesCode;
  Li.ImageDataType = EfiBootServicesData;
  Record->Handle = NewHandle("image " + Record->Image->Name);
  Install(&Record->Handle, EFI_LOADED_IMAGE_PROTOCOL_GUID, &Li);
  Images.push_back(std::move(Record));
  return Images.back()->Handle;
}

LoadedImageRecord *BootServices::ImageRecord(EFI_HANDLE ImageHandle) {
  for (auto &Record : Images) {
    if (Record->Handle == ImageHandle) {
      return Record.get();
    }
  }
  return nullptr;
}

RunResult BootServices::RunGuardedCall(const std::string &Name,
                                       const std::function<uint64_t()> &Body) {
  GuardedResult Guarded = RunGuarded(Body);
  RunResult Result;
  Result.Name = Name;
  Result.How = Guarded.How;
  Result.Status = Guarded.Value;
  Result.Message = Guarded.Message;
  return Result;
}

RunResult BootServices::StartImage(EFI_HANDLE ImageHandle) {
  LoadedImageRecord *Record = ImageRecord(ImageHandle);
  if (Record == nullptr) {
    RunResult Result;
    Result.How = Outcome::Crashed;
    Result.Message = "no such image";
    return Result;
  }
  auto Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(Record->Image->Entry());
  EFI_SYSTEM_TABLE *Table = &System;
  EFI_TPL Started = Tpl;
  RunResult Result = RunGuardedCall(Record->Image->Name, [&] {
    EnterImageCode(reinterpret_cast<const void *>(Entry));
    EFI_STATUS Status = Entry(ImageHandle, Table);
    LeaveImageCode();
    return Status;
  });
  // The DXE core starts drivers at TPL_APPLICATION; an entry point that leaves the level raised
  // holds off every event notification of the boot from then on.
  if (Result.Returned() && Tpl != Started) {
    Problem(Record->Image->Name + "'s entry point returned at task priority level " + TplText(Tpl) +
            ", not at the level " + TplText(Started) + " it was started at");
  }
  if (Result.Returned() && EFI_ERROR(Result.Status)) {
    UnloadFailedImage(*Record);
  }
  return Result;
}

// A driver whose entry point returns an error is unloaded, as a DXE core does. Whatever it
// left installed that points into its image would be a dangling interface afterwards.
void BootServices::UnloadFailedImage(LoadedImageRecord &Record) {
  const PeImage *Image = Record.Image.get();
  Uninstall(Record.Handle, EFI_LOADED_IMAGE_PROTOCOL_GUID);
  for (const auto &Handle : Handles) {
    for (const ProtocolEntry &Entry : Handle->Protocols) {
      if (Image->Contains(Entry.Interface)) {
        Problem(Image->Name + " returned an error but left " + GuidText(Entry.Guid) +
                " installed inside its image");
      }
    }
  }
  UnregisterImage(Image);
  // The core frees the image's pages, and the next allocation may take them (the next image
  // loaded can sit at the same address). Their bytes stay for the memory search, but they are
  // no longer code: a call through anything the driver left behind ends as a crash outside
  // every image instead of running the unloaded driver.
  size_t Bytes = (Image->Size + 4095) & ~size_t{4095};
  if (mprotect(Image->Base, Bytes, PROT_READ | PROT_WRITE) != 0) {
    Problem("cannot take the unloaded image " + Image->Name + " out of code memory");
  }
  Record.Unloaded = true;
}

// ---- handle database -------------------------------------------------------------------------
EFI_HANDLE BootServices::NewHandle(const std::string &Label) {
  Handles.push_back(std::make_unique<HandleRecord>());
  Handles.back()->Label = Label;
  Handles.back()->Token = ArenaAllocate(16, 16);
  return Handles.back()->Token;
}

bool BootServices::IsHandle(EFI_HANDLE Handle) const {
  return Record(Handle) != nullptr;
}

const HandleRecord *BootServices::Record(EFI_HANDLE Handle) const {
  for (const auto &Record : Handles) {
    if (Record->Token == Handle) {
      return Record.get();
    }
  }
  return nullptr;
}

EFI_STATUS BootServices::Install(EFI_HANDLE *Handle, const EFI_GUID &Guid, void *Interface) {
  if (*Handle == nullptr) {
    *Handle = NewHandle("handle");
  } else if (!IsHandle(*Handle)) {
    return EFI_INVALID_PARAMETER;
  }
  auto *Target = const_cast<HandleRecord *>(Record(*Handle));
  for (const ProtocolEntry &Entry : Target->Protocols) {
    if (SameGuid(Entry.Guid, Guid)) {
      return EFI_INVALID_PARAMETER;
    }
  }
  Target->Protocols.push_back({Guid, Interface});
  return EFI_SUCCESS;
}

EFI_STATUS BootServices::Uninstall(EFI_HANDLE Handle, const EFI_GUID &Guid) {
  auto *Target = const_cast<HandleRecord *>(Record(Handle));
  if (Target == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto Before = Target->Protocols.size();
  std::erase_if(Target->Protocols, [&](const ProtocolEntry &E) { return SameGuid(E.Guid, Guid); });
  std::erase_if(Target->Opens, [&](const OpenRecord &Open) { return SameGuid(Open.Guid, Guid); });
  return Target->Protocols.size() == Before ? EFI_NOT_FOUND : EFI_SUCCESS;
}

void BootServices::UninstallEverywhere(const EFI_GUID &Guid) {
  for (EFI_HANDLE Handle : HandlesWith(Guid)) {
    Uninstall(Handle, Guid);
  }
}

void *BootServices::Protocol(EFI_HANDLE Handle, const EFI_GUID &Guid) const {
  const HandleRecord *Target = Record(Handle);
  if (Target == nullptr) {
    return nullptr;
  }
  for (const ProtocolEntry &Entry : Target->Protocols) {
    if (SameGuid(Entry.Guid, Guid)) {
      return Entry.Interface;
    }
  }
  return nullptr;
}

std::vector<EFI_HANDLE> BootServices::HandlesWith(const EFI_GUID &Guid) const {
  static const EFI_GUID Any{};
  std::vector<EFI_HANDLE> Found;
  for (const auto &Record : Handles) {
    if (SameGuid(Guid, Any) ? !Record->Protocols.empty()
                            : Protocol(Record->Token, Guid) != nullptr) {
      Found.push_back(Record->Token);
    }
  }
  return Found;
}

// ---- pool ------------------------------------------------------------------------------------
void *BootServices::AllocatePool(size_t Size, EFI_MEMORY_TYPE Type) {
  if (PoolFailures > 0) {
    PoolFailures--;
    return nullptr;
  }
  if (PoolFailureSize && Size == *PoolFailureSize) {
    if (PoolFailureSkip == 0) {
      PoolFailureSize.reset();
      return nullptr;
    }
    PoolFailureSkip--;
  }
  // Guard bytes behind the block: a read past its end sees garbage rather than zeros, and a
  // write past its end is caught when the block is freed.
  uint8_t *Block = ArenaAllocate((Size == 0 ? 1 : Size) + kPoolGuardBytes, 16);
  if (Block == nullptr) {
    return nullptr;
  }
  std::memset(Block, kPoolFill, Size + kPoolGuardBytes); // pool memory starts with garbage
  Pool[Block] = PoolBlock{Size, Type, false, true};
  return Block;
}

EFI_STATUS BootServices::FreePool(void *Buffer) {
  auto It = Pool.find(Buffer);
  if (It == Pool.end()) {
    Problem("FreePool of a pointer that is not a pool block");
    return EFI_INVALID_PARAMETER;
  }
  if (It->second.Freed) {
    Problem("FreePool of a block that was already freed");
    return EFI_INVALID_PARAMETER;
  }
  const uint8_t *Guard = static_cast<const uint8_t *>(Buffer) + It->second.Size;
  if (std::any_of(Guard, Guard + kPoolGuardBytes, [](uint8_t Byte) { return Byte != kPoolFill; })) {
    Problem("pool block written past its end");
  }
  It->second.Freed = true;
  return EFI_SUCCESS;
}

size_t BootServices::LivePoolBlocks() const {
  return std::count_if(Pool.begin(), Pool.end(), [](const auto &E) { return !E.second.Freed; });
}

// ---- events ----------------------------------------------------------------------------------
EFI_EVENT BootServices::NewEvent(std::function<bool()> Poll) {
  Events.push_back(std::make_unique<EventRecord>());
  Events.back()->Poll = std::move(Poll);
  return Events.back().get();
}

EventRecord *BootServices::Event(EFI_EVENT Handle) {
  for (auto &E : Events) {
    if (E.get() == Handle) {
      return E.get();
    }
  }
  return nullptr;
}

} // namespace sim
