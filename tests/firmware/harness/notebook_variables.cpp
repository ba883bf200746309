#include "notebook_variables.h"

#include "driver_globals.h"
#include "guids.h"
#include "memory.h"
#include "result_lines.h"

namespace {

// Where the five names live in the firmware's store.
constexpr EFI_GUID NotebookGlobalNamespace = {
    0x6C4F1E52, 0x3B7A, 0x4D0E, {0x9A, 0x61, 0x25, 0xC8, 0x0F, 0x7E, 0x43, 0xB9}};

const CHAR16 *const NotebookNames[] = {u"FPExistFlag", u"FpHdp2HdpMapFlag", u"UPEKFLAG",
                                       u"SysPwdInvalidError", u"Fp1820ErrorFlag"};

EFI_SYSTEM_TABLE SystemTableCopy;
// Set while the harness itself reads or writes: its own calls are not reported as gvar lines.
bool HarnessCall = false;
EFI_RUNTIME_SERVICES RuntimeServicesCopy;
bool Built = false;

bool SameName(const CHAR16 *A, const CHAR16 *B) {
  while (*A != 0 && *A == *B) {
    A++;
    B++;
  }
  return *A == *B;
}

bool IsNotebookName(const CHAR16 *Name, const EFI_GUID *Guid) {
  if (Name == nullptr || Guid == nullptr ||
      CompareBytes(Guid, &EFI_GLOBAL_VARIABLE, sizeof(EFI_GUID)) != 0) {
    return false;
  }
  for (const CHAR16 *Known : NotebookNames) {
    if (SameName(Name, Known)) {
      return true;
    }
  }
  return false;
}

} // namespace

EFI_STATUS EFIAPI NotebookGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                      UINTN *DataSize, VOID *Data) {
  EFI_RUNTIME_SERVICES *Firmware = DriverSystemTable->RuntimeServices;
  if (!IsNotebookName(Name, Guid)) {
    return Firmware->GetVariable(Name, Guid, Attributes, DataSize, Data);
  }
  UINTN SizeIn = DataSize != nullptr ? *DataSize : 0;
  EFI_STATUS Status =
      Firmware->GetVariable(Name, &NotebookGlobalNamespace, Attributes, DataSize, Data);
  if (HarnessCall) {
    return Status;
  }
  ResultLine("gvar")
      .Key("op")
      .Text("get")
      .Key("name")
      .Wide(Name)
      .Status(Status)
      .Key("sizein")
      .Dec(SizeIn)
      .Key("size")
      .Dec(DataSize != nullptr ? *DataSize : 0)
      .Emit();
  return Status;
}

EFI_STATUS EFIAPI NotebookSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                                      UINTN DataSize, const VOID *Data) {
  EFI_RUNTIME_SERVICES *Firmware = DriverSystemTable->RuntimeServices;
  if (!IsNotebookName(Name, Guid)) {
    return Firmware->SetVariable(Name, Guid, Attributes, DataSize, Data);
  }
  EFI_STATUS Status =
      Firmware->SetVariable(Name, &NotebookGlobalNamespace, Attributes, DataSize, Data);
  if (HarnessCall) {
    return Status;
  }
  ResultLine("gvar")
      .Key("op")
      .Text("set")
      .Key("name")
      .Wide(Name)
      .Status(Status)
      .Key("attributes")
      .Hex(Attributes)
      .Key("size")
      .Dec(DataSize)
      .Key("data")
      .HexBytes(Data, Data != nullptr && DataSize <= 64 ? DataSize : 0)
      .Emit();
  return Status;
}

EFI_SYSTEM_TABLE *NotebookSystemTable() {
  if (!Built) {
    CopyBytes(&RuntimeServicesCopy, DriverSystemTable->RuntimeServices,
              sizeof(RuntimeServicesCopy));
    RuntimeServicesCopy.GetVariable = NotebookGetVariable;
    RuntimeServicesCopy.SetVariable = NotebookSetVariable;
    CopyBytes(&SystemTableCopy, DriverSystemTable, sizeof(SystemTableCopy));
    SystemTableCopy.RuntimeServices = &RuntimeServicesCopy;
    // The copies' header checksums, as a consumer that checks them would expect.
    RuntimeServicesCopy.Hdr.HeaderSize = sizeof(RuntimeServicesCopy);
    RuntimeServicesCopy.Hdr.CRC32 = 0;
    DriverBootServices->CalculateCrc32(&RuntimeServicesCopy, sizeof(RuntimeServicesCopy),
                                       &RuntimeServicesCopy.Hdr.CRC32);
    SystemTableCopy.Hdr.HeaderSize = sizeof(SystemTableCopy);
    SystemTableCopy.Hdr.CRC32 = 0;
    DriverBootServices->CalculateCrc32(&SystemTableCopy, sizeof(SystemTableCopy),
                                       &SystemTableCopy.Hdr.CRC32);
    Built = true;
  }
  return &SystemTableCopy;
}

EFI_STATUS HarnessGetVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 *Attributes,
                              UINTN *DataSize, VOID *Data) {
  HarnessCall = true;
  EFI_STATUS Status = NotebookGetVariable(Name, &Guid, Attributes, DataSize, Data);
  HarnessCall = false;
  return Status;
}

EFI_STATUS HarnessSetVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes,
                              UINTN DataSize, const VOID *Data) {
  HarnessCall = true;
  EFI_STATUS Status = NotebookSetVariable(Name, &Guid, Attributes, DataSize, Data);
  HarnessCall = false;
  return Status;
}
