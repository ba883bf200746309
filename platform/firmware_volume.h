// Framework EFI_FIRMWARE_VOLUME_PROTOCOL and the section types the drivers read.
#pragma once

#include "efi_types.h"

typedef UINT8 EFI_SECTION_TYPE;
typedef UINT8 EFI_FV_FILETYPE;
typedef UINT32 EFI_FV_FILE_ATTRIBUTES;
typedef UINT64 FRAMEWORK_EFI_FV_ATTRIBUTES;

inline constexpr EFI_SECTION_TYPE EFI_SECTION_PE32 = 0x10;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_DXE_DEPEX = 0x13;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_USER_INTERFACE = 0x15;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_FREEFORM_SUBTYPE_GUID = 0x18;
inline constexpr EFI_SECTION_TYPE EFI_SECTION_RAW = 0x19;

struct EFI_FIRMWARE_VOLUME_PROTOCOL;
typedef EFI_STATUS(EFIAPI *FRAMEWORK_EFI_FV_GET_ATTRIBUTES)(
    EFI_FIRMWARE_VOLUME_PROTOCOL *This, FRAMEWORK_EFI_FV_ATTRIBUTES *Attributes);
typedef EFI_STATUS(EFIAPI *FRAMEWORK_EFI_FV_SET_ATTRIBUTES)(
    EFI_FIRMWARE_VOLUME_PROTOCOL *This, FRAMEWORK_EFI_FV_ATTRIBUTES *Attributes);
typedef EFI_STATUS(EFIAPI *FRAMEWORK_EFI_FV_READ_FILE)(EFI_FIRMWARE_VOLUME_PROTOCOL *This,
                                                       const EFI_GUID *NameGuid, VOID **Buffer,
                                                       UINTN *BufferSize,
                                                       EFI_FV_FILETYPE *FoundType,
                                                       EFI_FV_FILE_ATTRIBUTES *FileAttributes,
                                                       UINT32 *AuthenticationStatus);
// With *Buffer NULL the service allocates the buffer from boot-services pool; the caller frees
// it. The data starts right after the section's 4-byte common header.
typedef EFI_STATUS(EFIAPI *FRAMEWORK_EFI_FV_READ_SECTION)(
    EFI_FIRMWARE_VOLUME_PROTOCOL *This, const EFI_GUID *NameGuid, EFI_SECTION_TYPE SectionType,
    UINTN SectionInstance, VOID **Buffer, UINTN *BufferSize, UINT32 *AuthenticationStatus);
typedef EFI_STATUS(EFIAPI *FRAMEWORK_EFI_FV_UNUSED)();

struct EFI_FIRMWARE_VOLUME_PROTOCOL {
  FRAMEWORK_EFI_FV_GET_ATTRIBUTES GetVolumeAttributes;
  FRAMEWORK_EFI_FV_SET_ATTRIBUTES SetVolumeAttributes;
  FRAMEWORK_EFI_FV_READ_FILE ReadFile;
  FRAMEWORK_EFI_FV_READ_SECTION ReadSection;
  FRAMEWORK_EFI_FV_UNUSED WriteFile;
  FRAMEWORK_EFI_FV_UNUSED GetNextFile;
  UINT32 KeySize;
  EFI_HANDLE ParentHandle;
};
static_assert(sizeof(EFI_FIRMWARE_VOLUME_PROTOCOL) == 64);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_PROTOCOL, ReadFile) == 16 &&
              offsetof(EFI_FIRMWARE_VOLUME_PROTOCOL, ReadSection) == 24 &&
              offsetof(EFI_FIRMWARE_VOLUME_PROTOCOL, WriteFile) == 32 &&
              offsetof(EFI_FIRMWARE_VOLUME_PROTOCOL, GetNextFile) == 40 &&
              offsetof(EFI_FIRMWARE_VOLUME_PROTOCOL, KeySize) == 48 &&
              offsetof(EFI_FIRMWARE_VOLUME_PROTOCOL, ParentHandle) == 56);
