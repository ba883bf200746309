#include "smm_stand_in.h"

#include "device_path_nodes.h"
#include "driver_globals.h"
#include "driver_images.h"
#include "guids.h"
#include "memory.h"
#include "notebook_variables.h"
#include "result_lines.h"
#include "smm.h"
#include "volume_dispatch.h"

namespace {

constexpr UINTN CpuCount = 2;
constexpr UINTN CallerCpu = 1;          // the processor index table names this one
constexpr UINTN ExecutingCpuNumber = 1; // 1-based: handlers run on processor 0
constexpr UINT32 UntouchedEax = 0x5A5A5A5A;

struct SmmImage {
  EFI_HANDLE Handle;
};
// Owner: the SMM copy whose in-SMM run registered the handler (null outside such a run).
struct Callback {
  EFI_HANDLE Image;
  EFI_SMM_CALLBACK_ENTRY_POINT Function;
  EFI_HANDLE Owner;
  bool Used;
};
struct SwHandler {
  UINTN Value;
  EFI_SMM_SW_DISPATCH Function;
  bool Used;
  EFI_HANDLE Owner;
};

SmmImage SmmImages[4];
UINTN SmmImageCount = 0;
Callback Callbacks[4];
UINTN CallbackCount = 0;
SwHandler SwHandlers[8];
UINTN SwHandlerCount = 0;

BOOLEAN InSmmNow = FALSE;
EFI_HANDLE StartingCopy = nullptr;
EFI_SMM_BASE_PROTOCOL SmmBase;
EFI_SMM_SW_DISPATCH_PROTOCOL SwDispatch;
EFI_HANDLE SmmHandle = nullptr;
EFI_SMM_SYSTEM_TABLE Smst;
EFI_SMM_CPU_SAVE_STATE SaveStates[CpuCount];
EFI_CONFIGURATION_TABLE ConfigurationTable[3];
SMM_CPU_INDEX_TABLE CpuIndexTable;
SMM_VARIABLE_SERVICES_TABLE VariableServices;

const char *WhoseCode(const VOID *Address) {
  for (UINTN Index = 0; Index < SmmImageCount; Index++) {
    if (ImageContains(SmmImages[Index].Handle, Address)) {
      return "smm-copy";
    }
  }
  return "first-copy";
}

const char *WhoseHandle(EFI_HANDLE Image) {
  for (UINTN Index = 0; Index < SmmImageCount; Index++) {
    if (SmmImages[Index].Handle == Image) {
      return "smm-copy";
    }
  }
  return "unknown";
}

VOID DropRegistrationsOf(EFI_HANDLE Copy) {
  UINTN Dropped = 0;
  for (UINTN Index = 0; Index < CallbackCount; Index++) {
    if (Callbacks[Index].Used && Callbacks[Index].Owner == Copy) {
      Callbacks[Index].Used = false;
      Dropped++;
    }
  }
  for (UINTN Index = 0; Index < SwHandlerCount; Index++) {
    if (SwHandlers[Index].Used && SwHandlers[Index].Owner == Copy) {
      SwHandlers[Index].Used = false;
      Dropped++;
    }
  }
  ResultLine("smm").Key("op").Text("dropped").Key("handlers").Dec(Dropped).Emit();
}

EFI_STATUS EFIAPI SmmRegister(EFI_SMM_BASE_PROTOCOL *, EFI_DEVICE_PATH_PROTOCOL *FilePath,
                              VOID *SourceBuffer, UINTN SourceSize, EFI_HANDLE *ImageHandle,
                              BOOLEAN LegacyIA32Binary) {
  ResultLine Line("smm");
  Line.Key("op").Text("register").Key("file");
  ReportPathNode(Line, FilePath != nullptr ? LastPathNode(FilePath) : nullptr);
  Line.Key("source").Text(SourceBuffer != nullptr ? "buffer" : "null");
  Line.Key("legacy").Dec(LegacyIA32Binary);
  if (ImageHandle == nullptr || SmmImageCount == sizeof(SmmImages) / sizeof(SmmImages[0])) {
    Line.Status(EFI_INVALID_PARAMETER).Emit();
    return EFI_INVALID_PARAMETER;
  }
  // The path is resolved the way the SMM core resolves a driver's path into a firmware volume:
  // the handle of the PI volume protocol found by LocateDevicePath, the PE32 section of the
  // file node read through that protocol.
  char Label[48];
  VOID *VolumeImage = nullptr;
  UINTN VolumeImageSize = 0;
  char VolumeName[40];
  EFI_STATUS Status = EFI_SUCCESS;
  if (SourceBuffer == nullptr) {
    Status = FilePath != nullptr ? ReadVolumeImage(FilePath, &VolumeImage, &VolumeImageSize,
                                                   VolumeName, sizeof(VolumeName))
                                 : EFI_INVALID_PARAMETER;
    SourceBuffer = VolumeImage;
    SourceSize = VolumeImageSize;
  }
  Line.Key("resolved").Text(VolumeImage != nullptr ? "volume" : "none");
  Line.Key("pe32").Dec(VolumeImageSize);
  Line.Status(Status).Emit();
  if (EFI_ERROR(Status)) {
    return Status;
  }

  const char Fallback[] = "image";
  const char *Base = VolumeImage != nullptr && VolumeName[0] != 0 ? VolumeName : Fallback;
  UINTN Used = 0;
  while (Base[Used] != 0 && Used + 5 < sizeof(Label)) {
    Label[Used] = Base[Used];
    Used++;
  }
  CopyBytes(Label + Used, ".smm", 5);
  EFI_HANDLE Copy = nullptr;
  Status = LoadImageReport(Label, FilePath, SourceBuffer, SourceSize, &Copy);
  if (VolumeImage != nullptr) {
    DriverBootServices->FreePool(VolumeImage); // LoadImage copied what it needs
  }
  if (EFI_ERROR(Status)) {
    return Status;
  }
  SmmImages[SmmImageCount++].Handle = Copy;
  *ImageHandle = Copy;
  InSmmNow = TRUE;
  StartingCopy = Copy;
  Status = StartDriver(Label, Copy);
  StartingCopy = nullptr;
  if (EFI_ERROR(Status)) {
    // The firmware unloads a copy whose entry point fails; its memory may hold the next copy
    // soon, so what it registered is dropped rather than judged by its address later.
    DropRegistrationsOf(Copy);
  }
  InSmmNow = FALSE;
  return Status;
}

EFI_STATUS EFIAPI SmmUnRegister(EFI_SMM_BASE_PROTOCOL *, EFI_HANDLE) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmmCommunicate(EFI_SMM_BASE_PROTOCOL *, EFI_HANDLE, VOID *, UINTN *) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmmRegisterCallback(EFI_SMM_BASE_PROTOCOL *, EFI_HANDLE SmmImageHandle,
                                      EFI_SMM_CALLBACK_ENTRY_POINT CallbackAddress,
                                      BOOLEAN MakeLast, BOOLEAN FloatingPointSave) {
  EFI_STATUS Status = EFI_SUCCESS;
  if (CallbackAddress == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (CallbackCount == sizeof(Callbacks) / sizeof(Callbacks[0])) {
    Status = EFI_OUT_OF_RESOURCES;
  } else {
    Callbacks[CallbackCount++] = Callback{SmmImageHandle, CallbackAddress, StartingCopy, true};
  }
  ResultLine("smm")
      .Key("op")
      .Text("callback")
      .Key("image")
      .Text(WhoseHandle(SmmImageHandle))
      .Key("function")
      .Text(WhoseCode((const VOID *)CallbackAddress))
      .Key("makelast")
      .Dec(MakeLast)
      .Key("fpsave")
      .Dec(FloatingPointSave)
      .Key("insmm")
      .Dec(InSmmNow)
      .Status(Status)
      .Emit();
  return Status;
}

EFI_STATUS EFIAPI SmmInSmm(EFI_SMM_BASE_PROTOCOL *, BOOLEAN *InSmm) {
  if (InSmm == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *InSmm = InSmmNow;
  ResultLine("smm").Key("op").Text("insmm").Key("answer").Dec(InSmmNow).Emit();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmAllocatePool(EFI_SMM_BASE_PROTOCOL *, EFI_MEMORY_TYPE PoolType, UINTN Size,
                                  VOID **Buffer) {
  return DriverBootServices->AllocatePool(PoolType, Size, Buffer);
}

EFI_STATUS EFIAPI SmmFreePool(EFI_SMM_BASE_PROTOCOL *, VOID *Buffer) {
  return DriverBootServices->FreePool(Buffer);
}

EFI_STATUS EFIAPI SmmGetSmstLocation(EFI_SMM_BASE_PROTOCOL *, EFI_SMM_SYSTEM_TABLE **Location) {
  EFI_STATUS Status = Location == nullptr ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
  if (Location != nullptr) {
    *Location = &Smst;
  }
  ResultLine("smm").Key("op").Text("getsmst").Key("insmm").Dec(InSmmNow).Status(Status).Emit();
  return Status;
}

EFI_STATUS EFIAPI SmstAllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  return DriverBootServices->AllocatePool(PoolType, Size, Buffer);
}

EFI_STATUS EFIAPI SmstFreePool(VOID *Buffer) {
  return DriverBootServices->FreePool(Buffer);
}

EFI_STATUS EFIAPI SmstUnsupported() {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SwRegister(EFI_SMM_SW_DISPATCH_PROTOCOL *, EFI_SMM_SW_DISPATCH DispatchFunction,
                             EFI_SMM_SW_DISPATCH_CONTEXT *DispatchContext,
                             EFI_HANDLE *DispatchHandle) {
  EFI_STATUS Status = EFI_SUCCESS;
  UINTN Value = DispatchContext != nullptr ? DispatchContext->SwSmiInputValue : 0;
  if (DispatchFunction == nullptr || DispatchContext == nullptr || DispatchHandle == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (SwHandlerCount == sizeof(SwHandlers) / sizeof(SwHandlers[0])) {
    Status = EFI_OUT_OF_RESOURCES;
  } else {
    // The dispatcher keeps its own copy of the context: the caller's may be a local.
    SwHandlers[SwHandlerCount] = SwHandler{Value, DispatchFunction, true, StartingCopy};
    *DispatchHandle = &SwHandlers[SwHandlerCount];
    SwHandlerCount++;
  }
  ResultLine("smm")
      .Key("op")
      .Text("swregister")
      .Key("value")
      .Hex(Value)
      .Key("function")
      .Text(WhoseCode((const VOID *)DispatchFunction))
      .Key("insmm")
      .Dec(InSmmNow)
      .Status(Status)
      .Emit();
  return Status;
}

EFI_STATUS EFIAPI SwUnRegister(EFI_SMM_SW_DISPATCH_PROTOCOL *, EFI_HANDLE DispatchHandle) {
  for (UINTN Index = 0; Index < SwHandlerCount; Index++) {
    if (DispatchHandle == &SwHandlers[Index] && SwHandlers[Index].Used) {
      SwHandlers[Index].Used = false;
      ResultLine("smm").Key("op").Text("swunregister").Status(EFI_SUCCESS).Emit();
      return EFI_SUCCESS;
    }
  }
  return EFI_INVALID_PARAMETER;
}

// The SMM variable services' read function: the firmware's store, through the notebook's
// namespace (notebook_variables.h).
EFI_STATUS EFIAPI SmmGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                 UINTN *DataSize, VOID *Data) {
  UINTN SizeIn = DataSize != nullptr ? *DataSize : 0;
  EFI_STATUS Status = NotebookGetVariable(Name, Guid, Attributes, DataSize, Data);
  ResultLine("smm")
      .Key("op")
      .Text("getvariable")
      .Key("name")
      .Wide(Name != nullptr ? Name : u"null")
      .Key("sizein")
      .Dec(SizeIn)
      .Key("attributes")
      .Text(Attributes != nullptr ? "pointer" : "null")
      .Status(Status)
      .Emit();
  return Status;
}

VOID BuildSmst() {
  FillBytes(&Smst, sizeof(Smst), 0);
  Smst.Hdr.Signature = SMM_SMST_SIGNATURE;
  Smst.Hdr.Revision = EFI_SMM_SYSTEM_TABLE_REVISION;
  Smst.Hdr.HeaderSize = sizeof(Smst);
  static CHAR16 Vendor[] = u"Firmware test harness";
  Smst.SmmFirmwareVendor = Vendor;
  Smst.SmmInstallConfigurationTable = (EFI_SMM_INSTALL_CONFIGURATION_TABLE)SmstUnsupported;
  Smst.EfiSmmCpuIoGuid = EFI_SMM_CPU_IO_GUID;
  Smst.SmmIo.Mem.Read = (EFI_SMM_CPU_IO)SmstUnsupported;
  Smst.SmmIo.Mem.Write = (EFI_SMM_CPU_IO)SmstUnsupported;
  Smst.SmmIo.Io.Read = (EFI_SMM_CPU_IO)SmstUnsupported;
  Smst.SmmIo.Io.Write = (EFI_SMM_CPU_IO)SmstUnsupported;
  Smst.SmmAllocatePool = SmstAllocatePool;
  Smst.SmmFreePool = SmstFreePool;
  Smst.SmmAllocatePages = (EFI_SMMCORE_ALLOCATE_PAGES)SmstUnsupported;
  Smst.SmmFreePages = (EFI_SMMCORE_FREE_PAGES)SmstUnsupported;
  Smst.SmmStartupThisAp = (EFI_SMM_STARTUP_THIS_AP)SmstUnsupported;
  Smst.CurrentlyExecutingCpu = ExecutingCpuNumber;
  Smst.NumberOfCpus = CpuCount;
  FillBytes(SaveStates, sizeof(SaveStates), 0);
  Smst.CpuSaveState = SaveStates;
  Smst.CpuOptionalFloatingPointState = nullptr;

  CpuIndexTable.CpuIndex = CallerCpu;
  FillBytes(&VariableServices, sizeof(VariableServices), 0);
  VariableServices.GetVariable = SmmGetVariable;
  ConfigurationTable[0] = {SMM_RUNTIME_SERVICES_TABLE_GUID, DriverSystemTable->RuntimeServices};
  ConfigurationTable[1] = {SMM_CPU_INDEX_TABLE_GUID, &CpuIndexTable};
  ConfigurationTable[2] = {SMM_VARIABLE_SERVICES_TABLE_GUID, &VariableServices};
  Smst.NumberOfTableEntries = 3;
  Smst.SmmConfigurationTable = ConfigurationTable;
}

} // namespace

EFI_STATUS InstallSmmStandIn() {
  SmmImageCount = 0;
  CallbackCount = 0;
  SwHandlerCount = 0;
  InSmmNow = FALSE;
  BuildSmst();
  SmmBase.Register = SmmRegister;
  SmmBase.UnRegister = SmmUnRegister;
  SmmBase.Communicate = SmmCommunicate;
  SmmBase.RegisterCallback = SmmRegisterCallback;
  SmmBase.InSmm = SmmInSmm;
  SmmBase.SmmAllocatePool = SmmAllocatePool;
  SmmBase.SmmFreePool = SmmFreePool;
  SmmBase.GetSmstLocation = SmmGetSmstLocation;
  SwDispatch.Register = SwRegister;
  SwDispatch.UnRegister = SwUnRegister;
  SwDispatch.MaximumSwiValue = 0xFFFFFFFF;
  SmmHandle = nullptr;
  EFI_STATUS Status = DriverBootServices->InstallMultipleProtocolInterfaces(
      &SmmHandle, &EFI_SMM_BASE_PROTOCOL_GUID, &SmmBase, &EFI_SMM_SW_DISPATCH_PROTOCOL_GUID,
      &SwDispatch, nullptr);
  ResultLine("install").Key("protocol").Text("smm-base+sw-dispatch").Status(Status).Emit();
  return Status;
}

VOID UninstallSmmStandIn() {
  if (SmmHandle != nullptr) {
    DriverBootServices->UninstallMultipleProtocolInterfaces(
        SmmHandle, &EFI_SMM_BASE_PROTOCOL_GUID, &SmmBase, &EFI_SMM_SW_DISPATCH_PROTOCOL_GUID,
        &SwDispatch, nullptr);
    SmmHandle = nullptr;
  }
}

UINT32 RaiseSoftwareSmi(UINTN Value, UINT32 CallerEax) {
  for (UINTN Cpu = 0; Cpu < CpuCount; Cpu++) {
    SaveStates[Cpu].Ia32SaveState.EAX = UntouchedEax;
  }
  SaveStates[CallerCpu].Ia32SaveState.EAX = CallerEax;
  UINTN Handlers = 0;
  InSmmNow = TRUE;
  for (UINTN Index = 0; Index < SwHandlerCount; Index++) {
    if (SwHandlers[Index].Used && SwHandlers[Index].Value == Value &&
        CodeIsLoaded((const VOID *)SwHandlers[Index].Function)) {
      EFI_SMM_SW_DISPATCH_CONTEXT Context = {Value};
      SwHandlers[Index].Function(&SwHandlers[Index], &Context);
      Handlers++;
    }
  }
  InSmmNow = FALSE;
  UINT32 Answer = SaveStates[CallerCpu].Ia32SaveState.EAX;
  ResultLine("smi")
      .Key("kind")
      .Text("software")
      .Key("value")
      .Hex(Value)
      .Key("eax")
      .Hex(CallerEax)
      .Key("answer")
      .Hex(Answer)
      .Key("handlers")
      .Dec(Handlers)
      .Key("executing")
      .Hex(SaveStates[ExecutingCpuNumber - 1].Ia32SaveState.EAX)
      .Emit();
  return Answer;
}

VOID RaisePeriodicSmi() {
  InSmmNow = TRUE;
  for (UINTN Index = 0; Index < CallbackCount; Index++) {
    if (!Callbacks[Index].Used) {
      continue; // dropped with the copy that registered it
    }
    if (!CodeIsLoaded((const VOID *)Callbacks[Index].Function)) {
      ResultLine("smi")
          .Key("kind")
          .Text("periodic")
          .Key("index")
          .Dec(Index)
          .Key("skipped")
          .Text("unloaded")
          .Emit();
      continue;
    }
    UINTN SourceSize = 0;
    EFI_STATUS Status = Callbacks[Index].Function(Callbacks[Index].Image, nullptr, &SourceSize);
    ResultLine("smi").Key("kind").Text("periodic").Key("index").Dec(Index).Status(Status).Emit();
  }
  InSmmNow = FALSE;
}
