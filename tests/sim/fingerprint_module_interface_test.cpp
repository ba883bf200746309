// The board states the legacy fingerprint module's and the USB stack's side of their interface
// itself; FingerprintAuthDxe has its own statement in fingerprint_module.h. Each constant and each
// field of the two shared layouts must agree, so a wrong value on either side fails here by name.
#include <gtest/gtest.h>

#include "fingerprint_module.h"
#include "fingerprint_module_interface.h"

#include <cstring>
#include <ostream>
#include <string>

namespace {

namespace Module = sim::module_interface;
namespace UsbArea = sim::usb_data_area;

struct ConstantCase {
  const char *Name;
  uint64_t Board;
  uint64_t Driver;
};

std::ostream &operator<<(std::ostream &Out, const ConstantCase &Case) {
  return Out << Case.Name;
}

// A field of one of the two layouts: its offset in the board's and in the driver's structure.
#define OFFSET_CASE(Layout, Field, Board, Driver)                                                  \
  (ConstantCase{#Layout "Field" #Field, offsetof(Board, Field), offsetof(Driver, Field)})

const ConstantCase Constants[] = {
    // The low-memory window and the far call.
    {"WindowBase", Module::WindowBase, FP_WINDOW_BASE},
    {"WindowSize", Module::WindowSize, FP_WINDOW_SIZE},
    {"ReaderDescriptor", Module::ReaderDescriptor, FP_READER_DESCRIPTOR},
    {"RequestBlock", Module::RequestBlock, FP_REQUEST_BLOCK},
    {"USBCopy", Module::UsbCopy, FP_USB_DATA_COPY},
    {"USBCopyLength", Module::UsbCopyLength, FP_USB_DATA_COPY_SIZE},
    {"ModuleImage", Module::ModuleImage, FP_MODULE_IMAGE},
    {"ModuleMaxSize", Module::ModuleMaxSize, FP_MODULE_MAX_SIZE},
    {"WorkBufferSize", Module::WorkBufferSize, FP_WORK_BUFFER_SIZE},
    {"EntrySegment", Module::EntrySegment, FP_MODULE_SEGMENT},
    {"EntryOffset", Module::EntryOffset, FP_MODULE_ENTRY_OFFSET},
    {"BlockSegmentDS", Module::BlockSegment, FP_REQUEST_BLOCK_SEGMENT},
    {"BlockOffsetBX", Module::BlockOffset, FP_REQUEST_BLOCK_OFFSET},
    // The request block's header values, requests, answers and slots.
    {"BlockSignature", Module::BlockSignature, FP_BLOCK_SIGNATURE},
    {"BlockVersion", Module::BlockVersion, FP_BLOCK_VERSION},
    {"BlockTag", Module::BlockTag, FP_BLOCK_TAG},
    {"RequestFingerprint", Module::RequestFingerprint, FP_REQUEST_FINGERPRINT},
    {"RequestStorePassword", Module::RequestStorePassword, FP_REQUEST_STORE_PASSWORD},
    {"RequestResetMapping", Module::RequestResetMapping, FP_REQUEST_RESET_MAPPING},
    {"RequestEndOfSystemPasswordRun", Module::RequestEndOfSystemPasswordRun,
     FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN},
    {"RequestOpen", Module::RequestOpen, FP_REQUEST_OPEN},
    {"AnswerSuccess", Module::AnswerSuccess, FP_ANSWER_SUCCESS},
    {"AnswerBusy", Module::AnswerBusy, FP_ANSWER_BUSY},
    {"SlotUser", Module::SlotUser, FP_SLOT_USER},
    {"SlotAdministrator", Module::SlotAdmin, FP_SLOT_ADMIN},
    {"SlotDisk1", Module::SlotDisk1, FP_SLOT_DISK1},
    {"SlotDisk2", Module::SlotDisk2, FP_SLOT_DISK2},
    {"SlotDisk3", Module::SlotDisk3, FP_SLOT_DISK3},
    // The USB data area.
    {"ControllerTable", UsbArea::ControllerTable, USB_CONTROLLER_TABLE},
    {"ControllerRecordSize", UsbArea::ControllerRecordSize, USB_CONTROLLER_RECORD_SIZE},
    {"DeviceTable", UsbArea::DeviceTable, USB_DEVICE_TABLE},
    {"DeviceEntrySize", UsbArea::DeviceEntrySize, USB_DEVICE_ENTRY_SIZE},
    {"FirstScannedEntry", UsbArea::FirstScannedEntry, USB_FIRST_SCANNED_ENTRY},
    {"LastScannedEntry", UsbArea::LastScannedEntry, USB_LAST_SCANNED_ENTRY},
    {"PollSetting", UsbArea::PollSetting, USB_POLL_SETTING},
    {"PollSettingValue", UsbArea::PollSettingValue, USB_POLL_SETTING_VALUE},
    {"EntryDeviceType", UsbArea::EntryDeviceType, USB_ENTRY_DEVICE_TYPE},
    {"EntryVendorID", UsbArea::EntryVendorId, USB_ENTRY_VENDOR_ID},
    {"EntryProductID", UsbArea::EntryProductId, USB_ENTRY_PRODUCT_ID},
    {"EntryController", UsbArea::EntryController, USB_ENTRY_CONTROLLER},
    {"EntryAdjusted0x37", UsbArea::EntryAdjust37, USB_ENTRY_ADJUST_37},
    {"EntryAdjusted0x38", UsbArea::EntryAdjust38, USB_ENTRY_ADJUST_38},
    {"EntryAdjusted0x51", UsbArea::EntryAdjust51, USB_ENTRY_ADJUST_51},
    {"EntryAdjusted0x53", UsbArea::EntryAdjust53, USB_ENTRY_ADJUST_53},
    {"ReaderDeviceType", UsbArea::ReaderDeviceType, FP_READER_DEVICE_TYPE},
    {"ReaderVendorID", UsbArea::ReaderVendorId, FP_READER_VENDOR_ID},
    {"ReaderProductID", UsbArea::ReaderProductId, FP_READER_PRODUCT_ID},
    // The two layouts the host writes and the module reads, field by field.
    {"RequestBlockSize", sizeof(Module::RequestBlockLayout), sizeof(FP_REQUEST_BLOCK_LAYOUT)},
    OFFSET_CASE(Block, Signature, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, Length, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, Request, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, State, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, SlotMask, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, Zero, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, WorkBuffer, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, WorkBufferSize, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, UserPassword, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, AdminPassword, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, DiskPassword, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, Version, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, Tag, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    OFFSET_CASE(Block, Echo, Module::RequestBlockLayout, FP_REQUEST_BLOCK_LAYOUT),
    {"PasswordSlotLength", sizeof(Module::RequestBlockLayout::UserPassword),
     sizeof(FP_REQUEST_BLOCK_LAYOUT::UserPassword)},
    OFFSET_CASE(Descriptor, LiveControllerRecord, Module::ReaderDescriptorLayout,
                FP_READER_DESCRIPTOR_LAYOUT),
    OFFSET_CASE(Descriptor, CopiedDeviceEntry, Module::ReaderDescriptorLayout,
                FP_READER_DESCRIPTOR_LAYOUT),
    OFFSET_CASE(Descriptor, CopiedControllerRecord, Module::ReaderDescriptorLayout,
                FP_READER_DESCRIPTOR_LAYOUT),
    OFFSET_CASE(Descriptor, VendorId, Module::ReaderDescriptorLayout, FP_READER_DESCRIPTOR_LAYOUT),
    OFFSET_CASE(Descriptor, ProductId, Module::ReaderDescriptorLayout, FP_READER_DESCRIPTOR_LAYOUT),
};

class DriverAndBoardAgree : public testing::TestWithParam<ConstantCase> {};

TEST_P(DriverAndBoardAgree, OnTheModuleInterface) {
  const ConstantCase &Case = GetParam();
  EXPECT_EQ(Case.Driver, Case.Board)
      << Case.Name << ": fingerprint_module.h says 0x" << std::hex << Case.Driver
      << ", the board's module and USB stack 0x" << Case.Board;
}

INSTANTIATE_TEST_SUITE_P(EveryConstant, DriverAndBoardAgree, testing::ValuesIn(Constants),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST(DriverAndBoardAgreeOnTheModuleInterface, SectionGuid) {
  EXPECT_EQ(0,
            std::memcmp(&Module::SectionGuid, &FINGERPRINT_MODULE_SECTION_GUID, sizeof(EFI_GUID)))
      << "the driver looks for its module under another section GUID than the board packs";
}

} // namespace
