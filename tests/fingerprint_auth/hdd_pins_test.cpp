// FingerprintAuthDxe's hard-disk unlock, from its image on the board: only exactly EFI_SUCCESS
// opens a drive, which drives are collected and probed and what the unlock returns, the
// remembered module slots that open a drive through the map (and those that are passed over),
// a zero candidate, and drive numbers from channels of 256 and more.
#include "device_path_nodes.h"
#include "fingerprint_board.h"

#include <functional>
#include <optional>

namespace sim::test {
namespace {

const PasswordForm Zeros{};

// A valid 50-byte drive map remembering, for one drive, the entry bytes given (2 administrator,
// 3 user, 4..6 hard-disk slots 1..3).
std::vector<uint8_t> MapRemembering(int Drive, const SataDrive &D,
                                    const std::vector<int> &EntryBytes) {
  std::vector<uint8_t> Map(50, 0);
  Map[0] = 1;
  uint8_t *Entry = Map.data() + 2 + 8 * Drive;
  uint16_t Crc = Crc16(D.Serial);
  Entry[0] = (uint8_t)Crc;
  Entry[1] = (uint8_t)(Crc >> 8);
  for (int Byte : EntryBytes) {
    Entry[Byte] = 1;
  }
  return Map;
}

// The entry bytes +2..+6 of a drive that are set in a map.
std::vector<int> EntryBytesSet(const std::vector<uint8_t> &Map, int Drive) {
  std::vector<int> Set;
  for (int Byte = 2; Byte <= 6; Byte++) {
    if (Map.size() == 50 && Map[2 + 8 * Drive + Byte] != 0) {
      Set.push_back(Byte);
    }
  }
  return Set;
}

struct Verify {
  uint8_t Type; // 0 user, 1 master
  PasswordForm Password;
  bool operator==(const Verify &) const = default;
};

std::ostream &operator<<(std::ostream &Out, const Verify &V) {
  Out << (V.Type == HDD_PASSWORD_MASTER ? "master" : "user") << " {";
  for (uint8_t Byte : V.Password) {
    Out << " " << (int)Byte;
  }
  return Out << " }";
}

std::vector<Verify> Verifies(const Notebook &N) {
  std::vector<Verify> Out;
  for (const VerifyAttempt &A : N.B.Sata.Attempts()) {
    Out.push_back({A.Type, A.Password});
  }
  return Out;
}

std::vector<uint16_t> StoredSlots(const Notebook &N) {
  std::vector<uint16_t> Out;
  for (const ModuleStoreRecord &S : N.B.FingerprintModule.Stores()) {
    Out.push_back(S.Slot);
  }
  return Out;
}

Verify User(const std::string &Text) {
  return {HDD_PASSWORD_USER, ModuleForm(Text)};
}
Verify Master(const std::string &Text) {
  return {HDD_PASSWORD_MASTER, ModuleForm(Text)};
}

// ---- only exactly EFI_SUCCESS opens a drive --------------------------------------------------
// The verify service refuses with a warning (non-zero, bit 63 clear): every refusal still counts
// as one, so the master password is tried, the refused password is not sent again, and only
// the right password opens the drive and is learned.
struct WarningCase {
  const char *Name;
  std::vector<std::string> Candidates; // the caller's hard-disk candidates (none: no answer)
  std::u16string Keys;
  std::vector<Verify> Verifies;
  uint16_t StoredSlot;
};

class WarningRefusal : public ::testing::TestWithParam<WarningCase> {};

TEST_P(WarningRefusal, IsARefusal) {
  const WarningCase &Case = GetParam();
  Notebook N;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  D.RefusalStatus = EFI_WARN_BUFFER_TOO_SMALL;
  if (!Case.Candidates.empty()) {
    N.SetPasswords("user", "");
    N.Engine.Answers.AnswerFlag = 1;
    N.Engine.Answers.User = SetupForm("user");
    for (size_t I = 0; I < Case.Candidates.size(); I++) {
      N.Engine.Answers.DiskCandidates[I] = ModuleForm(Case.Candidates[I]);
    }
  }
  N.B.Console.QueueText(Case.Keys);
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_FALSE(D.Locked);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "keys left unread";
  EXPECT_EQ(Verifies(N), Case.Verifies);
  ASSERT_FALSE(N.B.FingerprintModule.Stores().empty());
  const ModuleStoreRecord &Learned = N.B.FingerprintModule.Stores().back();
  EXPECT_EQ(Learned.Slot, Case.StoredSlot);
  EXPECT_EQ(Learned.Password, ModuleForm("disk"));
}

INSTANTIATE_TEST_SUITE_P(
    Verify, WarningRefusal,
    ::testing::Values(WarningCase{"TypedPasswords",
                                  {},
                                  u"wrong\rwrong\rdisk\r",
                                  {User("wrong"), Master("wrong"), User("disk")},
                                  FP_SLOT_DISK1},
                      // The first candidate's master verify waits for the later candidates'
                      // user verifies, and the second, equal one is not sent again.
                      WarningCase{"CallerCandidates",
                                  {"stale", "stale", "disk"},
                                  u"",
                                  {User("stale"), User("disk")},
                                  FP_SLOT_DISK3}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- collecting and probing the drives, and the status of the unlock --------------------------
// Two locked drives: "one" (channel 0, drive 0) and "other" (channel 1, drive 1). Something
// goes wrong with one of them; that drive is left locked without a prompt, and the unlock (the
// run's result in a boot run without a system password) returns the status of the last probe
// made (WhichIde, security status, IDENTIFY), whichever drive it was for.
struct ProbeCase {
  const char *Name;
  std::function<void(SataDrive &)> Break;
  bool BreakFirst;        // "one" is broken and "other" is typed for; else the other way round
  EFI_STATUS Status;      // what the run returns
  unsigned WhichIdeCalls; // of the broken drive
  unsigned IdentifyCalls; // of the broken drive
};

class DriveProbes : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(DriveProbes, SkipAFailingDriveAndReturnTheLastProbesStatus) {
  const ProbeCase &Case = GetParam();
  Notebook N;
  SataDrive &One = N.B.Sata.AddLockedDrive("one", 0, 0, 0, ModuleForm("one"));
  SataDrive &Other = N.B.Sata.AddLockedDrive("other", 1, 0, 0, ModuleForm("other"));
  SataDrive &Broken = Case.BreakFirst ? One : Other;
  SataDrive &Typed = Case.BreakFirst ? Other : One;
  Case.Break(Broken);
  N.B.Sata.Install(); // the drives offer what the case left them
  N.B.Console.QueueText(Case.BreakFirst ? u"other\r" : u"one\r");
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(StatusName(R.Status), StatusName(Case.Status));
  EXPECT_FALSE(Typed.Locked);
  EXPECT_EQ(Broken.VerifyCalls, 0u);
  EXPECT_EQ(Broken.WhichIdeCalls, Case.WhichIdeCalls);
  EXPECT_EQ(Broken.IdentifyCalls, Case.IdentifyCalls);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "keys left unread";
}

std::vector<uint8_t> PathWithoutPciNode() {
  return {ACPI_DEVICE_PATH,     0x01, 0x0C, 0x00, 0xD0, 0x41, 0x03, 0x0A, 0, 0, 0, 0,
          END_DEVICE_PATH_TYPE, 0xFF, 0x04, 0x00};
}

// A PCI node after the end of the first instance is not the drive's.
std::vector<uint8_t> PciNodeAfterTheEnd() {
  return {ACPI_DEVICE_PATH,
          0x01,
          0x0C,
          0x00,
          0xD0,
          0x41,
          0x03,
          0x0A,
          0,
          0,
          0,
          0,
          END_DEVICE_PATH_TYPE,
          0x01,
          0x04,
          0x00,
          HARDWARE_DEVICE_PATH,
          HW_PCI_DP,
          0x06,
          0x00,
          0x00,
          0x11,
          END_DEVICE_PATH_TYPE,
          0xFF,
          0x04,
          0x00};
}

INSTANTIATE_TEST_SUITE_P(
    Probes, DriveProbes,
    ::testing::Values(
        // A drive with security enabled but not locked is probed in full and left alone.
        ProbeCase{"NotLocked", [](SataDrive &D) { D.Locked = false; }, false, EFI_SUCCESS, 2, 1},
        ProbeCase{"WhichIdeFails", [](SataDrive &D) { D.WhichIdeStatus = EFI_DEVICE_ERROR; }, false,
                  EFI_DEVICE_ERROR, 1, 0},
        // WhichIde is asked a second time once the drive has a number; its failure skips too.
        ProbeCase{"SecondWhichIdeFails",
                  [](SataDrive &D) {
                    D.WhichIdeScript = {EFI_SUCCESS, EFI_NOT_READY};
                  },
                  false, EFI_NOT_READY, 2, 0},
        ProbeCase{"SecurityStatusFails",
                  [](SataDrive &D) { D.SecurityStatusResult = EFI_ACCESS_DENIED; }, false,
                  EFI_ACCESS_DENIED, 2, 0},
        ProbeCase{"IdentifyFails", [](SataDrive &D) { D.IdentifyStatus = EFI_BAD_BUFFER_SIZE; },
                  false, EFI_BAD_BUFFER_SIZE, 2, 1},
        // The status is the last probe's, not that of a failure before it.
        ProbeCase{"AnEarlierFailureIsNotTheResult",
                  [](SataDrive &D) { D.IdentifyStatus = EFI_BAD_BUFFER_SIZE; }, true, EFI_SUCCESS,
                  2, 1},
        // A drive without a number is skipped after its first WhichIde, which succeeded.
        ProbeCase{"NoDriveNumber", [](SataDrive &D) { D.Device = 2; }, false, EFI_SUCCESS, 1, 0},
        // Drives that are not collected are not probed at all.
        ProbeCase{"NoDiskInfo", [](SataDrive &D) { D.HasDiskInfo = false; }, false, EFI_SUCCESS, 0,
                  0},
        ProbeCase{"NoDevicePath", [](SataDrive &D) { D.HasDevicePath = false; }, false, EFI_SUCCESS,
                  0, 0},
        ProbeCase{"NoPciNode", [](SataDrive &D) { D.CustomDevicePath = PathWithoutPciNode(); },
                  false, EFI_SUCCESS, 0, 0},
        ProbeCase{"PciNodeAfterTheEndOfThePath",
                  [](SataDrive &D) { D.CustomDevicePath = PciNodeAfterTheEnd(); }, false,
                  EFI_SUCCESS, 0, 0}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// Each probed drive gets a fresh 512-byte IDENTIFY buffer. When it cannot be allocated the drive
// is skipped as after a failing probe, and the allocation's status is that probe's.
struct IdentifyBufferCase {
  const char *Name;
  bool FailFirst; // the buffer for "one" cannot be allocated; else the one for "other"
  EFI_STATUS Status;
};

class IdentifyBuffer : public ::testing::TestWithParam<IdentifyBufferCase> {};

TEST_P(IdentifyBuffer, ThatCannotBeAllocatedSkipsItsDrive) {
  const IdentifyBufferCase &Case = GetParam();
  Notebook N;
  SataDrive &One = N.B.Sata.AddLockedDrive("one", 0, 0, 0, ModuleForm("one"));
  SataDrive &Other = N.B.Sata.AddLockedDrive("other", 1, 0, 0, ModuleForm("other"));
  N.B.Sata.Install();
  SataDrive &Skipped = Case.FailFirst ? One : Other;
  SataDrive &Typed = Case.FailFirst ? Other : One;
  N.B.FailPoolAllocationOfSize(512, Case.FailFirst ? 0 : 1);
  N.B.Console.QueueText(Case.FailFirst ? u"other\r" : u"one\r");
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(StatusName(R.Status), StatusName(Case.Status));
  EXPECT_FALSE(Typed.Locked);
  EXPECT_TRUE(Skipped.Locked);
  EXPECT_EQ(Skipped.VerifyCalls, 0u);
  EXPECT_EQ(Skipped.IdentifyCalls, 0u);
  EXPECT_EQ(Typed.IdentifyCalls, 1u);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "keys left unread";
}

INSTANTIATE_TEST_SUITE_P(
    Probes, IdentifyBuffer,
    ::testing::Values(IdentifyBufferCase{"ForTheLastDrive", false, EFI_OUT_OF_RESOURCES},
                      IdentifyBufferCase{"ForAnEarlierDrive", true, EFI_SUCCESS}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(DriveProbes, ARefusedVerifyIsNotTheResult) {
  Notebook N;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  N.B.Console.QueueText(u"bad\r\r"); // a wrong password, then Enter alone
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(StatusName(R.Status), StatusName(EFI_SUCCESS));
  EXPECT_TRUE(D.Locked);
  EXPECT_EQ(D.VerifyCalls, 2u);
}

TEST(DriveProbes, WithoutTheVerifyServiceNoDriveIsHandled) {
  Notebook N;
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  N.B.Sata.SetVerifyPresent(false);
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_EQ(R.AuthFlags & AUTH_USER_VERIFIED, AUTH_USER_VERIFIED);
  EXPECT_TRUE(D.Locked);
  EXPECT_EQ(D.WhichIdeCalls, 0u);
  EXPECT_EQ(N.B.Console.KeyReads(), 0u);
}

// Seven drives with HDD security: only the first six are collected, for the locked-drive question
// and for the unlock. Six drives with security enabled but open come first; the seventh is
// locked.
TEST(DriveProbes, OnlyTheFirstSixDrivesAreCollected) {
  for (bool UserPassword : {false, true}) {
    SCOPED_TRACE(UserPassword ? "with a user password" : "without a password");
    Notebook N;
    std::vector<SataDrive *> Drives;
    for (uint32_t Channel = 0; Channel < 7; Channel++) {
      Drives.push_back(&N.B.Sata.AddLockedDrive("disk" + std::to_string(Channel), Channel % 6, 0, 0,
                                                ModuleForm("disk")));
      Drives.back()->Locked = Channel == 6;
    }
    if (UserPassword) {
      N.SetPasswords("user", "");
      N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
    }
    N.B.Console.QueueNamed("ESC");
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R);
    // Without a password and with no locked drive among the six: the no-password notice.
    EXPECT_EQ(N.AnyScreenContains(R, "Fingerprint Authentication"), !UserPassword);
    EXPECT_EQ(R.Status, UserPassword ? EFI_SUCCESS : EFI_ABORTED);
    for (size_t I = 0; I < 7; I++) {
      EXPECT_EQ(Drives[I]->WhichIdeCalls, UserPassword && I < 6 ? 2u : 0u) << I;
      EXPECT_EQ(Drives[I]->VerifyCalls, 0u) << I;
    }
    EXPECT_TRUE(Drives[6]->Locked);
  }
}

// ---- module slots the map remembers for a drive ---------------------------------------------
// One locked drive (drive 0, password "disk"), a map that remembers entry bytes for it and a
// module holding some slots. The remembered hard-disk slots are tried first (when the reply names
// them and they are not all zero), then the user password (named and not all zero), and only
// when the user password was not tried the administrator password (named; zeros are tried).
struct RememberedCase {
  const char *Name;
  std::vector<int> EntryBytes; // remembered for the drive
  std::vector<std::pair<uint16_t, PasswordForm>> Slots;
  std::optional<uint16_t> ReplyMask;
  std::u16string Keys; // at the prompt, when the drive is still locked
  std::vector<Verify> Verifies;
  std::vector<uint16_t> Stores;
  std::optional<std::vector<int>> MapAfter; // the entry bytes written back; nullopt: no write
};

class RememberedSlots : public ::testing::TestWithParam<RememberedCase> {};

TEST_P(RememberedSlots, OpenTheDriveThroughTheMap) {
  const RememberedCase &Case = GetParam();
  Notebook N;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  N.PutVariable(u"FpHdp2HdpMapFlag", 7, MapRemembering(0, D, Case.EntryBytes));
  for (const auto &[Bit, Form] : Case.Slots) {
    N.B.FingerprintModule.SetSlot(Bit, Form);
  }
  N.B.FingerprintModule.ReplySlotMask = Case.ReplyMask;
  N.B.Console.QueueText(Case.Keys);
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_FALSE(D.Locked);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "keys left unread";
  EXPECT_EQ(N.B.Console.KeyReads() != 0, !Case.Keys.empty()) << "prompted";
  EXPECT_EQ(Verifies(N), Case.Verifies);
  EXPECT_EQ(StoredSlots(N), Case.Stores);
  std::vector<VariableCall> Writes = N.WritesOf(u"FpHdp2HdpMapFlag");
  if (!Case.MapAfter) {
    EXPECT_TRUE(Writes.empty()) << "the map did not change and is not written";
  } else {
    ASSERT_EQ(Writes.size(), 1u);
    EXPECT_EQ(EntryBytesSet(Writes[0].Data, 0), *Case.MapAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Map, RememberedSlots,
    ::testing::Values(
        RememberedCase{"TheUserPassword",
                       {3},
                       {{FP_SLOT_USER, ModuleForm("disk")}},
                       std::nullopt,
                       u"",
                       {User("disk")},
                       {},
                       std::nullopt},
        RememberedCase{"TheAdministratorPassword",
                       {2},
                       {{FP_SLOT_ADMIN, ModuleForm("disk")}},
                       std::nullopt,
                       u"",
                       {User("disk")},
                       {},
                       std::nullopt},
        RememberedCase{"AZeroUserSlotIsPassedForTheAdministrator",
                       {2, 3},
                       {{FP_SLOT_USER, Zeros}, {FP_SLOT_ADMIN, ModuleForm("disk")}},
                       std::nullopt,
                       u"",
                       {User("disk")},
                       {},
                       std::nullopt},
        RememberedCase{"AUserSlotTheReplyDoesNotNameIsPassed",
                       {2, 3},
                       {{FP_SLOT_USER, ModuleForm("other")}, {FP_SLOT_ADMIN, ModuleForm("disk")}},
                       FP_SLOT_ADMIN,
                       u"",
                       {User("disk")},
                       {},
                       std::nullopt},
        RememberedCase{"AnAdministratorSlotTheReplyDoesNotNameIsPassed",
                       {2},
                       {{FP_SLOT_ADMIN, ModuleForm("disk")}},
                       0,
                       u"disk\r",
                       {User("disk")},
                       {FP_SLOT_DISK1},
                       std::vector<int>{2, 4}},
        // The administrator password is tried even when it is all zeros; refused, it is
        // forgotten.
        RememberedCase{"AZeroAdministratorSlotIsTried",
                       {2},
                       {{FP_SLOT_ADMIN, Zeros}},
                       std::nullopt,
                       u"disk\r",
                       {{HDD_PASSWORD_USER, Zeros}, {HDD_PASSWORD_MASTER, Zeros}, User("disk")},
                       {FP_SLOT_DISK1},
                       std::vector<int>{4}},
        RememberedCase{"ADiskSlotTheReplyDoesNotNameIsPassed",
                       {4},
                       {{FP_SLOT_DISK1, ModuleForm("disk")}},
                       0,
                       u"disk\r",
                       {User("disk")},
                       {FP_SLOT_DISK1},
                       std::vector<int>{4}},
        RememberedCase{"AZeroDiskSlotIsPassed",
                       {4, 5},
                       {{FP_SLOT_DISK1, Zeros}, {FP_SLOT_DISK2, ModuleForm("disk")}},
                       std::nullopt,
                       u"",
                       {User("disk")},
                       {},
                       std::nullopt}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// A hard-disk slot that opened a drive through the map is claimed for this run: a second drive
// opened by the same password typed at its prompt is only remembered for that slot (each of the
// three slots, entry bytes +4, +5, +6).
TEST(RememberedSlotsClaim, ASlotThatOpenedADriveIsClaimed) {
  for (int Slot = 1; Slot <= 3; Slot++) {
    SCOPED_TRACE(Slot);
    Notebook N;
    SataDrive &First = N.B.Sata.AddLockedDrive("first", 0, 0, 0, ModuleForm("shared"));
    SataDrive &Second = N.B.Sata.AddLockedDrive("second", 1, 0, 0, ModuleForm("shared"));
    N.PutVariable(u"FpHdp2HdpMapFlag", 7, MapRemembering(0, First, {3 + Slot}));
    N.B.FingerprintModule.SetSlot((uint16_t)(FP_SLOT_DISK1 << (Slot - 1)), ModuleForm("shared"));
    N.B.Console.QueueText(u"shared\r");
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R);
    EXPECT_FALSE(First.Locked);
    EXPECT_FALSE(Second.Locked);
    EXPECT_TRUE(N.B.FingerprintModule.Stores().empty());
    std::vector<VariableCall> Writes = N.WritesOf(u"FpHdp2HdpMapFlag");
    ASSERT_EQ(Writes.size(), 1u);
    EXPECT_EQ(EntryBytesSet(Writes[0].Data, 0), std::vector<int>{3 + Slot});
    EXPECT_EQ(EntryBytesSet(Writes[0].Data, 1), std::vector<int>{3 + Slot});
  }
}

// ---- the slots of other drives -----------------------------------------------------------------
// A caller candidate that opens a drive does not take a hard-disk slot another drive was given
// in this run: it goes to a free slot, so the next boot opens both drives from the map.
TEST(OtherDrivesSlots, ACandidateKeepsOffASlotClaimedInThisRun) {
  Notebook N;
  SataDrive &First = N.B.Sata.AddLockedDrive("first", 0, 0, 0, ModuleForm("typed"));
  SataDrive &Second = N.B.Sata.AddLockedDrive("second", 1, 0, 0, ModuleForm("answered"));
  N.SetPasswords("user", "");
  N.Engine.Answers.AnswerFlag = 1;
  N.Engine.Answers.User = SetupForm("user");
  N.Engine.Answers.DiskCandidates[0] = ModuleForm("answered");
  N.B.Console.QueueText(u"typed\r"); // the first drive refuses the candidate: its prompt
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_FALSE(First.Locked);
  EXPECT_FALSE(Second.Locked);
  EXPECT_EQ(StoredSlots(N), (std::vector<uint16_t>{FP_SLOT_USER, FP_SLOT_DISK1, FP_SLOT_DISK2}));
  EXPECT_EQ(N.B.FingerprintModule.Slot(FP_SLOT_DISK1), ModuleForm("typed"));
  EXPECT_EQ(N.B.FingerprintModule.Slot(FP_SLOT_DISK2), ModuleForm("answered"));
  std::vector<uint8_t> Map = N.Variable(u"FpHdp2HdpMapFlag");
  EXPECT_EQ(EntryBytesSet(Map, 0), std::vector<int>{4});
  EXPECT_EQ(EntryBytesSet(Map, 1), std::vector<int>{5});

  // The next boot: the finger alone opens both drives.
  N.B.Reboot();
  ASSERT_TRUE(First.Locked && Second.Locked);
  N.Load();
  N.Engine.Answers.AnswerFlag = 0;
  AuthRun Next = N.Run(0);
  N.ExpectCleanReturn(Next);
  EXPECT_EQ(Next.AuthFlags & AUTH_USER_VERIFIED, AUTH_USER_VERIFIED);
  EXPECT_FALSE(First.Locked);
  EXPECT_FALSE(Second.Locked);
  for (size_t I = Next.FirstCall; I < N.B.Console.Calls().size(); I++) {
    EXPECT_NE(N.B.Console.Calls()[I].Name, "WaitForKey") << "a prompt in the next boot";
  }
}

// With every hard-disk slot given to another drive in this run, a candidate that opens a drive
// is not stored at all, and the drive's map entry names no slot.
TEST(OtherDrivesSlots, ACandidateWithoutAFreeSlotIsNotLearned) {
  Notebook N;
  std::vector<SataDrive *> Drives;
  for (uint32_t Channel = 0; Channel < 4; Channel++) {
    std::string Password = Channel < 3 ? "typed" + std::to_string(Channel) : "answered";
    Drives.push_back(&N.B.Sata.AddLockedDrive("disk" + std::to_string(Channel), Channel, 0, 0,
                                              ModuleForm(Password)));
  }
  N.SetPasswords("user", "");
  N.Engine.Answers.AnswerFlag = 1;
  N.Engine.Answers.User = SetupForm("user");
  N.Engine.Answers.DiskCandidates[0] = ModuleForm("answered");
  N.B.Console.QueueText(u"typed0\rtyped1\rtyped2\r");
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  for (SataDrive *D : Drives) {
    EXPECT_FALSE(D->Locked) << D->Label;
  }
  EXPECT_EQ(StoredSlots(N),
            (std::vector<uint16_t>{FP_SLOT_USER, FP_SLOT_DISK1, FP_SLOT_DISK2, FP_SLOT_DISK3}));
  EXPECT_EQ(N.B.FingerprintModule.Slot(FP_SLOT_DISK1), ModuleForm("typed0"));
  std::vector<uint8_t> Map = N.Variable(u"FpHdp2HdpMapFlag");
  EXPECT_EQ(EntryBytesSet(Map, 3), std::vector<int>{});
}

// A typed password that opens a new drive goes into the first hard-disk slot that no map entry
// remembers and no drive claimed; a slot remembered for a drive absent this boot is taken only
// when every slot is remembered (then the first one not claimed in this run).
struct AbsentCase {
  const char *Name;
  std::vector<int> Remembered; // hard-disk slots (1..3) remembered by absent drives 3, 4, 5
  uint16_t StoredSlot;
};

class AbsentDrives : public ::testing::TestWithParam<AbsentCase> {};

TEST_P(AbsentDrives, KeepTheirRememberedSlotsWhileOthersAreFree) {
  const AbsentCase &Case = GetParam();
  Notebook N;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  std::vector<uint8_t> Map(50, 0);
  Map[0] = 1;
  int Absent = 3;
  for (int Slot : Case.Remembered) {
    uint8_t *Entry = Map.data() + 2 + 8 * Absent++;
    Entry[0] = (uint8_t)(0x40 + Slot); // a CRC no present drive has
    Entry[3 + Slot] = 1;
    N.B.FingerprintModule.SetSlot((uint16_t)(FP_SLOT_DISK1 << (Slot - 1)),
                                  ModuleForm("absent" + std::to_string(Slot)));
  }
  N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map);
  N.B.Console.QueueText(u"disk\r");
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  EXPECT_EQ(StoredSlots(N), std::vector<uint16_t>{Case.StoredSlot});
  std::vector<uint8_t> Stored = N.Variable(u"FpHdp2HdpMapFlag");
  ASSERT_EQ(Stored.size(), 50u);
  EXPECT_EQ(EntryBytesSet(Stored, 0), std::vector<int>{Case.StoredSlot == FP_SLOT_DISK1   ? 4
                                                       : Case.StoredSlot == FP_SLOT_DISK2 ? 5
                                                                                          : 6});
  // The absent drives' entries are kept as they were.
  EXPECT_TRUE(std::equal(Stored.begin() + 2 + 8 * 3, Stored.end(), Map.begin() + 2 + 8 * 3));
}

INSTANTIATE_TEST_SUITE_P(
    Slots, AbsentDrives,
    ::testing::Values(AbsentCase{"Slot1Remembered", {1}, FP_SLOT_DISK2},
                      AbsentCase{"Slots1And2Remembered", {1, 2}, FP_SLOT_DISK3},
                      AbsentCase{"Slot2Remembered", {2}, FP_SLOT_DISK1},
                      AbsentCase{"EverySlotRemembered", {1, 2, 3}, FP_SLOT_DISK1}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- the locked-drive question ------------------------------------------------------------------
// Every drive is asked: a locked drive is seen whether it comes before or after a drive whose
// security is enabled but open. Without a password the locked drive makes the run go on (no
// notice) and its password is asked for.
TEST(LockedDriveQuestion, EveryDriveIsAsked) {
  for (bool LockedFirst : {true, false}) {
    SCOPED_TRACE(LockedFirst ? "locked drive first" : "locked drive second");
    Notebook N;
    SataDrive *Open = nullptr;
    SataDrive *Locked = nullptr;
    for (int Position = 0; Position < 2; Position++) {
      bool IsLocked = (Position == 0) == LockedFirst;
      SataDrive &D = N.B.Sata.AddLockedDrive(IsLocked ? "locked" : "open", (uint32_t)Position, 0, 0,
                                             ModuleForm(IsLocked ? "locked" : "open"));
      D.Locked = IsLocked;
      (IsLocked ? Locked : Open) = &D;
    }
    N.B.Console.QueueNamed("ESC"); // would end a notice
    N.B.Console.QueueText(u"locked\r");
    AuthRun R = N.Run(0);
    N.ExpectCleanReturn(R);
    EXPECT_FALSE(N.AnyScreenContains(R, "Fingerprint Authentication"));
    EXPECT_EQ(R.Status, EFI_SUCCESS);
    EXPECT_FALSE(Locked->Locked);
    EXPECT_EQ(Open->VerifyCalls, 0u);
  }
}
// ---- the caller's candidates --------------------------------------------------------------------
TEST(CallerCandidate, AnAllZeroCandidateIsNotTried) {
  Notebook N;
  N.SetPasswords("user", "");
  N.Engine.Answers.AnswerFlag = 1;
  N.Engine.Answers.User = SetupForm("user");
  N.Engine.Answers.DiskCandidates[1] = ModuleForm("disk"); // candidate 0 stays all zero
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  EXPECT_EQ(Verifies(N), std::vector<Verify>{User("disk")});
  EXPECT_EQ(StoredSlots(N), (std::vector<uint16_t>{FP_SLOT_USER, FP_SLOT_DISK2}));
}

// ---- channels of 256 and more -------------------------------------------------------------------
// From channel 2 on, with device 0, the drive number is the low 8 bits of the channel.
struct WideChannel {
  const char *Name;
  uint32_t Channel;
  uint8_t Function;
  int Number; // -1: not handled
};

class WideChannels : public ::testing::TestWithParam<WideChannel> {};

TEST_P(WideChannels, GiveTheirLowEightBits) {
  const WideChannel &Case = GetParam();
  Notebook N;
  SataDrive &D =
      N.B.Sata.AddLockedDrive("disk", Case.Channel, 0, Case.Function, ModuleForm("disk"));
  N.B.Console.QueueText(u"disk\r");
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  if (Case.Number < 0) {
    EXPECT_TRUE(D.Locked);
    EXPECT_EQ(D.VerifyCalls, 0u);
    return;
  }
  EXPECT_FALSE(D.Locked);
  ASSERT_EQ(N.B.Sata.Attempts().size(), 1u);
  EXPECT_EQ(N.B.Sata.Attempts()[0].DriveNumber, Case.Number);
  EXPECT_TRUE(N.AnyScreenContains(R, "missing Hard Disk Password for SATA Drive: " +
                                         std::to_string(Case.Number)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, WideChannels,
    ::testing::Values(WideChannel{"Channel256IsDrive0", 256, 0, 0},
                      WideChannel{"Channel0x103IsDrive3", 0x103, 0, 3},
                      WideChannel{"Channel0x101OnFunction1IsDrive5", 0x101, 1, 5},
                      WideChannel{"Channel0x102OnFunction1IsDrive6", 0x102, 1, -1},
                      WideChannel{"Channel0x106IsDrive6", 0x106, 0, -1}),
    [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test
