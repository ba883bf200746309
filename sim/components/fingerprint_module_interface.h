// The legacy fingerprint module's and the USB stack's side of their interface with
// FingerprintAuthDxe, as the board states it: the board plays both components, so it takes
// every address, offset, signature and request code from their own description, not from the
// driver's header. A driver built against a wrong constant then meets a module and a USB stack
// that do not agree with it, and a board test compares the two statements one by one.
#pragma once

#include "efi_types.h"

#include <cstddef>
#include <cstdint>

namespace sim {

// ---- the legacy fingerprint module --------------------------------------------------------------
namespace module_interface {

// The freeform subtype-GUID section of FingerprintAuthDxe's firmware file that carries the module.
inline constexpr EFI_GUID SectionGuid = {
    0x202C0685, 0xC94D, 0x4DB4, {0xA8, 0xCE, 0x68, 0x2D, 0x7C, 0x37, 0xCD, 0x44}};

// The low-memory window the module runs in (real mode, below 1 MiB) and what lies in it.
inline constexpr uint64_t WindowBase = 0x30000;
inline constexpr uint64_t WindowSize = 0x50000;
inline constexpr uint64_t ReaderDescriptor = 0x30000;
inline constexpr uint64_t ReaderDescriptorUsed = 0x44;
inline constexpr uint64_t RequestBlock = 0x31000;
inline constexpr uint64_t UsbCopy = 0x32000;
inline constexpr uint64_t UsbCopyLength = 9359;
inline constexpr uint64_t ModuleImage = 0x40000;
inline constexpr uint64_t ModuleMaxSize = 0x40000; // the rest of the window
inline constexpr uint32_t WorkBufferSize = 0x40000;

// The far call: entry 4000:0003, the block at DS:BX = 3000:1000.
inline constexpr uint16_t EntrySegment = 0x4000;
inline constexpr uint16_t EntryOffset = 0x0003;
inline constexpr uint16_t BlockSegment = 0x3000;
inline constexpr uint16_t BlockOffset = 0x1000;

// The reader descriptor at 0x30000, as the module reads it.
struct ReaderDescriptorLayout {
  uint64_t LiveControllerRecord; // in the live USB data area
  uint64_t CopiedDeviceEntry;    // in the copy at 0x32000
  uint8_t Reserved[0x28];
  uint64_t CopiedControllerRecord; // in the copy at 0x32000
  uint16_t VendorId;
  uint16_t ProductId;
};
static_assert(offsetof(ReaderDescriptorLayout, LiveControllerRecord) == 0x00 &&
              offsetof(ReaderDescriptorLayout, CopiedDeviceEntry) == 0x08 &&
              offsetof(ReaderDescriptorLayout, Reserved) == 0x10 &&
              offsetof(ReaderDescriptorLayout, CopiedControllerRecord) == 0x38 &&
              offsetof(ReaderDescriptorLayout, VendorId) == 0x40 &&
              offsetof(ReaderDescriptorLayout, ProductId) == 0x42);
static_assert(offsetof(ReaderDescriptorLayout, ProductId) + sizeof(uint16_t) ==
              ReaderDescriptorUsed);

// The fingerprint request block at 0x31000: 88 bytes, little-endian.
inline constexpr size_t PasswordSlotLength = 12;
#pragma pack(push, 1)
struct RequestBlockLayout {
  uint16_t Signature;
  uint16_t Length;
  uint8_t Request;
  uint8_t State;     // reply of request 0; input of request 1
  uint16_t SlotMask; // reply of request 0: slots held; request 1: the slot being stored
  uint32_t Zero;
  uint32_t WorkBuffer; // physical address, below 4 GiB
  uint32_t WorkBufferSize;
  uint8_t UserPassword[PasswordSlotLength];
  uint8_t AdminPassword[PasswordSlotLength];
  uint8_t DiskPassword[3][PasswordSlotLength];
  uint16_t Version;
  uint16_t Tag;
  uint8_t Echo;
  uint8_t Reserved[3];
};
#pragma pack(pop)
inline constexpr size_t RequestBlockLength = 88;
static_assert(sizeof(RequestBlockLayout) == RequestBlockLength);
static_assert(
    offsetof(RequestBlockLayout, Length) == 0x02 && offsetof(RequestBlockLayout, Request) == 0x04 &&
    offsetof(RequestBlockLayout, State) == 0x05 && offsetof(RequestBlockLayout, SlotMask) == 0x06 &&
    offsetof(RequestBlockLayout, Zero) == 0x08 &&
    offsetof(RequestBlockLayout, WorkBuffer) == 0x0C &&
    offsetof(RequestBlockLayout, WorkBufferSize) == 0x10 &&
    offsetof(RequestBlockLayout, UserPassword) == 0x14 &&
    offsetof(RequestBlockLayout, AdminPassword) == 0x20 &&
    offsetof(RequestBlockLayout, DiskPassword) == 0x2C &&
    offsetof(RequestBlockLayout, Version) == 0x50 && offsetof(RequestBlockLayout, Tag) == 0x52 &&
    offsetof(RequestBlockLayout, Echo) == 0x54 && offsetof(RequestBlockLayout, Reserved) == 0x55);

inline constexpr uint16_t BlockSignature = 2;
inline constexpr uint16_t BlockVersion = 1;
inline constexpr uint16_t BlockTag = 0x5553; // the bytes 'S', 'U'

// Requests and the answers in AX.
inline constexpr uint8_t RequestFingerprint = 0;
inline constexpr uint8_t RequestStorePassword = 1;
inline constexpr uint8_t RequestResetMapping = 3;
inline constexpr uint8_t RequestEndOfSystemPasswordRun = 4;
inline constexpr uint8_t RequestOpen = 5;
inline constexpr uint16_t AnswerSuccess = 0;
inline constexpr uint16_t AnswerBusy = 0xFFFF;

// Password slot bits (the block's slot mask).
inline constexpr uint16_t SlotUser = 0x01;
inline constexpr uint16_t SlotAdmin = 0x02;
inline constexpr uint16_t SlotDisk1 = 0x04;
inline constexpr uint16_t SlotDisk2 = 0x08;
inline constexpr uint16_t SlotDisk3 = 0x10;
inline constexpr uint16_t SlotBits = SlotUser | SlotAdmin | SlotDisk1 | SlotDisk2 | SlotDisk3;

} // namespace module_interface

// ---- the USB stack's data area ------------------------------------------------------------------
namespace usb_data_area {

inline constexpr size_t ControllerTable = 0x4A1;
inline constexpr size_t ControllerRecordSize = 69; // record n (1-based) at 0x4A1 + 69 * (n - 1)
inline constexpr size_t DeviceTable = 0x684;
inline constexpr size_t DeviceEntrySize = 137; // entry i at 0x684 + 137 * i
inline constexpr size_t FirstScannedEntry = 1;
inline constexpr size_t LastScannedEntry = 38;
inline constexpr size_t PollSetting = 0x2113; // UINT16; the host sets it before the copy
inline constexpr uint16_t PollSettingValue = 5000;

// Fields of a device entry (16-bit fields little-endian, possibly unaligned).
inline constexpr size_t EntryDeviceType = 1;
inline constexpr size_t EntryVendorId = 2;
inline constexpr size_t EntryProductId = 4;
inline constexpr size_t EntryController = 7; // 1-based controller record number
// The fields the host adjusts in its copy of the reader's entry, and the values it writes.
inline constexpr size_t EntryAdjust37 = 0x37;
inline constexpr size_t EntryAdjust38 = 0x38;
inline constexpr size_t EntryAdjust51 = 0x51; // UINT16
inline constexpr size_t EntryAdjust53 = 0x53; // UINT16
inline constexpr uint8_t Adjusted37 = 1;
inline constexpr uint8_t Adjusted38 = 2;
inline constexpr uint16_t Adjusted51 = 64;
inline constexpr uint16_t Adjusted53 = 64;

// The fingerprint reader's entry.
inline constexpr uint8_t ReaderDeviceType = 6;
inline constexpr uint16_t ReaderVendorId = 0x0483;
inline constexpr uint16_t ReaderProductId = 0x2016;

} // namespace usb_data_area

} // namespace sim
