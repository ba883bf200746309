// EFI_DISK_INFO_PROTOCOL: the Interface GUID comes first, before the functions.
#pragma once

#include "efi_types.h"

struct EFI_DISK_INFO_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_DISK_INFO_INQUIRY)(EFI_DISK_INFO_PROTOCOL *This, VOID *Data,
                                                  UINT32 *DataSize);
typedef EFI_STATUS(EFIAPI *EFI_DISK_INFO_IDENTIFY)(EFI_DISK_INFO_PROTOCOL *This, VOID *Data,
                                                   UINT32 *DataSize);
typedef EFI_STATUS(EFIAPI *EFI_DISK_INFO_SENSE_DATA)(EFI_DISK_INFO_PROTOCOL *This, VOID *Data,
                                                     UINT32 *DataSize, UINT8 *SenseDataNumber);
typedef EFI_STATUS(EFIAPI *EFI_DISK_INFO_WHICH_IDE)(EFI_DISK_INFO_PROTOCOL *This,
                                                    UINT32 *IdeChannel, UINT32 *IdeDevice);

struct EFI_DISK_INFO_PROTOCOL {
  EFI_GUID Interface;
  EFI_DISK_INFO_INQUIRY Inquiry;
  EFI_DISK_INFO_IDENTIFY Identify;
  EFI_DISK_INFO_SENSE_DATA SenseData;
  EFI_DISK_INFO_WHICH_IDE WhichIde;
};
static_assert(sizeof(EFI_DISK_INFO_PROTOCOL) == 48);
static_assert(offsetof(EFI_DISK_INFO_PROTOCOL, Inquiry) == 16 &&
              offsetof(EFI_DISK_INFO_PROTOCOL, Identify) == 24 &&
              offsetof(EFI_DISK_INFO_PROTOCOL, SenseData) == 32 &&
              offsetof(EFI_DISK_INFO_PROTOCOL, WhichIde) == 40);

inline constexpr EFI_GUID EFI_DISK_INFO_AHCI_INTERFACE_GUID = {
    0x9E498932, 0x4ABC, 0x45AF, {0xA3, 0x4D, 0x02, 0x47, 0x78, 0x7B, 0xE7, 0xC6}};
inline constexpr EFI_GUID EFI_DISK_INFO_IDE_INTERFACE_GUID = {
    0x5E948FE3, 0x26D3, 0x42B5, {0xAF, 0x17, 0x61, 0x02, 0x87, 0x18, 0x8D, 0xEC}};
