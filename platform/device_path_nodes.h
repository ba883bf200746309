// Device path node layouts (byte-packed) and node type numbers.
#pragma once

#include "efi_types.h"

inline constexpr UINT8 HARDWARE_DEVICE_PATH = 0x01;
inline constexpr UINT8 HW_PCI_DP = 0x01;
inline constexpr UINT8 ACPI_DEVICE_PATH = 0x02;
inline constexpr UINT8 MESSAGING_DEVICE_PATH = 0x03;
inline constexpr UINT8 MEDIA_DEVICE_PATH = 0x04;
inline constexpr UINT8 MEDIA_FILEPATH_DP = 0x04;
inline constexpr UINT8 MEDIA_PIWG_FW_FILE_DP = 0x06;
inline constexpr UINT8 MEDIA_PIWG_FW_VOL_DP = 0x07;
inline constexpr UINT8 END_DEVICE_PATH_TYPE = 0x7F;
inline constexpr UINT8 END_ENTIRE_DEVICE_PATH_SUBTYPE = 0xFF;
inline constexpr UINT8 END_INSTANCE_DEVICE_PATH_SUBTYPE = 0x01;

#pragma pack(push, 1)
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT8 Function;
  UINT8 Device;
} PCI_DEVICE_PATH;

typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  EFI_GUID FvFileName;
} MEDIA_FW_VOL_FILEPATH_DEVICE_PATH;

typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  EFI_GUID FvName;
} MEDIA_FW_VOL_DEVICE_PATH;
#pragma pack(pop)

static_assert(sizeof(PCI_DEVICE_PATH) == 6 && offsetof(PCI_DEVICE_PATH, Function) == 4 &&
              offsetof(PCI_DEVICE_PATH, Device) == 5);
static_assert(sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH) == 20 &&
              offsetof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH, FvFileName) == 4);
static_assert(sizeof(MEDIA_FW_VOL_DEVICE_PATH) == 20);
