#include "fingerprint_module_model.h"

#include "boot_services.h"
#include "physical_memory.h"
#include "usb_stack.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

namespace Module = module_interface;
namespace UsbArea = usb_data_area;

static_assert(sizeof(PasswordForm) == Module::PasswordSlotLength);

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

bool KnownCode(uint8_t Code) {
  return Code == Module::RequestFingerprint || Code == Module::RequestStorePassword ||
         Code == Module::RequestResetMapping || Code == Module::RequestEndOfSystemPasswordRun ||
         Code == Module::RequestOpen;
}

uint8_t *SlotField(Module::RequestBlockLayout &Block, int Index) {
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
    Queued[Code].push_back(Module::AnswerBusy);
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
  if (Code == Module::RequestFingerprint) {
    return FingerEnrolled && FingerAccepted ? Module::AnswerSuccess : kNoMatch;
  }
  return Module::AnswerSuccess;
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
  } else if (Image.size() > Module::ModuleMaxSize) {
    Check(false, "called with a module of " + std::to_string(Image.size()) +
                     " bytes, more than fits at 0x40000");
    ImageLength = Module::ModuleMaxSize;
  } else {
    ImageLength = Image.size();
    const uint8_t *Placed = Physical(Module::ModuleImage);
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
      {Module::ReaderDescriptor + Module::ReaderDescriptorUsed, Module::RequestBlock},
      {Module::RequestBlock + sizeof(Module::RequestBlockLayout), Module::UsbCopy},
      {Module::UsbCopy + Module::UsbCopyLength, Module::ModuleImage},
      // Without a known image nothing can be said about what follows it.
      {ExpectedImageKnown ? Module::ModuleImage + ImageLength
                          : Module::WindowBase + Module::WindowSize,
       Module::WindowBase + Module::WindowSize},
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
    if (*Physical(Module::ReaderDescriptor + I) != 0) {
      Check(false, "reader descriptor byte " + Hex(I) + " is not zero");
      break;
    }
  }
}

void FingerprintModuleModel::CheckUsbCopy() {
  const uint8_t *Live = Usb.Data();
  // The reader the host had to find: the last match of entries 1 to 38.
  size_t Reader = 0;
  for (size_t Index = UsbArea::FirstScannedEntry; Index <= UsbArea::LastScannedEntry; Index++) {
    const uint8_t *E = Live + UsbArea::DeviceTable + UsbArea::DeviceEntrySize * Index;
    if (E[UsbArea::EntryDeviceType] == UsbArea::ReaderDeviceType &&
        Read16(E + UsbArea::EntryVendorId) == UsbArea::ReaderVendorId &&
        Read16(E + UsbArea::EntryProductId) == UsbArea::ReaderProductId) {
      Reader = Index;
    }
  }
  Check(Reader != 0, "called although the USB device table holds no reader in entries 1..38");
  Check(Usb.PollSetting() == UsbArea::PollSettingValue,
        "live USB data area holds " + std::to_string(Usb.PollSetting()) + " at 0x2113, not 5000");
  std::vector<size_t> Foreign = Usb.ForeignChanges();
  Check(Foreign.empty(), Foreign.empty() ? ""
                                         : "live USB data area changed at offset " +
                                               Hex(Foreign.front()) + " (only 0x2113 may change)");

  const size_t EntryOffset = UsbArea::DeviceTable + UsbArea::DeviceEntrySize * Reader;
  auto Adjusted = [&](size_t Offset, uint8_t &Want) {
    if (Reader == 0 || Offset < EntryOffset || Offset >= EntryOffset + UsbArea::DeviceEntrySize) {
      return false;
    }
    switch (Offset - EntryOffset) {
    case UsbArea::EntryAdjust37:
      Want = UsbArea::Adjusted37;
      return true;
    case UsbArea::EntryAdjust38:
      Want = UsbArea::Adjusted38;
      return true;
    case UsbArea::EntryAdjust51:
      Want = (uint8_t)UsbArea::Adjusted51;
      return true;
    case UsbArea::EntryAdjust51 + 1:
      Want = (uint8_t)(UsbArea::Adjusted51 >> 8);
      return true;
    case UsbArea::EntryAdjust53:
      Want = (uint8_t)UsbArea::Adjusted53;
      return true;
    case UsbArea::EntryAdjust53 + 1:
      Want = (uint8_t)(UsbArea::Adjusted53 >> 8);
      return true;
    default:
      return false;
    }
  };
  const uint8_t *Copy = Physical(Module::UsbCopy);
  for (size_t I = 0; I < Module::UsbCopyLength; I++) {
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
  const size_t Controller = Entry[UsbArea::EntryController];
  const uint64_t RecordOffset =
      UsbArea::ControllerTable + UsbArea::ControllerRecordSize * (Controller - 1);
  const auto *D =
      reinterpret_cast<const Module::ReaderDescriptorLayout *>(Physical(Module::ReaderDescriptor));
  Check(D->LiveControllerRecord == Usb.Address() + RecordOffset,
        "reader descriptor 0x00 holds " + Hex(D->LiveControllerRecord) +
            ", not the live controller record " + Hex(Usb.Address() + RecordOffset));
  Check(D->CopiedDeviceEntry == Module::UsbCopy + EntryOffset,
        "reader descriptor 0x08 holds " + Hex(D->CopiedDeviceEntry) +
            ", not the copied device entry " + Hex(Module::UsbCopy + EntryOffset));
  Check(D->CopiedControllerRecord == Module::UsbCopy + RecordOffset,
        "reader descriptor 0x38 holds " + Hex(D->CopiedControllerRecord) +
            ", not the copied controller record " + Hex(Module::UsbCopy + RecordOffset));
  Check(D->VendorId == UsbArea::ReaderVendorId && D->ProductId == UsbArea::ReaderProductId,
        "reader descriptor IDs are " + Hex(D->VendorId) + ":" + Hex(D->ProductId));
}

void FingerprintModuleModel::CheckBlockHeader(const Module::RequestBlockLayout &Block) {
  Check(Block.Signature == Module::BlockSignature, "request block 0x00 is " + Hex(Block.Signature));
  Check(Block.Length == Module::RequestBlockLength,
        "request block 0x02 is " + Hex(Block.Length) + ", not 88");
  Check(KnownCode(Block.Request),
        "request code " + std::to_string(Block.Request) + " is not one the host sends");
  Check(Block.Zero == 0, "request block 0x08 is " + Hex(Block.Zero) + ", not 0");
  Check(Block.WorkBufferSize == Module::WorkBufferSize,
        "request block 0x10 is " + Hex(Block.WorkBufferSize) + ", not 0x40000");
  Check(Block.Version == Module::BlockVersion, "request block 0x50 is " + Hex(Block.Version));
  Check(Block.Tag == Module::BlockTag, "request block 0x52 is " + Hex(Block.Tag) + ", not 0x5553");
  Check(Block.Echo == HostEcho,
        "request block 0x54 (echo) is " + Hex(Block.Echo) + ", not " + Hex(HostEcho));
}

bool FingerprintModuleModel::CheckWorkBuffer(uint32_t Address) {
  const uint64_t Start = Address;
  const uint64_t End = Start + Module::WorkBufferSize;
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
  bool InWindow = Start < Module::WindowBase + Module::WindowSize && End > Module::WindowBase;
  Check(Live && !InWindow,
        "work buffer " + Hex(Address) +
            " is not 0x40000 bytes of a live pool or page block outside the window");
  if (!Live || InWindow) {
    return false;
  }
  if (Loads.find(Address) == Loads.end()) {
    Loads[Address] = HostLoad{};
    const uint8_t *Buffer = Physical(Start);
    for (size_t I = 0; I < Module::WorkBufferSize; I++) {
      if (Buffer[I] != 0) {
        Check(false, "work buffer " + Hex(Address) + " was not zeroed (byte " + Hex(I) + ")");
        break;
      }
    }
  }
  return true;
}

// ---- a call -----------------------------------------------------------------------------------
void FingerprintModuleModel::Reply(Module::RequestBlockLayout &Block) {
  Block.State = StateByte;
  Block.SlotMask = ReplySlotMask.value_or(SlotMask());
  for (int Index = 0; Index < 5; Index++) {
    uint8_t *Field = SlotField(Block, Index);
    if (Slots[Index]) {
      std::memcpy(Field, Slots[Index]->data(), Module::PasswordSlotLength);
    } else {
      std::memset(Field, 0, Module::PasswordSlotLength);
    }
  }
  Block.Echo = EchoByte;
}

void FingerprintModuleModel::Store(Module::RequestBlockLayout &Block, uint16_t Answer) {
  ModuleStoreRecord Record;
  Record.Slot = Block.SlotMask;
  Record.StateByte = Block.State;
  Record.Answer = Answer;
  int Index = SlotIndex(Block.SlotMask);
  Check(Index >= 0 && (Block.SlotMask & ~Module::SlotBits) == 0,
        "store request names slot mask " + Hex(Block.SlotMask) + ", not a single slot bit");
  auto Load = Loads.find(Block.WorkBuffer);
  if (Load != Loads.end()) {
    uint8_t Want = Load->second.DeliveredState.value_or(0xFF);
    Check(Block.State == Want,
          "store request carries state byte " + Hex(Block.State) + ", not " + Hex(Want));
  }
  if (Index >= 0) {
    std::memcpy(Record.Password.data(), SlotField(Block, Index), Module::PasswordSlotLength);
    if (Answer == Module::AnswerSuccess) {
      Slots[Index] = Record.Password;
      Record.Stored = true;
    }
  }
  StoreLog.push_back(Record);
  if (ScribbleOnStore && Answer != Module::AnswerBusy) {
    auto *Bytes = reinterpret_cast<uint8_t *>(&Block);
    std::memset(Bytes + offsetof(Module::RequestBlockLayout, State), 0xCC,
                offsetof(Module::RequestBlockLayout, Version) -
                    offsetof(Module::RequestBlockLayout, State));
  }
}

void FingerprintModuleModel::FarCall(uint16_t Segment, uint16_t Offset, EFI_IA32_REGISTER_SET *Regs,
                                     VOID *Stack, UINTN StackSize) {
  Check(Segment == Module::EntrySegment && Offset == Module::EntryOffset,
        "FarCall86 to " + Hex(Segment) + ":" + Hex(Offset) + ", not 4000:0003");
  Check(Stack == nullptr && StackSize == 0, "FarCall86 with a stack (the module uses its own)");
  if (Regs == nullptr) {
    Check(false, "FarCall86 without a register set");
    return;
  }
  Check(Regs->X.AX == 0, "AX is " + Hex(Regs->X.AX) + " on entry, not 0");
  Check(Regs->X.DS == Module::BlockSegment && Regs->X.BX == Module::BlockOffset,
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

  auto &Block = *reinterpret_cast<Module::RequestBlockLayout *>(Physical(Module::RequestBlock));
  ModuleRequestRecord Record;
  Record.Code = Block.Request;
  Record.WorkBuffer = Block.WorkBuffer;
  std::memcpy(Record.Sent.data(), &Block, sizeof(Block));

  CheckWindow();
  CheckUsbCopy();
  CheckBlockHeader(Block);
  bool Scratch = CheckWorkBuffer(Block.WorkBuffer) && ScratchInWorkBuffer;

  uint16_t Answer = NextAnswer(Block.Request);
  if (Block.Request == Module::RequestFingerprint && Answer == Module::AnswerSuccess) {
    Reply(Block);
    HostEcho = EchoByte;
    auto Load = Loads.find(Block.WorkBuffer);
    if (Load != Loads.end()) {
      Load->second.DeliveredState = StateByte;
    }
  } else if (Block.Request == Module::RequestStorePassword) {
    Store(Block, Answer);
  }
  if (Scratch && Answer != Module::AnswerBusy &&
      (Record.Code == Module::RequestFingerprint || Record.Code == Module::RequestStorePassword)) {
    std::memcpy(Physical(Record.WorkBuffer), Record.Sent.data(), Record.Sent.size());
    std::memcpy(Physical(Record.WorkBuffer) + Record.Sent.size(), &Block, sizeof(Block));
  }

  // FarCall86 hands back the registers as the module left them: its answer in AX, and what
  // its code left in the others (flags with the always-set bit 1 and interrupts enabled, the
  // segment and scratch registers it used).
  Regs->E.EAX = Answer;
  Regs->E.ECX = 0x00000058;
  Regs->E.ESI = Module::BlockOffset;
  Regs->E.EFlags = 0x00000202;
  Regs->X.ES = Module::BlockSegment;
  Record.Answer = Answer;
  std::memcpy(Record.Reply.data(), &Block, sizeof(Block));
  Record.Timeline =
      Owner.Note("module request " + std::to_string(Record.Code) + " -> " + Hex(Answer));
  RequestLog.push_back(Record);
}

} // namespace sim
