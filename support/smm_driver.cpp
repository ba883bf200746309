#include "smm_driver.h"

#include "device_path.h"
#include "driver_globals.h"
#include "guids.h"
#include "loaded_image.h"
#include "memory.h"

EFI_SMM_BASE_PROTOCOL *DriverSmmBase = nullptr;
EFI_SMM_SYSTEM_TABLE *DriverSmst = nullptr;
BOOLEAN DriverInSmm = 0;
BOOLEAN DriverLocateClosed = 0;
EFI_STATUS_CODE_PROTOCOL *DriverStatusCode = nullptr;
EFI_SMM_STATUS_CODE_PROTOCOL *DriverSmmStatusCode = nullptr;

EFI_STATUS StartSmmDriver(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable,
                          EFI_IMAGE_ENTRY_POINT InSmmEntry) {
  EFI_STATUS Status = DriverBootServices->LocateProtocol(&EFI_SMM_BASE_PROTOCOL_GUID, nullptr,
                                                         (VOID **)&DriverSmmBase);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  BOOLEAN InSmm = FALSE;
  DriverSmmBase->InSmm(DriverSmmBase, &InSmm);

  if (InSmm) {
    Status = DriverSmmBase->GetSmstLocation(DriverSmmBase, &DriverSmst);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    VOID *SmmRuntimeServices = FindSmmConfigurationTable(&SMM_RUNTIME_SERVICES_TABLE_GUID);
    DriverInSmm = 1;
    if (SmmRuntimeServices != nullptr) {
      DriverRuntimeServices = (EFI_RUNTIME_SERVICES *)SmmRuntimeServices;
    }
    LocateStatusCodeService();
    DriverLocateClosed = 1;
    return InSmmEntry(ImageHandle, SystemTable);
  }

  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  Status = DriverBootServices->HandleProtocol(ImageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                              (VOID **)&LoadedImage);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_DEVICE_PATH_PROTOCOL *DevicePath = nullptr;
  Status = DriverBootServices->HandleProtocol(LoadedImage->DeviceHandle,
                                              &EFI_DEVICE_PATH_PROTOCOL_GUID, (VOID **)&DevicePath);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  EFI_DEVICE_PATH_PROTOCOL *FullPath = JoinDevicePaths(DevicePath, LoadedImage->FilePath);
  if (FullPath == nullptr) {
    // Without the path there is nothing to name the image file by.
    return EFI_OUT_OF_RESOURCES;
  }
  EFI_HANDLE SmmImageHandle = nullptr;
  Status = DriverSmmBase->Register(DriverSmmBase, FullPath, nullptr, 0, &SmmImageHandle, FALSE);
  DriverBootServices->FreePool(FullPath);
  return Status;
}

EFI_STATUS LocateStatusCodeService(VOID) {
  VOID **Cache;
  const EFI_GUID *Guid;
  if (DriverInSmm) {
    Cache = (VOID **)&DriverSmmStatusCode;
    Guid = &EFI_SMM_STATUS_CODE_PROTOCOL_GUID;
  } else {
    Cache = (VOID **)&DriverStatusCode;
    Guid = &EFI_STATUS_CODE_RUNTIME_PROTOCOL_GUID;
  }
  if (*Cache != nullptr) {
    return EFI_SUCCESS;
  }
  if (DriverLocateClosed) {
    return EFI_UNSUPPORTED;
  }
  return DriverBootServices->LocateProtocol(Guid, nullptr, Cache);
}

VOID *FindSmmConfigurationTable(const EFI_GUID *Guid) {
  if (DriverSmst == nullptr) {
    return nullptr;
  }
  for (UINTN Index = 0; Index < DriverSmst->NumberOfTableEntries; Index++) {
    EFI_CONFIGURATION_TABLE *Entry = &DriverSmst->SmmConfigurationTable[Index];
    if (CompareBytes(&Entry->VendorGuid, Guid, sizeof(EFI_GUID)) == 0) {
      return Entry->VendorTable;
    }
  }
  return nullptr;
}
