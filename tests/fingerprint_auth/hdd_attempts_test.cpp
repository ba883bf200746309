// FingerprintAuthDxe's hard-disk unlock against the drive's count of refused unlocks, from its
// image on the board: the owner keeps the prompt's three tries whatever the automatic passwords
// were, only the drive's refusal counts, refused remembered slots are forgotten before a halt,
// and what the caller's candidates may learn.
#include "fingerprint_board.h"

#include <optional>
#include <string>
#include <vector>

namespace sim::test {
namespace {

// The entry bytes +2..+6 of a drive that are set in a stored 50-byte map.
std::vector<int> EntryBytesSet(const std::vector<uint8_t> &Map, int Drive) {
  std::vector<int> Set;
  for (int Byte = 2; Byte <= 6; Byte++) {
    if (Map.size() == 50 && Map[2 + 8 * Drive + Byte] != 0) {
      Set.push_back(Byte);
    }
  }
  return Set;
}

// A valid map remembering the given entry bytes for a drive (by its serial's CRC).
std::vector<uint8_t> MapRemembering(int Drive, uint16_t Crc, const std::vector<int> &EntryBytes,
                                    std::vector<uint8_t> Map = std::vector<uint8_t>(50, 0)) {
  Map[0] = 1;
  uint8_t *Entry = Map.data() + 2 + 8 * Drive;
  Entry[0] = (uint8_t)Crc;
  Entry[1] = (uint8_t)(Crc >> 8);
  for (int Byte : EntryBytes) {
    Entry[Byte] = 1;
  }
  return Map;
}

void AnswerUser(Notebook &N) {
  N.SetPasswords("user", "");
  N.Engine.Answers.AnswerFlag = 1;
  N.Engine.Answers.User = SetupForm("user");
}

// ---- the owner keeps the prompt --------------------------------------------------------------
// One locked drive (password "right", ATA's five attempts) that refused nothing before the run.
// Stale passwords come first from the caller or from the module's remembered slots; then the
// owner types the right password at the first, second or third try. The drive always opens,
// the machine never halts, and the automatic passwords never cost more than the typed tries
// can spare.
struct StaleSource {
  const char *Name;
  void (*Prepare)(Notebook &N, SataDrive &D);
};

const StaleSource StaleSources[] = {
    {"FourCallerCandidates",
     [](Notebook &N, SataDrive &) {
       AnswerUser(N);
       const char *Stale[] = {"old1", "old2", "old3", "old4"};
       for (size_t I = 0; I < 4; I++) {
         N.Engine.Answers.DiskCandidates[I] = ModuleForm(Stale[I]);
       }
     }},
    {"RememberedSlots",
     [](Notebook &N, SataDrive &D) {
       N.SetPasswords("user", "");
       N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
       N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("old1"));
       N.B.FingerprintModule.SetSlot(FP_SLOT_DISK2, ModuleForm("old2"));
       N.B.FingerprintModule.SetSlot(FP_SLOT_DISK3, ModuleForm("old3"));
       N.PutVariable(u"FpHdp2HdpMapFlag", 7, MapRemembering(0, Crc16(D.Serial), {3, 4, 5, 6}));
     }},
    {"RememberedAdministratorAndSlots",
     [](Notebook &N, SataDrive &D) {
       N.SetPasswords("", "admin");
       N.B.FingerprintModule.SetSlot(FP_SLOT_ADMIN, ModuleForm("oldadmin"));
       N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("old1"));
       N.B.FingerprintModule.SetSlot(FP_SLOT_DISK3, ModuleForm("old3"));
       N.PutVariable(u"FpHdp2HdpMapFlag", 7, MapRemembering(0, Crc16(D.Serial), {2, 4, 6}));
     }},
};

struct TypedAt {
  const char *Name;
  std::u16string Keys;
};

const TypedAt TypedTries[] = {
    {"FirstTry", u"right\r"},
    {"SecondTry", u"wrong1\rright\r"},
    {"ThirdTry", u"wrong1\rwrong2\rright\r"},
};

class OwnerKeepsThePrompt : public ::testing::TestWithParam<std::tuple<StaleSource, TypedAt>> {};

TEST_P(OwnerKeepsThePrompt, WhateverTheAutomaticPasswordsWere) {
  const auto &[Source, Typed] = GetParam();
  Notebook N;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("right"));
  Source.Prepare(N, D);
  N.B.Console.QueueText(Typed.Keys);
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "keys left unread";
  EXPECT_LT(D.WrongAttempts, D.AttemptLimit) << "the drive's count is used up";
  // The automatic passwords (none of them typed) got at most two verifies: five attempts less
  // the three typed tries.
  size_t Automatic = 0;
  for (const VerifyAttempt &A : N.B.Sata.Attempts()) {
    Automatic += A.Password != ModuleForm("right") && A.Password != ModuleForm("wrong1") &&
                 A.Password != ModuleForm("wrong2");
  }
  EXPECT_LE(Automatic, 2u);
  std::vector<uint8_t> Invalid = N.Variable(u"SysPwdInvalidError");
  EXPECT_TRUE(Invalid.empty() || (Invalid[0] & 0x04) == 0) << "drive 0 marked as failed";
}

INSTANTIATE_TEST_SUITE_P(Budget, OwnerKeepsThePrompt,
                         ::testing::Combine(::testing::ValuesIn(StaleSources),
                                            ::testing::ValuesIn(TypedTries)),
                         [](const auto &Info) {
                           return std::string(std::get<0>(Info.param).Name) + "_" +
                                  std::get<1>(Info.param).Name;
                         });

// Automatic passwords alone never use up a drive, even when the owner then leaves the prompt with
// Enter; a second run in the same boot (the drive still locked) spends nothing automatic on it,
// because the driver counts the drive's refusals of the whole boot, and the owner still has
// three typed tries.
TEST(DriveCount, CarriesAcrossTheRunsOfABoot) {
  Notebook N;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("right"));
  AnswerUser(N);
  const char *Stale[] = {"old1", "old2", "old3", "old4"};
  for (size_t I = 0; I < 4; I++) {
    N.Engine.Answers.DiskCandidates[I] = ModuleForm(Stale[I]);
  }
  N.B.Console.QueueText(u"\r");
  AuthRun First = N.Run(0);
  N.ExpectCleanReturn(First);
  EXPECT_TRUE(D.Locked);
  EXPECT_EQ(D.WrongAttempts, 2u);

  size_t Before = N.B.Sata.Attempts().size();
  N.B.Console.QueueText(u"wrong1\rwrong2\rright\r");
  AuthRun Second = N.Run(0);
  N.ExpectCleanReturn(Second);
  EXPECT_FALSE(D.Locked);
  EXPECT_EQ(D.WrongAttempts, 4u);
  // Only the typed entries reached the drive, each as user password.
  std::vector<std::pair<uint8_t, PasswordForm>> Sent;
  for (size_t I = Before; I < N.B.Sata.Attempts().size(); I++) {
    Sent.push_back({N.B.Sata.Attempts()[I].Type, N.B.Sata.Attempts()[I].Password});
  }
  EXPECT_EQ(Sent, (std::vector<std::pair<uint8_t, PasswordForm>>{
                      {HDD_PASSWORD_USER, ModuleForm("wrong1")},
                      {HDD_PASSWORD_USER, ModuleForm("wrong2")},
                      {HDD_PASSWORD_USER, ModuleForm("right")}}));
}

// ---- remembered slots the drive refused are forgotten, also before a halt ---------------------
// The map remembers hard-disk slots 1 and 2 and the user password for the drive; the module's
// slots hold old passwords. Slots 1 and 2 are refused as user passwords (their master verifies
// are not sent: the later remembered password wants the room), the user password is not tried
// for the budget. Three wrong entries then halt the machine: the map stored before the halt has
// forgotten slots 1 and 2 and still remembers the user password, and the next boot tries that
// first.
TEST(RefusedSlots, AreForgottenInTheStoredMapBeforeTheHalt) {
  Notebook N;
  N.SetPasswords("user", "");
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("newpw"));
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("old1"));
  N.B.FingerprintModule.SetSlot(FP_SLOT_DISK2, ModuleForm("old2"));
  N.PutVariable(u"FpHdp2HdpMapFlag", 7, MapRemembering(0, Crc16(D.Serial), {3, 4, 5}));
  N.B.Console.QueueText(u"a\rb\rc\r");
  AuthRun R = N.Run(0);
  ASSERT_EQ(R.How, AuthOutcome::Halted) << OutcomeName(R.How) << ": " << R.Message;
  EXPECT_EQ(N.B.Sata.Attempts().size(), 5u);
  std::vector<uint8_t> Map = N.Variable(u"FpHdp2HdpMapFlag");
  ASSERT_EQ(Map.size(), 50u);
  EXPECT_EQ(Map[0], 1);
  EXPECT_EQ(Map[1], 0);
  EXPECT_EQ(EntryBytesSet(Map, 0), std::vector<int>{3});

  N.B.Reboot();
  N.Load();
  N.B.Console.QueueText(u"newpw\r");
  AuthRun Next = N.Run(0);
  N.ExpectCleanReturn(Next);
  EXPECT_FALSE(D.Locked);
  ASSERT_FALSE(N.B.Sata.Attempts().empty());
  EXPECT_EQ(N.B.Sata.Attempts().front().Password, ModuleForm("user"));
}

// A remembered slot refused as user password is forgotten also when its master verify was not
// sent for the budget; one whose user verify failed on the way to the drive stays, and so does
// one that got no verify at all.
TEST(RefusedSlots, OnlyTheDrivesRefusalForgetsASlot) {
  Notebook N;
  N.SetPasswords("user", "");
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("newpw"));
  D.VerifyFailures = {EFI_DEVICE_ERROR}; // slot 1's user verify never reaches the drive
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("old1"));
  N.B.FingerprintModule.SetSlot(FP_SLOT_DISK2, ModuleForm("old2"));
  N.B.FingerprintModule.SetSlot(FP_SLOT_DISK3, ModuleForm("old3"));
  N.PutVariable(u"FpHdp2HdpMapFlag", 7, MapRemembering(0, Crc16(D.Serial), {3, 4, 5, 6}));
  N.B.Console.QueueText(u"\r");
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_TRUE(D.Locked);
  EXPECT_EQ(D.WrongAttempts, 2u);
  EXPECT_EQ(EntryBytesSet(N.Variable(u"FpHdp2HdpMapFlag"), 0), (std::vector<int>{3, 4}));
}

// ---- only the drive's refusal counts -----------------------------------------------------------
// The verify fails on the way to the drive (EFI_DEVICE_ERROR, EFI_NOT_READY): that condemns no
// password and costs nothing; the same password is sent again and opens the drive.
struct FailureCase {
  const char *Name;
  std::vector<EFI_STATUS> Failures; // of the first verifies
  bool FromCaller;                  // the right password is first the caller's candidate
  std::u16string Keys;
  unsigned WrongAttempts; // the drive's count afterwards
};

class VerifyFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(VerifyFailure, IsNoRefusal) {
  const FailureCase &Case = GetParam();
  Notebook N;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  D.VerifyFailures.assign(Case.Failures.begin(), Case.Failures.end());
  if (Case.FromCaller) {
    AnswerUser(N);
    N.Engine.Answers.DiskCandidates[0] = ModuleForm("disk");
  }
  N.B.Console.QueueText(Case.Keys);
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "keys left unread";
  EXPECT_EQ(D.WrongAttempts, Case.WrongAttempts);
  ASSERT_FALSE(N.B.Sata.Attempts().empty());
  EXPECT_EQ(N.B.Sata.Attempts().back().Password, ModuleForm("disk"));
  EXPECT_EQ(N.B.Sata.Attempts().back().Result, EFI_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, VerifyFailure,
    ::testing::Values(
        // The user verify fails, the master verify is refused (the drive has no master
        // password); the same entry typed again is sent again.
        FailureCase{"TypedAgain", {EFI_DEVICE_ERROR}, false, u"disk\rdisk\r", 1},
        // Both verifies of the first entry fail: nothing is counted.
        FailureCase{"BothFail", {EFI_DEVICE_ERROR, EFI_NOT_READY}, false, u"disk\rdisk\r", 0},
        // The caller's candidate fails on the way: the typed password equal to it is sent.
        FailureCase{
            "CandidateThenTyped", {EFI_DEVICE_ERROR, EFI_DEVICE_ERROR}, true, u"disk\r", 0}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- what a caller's candidate may learn -------------------------------------------------------
// The map remembers hard-disk slots for drives absent this boot, whose passwords the module
// holds. A caller's candidate that opens the present drive goes into a slot no entry remembers,
// or nowhere: no absent drive loses its password, and no entry names a slot that does not hold
// its password.
struct AbsentSlotsCase {
  const char *Name;
  std::vector<int> Remembered;        // hard-disk slots (1..3) remembered by absent drives
  size_t Candidate;                   // which candidate opens the drive (the others are zero)
  std::optional<uint16_t> StoredSlot; // the slot the candidate is stored in
};

class CandidateLearning : public ::testing::TestWithParam<AbsentSlotsCase> {};

TEST_P(CandidateLearning, KeepsTheSlotsOfAbsentDrives) {
  const AbsentSlotsCase &Case = GetParam();
  Notebook N;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  AnswerUser(N);
  N.Engine.Answers.DiskCandidates[Case.Candidate] = ModuleForm("disk");
  std::vector<uint8_t> Map(50, 0);
  Map[0] = 1;
  int Absent = 3;
  for (int Slot : Case.Remembered) {
    Map = MapRemembering(Absent++, (uint16_t)(0x4000 + Slot), {3 + Slot}, Map);
    N.B.FingerprintModule.SetSlot((uint16_t)(FP_SLOT_DISK1 << (Slot - 1)),
                                  ModuleForm("absent" + std::to_string(Slot)));
  }
  N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map);
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  std::vector<uint16_t> DiskStores;
  for (const ModuleStoreRecord &S : N.B.FingerprintModule.Stores()) {
    if (S.Slot != FP_SLOT_USER) {
      DiskStores.push_back(S.Slot);
    }
  }
  std::vector<uint8_t> Stored = N.Variable(u"FpHdp2HdpMapFlag");
  ASSERT_EQ(Stored.size(), 50u);
  if (Case.StoredSlot) {
    EXPECT_EQ(DiskStores, std::vector<uint16_t>{*Case.StoredSlot});
    int Byte = *Case.StoredSlot == FP_SLOT_DISK1 ? 4 : *Case.StoredSlot == FP_SLOT_DISK2 ? 5 : 6;
    EXPECT_EQ(EntryBytesSet(Stored, 0), std::vector<int>{Byte});
  } else {
    EXPECT_TRUE(DiskStores.empty());
    EXPECT_EQ(EntryBytesSet(Stored, 0), std::vector<int>{});
  }
  for (int Slot : Case.Remembered) {
    EXPECT_EQ(N.B.FingerprintModule.Slot((uint16_t)(FP_SLOT_DISK1 << (Slot - 1))),
              ModuleForm("absent" + std::to_string(Slot)));
  }
  EXPECT_TRUE(std::equal(Stored.begin() + 2 + 8 * 3, Stored.end(), Map.begin() + 2 + 8 * 3))
      << "the absent drives' entries changed";
}

INSTANTIATE_TEST_SUITE_P(
    Slots, CandidateLearning,
    ::testing::Values(
        AbsentSlotsCase{"FirstCandidateSlot1Remembered", {1}, 0, FP_SLOT_DISK2},
        AbsentSlotsCase{"SecondCandidateSlot2Remembered", {2}, 1, FP_SLOT_DISK1},
        AbsentSlotsCase{"FirstCandidateEverySlotRemembered", {1, 2, 3}, 0, std::nullopt},
        AbsentSlotsCase{"FourthCandidateEverySlotRemembered", {1, 2, 3}, 3, std::nullopt},
        AbsentSlotsCase{"FourthCandidateSlots1And2Remembered", {1, 2}, 3, FP_SLOT_DISK3}),
    [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test
