#include "fingerprint_module_model.h"

#include "boot_services.h"
#include "physical_memory.h"
#include "usb_stack.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

uint8_t *Physical(uint64_t Address) {
  return reinterpret_cast<uint8_t *>(Address);
}

std::string Hex(uint64_t Value) {
  char Text[32];
  std::snprintf(Text, sizeof(Text), "0x%llX", (unsigned long long)Value);
  return Text;
}

uint16_t Read16(const uint8_t *At) {
  return (uint16_t)(At[0] | (At[1] << 8));
}

constexpr size_t kDescriptorUsed =
    offsetof(FP_READER_DESCRIPTOR_LAYOUT, ProductId) + sizeof(UINT16);
constexpr uint16_t kSlotBits =
    FP_SLOT_USER | FP_SLOT_ADMIN | FP_SLOT_DISK1 | FP_SLOT_DISK2 | FP_SLOT_DISK3;

bool KnownCode(uint8_t Code) {
  return Code == FP_REQUEST_FINGERPRINT || Code == FP_REQUEST_STORE_PASSWORD ||
         Code == FP_REQUEST_RESET_MAPPING || Code == FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN ||
         Code == FP_REQUEST_OPEN;
}

uint8_t *SlotField(FP_REQUEST_BLOCK_LAYOUT &Block, int Index) {
  switch (Index) {
  case 0:
    return Block.UserPassword;
  case 1:
    return Block.AdminPassword;
  default:
    return Block.DiskPassword[Index - 2];
  }
}

} // namespace

FingerprintModuleModel::FingerprintModuleModel(BootServices &Owner, UsbStack &Usb)
    : Owner(Owner), Usb(Usb) {}

void FingerprintModuleModel::Install() {
  RequestLog.clear();
  StoreLog.clear();
  Loads.clear();
  HostEcho = 0;
}

void FingerprintModuleModel::DriverLoaded() {
  HostEcho = 0;
}

// ---- the reader ------------------------------------------------------------------------------
void FingerprintModuleModel::EnrollFinger(uint8_t State, uint8_t Echo) {
  FingerEnrolled = true;
  FingerAccepted = true;
  StateByte = State;
  EchoByte = Echo;
}

int FingerprintModuleModel::SlotIndex(uint16_t SlotBit) {
  for (int Index = 0; Index < 5; Index++) {
    if (SlotBit == (1u << Index)) {
      return Index;
    }
  }
  return -1;
}

void FingerprintModuleModel::SetSlot(uint16_t SlotBit, const PasswordForm &Password) {
  int Index = SlotIndex(SlotBit);
  if (Index < 0) {
    std::fprintf(stderr, "fingerprint module: no slot 0x%X\n", SlotBit);
    std::abort();
  }
  Slots[Index] = Password;
}

void FingerprintModuleModel::ClearSlot(uint16_t SlotBit) {
  int Index = SlotIndex(SlotBit);
  if (Index >= 0) {
    Slots[Index].reset();
  }
}

std::optional<PasswordForm> FingerprintModuleModel::Slot(uint16_t SlotBit) const {
  int Index = SlotIndex(SlotBit);
  return Index < 0 ? std::nullopt : Slots[Index];
}

uint16_t FingerprintModuleModel::SlotMask() const {
  uint16_t Mask = 0;
  for (int Index = 0; Index < 5; Index++) {
    Mask |= Slots[Index] ? (uint16_t)(1u << Index) : 0;
  }
  return Mask;
}

// ---- answers ----------------------------------------------------------------------------------
void FingerprintModuleModel::AnswerBusy(uint8_t Code, unsigned Times) {
  for (unsigned I = 0; I < Times; I++) {
    Queued[Code].push_back(FP_ANSWER_BUSY);
  }
}

void FingerprintModuleModel::QueueAnswer(uint8_t Code, uint16_t Answer) {
  Queued[Code].push_back(Answer);
}

void FingerprintModuleModel::SetAnswer(uint8_t Code, uint16_t Answer) {
  Fixed[Code] = Answer;
}

void FingerprintModuleModel::ClearAnswers() {
  Queued.clear();
  Fixed.clear();
}

uint16_t FingerprintModuleModel::NextAnswer(uint8_t Code) {
  auto Queue = Queued.find(Code);
  if (Queue != Queued.end() && !Queue->second.empty()) {
    uint16_t Answer = Queue->second.front();
    Queue->second.pop_front();
    return Answer;
  }
  auto Set = Fixed.find(Code);
  if (Set != Fixed.end()) {
    return Set->second;
  }
  if (!KnownCode(Code)) {
    return kUnknownRequest;
  }
  if (Code == FP_REQUEST_FINGERPRINT) {
    return FingerEnrolled && FingerAccepted ? FP_ANSWER_SUCCESS : kNoMatch;
  }
  return FP_ANSWER_SUCCESS;
}

// ---- image ------------------------------------------------------------------------------------
void FingerprintModuleModel::SetExpectedImage(std::vector<uint8_t> NewImage) {
  Image = std::move(NewImage);
  ExpectedImageKnown = true;
}

void FingerprintModuleModel::ForgetExpectedImage() {
  Image.clear();
  ExpectedImageKnown = false;
}

// ---- records ----------------------------------------------------------------------------------
std::vector<uint8_t> FingerprintModuleModel::RequestCodes() const {
  std::vector<uint8_t> Codes;
  for (const ModuleRequestRecord &Request : RequestLog) {
    Codes.push_back(Request.Code);
  }
  return Codes;
}

size_t FingerprintModuleModel::CountOf(uint8_t Code) const {
  size_t Count = 0;
  for (const ModuleRequestRecord &Request : RequestLog) {
    Count += Request.Code == Code ? 1 : 0;
  }
  return Count;
}

// ---- the contract ----------------------------------------------------------------------------
void FingerprintModuleModel::Check(bool Condition, const std::string &Text) {
  if (!Condition) {
    Owner.Problem("fingerprint module: " + Text);
  }
}

void FingerprintModuleModel::CheckWindow() {
  // The image at 0x40000.
  size_t ImageLength = 0;
  if (!ExpectedImageKnown) {
    Check(false, "called, but the board knows no module section to compare 0x40000 with");
  } else if (Image.size() > FP_MODULE_MAX_SIZE) {
    Check(false, "called with a module of " + std::to_string(Image.size()) +
                     " bytes, more than fits at 0x40000");
    ImageLength = FP_MODULE_MAX_SIZE;
  } else {
    ImageLength = Image.size();
    const uint8_t *Placed = Physical(FP_MODULE_IMAGE);
    for (size_t I = 0; I < ImageLength; I++) {
      if (Placed[I] != Image[I]) {
        Check(false, "module image at 0x40000 differs from the module section at offset " + Hex(I));
        break;
      }
    }
  }
  // Zeros everywhere the layout puts nothing.
  struct Gap {
    uint64_t From, To;
  };
  const Gap Gaps[] = {
      {FP_READER_DESCRIPTOR + kDescriptorUsed, FP_REQUEST_BLOCK},
      {FP_REQUEST_BLOCK + sizeof(FP_REQUEST_BLOCK_LAYOUT), FP_USB_DATA_COPY},
      {FP_USB_DATA_COPY + FP_USB_DATA_COPY_SIZE, FP_MODULE_IMAGE},
      // Without a known image nothing can be said about what follows it.
      {ExpectedImageKnown ? FP_MODULE_IMAGE + ImageLength : FP_WINDOW_BASE + FP_WINDOW_SIZE,
       FP_WINDOW_BASE + FP_WINDOW_SIZE},
  };
  for (const Gap &G : Gaps) {
    for (uint64_t At = G.From; At < G.To; At++) {
      if (*Physical(At) != 0) {
        Check(false, "low memory at " + Hex(At) + " is not zero (the window layout puts " +
                         "nothing there)");
        break;
      }
    }
  }
  // Reserved bytes of the descriptor.
  for (size_t I = 0x10; I < 0x38; I++) {
    if (*Physical(FP_READER_DESCRIPTOR + I) != 0) {
      Check(false, "reader descriptor byte " + Hex(I) + " is not zero");
      break;
    }
  }
}

void FingerprintModuleModel::CheckUsbCopy() {
  const uint8_t *Live = Usb.Data();
  // The reader the host had to find: the last match of entries 1 to 38.
  size_t Reader = 0;
  for (size_t Index = USB_FIRST_SCANNED_ENTRY; Index <= USB_LAST_SCANNED_ENTRY; Index++) {
    const uint8_t *E = Live + USB_DEVICE_TABLE + USB_DEVICE_ENTRY_SIZE * Index;
    if (E[USB_ENTRY_DEVICE_TYPE] == FP_READER_DEVICE_TYPE &&
        Read16(E + USB_ENTRY_VENDOR_ID) == FP_READER_VENDOR_ID &&
        Read16(E + USB_ENTRY_PRODUCT_ID) == FP_READER_PRODUCT_ID) {
      Reader = Index;
    }
  }
  Check(Reader != 0, "called although the USB device table holds no reader in entries 1..38");
  Check(Usb.PollSetting() == USB_POLL_SETTING_VALUE,
        "live USB data area holds " + std::to_string(Usb.PollSetting()) + " at 0x2113, not 5000");
  std::vector<size_t> Foreign = Usb.ForeignChanges();
  Check(Foreign.empty(), Foreign.empty() ? ""
                                         : "live USB data area changed at offset " +
                                               Hex(Foreign.front()) + " (only 0x2113 may change)");

  const size_t EntryOffset = USB_DEVICE_TABLE + USB_DEVICE_ENTRY_SIZE * Reader;
  auto Adjusted = [&](size_t Offset, uint8_t &Want) {
    if (Reader == 0 || Offset < EntryOffset || Offset >= EntryOffset + USB_DEVICE_ENTRY_SIZE) {
      return false;
    }
    switch (Offset - EntryOffset) {
    case USB_ENTRY_ADJUST_37:
      Want = 1;
      return true;
    case USB_ENTRY_ADJUST_38:
      Want = 2;
      return true;
    case USB_ENTRY_ADJUST_51:
    case USB_ENTRY_ADJUST_53:
      Want = 64;
      return true;
    case USB_ENTRY_ADJUST_51 + 1:
    case USB_ENTRY_ADJUST_53 + 1:
      Want = 0;
      return true;
    default:
      return false;
    }
  };
  const uint8_t *Copy = Physical(FP_USB_DATA_COPY);
  for (size_t I = 0; I < FP_USB_DATA_COPY_SIZE; I++) {
    uint8_t Want = Live[I];
    bool IsAdjusted = Adjusted(I, Want);
    if (Copy[I] != Want) {
      Check(false, "USB copy at 0x32000 differs at offset " + Hex(I) + ": " + Hex(Copy[I]) +
                       " instead of " + Hex(Want) +
                       (IsAdjusted ? " (an adjusted byte of the reader's entry)" : ""));
      break;
    }
  }

  if (Reader == 0) {
    return;
  }
  // The reader descriptor.
  const uint8_t *Entry = Live + EntryOffset;
  const size_t Controller = Entry[USB_ENTRY_CONTROLLER];
  const uint64_t RecordOffset =
      USB_CONTROLLER_TABLE + USB_CONTROLLER_RECORD_SIZE * (Controller - 1);
  const auto *D =
      reinterpret_cast<const FP_READER_DESCRIPTOR_LAYOUT *>(Physical(FP_READER_DESCRIPTOR));
  Check(D->LiveControllerRecord == Usb.Address() + RecordOffset,
        "reader descriptor 0x00 holds " + Hex(D->LiveControllerRecord) +
            ", not the live controller record " + Hex(Usb.Address() + RecordOffset));
  Check(D->CopiedDeviceEntry == FP_USB_DATA_COPY + EntryOffset,
        "reader descriptor 0x08 holds " + Hex(D->CopiedDeviceEntry) +
            ", not the copied device entry " + Hex(FP_USB_DATA_COPY + EntryOffset));
  Check(D->CopiedControllerRecord == FP_USB_DATA_COPY + RecordOffset,
        "reader descriptor 0x38 holds " + Hex(D->CopiedControllerRecord) +
            ", not the copied controller record " + Hex(FP_USB_DATA_COPY + RecordOffset));
  Check(D->VendorId == FP_READER_VENDOR_ID && D->ProductId == FP_READER_PRODUCT_ID,
        "reader descriptor IDs are " + Hex(D->VendorId) + ":" + Hex(D->ProductId));
}

void FingerprintModuleModel::CheckBlockHeader(const FP_REQUEST_BLOCK_LAYOUT &Block) {
  Check(Block.Signature == FP_BLOCK_SIGNATURE, "request block 0x00 is " + Hex(Block.Signature));
  Check(Block.Length == sizeof(FP_REQUEST_BLOCK_LAYOUT),
        "request block 0x02 is " + Hex(Block.Length) + ", not 88");
  Check(KnownCode(Block.Request),
        "request code " + std::to_string(Block.Request) + " is not one the host sends");
  Check(Block.Zero == 0, "request block 0x08 is " + Hex(Block.Zero) + ", not 0");
  Check(Block.WorkBufferSize == FP_WORK_BUFFER_SIZE,
        "request block 0x10 is " + Hex(Block.WorkBufferSize) + ", not 0x40000");
  Check(Block.Version == FP_BLOCK_VERSION, "request block 0x50 is " + Hex(Block.Version));
  Check(Block.Tag == FP_BLOCK_TAG, "request block 0x52 is " + Hex(Block.Tag) + ", not 0x5553");
  Check(Block.Echo == HostEcho,
        "request block 0x54 (echo) is " + Hex(Block.Echo) + ", not " + Hex(HostEcho));
}

bool FingerprintModuleModel::CheckWorkBuffer(uint32_t Address) {
  const uint64_t Start = Address;
  const uint64_t End = Start + FP_WORK_BUFFER_SIZE;
  bool Live = false;
  for (const auto &[At, Block] : Owner.PoolBlocks()) {
    uint64_t From = reinterpret_cast<uint64_t>(At);
    if (!Block.Freed && From <= Start && End <= From + Block.Size) {
      Live = true;
    }
  }
  for (const auto &[At, Block] : Owner.Pages) {
    if (!Block.Freed && At <= Start && End <= At + Block.Pages * EFI_PAGE_SIZE) {
      Live = true;
    }
  }
  bool InWindow = Start < FP_WINDOW_BASE + FP_WINDOW_SIZE && End > FP_WINDOW_BASE;
  Check(Live && !InWindow,
        "work buffer " + Hex(Address) +
            " is not 0x40000 bytes of a live pool or page block outside the window");
  if (!Live || InWindow) {
    return false;
  }
  if (Loads.find(Address) == Loads.end()) {
    Loads[Address] = HostLoad{};
    const uint8_t *Buffer = Physical(Start);
    for (size_t I = 0; I < FP_WORK_BUFFER_SIZE; I++) {
      if (Buffer[I] != 0) {
        Check(false, "work buffer " + Hex(Address) + " was not zeroed (byte " + Hex(I) + ")");
        break;
      }
    }
  }
  return true;
}

// ---- a call -----------------------------------------------------------------------------------
void FingerprintModuleModel::Reply(FP_REQUEST_BLOCK_LAYOUT &Block) {
  Block.State = StateByte;
  Block.SlotMask = ReplySlotMask.value_or(SlotMask());
  for (int Index = 0; Index < 5; Index++) {
    uint8_t *Field = SlotField(Block, Index);
    if (Slots[Index]) {
      std::memcpy(Field, Slots[Index]->data(), PASSWORD_FORM_SIZE);
    } else {
      std::memset(Field, 0, PASSWORD_FORM_SIZE);
    }
  }
  Block.Echo = EchoByte;
}

void FingerprintModuleModel::Store(FP_REQUEST_BLOCK_LAYOUT &Block, uint16_t Answer) {
  ModuleStoreRecord Record;
  Record.Slot = Block.SlotMask;
  Record.StateByte = Block.State;
  Record.Answer = Answer;
  int Index = SlotIndex(Block.SlotMask);
  Check(Index >= 0 && (Block.SlotMask & ~kSlotBits) == 0,
        "store request names slot mask " + Hex(Block.SlotMask) + ", not a single slot bit");
  auto Load = Loads.find(Block.WorkBuffer);
  if (Load != Loads.end()) {
    uint8_t Want = Load->second.DeliveredState.value_or(0xFF);
    Check(Block.State == Want,
          "store request carries state byte " + Hex(Block.State) + ", not " + Hex(Want));
  }
  if (Index >= 0) {
    std::memcpy(Record.Password.data(), SlotField(Block, Index), PASSWORD_FORM_SIZE);
    if (Answer == FP_ANSWER_SUCCESS) {
      Slots[Index] = Record.Password;
      Record.Stored = true;
    }
  }
  StoreLog.push_back(Record);
  if (ScribbleOnStore && Answer != FP_ANSWER_BUSY) {
    auto *Bytes = reinterpret_cast<uint8_t *>(&Block);
    std::memset(Bytes + offsetof(FP_REQUEST_BLOCK_LAYOUT, State), 0xCC,
                offsetof(FP_REQUEST_BLOCK_LAYOUT, Version) -
                    offsetof(FP_REQUEST_BLOCK_LAYOUT, State));
  }
}

void FingerprintModuleModel::FarCall(uint16_t Segment, uint16_t Offset, EFI_IA32_REGISTER_SET *Regs,
                                     VOID *Stack, UINTN StackSize) {
  Check(Segment == FP_MODULE_SEGMENT && Offset == FP_MODULE_ENTRY_OFFSET,
        "FarCall86 to " + Hex(Segment) + ":" + Hex(Offset) + ", not 4000:0003");
  Check(Stack == nullptr && StackSize == 0, "FarCall86 with a stack (the module uses its own)");
  if (Regs == nullptr) {
    Check(false, "FarCall86 without a register set");
    return;
  }
  Check(Regs->X.AX == 0, "AX is " + Hex(Regs->X.AX) + " on entry, not 0");
  Check(Regs->X.DS == FP_REQUEST_BLOCK_SEGMENT && Regs->X.BX == FP_REQUEST_BLOCK_OFFSET,
        "DS:BX is " + Hex(Regs->X.DS) + ":" + Hex(Regs->X.BX) + ", not 3000:1000");
  // The module is entered with nothing else: a stray ES, FS or GS, a set direction or trap
  // flag, or scratch left in a register would be met by real-mode code that trusts none of it.
  // (AX, BX and DS are checked above.)
  static const char *const Names[] = {"EAX bits 31:16",
                                      "EBX bits 31:16",
                                      "ECX",
                                      "EDX",
                                      "ESI",
                                      "EDI",
                                      "EFlags",
                                      "ES",
                                      "CS",
                                      "SS",
                                      "FS",
                                      "GS",
                                      "EBP",
                                      "ESP"};
  static const size_t Offsets[] = {2, 6, 8, 12, 16, 20, 24, 28, 30, 32, 36, 38, 40, 44};
  static const size_t Widths[] = {2, 2, 4, 4, 4, 4, 4, 2, 2, 2, 2, 2, 4, 4};
  for (size_t I = 0; I < sizeof(Offsets) / sizeof(Offsets[0]); I++) {
    uint32_t Value = 0;
    std::memcpy(&Value, reinterpret_cast<const uint8_t *>(Regs) + Offsets[I], Widths[I]);
    Check(Value == 0, std::string(Names[I]) + " is " + Hex(Value) +
                          " on entry; the request sets only AX, BX and DS, every other register 0");
  }

  auto &Block = *reinterpret_cast<FP_REQUEST_BLOCK_LAYOUT *>(Physical(FP_REQUEST_BLOCK));
  ModuleRequestRecord Record;
  Record.Code = Block.Request;
  Record.WorkBuffer = Block.WorkBuffer;
  std::memcpy(Record.Sent.data(), &Block, sizeof(Block));

  CheckWindow();
  CheckUsbCopy();
  CheckBlockHeader(Block);
  bool Scratch = CheckWorkBuffer(Block.WorkBuffer) && ScratchInWorkBuffer;

  uint16_t Answer = NextAnswer(Block.Request);
  if (Block.Request == FP_REQUEST_FINGERPRINT && Answer == FP_ANSWER_SUCCESS) {
    Reply(Block);
    HostEcho = EchoByte;
    auto Load = Loads.find(Block.WorkBuffer);
    if (Load != Loads.end()) {
      Load->second.DeliveredState = StateByte;
    }
  } else if (Block.Request == FP_REQUEST_STORE_PASSWORD) {
    Store(Block, Answer);
  }
  if (Scratch && Answer != FP_ANSWER_BUSY &&
      (Record.Code == FP_REQUEST_FINGERPRINT || Record.Code == FP_REQUEST_STORE_PASSWORD)) {
    std::memcpy(Physical(Record.WorkBuffer), Record.Sent.data(), Record.Sent.size());
    std::memcpy(Physical(Record.WorkBuffer) + Record.Sent.size(), &Block, sizeof(Block));
  }

  // FarCall86 hands back the registers as the module left them: its answer in AX, and what
  // its code left in the others (flags with the always-set bit 1 and interrupts enabled, the
  // segment and scratch registers it used).
  Regs->E.EAX = Answer;
  Regs->E.ECX = 0x00000058;
  Regs->E.ESI = FP_REQUEST_BLOCK_OFFSET;
  Regs->E.EFlags = 0x00000202;
  Regs->X.ES = FP_REQUEST_BLOCK_SEGMENT;
  Record.Answer = Answer;
  std::memcpy(Record.Reply.data(), &Block, sizeof(Block));
  Record.Timeline =
      Owner.Note("module request " + std::to_string(Record.Code) + " -> " + Hex(Answer));
  RequestLog.push_back(Record);
}

} // namespace sim
