// The power-on password check of FingerprintAuthDxe, from its image on the board: the module's
// passwords, the caller's answer, the prompts with masked entry, and the halt.
#include "fingerprint_board.h"

#include <optional>

namespace sim::test {
namespace {

constexpr uint32_t Verdict = AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED;

struct Slot {
  uint16_t Bit;
  PasswordForm Form;
};

struct Store {
  uint16_t Slot;
  PasswordForm Form;
  bool operator==(const Store &) const = default;
};

struct CheckCase {
  const char *Name;
  std::string User, Admin;
  uint32_t AuthIn;
  std::vector<Slot> ModuleSlots;
  std::optional<std::pair<std::string, std::string>> CallerAnswer; // user, admin (plain text)
  std::u16string Keys;
  uint32_t VerdictOut;
  std::vector<Store> Stores;
  bool AskedCaller;                      // query code 1 was made
  std::vector<std::string> PromptsShown; // "User", "Administrator"
};

class SystemPasswords : public ::testing::TestWithParam<CheckCase> {};

TEST_P(SystemPasswords, Verdict) {
  const CheckCase &Case = GetParam();
  Notebook N;
  N.SetPasswords(Case.User, Case.Admin);
  for (const Slot &S : Case.ModuleSlots) {
    N.B.FingerprintModule.SetSlot(S.Bit, S.Form);
  }
  if (Case.CallerAnswer) {
    N.Engine.Answers.AnswerFlag = 1;
    N.Engine.Answers.User = SetupForm(Case.CallerAnswer->first);
    N.Engine.Answers.Administrator = SetupForm(Case.CallerAnswer->second);
  }
  N.B.Console.QueueText(Case.Keys);

  AuthRun R = N.Run(Case.AuthIn | AUTH_SYSTEM_PASSWORD_RUN);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_EQ(R.AuthFlags & Verdict, Case.VerdictOut);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "keys left unread";

  std::vector<Store> Stores;
  for (const ModuleStoreRecord &S : N.B.FingerprintModule.Stores()) {
    Stores.push_back({S.Slot, S.Password});
  }
  EXPECT_EQ(Stores, Case.Stores);

  bool Asked = false;
  for (const QueryRecord &Q : R.Queries) {
    Asked |= Q.Code == QUERY_PASSWORDS;
  }
  EXPECT_EQ(Asked, Case.AskedCaller);

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
  EXPECT_EQ(Prompts, Case.PromptsShown);

  // A system-password run ends with request 4 after the check.
  EXPECT_EQ(N.RequestCodes().back(), FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN);
  // A verified password clears the system bits of "SysPwdInvalidError"; none was stored here.
  EXPECT_TRUE(N.Variable(u"SysPwdInvalidError").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Stages, SystemPasswords,
    ::testing::Values(
        CheckCase{"ModuleAdminInStoredForm",
                  "user",
                  "admin",
                  0,
                  {{FP_SLOT_ADMIN, SetupForm("admin")}},
                  std::nullopt,
                  u"",
                  AUTH_ADMIN_VERIFIED,
                  {},
                  false,
                  {}},
        CheckCase{"ModuleAdminAfterHashEntry5",
                  "user",
                  "admin",
                  0,
                  {{FP_SLOT_ADMIN, ModuleForm("admin")}},
                  std::nullopt,
                  u"",
                  AUTH_ADMIN_VERIFIED,
                  {},
                  false,
                  {}},
        CheckCase{"ModuleUserRightAdminWrong",
                  "user",
                  "admin",
                  0,
                  {{FP_SLOT_ADMIN, ModuleForm("wrong")}, {FP_SLOT_USER, ModuleForm("user")}},
                  std::nullopt,
                  u"",
                  AUTH_USER_VERIFIED,
                  {},
                  false,
                  {}},
        CheckCase{"ModuleSlotWithoutThatPasswordSetIsNotUsed",
                  "",
                  "admin",
                  0,
                  {{FP_SLOT_USER, ModuleForm("admin")}},
                  std::nullopt,
                  u"admin\r",
                  AUTH_ADMIN_VERIFIED,
                  {{FP_SLOT_ADMIN, ModuleForm("admin")}},
                  true,
                  {"Administrator"}},
        CheckCase{"CallerAnswersBothAdminStoredFirst",
                  "user",
                  "admin",
                  0,
                  {},
                  std::make_pair(std::string("user"), std::string("admin")),
                  u"",
                  Verdict,
                  {{FP_SLOT_ADMIN, SetupForm("admin")}, {FP_SLOT_USER, SetupForm("user")}},
                  true,
                  {}},
        CheckCase{"CallerAnswerWrongFallsToThePrompts",
                  "user",
                  "",
                  0,
                  {},
                  std::make_pair(std::string("nope"), std::string("")),
                  u"user\r",
                  AUTH_USER_VERIFIED,
                  {{FP_SLOT_USER, ModuleForm("user")}},
                  true,
                  {"User"}},
        CheckCase{"OnlyAdminSetPromptsForAdminDirectly",
                  "",
                  "admin",
                  0,
                  {},
                  std::nullopt,
                  u"admin\r",
                  AUTH_ADMIN_VERIFIED,
                  {{FP_SLOT_ADMIN, ModuleForm("admin")}},
                  true,
                  {"Administrator"}},
        CheckCase{"RightUserThenEnterAtTheAdminPrompt",
                  "user",
                  "admin",
                  0,
                  {},
                  std::nullopt,
                  u"user\r\r",
                  AUTH_USER_VERIFIED,
                  {{FP_SLOT_USER, ModuleForm("user")}},
                  true,
                  {"User", "Administrator"}},
        CheckCase{"TwoWrongThenEnterIsNoVerdict",
                  "user",
                  "admin",
                  0,
                  {},
                  std::nullopt,
                  u"bad1\rbad2\r\radmin\r",
                  AUTH_ADMIN_VERIFIED,
                  {{FP_SLOT_ADMIN, ModuleForm("admin")}},
                  true,
                  {"User", "User", "User", "Administrator"}},
        // Masked entry: Backspace erases, space and tab are not stored.
        CheckCase{"BackspaceErases",
                  "ab",
                  "",
                  0,
                  {},
                  std::nullopt,
                  u"abc\b\r",
                  AUTH_USER_VERIFIED,
                  {{FP_SLOT_USER, ModuleForm("ab")}},
                  true,
                  {"User"}},
        CheckCase{"BackspaceThenMore",
                  "ac",
                  "",
                  0,
                  {},
                  std::nullopt,
                  u"ab\bc\r",
                  AUTH_USER_VERIFIED,
                  {{FP_SLOT_USER, ModuleForm("ac")}},
                  true,
                  {"User"}},
        CheckCase{"EverythingErasedIsAnEmptyEntry",
                  "ab",
                  "",
                  0,
                  {},
                  std::nullopt,
                  u"ab\b\b\r",
                  0,
                  {},
                  true,
                  {"User"}},
        CheckCase{"SpaceAndTabAreNotStored",
                  "abc",
                  "",
                  0,
                  {},
                  std::nullopt,
                  u"a b\tc\r",
                  AUTH_USER_VERIFIED,
                  {{FP_SLOT_USER, ModuleForm("abc")}},
                  true,
                  {"User"}},
        CheckCase{"TheSixtyFourthCharacterEndsTheEntry",
                  std::string(64, 'x'),
                  "",
                  0,
                  {},
                  std::nullopt,
                  std::u16string(64, u'x'),
                  AUTH_USER_VERIFIED,
                  {{FP_SLOT_USER, ModuleForm(std::string(64, 'x'))}},
                  true,
                  {"User"}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(SystemPasswordPrompt, EchoesOneShadeCellPerCharacterOnRowNine) {
  Notebook N;
  N.SetPasswords("secret", "");
  N.B.Console.QueueText(u"sec");
  N.B.Console.QueueText(u"x\b");
  N.B.Console.QueueText(u"ret\r");
  AuthRun R = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.AuthFlags & Verdict, AUTH_USER_VERIFIED);
  // The screen while the driver waited for the last key: six shade cells from column 1.
  std::vector<std::string> Screens = N.Screens(R);
  ASSERT_FALSE(Screens.empty());
  const ScreenImage *Last = nullptr;
  for (size_t I = R.FirstFrame; I < N.B.Console.Frames().size(); I++) {
    if (N.B.Console.Frames()[I].Screen.Contains(u"missing User Password.")) {
      Last = &N.B.Console.Frames()[I].Screen;
    }
  }
  ASSERT_NE(Last, nullptr);
  EXPECT_EQ(Last->RowChars(9).substr(0, 8),
            std::u16string(u" ") + std::u16string(6, 0x2591) + u" ");
  EXPECT_EQ(Last->RowChars(3).substr(0, 46), u" Fingerprint reader has an either incorrect or");
  // The typed characters are never shown.
  for (const ConsoleFrame &F : N.B.Console.Frames()) {
    EXPECT_FALSE(F.Screen.Contains(u"sec"));
  }
}

struct HaltCase {
  const char *Name;
  std::string User, Admin;
  uint32_t AuthIn;
  std::u16string Keys;
  bool Request4; // sent before the halt
};

class ThreeWrongEntries : public ::testing::TestWithParam<HaltCase> {};

TEST_P(ThreeWrongEntries, HaltTheMachine) {
  const HaltCase &Case = GetParam();
  Notebook N;
  N.SetPasswords(Case.User, Case.Admin);
  N.PutVariable(u"SysPwdInvalidError", 7, {0x20});
  N.B.Console.QueueText(Case.Keys);
  AuthRun R = N.Run(Case.AuthIn);
  ASSERT_EQ(R.How, AuthOutcome::Halted) << R.Message;
  EXPECT_EQ(N.Variable(u"SysPwdInvalidError"), std::vector<uint8_t>{0x23});
  EXPECT_EQ(N.B.Tpl, TPL_HIGH_LEVEL);
  EXPECT_TRUE(N.B.Console.Screen().Contains(u" Password check failed"));
  EXPECT_TRUE(N.B.Console.Screen().Contains(u" Fatal Error... System Halted"));
  EXPECT_EQ(N.RequestCodes().back() == FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN, Case.Request4);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Prompts, ThreeWrongEntries,
    ::testing::Values(HaltCase{"UserBootRun", "user", "", 0, u"a\rb\rc\r", false},
                      HaltCase{"UserSystemPasswordRun", "user", "", AUTH_SYSTEM_PASSWORD_RUN,
                               u"a\rb\rc\r", true},
                      HaltCase{"AdminAfterARightUser", "user", "admin", AUTH_SYSTEM_PASSWORD_RUN,
                               u"user\rx\ry\rz\r", true}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- verdict bits the caller passes in ---------------------------------------------------------
// Bits 30 and 31 report this run's checks only. A caller word that still holds them from an
// earlier run gets them cleared; the check runs in full and "SysPwdInvalidError" keeps 0x03.
struct StaleVerdictCase {
  const char *Name;
  uint32_t AuthIn;
  bool Reader;
  std::vector<std::string> PromptsShown;
  EFI_STATUS Status;
  uint32_t AuthOut;
};

class StaleVerdictBits : public ::testing::TestWithParam<StaleVerdictCase> {};

TEST_P(StaleVerdictBits, CountForNothing) {
  const StaleVerdictCase &Case = GetParam();
  Notebook N;
  if (!Case.Reader) {
    N.B.Usb.ClearEntry(5);
  }
  N.SetPasswords("user", "admin");
  N.PutVariable(u"SysPwdInvalidError", 7, {0x03});
  N.Engine.Answers.AnswerFlag = 1; // wrong passwords from the caller
  N.Engine.Answers.User = SetupForm("guess");
  N.Engine.Answers.Administrator = SetupForm("guess");
  N.B.Console.QueueText(u"\r\r"); // Enter alone at every prompt
  AuthRun R = N.Run(Case.AuthIn);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, Case.Status);
  EXPECT_EQ(R.AuthFlags, Case.AuthOut) << AuthFlagsText(R.AuthFlags);
  std::vector<std::string> Prompts;
  for (const ConsoleCall &Call : N.B.Console.Calls()) {
    if (Call.Name == "OutputString" && Call.Text == u" missing User Password.\n\r") {
      Prompts.push_back("User");
    } else if (Call.Name == "OutputString" &&
               Call.Text == u" missing Administrator Password.\n\r") {
      Prompts.push_back("Administrator");
    }
  }
  EXPECT_EQ(Prompts, Case.PromptsShown);
  EXPECT_TRUE(N.B.FingerprintModule.Stores().empty());
  EXPECT_EQ(N.Variable(u"SysPwdInvalidError"), std::vector<uint8_t>{0x03});
}

INSTANTIATE_TEST_SUITE_P(
    Caller, StaleVerdictBits,
    ::testing::Values(StaleVerdictCase{"AdministratorBitSystemPasswordRun",
                                       AUTH_ADMIN_VERIFIED | AUTH_SYSTEM_PASSWORD_RUN,
                                       true,
                                       {"User", "Administrator"},
                                       EFI_SUCCESS,
                                       AUTH_SYSTEM_PASSWORD_RUN | AUTH_CONSOLE_RESTORED},
                      StaleVerdictCase{"UserBitSystemPasswordRun",
                                       AUTH_USER_VERIFIED | AUTH_SYSTEM_PASSWORD_RUN,
                                       true,
                                       {"User", "Administrator"},
                                       EFI_SUCCESS,
                                       AUTH_SYSTEM_PASSWORD_RUN | AUTH_CONSOLE_RESTORED},
                      StaleVerdictCase{"BothBitsBootRun",
                                       AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED,
                                       true,
                                       {"User", "Administrator"},
                                       EFI_SUCCESS,
                                       AUTH_CONSOLE_RESTORED},
                      StaleVerdictCase{"BothBitsRunWithoutReader",
                                       AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED,
                                       false,
                                       {},
                                       EFI_ABORTED,
                                       0}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- a hash entry that fails ------------------------------------------------------------------
// A failing entry counts as a mismatch, whatever it left in its output, and nothing is stored in
// the module from it.
struct FailingHashCase {
  const char *Name;
  size_t Entry;
  bool WritesOutput;
  std::string User, Admin;
  std::vector<Slot> ModuleSlots;
  std::u16string Keys;
  uint32_t VerdictOut;
  std::vector<Store> Stores;
  bool AskedCaller;
  bool WrongEntryShown;
};

class FailingHashEntry : public ::testing::TestWithParam<FailingHashCase> {};

TEST_P(FailingHashEntry, CountsAsAMismatch) {
  const FailingHashCase &Case = GetParam();
  Notebook N;
  N.SetPasswords(Case.User, Case.Admin);
  for (const Slot &S : Case.ModuleSlots) {
    N.B.FingerprintModule.SetSlot(S.Bit, S.Form);
  }
  N.B.Hash.FailEntry(Case.Entry, EFI_DEVICE_ERROR, Case.WritesOutput);
  N.B.Console.QueueText(Case.Keys);
  AuthRun R = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_EQ(R.AuthFlags & Verdict, Case.VerdictOut);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty());
  std::vector<Store> Stores;
  for (const ModuleStoreRecord &S : N.B.FingerprintModule.Stores()) {
    Stores.push_back({S.Slot, S.Password});
  }
  EXPECT_EQ(Stores, Case.Stores);
  EXPECT_EQ(!R.Queries.empty() && R.Queries.back().Code == QUERY_PASSWORDS, Case.AskedCaller);
  EXPECT_EQ(N.AnyScreenContains(R, " Password Incorrect.  Try again."), Case.WrongEntryShown);
  EXPECT_GT(N.B.Hash.CallsOf(Case.Entry), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, FailingHashEntry,
    ::testing::Values(
        // The module's administrator password is not taken from a failing entry 5: the check goes
        // on to the caller and the prompt.
        FailingHashCase{"Entry5WithOutput",
                        5,
                        true,
                        "",
                        "admin",
                        {{FP_SLOT_ADMIN, ModuleForm("admin")}},
                        u"admin\r",
                        AUTH_ADMIN_VERIFIED,
                        {{FP_SLOT_ADMIN, ModuleForm("admin")}},
                        true,
                        false},
        // A failing entry 2 makes every typed entry a wrong one.
        FailingHashCase{
            "Entry2WithOutput", 2, true, "user", "", {}, u"user\r\r", 0, {}, true, true},
        FailingHashCase{
            "Entry2WithoutOutput", 2, false, "user", "", {}, u"user\r\r", 0, {}, true, true},
        // The password is verified by entry 2, but the module gets nothing from a failing entry 1.
        FailingHashCase{"Entry1WithOutput",
                        1,
                        true,
                        "user",
                        "",
                        {},
                        u"user\r",
                        AUTH_USER_VERIFIED,
                        {},
                        true,
                        false},
        FailingHashCase{"Entry1WithoutOutput",
                        1,
                        false,
                        "user",
                        "",
                        {},
                        u"user\r",
                        AUTH_USER_VERIFIED,
                        {},
                        true,
                        false}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(SystemPasswordSecrets, NothingTypedOrAnsweredStaysInMemory) {
  Notebook N;
  N.SetPasswords("topsecret1", "adminsecret");
  N.Engine.Answers.AnswerFlag = 1;
  N.Engine.Answers.User = SetupForm("wrongguess");
  N.B.Console.QueueText(u"topsecret1\radminsecret\r");
  AuthRun R = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.AuthFlags & Verdict, Verdict);
  for (const char *Text : {"topsecret1", "adminsecret", "wrongguess"}) {
    SCOPED_TRACE(Text);
    for (const auto &Bytes : {TypedBytes(Text), Bytes(ModuleForm(Text)), Bytes(SetupForm(Text))}) {
      std::vector<MemoryHit> Hits = N.B.FindInMemory(Bytes);
      for (const MemoryHit &Hit : Hits) {
        // The driver keeps its copy of the password store between runs: the stored forms the
        // store itself holds may be there, and nowhere else.
        bool StoredForm = Bytes == ::sim::test::Bytes(SetupForm(Text)) &&
                          std::string(Text) != "wrongguess" &&
                          Hit.Where.find("SetupPasswordCopy") != std::string::npos;
        if (!StoredForm) {
          ADD_FAILURE() << "found at 0x" << std::hex << Hit.Address << " (" << Hit.Where << ")";
        }
      }
    }
  }
  // The search does see the board's memory: a planted copy in the window is found.
  std::vector<uint8_t> Planted = TypedBytes("topsecret1");
  std::copy(Planted.begin(), Planted.end(), reinterpret_cast<uint8_t *>(FP_WINDOW_BASE + 0x100));
  EXPECT_TRUE(N.B.MemoryContains(Planted));
}

} // namespace
} // namespace sim::test
