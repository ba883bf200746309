// Host of the legacy fingerprint module: finds the reader in the USB stack's device table,
// places the module, the reader descriptor and a copy of the USB data in the low-memory window
// (saved first and put back at the end), and talks to the module through the request block.
#include "device_path_nodes.h"
#include "driver_globals.h"
#include "fingerprint_auth.h"
#include "firmware_volume.h"
#include "guids.h"
#include "loaded_image.h"
#include "memory.h"

UINT8 ReaderCount = 0;
UINT8 ModuleStateByte = 0;
UINT8 ModuleEchoByte = 0;
UINT16 ModuleSlotMask = 0;
USB_STACK_PROTOCOL *UsbStack = nullptr;
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *DialogConsoleOut = nullptr;

namespace {

EFI_LEGACY_BIOS_PROTOCOL *LegacyBios = nullptr;
VOID *WindowBackup = nullptr;
EFI_PHYSICAL_ADDRESS WorkBuffer = 0;
constexpr UINTN WorkBufferPages = FP_WORK_BUFFER_SIZE / EFI_PAGE_SIZE;
constexpr UINTN ModuleSectionHeader = sizeof(EFI_GUID);

VOID *Physical(UINTN Address) {
  return reinterpret_cast<VOID *>(Address);
}

} // namespace

EFI_STATUS LoadFingerprintModule(UINT32 *ControlFlags) {
  EFI_STATUS Status =
      DriverBootServices->LocateProtocol(&USB_STACK_PROTOCOL_GUID, nullptr, (VOID **)&UsbStack);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINT8 *UsbData = (UINT8 *)UsbStack->UsbData;

  // Scan entries 1..38 of the device table; the last match is the reader. The count covers
  // this scan only, so that a later run in the same boot sees the readers present now.
  ReaderCount = 0;
  UINTN ReaderIndex = 0;
  for (UINTN Index = USB_FIRST_SCANNED_ENTRY; Index <= USB_LAST_SCANNED_ENTRY; Index++) {
    const UINT8 *Entry = UsbData + USB_DEVICE_TABLE + USB_DEVICE_ENTRY_SIZE * Index;
    if (Entry[USB_ENTRY_DEVICE_TYPE] == FP_READER_DEVICE_TYPE &&
        ReadUint16(Entry + USB_ENTRY_VENDOR_ID) == FP_READER_VENDOR_ID &&
        ReadUint16(Entry + USB_ENTRY_PRODUCT_ID) == FP_READER_PRODUCT_ID) {
      ReaderCount++;
      FingerprintFlags |= FINGERPRINT_READER_FOUND;
      *ControlFlags |= CONTROL_READER_FOUND;
      ReaderIndex = Index;
    }
  }
  if (ReaderCount == 0) {
    return EFI_NOT_FOUND;
  }
  ModuleStateByte = 0xFF;
  ModuleSlotMask = 0;

  // The module must be there and fit its 0x40000-byte slot before the window is touched.
  UINT8 *Section = nullptr;
  UINTN SectionLength = 0;
  Status = FindModuleSection(DriverImageHandle, &FINGERPRINT_MODULE_SECTION_GUID, (VOID **)&Section,
                             &SectionLength);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINTN ModuleLength = SectionLength - ModuleSectionHeader;
  if (SectionLength <= ModuleSectionHeader || ModuleLength > FP_MODULE_MAX_SIZE) {
    DriverBootServices->FreePool(Section);
    return EFI_LOAD_ERROR;
  }

  Status = DriverBootServices->LocateProtocol(&EFI_LEGACY_BIOS_PROTOCOL_GUID, nullptr,
                                              (VOID **)&LegacyBios);
  if (!EFI_ERROR(Status)) {
    Status = DriverBootServices->AllocatePool(EfiBootServicesData, FP_WINDOW_SIZE, &WindowBackup);
  }
  if (EFI_ERROR(Status)) {
    WindowBackup = nullptr;
    DriverBootServices->FreePool(Section);
    return Status;
  }

  DriverBootServices->CopyMem(WindowBackup, Physical(FP_WINDOW_BASE), FP_WINDOW_SIZE);
  DriverBootServices->SetMem(Physical(FP_WINDOW_BASE), FP_WINDOW_SIZE, 0);
  DriverBootServices->CopyMem(Physical(FP_MODULE_IMAGE), Section + ModuleSectionHeader,
                              ModuleLength);
  DriverBootServices->FreePool(Section);

  WriteUint16(UsbData + USB_POLL_SETTING, USB_POLL_SETTING_VALUE);
  DriverBootServices->CopyMem(Physical(FP_USB_DATA_COPY), UsbData, FP_USB_DATA_COPY_SIZE);

  // The module learns the work buffer's address through a 32-bit field: keep it below 4 GiB.
  WorkBuffer = 0xFFFFFFFF;
  Status = DriverBootServices->AllocatePages(AllocateMaxAddress, EfiBootServicesData,
                                             WorkBufferPages, &WorkBuffer);
  if (EFI_ERROR(Status)) {
    WorkBuffer = 0;
    DriverBootServices->CopyMem(Physical(FP_WINDOW_BASE), WindowBackup, FP_WINDOW_SIZE);
    DriverBootServices->FreePool(WindowBackup);
    WindowBackup = nullptr;
    return Status;
  }
  DriverBootServices->SetMem(Physical(WorkBuffer), FP_WORK_BUFFER_SIZE, 0);

  // Reader descriptor, from the reader's entry in the copy.
  UINT8 *Entry =
      (UINT8 *)Physical(FP_USB_DATA_COPY + USB_DEVICE_TABLE + USB_DEVICE_ENTRY_SIZE * ReaderIndex);
  UINTN ControllerRecord =
      USB_CONTROLLER_TABLE + USB_CONTROLLER_RECORD_SIZE * (UINTN)(Entry[USB_ENTRY_CONTROLLER] - 1);
  FP_READER_DESCRIPTOR_LAYOUT *Descriptor =
      (FP_READER_DESCRIPTOR_LAYOUT *)Physical(FP_READER_DESCRIPTOR);
  Descriptor->VendorId = ReadUint16(Entry + USB_ENTRY_VENDOR_ID);
  Descriptor->ProductId = ReadUint16(Entry + USB_ENTRY_PRODUCT_ID);
  Descriptor->CopiedControllerRecord = FP_USB_DATA_COPY + ControllerRecord;
  Descriptor->LiveControllerRecord = (UINT64)(UINTN)(UsbData + ControllerRecord);
  Descriptor->CopiedDeviceEntry = (UINT64)(UINTN)Entry;

  Entry[USB_ENTRY_ADJUST_37] = 1;
  Entry[USB_ENTRY_ADJUST_38] = 2;
  WriteUint16(Entry + USB_ENTRY_ADJUST_51, 64);
  WriteUint16(Entry + USB_ENTRY_ADJUST_53, 64);

  DriverBootServices->RestoreTPL(TPL_APPLICATION);
  // The dialogs use the console output of this run only: for an invalid handle the pointer
  // would keep whatever an earlier run left in it.
  DialogConsoleOut = nullptr;
  if (EFI_ERROR(DriverBootServices->HandleProtocol(DriverSystemTable->ConsoleOutHandle,
                                                   &EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID,
                                                   (VOID **)&DialogConsoleOut))) {
    DialogConsoleOut = nullptr;
  }
  return EFI_SUCCESS;
}

EFI_STATUS FindModuleSection(EFI_HANDLE Image, const EFI_GUID *Guid, VOID **Buffer, UINTN *Length) {
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  EFI_STATUS Status = DriverBootServices->HandleProtocol(Image, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                         (VOID **)&LoadedImage);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_FIRMWARE_VOLUME_PROTOCOL *Volume = nullptr;
  Status = DriverBootServices->HandleProtocol(LoadedImage->DeviceHandle,
                                              &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, (VOID **)&Volume);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // The image's file path starts with its firmware-file node: the file GUID follows the
  // node header (unaligned). A node too short to hold the GUID is not read past its end.
  const EFI_DEVICE_PATH_PROTOCOL *Node = LoadedImage->FilePath;
  if (Node == nullptr || Node->Type != MEDIA_DEVICE_PATH ||
      Node->SubType != MEDIA_PIWG_FW_FILE_DP ||
      ReadUint16((const UINT8 *)Node + 2) < sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH)) {
    return EFI_NOT_FOUND;
  }
  EFI_GUID FileName;
  CopyBytes(&FileName, (const UINT8 *)Node + sizeof(EFI_DEVICE_PATH_PROTOCOL), sizeof(FileName));

  for (UINTN Instance = 0;; Instance++) {
    VOID *Data = nullptr;
    UINTN Size = 0;
    UINT32 Authentication = 0;
    Status = Volume->ReadSection(Volume, &FileName, EFI_SECTION_FREEFORM_SUBTYPE_GUID, Instance,
                                 &Data, &Size, &Authentication);
    if (!EFI_ERROR(Status) && Data != nullptr && Size >= sizeof(EFI_GUID) &&
        CompareBytes(Data, Guid, sizeof(EFI_GUID)) == 0) {
      *Buffer = Data;
      if (Length != nullptr) {
        *Length = Size;
      }
      return EFI_SUCCESS;
    }
    if (Data != nullptr) {
      DriverBootServices->FreePool(Data);
    }
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }
}

EFI_STATUS SendModuleRequest(UINT8 Code, EFI_IA32_REGISTER_SET *Registers) {
  FP_REQUEST_BLOCK_LAYOUT *Block = RequestBlock();
  Block->Signature = FP_BLOCK_SIGNATURE;
  Block->Length = sizeof(FP_REQUEST_BLOCK_LAYOUT);
  Block->Zero = 0;
  Block->Echo = ModuleEchoByte;
  Block->WorkBuffer = (UINT32)WorkBuffer;
  Block->WorkBufferSize = FP_WORK_BUFFER_SIZE;
  Block->Tag = FP_BLOCK_TAG;
  Block->Version = FP_BLOCK_VERSION;
  Block->Request = Code;

  Registers->X.AX = 0;
  Registers->X.BX = FP_REQUEST_BLOCK_OFFSET;
  Registers->X.DS = FP_REQUEST_BLOCK_SEGMENT;
  LegacyBios->FarCall86(LegacyBios, FP_MODULE_SEGMENT, FP_MODULE_ENTRY_OFFSET, Registers, nullptr,
                        0);
  return EFI_SUCCESS;
}

UINT16 SendModuleRequestWithRetries(UINT8 Code, UINTN Attempts) {
  EFI_IA32_REGISTER_SET Registers;
  for (UINTN Attempt = 1;; Attempt++) {
    // The module is entered with nothing but what the request sets: FarCall86 hands back the
    // registers as the module left them (its flags, segment and scratch registers), and none of
    // that may reach the next attempt.
    FillBytes(&Registers, sizeof(Registers), 0);
    SendModuleRequest(Code, &Registers);
    if (Registers.X.AX != FP_ANSWER_BUSY || Attempt >= Attempts) {
      return Registers.X.AX;
    }
  }
}

EFI_STATUS StorePasswordInModule() {
  FP_REQUEST_BLOCK_LAYOUT *Block = RequestBlock();
  Block->State = ModuleStateByte;
  UINT8 Saved[sizeof(FP_REQUEST_BLOCK_LAYOUT)];
  CopyBytes(Saved, Block, sizeof(Saved));
  ModuleSlotMask |= Block->SlotMask;
  SendModuleRequestWithRetries(FP_REQUEST_STORE_PASSWORD, 5);
  // Whatever the module wrote, the block goes back to what it held before the request.
  CopyBytes(Block, Saved, sizeof(Saved));
  FillBytes(Saved, sizeof(Saved), 0);
  return EFI_SUCCESS;
}

EFI_STATUS UnloadFingerprintModule() {
  if (WindowBackup != nullptr) {
    DriverBootServices->CopyMem(Physical(FP_WINDOW_BASE), WindowBackup, FP_WINDOW_SIZE);
    DriverBootServices->FreePool(WindowBackup);
    WindowBackup = nullptr;
  }
  if (WorkBuffer != 0) {
    // The module may have left reader data there: clear it before it goes back to the pool.
    DriverBootServices->SetMem(Physical(WorkBuffer), FP_WORK_BUFFER_SIZE, 0);
    DriverBootServices->FreePages(WorkBuffer, WorkBufferPages);
    WorkBuffer = 0;
  }
  return EFI_SUCCESS;
}
