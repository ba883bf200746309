#include "fingerprint_stand_ins.h"

#include "console_control.h"
#include "device_path_nodes.h"
#include "disk_info.h"
#include "driver_globals.h"
#include "fingerprint_module.h"
#include "fingerprint_services.h"
#include "guids.h"
#include "harness_interfaces.h"
#include "legacy_bios.h"
#include "memory.h"
#include "result_lines.h"

namespace {

// ---- what the module and the USB stack fix ---------------------------------------------------
// The harness plays the legacy module and the USB stack, so it states their side of the contract
// itself, in their terms, instead of taking the driver's own header: a driver built against a
// wrong constant then meets a module that does not agree with it.
namespace Contract {
constexpr UINTN WindowBase = ModuleWindowBase;
constexpr UINTN WindowSize = ModuleWindowSize;
constexpr UINTN ReaderDescriptor = 0x30000;
constexpr UINTN ReaderDescriptorUsed = 0x44;
constexpr UINTN RequestBlock = 0x31000;
constexpr UINTN RequestBlockLength = 88;
constexpr UINTN UsbCopy = 0x32000;
constexpr UINTN UsbCopyLength = 9359;
constexpr UINTN ModuleImage = 0x40000;
constexpr UINT16 EntrySegment = 0x4000;
constexpr UINT16 EntryOffset = 0x0003;
constexpr UINT16 BlockSegment = 0x3000; // DS
constexpr UINT16 BlockOffset = 0x1000;  // BX
constexpr UINT16 BlockSignature = 2;
constexpr UINT16 BlockVersion = 1;
constexpr UINT16 BlockTag = 0x5553;
constexpr UINT32 WorkBufferSize = 0x40000;
constexpr UINT8 RequestFingerprint = 0;
constexpr UINT8 RequestStorePassword = 1;
constexpr UINT8 RequestResetMapping = 3;
constexpr UINT8 RequestEndOfSystemPasswordRun = 4;
constexpr UINT8 RequestOpen = 5;
// The USB stack's data area and the reader's device entry in it.
constexpr UINTN ControllerTable = 0x4A1;
constexpr UINTN ControllerRecordSize = 69;
constexpr UINTN DeviceTable = 0x684;
constexpr UINTN DeviceEntrySize = 137;
constexpr UINTN LastScannedEntry = 38;
constexpr UINTN PollSetting = 0x2113;
constexpr UINT16 PollSettingValue = 5000;
constexpr UINTN EntryDeviceType = 1;
constexpr UINTN EntryVendorId = 2;
constexpr UINTN EntryProductId = 4;
constexpr UINTN EntryController = 7;
constexpr UINTN EntryAdjust37 = 0x37;
constexpr UINTN EntryAdjust38 = 0x38;
constexpr UINTN EntryAdjust51 = 0x51;
constexpr UINTN EntryAdjust53 = 0x53;
constexpr UINT8 ReaderDeviceType = 6;
constexpr UINT16 ReaderVendorId = 0x0483;
constexpr UINT16 ReaderProductId = 0x2016;
} // namespace Contract

// The block and descriptor structures are shared with the driver; their layout as the module reads
// it is asserted here again.
static_assert(sizeof(FP_REQUEST_BLOCK_LAYOUT) == Contract::RequestBlockLength);
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
static_assert(offsetof(FP_READER_DESCRIPTOR_LAYOUT, LiveControllerRecord) == 0x00 &&
              offsetof(FP_READER_DESCRIPTOR_LAYOUT, CopiedDeviceEntry) == 0x08 &&
              offsetof(FP_READER_DESCRIPTOR_LAYOUT, CopiedControllerRecord) == 0x38 &&
              offsetof(FP_READER_DESCRIPTOR_LAYOUT, VendorId) == 0x40 &&
              offsetof(FP_READER_DESCRIPTOR_LAYOUT, ProductId) == 0x42);

// ---- password forms -----------------------------------------------------------------------
constexpr UINT8 ModuleFormMask = 0xA5;
constexpr UINT8 SetupFormMask = 0x3C;

VOID RawPassword(const char *Password, UINT8 *Raw) {
  UINTN Index = 0;
  for (; Index < PASSWORD_FORM_SIZE && Password[Index] != 0; Index++) {
    Raw[Index] = (UINT8)Password[Index];
  }
  for (; Index < PASSWORD_FORM_SIZE; Index++) {
    Raw[Index] = 0;
  }
}

// The passwords the fixture knows, to name a form in the log without showing it.
const char *const KnownPasswords[] = {"fingerpw", "diskpw", "nope"};

const char *NameOfModuleForm(const UINT8 *Form) {
  bool AllZero = true;
  for (UINTN Index = 0; Index < PASSWORD_FORM_SIZE; Index++) {
    AllZero &= Form[Index] == 0;
  }
  if (AllZero) {
    return "empty";
  }
  for (const char *Known : KnownPasswords) {
    UINT8 Expected[PASSWORD_FORM_SIZE];
    ModulePasswordForm(Known, Expected);
    if (CompareBytes(Expected, Form, PASSWORD_FORM_SIZE) == 0) {
      return Known;
    }
  }
  return "other";
}

// ---- USB stack ------------------------------------------------------------------------------
constexpr UINTN UsbDataSize = 0x2500;
constexpr UINTN ReaderEntry = 7;
constexpr UINT8 ReaderController = 2;
UINT8 *UsbData = nullptr;
USB_STACK_PROTOCOL UsbStack;

EFI_STATUS EFIAPI UsbSwitch(BOOLEAN Enable) {
  ResultLine("usb").Key("op").Text("switch").Key("enable").Dec(Enable).Emit();
  return EFI_SUCCESS;
}

UINT8 *DeviceEntry(UINT8 *Area, UINTN Index) {
  return Area + Contract::DeviceTable + Contract::DeviceEntrySize * Index;
}

VOID BuildUsbData() {
  for (UINTN Index = 0; Index < UsbDataSize; Index++) {
    UsbData[Index] = (UINT8)(Index * 13 + 7);
  }
  // No other device entry looks like a reader.
  for (UINTN Index = 0; Index <= Contract::LastScannedEntry + 1; Index++) {
    DeviceEntry(UsbData, Index)[Contract::EntryDeviceType] = 0;
  }
  UINT8 *Entry = DeviceEntry(UsbData, ReaderEntry);
  Entry[Contract::EntryDeviceType] = Contract::ReaderDeviceType;
  Entry[Contract::EntryVendorId] = (UINT8)Contract::ReaderVendorId;
  Entry[Contract::EntryVendorId + 1] = (UINT8)(Contract::ReaderVendorId >> 8);
  Entry[Contract::EntryProductId] = (UINT8)Contract::ReaderProductId;
  Entry[Contract::EntryProductId + 1] = (UINT8)(Contract::ReaderProductId >> 8);
  Entry[Contract::EntryController] = ReaderController;
}

// ---- the legacy fingerprint module, played in 64-bit code -----------------------------------
constexpr EFI_GUID ModuleSlotsGuid = {
    0x0E5C4A77, 0x1D2B, 0x4F3C, {0x8E, 0x54, 0x9B, 0x31, 0x7A, 0x02, 0xD6, 0x18}};
constexpr UINT8 ReplyState = 0x5C;
constexpr UINT8 ReplyEcho = 0x3E;

struct ModuleSlots {
  UINT16 Mask;
  UINT8 Form[5][PASSWORD_FORM_SIZE]; // user, administrator, disk 1..3 (block order)
};
ModuleSlots Slots;
UINT8 LastEcho = 0;
const UINT8 *ModuleImage = nullptr;
UINTN ModuleImageLength = 0;
EFI_LEGACY_BIOS_PROTOCOL LegacyBios;

UINT8 *Physical(UINTN Address) {
  return (UINT8 *)Address;
}
UINT16 Read16(const UINT8 *Bytes) {
  return (UINT16)(Bytes[0] | (Bytes[1] << 8));
}

UINT8 *SlotInBlock(FP_REQUEST_BLOCK_LAYOUT *Block, UINTN Index) {
  return Index == 0   ? Block->UserPassword
         : Index == 1 ? Block->AdminPassword
                      : Block->DiskPassword[Index - 2];
}

// Everything in the window but the four areas the host fills is zero while the module runs.
bool WindowClearElsewhere() {
  struct Area {
    UINTN Start;
    UINTN Length;
  };
  const Area Filled[] = {{Contract::ReaderDescriptor, Contract::ReaderDescriptorUsed},
                         {Contract::RequestBlock, Contract::RequestBlockLength},
                         {Contract::UsbCopy, Contract::UsbCopyLength},
                         {Contract::ModuleImage, ModuleImageLength}};
  const UINT8 *Window = Physical(Contract::WindowBase);
  for (UINTN Offset = 0; Offset < Contract::WindowSize; Offset++) {
    UINTN Address = Contract::WindowBase + Offset;
    bool InArea = false;
    for (const Area &Each : Filled) {
      InArea |= Address >= Each.Start && Address - Each.Start < Each.Length;
    }
    if (!InArea && Window[Offset] != 0) {
      return false;
    }
  }
  return true;
}

const char *CheckContract(UINT16 Segment, UINT16 Offset, const EFI_IA32_REGISTER_SET *Registers,
                          const VOID *Stack, UINTN StackSize) {
  if (Segment != Contract::EntrySegment || Offset != Contract::EntryOffset) {
    return "entry";
  }
  if (Registers == nullptr || Registers->X.DS != Contract::BlockSegment ||
      Registers->X.BX != Contract::BlockOffset || Registers->X.AX != 0) {
    return "registers";
  }
  if (Stack != nullptr || StackSize != 0) {
    return "stack";
  }
  const FP_REQUEST_BLOCK_LAYOUT *Block =
      (const FP_REQUEST_BLOCK_LAYOUT *)Physical(Contract::RequestBlock);
  if (Block->Signature != Contract::BlockSignature ||
      Block->Length != Contract::RequestBlockLength || Block->Zero != 0 ||
      Block->WorkBufferSize != Contract::WorkBufferSize ||
      Block->Version != Contract::BlockVersion || Block->Tag != Contract::BlockTag) {
    return "block-header";
  }
  if (Block->WorkBuffer == 0 || Block->WorkBuffer % EFI_PAGE_SIZE != 0) {
    return "work-buffer";
  }
  if (Block->Echo != LastEcho) {
    return "echo";
  }
  if (ModuleImageLength == 0 ||
      CompareBytes(Physical(Contract::ModuleImage), ModuleImage, ModuleImageLength) != 0) {
    return "module-image";
  }
  if (!WindowClearElsewhere()) {
    return "window-not-clear";
  }
  const FP_READER_DESCRIPTOR_LAYOUT *Descriptor =
      (const FP_READER_DESCRIPTOR_LAYOUT *)Physical(Contract::ReaderDescriptor);
  UINTN Controller =
      Contract::ControllerTable + Contract::ControllerRecordSize * (ReaderController - 1);
  if (Descriptor->VendorId != Contract::ReaderVendorId ||
      Descriptor->ProductId != Contract::ReaderProductId ||
      Descriptor->LiveControllerRecord != (UINT64)(UINTN)(UsbData + Controller) ||
      Descriptor->CopiedControllerRecord != Contract::UsbCopy + Controller ||
      Descriptor->CopiedDeviceEntry !=
          (UINT64)(UINTN)DeviceEntry(Physical(Contract::UsbCopy), ReaderEntry)) {
    return "reader-descriptor";
  }
  if (Read16(UsbData + Contract::PollSetting) != Contract::PollSettingValue) {
    return "usb-poll-setting";
  }
  // The copy is the live area but for the reader entry's four adjusted fields.
  const UINT8 *Copy = Physical(Contract::UsbCopy);
  UINTN EntryStart = DeviceEntry(UsbData, ReaderEntry) - UsbData;
  for (UINTN Index = 0; Index < Contract::UsbCopyLength; Index++) {
    UINTN InEntry = Index - EntryStart;
    bool Adjusted = Index >= EntryStart &&
                    (InEntry == Contract::EntryAdjust37 || InEntry == Contract::EntryAdjust38 ||
                     (InEntry >= Contract::EntryAdjust51 && InEntry < Contract::EntryAdjust53 + 2));
    if (!Adjusted && Copy[Index] != UsbData[Index]) {
      return "usb-copy";
    }
  }
  const UINT8 *Entry = Copy + EntryStart;
  if (Entry[Contract::EntryAdjust37] != 1 || Entry[Contract::EntryAdjust38] != 2 ||
      Read16(Entry + Contract::EntryAdjust51) != 64 ||
      Read16(Entry + Contract::EntryAdjust53) != 64) {
    return "usb-copy-entry";
  }
  return "ok";
}

BOOLEAN EFIAPI ModuleFarCall(EFI_LEGACY_BIOS_PROTOCOL *, UINT16 Segment, UINT16 Offset,
                             EFI_IA32_REGISTER_SET *Registers, VOID *Stack, UINTN StackSize) {
  const char *Contract = CheckContract(Segment, Offset, Registers, Stack, StackSize);
  FP_REQUEST_BLOCK_LAYOUT *Block = (FP_REQUEST_BLOCK_LAYOUT *)Physical(Contract::RequestBlock);
  UINT8 Request = Block->Request;
  UINT16 Answer = 0;
  const char *Stored = "-";
  switch (Request) {
  case Contract::RequestOpen:
  case Contract::RequestResetMapping:
  case Contract::RequestEndOfSystemPasswordRun:
    break;
  case Contract::RequestFingerprint:
    // The enrolled finger was read: the reply carries the slots the module holds.
    Block->State = ReplyState;
    Block->SlotMask = Slots.Mask;
    for (UINTN Index = 0; Index < 5; Index++) {
      if ((Slots.Mask & (1u << Index)) != 0) {
        CopyBytes(SlotInBlock(Block, Index), Slots.Form[Index], PASSWORD_FORM_SIZE);
      }
    }
    Block->Echo = ReplyEcho;
    LastEcho = ReplyEcho;
    break;
  case Contract::RequestStorePassword: {
    // One slot bit in the mask; the state byte must be the one the module gave.
    UINT16 Bit = Block->SlotMask;
    UINTN Index = 0;
    while (Index < 5 && Bit != (1u << Index)) {
      Index++;
    }
    if (Index == 5 || Block->State != ReplyState) {
      Answer = 0x0001;
      Stored = "refused";
      break;
    }
    CopyBytes(Slots.Form[Index], SlotInBlock(Block, Index), PASSWORD_FORM_SIZE);
    Slots.Mask |= Bit;
    Stored = NameOfModuleForm(Slots.Form[Index]);
    // What the module writes into the block is its own business; the host puts it back.
    Block->State = 0xEE;
    break;
  }
  default:
    Answer = 0x00FF;
    break;
  }
  if (Registers != nullptr) {
    Registers->X.AX = Answer;
  }
  // The fingerprint request is to run with the display controller handed over: the graphics
  // outputs that are there while the module runs.
  UINTN Displays = 0;
  EFI_HANDLE *Handles = nullptr;
  if (!EFI_ERROR(DriverBootServices->LocateHandleBuffer(
          ByProtocol, &EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, nullptr, &Displays, &Handles))) {
    DriverBootServices->FreePool(Handles);
  } else {
    Displays = 0;
  }
  ResultLine("module")
      .Key("request")
      .Dec(Request)
      .Key("answer")
      .Hex(Answer)
      .Key("contract")
      .Text(Contract)
      .Key("slotmask")
      .Hex(Block->SlotMask)
      .Key("stored")
      .Text(Stored)
      .Key("gop")
      .Dec(Displays)
      .Emit();
  return FALSE;
}

BOOLEAN EFIAPI ModuleInt86(EFI_LEGACY_BIOS_PROTOCOL *, UINT8, EFI_IA32_REGISTER_SET *) {
  ResultLine("module").Key("request").Text("int86").Emit();
  return TRUE;
}

EFI_STATUS EFIAPI LegacyUnsupported() {
  return EFI_UNSUPPORTED;
}

// ---- console control --------------------------------------------------------------------------
EFI_CONSOLE_CONTROL_PROTOCOL ConsoleControl;

EFI_STATUS EFIAPI ConsoleGetMode(EFI_CONSOLE_CONTROL_PROTOCOL *,
                                 EFI_CONSOLE_CONTROL_SCREEN_MODE *Mode, BOOLEAN *GopUgaExists,
                                 BOOLEAN *StdInLocked) {
  if (Mode != nullptr) {
    *Mode = EfiConsoleControlScreenText;
  }
  if (GopUgaExists != nullptr) {
    *GopUgaExists = FALSE;
  }
  if (StdInLocked != nullptr) {
    *StdInLocked = FALSE;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ConsoleSetMode(EFI_CONSOLE_CONTROL_PROTOCOL *,
                                 EFI_CONSOLE_CONTROL_SCREEN_MODE Mode) {
  ResultLine("console").Key("op").Text("setmode").Key("mode").Dec(Mode).Emit();
  return Mode < EfiConsoleControlScreenMaxValue ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI ConsoleLockStdIn(EFI_CONSOLE_CONTROL_PROTOCOL *, CHAR16 *) {
  return EFI_UNSUPPORTED;
}

// ---- password hash ------------------------------------------------------------------------------
PASSWORD_HASH_PROTOCOL PasswordHash;

VOID AsciiOfLine(const VOID *Input, UINTN InputLength, char *Text) {
  const CHAR16 *Line = (const CHAR16 *)Input;
  UINTN Index = 0;
  for (; Index < PASSWORD_FORM_SIZE && Index < InputLength && Line[Index] != 0; Index++) {
    Text[Index] = Line[Index] < 0x80 ? (char)Line[Index] : '?';
  }
  Text[Index] = 0;
}

VOID ReportHash(UINTN Entry, UINTN InputLength, UINTN OutputLength) {
  ResultLine("hash")
      .Key("entry")
      .Dec(Entry)
      .Key("inlength")
      .Dec(InputLength)
      .Key("outlength")
      .Dec(OutputLength)
      .Emit();
}

EFI_STATUS EFIAPI HashTypedToModule(const VOID *Input, UINTN InputLength, VOID *Output,
                                    UINTN OutputLength) {
  ReportHash(1, InputLength, OutputLength);
  char Text[PASSWORD_FORM_SIZE + 1];
  AsciiOfLine(Input, InputLength, Text);
  FillBytes(Output, OutputLength, 0);
  ModulePasswordForm(Text, (UINT8 *)Output);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HashTypedToSetup(const VOID *Input, UINTN InputLength, VOID *Output,
                                   UINTN OutputLength) {
  ReportHash(2, InputLength, OutputLength);
  char Text[PASSWORD_FORM_SIZE + 1];
  AsciiOfLine(Input, InputLength, Text);
  SetupPasswordForm(Text, (UINT8 *)Output);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HashModuleToSetup(const VOID *Input, UINTN InputLength, VOID *Output,
                                    UINTN OutputLength) {
  ReportHash(5, InputLength, OutputLength);
  const UINT8 *In = (const UINT8 *)Input;
  UINT8 *Out = (UINT8 *)Output;
  for (UINTN Index = 0; Index < PASSWORD_FORM_SIZE; Index++) {
    Out[Index] = (UINT8)(In[Index] ^ ModuleFormMask ^ SetupFormMask);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HashUnused(const VOID *, UINTN InputLength, VOID *, UINTN OutputLength) {
  ReportHash(99, InputLength, OutputLength);
  return EFI_UNSUPPORTED;
}

// ---- the SATA drive and the verify service ---------------------------------------------------
constexpr char DriveSerial[] = "FWHARNESS-DRIVE-0001"; // 20 characters, the IDENTIFY field
constexpr UINTN SerialOffset = 20;
constexpr UINTN SerialLength = 20;
static_assert(sizeof(DriveSerial) == SerialLength + 1);

HDD_SECURITY_PROTOCOL DriveSecurity;
EFI_DISK_INFO_PROTOCOL DriveInfo;
HDD_PASSWORD_VERIFY_PROTOCOL Verify;
EFI_HANDLE DriveHandle = nullptr;
EFI_HANDLE ServicesHandle = nullptr;
DriveSetup Drive;
bool DriveLocked = true;
UINT8 Identify[512];

#pragma pack(push, 1)
struct DrivePath {
  ACPI_HID_DEVICE_PATH Root;
  PCI_DEVICE_PATH Controller;
  EFI_DEVICE_PATH_PROTOCOL End;
};
#pragma pack(pop)
DrivePath DriveDevicePath;

VOID SetNode(EFI_DEVICE_PATH_PROTOCOL &Node, UINT8 Type, UINT8 SubType, UINTN Length) {
  Node.Type = Type;
  Node.SubType = SubType;
  Node.Length[0] = (UINT8)Length;
  Node.Length[1] = (UINT8)(Length >> 8);
}

EFI_STATUS EFIAPI DriveStatus(HDD_SECURITY_PROTOCOL *This, UINT16 *SecurityStatus) {
  if (This != &DriveSecurity || SecurityStatus == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *SecurityStatus =
      DriveLocked ? (ATA_SECURITY_ENABLED | ATA_SECURITY_LOCKED) : ATA_SECURITY_ENABLED;
  ResultLine("hdd").Key("op").Text("status").Key("value").Hex(*SecurityStatus).Emit();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI DriveIdentify(EFI_DISK_INFO_PROTOCOL *This, VOID *Data, UINT32 *DataSize) {
  EFI_STATUS Status = EFI_SUCCESS;
  if (This != &DriveInfo || Data == nullptr || DataSize == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (*DataSize < sizeof(Identify)) {
    *DataSize = sizeof(Identify);
    Status = EFI_BUFFER_TOO_SMALL;
  } else {
    CopyBytes(Data, Identify, sizeof(Identify));
    *DataSize = sizeof(Identify);
  }
  ResultLine("hdd").Key("op").Text("identify").Status(Status).Emit();
  return Status;
}

EFI_STATUS EFIAPI DriveWhichIde(EFI_DISK_INFO_PROTOCOL *This, UINT32 *Channel, UINT32 *Device) {
  if (This != &DriveInfo || Channel == nullptr || Device == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Channel = Drive.Channel;
  *Device = Drive.Device;
  ResultLine("hdd")
      .Key("op")
      .Text("whichide")
      .Key("channel")
      .Dec(*Channel)
      .Key("device")
      .Dec(*Device)
      .Emit();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI DriveInfoUnsupported() {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI VerifyPassword(HDD_SECURITY_PROTOCOL *Target, UINT8 PasswordType,
                                 const UINT8 *SerialNumber, UINT8 DriveNumber,
                                 const UINT8 *Password) {
  bool RightDrive = Target == &DriveSecurity;
  bool SerialMatches = SerialNumber != nullptr &&
                       CompareBytes(SerialNumber, Identify + SerialOffset, SerialLength) == 0;
  bool PaddingZero = Password != nullptr;
  for (UINTN Index = PASSWORD_FORM_SIZE; PaddingZero && Index < HDD_PASSWORD_BUFFER_SIZE; Index++) {
    PaddingZero = Password[Index] == 0;
  }
  UINT8 Expected[PASSWORD_FORM_SIZE];
  ModulePasswordForm(Drive.UserPassword, Expected);
  bool Accepted = RightDrive && PaddingZero && PasswordType == HDD_PASSWORD_USER &&
                  CompareBytes(Password, Expected, PASSWORD_FORM_SIZE) == 0;
  if (Accepted) {
    DriveLocked = false;
  }
  EFI_STATUS Status = Accepted ? EFI_SUCCESS : EFI_SECURITY_VIOLATION;
  ResultLine("hdd")
      .Key("op")
      .Text("verify")
      .Key("drive")
      .Text(RightDrive ? "ours" : "other")
      .Key("type")
      .Dec(PasswordType)
      .Key("number")
      .Dec(DriveNumber)
      .Key("serial")
      .Text(SerialMatches ? "match" : "other")
      .Key("padding")
      .Text(PaddingZero ? "zero" : "dirty")
      .Key("password")
      .Text(Password != nullptr ? NameOfModuleForm(Password) : "null")
      .Status(Status)
      .Emit();
  return Status;
}

} // namespace

VOID ModulePasswordForm(const char *Password, UINT8 *Form) {
  RawPassword(Password, Form);
  for (UINTN Index = 0; Index < PASSWORD_FORM_SIZE; Index++) {
    Form[Index] ^= ModuleFormMask;
  }
}

VOID SetupPasswordForm(const char *Password, UINT8 *Form) {
  RawPassword(Password, Form);
  for (UINTN Index = 0; Index < PASSWORD_FORM_SIZE; Index++) {
    Form[Index] ^= SetupFormMask;
  }
}

VOID ClearModuleSlots() {
  FillBytes(&Slots, sizeof(Slots), 0);
}

VOID SetModuleSlot(UINT16 SlotBit, const UINT8 *Form) {
  for (UINTN Index = 0; Index < 5; Index++) {
    if (SlotBit == (1u << Index)) {
      CopyBytes(Slots.Form[Index], Form, PASSWORD_FORM_SIZE);
      Slots.Mask |= SlotBit;
    }
  }
}

VOID SaveModuleSlots() {
  DriverRuntimeServices->SetVariable(u"FwHarnessModuleSlots", &ModuleSlotsGuid,
                                     EFI_VARIABLE_NV_BS_RT, sizeof(Slots), &Slots);
}

VOID LoadModuleSlots() {
  UINTN Size = sizeof(Slots);
  if (EFI_ERROR(DriverRuntimeServices->GetVariable(u"FwHarnessModuleSlots", &ModuleSlotsGuid,
                                                   nullptr, &Size, &Slots)) ||
      Size != sizeof(Slots)) {
    ClearModuleSlots();
  }
}

EFI_STATUS InstallFingerprintServices(const DriveSetup &Setup, const UINT8 *Module,
                                      UINTN ModuleLength) {
  ModuleImage = Module;
  ModuleImageLength = ModuleLength;
  LastEcho = 0;
  Drive = Setup;
  DriveLocked = true;

  UsbData = (UINT8 *)AllocateBootPool(UsbDataSize);
  if (UsbData == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  BuildUsbData();
  FillBytes(&UsbStack, sizeof(UsbStack), 0);
  UsbStack.UsbData = UsbData;
  UsbStack.Switch = UsbSwitch;

  FillBytes(&LegacyBios, sizeof(LegacyBios), 0);
  LegacyBios.Int86 = ModuleInt86;
  LegacyBios.FarCall86 = ModuleFarCall;
  LegacyBios.CheckPciRom = LegacyUnsupported;
  LegacyBios.InstallPciRom = LegacyUnsupported;
  LegacyBios.LegacyBoot = LegacyUnsupported;
  LegacyBios.UpdateKeyboardLedStatus = LegacyUnsupported;
  LegacyBios.GetBbsInfo = LegacyUnsupported;
  LegacyBios.ShadowAllLegacyOproms = LegacyUnsupported;
  LegacyBios.PrepareToBootEfi = LegacyUnsupported;
  LegacyBios.GetLegacyRegion = LegacyUnsupported;
  LegacyBios.CopyLegacyRegion = LegacyUnsupported;
  LegacyBios.BootUnconventionalDevice = LegacyUnsupported;

  ConsoleControl.GetMode = ConsoleGetMode;
  ConsoleControl.SetMode = ConsoleSetMode;
  ConsoleControl.LockStdIn = ConsoleLockStdIn;

  // The hash service's own numbering of its entries.
  PasswordHash.Entry[0] = HashUnused;
  PasswordHash.Entry[1] = HashTypedToModule;
  PasswordHash.Entry[2] = HashTypedToSetup;
  PasswordHash.Entry[3] = HashUnused;
  PasswordHash.Entry[4] = HashUnused;
  PasswordHash.Entry[5] = HashModuleToSetup;

  Verify.VerifyPassword = VerifyPassword;

  ServicesHandle = nullptr;
  EFI_STATUS Status = DriverBootServices->InstallMultipleProtocolInterfaces(
      &ServicesHandle, &USB_STACK_PROTOCOL_GUID, &UsbStack, &EFI_LEGACY_BIOS_PROTOCOL_GUID,
      &LegacyBios, &EFI_CONSOLE_CONTROL_PROTOCOL_GUID, &ConsoleControl,
      &PASSWORD_HASH_PROTOCOL_GUID, &PasswordHash, &HDD_PASSWORD_VERIFY_PROTOCOL_GUID, &Verify,
      nullptr);
  ResultLine("install").Key("protocol").Text("fingerprint-services").Status(Status).Emit();
  if (EFI_ERROR(Status)) {
    return Status;
  }

  // The drive: IDENTIFY data with its serial number, on PCI function 0 of its controller.
  FillBytes(Identify, sizeof(Identify), 0);
  CopyBytes(Identify + SerialOffset, DriveSerial, SerialLength);
  DriveSecurity.GetSecurityStatus = DriveStatus;
  DriveInfo.Interface = EFI_DISK_INFO_AHCI_INTERFACE_GUID;
  DriveInfo.Inquiry = (EFI_DISK_INFO_INQUIRY)DriveInfoUnsupported;
  DriveInfo.Identify = DriveIdentify;
  DriveInfo.SenseData = (EFI_DISK_INFO_SENSE_DATA)DriveInfoUnsupported;
  DriveInfo.WhichIde = DriveWhichIde;
  SetNode(DriveDevicePath.Root.Header, ACPI_DEVICE_PATH, ACPI_DP, sizeof(ACPI_HID_DEVICE_PATH));
  DriveDevicePath.Root.HID = PCI_ROOT_HID;
  DriveDevicePath.Root.UID = 0;
  SetNode(DriveDevicePath.Controller.Header, HARDWARE_DEVICE_PATH, HW_PCI_DP,
          sizeof(PCI_DEVICE_PATH));
  DriveDevicePath.Controller.Function = 0;
  DriveDevicePath.Controller.Device = 0x11;
  SetNode(DriveDevicePath.End, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4);
  DriveHandle = nullptr;
  Status = DriverBootServices->InstallMultipleProtocolInterfaces(
      &DriveHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &DriveDevicePath, &HDD_SECURITY_PROTOCOL_GUID,
      &DriveSecurity, &EFI_DISK_INFO_PROTOCOL_GUID, &DriveInfo, nullptr);
  ResultLine("install").Key("protocol").Text("sata-drive").Status(Status).Emit();
  return Status;
}

VOID UninstallFingerprintServices() {
  if (DriveHandle != nullptr) {
    DriverBootServices->UninstallMultipleProtocolInterfaces(
        DriveHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &DriveDevicePath, &HDD_SECURITY_PROTOCOL_GUID,
        &DriveSecurity, &EFI_DISK_INFO_PROTOCOL_GUID, &DriveInfo, nullptr);
    DriveHandle = nullptr;
  }
  if (ServicesHandle != nullptr) {
    DriverBootServices->UninstallMultipleProtocolInterfaces(
        ServicesHandle, &USB_STACK_PROTOCOL_GUID, &UsbStack, &EFI_LEGACY_BIOS_PROTOCOL_GUID,
        &LegacyBios, &EFI_CONSOLE_CONTROL_PROTOCOL_GUID, &ConsoleControl,
        &PASSWORD_HASH_PROTOCOL_GUID, &PasswordHash, &HDD_PASSWORD_VERIFY_PROTOCOL_GUID, &Verify,
        nullptr);
    ServicesHandle = nullptr;
  }
  if (UsbData != nullptr) {
    DriverBootServices->FreePool(UsbData);
    UsbData = nullptr;
  }
}

VOID ReportFingerprintWorld(const char *Tag) {
  ResultLine("drive").Key("tag").Text(Tag).Key("locked").Dec(DriveLocked ? 1 : 0).Emit();
  ResultLine Line("moduleslots");
  Line.Key("tag").Text(Tag).Key("mask").Hex(Slots.Mask);
  const char *const Names[5] = {"user", "admin", "disk1", "disk2", "disk3"};
  for (UINTN Index = 0; Index < 5; Index++) {
    Line.Key(Names[Index])
        .Text((Slots.Mask & (1u << Index)) != 0 ? NameOfModuleForm(Slots.Form[Index]) : "-");
  }
  Line.Emit();
}
