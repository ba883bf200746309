// FingerprintAuthDxe's side of the legacy module and the display hand-over, from its image on
// the board: how often each request is repeated while the module is busy, whose slot mask the
// driver keeps, the request block after a store, which USB entries are scanned, when a
// "VELTRASetup" field counts as a password, and which PCI handle is the display controller.
#include "fingerprint_board.h"

#include <functional>
#include <optional>

namespace sim::test {
namespace {

// The password prompts a run showed, in order ("User", "Administrator").
std::vector<std::string> PromptsShown(const Notebook &N) {
  std::vector<std::string> Prompts;
  for (const ConsoleCall &Call : N.B.Console.Calls()) {
    if (Call.Name != "OutputString") {
      continue;
    }
    if (Call.Text == u" missing User Password.\n\r") {
      Prompts.push_back("User");
    } else if (Call.Text == u" missing Administrator Password.\n\r") {
      Prompts.push_back("Administrator");
    }
  }
  return Prompts;
}

// ---- busy answers -------------------------------------------------------------------------
// A system-password run whose user password the caller answers: request 0, one store (request
// 1) and the closing request 4. The module answers busy a number of times to one code; the
// driver repeats that request at once, up to its attempt count, and takes the last answer.
struct RetryCase {
  const char *Name;
  uint8_t Code;
  unsigned Busy;   // busy answers queued for the code
  size_t Sent;     // requests of that code the run sent
  bool RunGoesOn;  // the run got past request 0 and verified the caller's password
  bool UserStored; // the module keeps the stored user password
};

class BusyModule : public ::testing::TestWithParam<RetryCase> {};

TEST_P(BusyModule, EachRequestIsRepeatedUpToItsOwnCount) {
  const RetryCase &Case = GetParam();
  Notebook N;
  N.SetPasswords("user", "");
  N.Engine.Answers.AnswerFlag = 1;
  N.Engine.Answers.User = SetupForm("user");
  N.B.FingerprintModule.AnswerBusy(Case.Code, Case.Busy);
  AuthRun R = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(N.B.FingerprintModule.CountOf(Case.Code), Case.Sent);
  if (Case.RunGoesOn) {
    EXPECT_EQ(R.Status, EFI_SUCCESS);
    EXPECT_EQ(R.AuthFlags & AUTH_USER_VERIFIED, AUTH_USER_VERIFIED);
    EXPECT_EQ(N.RequestCodes().back(), FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN);
  } else {
    EXPECT_EQ(R.Status, EFI_ABORTED);
    EXPECT_EQ(R.AuthFlags, AUTH_SYSTEM_PASSWORD_RUN | AUTH_CONSOLE_RESTORED);
    EXPECT_EQ(N.B.FingerprintModule.CountOf(FP_REQUEST_STORE_PASSWORD), 0u);
  }
  EXPECT_EQ(N.B.FingerprintModule.Slot(FP_SLOT_USER).has_value(), Case.UserStored);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BusyModule,
    ::testing::Values(
        RetryCase{"FingerprintAnsweredOnTheEleventhAttempt", FP_REQUEST_FINGERPRINT, 10, 11, true,
                  true},
        RetryCase{"FingerprintBusyElevenTimesEndsTheRun", FP_REQUEST_FINGERPRINT, 11, 11, false,
                  false},
        RetryCase{"StoreAnsweredOnTheFifthAttempt", FP_REQUEST_STORE_PASSWORD, 4, 5, true, true},
        RetryCase{"StoreBusyFiveTimesIsGivenUp", FP_REQUEST_STORE_PASSWORD, 5, 5, true, false},
        RetryCase{"EndOfRunIsSentOnce", FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN, 3, 1, true, true}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(BusyModuleAtTheHalt, TheClosingRequestBeforeAHaltIsSentOnce) {
  Notebook N;
  N.SetPasswords("user", "");
  N.B.FingerprintModule.AnswerBusy(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN, 3);
  N.B.Console.QueueText(u"a\rb\rc\r");
  AuthRun R = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
  ASSERT_EQ(R.How, AuthOutcome::Halted) << R.Message;
  EXPECT_EQ(N.B.FingerprintModule.CountOf(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN), 1u);
}

// ---- the task priority level ---------------------------------------------------------------
// A loaded module runs at TPL_APPLICATION, whatever level the caller called at: the password
// prompts wait for keys there. The run returns at the caller's level, and a run whose load
// failed changes nothing.
TEST(ModuleLoad, LowersTheCallersPriorityToApplication) {
  struct Case {
    const char *Name;
    bool Reader;
    EFI_TPL After;
  };
  for (const Case &C : {Case{"loaded", true, 8}, Case{"no reader", false, 8}}) {
    SCOPED_TRACE(C.Name);
    Notebook N(C.Reader ? 5 : 0);
    N.Engine.CallTpl = 8; // TPL_CALLBACK
    N.SetPasswords("user", "");
    N.B.Console.QueueText(u"user\r");
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R); // a wait for a key above TPL_APPLICATION is a board problem
    EXPECT_EQ(R.TplAfter, C.After);
    EXPECT_EQ(R.Status, C.Reader ? EFI_SUCCESS : EFI_ABORTED);
    EXPECT_EQ(N.B.Console.PendingKeys().empty(), C.Reader);
  }
}

// ---- the slot mask ----------------------------------------------------------------------------
// What the hard-disk prompt learns tells which module slots the driver believes the module
// holds: a typed drive password that a held slot carries is only remembered in the map (entry
// byte +2 administrator, +3 user); one that no held slot carries goes into hard-disk slot 1
// (entry byte +4). The notebook has a user password, no administrator password, no caller
// answer and one locked drive; the user types "user" at the user prompt when it comes (that
// stores the user slot) and then the drive's password.
struct MaskCase {
  const char *Name;
  std::vector<std::pair<uint16_t, std::string>> Held; // slots the module holds
  std::optional<uint16_t> ReplyMask;                  // word 0x06 of the reply, if not Held's
  std::string DrivePassword;
  std::vector<std::string> Prompts;
  std::vector<uint16_t> Stores; // slot bits of the store requests, in order
  int EntryByte;                // the drive's map byte set by the prompt
};

class SlotMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(SlotMask, IsTheReplysWordAndGainsEveryStoredSlot) {
  const MaskCase &Case = GetParam();
  Notebook N;
  N.SetPasswords("user", "");
  for (const auto &[Bit, Text] : Case.Held) {
    N.B.FingerprintModule.SetSlot(Bit, ModuleForm(Text));
  }
  N.B.FingerprintModule.ReplySlotMask = Case.ReplyMask;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm(Case.DrivePassword));
  if (!Case.Prompts.empty()) {
    N.B.Console.QueueText(u"user\r");
  }
  N.B.Console.QueueText(Widen(Case.DrivePassword) + u"\r");
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_FALSE(D.Locked);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "keys left unread";
  EXPECT_EQ(PromptsShown(N), Case.Prompts);
  std::vector<uint16_t> Stores;
  for (const ModuleStoreRecord &S : N.B.FingerprintModule.Stores()) {
    Stores.push_back(S.Slot);
  }
  EXPECT_EQ(Stores, Case.Stores);
  std::vector<uint8_t> Map = N.Variable(u"FpHdp2HdpMapFlag");
  ASSERT_EQ(Map.size(), 50u);
  for (int Byte = 2; Byte <= 7; Byte++) {
    EXPECT_EQ(Map[2 + Byte], Byte == Case.EntryByte ? 1 : 0) << "entry byte +" << Byte;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Mask, SlotMask,
    ::testing::Values(
        // The user password typed at the prompt was stored: the module holds it now.
        MaskCase{"AStoreAddsItsSlotBit", {}, std::nullopt, "user", {"User"}, {FP_SLOT_USER}, 3},
        // The delivered administrator slot stays known after the user slot was stored.
        MaskCase{"AStoreKeepsTheDeliveredBits",
                 {{FP_SLOT_ADMIN, "shared"}},
                 std::nullopt,
                 "shared",
                 {"User"},
                 {FP_SLOT_USER},
                 2},
        // The reply names no slot: the right user password in its field is not used (the user
        // is asked) and the administrator field's bytes are not taken for a held password.
        MaskCase{"TheReplysMaskDecidesNotTheSlotBytes",
                 {{FP_SLOT_USER, "user"}, {FP_SLOT_ADMIN, "shared"}},
                 0,
                 "shared",
                 {"User"},
                 {FP_SLOT_USER, FP_SLOT_DISK1},
                 4},
        // The reply's mask alone makes a slot held: the user password it names verifies the
        // user without a prompt.
        MaskCase{"ADeliveredSlotNeedsNoPrompt",
                 {{FP_SLOT_USER, "user"}},
                 std::nullopt,
                 "user",
                 {},
                 {},
                 3}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- the request block after a store ------------------------------------------------------
// Whatever the module writes into the block while it stores a password, the driver puts back the
// block it sent: the next request carries the same state byte, slot mask and password fields.
TEST(StoreRequest, TheBlockAfterAStoreIsTheBlockItSent) {
  Notebook N;
  N.SetPasswords("user", "admin");
  N.Engine.Answers.AnswerFlag = 1;
  N.Engine.Answers.User = SetupForm("user");
  N.Engine.Answers.Administrator = SetupForm("admin");
  N.B.FingerprintModule.ScribbleOnStore = true;
  AuthRun R = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.AuthFlags & (AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED),
            AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED);
  const std::vector<ModuleRequestRecord> &Requests = N.B.FingerprintModule.Requests();
  ASSERT_EQ(
      N.RequestCodes(),
      (std::vector<uint8_t>{FP_REQUEST_OPEN, FP_REQUEST_FINGERPRINT, FP_REQUEST_STORE_PASSWORD,
                            FP_REQUEST_STORE_PASSWORD, FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN}));
  // The bytes that SendModuleRequest does not rewrite, and those the user store writes.
  auto NotHeader = [](size_t Offset) {
    return (Offset >= 0x05 && Offset < 0x08) || (Offset >= 0x14 && Offset < 0x50) || Offset >= 0x55;
  };
  auto WrittenForUser = [](size_t Offset) {
    return (Offset >= 0x06 && Offset < 0x08) || (Offset >= 0x14 && Offset < 0x20);
  };
  // The model did write into the block while it stored.
  EXPECT_NE(Requests[2].Reply, Requests[2].Sent);
  for (size_t Offset = 0; Offset < Requests[2].Sent.size(); Offset++) {
    if (!NotHeader(Offset)) {
      continue;
    }
    SCOPED_TRACE(Offset);
    if (!WrittenForUser(Offset)) {
      EXPECT_EQ(Requests[3].Sent[Offset], Requests[2].Sent[Offset]);
    }
    EXPECT_EQ(Requests[4].Sent[Offset], Requests[3].Sent[Offset]);
  }
}

// ---- the reader's entry -------------------------------------------------------------------
TEST(ReaderScan, EntryZeroOfTheDeviceTableIsNeverScanned) {
  struct Case {
    const char *Name;
    std::vector<size_t> Readers;
    bool RunGoesOn;
  };
  for (const Case &C :
       {Case{"only at entry 0", {0}, false}, Case{"at entries 0 and 5", {0, 5}, true}}) {
    SCOPED_TRACE(C.Name);
    Notebook N(0);
    for (size_t Entry : C.Readers) {
      N.B.Usb.PlaceReader(Entry);
    }
    N.SetPasswords("user", "");
    N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R);
    EXPECT_EQ(R.Status, C.RunGoesOn ? EFI_SUCCESS : EFI_ABORTED);
    EXPECT_EQ(R.ControlFlags, C.RunGoesOn ? CONTROL_READER_FOUND : 0u);
    EXPECT_EQ(N.RequestCodes().empty(), !C.RunGoesOn);
    EXPECT_TRUE(N.WritesOf(u"Fp1820ErrorFlag").empty());
  }
}

// ---- a password field counts as set when any of its 128 bytes is non-zero -------------------
struct FieldCase {
  const char *Name;
  size_t Byte; // the one non-zero byte of "VELTRASetup"
  std::vector<std::string> Prompts;
};

class PasswordField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(PasswordField, IsSetByAnyOfItsBytes) {
  const FieldCase &Case = GetParam();
  Notebook N;
  std::vector<uint8_t> Store(VELTRA_SETUP_SIZE, 0);
  Store[Case.Byte] = 0x5A;
  N.B.Variables.Put(u"VELTRASetup", VELTRASETUP_GUID, EFI_VARIABLE_NV_BS_RT, Store);
  N.B.Console.QueueText(u"\r\r"); // Enter alone at every prompt
  N.B.Console.QueueNamed("ESC");  // ends the notice shown when no password is set
  AuthRun R = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(PromptsShown(N), Case.Prompts);
  bool NoticeShown = N.AnyScreenContains(R, "Fingerprint Authentication");
  EXPECT_EQ(NoticeShown, Case.Prompts.empty());
  EXPECT_EQ(R.Status, Case.Prompts.empty() ? EFI_ABORTED : EFI_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, PasswordField,
    ::testing::Values(FieldCase{"UserFirstByte", 0, {"User"}},
                      FieldCase{"UserByteBeyondTheComparedForm", 12, {"User"}},
                      FieldCase{"UserLastByte", 127, {"User"}},
                      FieldCase{"AdministratorFirstByte", 128, {"Administrator"}},
                      FieldCase{"AdministratorLastByte", 255, {"Administrator"}},
                      FieldCase{"TheByteAfterBothFieldsIsNoPassword", 256, {}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- the display controller ----------------------------------------------------------------
struct PciSpec {
  std::string Label;
  uint8_t BaseClass, SubClass = 0, Interface = 0, Revision = 0;
  bool ReadFails = false;
};

struct DisplayCase {
  const char *Name;
  std::vector<PciSpec> Devices;  // in handle order
  std::vector<std::string> Read; // devices whose class register was read, in order
  std::string Display;           // the device handed over around request 0 ("" none)
};

class DisplayController : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayController, IsTheFirstDisplayClassHandleUnlessAReadFails) {
  const DisplayCase &Case = GetParam();
  Notebook N(5, false, false);
  PciDevice *HostBridge = N.B.Pci.Find("host bridge");
  ASSERT_NE(HostBridge, nullptr);
  for (const PciSpec &Spec : Case.Devices) {
    PciDevice &D =
        N.B.Pci.Add(Spec.Label, Spec.BaseClass, Spec.SubClass, Spec.Interface, Spec.Revision);
    if (Spec.ReadFails) {
      D.ReadStatus = EFI_DEVICE_ERROR;
    }
  }
  N.Load();
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  std::vector<std::string> Read;
  for (const auto &Device : N.B.Pci.Devices()) {
    for (const PciConfigRead &Access : Device->Reads) {
      EXPECT_EQ(Access.Width, EfiPciIoWidthUint32) << Device->Label;
      EXPECT_EQ(Access.Offset, 8u) << Device->Label;
      EXPECT_EQ(Access.Count, 1u) << Device->Label;
    }
    if (!Device->Reads.empty()) {
      Read.push_back(Device->Label);
    }
  }
  std::vector<std::string> Expected = {"host bridge"};
  Expected.insert(Expected.end(), Case.Read.begin(), Case.Read.end());
  EXPECT_EQ(Read, Expected);
  std::vector<std::string> Calls;
  if (!Case.Display.empty()) {
    Calls = {"disconnect " + Case.Display, "connect " + Case.Display + " recursive"};
  }
  EXPECT_EQ(N.B.ControllerCalls, Calls);
}

INSTANTIATE_TEST_SUITE_P(
    Search, DisplayController,
    ::testing::Values(DisplayCase{"TheFirstOfTwoDisplays",
                                  {{"first display", 0x03}, {"second display", 0x03}},
                                  {"first display"},
                                  "first display"},
                      // Only the base class (the register's top byte) counts: 0x03 in the
                      // sub-class, interface and revision bytes makes no display controller.
                      DisplayCase{"TheBaseClassIsTheTopByte",
                                  {{"bridge", 0x06, 0x03, 0x03, 0x03}, {"display", 0x03}},
                                  {"bridge", "display"},
                                  "display"},
                      DisplayCase{"AFailedClassReadEndsTheSearch",
                                  {{"broken", 0x02, 0, 0, 0, true}, {"display", 0x03}},
                                  {"broken"},
                                  ""},
                      DisplayCase{"DevicesAfterTheDisplayAreNotRead",
                                  {{"display", 0x03}, {"broken", 0x02, 0, 0, 0, true}},
                                  {"display"},
                                  "display"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test
