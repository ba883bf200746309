#include "variables.h"

#include "driver_globals.h"
#include "memory.h"

EFI_STATUS ReadVariableGrowBuffer(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                  UINTN *DataSize, VOID **Buffer) {
  if (*Buffer == nullptr) {
    *DataSize = 0;
  }
  EFI_STATUS Status = DriverRuntimeServices->GetVariable(Name, Guid, Attributes, DataSize, *Buffer);
  if (Status != EFI_BUFFER_TOO_SMALL) {
    return Status;
  }
  if (*Buffer != nullptr) {
    DriverBootServices->FreePool(*Buffer);
  }
  *Buffer = AllocateBootPool(*DataSize);
  if (*Buffer == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  return DriverRuntimeServices->GetVariable(Name, Guid, Attributes, DataSize, *Buffer);
}
