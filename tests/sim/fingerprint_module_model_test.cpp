// The model of the legacy fingerprint module behind Legacy BIOS FarCall86: a host that keeps
// the contract draws no problem; each way of breaking it draws exactly its problem; the answers
// (busy, failures, the enrolled finger's reply, stores that later runs deliver) are as set.
#include "board.h"
#include "fingerprint_module.h" // the host's side, as FingerprintAuthDxe states it
#include "guids.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace sim {
namespace {

uint8_t *Physical(uint64_t Address) {
  return reinterpret_cast<uint8_t *>(Address);
}

FP_REQUEST_BLOCK_LAYOUT &Block() {
  return *reinterpret_cast<FP_REQUEST_BLOCK_LAYOUT *>(Physical(FP_REQUEST_BLOCK));
}

std::string ProblemText(const Board &B) {
  std::string Text;
  for (const std::string &P : B.Problems) {
    Text += P + "\n";
  }
  return Text;
}

constexpr size_t kReaderEntry = 7;
constexpr uint8_t kReaderController = 2;

// A host that does everything the contract asks, step by step, so that a test can break one
// step at a time.
struct Host {
  Board &B;
  std::vector<uint8_t> Image;
  uint8_t *Work = nullptr;
  uint8_t Echo = 0;
  uint16_t Segment = FP_MODULE_SEGMENT;
  uint16_t Offset = FP_MODULE_ENTRY_OFFSET;
  VOID *Stack = nullptr;
  EFI_IA32_REGISTER_SET Regs{};

  explicit Host(Board &Board) : B(Board) {
    for (size_t I = 0; I < 700; I++) {
      Image.push_back((uint8_t)(I * 13 + 1));
    }
    B.FingerprintModule.SetExpectedImage(Image);
    B.Usb.PlaceDevice(3, 3, 0x046D, 0xC077); // a mouse
    B.Usb.PlaceReader(kReaderEntry, kReaderController);
  }

  uint64_t EntryOffset() const { return USB_DEVICE_TABLE + USB_DEVICE_ENTRY_SIZE * kReaderEntry; }
  uint64_t RecordOffset() const {
    return USB_CONTROLLER_TABLE + USB_CONTROLLER_RECORD_SIZE * (kReaderController - 1);
  }

  void Load() {
    std::memset(Physical(FP_WINDOW_BASE), 0, FP_WINDOW_SIZE);
    std::memcpy(Physical(FP_MODULE_IMAGE), Image.data(), Image.size());
    uint8_t *Live = B.Usb.Data();
    Live[USB_POLL_SETTING] = (uint8_t)USB_POLL_SETTING_VALUE;
    Live[USB_POLL_SETTING + 1] = (uint8_t)(USB_POLL_SETTING_VALUE >> 8);
    std::memcpy(Physical(FP_USB_DATA_COPY), Live, FP_USB_DATA_COPY_SIZE);
    Work = static_cast<uint8_t *>(B.AllocatePool(FP_WORK_BUFFER_SIZE, EfiBootServicesData));
    ASSERT_NE(Work, nullptr);
    std::memset(Work, 0, FP_WORK_BUFFER_SIZE);
    auto *D = reinterpret_cast<FP_READER_DESCRIPTOR_LAYOUT *>(Physical(FP_READER_DESCRIPTOR));
    D->LiveControllerRecord = B.Usb.Address() + RecordOffset();
    D->CopiedDeviceEntry = FP_USB_DATA_COPY + EntryOffset();
    D->CopiedControllerRecord = FP_USB_DATA_COPY + RecordOffset();
    D->VendorId = FP_READER_VENDOR_ID;
    D->ProductId = FP_READER_PRODUCT_ID;
    uint8_t *E = Physical(FP_USB_DATA_COPY + EntryOffset());
    E[USB_ENTRY_ADJUST_37] = 1;
    E[USB_ENTRY_ADJUST_38] = 2;
    E[USB_ENTRY_ADJUST_51] = 64;
    E[USB_ENTRY_ADJUST_51 + 1] = 0;
    E[USB_ENTRY_ADJUST_53] = 64;
    E[USB_ENTRY_ADJUST_53 + 1] = 0;
  }

  void Header(uint8_t Code) {
    FP_REQUEST_BLOCK_LAYOUT &Blk = Block();
    Blk.Signature = 2;
    Blk.Length = 88;
    Blk.Request = Code;
    Blk.Zero = 0;
    Blk.WorkBuffer = (uint32_t) reinterpret_cast<uint64_t>(Work);
    Blk.WorkBufferSize = 0x40000;
    Blk.Version = 1;
    Blk.Tag = 0x5553;
    Blk.Echo = Echo;
    Regs = {};
    Regs.X.BX = 0x1000;
    Regs.X.DS = 0x3000;
  }

  uint16_t Call() {
    EFI_LEGACY_BIOS_PROTOCOL *Bios = nullptr;
    EXPECT_EQ(B.BootServices.LocateProtocol(&EFI_LEGACY_BIOS_PROTOCOL_GUID, nullptr,
                                            reinterpret_cast<VOID **>(&Bios)),
              EFI_SUCCESS);
    BOOLEAN Carry = Bios->FarCall86(Bios, Segment, Offset, &Regs, Stack, Stack ? 64 : 0);
    EXPECT_EQ(Carry, FALSE);
    return Regs.X.AX;
  }

  uint16_t Send(uint8_t Code) {
    Header(Code);
    return Call();
  }
};

TEST(FingerprintModuleModel, HostKeepingTheContractDrawsNoProblem) {
  Board B;
  Host H(B);
  H.Load();
  EXPECT_EQ(H.Send(FP_REQUEST_OPEN), FP_ANSWER_SUCCESS);
  EXPECT_EQ(H.Send(FP_REQUEST_RESET_MAPPING), FP_ANSWER_SUCCESS);
  EXPECT_EQ(H.Send(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN), FP_ANSWER_SUCCESS);
  EXPECT_TRUE(B.Problems.empty()) << ProblemText(B);
  ASSERT_EQ(B.FingerprintModule.RequestCodes(), (std::vector<uint8_t>{5, 3, 4}));
  const ModuleRequestRecord &First = B.FingerprintModule.Requests()[0];
  EXPECT_EQ(First.Sent[4], 5);
  EXPECT_EQ(First.Answer, 0);
  EXPECT_EQ(First.WorkBuffer, (uint32_t) reinterpret_cast<uint64_t>(H.Work));
  EXPECT_EQ(B.Timeline[First.Timeline], "module request 5 -> 0x0");
  ASSERT_EQ(B.Csm.FarCalls().size(), 3u);
  EXPECT_EQ(B.Csm.FarCalls()[0].Segment, 0x4000);
  EXPECT_EQ(B.Csm.FarCalls()[0].Offset, 3);
}

TEST(FingerprintModuleModel, ModuleOfTheMostBytesTheWindowHoldsIsAccepted) {
  Board B;
  Host H(B);
  H.Image.assign(FP_MODULE_MAX_SIZE, 0x5A);
  B.FingerprintModule.SetExpectedImage(H.Image);
  H.Load();
  EXPECT_EQ(H.Send(FP_REQUEST_OPEN), FP_ANSWER_SUCCESS);
  EXPECT_TRUE(B.Problems.empty()) << ProblemText(B);
}

struct Breach {
  const char *Name;
  std::function<void(Host &)> Break; // applied after the load and the header
  const char *Problem;               // the one problem it must draw
};
void PrintTo(const Breach &Case, std::ostream *Out) {
  *Out << Case.Name;
}

class FingerprintModuleContract : public ::testing::TestWithParam<Breach> {};

TEST_P(FingerprintModuleContract, EachBreachDrawsItsProblem) {
  const Breach &Case = GetParam();
  Board B;
  Host H(B);
  H.Load();
  H.Header(FP_REQUEST_OPEN);
  Case.Break(H);
  H.Call();
  ASSERT_EQ(B.Problems.size(), 1u) << ProblemText(B);
  EXPECT_NE(B.Problems[0].find(Case.Problem), std::string::npos) << B.Problems[0];
  EXPECT_EQ(B.Problems[0].rfind("fingerprint module: ", 0), 0u);
}

uint8_t *CopiedEntry(Host &H) {
  return Physical(FP_USB_DATA_COPY + H.EntryOffset());
}
FP_READER_DESCRIPTOR_LAYOUT &Descriptor() {
  return *reinterpret_cast<FP_READER_DESCRIPTOR_LAYOUT *>(Physical(FP_READER_DESCRIPTOR));
}

INSTANTIATE_TEST_SUITE_P(
    Breaches, FingerprintModuleContract,
    ::testing::Values(
        Breach{"WrongEntry", [](Host &H) { H.Offset = 0; }, "not 4000:0003"},
        Breach{"WrongSegment", [](Host &H) { H.Segment = 0x4001; }, "not 4000:0003"},
        Breach{"OwnStack", [](Host &H) { H.Stack = &H; }, "with a stack"},
        Breach{"AxNotZero", [](Host &H) { H.Regs.X.AX = 0xFFFF; }, "AX is 0xFFFF on entry"},
        Breach{"WrongDs", [](Host &H) { H.Regs.X.DS = 0x3100; }, "DS:BX is 0x3100:0x1000"},
        Breach{"WrongBx", [](Host &H) { H.Regs.X.BX = 0; }, "DS:BX is 0x3000:0x0"},
        // Anything else in the register set reaches the real-mode module.
        Breach{"StrayEs", [](Host &H) { H.Regs.X.ES = 0x3000; }, "ES is 0x3000 on entry"},
        Breach{"DirectionFlag", [](Host &H) { H.Regs.X.Flags = 0x0400; },
               "EFlags is 0x400 on entry"},
        Breach{"HighHalfOfEax", [](Host &H) { H.Regs.E.EAX = 0x10000; },
               "EAX bits 31:16 is 0x1 on entry"},
        Breach{"ScratchInEsi", [](Host &H) { H.Regs.E.ESI = 0x1000; }, "ESI is 0x1000 on entry"},
        Breach{"ImageByte", [](Host &) { *Physical(FP_MODULE_IMAGE + 0x123) ^= 1; },
               "differs from the module section at offset 0x123"},
        Breach{"UnknownImage", [](Host &H) { H.B.FingerprintModule.ForgetExpectedImage(); },
               "knows no module section"},
        Breach{"ByteAfterImage", [](Host &) { *Physical(0x7FFFF) = 1; },
               "low memory at 0x7FFFF is not zero"},
        Breach{"ByteAfterDescriptor", [](Host &) { *Physical(0x30044) = 1; },
               "low memory at 0x30044 is not zero"},
        Breach{"ByteAfterBlock", [](Host &) { *Physical(0x31058) = 1; },
               "low memory at 0x31058 is not zero"},
        Breach{"ByteAfterCopy", [](Host &) { *Physical(FP_USB_DATA_COPY + 9359) = 1; },
               "low memory at 0x3448F is not zero"},
        Breach{"DescriptorReserved", [](Host &) { *Physical(0x30020) = 1; },
               "reader descriptor byte 0x20 is not zero"},
        Breach{"LiveRecord", [](Host &) { Descriptor().LiveControllerRecord -= 69; },
               "not the live controller record"},
        Breach{"CopiedEntry", [](Host &) { Descriptor().CopiedDeviceEntry += 137; },
               "not the copied device entry"},
        Breach{"CopiedRecord", [](Host &) { Descriptor().CopiedControllerRecord = 0x324A1; },
               "not the copied controller record"},
        Breach{"DescriptorIds", [](Host &) { Descriptor().ProductId = 0x2015; },
               "reader descriptor IDs"},
        Breach{"EntryNotAdjusted", [](Host &H) { CopiedEntry(H)[USB_ENTRY_ADJUST_53] = 8; },
               "an adjusted byte of the reader's entry"},
        Breach{"CopyByte", [](Host &) { *Physical(FP_USB_DATA_COPY + 0x500) ^= 0x40; },
               "USB copy at 0x32000 differs at offset 0x500"},
        Breach{"PollSettingNotWritten",
               [](Host &H) {
                 H.B.Usb.Data()[USB_POLL_SETTING] = 0xE8; // 1000, in the copy as well
                 H.B.Usb.Data()[USB_POLL_SETTING + 1] = 0x03;
                 std::memcpy(Physical(FP_USB_DATA_COPY + USB_POLL_SETTING),
                             H.B.Usb.Data() + USB_POLL_SETTING, 2);
               },
               "holds 1000 at 0x2113, not 5000"},
        Breach{"LiveEntryAdjusted",
               [](Host &H) {
                 uint8_t *Live = H.B.Usb.Data() + H.EntryOffset();
                 Live[USB_ENTRY_ADJUST_37] = 1;
               },
               "live USB data area changed at offset"},
        Breach{"NoReaderInTable",
               [](Host &H) {
                 H.B.Usb.ClearEntry(kReaderEntry);
                 std::memcpy(Physical(FP_USB_DATA_COPY), H.B.Usb.Data(), FP_USB_DATA_COPY_SIZE);
               },
               "holds no reader in entries 1..38"},
        Breach{"Signature", [](Host &) { Block().Signature = 1; }, "request block 0x00 is 0x1"},
        Breach{"Length", [](Host &) { Block().Length = 87; }, "0x57, not 88"},
        Breach{"ZeroField", [](Host &) { Block().Zero = 4; }, "request block 0x08 is 0x4"},
        Breach{"WorkSize", [](Host &) { Block().WorkBufferSize = 0x1000; }, "not 0x40000"},
        Breach{"Version", [](Host &) { Block().Version = 2; }, "request block 0x50 is 0x2"},
        Breach{"Tag", [](Host &) { Block().Tag = 0x5355; }, "0x5355, not 0x5553"},
        Breach{"Echo", [](Host &) { Block().Echo = 9; }, "(echo) is 0x9, not 0x0"},
        Breach{"RequestTwo", [](Host &) { Block().Request = 2; }, "request code 2 is not"},
        Breach{"WorkBufferFreed", [](Host &H) { H.B.FreePool(H.Work); }, "work buffer"},
        Breach{"WorkBufferTooSmall",
               [](Host &H) {
                 void *Small = H.B.AllocatePool(0x1000, EfiBootServicesData);
                 std::memset(Small, 0, 0x1000);
                 Block().WorkBuffer = (uint32_t) reinterpret_cast<uint64_t>(Small);
               },
               "is not 0x40000 bytes of a live pool or page block"},
        Breach{"WorkBufferInWindow", [](Host &) { Block().WorkBuffer = 0x40000; },
               "work buffer 0x40000 is not"},
        Breach{"WorkBufferNotZeroed", [](Host &H) { H.Work[0x3FFFF] = 1; },
               "was not zeroed (byte 0x3FFFF)"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(FingerprintModuleModel, WorkBufferOfPagesServes) {
  Board B;
  Host H(B);
  H.Load();
  EFI_PHYSICAL_ADDRESS Pages = 0xFFFFFFFF;
  ASSERT_EQ(B.BootServices.AllocatePages(AllocateMaxAddress, EfiBootServicesData, 0x40, &Pages),
            EFI_SUCCESS);
  std::memset(Physical(Pages), 0, FP_WORK_BUFFER_SIZE);
  H.Header(FP_REQUEST_OPEN);
  Block().WorkBuffer = (uint32_t)Pages;
  H.Call();
  EXPECT_TRUE(B.Problems.empty()) << ProblemText(B);
}

TEST(FingerprintModuleModel, BusyAnswersComeFirstThenTheRealAnswer) {
  Board B;
  Host H(B);
  B.FingerprintModule.AnswerBusy(FP_REQUEST_OPEN, 11);
  B.FingerprintModule.QueueAnswer(FP_REQUEST_RESET_MAPPING, 0x0007);
  B.FingerprintModule.SetAnswer(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN, 0x0009);
  H.Load();
  for (int I = 0; I < 11; I++) {
    EXPECT_EQ(H.Send(FP_REQUEST_OPEN), FP_ANSWER_BUSY) << I;
  }
  EXPECT_EQ(H.Send(FP_REQUEST_OPEN), FP_ANSWER_SUCCESS);
  EXPECT_EQ(H.Send(FP_REQUEST_RESET_MAPPING), 0x0007);
  EXPECT_EQ(H.Send(FP_REQUEST_RESET_MAPPING), FP_ANSWER_SUCCESS); // queue used up
  EXPECT_EQ(H.Send(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN), 0x0009);
  EXPECT_EQ(H.Send(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN), 0x0009); // fixed answer stays
  EXPECT_EQ(B.FingerprintModule.CountOf(FP_REQUEST_OPEN), 12u);
  EXPECT_TRUE(B.Problems.empty()) << ProblemText(B);
}

TEST(FingerprintModuleModel, NoAcceptedFingerAnswersNoMatchAndLeavesTheBlock) {
  for (bool Enrolled : {false, true}) {
    Board B;
    Host H(B);
    if (Enrolled) {
      B.FingerprintModule.EnrollFinger();
      B.FingerprintModule.FingerAccepted = false;
    }
    B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
    H.Load();
    EXPECT_EQ(H.Send(FP_REQUEST_FINGERPRINT), FingerprintModuleModel::kNoMatch);
    const ModuleRequestRecord &R = B.FingerprintModule.Requests().back();
    EXPECT_EQ(R.Sent, R.Reply);
    EXPECT_EQ(B.FingerprintModule.ExpectedEcho(), 0);
  }
}

TEST(FingerprintModuleModel, EnrolledFingerDeliversStateEchoMaskAndStoredSlots) {
  Board B;
  Host H(B);
  B.FingerprintModule.EnrollFinger(0x21, 0x6C);
  B.FingerprintModule.SetSlot(FP_SLOT_ADMIN, ModuleForm("admin"));
  B.FingerprintModule.SetSlot(FP_SLOT_DISK2, ModuleForm("disk two"));
  H.Load();
  std::memset(Block().UserPassword, 0x77, 12); // stale bytes in a slot the module does not hold
  EXPECT_EQ(H.Send(FP_REQUEST_FINGERPRINT), FP_ANSWER_SUCCESS);
  FP_REQUEST_BLOCK_LAYOUT &Blk = Block();
  EXPECT_EQ(Blk.State, 0x21);
  EXPECT_EQ(Blk.SlotMask, FP_SLOT_ADMIN | FP_SLOT_DISK2);
  EXPECT_EQ(Blk.Echo, 0x6C);
  PasswordForm Admin = ModuleForm("admin");
  PasswordForm Disk2 = ModuleForm("disk two");
  EXPECT_EQ(std::memcmp(Blk.AdminPassword, Admin.data(), 12), 0);
  EXPECT_EQ(std::memcmp(Blk.DiskPassword[1], Disk2.data(), 12), 0);
  const uint8_t Zero[12] = {};
  EXPECT_EQ(std::memcmp(Blk.UserPassword, Zero, 12), 0);
  EXPECT_EQ(std::memcmp(Blk.DiskPassword[0], Zero, 12), 0);

  // The host must send the echo byte from now on.
  EXPECT_EQ(B.FingerprintModule.ExpectedEcho(), 0x6C);
  H.Send(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN);
  ASSERT_EQ(B.Problems.size(), 1u) << ProblemText(B);
  EXPECT_NE(B.Problems[0].find("(echo) is 0x0, not 0x6C"), std::string::npos);
  H.Echo = 0x6C;
  H.Send(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN);
  EXPECT_EQ(B.Problems.size(), 1u) << ProblemText(B);

  // The module used the work buffer: the reply (with the passwords) is in it now.
  EXPECT_TRUE(B.MemoryContains(std::vector<uint8_t>(Admin.begin(), Admin.end())));
  std::memset(Physical(FP_WINDOW_BASE), 0, FP_WINDOW_SIZE);
  std::memset(H.Work, 0, FP_WORK_BUFFER_SIZE);
  EXPECT_FALSE(B.MemoryContains(std::vector<uint8_t>(Admin.begin(), Admin.end())));
}

TEST(FingerprintModuleModel, StoredSlotIsDeliveredByALaterRunAfterAReboot) {
  Board B;
  B.FingerprintModule.EnrollFinger(0x03, 0x11);
  {
    Host H(B);
    H.Load();
    H.Header(FP_REQUEST_STORE_PASSWORD);
    Block().State = 0xFF; // no request 0 answered in this load
    Block().SlotMask = FP_SLOT_DISK3;
    PasswordForm Disk3 = ModuleForm("third disk");
    std::memcpy(Block().DiskPassword[2], Disk3.data(), 12);
    EXPECT_EQ(H.Call(), FP_ANSWER_SUCCESS);
    ASSERT_EQ(B.FingerprintModule.Stores().size(), 1u);
    EXPECT_TRUE(B.FingerprintModule.Stores()[0].Stored);
    EXPECT_EQ(B.FingerprintModule.Stores()[0].Slot, FP_SLOT_DISK3);
    EXPECT_EQ(B.FingerprintModule.Stores()[0].Password, Disk3);
    EXPECT_TRUE(B.Problems.empty()) << ProblemText(B);
  }
  B.Reboot();
  EXPECT_TRUE(B.FingerprintModule.Requests().empty());
  Host H(B);
  H.Load();
  EXPECT_EQ(H.Send(FP_REQUEST_FINGERPRINT), FP_ANSWER_SUCCESS);
  EXPECT_EQ(Block().SlotMask, FP_SLOT_DISK3);
  PasswordForm Disk3 = ModuleForm("third disk");
  EXPECT_EQ(std::memcmp(Block().DiskPassword[2], Disk3.data(), 12), 0);
  EXPECT_TRUE(B.Problems.empty()) << ProblemText(B);
}

struct StoreCase {
  const char *Name;
  bool AfterFingerprint; // request 0 answered 0 in this load first
  uint8_t State;
  uint16_t Mask;
  uint16_t Answer;     // module's answer to the store
  const char *Problem; // nullptr: none
  bool Stored;
};
void PrintTo(const StoreCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

class FingerprintModuleStore : public ::testing::TestWithParam<StoreCase> {};

TEST_P(FingerprintModuleStore, ChecksTheStoreAndKeepsOnlyAcceptedSlots) {
  const StoreCase &Case = GetParam();
  Board B;
  Host H(B);
  B.FingerprintModule.EnrollFinger(0x42, 0x00);
  B.FingerprintModule.QueueAnswer(FP_REQUEST_STORE_PASSWORD, Case.Answer);
  H.Load();
  if (Case.AfterFingerprint) {
    ASSERT_EQ(H.Send(FP_REQUEST_FINGERPRINT), FP_ANSWER_SUCCESS);
  }
  H.Header(FP_REQUEST_STORE_PASSWORD);
  Block().State = Case.State;
  Block().SlotMask = Case.Mask;
  std::memset(Block().UserPassword, 0x31, 12);
  EXPECT_EQ(H.Call(), Case.Answer);
  if (Case.Problem == nullptr) {
    EXPECT_TRUE(B.Problems.empty()) << ProblemText(B);
  } else {
    ASSERT_EQ(B.Problems.size(), 1u) << ProblemText(B);
    EXPECT_NE(B.Problems[0].find(Case.Problem), std::string::npos) << B.Problems[0];
  }
  ASSERT_EQ(B.FingerprintModule.Stores().size(), 1u);
  EXPECT_EQ(B.FingerprintModule.Stores()[0].Stored, Case.Stored);
  EXPECT_EQ(B.FingerprintModule.Slot(FP_SLOT_USER).has_value(), Case.Stored);
}

INSTANTIATE_TEST_SUITE_P(
    Stores, FingerprintModuleStore,
    ::testing::Values(StoreCase{"BeforeFingerprint", false, 0xFF, FP_SLOT_USER, 0, nullptr, true},
                      StoreCase{"AfterFingerprint", true, 0x42, FP_SLOT_USER, 0, nullptr, true},
                      StoreCase{"StaleStateBeforeFingerprint", false, 0x42, FP_SLOT_USER, 0,
                                "state byte 0x42, not 0xFF", true},
                      StoreCase{"UnsetStateAfterFingerprint", true, 0xFF, FP_SLOT_USER, 0,
                                "state byte 0xFF, not 0x42", true},
                      StoreCase{"TwoSlotBits", false, 0xFF, FP_SLOT_USER | FP_SLOT_ADMIN, 0,
                                "not a single slot bit", false},
                      StoreCase{"Refused", false, 0xFF, FP_SLOT_USER, 0x0003, nullptr, false},
                      StoreCase{"Busy", false, 0xFF, FP_SLOT_USER, FP_ANSWER_BUSY, nullptr, false}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(FingerprintModuleModel, ScribblingModuleOverwritesTheBlockAfterAStore) {
  Board B;
  Host H(B);
  B.FingerprintModule.ScribbleOnStore = true;
  H.Load();
  H.Header(FP_REQUEST_STORE_PASSWORD);
  Block().State = 0xFF;
  Block().SlotMask = FP_SLOT_ADMIN;
  PasswordForm Admin = ModuleForm("adm");
  std::memcpy(Block().AdminPassword, Admin.data(), 12);
  RequestBlockBytes Before;
  std::memcpy(Before.data(), &Block(), Before.size());
  EXPECT_EQ(H.Call(), FP_ANSWER_SUCCESS);
  EXPECT_EQ(B.FingerprintModule.Slot(FP_SLOT_ADMIN), Admin);
  EXPECT_EQ(Block().SlotMask, 0xCCCC);
  EXPECT_EQ(Block().State, 0xCC);
  EXPECT_EQ(B.FingerprintModule.Requests().back().Sent, Before);
  EXPECT_NE(B.FingerprintModule.Requests().back().Reply, Before);
}

TEST(FingerprintModuleModel, ReloadedHostStartsWithEchoZeroAgain) {
  Board B;
  Host H(B);
  B.FingerprintModule.EnrollFinger(0x01, 0x33);
  H.Load();
  H.Send(FP_REQUEST_FINGERPRINT);
  EXPECT_EQ(B.FingerprintModule.ExpectedEcho(), 0x33);
  B.FingerprintModule.DriverLoaded();
  EXPECT_EQ(B.FingerprintModule.ExpectedEcho(), 0);
  B.FingerprintModule.FingerAccepted = false;
  H.Send(FP_REQUEST_FINGERPRINT);
  EXPECT_EQ(B.FingerprintModule.ExpectedEcho(), 0); // a failed request 0 delivers nothing
}

TEST(LegacyBios, OffersFarCall86OnlyAndCanBeTakenOff) {
  Board B;
  EFI_LEGACY_BIOS_PROTOCOL *Bios = nullptr;
  ASSERT_EQ(B.BootServices.LocateProtocol(&EFI_LEGACY_BIOS_PROTOCOL_GUID, nullptr,
                                          reinterpret_cast<VOID **>(&Bios)),
            EFI_SUCCESS);
  EFI_IA32_REGISTER_SET Regs{};
  Bios->Int86(Bios, 0x10, &Regs);
  Bios->ShadowAllLegacyOproms();
  ASSERT_EQ(B.Problems.size(), 2u);
  EXPECT_NE(B.Problems[0].find("Int86"), std::string::npos);
  EXPECT_NE(B.Problems[1].find("ShadowAllLegacyOproms"), std::string::npos);

  B.Csm.SetPresent(false);
  EXPECT_EQ(B.BootServices.LocateProtocol(&EFI_LEGACY_BIOS_PROTOCOL_GUID, nullptr,
                                          reinterpret_cast<VOID **>(&Bios)),
            EFI_NOT_FOUND);
  B.Reboot();
  EXPECT_TRUE(B.HandlesWith(EFI_LEGACY_BIOS_PROTOCOL_GUID).empty());
  B.Csm.SetPresent(true);
  EXPECT_EQ(B.HandlesWith(EFI_LEGACY_BIOS_PROTOCOL_GUID).size(), 1u);
}

} // namespace
} // namespace sim
