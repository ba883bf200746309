// FingerprintAuthDxe leaves no password behind: typed lines, hash outputs, verify buffers, the
// saved request block and the caller's answer are wiped, so that no form of a password is left
// in low memory, pool, pages, the image or the stack the image ran on; and while the run goes on,
// no function leaves one in its dead stack frame when it returns. Only the stored forms that the
// password store itself holds stay, in the driver's copy of that store.
#include "fingerprint_board.h"

#include <functional>

namespace sim::test {
namespace {

struct SecretCase {
  const char *Name;
  std::function<void(Notebook &)> Arrange;
  uint32_t AuthIn;
  std::u16string Keys;
  bool Halts;
  std::vector<std::string> Secrets;       // every form of these: nowhere
  std::vector<std::string> StoredSecrets; // in the store: their stored form in its copy only
};

std::ostream &operator<<(std::ostream &Out, const SecretCase &C) {
  return Out << C.Name;
}

class Secrets : public ::testing::TestWithParam<SecretCase> {};

TEST_P(Secrets, LeaveNoTraceInMemory) {
  const SecretCase &Case = GetParam();
  Notebook N;
  Case.Arrange(N);
  N.B.Console.QueueText(Case.Keys);
  struct Watched {
    std::string Text;
    const char *Form;
    std::vector<uint8_t> Bytes;
    bool Stored; // the setup form of a password the store holds
  };
  std::vector<Watched> All;
  auto Add = [&](const std::string &Text, bool InStore) {
    All.push_back({Text, "typed line", TypedBytes(Text), false});
    All.push_back({Text, "module form", Bytes(ModuleForm(Text)), false});
    All.push_back({Text, "setup form", Bytes(SetupForm(Text)), InStore});
  };
  for (const std::string &Text : Case.Secrets) {
    Add(Text, false);
  }
  for (const std::string &Text : Case.StoredSecrets) {
    Add(Text, true);
  }
  for (const Watched &W : All) {
    N.B.WatchDeadImageStack(W.Bytes);
  }

  AuthRun R = N.Run(Case.AuthIn);
  if (Case.Halts) {
    ASSERT_EQ(R.How, AuthOutcome::Halted) << OutcomeName(R.How) << ": " << R.Message;
  } else {
    N.ExpectCleanReturn(R);
  }
  EXPECT_TRUE(N.B.Console.PendingKeys().empty());
  for (const Watched &W : All) {
    for (const MemoryHit &Hit : N.B.FindInMemory(W.Bytes)) {
      if (W.Stored && Hit.Where.find("SetupPasswordCopy") != std::string::npos) {
        continue;
      }
      ADD_FAILURE() << W.Form << " of \"" << W.Text << "\" at 0x" << std::hex << Hit.Address << " ("
                    << Hit.Where << ")";
    }
  }
}

void LockedDrive(Notebook &N, const std::string &Password, unsigned AttemptLimit = 5) {
  N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm(Password)).AttemptLimit = AttemptLimit;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Secrets,
    ::testing::Values(
        SecretCase{"SystemPromptsWrongThenRight",
                   [](Notebook &N) { N.SetPasswords("usersecret1", "adminsecret"); },
                   AUTH_SYSTEM_PASSWORD_RUN,
                   u"userguess\rusersecret1\radminsecret\r",
                   false,
                   {"userguess"},
                   {"usersecret1", "adminsecret"}},
        SecretCase{"SystemPromptThreeWrong",
                   [](Notebook &N) { N.SetPasswords("usersecret1", ""); },
                   0,
                   u"guess1\rguess2\rguess3\r",
                   true,
                   {"guess1", "guess2", "guess3"},
                   {"usersecret1"}},
        // The module's administrator password only matches after hash entry 5.
        SecretCase{"ModulePasswordThroughHashEntry5",
                   [](Notebook &N) {
                     N.SetPasswords("", "adminsecret");
                     N.B.FingerprintModule.SetSlot(FP_SLOT_ADMIN, ModuleForm("adminsecret"));
                   },
                   AUTH_SYSTEM_PASSWORD_RUN,
                   u"",
                   false,
                   {},
                   {"adminsecret"}},
        // A wrong answer from the caller, hard-disk candidates included, then the prompt.
        SecretCase{"CallerAnswer",
                   [](Notebook &N) {
                     N.SetPasswords("usersecret1", "");
                     N.Engine.Answers.AnswerFlag = 1;
                     N.Engine.Answers.User = SetupForm("callerguess");
                     N.Engine.Answers.DiskCandidates[0] = ModuleForm("callerdisk");
                   },
                   AUTH_SYSTEM_PASSWORD_RUN,
                   u"usersecret1\r",
                   false,
                   {"callerguess", "callerdisk"},
                   {"usersecret1"}},
        // A drive opened by a candidate after a stale one: the module learns it.
        SecretCase{"DiskCandidates",
                   [](Notebook &N) {
                     N.SetPasswords("usersecret1", "");
                     LockedDrive(N, "drivesecret");
                     N.Engine.Answers.AnswerFlag = 1;
                     N.Engine.Answers.User = SetupForm("usersecret1");
                     N.Engine.Answers.DiskCandidates[0] = ModuleForm("stalecandidate");
                     N.Engine.Answers.DiskCandidates[1] = ModuleForm("drivesecret");
                   },
                   0,
                   u"",
                   false,
                   {"stalecandidate", "drivesecret"},
                   {"usersecret1"}},
        SecretCase{"DiskPromptWrongThenRight",
                   [](Notebook &N) { LockedDrive(N, "drivesecret"); },
                   0,
                   u"driveguess\rdrivesecret\r",
                   false,
                   {"driveguess", "drivesecret"},
                   {}},
        // Typed, then erased with Backspace: an empty entry, and the erased characters go too.
        SecretCase{"DiskPromptErasedEntry",
                   [](Notebook &N) { LockedDrive(N, "drivesecret"); },
                   0,
                   u"drivesecret" + std::u16string(11, u'\b') + u"\r",
                   false,
                   {"drivesecret"},
                   {}},
        SecretCase{"DiskPromptThreeWrong",
                   [](Notebook &N) { LockedDrive(N, "drivesecret", 0); },
                   0,
                   u"guess1\rguess2\rguess3\r",
                   true,
                   {"guess1", "guess2", "guess3", "drivesecret"},
                   {}},
        SecretCase{"DiskCountExpires",
                   [](Notebook &N) { LockedDrive(N, "drivesecret"); },
                   0,
                   u"guess1\rguess2\rguess3\r",
                   true,
                   {"guess1", "guess2", "guess3", "drivesecret"},
                   {}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test
