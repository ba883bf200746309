// EFI_LOADED_IMAGE_PROTOCOL (x64 layout).
#pragma once

#include "efi_system_table.h"

typedef struct {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_STATUS(EFIAPI *Unload)(EFI_HANDLE ImageHandle);
} EFI_LOADED_IMAGE_PROTOCOL;
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ParentHandle) == 8 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, SystemTable) == 16 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 24 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, FilePath) == 32 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == 48 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptions) == 56 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageSize) == 72 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType) == 80 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageDataType) == 84 &&
              offsetof(EFI_LOADED_IMAGE_PROTOCOL, Unload) == 88);

inline constexpr UINT32 EFI_LOADED_IMAGE_PROTOCOL_REVISION = 0x1000;
