// EFI_PCI_IO_PROTOCOL (x64 layout). The drivers call only Pci.Read; every member is declared so
// that the offsets match the published table.
#pragma once

#include "efi_types.h"

typedef enum : UINT32 {
  EfiPciIoWidthUint8 = 0,
  EfiPciIoWidthUint16 = 1,
  EfiPciIoWidthUint32 = 2,
  EfiPciIoWidthUint64 = 3,
} EFI_PCI_IO_PROTOCOL_WIDTH;
static_assert(sizeof(EFI_PCI_IO_PROTOCOL_WIDTH) == 4);

struct EFI_PCI_IO_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_PCI_IO_PROTOCOL_CONFIG)(EFI_PCI_IO_PROTOCOL *This,
                                                       EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                                       UINT32 Offset, UINTN Count, VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_PCI_IO_PROTOCOL_IO_MEM)(EFI_PCI_IO_PROTOCOL *This,
                                                       EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                                       UINT8 BarIndex, UINT64 Offset, UINTN Count,
                                                       VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_PCI_IO_PROTOCOL_UNUSED)();

typedef struct {
  EFI_PCI_IO_PROTOCOL_IO_MEM Read;
  EFI_PCI_IO_PROTOCOL_IO_MEM Write;
} EFI_PCI_IO_PROTOCOL_ACCESS;

typedef struct {
  EFI_PCI_IO_PROTOCOL_CONFIG Read;
  EFI_PCI_IO_PROTOCOL_CONFIG Write;
} EFI_PCI_IO_PROTOCOL_CONFIG_ACCESS;

struct EFI_PCI_IO_PROTOCOL {
  EFI_PCI_IO_PROTOCOL_UNUSED PollMem;
  EFI_PCI_IO_PROTOCOL_UNUSED PollIo;
  EFI_PCI_IO_PROTOCOL_ACCESS Mem;
  EFI_PCI_IO_PROTOCOL_ACCESS Io;
  EFI_PCI_IO_PROTOCOL_CONFIG_ACCESS Pci;
  EFI_PCI_IO_PROTOCOL_UNUSED CopyMem;
  EFI_PCI_IO_PROTOCOL_UNUSED Map;
  EFI_PCI_IO_PROTOCOL_UNUSED Unmap;
  EFI_PCI_IO_PROTOCOL_UNUSED AllocateBuffer;
  EFI_PCI_IO_PROTOCOL_UNUSED FreeBuffer;
  EFI_PCI_IO_PROTOCOL_UNUSED Flush;
  EFI_PCI_IO_PROTOCOL_UNUSED GetLocation;
  EFI_PCI_IO_PROTOCOL_UNUSED Attributes;
  EFI_PCI_IO_PROTOCOL_UNUSED GetBarAttributes;
  EFI_PCI_IO_PROTOCOL_UNUSED SetBarAttributes;
  UINT64 RomSize;
  VOID *RomImage;
};
static_assert(sizeof(EFI_PCI_IO_PROTOCOL) == 160);
static_assert(offsetof(EFI_PCI_IO_PROTOCOL, Mem) == 16 && offsetof(EFI_PCI_IO_PROTOCOL, Io) == 32 &&
              offsetof(EFI_PCI_IO_PROTOCOL, Pci) == 48 &&
              offsetof(EFI_PCI_IO_PROTOCOL, CopyMem) == 64 &&
              offsetof(EFI_PCI_IO_PROTOCOL, GetLocation) == 112 &&
              offsetof(EFI_PCI_IO_PROTOCOL, RomSize) == 144 &&
              offsetof(EFI_PCI_IO_PROTOCOL, RomImage) == 152);

inline constexpr UINT8 PCI_CLASS_DISPLAY = 0x03;
