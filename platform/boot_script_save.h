// Framework EFI_BOOT_SCRIPT_SAVE_PROTOCOL.
#pragma once

#include "efi_types.h"

struct EFI_BOOT_SCRIPT_SAVE_PROTOCOL;

// Write is variadic: after OpCode, one 8-byte slot per argument. For the PCI configuration
// write opcode these are Width, Address (UINT64), Count (UINTN) and a pointer to the data.
typedef EFI_STATUS(EFIAPI *EFI_BOOT_SCRIPT_WRITE)(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *This,
                                                  UINT16 TableName, UINT16 OpCode, ...);
typedef EFI_STATUS(EFIAPI *EFI_BOOT_SCRIPT_CLOSE_TABLE)(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *This,
                                                        UINT16 TableName,
                                                        EFI_PHYSICAL_ADDRESS *Address);

struct EFI_BOOT_SCRIPT_SAVE_PROTOCOL {
  EFI_BOOT_SCRIPT_WRITE Write;
  EFI_BOOT_SCRIPT_CLOSE_TABLE CloseTable;
};
static_assert(sizeof(EFI_BOOT_SCRIPT_SAVE_PROTOCOL) == 16);
static_assert(offsetof(EFI_BOOT_SCRIPT_SAVE_PROTOCOL, CloseTable) == 8);

inline constexpr UINT16 EFI_ACPI_S3_RESUME_SCRIPT_TABLE = 0x00;

inline constexpr UINT16 EFI_BOOT_SCRIPT_IO_WRITE_OPCODE = 0x00;
inline constexpr UINT16 EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE = 0x02;
inline constexpr UINT16 EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE = 0x04;

typedef enum : UINT32 {
  EfiBootScriptWidthUint8 = 0,
  EfiBootScriptWidthUint16 = 1,
  EfiBootScriptWidthUint32 = 2,
  EfiBootScriptWidthUint64 = 3,
} EFI_BOOT_SCRIPT_WIDTH;
static_assert(sizeof(EFI_BOOT_SCRIPT_WIDTH) == 4);

// Boot-script PCI address: register in bits 7:0, function 15:8, device 23:16, bus 31:24.
constexpr UINT64 BootScriptPciAddress(UINT8 Bus, UINT8 Device, UINT8 Function, UINT8 Register) {
  return (UINT64)Register | ((UINT64)Function << 8) | ((UINT64)Device << 16) | ((UINT64)Bus << 24);
}
