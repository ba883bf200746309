#include "board.h"

#include "device_path_nodes.h"
#include "guids.h"
#include "hardware_io.h"
#include "physical_memory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#ifndef BOARD_DEFAULT_IMAGE_DIR
#define BOARD_DEFAULT_IMAGE_DIR "build/uefi/images"
#endif

namespace sim {
namespace {

// Pool memory starts with this garbage, and so do the guard bytes behind every block.
constexpr uint8_t kPoolFill = 0xAF;
constexpr size_t kPoolGuardBytes = 16;

Board *ActiveBoard = nullptr;

// ---- native hardware boundary: host-compiled driver code reaches the same bus ----------------
UINT64 NativeRead(bool IsIo, UINT64 Address, UINT8 Width) {
  return Board::Current().Hardware.Read(IsIo ? Space::Io : Space::Mmio, Address, Width);
}
void NativeWrite(bool IsIo, UINT64 Address, UINT8 Width, UINT64 Value) {
  Board::Current().Hardware.Write(IsIo ? Space::Io : Space::Mmio, Address, Width, Value);
}
[[noreturn]] void NativeHalt() {
  HaltGuarded("CpuDeadLoop (native)");
}
const HostHardwareBus NativeBus = {NativeRead, NativeWrite, NativeHalt};

Board &B() {
  return Board::Current();
}

// ---- boot services ---------------------------------------------------------------------------
EFI_TPL EFIAPI BsRaiseTpl(EFI_TPL NewTpl) {
  EFI_TPL Old = B().Tpl;
  if (NewTpl < Old) {
    B().Problem("RaiseTPL to a lower level");
  }
  B().Tpl = NewTpl;
  B().TplChanges.push_back(NewTpl);
  return Old;
}

VOID EFIAPI BsRestoreTpl(EFI_TPL OldTpl) {
  // EDK II's core asserts here: RestoreTPL only goes down (or stays).
  if (OldTpl > B().Tpl) {
    B().Problem("RestoreTPL to a higher level");
  }
  B().Tpl = OldTpl;
  B().TplChanges.push_back(OldTpl);
}

EFI_STATUS EFIAPI BsAllocatePages(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE, UINTN Count,
                                  EFI_PHYSICAL_ADDRESS *Memory) {
  if (Memory == nullptr || Count == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (B().PageFailures > 0) {
    B().PageFailures--;
    return EFI_OUT_OF_RESOURCES;
  }
  if (Type == AllocateAddress) {
    uint64_t Start = *Memory;
    uint64_t End = Start + Count * EFI_PAGE_SIZE;
    if (Start % EFI_PAGE_SIZE != 0 || Start < kLowWindowBase ||
        End > kLowWindowBase + kLowWindowSize) {
      return EFI_NOT_FOUND;
    }
    for (auto &[At, Block] : B().Pages) {
      if (!Block.Freed && At < End && At + Block.Pages * EFI_PAGE_SIZE > Start) {
        return EFI_NOT_FOUND;
      }
    }
    B().Pages[Start] = PageBlock{Count, false, Type, 0};
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
  B().Pages[Address] = PageBlock{Count, false, Type, Type == AllocateMaxAddress ? *Memory : 0};
  *Memory = Address;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsFreePages(EFI_PHYSICAL_ADDRESS Memory, UINTN Count) {
  auto It = B().Pages.find(Memory);
  if (It == B().Pages.end() || It->second.Freed || It->second.Pages != Count) {
    B().Problem("FreePages of memory that was not allocated that way");
    return EFI_NOT_FOUND;
  }
  It->second.Freed = true;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Buffer = B().AllocatePool(Size, Type);
  return *Buffer == nullptr ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsFreePool(VOID *Buffer) {
  return B().FreePool(Buffer);
}

EFI_STATUS EFIAPI BsCreateEvent(UINT32, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY, VOID *,
                                EFI_EVENT *Event) {
  if (Event == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Event = B().NewEvent(nullptr);
  B().Event(*Event)->NotifyTpl = NotifyTpl;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsWaitForEvent(UINTN Count, EFI_EVENT *List, UINTN *Index) {
  if (Count == 0 || List == nullptr || Index == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (B().Tpl != TPL_APPLICATION) {
    B().Problem("WaitForEvent above TPL_APPLICATION");
    return EFI_UNSUPPORTED;
  }
  for (UINTN I = 0; I < Count; I++) {
    EventRecord *E = B().Event(List[I]);
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
    EventRecord *E = B().Event(List[I]);
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
  EventRecord *E = B().Event(Event);
  if (E == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  E->Signaled = true;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsCloseEvent(EFI_EVENT Event) {
  return B().Event(Event) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI BsCheckEvent(EFI_EVENT Event) {
  EventRecord *E = B().Event(Event);
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
  return B().Install(Handle, *Guid, Interface);
}

EFI_STATUS EFIAPI BsUninstallProtocolInterface(EFI_HANDLE Handle, const EFI_GUID *Guid,
                                               VOID *Interface) {
  if (Guid == nullptr || B().Protocol(Handle, *Guid) != Interface) {
    return EFI_NOT_FOUND;
  }
  return B().Uninstall(Handle, *Guid);
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
  if (!B().IsHandle(Handle)) {
    return EFI_INVALID_PARAMETER;
  }
  switch (Attributes) {
  case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
    if (!B().IsHandle(Agent) || !B().IsHandle(Controller) || Handle == Controller) {
      return EFI_INVALID_PARAMETER;
    }
    break;
  case EFI_OPEN_PROTOCOL_BY_DRIVER:
  case EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE:
    if (!B().IsHandle(Agent) || !B().IsHandle(Controller)) {
      return EFI_INVALID_PARAMETER;
    }
    break;
  case EFI_OPEN_PROTOCOL_EXCLUSIVE:
    if (!B().IsHandle(Agent)) {
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
  auto *Target = const_cast<HandleRecord *>(B().Record(Handle));
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
  if (Guid == nullptr || !B().IsHandle(Handle) || !B().IsHandle(Agent) ||
      (Controller != nullptr && !B().IsHandle(Controller))) {
    return EFI_INVALID_PARAMETER;
  }
  if (B().Protocol(Handle, *Guid) == nullptr) {
    return EFI_NOT_FOUND;
  }
  auto *Target = const_cast<HandleRecord *>(B().Record(Handle));
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
  std::vector<EFI_HANDLE> Found = B().HandlesWith(Search == AllHandles ? EFI_GUID{} : *Guid);
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
  std::vector<EFI_HANDLE> Found = B().HandlesWith(Search == AllHandles ? EFI_GUID{} : *Guid);
  if (Found.empty()) {
    return EFI_NOT_FOUND;
  }
  void *Memory = B().AllocatePool(Found.size() * sizeof(EFI_HANDLE), EfiBootServicesData);
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
  std::vector<EFI_HANDLE> Found = B().HandlesWith(*Guid);
  if (Found.empty()) {
    *Interface = nullptr;
    return EFI_NOT_FOUND;
  }
  *Interface = B().Protocol(Found.front(), *Guid);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsInstallMultipleProtocolInterfaces(EFI_HANDLE *Handle, ...) {
  if (Handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::vector<ProtocolEntry> Pairs;
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
  // All or nothing: refuse when a protocol is already on the handle.
  if (*Handle != nullptr) {
    if (!B().IsHandle(*Handle)) {
      return EFI_INVALID_PARAMETER;
    }
    for (const ProtocolEntry &Pair : Pairs) {
      if (B().Protocol(*Handle, Pair.Guid) != nullptr) {
        return EFI_INVALID_PARAMETER;
      }
    }
  }
  for (const ProtocolEntry &Pair : Pairs) {
    EFI_STATUS Status = B().Install(Handle, Pair.Guid, Pair.Interface);
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsStall(UINTN Microseconds) {
  B().ClockMicroseconds += Microseconds;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsConnectController(EFI_HANDLE Controller, EFI_HANDLE *,
                                      EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN Recursive) {
  if (!B().IsHandle(Controller)) {
    return EFI_INVALID_PARAMETER;
  }
  B().ControllerCalls.push_back("connect " + B().Record(Controller)->Label +
                                (Recursive ? " recursive" : ""));
  B().Note(B().ControllerCalls.back());
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BsDisconnectController(EFI_HANDLE Controller, EFI_HANDLE, EFI_HANDLE) {
  if (!B().IsHandle(Controller)) {
    return EFI_INVALID_PARAMETER;
  }
  B().ControllerCalls.push_back("disconnect " + B().Record(Controller)->Label);
  B().Note(B().ControllerCalls.back());
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
template <int Slot> EFI_STATUS EFIAPI BsNotOffered() {
  static const char *const Names[] = {"GetMemoryMap",
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
  B().Problem(std::string("boot service not offered by the board: ") + Names[Slot]);
  return EFI_UNSUPPORTED;
}

template <typename T, int Slot> T NotOffered() {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(BsNotOffered<Slot>));
}

// ---- runtime services ------------------------------------------------------------------------
EFI_STATUS EFIAPI RtGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                UINTN *Size, VOID *Data) {
  return B().Variables.Get(Name, Guid, Attributes, Size, Data);
}

EFI_STATUS EFIAPI RtSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                                UINTN Size, const VOID *Data) {
  return B().Variables.Set(Name, Guid, Attributes, Size, Data);
}

EFI_STATUS EFIAPI RtGetNextVariableName(UINTN *Size, CHAR16 *Name, EFI_GUID *Guid) {
  return B().Variables.GetNextName(Size, Name, Guid);
}

EFI_STATUS EFIAPI RtNotOffered() {
  B().Problem("runtime service not offered by the board");
  return EFI_UNSUPPORTED;
}

VOID EFIAPI RtResetSystem(UINT32, EFI_STATUS, UINTN, VOID *) {
  HaltGuarded("ResetSystem");
}

// ---- boot script save ------------------------------------------------------------------------
EFI_STATUS EFIAPI ScriptWrite(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *, UINT16 Table, UINT16 OpCode, ...) {
  if (Table != EFI_ACPI_S3_RESUME_SCRIPT_TABLE) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (EFI_ERROR(B().BootScriptWriteStatus)) {
    return B().BootScriptWriteStatus;
  }
  BootScriptEntry Entry;
  Entry.AfterAccesses = B().Hardware.Trace().size();
  Entry.Table = Table;
  Entry.OpCode = OpCode;
  __builtin_ms_va_list Args;
  // The published prototype ends its named parameters with a UINT16. In the Microsoft x64
  // convention every argument has its own 8-byte slot, so the list still starts right after
  // OpCode's slot; clang's warning about promotion does not apply to this convention.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
  __builtin_ms_va_start(Args, OpCode);
#ifdef __clang__
#pragma clang diagnostic pop
#endif
  switch (OpCode) {
  case EFI_BOOT_SCRIPT_IO_WRITE_OPCODE:
  case EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE:
  case EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE: {
    Entry.Width = (uint32_t) __builtin_va_arg(Args, UINTN);
    Entry.Address = __builtin_va_arg(Args, UINT64);
    Entry.Count = __builtin_va_arg(Args, UINTN);
    const uint8_t *Data = __builtin_va_arg(Args, const uint8_t *);
    if (Entry.Width > EfiBootScriptWidthUint64 || Data == nullptr) {
      __builtin_ms_va_end(Args);
      return EFI_INVALID_PARAMETER;
    }
    size_t Bytes = Entry.Count * (size_t{1} << Entry.Width);
    Entry.Data.assign(Data, Data + Bytes);
    break;
  }
  default:
    __builtin_ms_va_end(Args);
    B().Problem("boot-script opcode not modelled: " + std::to_string(OpCode));
    return EFI_UNSUPPORTED;
  }
  __builtin_ms_va_end(Args);
  B().BootScript.push_back(std::move(Entry));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ScriptCloseTable(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *, UINT16 Table,
                                   EFI_PHYSICAL_ADDRESS *) {
  return Table == EFI_ACPI_S3_RESUME_SCRIPT_TABLE ? EFI_SUCCESS : EFI_NOT_FOUND;
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

// ---- Board -----------------------------------------------------------------------------------
Board &Board::Current() {
  if (ActiveBoard == nullptr) {
    std::fprintf(stderr, "no simulated board\n");
    std::abort();
  }
  return *ActiveBoard;
}

std::string Board::ImageDirectory() {
  const char *Override = std::getenv("BOARD_IMAGE_DIR");
  return Override != nullptr ? Override : BOARD_DEFAULT_IMAGE_DIR;
}

std::string Board::ImagePath(const std::string &Name) {
  return ImageDirectory() + "/" + Name + ".efi";
}

Board::Board() {
  if (ActiveBoard != nullptr) {
    std::fprintf(stderr, "only one simulated board at a time\n");
    std::abort();
  }
  ActiveBoard = this;
  MapPhysicalWindows();
  Hardware.Attach(&Fch);
  Hardware.Attach(&Pcie);
  Hardware.Attach(&Tpm);
  Io.AttachTo(Hardware);
  InstallFaultHandler(&Hardware);
  SetHostHardwareBus(&NativeBus);

  // The board's PCI topology: host bridge, the graphics bridge 0:2.0 and the south bridge's
  // PCI-to-PCI bridge 0:14.4.
  Pcie.AddRootFunction({0, 0, 0}, 0x1022, 0x9600, false);
  Pcie.AddRootFunction({0, 2, 0}, 0x1022, 0x9603, true);
  Pcie.AddRootFunction({0, 0x14, 4}, 0x1002, 0x4384, true);
  BuildTables();
  PowerOnHardware();
  InstallPlatformProtocols();
  Smm.Attach();
}

Board::~Board() {
  ForgetDeadImageStackWatch();
  for (auto &Record : Images) {
    UnregisterImage(Record->Image.get());
  }
  SetHostHardwareBus(nullptr);
  ActiveBoard = nullptr;
}

void Board::BuildTables() {
  EFI_BOOT_SERVICES &Bs = BootServices;
  Bs = {};
  Bs.Hdr = {EFI_BOOT_SERVICES_SIGNATURE, (2 << 16) | 31, sizeof(EFI_BOOT_SERVICES), 0, 0};
  Bs.RaiseTPL = OffImageStack<BsRaiseTpl>;
  Bs.RestoreTPL = OffImageStack<BsRestoreTpl>;
  Bs.AllocatePages = OffImageStack<BsAllocatePages>;
  Bs.FreePages = OffImageStack<BsFreePages>;
  Bs.GetMemoryMap = NotOffered<EFI_GET_MEMORY_MAP, 0>();
  Bs.AllocatePool = OffImageStack<BsAllocatePool>;
  Bs.FreePool = OffImageStack<BsFreePool>;
  Bs.CreateEvent = OffImageStack<BsCreateEvent>;
  Bs.SetTimer = NotOffered<EFI_SET_TIMER, 1>();
  Bs.WaitForEvent = OffImageStack<BsWaitForEvent>;
  Bs.SignalEvent = OffImageStack<BsSignalEvent>;
  Bs.CloseEvent = OffImageStack<BsCloseEvent>;
  Bs.CheckEvent = OffImageStack<BsCheckEvent>;
  Bs.InstallProtocolInterface = OffImageStack<BsInstallProtocolInterface>;
  Bs.ReinstallProtocolInterface = NotOffered<EFI_REINSTALL_PROTOCOL_INTERFACE, 2>();
  Bs.UninstallProtocolInterface = OffImageStack<BsUninstallProtocolInterface>;
  Bs.HandleProtocol = OffImageStack<BsHandleProtocol>;
  Bs.RegisterProtocolNotify = NotOffered<EFI_REGISTER_PROTOCOL_NOTIFY, 3>();
  Bs.LocateHandle = OffImageStack<BsLocateHandle>;
  Bs.LocateDevicePath = NotOffered<EFI_LOCATE_DEVICE_PATH, 4>();
  Bs.InstallConfigurationTable = NotOffered<EFI_INSTALL_CONFIGURATION_TABLE, 5>();
  Bs.LoadImage = NotOffered<EFI_IMAGE_LOAD, 6>();
  Bs.StartImage = NotOffered<EFI_IMAGE_START, 7>();
  Bs.Exit = NotOffered<EFI_EXIT, 8>();
  Bs.UnloadImage = NotOffered<EFI_IMAGE_UNLOAD, 9>();
  Bs.ExitBootServices = NotOffered<EFI_EXIT_BOOT_SERVICES, 10>();
  Bs.GetNextMonotonicCount = NotOffered<EFI_GET_NEXT_MONOTONIC_COUNT, 11>();
  Bs.Stall = OffImageStack<BsStall>;
  Bs.SetWatchdogTimer = NotOffered<EFI_SET_WATCHDOG_TIMER, 12>();
  Bs.ConnectController = OffImageStack<BsConnectController>;
  Bs.DisconnectController = OffImageStack<BsDisconnectController>;
  Bs.OpenProtocol = OffImageStack<BsOpenProtocol>;
  Bs.CloseProtocol = OffImageStack<BsCloseProtocol>;
  Bs.OpenProtocolInformation = NotOffered<EFI_OPEN_PROTOCOL_INFORMATION, 15>();
  Bs.ProtocolsPerHandle = NotOffered<EFI_PROTOCOLS_PER_HANDLE, 16>();
  Bs.LocateHandleBuffer = OffImageStack<BsLocateHandleBuffer>;
  Bs.LocateProtocol = OffImageStack<BsLocateProtocol>;
  Bs.InstallMultipleProtocolInterfaces =
      BsInstallMultipleProtocolInterfaces; // variadic: on the image stack
  Bs.UninstallMultipleProtocolInterfaces =
      NotOffered<EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES, 17>();
  Bs.CalculateCrc32 = OffImageStack<BsCalculateCrc32>;
  Bs.CopyMem = OffImageStack<BsCopyMem>;
  Bs.SetMem = OffImageStack<BsSetMem>;
  Bs.CreateEventEx = NotOffered<EFI_CREATE_EVENT_EX, 18>();

  EFI_RUNTIME_SERVICES &Rt = RuntimeServices;
  Rt = {};
  Rt.Hdr = {EFI_RUNTIME_SERVICES_SIGNATURE, (2 << 16) | 31, sizeof(EFI_RUNTIME_SERVICES), 0, 0};
  Rt.GetTime = RtNotOffered;
  Rt.SetTime = RtNotOffered;
  Rt.GetWakeupTime = RtNotOffered;
  Rt.SetWakeupTime = RtNotOffered;
  Rt.SetVirtualAddressMap = RtNotOffered;
  Rt.ConvertPointer = RtNotOffered;
  Rt.GetVariable = OffImageStack<RtGetVariable>;
  Rt.GetNextVariableName = OffImageStack<RtGetNextVariableName>;
  Rt.SetVariable = OffImageStack<RtSetVariable>;
  Rt.GetNextHighMonotonicCount = RtNotOffered;
  Rt.ResetSystem = OffImageStack<RtResetSystem>;
  Rt.UpdateCapsule = RtNotOffered;
  Rt.QueryCapsuleCapabilities = RtNotOffered;
  Rt.QueryVariableInfo = RtNotOffered;

  SystemTable = {};
  SystemTable.Hdr = {EFI_SYSTEM_TABLE_SIGNATURE, (2 << 16) | 31, sizeof(EFI_SYSTEM_TABLE), 0, 0};
  static CHAR16 Vendor[] = u"Simulated notebook";
  SystemTable.FirmwareVendor = Vendor;
  SystemTable.FirmwareRevision = 0x00010000;
  SystemTable.RuntimeServices = &RuntimeServices;
  SystemTable.BootServices = &BootServices;
}

void Board::PowerOnHardware() {
  for (auto At : {PcieConfigSpace::Location{0, 2, 0}, PcieConfigSpace::Location{0, 0x14, 4}}) {
    RegisterFile *Bridge = Pcie.Function(At);
    (*Bridge)[0x18] = 0;
    (*Bridge)[0x19] = 0;
    (*Bridge)[0x1A] = 0;
  }
  Fch.PowerOnSmiRegisters();
  Io.PowerOn();
}

void Board::InstallPlatformProtocols() {
  // The image that loads the drivers: their loaded images name it as their parent.
  Dispatcher = NewHandle("DXE dispatcher");
  // The volume the driver images are loaded from.
  BootVolumePath = {HARDWARE_DEVICE_PATH, HW_PCI_DP, 6, 0, 1, 0x11};
  std::vector<uint8_t> End = EndNode();
  BootVolumePath.insert(BootVolumePath.end(), End.begin(), End.end());
  BootVolume = nullptr;
  Install(&BootVolume, EFI_DEVICE_PATH_PROTOCOL_GUID, BootVolumePath.data());
  Handles.back()->Label = "boot volume";

  BootScriptProtocol.Write = ScriptWrite;
  BootScriptProtocol.CloseTable = ScriptCloseTable;
  EFI_HANDLE ScriptHandle = nullptr;
  Install(&ScriptHandle, EFI_BOOT_SCRIPT_SAVE_PROTOCOL_GUID, &BootScriptProtocol);
  Handles.back()->Label = "boot script save";

  Console.Install(*this);

  // Outside components of the fingerprint authentication (their configuration stays).
  Usb.Install();
  FingerprintModule.Install();
  Csm.Install();
  Volume.Install();
  Pci.Install();
  Sata.Install();
  Hash.Install();
}

void Board::Problem(const std::string &Text) {
  Problems.push_back(Text);
}

// ---- images ----------------------------------------------------------------------------------
EFI_HANDLE Board::LoadImage(const std::string &Path, std::string &Error) {
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
  return AddLoadedImage(std::move(Image), BootVolume, std::move(FilePath));
}

EFI_HANDLE Board::AddLoadedImage(std::unique_ptr<PeImage> Image, EFI_HANDLE DeviceHandle,
                                 std::vector<uint8_t> FilePath) {
  auto Record = std::make_unique<LoadedImageRecord>();
  Record->Image = std::move(Image);
  RegisterImage(Record->Image.get());
  Record->FilePath = std::move(FilePath);
  EFI_LOADED_IMAGE_PROTOCOL &Li = Record->Protocol;
  Li.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  Li.ParentHandle = Dispatcher;
  Li.SystemTable = &SystemTable;
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

LoadedImageRecord *Board::ImageRecord(EFI_HANDLE ImageHandle) {
  for (auto &Record : Images) {
    if (Record->Handle == ImageHandle) {
      return Record.get();
    }
  }
  return nullptr;
}

RunResult Board::RunGuardedCall(const std::string &Name, const std::function<uint64_t()> &Body) {
  GuardedResult Guarded = RunGuarded(Body);
  RunResult Result;
  Result.Name = Name;
  Result.How = Guarded.How;
  Result.Status = Guarded.Value;
  Result.Message = Guarded.Message;
  return Result;
}

RunResult Board::StartImage(EFI_HANDLE ImageHandle) {
  LoadedImageRecord *Record = ImageRecord(ImageHandle);
  if (Record == nullptr) {
    RunResult Result;
    Result.How = Outcome::Crashed;
    Result.Message = "no such image";
    return Result;
  }
  auto Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(Record->Image->Entry());
  EFI_SYSTEM_TABLE *Table = &SystemTable;
  RunResult Result = RunGuardedCall(Record->Image->Name, [&] { return Entry(ImageHandle, Table); });
  if (Result.Returned() && EFI_ERROR(Result.Status)) {
    UnloadFailedImage(*Record);
  }
  return Result;
}

// A driver whose entry point returns an error is unloaded, as a DXE core does. Whatever it
// left installed that points into its image would be a dangling interface afterwards.
void Board::UnloadFailedImage(LoadedImageRecord &Record) {
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
  size_t Pages = (Image->Size + 4095) & ~size_t{4095};
  if (mprotect(Image->Base, Pages, PROT_READ | PROT_WRITE) != 0) {
    Problem("cannot take the unloaded image " + Image->Name + " out of code memory");
  }
  Record.Unloaded = true;
}

RunResult Board::RunDriver(const std::string &Name) {
  std::string Error;
  EFI_HANDLE Handle = LoadImage(ImagePath(Name), Error);
  if (Handle == nullptr) {
    RunResult Result;
    Result.Name = Name;
    Result.How = Outcome::NotLoaded;
    Result.Message = Error;
    return Result;
  }
  return StartImage(Handle);
}

// ---- handle database -------------------------------------------------------------------------
EFI_HANDLE Board::NewHandle(const std::string &Label) {
  Handles.push_back(std::make_unique<HandleRecord>());
  Handles.back()->Label = Label;
  return Handles.back().get();
}

bool Board::IsHandle(EFI_HANDLE Handle) const {
  return Record(Handle) != nullptr;
}

const HandleRecord *Board::Record(EFI_HANDLE Handle) const {
  for (const auto &Record : Handles) {
    if (Record.get() == Handle) {
      return Record.get();
    }
  }
  return nullptr;
}

EFI_STATUS Board::Install(EFI_HANDLE *Handle, const EFI_GUID &Guid, void *Interface) {
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

EFI_STATUS Board::Uninstall(EFI_HANDLE Handle, const EFI_GUID &Guid) {
  auto *Target = const_cast<HandleRecord *>(Record(Handle));
  if (Target == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto Before = Target->Protocols.size();
  std::erase_if(Target->Protocols, [&](const ProtocolEntry &E) { return SameGuid(E.Guid, Guid); });
  std::erase_if(Target->Opens, [&](const OpenRecord &Open) { return SameGuid(Open.Guid, Guid); });
  return Target->Protocols.size() == Before ? EFI_NOT_FOUND : EFI_SUCCESS;
}

void Board::UninstallEverywhere(const EFI_GUID &Guid) {
  for (EFI_HANDLE Handle : HandlesWith(Guid)) {
    Uninstall(Handle, Guid);
  }
}

void *Board::Protocol(EFI_HANDLE Handle, const EFI_GUID &Guid) const {
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

std::vector<EFI_HANDLE> Board::HandlesWith(const EFI_GUID &Guid) const {
  static const EFI_GUID Any{};
  std::vector<EFI_HANDLE> Found;
  for (const auto &Record : Handles) {
    if (SameGuid(Guid, Any) ? !Record->Protocols.empty()
                            : Protocol(Record.get(), Guid) != nullptr) {
      Found.push_back(Record.get());
    }
  }
  return Found;
}

// ---- pool ------------------------------------------------------------------------------------
void *Board::AllocatePool(size_t Size, EFI_MEMORY_TYPE Type) {
  if (PoolFailures > 0) {
    PoolFailures--;
    return nullptr;
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

EFI_STATUS Board::FreePool(void *Buffer) {
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

size_t Board::LivePoolBlocks() const {
  return std::count_if(Pool.begin(), Pool.end(), [](const auto &E) { return !E.second.Freed; });
}

// ---- events ----------------------------------------------------------------------------------
EFI_EVENT Board::NewEvent(std::function<bool()> Poll) {
  Events.push_back(std::make_unique<EventRecord>());
  Events.back()->Poll = std::move(Poll);
  return Events.back().get();
}

EventRecord *Board::Event(EFI_EVENT Handle) {
  for (auto &E : Events) {
    if (E.get() == Handle) {
      return E.get();
    }
  }
  return nullptr;
}

// ---- reboot ----------------------------------------------------------------------------------
void Board::Reboot() {
  for (auto &Record : Images) {
    UnregisterImage(Record->Image.get());
  }
  Images.clear();
  Handles.clear();
  Events.clear();
  Pool.clear();
  Pages.clear();
  BootScript.clear();
  ControllerCalls.clear();
  Timeline.clear();
  Problems.clear();
  TplChanges.clear();
  Tpl = TPL_APPLICATION;
  Variables.Reboot();
  Hardware.ClearTrace();
  std::memset(reinterpret_cast<void *>(kLowWindowBase), 0, kLowWindowSize);
  PowerOnHardware();
  BuildTables();
  InstallPlatformProtocols();
  BootServicesEnded = false;
  Smm.Attach();
}

// ---- end of boot services ----------------------------------------------------------------------
namespace {
EFI_STATUS EFIAPI BsAfterEnd() {
  B().Problem("boot service called after the end of boot services");
  return EFI_UNSUPPORTED;
}
} // namespace

void Board::EndBootServices() {
  BootServicesEnded = true;
  auto *Slots = reinterpret_cast<void (**)()>(reinterpret_cast<uint8_t *>(&BootServices) +
                                              sizeof(EFI_TABLE_HEADER));
  size_t Count = (sizeof(EFI_BOOT_SERVICES) - sizeof(EFI_TABLE_HEADER)) / sizeof(void *);
  for (size_t Index = 0; Index < Count; Index++) {
    Slots[Index] = reinterpret_cast<void (*)()>(BsAfterEnd);
  }
  BootServices.Hdr.Signature = 0;
  SystemTable.BootServices = nullptr;
}

} // namespace sim
