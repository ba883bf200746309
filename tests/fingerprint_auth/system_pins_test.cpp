// Which passwords FingerprintAuthDxe's power-on password check takes, from its image on the
// board: a module slot counts only when the module's reply names it and that password is set,
// the administrator is tried before the user, and a caller's answer counts only for a password
// that is set. An empty password field holds zeros, so a zero slot or a zero answer would
// match it: each case below would verify something that is not set if a condition went missing.
#include "fingerprint_board.h"

#include <optional>

namespace sim::test {
namespace {

constexpr uint32_t Verdict = AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED;
const PasswordForm Zeros{};

struct StageCase {
  const char *Name;
  std::string User, Admin; // the passwords set in "VELTRASetup" ("" none)
  std::vector<std::pair<uint16_t, PasswordForm>> Slots; // what the module holds
  std::optional<uint16_t> ReplyMask;                    // the reply's word 0x06, if not the slots'
  std::optional<std::pair<PasswordForm, PasswordForm>> Caller; // user, administrator answer
  std::u16string Keys;
  uint32_t VerdictOut;
  std::vector<std::string> Prompts; // "User", "Administrator"
  bool AskedCaller;
  std::vector<uint16_t> Stores; // slot bits of the store requests, in order
};

class PasswordSources : public ::testing::TestWithParam<StageCase> {};

TEST_P(PasswordSources, CountOnlyForPasswordsThatAreSet) {
  const StageCase &Case = GetParam();
  Notebook N;
  N.SetPasswords(Case.User, Case.Admin);
  for (const auto &[Bit, Form] : Case.Slots) {
    N.B.FingerprintModule.SetSlot(Bit, Form);
  }
  N.B.FingerprintModule.ReplySlotMask = Case.ReplyMask;
  if (Case.Caller) {
    N.Engine.Answers.AnswerFlag = 1;
    N.Engine.Answers.User = Case.Caller->first;
    N.Engine.Answers.Administrator = Case.Caller->second;
  }
  N.B.Console.QueueText(Case.Keys);
  AuthRun R = N.Run(AUTH_SYSTEM_PASSWORD_RUN);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_EQ(R.AuthFlags & Verdict, Case.VerdictOut);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "keys left unread";

  std::vector<std::string> Prompts;
  for (const ConsoleCall &Call : N.B.Console.Calls()) {
    if (Call.Name == "OutputString" && Call.Text == u" missing User Password.\n\r") {
      Prompts.push_back("User");
    } else if (Call.Name == "OutputString" &&
               Call.Text == u" missing Administrator Password.\n\r") {
      Prompts.push_back("Administrator");
    }
  }
  EXPECT_EQ(Prompts, Case.Prompts);
  bool Asked = false;
  for (const QueryRecord &Q : R.Queries) {
    Asked |= Q.Code == QUERY_PASSWORDS;
  }
  EXPECT_EQ(Asked, Case.AskedCaller);
  std::vector<uint16_t> Stores;
  for (const ModuleStoreRecord &S : N.B.FingerprintModule.Stores()) {
    Stores.push_back(S.Slot);
  }
  EXPECT_EQ(Stores, Case.Stores);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, PasswordSources,
    ::testing::Values(
        // The module's slots: the password must be set and the reply must name the slot.
        StageCase{"AZeroAdministratorSlotWithoutAnAdministratorPassword",
                  "user",
                  "",
                  {{FP_SLOT_ADMIN, Zeros}},
                  std::nullopt,
                  std::nullopt,
                  u"user\r",
                  AUTH_USER_VERIFIED,
                  {"User"},
                  true,
                  {FP_SLOT_USER}},
        StageCase{"AZeroUserSlotWithoutAUserPassword",
                  "",
                  "admin",
                  {{FP_SLOT_USER, Zeros}},
                  std::nullopt,
                  std::nullopt,
                  u"admin\r",
                  AUTH_ADMIN_VERIFIED,
                  {"Administrator"},
                  true,
                  {FP_SLOT_ADMIN}},
        StageCase{"ARightAdministratorSlotTheReplyDoesNotName",
                  "",
                  "admin",
                  {{FP_SLOT_ADMIN, SetupForm("admin")}},
                  0,
                  std::nullopt,
                  u"admin\r",
                  AUTH_ADMIN_VERIFIED,
                  {"Administrator"},
                  true,
                  {FP_SLOT_ADMIN}},
        StageCase{"ARightUserSlotTheReplyDoesNotName",
                  "user",
                  "",
                  {{FP_SLOT_USER, ModuleForm("user")}},
                  0,
                  std::nullopt,
                  u"user\r",
                  AUTH_USER_VERIFIED,
                  {"User"},
                  true,
                  {FP_SLOT_USER}},
        // Both module passwords right: the administrator's ends the check.
        StageCase{"TheAdministratorSlotBeforeTheUserSlot",
                  "user",
                  "admin",
                  {{FP_SLOT_ADMIN, ModuleForm("admin")}, {FP_SLOT_USER, ModuleForm("user")}},
                  std::nullopt,
                  std::nullopt,
                  u"",
                  AUTH_ADMIN_VERIFIED,
                  {},
                  false,
                  {}},
        // The caller's answer: a zero answer for a password that is not set verifies nothing
        // and stores nothing.
        StageCase{"TheCallersZeroAdministratorAnswer",
                  "user",
                  "",
                  {},
                  std::nullopt,
                  std::make_pair(SetupForm("user"), Zeros),
                  u"",
                  AUTH_USER_VERIFIED,
                  {},
                  true,
                  {FP_SLOT_USER}},
        StageCase{"TheCallersZeroUserAnswer",
                  "",
                  "admin",
                  {},
                  std::nullopt,
                  std::make_pair(Zeros, SetupForm("admin")),
                  u"",
                  AUTH_ADMIN_VERIFIED,
                  {},
                  true,
                  {FP_SLOT_ADMIN}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test
