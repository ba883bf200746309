#include "smm_core.h"

#include "board.h"
#include "device_path_nodes.h"
#include "firmware_volume_model.h"
#include "guids.h"
#include "physical_memory.h"
#include "service_calls.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include <sys/mman.h>

namespace sim {
namespace {

constexpr uint8_t kSaveStateGuardByte = 0x5A;
constexpr uint32_t kGuardEax = 0x00008900;
constexpr size_t kEntryCapacity = 16;
// SMIs in a row that the armed SMI timer's pending status raises before the board calls it a
// storm.
constexpr unsigned kStormReentries = 16;

// The save-state records lie in a window of guard records (kGuardRecords on each side of the
// largest array the board builds), and the window in a reservation that faults on every touch
// for kSaveStateReach bytes on each side: a handler that picks a record outside the array
// either changes guard bytes (a problem) or faults (a crash).
constexpr size_t kMaxCpus = 64;
constexpr size_t kGuardRecords = 16;
constexpr size_t kSaveStateReach = size_t{4} << 30;
constexpr size_t kRecordSize = sizeof(EFI_SMM_CPU_SAVE_STATE);
static_assert(kRecordSize == 712);

uint8_t *SaveStateWindow(size_t &Bytes) {
  static uint8_t *Window = nullptr;
  static size_t WindowBytes = 0;
  if (Window == nullptr) {
    WindowBytes = ((kMaxCpus + 2 * kGuardRecords) * kRecordSize + 4095) & ~size_t{4095};
    void *Reserved = mmap(nullptr, WindowBytes + 2 * kSaveStateReach, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (Reserved == MAP_FAILED) {
      return nullptr;
    }
    Window = static_cast<uint8_t *>(Reserved) + kSaveStateReach;
    if (mprotect(Window, WindowBytes, PROT_READ | PROT_WRITE) != 0) {
      Window = nullptr;
      return nullptr;
    }
  }
  Bytes = WindowBytes;
  return Window;
}

// The guard byte at a window offset, with the records' base at Base: each record-sized slot
// looks like saved state with a request in EAX (AH = 0x89), so that a handler that takes a
// guard slot for the caller's record answers into it and is caught.
uint8_t GuardByteAt(size_t Offset, size_t Base) {
  size_t InSlot = (Offset + kRecordSize * kGuardRecords - Base) % kRecordSize;
  if (InSlot >= 464 && InSlot < 468) {
    return (uint8_t)(kGuardEax >> (8 * (InSlot - 464)));
  }
  return kSaveStateGuardByte;
}

SmmCore &Core() {
  return Board::Current().Smm;
}

template <typename T> T *SmramAllocate(size_t Count = 1) {
  uint8_t *Memory = ArenaAllocate(sizeof(T) * Count, 16);
  std::memset(Memory, 0, sizeof(T) * Count);
  return reinterpret_cast<T *>(Memory);
}

// ---- EFI_SMM_BASE_PROTOCOL ----------------------------------------------------------------------
EFI_STATUS EFIAPI BaseRegister(EFI_SMM_BASE_PROTOCOL *, EFI_DEVICE_PATH_PROTOCOL *FilePath,
                               VOID *SourceBuffer, UINTN SourceSize, EFI_HANDLE *ImageHandle,
                               BOOLEAN LegacyIa32) {
  return Core().Register(FilePath, SourceBuffer, SourceSize, ImageHandle, LegacyIa32);
}

EFI_STATUS EFIAPI BaseUnRegister(EFI_SMM_BASE_PROTOCOL *, EFI_HANDLE) {
  Core().Owner.Problem("SMM base UnRegister called (not offered by the board)");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI BaseCommunicate(EFI_SMM_BASE_PROTOCOL *, EFI_HANDLE, VOID *, UINTN *) {
  Core().Owner.Problem("SMM base Communicate called (not offered by the board)");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI BaseRegisterCallback(EFI_SMM_BASE_PROTOCOL *, EFI_HANDLE ImageHandle,
                                       EFI_SMM_CALLBACK_ENTRY_POINT Entry, BOOLEAN MakeLast,
                                       BOOLEAN FloatingPointSave) {
  return Core().RegisterCallback(ImageHandle, Entry, MakeLast, FloatingPointSave);
}

EFI_STATUS EFIAPI BaseInSmm(EFI_SMM_BASE_PROTOCOL *, BOOLEAN *InSmm) {
  if (InSmm == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *InSmm = Core().InSmm() ? TRUE : FALSE;
  return Core().Options().InSmmStatus;
}

EFI_STATUS EFIAPI SmramAllocatePool(EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Buffer = ArenaAllocate(Size == 0 ? 1 : Size, 16);
  return *Buffer == nullptr ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmramFreePool(VOID *Buffer) {
  return InArena(Buffer) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI BaseAllocatePool(EFI_SMM_BASE_PROTOCOL *, EFI_MEMORY_TYPE Type, UINTN Size,
                                   VOID **Buffer) {
  return SmramAllocatePool(Type, Size, Buffer);
}

EFI_STATUS EFIAPI BaseFreePool(EFI_SMM_BASE_PROTOCOL *, VOID *Buffer) {
  return SmramFreePool(Buffer);
}

EFI_STATUS EFIAPI BaseGetSmstLocation(EFI_SMM_BASE_PROTOCOL *, EFI_SMM_SYSTEM_TABLE **Smst) {
  return Core().GetSmstLocation(Smst);
}

// ---- SMM system table services
// --------------------------------------------------------------------
EFI_STATUS EFIAPI SmstInstallConfigurationTable(EFI_SMM_SYSTEM_TABLE *, EFI_GUID *Guid, VOID *Table,
                                                UINTN) {
  return Core().InstallConfigurationTable(Guid, Table);
}

uint8_t IoWidthBytes(EFI_SMM_IO_WIDTH Width) {
  switch (Width) {
  case SMM_IO_UINT8:
    return 1;
  case SMM_IO_UINT16:
    return 2;
  case SMM_IO_UINT32:
    return 4;
  default:
    return 0;
  }
}

EFI_STATUS SmmCpuIo(Space Where, bool IsWrite, EFI_SMM_IO_WIDTH Width, UINT64 Address, UINTN Count,
                    VOID *Buffer) {
  uint8_t Bytes = IoWidthBytes(Width);
  if (Bytes == 0 || Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto *Data = static_cast<uint8_t *>(Buffer);
  for (UINTN Index = 0; Index < Count; Index++) {
    uint64_t At = Address + Index * Bytes;
    uint64_t Value = 0;
    if (IsWrite) {
      std::memcpy(&Value, Data + Index * Bytes, Bytes);
      Core().Owner.Hardware.Write(Where, At, Bytes, Value);
    } else {
      Value = Core().Owner.Hardware.Read(Where, At, Bytes);
      std::memcpy(Data + Index * Bytes, &Value, Bytes);
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmMemRead(EFI_SMM_CPU_IO_INTERFACE *, EFI_SMM_IO_WIDTH Width, UINT64 Address,
                             UINTN Count, VOID *Buffer) {
  return SmmCpuIo(Space::Mmio, false, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI SmmMemWrite(EFI_SMM_CPU_IO_INTERFACE *, EFI_SMM_IO_WIDTH Width, UINT64 Address,
                              UINTN Count, VOID *Buffer) {
  return SmmCpuIo(Space::Mmio, true, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI SmmIoRead(EFI_SMM_CPU_IO_INTERFACE *, EFI_SMM_IO_WIDTH Width, UINT64 Address,
                            UINTN Count, VOID *Buffer) {
  return SmmCpuIo(Space::Io, false, Width, Address, Count, Buffer);
}
EFI_STATUS EFIAPI SmmIoWrite(EFI_SMM_CPU_IO_INTERFACE *, EFI_SMM_IO_WIDTH Width, UINT64 Address,
                             UINTN Count, VOID *Buffer) {
  return SmmCpuIo(Space::Io, true, Width, Address, Count, Buffer);
}

EFI_STATUS EFIAPI SmramAllocatePages(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE, UINTN Pages,
                                     EFI_PHYSICAL_ADDRESS *Memory) {
  if (Memory == nullptr || Pages == 0 || Type != AllocateAnyPages) {
    return EFI_INVALID_PARAMETER;
  }
  uint8_t *Block = ArenaAllocate(Pages * EFI_PAGE_SIZE, EFI_PAGE_SIZE);
  if (Block == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  *Memory = reinterpret_cast<uint64_t>(Block);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmramFreePages(EFI_PHYSICAL_ADDRESS Memory, UINTN) {
  return InArena(reinterpret_cast<void *>(Memory)) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI SmmStartupThisAp(EFI_AP_PROCEDURE, UINTN, VOID *) {
  Core().Owner.Problem("SmmStartupThisAp called (the board runs one processor)");
  return EFI_UNSUPPORTED;
}

// ---- SMM runtime services and SMM variable services ---------------------------------------------
EFI_STATUS EFIAPI SmmGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                 UINTN *Size, VOID *Data) {
  return Core().Owner.Variables.Get(Name, Guid, Attributes, Size, Data);
}

EFI_STATUS EFIAPI SmmSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                                 UINTN Size, const VOID *Data) {
  return Core().Owner.Variables.Set(Name, Guid, Attributes, Size, Data);
}

EFI_STATUS EFIAPI SmmGetNextVariableName(UINTN *Size, CHAR16 *Name, EFI_GUID *Guid) {
  return Core().Owner.Variables.GetNextName(Size, Name, Guid);
}

// Services of the guard entries behind the configuration table: reached only by a lookup that
// ran past the table's end.
EFI_STATUS EFIAPI GuardGetVariable(const CHAR16 *, const EFI_GUID *, UINT32 *, UINTN *, VOID *) {
  Core().Owner.Problem("variable read through a guard entry behind the SMM configuration table");
  return EFI_DEVICE_ERROR;
}

EFI_STATUS EFIAPI GuardSetVariable(const CHAR16 *, const EFI_GUID *, UINT32, UINTN, const VOID *) {
  Core().Owner.Problem("variable write through a guard entry behind the SMM configuration table");
  return EFI_DEVICE_ERROR;
}

EFI_STATUS EFIAPI GuardGetNextVariableName(UINTN *, CHAR16 *, EFI_GUID *) {
  Core().Owner.Problem("variable walk through a guard entry behind the SMM configuration table");
  return EFI_DEVICE_ERROR;
}

EFI_STATUS EFIAPI SmmRuntimeNotOffered() {
  Core().Owner.Problem("SMM runtime service not offered by the board");
  return EFI_UNSUPPORTED;
}

VOID EFIAPI SmmResetSystem(UINT32, EFI_STATUS, UINTN, VOID *) {
  HaltGuarded("ResetSystem (SMM)");
}

// ---- EFI_SMM_SW_DISPATCH_PROTOCOL ---------------------------------------------------------------
EFI_STATUS EFIAPI SwRegister(EFI_SMM_SW_DISPATCH_PROTOCOL *, EFI_SMM_SW_DISPATCH Function,
                             EFI_SMM_SW_DISPATCH_CONTEXT *Context, EFI_HANDLE *Handle) {
  return Core().RegisterSw(Function, Context, Handle);
}

EFI_STATUS EFIAPI SwUnRegister(EFI_SMM_SW_DISPATCH_PROTOCOL *, EFI_HANDLE Handle) {
  return Core().UnregisterSw(Handle);
}

// ---- status codes
// ---------------------------------------------------------------------------------
EFI_STATUS EFIAPI ReportStatusCode(UINT32, UINT32, UINT32, const EFI_GUID *,
                                   EFI_STATUS_CODE_DATA *) {
  Core().StatusCodeReports++;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmReportStatusCode(EFI_SMM_STATUS_CODE_PROTOCOL *, UINT32, UINT32, UINT32,
                                      const EFI_GUID *, EFI_STATUS_CODE_DATA *) {
  Core().StatusCodeReports++;
  return EFI_SUCCESS;
}

// ---- what --calls shows of each service -------------------------------------------------------
// The SMM services' names carry the table or protocol they are reached through.
std::string CpuIoValues(EFI_SMM_IO_WIDTH Width, UINTN Count, const VOID *Buffer) {
  uint8_t Bytes = IoWidthBytes(Width);
  if (Bytes == 0 || Buffer == nullptr) {
    return "no data";
  }
  constexpr UINTN kShown = 16;
  std::string Text = Count == 1 ? "value" : "values";
  for (UINTN Index = 0; Index < Count && Index < kShown; Index++) {
    uint64_t Value = 0;
    std::memcpy(&Value, static_cast<const uint8_t *>(Buffer) + Index * Bytes, Bytes);
    Text += " " + HexNumber(Value);
  }
  return Count > kShown ? Text + " ..." : Text;
}

template <const char *Name, bool Write>
void DescribeCpuIo(ServiceCall &Call, EFI_SMM_CPU_IO_INTERFACE *, EFI_SMM_IO_WIDTH Width,
                   UINT64 Address, UINTN Count, VOID *Buffer) {
  static const char *const Widths[] = {"UINT8", "UINT16", "UINT32", "UINT64"};
  if (!Call.Returned) {
    Call.Service = Name;
    Call.Arguments = {Width < 4 ? Widths[Width] : "width " + std::to_string(Width),
                      "address " + HexNumber(Address), "count " + std::to_string(Count)};
    if (Write) {
      Call.Arguments.push_back(CpuIoValues(Width, Count, Buffer));
    }
  } else if (!Write && Call.Value == EFI_SUCCESS) {
    Call.Results.push_back(CpuIoValues(Width, Count, Buffer));
  }
}
constexpr char kMemRead[] = "Smst->SmmIo.Mem.Read";
constexpr char kMemWrite[] = "Smst->SmmIo.Mem.Write";
constexpr char kIoRead[] = "Smst->SmmIo.Io.Read";
constexpr char kIoWrite[] = "Smst->SmmIo.Io.Write";

void DescribeBaseRegister(ServiceCall &Call, EFI_SMM_BASE_PROTOCOL *,
                          EFI_DEVICE_PATH_PROTOCOL *FilePath, VOID *SourceBuffer, UINTN SourceSize,
                          EFI_HANDLE *ImageHandle, BOOLEAN LegacyIa32) {
  if (!Call.Returned) {
    Call.Service = "SmmBase->Register";
    Call.Arguments = {FilePath == nullptr
                          ? "file path NULL"
                          : "file path of " + std::to_string(DevicePathBytes(FilePath)) + " bytes",
                      SourceBuffer == nullptr ? "no source buffer" : "a source buffer",
                      "source size " + HexNumber(SourceSize), LegacyIa32 ? "IA-32" : "native"};
  } else if (Call.Value == EFI_SUCCESS && ImageHandle != nullptr) {
    Call.Results.push_back(HandleArgument(*ImageHandle));
  }
}

template <const char *Name> void DescribeBaseNotOffered(ServiceCall &Call) {
  DescribeNotOffered(Call, Name);
}
constexpr char kBaseUnRegister[] = "SmmBase->UnRegister";
constexpr char kBaseCommunicate[] = "SmmBase->Communicate";
constexpr char kStartupThisAp[] = "Smst->SmmStartupThisAp";
constexpr char kSmmRuntimeNotOffered[] = "SmmRuntime (a service not offered)";

void DescribeBaseRegisterCallback(ServiceCall &Call, EFI_SMM_BASE_PROTOCOL *,
                                  EFI_HANDLE ImageHandle, EFI_SMM_CALLBACK_ENTRY_POINT Entry,
                                  BOOLEAN MakeLast, BOOLEAN FloatingPointSave) {
  Call.Service = "SmmBase->RegisterCallback";
  Call.Arguments = {HandleArgument(ImageHandle),
                    Entry == nullptr
                        ? "callback NULL"
                        : "callback " + DescribeAddress(reinterpret_cast<uint64_t>(Entry)),
                    MakeLast ? "make last" : "first",
                    FloatingPointSave ? "floating-point save" : "no floating-point save"};
}

void DescribeBaseInSmm(ServiceCall &Call, EFI_SMM_BASE_PROTOCOL *, BOOLEAN *InSmm) {
  Call.Service = "SmmBase->InSmm";
  if (Call.Returned && InSmm != nullptr) {
    Call.Results.push_back(*InSmm ? "TRUE" : "FALSE");
  }
}

void DescribeSmramAllocatePool(ServiceCall &Call, EFI_MEMORY_TYPE Type, UINTN Size, VOID **) {
  Call.Service = "Smst->SmmAllocatePool";
  Call.Arguments = {"memory type " + std::to_string(Type), "size " + HexNumber(Size)};
}

void DescribeSmramFreePool(ServiceCall &Call, VOID *) {
  Call.Service = "Smst->SmmFreePool";
}

void DescribeBaseAllocatePool(ServiceCall &Call, EFI_SMM_BASE_PROTOCOL *, EFI_MEMORY_TYPE Type,
                              UINTN Size, VOID **Buffer) {
  DescribeSmramAllocatePool(Call, Type, Size, Buffer);
  Call.Service = "SmmBase->SmmAllocatePool";
}

void DescribeBaseFreePool(ServiceCall &Call, EFI_SMM_BASE_PROTOCOL *, VOID *Buffer) {
  DescribeSmramFreePool(Call, Buffer);
  Call.Service = "SmmBase->SmmFreePool";
}

void DescribeSmramAllocatePages(ServiceCall &Call, EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE Memory,
                                UINTN Pages, EFI_PHYSICAL_ADDRESS *) {
  Call.Service = "Smst->SmmAllocatePages";
  Call.Arguments = {"type " + std::to_string(Type), "memory type " + std::to_string(Memory),
                    HexNumber(Pages) + " page(s)"};
}

void DescribeSmramFreePages(ServiceCall &Call, EFI_PHYSICAL_ADDRESS, UINTN Pages) {
  Call.Service = "Smst->SmmFreePages";
  Call.Arguments = {HexNumber(Pages) + " page(s)"};
}

void DescribeBaseGetSmstLocation(ServiceCall &Call, EFI_SMM_BASE_PROTOCOL *,
                                 EFI_SMM_SYSTEM_TABLE **) {
  Call.Service = "SmmBase->GetSmstLocation";
}

void DescribeSmstInstallConfigurationTable(ServiceCall &Call, EFI_SMM_SYSTEM_TABLE *,
                                           EFI_GUID *Guid, VOID *Table, UINTN Size) {
  Call.Service = "Smst->SmmInstallConfigurationTable";
  Call.Arguments = {GuidArgument(Guid), Table == nullptr ? "table NULL" : "a table",
                    "size " + HexNumber(Size)};
}

template <const char *Table>
void DescribeSmmGetVariable(ServiceCall &Call, const CHAR16 *Name, const EFI_GUID *Guid,
                            UINT32 *Attributes, UINTN *Size, VOID *) {
  DescribeGetVariable(Call, Name, Guid, Attributes, Size);
  Call.Service = std::string(Table) + "->GetVariable";
}
template <const char *Table>
void DescribeSmmSetVariable(ServiceCall &Call, const CHAR16 *Name, const EFI_GUID *Guid,
                            UINT32 Attributes, UINTN Size, const VOID *) {
  DescribeSetVariable(Call, Name, Guid, Attributes, Size);
  Call.Service = std::string(Table) + "->SetVariable";
}
template <const char *Table>
void DescribeSmmGetNextVariableName(ServiceCall &Call, UINTN *Size, CHAR16 *Name, EFI_GUID *Guid) {
  DescribeGetNextVariableName(Call, Size, Name, Guid);
  Call.Service = std::string(Table) + "->GetNextVariableName";
}
constexpr char kSmmRuntime[] = "SmmRuntime";
constexpr char kSmmVariable[] = "SmmVariable";
// The guard entries behind the configuration table's end.
constexpr char kGuardRuntime[] = "SmmRuntime (a guard entry past the configuration table)";
constexpr char kGuardVariable[] = "SmmVariable (a guard entry past the configuration table)";

void DescribeSmmResetSystem(ServiceCall &Call, UINT32 Type, EFI_STATUS Status, UINTN, VOID *) {
  DescribeResetSystem(Call, Type, Status);
  Call.Service = "SmmRuntime->ResetSystem";
}

void DescribeSwRegister(ServiceCall &Call, EFI_SMM_SW_DISPATCH_PROTOCOL *,
                        EFI_SMM_SW_DISPATCH Function, EFI_SMM_SW_DISPATCH_CONTEXT *Context,
                        EFI_HANDLE *) {
  Call.Service = "SwDispatch->Register";
  if (!Call.Returned) {
    Call.Arguments = {Function == nullptr
                          ? "handler NULL"
                          : "handler " + DescribeAddress(reinterpret_cast<uint64_t>(Function)),
                      Context == nullptr ? "context NULL"
                                         : "software SMI " + HexNumber(Context->SwSmiInputValue)};
  }
}

void DescribeSwUnRegister(ServiceCall &Call, EFI_SMM_SW_DISPATCH_PROTOCOL *, EFI_HANDLE) {
  Call.Service = "SwDispatch->UnRegister";
}

std::string StatusCodeArguments(UINT32 Type, UINT32 Value, UINT32 Instance,
                                const EFI_GUID *CallerId) {
  return "type " + HexNumber(Type) + ", value " + HexNumber(Value) + ", instance " +
         std::to_string(Instance) + ", caller " + GuidArgument(CallerId);
}

void DescribeReportStatusCode(ServiceCall &Call, UINT32 Type, UINT32 Value, UINT32 Instance,
                              const EFI_GUID *CallerId, EFI_STATUS_CODE_DATA *) {
  Call.Service = "StatusCode->ReportStatusCode";
  Call.Arguments = {StatusCodeArguments(Type, Value, Instance, CallerId)};
}

void DescribeSmmReportStatusCode(ServiceCall &Call, EFI_SMM_STATUS_CODE_PROTOCOL *, UINT32 Type,
                                 UINT32 Value, UINT32 Instance, const EFI_GUID *CallerId,
                                 EFI_STATUS_CODE_DATA *) {
  Call.Service = "SmmStatusCode->ReportStatusCode";
  Call.Arguments = {StatusCodeArguments(Type, Value, Instance, CallerId)};
}

bool IsEndNode(const uint8_t *Node) {
  return (Node[0] == END_DEVICE_PATH_TYPE || Node[0] == 0xFF) &&
         Node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

} // namespace

// ---- helpers ------------------------------------------------------------------------------------
size_t DevicePathBytes(const void *Path, size_t Limit, bool *EndedOnEndNode) {
  const uint8_t *Node = static_cast<const uint8_t *>(Path);
  size_t Total = 0;
  if (EndedOnEndNode != nullptr) {
    *EndedOnEndNode = false;
  }
  while (Total + 4 <= Limit) {
    size_t Length = Node[Total + 2] | (Node[Total + 3] << 8);
    if (IsEndNode(Node + Total)) {
      if (EndedOnEndNode != nullptr) {
        *EndedOnEndNode = true;
      }
      return Total + 4;
    }
    if (Node[Total] == 0 || Length < 4) {
      return Total; // malformed: stop before the node
    }
    Total += Length;
  }
  return Total > Limit ? Limit : Total;
}

void *ImageSymbol(const PeImage &Image, const std::string &Name) {
  for (const auto &[Rva, Symbol] : Image.Symbols) {
    if (Symbol == Name || Symbol.rfind("?" + Name + "@@", 0) == 0) {
      return Image.Base + Rva;
    }
  }
  return nullptr;
}

// ---- SmmCore
// ----------------------------------------------------------------------------------------
SmmCore::~SmmCore() {
  for (auto &Record : Loaded) {
    UnregisterImage(Record->Image.get());
  }
}

void SmmCore::Forget() {
  for (auto &Record : Loaded) {
    UnregisterImage(Record->Image.get());
  }
  Loaded.clear();
  Registered.clear();
  CallbackList.clear();
  SwList.clear();
  Installed.clear();
  LastCallbackStatuses.clear();
  Inside = false;
  SmiCount = 0;
  StatusCodeReports = 0;
  BaseHandle = SwDispatchHandle = StatusCodeHandle = SmmStatusCodeHandle = nullptr;
  Starting = nullptr;
}

void SmmCore::Attach() {
  Forget();

  Base.Register = Recorded<BaseRegister, DescribeBaseRegister>;
  Base.UnRegister = Recorded<BaseUnRegister, DescribeBaseNotOffered<kBaseUnRegister>>;
  Base.Communicate = Recorded<BaseCommunicate, DescribeBaseNotOffered<kBaseCommunicate>>;
  Base.RegisterCallback = Recorded<BaseRegisterCallback, DescribeBaseRegisterCallback>;
  Base.InSmm = Recorded<BaseInSmm, DescribeBaseInSmm>;
  Base.SmmAllocatePool = Recorded<BaseAllocatePool, DescribeBaseAllocatePool>;
  Base.SmmFreePool = Recorded<BaseFreePool, DescribeBaseFreePool>;
  Base.GetSmstLocation = Recorded<BaseGetSmstLocation, DescribeBaseGetSmstLocation>;
  SwDispatch.Register = Recorded<SwRegister, DescribeSwRegister>;
  SwDispatch.UnRegister = Recorded<SwUnRegister, DescribeSwUnRegister>;
  SwDispatch.MaximumSwiValue = 0xFFFFFFFF;
  StatusCode.ReportStatusCode = Recorded<ReportStatusCode, DescribeReportStatusCode>;
  SmmStatusCode.ReportStatusCode = Recorded<SmmReportStatusCode, DescribeSmmReportStatusCode>;

  // SMRAM: the system table, the tables it points at, and the save-state records.
  Table = SmramAllocate<EFI_SMM_SYSTEM_TABLE>();
  Table->Hdr = {SMM_SMST_SIGNATURE, EFI_SMM_SYSTEM_TABLE_REVISION, sizeof(EFI_SMM_SYSTEM_TABLE), 0,
                0};
  static CHAR16 Vendor[] = u"Simulated notebook SMM";
  Table->SmmFirmwareVendor = Vendor;
  Table->SmmFirmwareRevision = 0x00010000;
  Table->SmmInstallConfigurationTable =
      Recorded<SmstInstallConfigurationTable, DescribeSmstInstallConfigurationTable>;
  Table->EfiSmmCpuIoGuid = EFI_SMM_CPU_IO_GUID;
  Table->SmmIo.Mem.Read = Recorded<SmmMemRead, DescribeCpuIo<kMemRead, false>>;
  Table->SmmIo.Mem.Write = Recorded<SmmMemWrite, DescribeCpuIo<kMemWrite, true>>;
  Table->SmmIo.Io.Read = Recorded<SmmIoRead, DescribeCpuIo<kIoRead, false>>;
  Table->SmmIo.Io.Write = Recorded<SmmIoWrite, DescribeCpuIo<kIoWrite, true>>;
  Table->SmmAllocatePool = Recorded<SmramAllocatePool, DescribeSmramAllocatePool>;
  Table->SmmFreePool = Recorded<SmramFreePool, DescribeSmramFreePool>;
  Table->SmmAllocatePages = Recorded<SmramAllocatePages, DescribeSmramAllocatePages>;
  Table->SmmFreePages = Recorded<SmramFreePages, DescribeSmramFreePages>;
  Table->SmmStartupThisAp = Recorded<SmmStartupThisAp, DescribeBaseNotOffered<kStartupThisAp>>;

  EntryCapacity = kEntryCapacity;
  Entries = SmramAllocate<EFI_CONFIGURATION_TABLE>(EntryCapacity);

  RuntimeTable = SmramAllocate<EFI_RUNTIME_SERVICES>();
  RuntimeTable->Hdr = {EFI_RUNTIME_SERVICES_SIGNATURE, (2 << 16) | 31, sizeof(EFI_RUNTIME_SERVICES),
                       0, 0};
  RuntimeTable->GetTime =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;
  RuntimeTable->SetTime =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;
  RuntimeTable->GetWakeupTime =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;
  RuntimeTable->SetWakeupTime =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;
  RuntimeTable->SetVirtualAddressMap =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;
  RuntimeTable->ConvertPointer =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;
  RuntimeTable->GetVariable = Recorded<SmmGetVariable, DescribeSmmGetVariable<kSmmRuntime>>;
  RuntimeTable->GetNextVariableName =
      Recorded<SmmGetNextVariableName, DescribeSmmGetNextVariableName<kSmmRuntime>>;
  RuntimeTable->SetVariable = Recorded<SmmSetVariable, DescribeSmmSetVariable<kSmmRuntime>>;
  RuntimeTable->GetNextHighMonotonicCount =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;
  RuntimeTable->ResetSystem = Recorded<SmmResetSystem, DescribeSmmResetSystem>;
  RuntimeTable->UpdateCapsule =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;
  RuntimeTable->QueryCapsuleCapabilities =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;
  RuntimeTable->QueryVariableInfo =
      Recorded<SmmRuntimeNotOffered, DescribeBaseNotOffered<kSmmRuntimeNotOffered>>;

  VariableTable = SmramAllocate<SMM_VARIABLE_SERVICES_TABLE>();
  std::memcpy(VariableTable->Header, "SMM variable services", 22);
  VariableTable->GetVariable = Recorded<SmmGetVariable, DescribeSmmGetVariable<kSmmVariable>>;

  CpuIndex = SmramAllocate<SMM_CPU_INDEX_TABLE>();

  GuardRuntimeTable = SmramAllocate<EFI_RUNTIME_SERVICES>();
  *GuardRuntimeTable = *RuntimeTable;
  GuardRuntimeTable->GetVariable =
      Recorded<GuardGetVariable, DescribeSmmGetVariable<kGuardRuntime>>;
  GuardRuntimeTable->GetNextVariableName =
      Recorded<GuardGetNextVariableName, DescribeSmmGetNextVariableName<kGuardRuntime>>;
  GuardRuntimeTable->SetVariable =
      Recorded<GuardSetVariable, DescribeSmmSetVariable<kGuardRuntime>>;
  GuardVariableTable = SmramAllocate<SMM_VARIABLE_SERVICES_TABLE>();
  std::memcpy(GuardVariableTable->Header, "guard entry", 12);
  GuardVariableTable->GetVariable =
      Recorded<GuardGetVariable, DescribeSmmGetVariable<kGuardVariable>>;
  GuardCpuIndex = SmramAllocate<SMM_CPU_INDEX_TABLE>();
  GuardCpuIndex->CpuIndex = 0xFFFF; // no record: a handler that takes it gives no answer
  SaveStates = nullptr;
  SaveStateCount = 0;

  Configure(Settings);
}

void SmmCore::Configure(const SmmOptions &NewOptions) {
  Settings = NewOptions;
  if (Table == nullptr) {
    return; // applied by Attach
  }

  // Save-state records amid guard bytes that no handler may touch: index -1
  // (CurrentlyExecutingCpu 0) lands in the guard in front, index NumberOfCpus and beyond in
  // the guard behind, and far-off indices fault.
  if (SaveStates == nullptr || SaveStateCount != Settings.NumberOfCpus) {
    SaveStateCount = Settings.NumberOfCpus;
    if (SaveStateCount > kMaxCpus) {
      Owner.Problem("the board models at most 64 processors");
      SaveStateCount = kMaxCpus;
    }
    size_t WindowBytes = 0;
    uint8_t *Window = SaveStateWindow(WindowBytes);
    SaveStates = reinterpret_cast<EFI_SMM_CPU_SAVE_STATE *>(Window + kGuardRecords * kRecordSize);
    std::memset(SaveStates, 0, SaveStateCount * kRecordSize);
    FillGuards();
  }
  Table->CurrentlyExecutingCpu = Settings.CurrentlyExecutingCpu;
  Table->NumberOfCpus = Settings.NumberOfCpus;
  Table->CpuSaveState = SaveStates;
  Table->CpuOptionalFloatingPointState = nullptr;
  CpuIndex->CpuIndex = Settings.CpuIndexTableValue.value_or(Settings.CallerCpu);
  BuildConfigurationTable();
  PublishProtocols();
}

void SmmCore::BuildConfigurationTable() {
  std::vector<std::pair<EFI_GUID, void *>> List;
  // A first entry that none of the drivers looks for.
  List.push_back({EFI_SMM_CPU_IO_GUID, &Table->SmmIo});
  if (Settings.RuntimeServicesTable) {
    List.push_back({SMM_RUNTIME_SERVICES_TABLE_GUID, RuntimeTable});
  }
  if (Settings.CpuIndexTable) {
    List.push_back({SMM_CPU_INDEX_TABLE_GUID, CpuIndex});
  }
  if (Settings.VariableServicesTable) {
    List.push_back({SMM_VARIABLE_SERVICES_TABLE_GUID, VariableTable});
  }
  List.insert(List.end(), Installed.begin(), Installed.end());
  List.insert(List.end(), Settings.ExtraEntries.begin(), Settings.ExtraEntries.end());
  size_t Counted = List.size();
  // Guard entries right behind the end, for the tables left out.
  for (const auto &[Wanted, Guid, Guard] :
       {std::tuple{Settings.RuntimeServicesTable, &SMM_RUNTIME_SERVICES_TABLE_GUID,
                   (void *)GuardRuntimeTable},
        std::tuple{Settings.CpuIndexTable, &SMM_CPU_INDEX_TABLE_GUID, (void *)GuardCpuIndex},
        std::tuple{Settings.VariableServicesTable, &SMM_VARIABLE_SERVICES_TABLE_GUID,
                   (void *)GuardVariableTable}}) {
    if (!Wanted) {
      List.push_back({*Guid, Guard});
    }
  }
  if (List.size() > EntryCapacity) {
    EntryCapacity = List.size() * 2;
    Entries = SmramAllocate<EFI_CONFIGURATION_TABLE>(EntryCapacity);
  }
  std::memset(Entries, 0, sizeof(EFI_CONFIGURATION_TABLE) * EntryCapacity);
  for (size_t Index = 0; Index < List.size(); Index++) {
    Entries[Index].VendorGuid = List[Index].first;
    Entries[Index].VendorTable = List[Index].second;
  }
  Table->NumberOfTableEntries = Counted;
  Table->SmmConfigurationTable = Entries;
}

void SmmCore::PublishProtocols() {
  auto Publish = [&](EFI_HANDLE &Handle, const char *Label, bool Wanted,
                     std::initializer_list<std::pair<const EFI_GUID *, void *>> Protocols) {
    if (Handle != nullptr && Owner.IsHandle(Handle)) {
      for (const auto &[Guid, Interface] : Protocols) {
        Owner.Uninstall(Handle, *Guid);
      }
    }
    Handle = nullptr;
    if (!Wanted) {
      return;
    }
    Handle = Owner.NewHandle(Label);
    for (const auto &[Guid, Interface] : Protocols) {
      Owner.Install(&Handle, *Guid, Interface);
    }
  };
  if (BaseHandle == nullptr) {
    Publish(BaseHandle, "SMM base", true, {{&EFI_SMM_BASE_PROTOCOL_GUID, &Base}});
  }
  Publish(SwDispatchHandle, "SMM software-SMI dispatch", Settings.SwDispatchProtocol,
          {{&EFI_SMM_SW_DISPATCH_PROTOCOL_GUID, &SwDispatch}});
  // Two handles, so that a locate of one GUID can only find its own protocol.
  Publish(StatusCodeHandle, "status code", Settings.StatusCodeProtocols,
          {{&EFI_STATUS_CODE_RUNTIME_PROTOCOL_GUID, &StatusCode}});
  Publish(SmmStatusCodeHandle, "SMM status code",
          Settings.StatusCodeProtocols && Settings.SmmStatusCodeProtocol,
          {{&EFI_SMM_STATUS_CODE_PROTOCOL_GUID, &SmmStatusCode}});
}

EFI_SMM_CPU_SAVE_STATE *SmmCore::SaveState(size_t Cpu) const {
  return Cpu < SaveStateCount ? &SaveStates[Cpu] : nullptr;
}

const SmmImageRecord *SmmCore::Image(const std::string &Name) const {
  for (auto It = Loaded.rbegin(); It != Loaded.rend(); ++It) {
    if ((*It)->Image->Name == Name) {
      return It->get();
    }
  }
  return nullptr;
}

// The file the path names: a device path that some handle carries, followed by one file-path
// node and the end node.
// The image a path names: a device path that some handle carries, followed by one file node
// and the end node. A file-path node (04 04) names a file of the image folder; a firmware-file
// node (04 06) behind the board's firmware volume names a file of that volume, whose PE32
// section is the image.
std::unique_ptr<PeImage> SmmCore::LoadNamedImage(const std::vector<uint8_t> &Path,
                                                 EFI_HANDLE &Device, size_t &FileNode,
                                                 std::string &Label) const {
  for (EFI_HANDLE Handle : Owner.HandlesWith(EFI_DEVICE_PATH_PROTOCOL_GUID)) {
    const void *DevicePath = Owner.Protocol(Handle, EFI_DEVICE_PATH_PROTOCOL_GUID);
    bool Ended = false;
    size_t Length = DevicePathBytes(DevicePath, 4096, &Ended);
    if (Length < 4) {
      continue;
    }
    // The device's nodes without its end node; a path without an end node is all nodes.
    size_t Prefix = Ended ? Length - 4 : Length;
    if (Path.size() < Prefix + 4 + 4 || std::memcmp(Path.data(), DevicePath, Prefix) != 0) {
      continue;
    }
    const uint8_t *Node = Path.data() + Prefix;
    size_t NodeLength = Node[2] | (Node[3] << 8);
    if (Node[0] != MEDIA_DEVICE_PATH || NodeLength < 6 || Prefix + NodeLength + 4 != Path.size() ||
        !IsEndNode(Node + NodeLength)) {
      continue;
    }
    Device = Handle;
    FileNode = Prefix;
    std::string Error;
    if (Node[1] == MEDIA_FILEPATH_DP) {
      std::string Name;
      for (size_t At = 4; At + 1 < NodeLength; At += 2) {
        char16_t C = (char16_t)(Node[At] | (Node[At + 1] << 8));
        if (C == 0) {
          break;
        }
        Name += C < 0x80 ? (char)C : '?';
      }
      if (!Name.empty() && Name.front() == '\\') {
        Name.erase(0, 1);
      }
      Label = Name;
      return Name.empty() ? nullptr : LoadPeImage(Board::ImageDirectory() + "/" + Name, Error);
    }
    if (Node[1] == MEDIA_PIWG_FW_FILE_DP &&
        NodeLength == sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH) &&
        Handle == Owner.Volume.Handle()) {
      EFI_GUID FileName;
      std::memcpy(&FileName, Node + offsetof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH, FvFileName),
                  sizeof FileName);
      const FirmwareFile *File = Owner.Volume.File(FileName);
      const FirmwareFileSection *Pe32 =
          File != nullptr ? FindSection(*File, EFI_SECTION_PE32, 0) : nullptr;
      if (Pe32 == nullptr) {
        Label = GuidText(FileName);
        return nullptr;
      }
      // The file's name from its user-interface section, for the report and the symbols.
      std::string Name;
      if (const FirmwareFileSection *Ui = FindSection(*File, EFI_SECTION_USER_INTERFACE, 0)) {
        for (size_t At = 0; At + 1 < Ui->Data.size(); At += 2) {
          char16_t C = (char16_t)(Ui->Data[At] | (Ui->Data[At + 1] << 8));
          if (C == 0) {
            break;
          }
          Name += C < 0x80 ? (char)C : '?';
        }
      }
      if (Name.empty()) {
        Name = GuidText(FileName);
      }
      Label = "firmware file " + Name;
      if (ReadWholeFile(Board::ImagePath(Name)) == Pe32->Data) {
        return LoadPeImage(Board::ImagePath(Name), Error);
      }
      return LoadPeImage(Pe32->Data, Name, Error);
    }
  }
  return nullptr;
}

EFI_STATUS SmmCore::Register(EFI_DEVICE_PATH_PROTOCOL *FilePath, VOID *SourceBuffer,
                             UINTN SourceSize, EFI_HANDLE *ImageHandle, BOOLEAN LegacyIa32) {
  SmmRegistration Record;
  Record.HadSourceBuffer = SourceBuffer != nullptr;
  Record.SourceSize = SourceSize;
  Record.LegacyIa32 = LegacyIa32 != FALSE;
  // The drivers name their file by path: no source buffer, no size, a native image.
  if (SourceBuffer != nullptr || SourceSize != 0 || LegacyIa32) {
    Owner.Problem("SMM base Register with a source buffer, a source size or the IA-32 flag");
  }
  if (FilePath != nullptr) {
    const uint8_t *Bytes = reinterpret_cast<const uint8_t *>(FilePath);
    Record.Path.assign(Bytes, Bytes + DevicePathBytes(FilePath));
  }
  auto Finish = [&](EFI_STATUS Status) {
    Record.Status = Status;
    Registered.push_back(Record);
    return Status;
  };
  if (FilePath == nullptr || ImageHandle == nullptr) {
    return Finish(EFI_INVALID_PARAMETER);
  }
  if (SourceBuffer != nullptr || LegacyIa32) {
    return Finish(EFI_UNSUPPORTED); // the board loads SMM images from files only
  }

  EFI_HANDLE Device = nullptr;
  size_t FileNode = 0;
  std::string FileName;
  auto Image = std::make_unique<SmmImageRecord>();
  Image->Image = LoadNamedImage(Record.Path, Device, FileNode, FileName);
  Record.ImageName = FileName;
  if (!Image->Image) {
    return Finish(EFI_NOT_FOUND);
  }
  if (Image->Image->Subsystem != 11) {
    return Finish(EFI_LOAD_ERROR);
  }
  RegisterImage(Image->Image.get());
  Image->FilePath.assign(Record.Path.begin() + (long)FileNode, Record.Path.end());
  EFI_LOADED_IMAGE_PROTOCOL &Li = Image->Protocol;
  Li.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  Li.SystemTable = &Owner.SystemTable;
  Li.DeviceHandle = Device;
  Li.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Image->FilePath.data());
  Li.ImageBase = Image->Image->Base;
  Li.ImageSize = Image->Image->Size;
  Li.ImageCodeType = EfiRuntimeServicesCode;
  Li.ImageDataType = EfiRuntimeServicesData;
  Image->Handle = Owner.NewHandle("SMM image " + Image->Image->Name);
  Owner.Install(&Image->Handle, EFI_LOADED_IMAGE_PROTOCOL_GUID, &Li);
  *ImageHandle = Image->Handle;

  // The second run of the entry point, inside SMM.
  auto Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(Image->Image->Entry());
  EFI_HANDLE Handle = Image->Handle;
  EFI_SYSTEM_TABLE *SystemTable = &Owner.SystemTable;
  Starting = Image->Image.get();
  Image->EntryRun = RunInSmm([&] {
    EnterImageCode(reinterpret_cast<const void *>(Entry));
    EFI_STATUS Status = Entry(Handle, SystemTable);
    LeaveImageCode();
    return Status;
  });
  Starting = nullptr;
  Loaded.push_back(std::move(Image));

  const GuardedResult &Run = Loaded.back()->EntryRun;
  if (Run.How != Outcome::Returned) {
    Owner.Problem("SMM entry of " + FileName + ": " + Run.Message);
    UnloadCopy(*Loaded.back());
    return Finish(EFI_LOAD_ERROR);
  }
  if (EFI_ERROR(Run.Value)) {
    UnloadCopy(*Loaded.back());
  }
  return Finish(Run.Value);
}

// The core unloads a copy whose in-SMM entry failed and frees its SMRAM. It does not know what
// the copy registered with other services: a handler left behind stays registered, and the
// next SMI that reaches it jumps into memory that holds no code any more.
void SmmCore::UnloadCopy(SmmImageRecord &Record) {
  const PeImage *Image = Record.Image.get();
  Owner.Uninstall(Record.Handle, EFI_LOADED_IMAGE_PROTOCOL_GUID);
  RetireImage(Image);
  size_t Bytes = (Image->Size + 4095) & ~size_t{4095};
  if (mprotect(Image->Base, Bytes, PROT_READ | PROT_WRITE) != 0) {
    Owner.Problem("cannot take the unloaded SMM copy of " + Image->Name + " out of code memory");
  }
  Record.Unloaded = true;
}

EFI_STATUS SmmCore::RegisterCallback(EFI_HANDLE ImageHandle, EFI_SMM_CALLBACK_ENTRY_POINT Entry,
                                     BOOLEAN MakeLast, BOOLEAN FloatingPointSave) {
  if (!Inside) {
    Owner.Problem("SMM RegisterCallback called outside SMM");
    return EFI_UNSUPPORTED;
  }
  if (Entry == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (Starting != nullptr && OnEntryRegistration) {
    OnEntryRegistration(*Starting);
  }
  if (EFI_ERROR(Settings.RegisterCallbackStatus)) {
    return Settings.RegisterCallbackStatus;
  }
  SmmCallbackRecord Record{ImageHandle, Entry, MakeLast != FALSE, FloatingPointSave != FALSE};
  if (MakeLast) {
    CallbackList.push_back(Record);
  } else {
    CallbackList.insert(CallbackList.begin(), Record);
  }
  return EFI_SUCCESS;
}

EFI_STATUS SmmCore::GetSmstLocation(EFI_SMM_SYSTEM_TABLE **Smst) {
  if (Smst == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (EFI_ERROR(Settings.GetSmstLocationStatus)) {
    return Settings.GetSmstLocationStatus;
  }
  if (!Inside) {
    return EFI_UNSUPPORTED;
  }
  *Smst = Table;
  return EFI_SUCCESS;
}

EFI_STATUS SmmCore::RegisterSw(EFI_SMM_SW_DISPATCH Function, EFI_SMM_SW_DISPATCH_CONTEXT *Context,
                               EFI_HANDLE *Handle) {
  if (!Inside) {
    Owner.Problem("software-SMI Register called outside SMM");
    return EFI_UNSUPPORTED;
  }
  if (Function == nullptr || Context == nullptr || Handle == nullptr ||
      Context->SwSmiInputValue > SwDispatch.MaximumSwiValue) {
    return EFI_INVALID_PARAMETER;
  }
  if (Starting != nullptr && OnEntryRegistration) {
    OnEntryRegistration(*Starting);
  }
  auto Failure = Settings.SwRegisterFailures.find(Context->SwSmiInputValue);
  if (Failure != Settings.SwRegisterFailures.end()) {
    return Failure->second;
  }
  SwList.push_back(std::make_unique<SwDispatchRecord>(SwDispatchRecord{Function, *Context}));
  *Handle = SwList.back().get();
  return EFI_SUCCESS;
}

EFI_STATUS SmmCore::UnregisterSw(EFI_HANDLE Handle) {
  if (!Inside) {
    Owner.Problem("software-SMI UnRegister called outside SMM");
    return EFI_UNSUPPORTED;
  }
  auto Before = SwList.size();
  std::erase_if(SwList, [&](const auto &Record) { return Record.get() == Handle; });
  return SwList.size() == Before ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
}

EFI_STATUS SmmCore::InstallConfigurationTable(const EFI_GUID *Guid, VOID *VendorTable) {
  if (Guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto It = std::find_if(Installed.begin(), Installed.end(),
                         [&](const auto &Entry) { return SameGuid(Entry.first, *Guid); });
  if (VendorTable == nullptr) {
    if (It == Installed.end()) {
      return EFI_NOT_FOUND;
    }
    Installed.erase(It);
  } else if (It != Installed.end()) {
    It->second = VendorTable;
  } else {
    Installed.push_back({*Guid, VendorTable});
  }
  BuildConfigurationTable();
  return EFI_SUCCESS;
}

// ---- SMIs
// -----------------------------------------------------------------------------------------
GuardedResult SmmCore::RunSmiHandlers(const std::optional<uint64_t> &SwValue) {
  SmiCount++;
  LastCallbackStatuses.clear();
  bool WasInside = Inside;
  Inside = true;
  GuardedResult Result = RunGuarded([&]() -> uint64_t {
    // The software-SMI dispatcher is the core's own first handler.
    if (SwValue) {
      for (size_t Index = 0; Index < SwList.size(); Index++) {
        SwDispatchRecord *Record = SwList[Index].get();
        if (Record->Context.SwSmiInputValue == *SwValue) {
          EnterImageCode(reinterpret_cast<const void *>(Record->Function));
          Record->Function(Record, &Record->Context);
          LeaveImageCode();
        }
      }
    }
    for (size_t Index = 0; Index < CallbackList.size(); Index++) {
      const SmmCallbackRecord Callback = CallbackList[Index];
      EnterImageCode(reinterpret_cast<const void *>(Callback.Entry));
      LastCallbackStatuses.push_back(Callback.Entry(Callback.ImageHandle, nullptr, nullptr));
      LeaveImageCode();
    }
    return 0;
  });
  Inside = WasInside;
  if (Result.How != Outcome::Returned) {
    Owner.Problem("SMI handler did not return: " + Result.Message);
  }
  CheckSaveStateGuard();
  return Result;
}

GuardedResult SmmCore::EnterSmm(const std::optional<uint64_t> &SwValue) {
  GuardedResult Result = RunSmiHandlers(SwValue);
  // The SMI timer's status stays pending until software clears it, and while the timer is armed
  // a pending status asserts the SMI again: right after the resume the processor is back in
  // SMM. A status that none of the handlers clears keeps the machine in SMM for good.
  unsigned Reentries = 0;
  while (Result.How == Outcome::Returned && Owner.Fch.SmiTimerEnabled() &&
         Owner.Fch.SmiTimerPending()) {
    if (++Reentries > kStormReentries) {
      Owner.Problem("SMI storm: the SMI timer is armed and its status (SMI register 0x91 bit 7) "
                    "stays pending: no handler clears it, the SMI repeats for ever");
      break;
    }
    Result = RunSmiHandlers(std::nullopt);
  }
  return Result;
}

// Every byte of the save-state window outside the real records.
void SmmCore::FillGuards() {
  size_t WindowBytes = 0;
  uint8_t *Window = SaveStateWindow(WindowBytes);
  size_t Base = (size_t)(reinterpret_cast<uint8_t *>(SaveStates) - Window);
  size_t End = Base + SaveStateCount * kRecordSize;
  for (size_t Offset = 0; Offset < WindowBytes; Offset++) {
    if (Offset < Base || Offset >= End) {
      Window[Offset] = GuardByteAt(Offset, Base);
    }
  }
}

void SmmCore::CheckSaveStateGuard() {
  size_t WindowBytes = 0;
  const uint8_t *Window = SaveStateWindow(WindowBytes);
  size_t Base = (size_t)(reinterpret_cast<const uint8_t *>(SaveStates) - Window);
  size_t End = Base + SaveStateCount * kRecordSize;
  for (size_t Offset = 0; Offset < WindowBytes; Offset++) {
    if ((Offset < Base || Offset >= End) && Window[Offset] != GuardByteAt(Offset, Base)) {
      Owner.Problem("SMI handler wrote outside the CPU save-state records");
      FillGuards();
      return;
    }
  }
}

GuardedResult SmmCore::RaiseSmi() {
  return EnterSmm(std::nullopt);
}

GuardedResult SmmCore::RunInSmm(const std::function<uint64_t()> &Body) {
  bool WasInside = Inside;
  Inside = true;
  GuardedResult Result = RunGuarded(Body);
  Inside = WasInside;
  return Result;
}

uint32_t SmmCore::TriggerSoftwareSmi(uint64_t Value, uint32_t Eax) {
  EFI_SMM_CPU_SAVE_STATE *Caller = SaveState(Settings.CallerCpu);
  if (Caller == nullptr) {
    Owner.Problem("software SMI from a processor the SMM core does not know");
    return Eax;
  }
  // On SMI entry the processor saves the caller's registers; RSM restores them from there.
  Caller->Ia32SaveState.EAX = Eax;
  EnterSmm(Value);
  return Caller->Ia32SaveState.EAX;
}

bool SmmCore::TimerTick() {
  if (!Owner.Fch.TickSmiTimer()) {
    return false;
  }
  RaiseSmi();
  return true;
}

} // namespace sim
