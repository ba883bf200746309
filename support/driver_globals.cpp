#include "driver_globals.h"

EFI_SYSTEM_TABLE *DriverSystemTable = nullptr;
EFI_BOOT_SERVICES *DriverBootServices = nullptr;
EFI_RUNTIME_SERVICES *DriverRuntimeServices = nullptr;
EFI_HANDLE DriverImageHandle = nullptr;

VOID InitializeDriverGlobals(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  if (DriverSystemTable != nullptr) {
    return;
  }
  DriverSystemTable = SystemTable;
  DriverBootServices = SystemTable->BootServices;
  DriverRuntimeServices = SystemTable->RuntimeServices;
  DriverImageHandle = ImageHandle;
}
