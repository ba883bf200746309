// The interface of the legacy fingerprint module (a 16-bit real-mode program carried in a
// section of FingerprintAuthDxe's firmware file) and of the USB data area it reads: the
// low-memory layout, the reader descriptor and the fingerprint request block.
#pragma once

#include "efi_types.h"

inline constexpr EFI_GUID FINGERPRINT_MODULE_SECTION_GUID = {
    0x202C0685, 0xC94D, 0x4DB4, {0xA8, 0xCE, 0x68, 0x2D, 0x7C, 0x37, 0xCD, 0x44}};

// ---- low-memory window ------------------------------------------------------------------------
inline constexpr UINTN FP_WINDOW_BASE = 0x30000;
inline constexpr UINTN FP_WINDOW_SIZE = 0x50000;
inline constexpr UINTN FP_READER_DESCRIPTOR = 0x30000;
inline constexpr UINTN FP_REQUEST_BLOCK = 0x31000;
inline constexpr UINTN FP_USB_DATA_COPY = 0x32000;
inline constexpr UINTN FP_USB_DATA_COPY_SIZE = 9359;
inline constexpr UINTN FP_MODULE_IMAGE = 0x40000;
inline constexpr UINTN FP_MODULE_MAX_SIZE = 0x40000;
inline constexpr UINTN FP_WORK_BUFFER_SIZE = 0x40000;
inline constexpr UINT16 FP_MODULE_SEGMENT = 0x4000;
inline constexpr UINT16 FP_MODULE_ENTRY_OFFSET = 0x0003;
inline constexpr UINT16 FP_REQUEST_BLOCK_SEGMENT = 0x3000; // DS
inline constexpr UINT16 FP_REQUEST_BLOCK_OFFSET = 0x1000;  // BX

// ---- USB data area (the USB stack's memory)
// ------------------------------------------------------
inline constexpr UINTN USB_CONTROLLER_TABLE = 0x4A1;
inline constexpr UINTN USB_CONTROLLER_RECORD_SIZE = 69;
inline constexpr UINTN USB_DEVICE_TABLE = 0x684;
inline constexpr UINTN USB_DEVICE_ENTRY_SIZE = 137;
inline constexpr UINTN USB_FIRST_SCANNED_ENTRY = 1;
inline constexpr UINTN USB_LAST_SCANNED_ENTRY = 38;
inline constexpr UINTN USB_POLL_SETTING = 0x2113; // UINT16 set to 5000 before the copy
inline constexpr UINT16 USB_POLL_SETTING_VALUE = 5000;

// Fields of a USB device entry (16-bit fields little-endian, possibly unaligned).
inline constexpr UINTN USB_ENTRY_DEVICE_TYPE = 1;
inline constexpr UINTN USB_ENTRY_VENDOR_ID = 2;
inline constexpr UINTN USB_ENTRY_PRODUCT_ID = 4;
inline constexpr UINTN USB_ENTRY_CONTROLLER = 7; // 1-based controller record number
inline constexpr UINTN USB_ENTRY_ADJUST_37 = 0x37;
inline constexpr UINTN USB_ENTRY_ADJUST_38 = 0x38;
inline constexpr UINTN USB_ENTRY_ADJUST_51 = 0x51;
inline constexpr UINTN USB_ENTRY_ADJUST_53 = 0x53;

inline constexpr UINT8 FP_READER_DEVICE_TYPE = 6;
inline constexpr UINT16 FP_READER_VENDOR_ID = 0x0483;
inline constexpr UINT16 FP_READER_PRODUCT_ID = 0x2016;

// ---- reader descriptor at 0x30000
// ----------------------------------------------------------------
typedef struct {
  UINT64 LiveControllerRecord; // in the live USB data area
  UINT64 CopiedDeviceEntry;    // in the copy at 0x32000
  UINT8 Reserved[0x28];
  UINT64 CopiedControllerRecord; // in the copy at 0x32000
  UINT16 VendorId;
  UINT16 ProductId;
} FP_READER_DESCRIPTOR_LAYOUT;
static_assert(offsetof(FP_READER_DESCRIPTOR_LAYOUT, CopiedDeviceEntry) == 0x08 &&
              offsetof(FP_READER_DESCRIPTOR_LAYOUT, CopiedControllerRecord) == 0x38 &&
              offsetof(FP_READER_DESCRIPTOR_LAYOUT, VendorId) == 0x40 &&
              offsetof(FP_READER_DESCRIPTOR_LAYOUT, ProductId) == 0x42);

// ---- fingerprint request block at 0x31000 (88 bytes) -------------------------------------------
#pragma pack(push, 1)
typedef struct {
  UINT16 Signature;      // 2
  UINT16 Length;         // 88
  UINT8 Request;         // request code
  UINT8 State;           // reply of request 0; input of request 1
  UINT16 SlotMask;       // reply of request 0: slots held; request 1: the slot being stored
  UINT32 Zero;           // 0
  UINT32 WorkBuffer;     // physical address of the work buffer (below 4 GiB)
  UINT32 WorkBufferSize; // 0x40000
  UINT8 UserPassword[12];
  UINT8 AdminPassword[12];
  UINT8 DiskPassword[3][12];
  UINT16 Version; // 1
  UINT16 Tag;     // 0x5553
  UINT8 Echo;
  UINT8 Reserved[3];
} FP_REQUEST_BLOCK_LAYOUT;
#pragma pack(pop)
static_assert(sizeof(FP_REQUEST_BLOCK_LAYOUT) == 88);
static_assert(offsetof(FP_REQUEST_BLOCK_LAYOUT, Request) == 0x04 &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, State) == 0x05 &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, SlotMask) == 0x06 &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, Zero) == 0x08 &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, WorkBuffer) == 0x0C &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, WorkBufferSize) == 0x10 &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, UserPassword) == 0x14 &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, AdminPassword) == 0x20 &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, DiskPassword) == 0x2C &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, Version) == 0x50 &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, Tag) == 0x52 &&
              offsetof(FP_REQUEST_BLOCK_LAYOUT, Echo) == 0x54);

inline constexpr UINT16 FP_BLOCK_SIGNATURE = 2;
inline constexpr UINT16 FP_BLOCK_VERSION = 1;
inline constexpr UINT16 FP_BLOCK_TAG = 0x5553; // bytes 'S', 'U'

// Module requests and their answers in AX.
inline constexpr UINT8 FP_REQUEST_FINGERPRINT = 0;
inline constexpr UINT8 FP_REQUEST_STORE_PASSWORD = 1;
inline constexpr UINT8 FP_REQUEST_RESET_MAPPING = 3;
inline constexpr UINT8 FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN = 4;
inline constexpr UINT8 FP_REQUEST_OPEN = 5;
inline constexpr UINT16 FP_ANSWER_SUCCESS = 0;
inline constexpr UINT16 FP_ANSWER_BUSY = 0xFFFF;

// Password slot bits (the block's slot mask and the driver's record of what the module holds).
inline constexpr UINT16 FP_SLOT_USER = 0x01;
inline constexpr UINT16 FP_SLOT_ADMIN = 0x02;
inline constexpr UINT16 FP_SLOT_DISK1 = 0x04;
inline constexpr UINT16 FP_SLOT_DISK2 = 0x08;
inline constexpr UINT16 FP_SLOT_DISK3 = 0x10;
