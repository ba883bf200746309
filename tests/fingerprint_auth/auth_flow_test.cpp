// FingerprintAuthDxe's authentication run, from its image on the board: early ends, the
// "UPEKFLAG" rules and the gate, the fingerprint request with the display hand-over.
#include "fingerprint_board.h"

#include <functional>

namespace sim::test {
namespace {

TEST(FingerprintAuthEntry, InstallsTheProtocolOnANewHandleAndNothingElse) {
  Notebook N;
  std::vector<EFI_HANDLE> Handles = N.B.HandlesWith(FINGERPRINT_AUTH_PROTOCOL_GUID);
  ASSERT_EQ(Handles.size(), 1u);
  EXPECT_EQ(N.B.Record(Handles[0])->Protocols.size(), 1u);
  EXPECT_TRUE(N.RequestCodes().empty());
  EXPECT_TRUE(N.B.Variables.Calls().empty());
  EXPECT_TRUE(N.B.Problems.empty());
}

// ---- runs that end early -----------------------------------------------------------------------
struct EarlyEnd {
  const char *Name;
  std::function<void(Notebook &)> Arrange;
  uint32_t ControlIn;
  std::vector<uint8_t> Requests; // module requests of the run, in order
  uint32_t ControlOut;
  uint32_t AuthOut = 0;
};

class EarlyEnds : public ::testing::TestWithParam<EarlyEnd> {};

TEST_P(EarlyEnds, AbortWithTheWindowRestored) {
  const EarlyEnd &Case = GetParam();
  Notebook N;
  N.SetPasswords("user", "admin");
  Case.Arrange(N);
  AuthRun R = N.Run(0, Case.ControlIn);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_ABORTED);
  EXPECT_EQ(N.RequestCodes(), Case.Requests);
  EXPECT_EQ(R.ControlFlags, Case.ControlOut);
  EXPECT_EQ(R.AuthFlags, Case.AuthOut);
  EXPECT_TRUE(N.WritesOf(u"SysPwdInvalidError").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Run, EarlyEnds,
    ::testing::Values(
        EarlyEnd{"NoReader", [](Notebook &N) { N.B.Usb.ClearEntry(5); }, 0, {}, 0},
        EarlyEnd{"ReaderAtEntry39IsNotScanned",
                 [](Notebook &N) {
                   N.B.Usb.ClearEntry(5);
                   N.B.Usb.PlaceReader(39);
                 },
                 0,
                 {},
                 0},
        EarlyEnd{"ReaderWithAnotherDeviceType",
                 [](Notebook &N) {
                   N.B.Usb.ClearEntry(5);
                   N.B.Usb.PlaceDevice(5, 3, FP_READER_VENDOR_ID, FP_READER_PRODUCT_ID);
                 },
                 0,
                 {},
                 0},
        EarlyEnd{"NoUsbStack", [](Notebook &N) { N.B.Usb.SetPresent(false); }, 0, {}, 0},
        EarlyEnd{"NoLegacyBios",
                 [](Notebook &N) { N.B.Csm.SetPresent(false); },
                 0,
                 {},
                 CONTROL_READER_FOUND},
        EarlyEnd{
            "TwoReaders", [](Notebook &N) { N.B.Usb.PlaceReader(9); }, 0, {}, CONTROL_READER_FOUND},
        EarlyEnd{"CallerSaysStop",
                 [](Notebook &N) { N.Engine.Answers.Stop = 1; },
                 0,
                 {},
                 CONTROL_READER_FOUND},
        EarlyEnd{"ResetRequestAccepted",
                 [](Notebook &) {},
                 CONTROL_RESET_MAPPING | 0x100,
                 {3},
                 CONTROL_READER_FOUND | 0x100},
        EarlyEnd{"OpenRequestBusyElevenTimes",
                 [](Notebook &N) { N.B.FingerprintModule.AnswerBusy(FP_REQUEST_OPEN, 11); }, 0,
                 std::vector<uint8_t>(11, FP_REQUEST_OPEN), CONTROL_READER_FOUND},
        EarlyEnd{"OpenRequestFails",
                 [](Notebook &N) { N.B.FingerprintModule.QueueAnswer(FP_REQUEST_OPEN, 0xFFF7); },
                 0,
                 {FP_REQUEST_OPEN},
                 CONTROL_READER_FOUND},
        EarlyEnd{"FingerNotAccepted",
                 [](Notebook &N) { N.B.FingerprintModule.FingerAccepted = false; },
                 0,
                 {FP_REQUEST_OPEN, FP_REQUEST_FINGERPRINT},
                 CONTROL_READER_FOUND,
                 AUTH_CONSOLE_RESTORED}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(EarlyEndRecords, TwoReadersWriteTheVolatileErrorFlag) {
  Notebook N;
  N.B.Usb.PlaceReader(38);
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  std::vector<VariableCall> Writes = N.Writes();
  ASSERT_EQ(Writes.size(), 1u);
  EXPECT_EQ(Writes[0].Name, u"Fp1820ErrorFlag");
  EXPECT_EQ(Writes[0].Attributes, 6u);
  EXPECT_EQ(Writes[0].Data, std::vector<uint8_t>{1});
  EXPECT_TRUE(R.Queries.empty());
}

TEST(EarlyEndRecords, ResetRequestZeroesTheMapEvenWhenTheModuleStaysBusy) {
  Notebook N;
  N.SetPasswords("user", "");
  N.PutVariable(u"FpHdp2HdpMapFlag", 7, std::vector<uint8_t>(50, 0x11));
  N.B.FingerprintModule.AnswerBusy(FP_REQUEST_RESET_MAPPING, 5);
  N.Engine.Answers.AnswerFlag = 0;
  N.B.Console.QueueText(u"\r"); // Enter alone at the user prompt
  AuthRun R = N.Run(0, CONTROL_RESET_MAPPING);
  N.ExpectCleanReturn(R);
  // Five busy answers: the bit stays, and the run goes on with request 5.
  std::vector<uint8_t> Codes = N.RequestCodes();
  ASSERT_GE(Codes.size(), 6u);
  EXPECT_EQ(std::vector<uint8_t>(Codes.begin(), Codes.begin() + 6),
            (std::vector<uint8_t>{3, 3, 3, 3, 3, FP_REQUEST_OPEN}));
  EXPECT_TRUE(R.ControlFlags & CONTROL_RESET_MAPPING);
  std::vector<VariableCall> MapWrites = N.WritesOf(u"FpHdp2HdpMapFlag");
  ASSERT_FALSE(MapWrites.empty());
  EXPECT_EQ(MapWrites[0].Data, std::vector<uint8_t>(50, 0));
  EXPECT_EQ(MapWrites[0].Attributes, 7u);
}

TEST(RepeatedRuns, TheSecondRunOfABootSeesOneReader) {
  Notebook N;
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  for (int Run = 1; Run <= 2; Run++) {
    SCOPED_TRACE(Run);
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R);
    EXPECT_EQ(R.Status, EFI_SUCCESS);
    EXPECT_EQ(R.AuthFlags, AUTH_USER_VERIFIED | AUTH_CONSOLE_RESTORED);
    EXPECT_TRUE(N.WritesOf(u"Fp1820ErrorFlag").empty());
  }
}

TEST(RepeatedRuns, AReaderUnpluggedAfterTheFirstRunIsNotUsed) {
  Notebook N;
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  N.ExpectCleanReturn(N.Run(0));
  N.B.Usb.ClearEntry(5);
  size_t RequestsBefore = N.B.FingerprintModule.Requests().size();
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_ABORTED);
  EXPECT_EQ(N.B.FingerprintModule.Requests().size(), RequestsBefore);
}

// Passwords cleared in setup between two runs of one boot: the second run reads the store
// afresh and neither demands nor compares against a password that is gone.
struct ClearedPasswordCase {
  const char *Name;
  std::string User, Admin; // the store for the second run
  uint32_t AuthIn;
  std::u16string Keys;
  EFI_STATUS Status;
  uint32_t Verdict;
  std::vector<std::string> PromptsShown;
  bool Notice;
};

class PasswordsClearedBetweenRuns : public ::testing::TestWithParam<ClearedPasswordCase> {};

TEST_P(PasswordsClearedBetweenRuns, AreForgotten) {
  const ClearedPasswordCase &Case = GetParam();
  Notebook N;
  N.SetPasswords("user", "admin");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  N.B.FingerprintModule.SetSlot(FP_SLOT_ADMIN, ModuleForm("admin"));
  AuthRun First = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
  N.ExpectCleanReturn(First);
  ASSERT_EQ(First.AuthFlags & AUTH_ADMIN_VERIFIED, AUTH_ADMIN_VERIFIED);

  // The user changes the passwords in setup; the reader no longer delivers any.
  N.SetPasswords(Case.User, Case.Admin);
  N.B.FingerprintModule.ClearSlot(FP_SLOT_USER);
  N.B.FingerprintModule.ClearSlot(FP_SLOT_ADMIN);
  N.B.Console.QueueText(Case.Keys);
  size_t FirstCall = N.B.Console.Calls().size();
  AuthRun R = N.Run(Case.AuthIn);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, Case.Status);
  EXPECT_EQ(R.AuthFlags & (AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED), Case.Verdict);
  std::vector<std::string> Prompts;
  for (size_t I = FirstCall; I < N.B.Console.Calls().size(); I++) {
    const ConsoleCall &Call = N.B.Console.Calls()[I];
    if (Call.Name == "OutputString" && Call.Text == u" missing User Password.\n\r") {
      Prompts.push_back("User");
    } else if (Call.Name == "OutputString" &&
               Call.Text == u" missing Administrator Password.\n\r") {
      Prompts.push_back("Administrator");
    }
  }
  EXPECT_EQ(Prompts, Case.PromptsShown);
  EXPECT_EQ(N.AnyScreenContains(R, "Fingerprint Authentication"), Case.Notice);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty());
  EXPECT_TRUE(N.WritesOf(u"SysPwdInvalidError").empty());
}

INSTANTIATE_TEST_SUITE_P(
    RepeatedRuns, PasswordsClearedBetweenRuns,
    ::testing::Values(
        ClearedPasswordCase{"BothClearedShowsTheNotice", "", "", 0, u"", EFI_ABORTED, 0, {}, true},
        ClearedPasswordCase{"UserClearedAsksOnlyForTheAdministrator",
                            "",
                            "admin",
                            AUTH_SYSTEM_PASSWORD_RUN,
                            u"admin\r",
                            EFI_SUCCESS,
                            AUTH_ADMIN_VERIFIED,
                            {"Administrator"},
                            false},
        ClearedPasswordCase{"AdministratorClearedAsksOnlyForTheUser",
                            "user",
                            "",
                            AUTH_SYSTEM_PASSWORD_RUN,
                            u"user\r",
                            EFI_SUCCESS,
                            AUTH_USER_VERIFIED,
                            {"User"},
                            false}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// A later run whose read of the password store fails keeps the stored forms the last read
// gave: the right passwords are still accepted.
TEST(RepeatedRuns, AFailedStoreReadKeepsTheStoredFormsOfTheLastRead) {
  struct Case {
    const char *Name;
    void (*Break)(Notebook &);
  };
  for (const Case &C :
       {Case{"store gone",
             [](Notebook &N) { N.B.Variables.Erase(u"VELTRASetup", VELTRASETUP_GUID); }},
        Case{"store larger than its layout", [](Notebook &N) {
               std::vector<uint8_t> Store = SetupPasswordStore("other", "other");
               Store.resize(300);
               N.B.Variables.Put(u"VELTRASetup", VELTRASETUP_GUID, EFI_VARIABLE_NV_BS_RT, Store);
             }}}) {
    SCOPED_TRACE(C.Name);
    Notebook N;
    N.SetPasswords("user", "admin");
    N.B.FingerprintModule.SetSlot(FP_SLOT_ADMIN, ModuleForm("admin"));
    AuthRun First = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
    N.ExpectCleanReturn(First);
    ASSERT_EQ(First.AuthFlags & AUTH_ADMIN_VERIFIED, AUTH_ADMIN_VERIFIED);

    C.Break(N);
    N.B.FingerprintModule.ClearSlot(FP_SLOT_ADMIN);
    N.B.Console.QueueText(u"user\radmin\r");
    AuthRun R = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
    N.ExpectCleanReturn(R);
    EXPECT_EQ(R.Status, EFI_SUCCESS);
    EXPECT_EQ(R.AuthFlags & (AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED),
              AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED);
    EXPECT_FALSE(N.AnyScreenContains(R, " Password Incorrect.  Try again."));
    EXPECT_TRUE(N.B.Console.PendingKeys().empty());
  }
}

// ---- "UPEKFLAG" and the gate -------------------------------------------------------------------
constexpr uint32_t Magic = 0x55AA55AA;

std::vector<uint8_t> Le32(uint32_t V) {
  return {(uint8_t)V, (uint8_t)(V >> 8), (uint8_t)(V >> 16), (uint8_t)(V >> 24)};
}

struct GateCase {
  const char *Name;
  std::string User, Admin;
  int Drive; // 0 none, 1 locked, 2 security enabled but not locked
  int Upek;  // -1 absent, else the stored value
  uint32_t AuthIn;
  bool Notice;                               // the no-password notice is shown (ESC is queued)
  std::vector<uint32_t> UpekWriteAttributes; // "UPEKFLAG" = 0 writes, in order
  bool FingerprintRequest;                   // request 0 is sent (the gate let the run through)
};

class Gate : public ::testing::TestWithParam<GateCase> {};

TEST_P(Gate, DecidesFromPasswordsDrivesAndUpekFlag) {
  const GateCase &Case = GetParam();
  Notebook N;
  N.SetPasswords(Case.User, Case.Admin);
  if (Case.Drive != 0) {
    SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
    if (Case.Drive == 2) {
      D.Locked = false;
    }
  }
  if (Case.Upek >= 0) {
    N.PutVariable(u"UPEKFLAG", 7, Le32((uint32_t)Case.Upek));
  }
  // Whatever follows the gate: the module holds every password, the caller none.
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm(Case.User));
  N.B.FingerprintModule.SetSlot(FP_SLOT_ADMIN, ModuleForm(Case.Admin));
  N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("disk"));
  N.Engine.Answers.AnswerFlag = 1;
  N.Engine.Answers.DiskCandidates[0] = ModuleForm("disk");
  N.B.Console.QueueNamed("ESC");
  // A boot run past the gate without the caller's candidates asks for the drive's password.
  N.B.Console.QueueText(u"disk\r");

  AuthRun R = N.Run(Case.AuthIn);
  N.ExpectCleanReturn(R);
  bool NoticeShown = N.AnyScreenContains(R, "Fingerprint Authentication");
  EXPECT_EQ(NoticeShown, Case.Notice);
  std::vector<uint32_t> Attributes;
  for (const VariableCall &W : N.WritesOf(u"UPEKFLAG")) {
    EXPECT_EQ(W.Data, Le32(0));
    Attributes.push_back(W.Attributes);
  }
  EXPECT_EQ(Attributes, Case.UpekWriteAttributes);
  bool Requested = N.B.FingerprintModule.CountOf(FP_REQUEST_FINGERPRINT) != 0;
  EXPECT_EQ(Requested, Case.FingerprintRequest);
  if (!Case.FingerprintRequest) {
    EXPECT_EQ(R.Status, EFI_ABORTED);
    EXPECT_EQ(R.AuthFlags & AUTH_CONSOLE_RESTORED, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Gate,
    ::testing::Values(
        GateCase{"NothingProtectedShowsTheNotice", "", "", 0, -1, 0, true, {}, false},
        GateCase{"NothingProtectedNoticeSuppressed", "", "", 0, Magic, 0, false, {}, false},
        GateCase{"AdminOnlyBootRunEndsAtTheGate", "", "admin", 0, -1, 0, false, {}, false},
        GateCase{"AdminAndSuppressedNoticeClearsTheFlagNonVolatile",
                 "",
                 "admin",
                 0,
                 Magic,
                 0,
                 false,
                 {7},
                 false},
        GateCase{"UserPasswordWritesTheFlagVolatile", "user", "", 0, -1, 0, false, {6}, true},
        GateCase{
            "UserAndSuppressedNoticeWritesTwice", "user", "", 0, Magic, 0, false, {7, 6}, true},
        GateCase{"UserAloneNotEnoughWithoutLockedDrive",
                 "user",
                 "",
                 0,
                 -1,
                 AUTH_USER_ALONE_NOT_ENOUGH,
                 false,
                 {6},
                 false},
        GateCase{"UserAloneNotEnoughButLockedDrive",
                 "user",
                 "",
                 1,
                 -1,
                 AUTH_USER_ALONE_NOT_ENOUGH,
                 false,
                 {6},
                 true},
        GateCase{"LockedDriveAloneGoesOn", "", "", 1, -1, 0, false, {}, true},
        GateCase{"LockedDriveClearsASuppressedNotice", "", "", 1, Magic, 0, false, {7}, true},
        GateCase{"UnlockedSecureDriveClearsTheFlagButShowsTheNotice",
                 "",
                 "",
                 2,
                 Magic,
                 0,
                 true,
                 {7},
                 false},
        GateCase{"SystemPasswordRunWithAdminGoesOn",
                 "",
                 "admin",
                 0,
                 -1,
                 AUTH_SYSTEM_PASSWORD_RUN,
                 false,
                 {},
                 true},
        GateCase{"SystemPasswordRunWithoutPasswordsEndsAtTheGate",
                 "",
                 "",
                 1,
                 Magic,
                 AUTH_SYSTEM_PASSWORD_RUN,
                 false,
                 {7},
                 false}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- the fingerprint request ------------------------------------------------------------------
TEST(FingerprintRequest, DisplayHandedOverAroundRequestZero) {
  Notebook N;
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);

  // The order of the outside events: switch on, disconnect, request 0, connect, switch off.
  ASSERT_EQ(N.B.Usb.SwitchCalls().size(), 2u);
  EXPECT_TRUE(N.B.Usb.SwitchCalls()[0].Enable);
  EXPECT_FALSE(N.B.Usb.SwitchCalls()[1].Enable);
  size_t On = N.B.Usb.SwitchCalls()[0].Timeline;
  size_t Off = N.B.Usb.SwitchCalls()[1].Timeline;
  size_t Request0 = N.B.FingerprintModule.Requests().back().Timeline;
  for (const ModuleRequestRecord &Req : N.B.FingerprintModule.Requests()) {
    if (Req.Code == FP_REQUEST_FINGERPRINT) {
      Request0 = Req.Timeline;
    }
  }
  EXPECT_LT(On, Request0);
  EXPECT_LT(Request0, Off);
  EXPECT_EQ(N.B.ControllerCalls,
            (std::vector<std::string>{"disconnect display controller",
                                      "connect display controller recursive"}));
  // The console is back in text mode, in a mode of at least 100 x 31 columns and rows.
  EXPECT_EQ(N.B.Console.ControlMode, EfiConsoleControlScreenText);
  EXPECT_GE(N.B.Console.Screen().Columns, 100u);
  EXPECT_GE(N.B.Console.Screen().Rows, 31u);
  EXPECT_FALSE(N.B.Console.Screen().CursorVisible);
  EXPECT_EQ(R.TplAfter, TPL_APPLICATION);
}

TEST(FingerprintRequest, FailedRequestStillRestoresTheConsole) {
  Notebook N;
  N.SetPasswords("user", "");
  N.B.FingerprintModule.QueueAnswer(FP_REQUEST_FINGERPRINT, 0x0007);
  AuthRun R = N.Run(0, 0x40);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_ABORTED);
  EXPECT_EQ(R.AuthFlags, AUTH_CONSOLE_RESTORED);
  EXPECT_EQ(R.ControlFlags, 0x40u | CONTROL_READER_FOUND);
  EXPECT_EQ(N.B.ControllerCalls.size(), 2u);
  EXPECT_EQ(N.B.Console.ControlMode, EfiConsoleControlScreenText);
  EXPECT_EQ(N.B.Usb.SwitchCalls().size(), 2u);
}

TEST(FingerprintRequest, SmallConsoleFallsBackToMode0At80By24) {
  Notebook N;
  N.B.Console.SetModes({{80, 25}, {90, 30}, {100, 30}});
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(N.B.Console.ModeRecord().Mode, 0);
  std::vector<std::string> SetModes = N.B.Console.CallTexts({"SetMode"});
  ASSERT_GE(SetModes.size(), 2u);
  EXPECT_EQ(SetModes[SetModes.size() - 2].rfind("SetMode(3) -> EFI_UNSUPPORTED", 0), 0u)
      << SetModes[SetModes.size() - 2]; // MaxMode: refused
  EXPECT_EQ(SetModes.back(), "SetMode(0)");
}

TEST(FingerprintRequest, WithoutConsoleControlTheRunGoesOn) {
  Notebook N;
  N.B.Console.RemoveConsoleControl();
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_EQ(R.AuthFlags, AUTH_USER_VERIFIED | AUTH_CONSOLE_RESTORED);
}

TEST(FingerprintRequest, NoDisplayControllerMeansNothingToDisconnect) {
  Notebook N(5, false, false);
  N.Load();
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_TRUE(N.B.ControllerCalls.empty());
}

// The console-output interface of the dialogs is the one this run obtained: when the system
// table's console-output handle is not a valid handle in a later run, the interface of the
// earlier run is not used again (the DXE core leaves the pointer untouched for such a handle).
TEST(FingerprintRequest, NoConsoleOutputOfItsOwnWhenTheHandleIsNotValid) {
  struct Case {
    const char *Name;
    std::string User; // "": no password, the run would show the notice
    EFI_STATUS Status;
  };
  for (const Case &C : {Case{"fingerprint request", "user", EFI_SUCCESS},
                        Case{"no-password notice", "", EFI_ABORTED}}) {
    SCOPED_TRACE(C.Name);
    Notebook N;
    N.SetPasswords("user", "");
    N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
    N.ExpectCleanReturn(N.Run(0));

    N.SetPasswords(C.User, "");
    N.B.SystemTable.ConsoleOutHandle = nullptr;
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R);
    EXPECT_EQ(R.Status, C.Status);
    // Only the console control's switch to text remains; nothing is drawn or set.
    std::vector<std::string> Used;
    for (size_t I = R.FirstCall; I < N.B.Console.Calls().size(); I++) {
      const std::string &Name = N.B.Console.Calls()[I].Name;
      if (Name == "SetMode" || Name == "EnableCursor" || Name == "Reset" ||
          Name == "OutputString") {
        Used.push_back(Name);
      }
    }
    EXPECT_EQ(Used, std::vector<std::string>{});
  }
}

TEST(FingerprintRequest, MissingHashServiceEndsTheRunWithItsStatus) {
  Notebook N;
  N.B.Hash.SetPresent(false);
  N.SetPasswords("user", "");
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_NOT_FOUND);
}

// ---- "SysPwdInvalidError" ---------------------------------------------------------------------
TEST(SysPwdInvalidError, AVerifiedSystemPasswordClearsOnlyTheSystemBits) {
  struct Case {
    int Stored; // -1: no variable
    std::vector<uint8_t> After;
  };
  for (Case C : {Case{0xF7, {0xF4}}, Case{0x03, {0x00}}, Case{-1, {}}}) {
    SCOPED_TRACE(C.Stored);
    Notebook N;
    if (C.Stored >= 0) {
      N.PutVariable(u"SysPwdInvalidError", 7, {(uint8_t)C.Stored});
    }
    N.SetPasswords("user", "");
    N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R);
    EXPECT_EQ(N.Variable(u"SysPwdInvalidError"), C.After);
  }
}

// ---- the module's side of the contract, watched by its model ---------------------------------
TEST(ModuleHost, RequestsCarryTheHeaderAndTheWindowLayout) {
  Notebook N;
  N.SetPasswords("user", "admin");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R); // the model records every breach of the contract as a problem
  ASSERT_FALSE(N.B.FingerprintModule.Requests().empty());
  for (const ModuleRequestRecord &Req : N.B.FingerprintModule.Requests()) {
    const auto *Block = reinterpret_cast<const FP_REQUEST_BLOCK_LAYOUT *>(Req.Sent.data());
    EXPECT_EQ(Block->Signature, 2);
    EXPECT_EQ(Block->Length, 88);
    EXPECT_EQ(Block->WorkBufferSize, 0x40000u);
    EXPECT_EQ(Block->Tag, 0x5553);
    EXPECT_EQ(Block->Version, 1);
    EXPECT_NE(Block->WorkBuffer, 0u);
  }
  // The live USB data area keeps 5000 at 0x2113.
  EXPECT_EQ(N.B.Usb.PollSetting(), 5000);
  // The work buffer travels in a 32-bit field: its pages were asked for below 4 GiB.
  ASSERT_EQ(N.B.Pages.size(), 1u);
  const PageBlock &Work = N.B.Pages.begin()->second;
  EXPECT_EQ(Work.Type, AllocateMaxAddress);
  EXPECT_LE(Work.Limit, 0xFFFFFFFFu);
  EXPECT_EQ(Work.Pages, 0x40u);
  EXPECT_EQ(N.B.Pages.begin()->first, N.B.FingerprintModule.Requests().front().WorkBuffer);
}

TEST(ModuleHost, BadModuleSectionsFailBeforeTheWindowIsTouched) {
  struct Case {
    const char *Name;
    FirmwareFileEdits Edits;
  };
  FirmwareFileEdits NoSection;
  NoSection.DropModuleSection = true;
  FirmwareFileEdits Short;
  Short.TruncateModuleSection = 10;
  FirmwareFileEdits TooLong;
  TooLong.ReplaceModule = std::vector<uint8_t>(0x40001, 0xCB);
  for (const Case &C : {Case{"missing", NoSection}, Case{"shorter than its GUID", Short},
                        Case{"longer than 0x40000", TooLong}}) {
    SCOPED_TRACE(C.Name);
    Notebook N(5, false);
    RunResult Loaded = N.B.LoadDriverFromFirmwareFile("FingerprintAuthDxe", C.Edits);
    ASSERT_TRUE(Loaded.Returned()) << Loaded.Message;
    N.SetPasswords("user", "");
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R);
    EXPECT_EQ(R.Status, EFI_ABORTED);
    EXPECT_TRUE(N.B.FingerprintModule.Requests().empty());
  }
}

// The file GUID is read from the image's firmware-file node only when the node is long enough
// to hold it. Here the GUID's bytes follow a node that claims fewer of them.
TEST(ModuleHost, AFirmwareFileNodeShorterThanItsGuidIsNotRead) {
  for (uint8_t Length : {4, 19, 20}) {
    SCOPED_TRACE((int)Length);
    Notebook N(5, false);
    std::string Error;
    EFI_HANDLE Image = N.B.LoadImageFromFirmwareFile("FingerprintAuthDxe", Error);
    ASSERT_NE(Image, nullptr) << Error;
    LoadedImageRecord *Record = N.B.ImageRecord(Image);
    ASSERT_EQ(Record->FilePath[2], 20);
    Record->FilePath[2] = Length;
    ASSERT_TRUE(N.B.StartImage(Image).Returned());
    N.SetPasswords("user", "");
    N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R);
    if (Length < 20) {
      EXPECT_EQ(R.Status, EFI_ABORTED);
      EXPECT_TRUE(N.B.Volume.Reads().empty());
      EXPECT_TRUE(N.B.FingerprintModule.Requests().empty());
    } else {
      EXPECT_EQ(R.Status, EFI_SUCCESS);
    }
  }
}

TEST(ModuleHost, AModuleOfExactly0x40000BytesFillsItsSlot) {
  Notebook N(5, false);
  FirmwareFileEdits Edits;
  std::vector<uint8_t> Module(0x40000);
  for (size_t I = 0; I < Module.size(); I++) {
    Module[I] = (uint8_t)(I ^ (I >> 9));
  }
  Edits.ReplaceModule = Module;
  ASSERT_TRUE(N.B.LoadDriverFromFirmwareFile("FingerprintAuthDxe", Edits).Returned());
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R); // the model compares 0x40000..0x7FFFF with the module at every call
  EXPECT_EQ(R.Status, EFI_SUCCESS);
}

TEST(ModuleHost, OtherFreeformSectionsAreReadAndFreedBeforeTheModule) {
  Notebook N(5, false);
  FirmwareFileEdits Edits;
  EFI_GUID Other = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  Edits.FreeformBefore = {FreeformData(Other, {1, 2, 3}), FreeformData(Other, {4, 5})};
  ASSERT_TRUE(N.B.LoadDriverFromFirmwareFile("FingerprintAuthDxe", Edits).Returned());
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  std::vector<UINTN> Instances;
  for (const SectionReadRecord &Read : N.B.Volume.Reads()) {
    EXPECT_EQ(Read.Type, EFI_SECTION_FREEFORM_SUBTYPE_GUID);
    EXPECT_TRUE(Read.Allocated);
    Instances.push_back(Read.Instance);
  }
  EXPECT_EQ(Instances, (std::vector<UINTN>{0, 1, 2}));
}

TEST(ModuleHost, WorkBufferAllocationFailureRestoresTheWindow) {
  Notebook N;
  N.SetPasswords("user", "");
  // The pages service refuses: the window comes back and the backup is freed.
  N.B.FailPageAllocations(1);
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_ABORTED);
  EXPECT_TRUE(N.B.FingerprintModule.Requests().empty());
}

} // namespace
} // namespace sim::test
