// Published UEFI/PI interfaces that only the harness uses (the drivers never call them): the
// file system the harness reads its files from, the PI firmware-volume protocol that the DXE
// core puts on a volume's handle, the graphics output protocol's GUID (to see the display
// controller come back), and the DXE core's own services for handing it a firmware volume and
// dispatching the drivers in it.
#pragma once

#include "efi_system_table.h"

// ---- EFI_SIMPLE_FILE_SYSTEM_PROTOCOL and EFI_FILE_PROTOCOL (UEFI) -----------------------------
inline constexpr EFI_GUID EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

struct EFI_FILE_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_FILE_OPEN)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle,
                                          const CHAR16 *FileName, UINT64 OpenMode,
                                          UINT64 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_FILE_CLOSE)(EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_READ)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_UNUSED)();

struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_FILE_OPEN Open;
  EFI_FILE_CLOSE Close;
  EFI_FILE_UNUSED Delete;
  EFI_FILE_READ Read;
  EFI_FILE_UNUSED Write;
  EFI_FILE_UNUSED GetPosition;
  EFI_FILE_UNUSED SetPosition;
  EFI_FILE_UNUSED GetInfo;
  EFI_FILE_UNUSED SetInfo;
  EFI_FILE_UNUSED Flush;
};
static_assert(sizeof(EFI_FILE_PROTOCOL) == 88);
static_assert(offsetof(EFI_FILE_PROTOCOL, Open) == 8 && offsetof(EFI_FILE_PROTOCOL, Close) == 16 &&
              offsetof(EFI_FILE_PROTOCOL, Read) == 32 && offsetof(EFI_FILE_PROTOCOL, Flush) == 80);

inline constexpr UINT64 EFI_FILE_MODE_READ = 0x0000000000000001ull;

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SIMPLE_FILE_SYSTEM_OPEN_VOLUME)(
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root);
struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_SIMPLE_FILE_SYSTEM_OPEN_VOLUME OpenVolume;
};
static_assert(sizeof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL) == 16 &&
              offsetof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL, OpenVolume) == 8);

// ---- EFI_FIRMWARE_VOLUME2_PROTOCOL (PI) ---------------------------------------------------------
inline constexpr EFI_GUID EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID = {
    0x220E73B6, 0x6BDB, 0x4413, {0x84, 0x05, 0xB9, 0x74, 0xB1, 0x08, 0x61, 0x9A}};

typedef EFI_STATUS(EFIAPI *EFI_FV2_UNUSED)();
struct EFI_FIRMWARE_VOLUME2_PROTOCOL;
// The same shapes as the Framework volume's ReadFile and ReadSection.
typedef EFI_STATUS(EFIAPI *EFI_FV2_READ_FILE)(EFI_FIRMWARE_VOLUME2_PROTOCOL *This,
                                              const EFI_GUID *NameGuid, VOID **Buffer,
                                              UINTN *BufferSize, UINT8 *FoundType,
                                              UINT32 *FileAttributes, UINT32 *AuthenticationStatus);
typedef EFI_STATUS(EFIAPI *EFI_FV2_READ_SECTION)(EFI_FIRMWARE_VOLUME2_PROTOCOL *This,
                                                 const EFI_GUID *NameGuid, UINT8 SectionType,
                                                 UINTN SectionInstance, VOID **Buffer,
                                                 UINTN *BufferSize, UINT32 *AuthenticationStatus);
// Key: KeySize bytes, zero to start; FileType: the type to look for (0x00 any), then the type
// found.
typedef EFI_STATUS(EFIAPI *EFI_FV2_GET_NEXT_FILE)(EFI_FIRMWARE_VOLUME2_PROTOCOL *This, VOID *Key,
                                                  UINT8 *FileType, EFI_GUID *NameGuid,
                                                  UINT32 *Attributes, UINTN *Size);
struct EFI_FIRMWARE_VOLUME2_PROTOCOL {
  EFI_FV2_UNUSED GetVolumeAttributes;
  EFI_FV2_UNUSED SetVolumeAttributes;
  EFI_FV2_READ_FILE ReadFile;
  EFI_FV2_READ_SECTION ReadSection;
  EFI_FV2_UNUSED WriteFile;
  EFI_FV2_GET_NEXT_FILE GetNextFile;
  UINT32 KeySize;
  EFI_HANDLE ParentHandle;
  EFI_FV2_UNUSED GetInfo;
  EFI_FV2_UNUSED SetInfo;
};
static_assert(sizeof(EFI_FIRMWARE_VOLUME2_PROTOCOL) == 80);
static_assert(offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, GetNextFile) == 40 &&
              offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, KeySize) == 48 &&
              offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, ParentHandle) == 56 &&
              offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, SetInfo) == 72 &&
              offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, ReadFile) == 16 &&
              offsetof(EFI_FIRMWARE_VOLUME2_PROTOCOL, ReadSection) == 24);

// ---- EFI_FIRMWARE_VOLUME_HEADER (PI), the fixed part ------------------------------------------
struct EFI_FIRMWARE_VOLUME_HEADER {
  UINT8 ZeroVector[16];
  EFI_GUID FileSystemGuid;
  UINT64 FvLength;
  UINT32 Signature; // "_FVH"
  UINT32 Attributes;
  UINT16 HeaderLength;
  UINT16 Checksum;
  UINT16 ExtHeaderOffset;
  UINT8 Reserved;
  UINT8 Revision;
  // the block map follows
};
static_assert(sizeof(EFI_FIRMWARE_VOLUME_HEADER) == 56);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength) == 32 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature) == 40 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, Attributes) == 44 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength) == 48 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, Revision) == 55);
inline constexpr UINT32 EFI_FVH_SIGNATURE = 0x4856465F; // "_FVH"
inline constexpr UINT32 EFI_FVB2_ALIGNMENT = 0x001F0000;

// ---- DXE services table (PI), found in the system configuration table ------------------------
inline constexpr EFI_GUID DXE_SERVICES_TABLE_GUID = {
    0x05AD34BA, 0x6F02, 0x4214, {0x95, 0x2E, 0x4D, 0xA0, 0x39, 0x8E, 0x2B, 0xB9}};
typedef EFI_STATUS(EFIAPI *EFI_DISPATCH)();
typedef EFI_STATUS(EFIAPI *EFI_PROCESS_FIRMWARE_VOLUME)(const VOID *FirmwareVolumeHeader,
                                                        UINTN Size,
                                                        EFI_HANDLE *FirmwareVolumeHandle);
typedef EFI_STATUS(EFIAPI *EFI_DXE_UNUSED)();
struct DXE_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_DXE_UNUSED MemoryAndIoSpaceServices[13]; // AddMemorySpace .. GetIoSpaceMap
  EFI_DISPATCH Dispatch;
  EFI_DXE_UNUSED Schedule;
  EFI_DXE_UNUSED Trust;
  EFI_PROCESS_FIRMWARE_VOLUME ProcessFirmwareVolume;
  EFI_DXE_UNUSED SetMemorySpaceCapabilities;
};
static_assert(sizeof(DXE_SERVICES) == 168);
static_assert(offsetof(DXE_SERVICES, Dispatch) == 128 &&
              offsetof(DXE_SERVICES, ProcessFirmwareVolume) == 152);
inline constexpr UINT64 DXE_SERVICES_SIGNATURE = 0x565245535F455844ull; // "DXE_SERV"

inline constexpr UINT32 EVT_NOTIFY_SIGNAL = 0x00000200;

// ---- EFI_GRAPHICS_OUTPUT_PROTOCOL (UEFI), GUID only -------------------------------------------
inline constexpr EFI_GUID EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID = {
    0x9042A9DE, 0x23DC, 0x4A38, {0x96, 0xFB, 0x7A, 0xDE, 0xD0, 0x80, 0x51, 0x6A}};

// ---- ACPI device-path node (UEFI) ---------------------------------------------------------------
inline constexpr UINT8 ACPI_DP = 0x01;
#pragma pack(push, 1)
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT32 HID;
  UINT32 UID;
} ACPI_HID_DEVICE_PATH;
#pragma pack(pop)
static_assert(sizeof(ACPI_HID_DEVICE_PATH) == 12 && offsetof(ACPI_HID_DEVICE_PATH, UID) == 8);
inline constexpr UINT32 PCI_ROOT_HID = 0x0A0341D0; // EISA PNP0A03
