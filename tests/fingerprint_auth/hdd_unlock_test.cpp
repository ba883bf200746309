// The hard-disk unlock of FingerprintAuthDxe, from its image on the board: drive numbering, the
// drive map with serial-number recognition, caller candidates, remembered slots, the prompt and
// what it learns, the halt.
#include "fingerprint_board.h"

#include <optional>
#include <string>

namespace sim::test {
namespace {

// A 50-byte drive map: valid flag, dirty flag, six 8-byte entries.
struct DriveMapImage {
  std::vector<uint8_t> Bytes = std::vector<uint8_t>(50, 0);
  uint8_t *Entry(int Drive) { return Bytes.data() + 2 + 8 * Drive; }
  void SetEntry(int Drive, uint16_t Crc, std::initializer_list<int> SlotBytes) {
    uint8_t *E = Entry(Drive);
    E[0] = (uint8_t)Crc;
    E[1] = (uint8_t)(Crc >> 8);
    for (int Offset : SlotBytes) {
      E[Offset] = 1;
    }
  }
};

std::vector<uint8_t> EntryOf(const std::vector<uint8_t> &Map, int Drive) {
  return std::vector<uint8_t>(Map.begin() + 2 + 8 * Drive, Map.begin() + 10 + 8 * Drive);
}

std::vector<uint8_t> EntryBytes(uint16_t Crc, std::initializer_list<int> SlotBytes) {
  std::vector<uint8_t> E(8, 0);
  E[0] = (uint8_t)Crc;
  E[1] = (uint8_t)(Crc >> 8);
  for (int Offset : SlotBytes) {
    E[Offset] = 1;
  }
  return E;
}

// A boot run on a notebook with locked drives and no system password: the gate lets it through
// for the locked drive, and no caller answer is asked for.
struct DiskRun {
  Notebook N;
  std::vector<ModuleStoreRecord> Stores() const { return N.B.FingerprintModule.Stores(); }
  std::vector<VerifyAttempt> Attempts() const { return N.B.Sata.Attempts(); }
  std::vector<uint8_t> Map() const { return N.Variable(u"FpHdp2HdpMapFlag"); }
};

// ---- numbering ------------------------------------------------------------------------------
struct NumberCase {
  uint32_t Channel, Device;
  uint8_t Function;
  int Number; // -1: the drive is not handled
};

class DriveNumbering : public ::testing::TestWithParam<NumberCase> {};

TEST_P(DriveNumbering, FromChannelDeviceAndControllerFunction) {
  const NumberCase &Case = GetParam();
  DiskRun T;
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", Case.Channel, Case.Device, Case.Function,
                                           ModuleForm("disk"));
  T.N.B.Console.QueueText(u"disk\r");
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  if (Case.Number < 0) {
    EXPECT_TRUE(T.Attempts().empty());
    EXPECT_TRUE(D.Locked);
    EXPECT_EQ(T.N.B.Console.PendingKeys().size(), 5u) << "no prompt for this drive";
    return;
  }
  ASSERT_FALSE(T.Attempts().empty());
  EXPECT_EQ(T.Attempts().front().DriveNumber, Case.Number);
  EXPECT_FALSE(D.Locked);
  std::u16string Prompt = u" missing Hard Disk Password for SATA Drive: " +
                          std::u16string(1, (char16_t)(u'0' + Case.Number));
  EXPECT_TRUE(T.N.AnyScreenContains(R, Narrow(Prompt)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, DriveNumbering,
    ::testing::Values(NumberCase{0, 0, 0, 0}, NumberCase{1, 0, 0, 1}, NumberCase{0, 1, 0, 2},
                      NumberCase{1, 1, 0, 3}, NumberCase{3, 0, 0, 3}, NumberCase{5, 0, 0, 5},
                      NumberCase{6, 0, 0, -1}, NumberCase{0, 2, 0, -1}, NumberCase{0, 2, 1, -1},
                      NumberCase{2, 1, 0, -1}, NumberCase{0, 0, 1, 4}, NumberCase{1, 0, 1, 5},
                      NumberCase{0, 1, 1, -1}, NumberCase{1, 1, 1, -1}, NumberCase{0, 0, 2, -1}),
    [](const auto &Info) {
      return "Channel" + std::to_string(Info.param.Channel) + "Device" +
             std::to_string(Info.param.Device) + "Function" + std::to_string(Info.param.Function);
    });

// ---- what is skipped --------------------------------------------------------------------------
TEST(DriveStates, FrozenUnlockedAndUnsecuredDrivesAreLeftAlone) {
  DiskRun T;
  SataDrive &Frozen = T.N.B.Sata.AddLockedDrive("frozen", 0, 0, 0, ModuleForm("disk"));
  Frozen.Frozen = true;
  SataDrive &Open = T.N.B.Sata.AddLockedDrive("open", 1, 0, 0, ModuleForm("disk"));
  T.N.B.Sata.AddDrive("plain", 0, 1, 0);
  SataDrive &Locked = T.N.B.Sata.AddLockedDrive("locked", 1, 1, 0, ModuleForm("disk"));
  Open.Locked = false;
  T.N.B.Console.QueueText(u"disk\r");
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  ASSERT_EQ(T.Attempts().size(), 1u);
  EXPECT_EQ(T.Attempts()[0].DriveNumber, 3);
  EXPECT_FALSE(Locked.Locked);
  EXPECT_TRUE(Frozen.Locked);
}

// ---- the prompt and what it learns
// ---------------------------------------------------------------
TEST(DiskPrompt, ATypedPasswordOpensTheDriveAndGoesIntoTheFirstFreeSlot) {
  DiskRun T;
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 1, 0, 0, ModuleForm("drivepw"));
  D.SetSerial("WD-123456789");
  T.N.PutVariable(u"SysPwdInvalidError", 7, {0x0B}); // drive 1's bit 0x08 among others
  T.N.B.Console.QueueText(u"wrong\rdrivepw\r");
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  ASSERT_EQ(T.Stores().size(), 1u);
  EXPECT_EQ(T.Stores()[0].Slot, FP_SLOT_DISK1);
  EXPECT_EQ(T.Stores()[0].Password, ModuleForm("drivepw"));
  std::vector<uint8_t> Map = T.Map();
  ASSERT_EQ(Map.size(), 50u);
  EXPECT_EQ(Map[0], 1); // valid
  EXPECT_EQ(Map[1], 0); // stored clean
  EXPECT_EQ(EntryOf(Map, 1), EntryBytes(Crc16(D.Serial), {4}));
  EXPECT_EQ(T.N.Variable(u"SysPwdInvalidError"), std::vector<uint8_t>{0x03});
  EXPECT_TRUE(T.N.AnyScreenContains(R, " Password Incorrect.  Try again."));
  // Both user and master were tried with the wrong password, then the user password opened it.
  std::vector<uint8_t> Types;
  for (const VerifyAttempt &A : T.Attempts()) {
    Types.push_back(A.Type);
  }
  EXPECT_EQ(Types, (std::vector<uint8_t>{0, 1, 0}));
  // Neither the typed line nor the drive's form of it stays in the board's memory.
  EXPECT_FALSE(T.N.B.MemoryContains(TypedBytes("drivepw")));
  EXPECT_FALSE(T.N.B.MemoryContains(Bytes(ModuleForm("drivepw"))));
}

TEST(DiskPrompt, APasswordTheModuleHoldsAsAdministratorIsOnlyRemembered) {
  DiskRun T;
  T.N.SetPasswords("", "admin");
  T.N.B.FingerprintModule.SetSlot(FP_SLOT_ADMIN, ModuleForm("shared"));
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("shared"));
  T.N.B.Console.QueueText(u"shared\r");
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  EXPECT_TRUE(T.Stores().empty());
  EXPECT_EQ(EntryOf(T.Map(), 0), EntryBytes(Crc16(D.Serial), {2}));
}

TEST(DiskPrompt, MasterPasswordOpensToo) {
  DiskRun T;
  SataDrive &D =
      T.N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("user pw"), ModuleForm("master"));
  T.N.B.Console.QueueText(u"master\r");
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  ASSERT_EQ(T.Attempts().size(), 2u);
  EXPECT_EQ(T.Attempts()[1].Type, 1);
}

TEST(DiskPrompt, EnterAloneLeavesTheDriveLockedAndGoesOn) {
  DiskRun T;
  SataDrive &First = T.N.B.Sata.AddLockedDrive("first", 0, 0, 0, ModuleForm("one"));
  SataDrive &Second = T.N.B.Sata.AddLockedDrive("second", 1, 0, 0, ModuleForm("two"));
  T.N.B.Console.QueueText(u"\rtwo\r");
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_TRUE(First.Locked);
  EXPECT_FALSE(Second.Locked);
}

TEST(DiskPrompt, ThreeWrongPasswordsHaltWithTheDrivesBit) {
  DiskRun T;
  T.N.B.Sata.AddLockedDrive("disk", 0, 1, 0, ModuleForm("disk")); // drive 2
  T.N.B.Console.QueueText(u"a\rb\rc\r");
  AuthRun R = T.N.Run(0);
  ASSERT_EQ(R.How, AuthOutcome::Halted) << R.Message;
  EXPECT_EQ(T.N.Variable(u"SysPwdInvalidError"), std::vector<uint8_t>{0x10});
  EXPECT_EQ(T.N.B.Tpl, TPL_HIGH_LEVEL);
  EXPECT_TRUE(T.N.B.Console.Screen().Contains(u" Fatal Error... System Halted"));
  // A boot run sends no request 4 before this halt.
  EXPECT_NE(T.N.RequestCodes().back(), FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN);
}

// Every locked drive gets its prompt: with the three hard-disk slots taken by three drives, a
// fourth is still opened by its typed password, which is learned nowhere.
TEST(DiskPrompt, AFourthDriveIsPromptedOnceAllThreeSlotsAreClaimed) {
  DiskRun T;
  std::vector<SataDrive *> Drives;
  for (uint32_t Channel = 0; Channel < 4; Channel++) {
    Drives.push_back(&T.N.B.Sata.AddLockedDrive("disk" + std::to_string(Channel), Channel % 2,
                                                Channel / 2, 0,
                                                ModuleForm("pw" + std::to_string(Channel))));
  }
  T.N.B.Console.QueueText(u"pw0\rpw1\rpw2\rpw3\r");
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_EQ(T.Stores().size(), 3u);
  EXPECT_FALSE(Drives[2]->Locked);
  EXPECT_FALSE(Drives[3]->Locked);
  EXPECT_TRUE(T.N.B.Console.PendingKeys().empty());
  EXPECT_TRUE(T.N.AnyScreenContains(R, " missing Hard Disk Password for SATA Drive: 3"));
  EXPECT_EQ(EntryOf(T.Map(), 3), EntryBytes(Crc16(Drives[3]->Serial), {}));
}

// ---- caller candidates
// ---------------------------------------------------------------------------
struct CandidateCase {
  const char *Name;
  std::array<std::string, 4> Candidates; // empty: all-zero candidate
  std::optional<uint16_t> StoredSlot;    // the module learns the opening password in this slot
  int EntryByte;                         // the map byte set for the drive
};

class CallerCandidates : public ::testing::TestWithParam<CandidateCase> {};

TEST_P(CallerCandidates, OpenTheDriveAndTeachTheMapAndModule) {
  const CandidateCase &Case = GetParam();
  DiskRun T;
  // A user password the caller answers right, so that its candidates are asked for.
  T.N.SetPasswords("user", "");
  T.N.Engine.Answers.AnswerFlag = 1;
  T.N.Engine.Answers.User = SetupForm("user");
  for (size_t I = 0; I < 4; I++) {
    if (!Case.Candidates[I].empty()) {
      T.N.Engine.Answers.DiskCandidates[I] = ModuleForm(Case.Candidates[I]);
    }
  }
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_EQ(R.AuthFlags & AUTH_USER_VERIFIED, AUTH_USER_VERIFIED);
  EXPECT_FALSE(D.Locked);
  std::vector<ModuleStoreRecord> DiskStores;
  for (const ModuleStoreRecord &S : T.Stores()) {
    if (S.Slot != FP_SLOT_USER) {
      DiskStores.push_back(S);
    }
  }
  if (Case.StoredSlot) {
    ASSERT_EQ(DiskStores.size(), 1u);
    EXPECT_EQ(DiskStores[0].Slot, *Case.StoredSlot);
    EXPECT_EQ(DiskStores[0].Password, ModuleForm("disk"));
  } else {
    EXPECT_TRUE(DiskStores.empty());
  }
  std::vector<uint8_t> Map = T.Map();
  ASSERT_EQ(Map.size(), 50u);
  EXPECT_EQ(Map[0], 1);
  EXPECT_EQ(Map[1], 0);
  EXPECT_EQ(EntryOf(Map, 0), EntryBytes(Crc16(D.Serial), {Case.EntryByte}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallerCandidates,
    ::testing::Values(CandidateCase{"FirstOpens", {"disk", "", "", ""}, FP_SLOT_DISK1, 4},
                      CandidateCase{"SecondOpens", {"x", "disk", "", ""}, FP_SLOT_DISK2, 5},
                      CandidateCase{"ThirdOpens", {"x", "", "disk", ""}, FP_SLOT_DISK3, 6},
                      // A fourth candidate that none of the others equals is learned like a
                      // typed password: the first free hard-disk slot.
                      CandidateCase{"NewFourthIsLearned", {"x", "", "", "disk"}, FP_SLOT_DISK1, 4}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// ---- the remembered map
// ---------------------------------------------------------------------------
TEST(DriveMap, ARememberedSlotOpensWithoutPromptAndTheMapStaysAsStored) {
  DiskRun T;
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 1, 0, 0, ModuleForm("disk"));
  T.N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("disk"));
  DriveMapImage Map;
  Map.Bytes[0] = 1;
  Map.SetEntry(1, Crc16(D.Serial), {4});
  T.N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map.Bytes);
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  EXPECT_TRUE(T.N.WritesOf(u"FpHdp2HdpMapFlag").empty());
  EXPECT_TRUE(T.Stores().empty());
  EXPECT_EQ(T.N.B.Console.KeyReads(), 0u);
}

TEST(DriveMap, ADriveThatMovedTakesItsSlotsToItsNewNumber) {
  DiskRun T;
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 0, 1, 0, ModuleForm("disk")); // drive 2
  D.SetSerial("MOVED-DRIVE-0001");
  T.N.B.FingerprintModule.SetSlot(FP_SLOT_DISK2, ModuleForm("disk"));
  DriveMapImage Map;
  Map.Bytes[0] = 1;
  Map.SetEntry(1, Crc16(D.Serial), {5}); // remembered as drive 1
  Map.SetEntry(2, 0x1234, {4});          // another drive was number 2
  T.N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map.Bytes);
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  std::vector<uint8_t> Stored = T.Map();
  ASSERT_EQ(Stored.size(), 50u);
  EXPECT_EQ(EntryOf(Stored, 2), EntryBytes(Crc16(D.Serial), {5}));
  EXPECT_EQ(EntryOf(Stored, 1), EntryBytes(0x1234, {4}));
  EXPECT_EQ(T.N.B.Console.KeyReads(), 0u);
}

TEST(DriveMap, ANewDriveAtAnOldNumberForgetsTheSlotThatFails) {
  DiskRun T;
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("newdisk"));
  T.N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("olddisk"));
  DriveMapImage Map;
  Map.Bytes[0] = 1;
  Map.SetEntry(0, 0xBEEF, {4});
  T.N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map.Bytes);
  T.N.B.Console.QueueText(u"newdisk\r");
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_FALSE(D.Locked);
  // Slot 1 failed and was forgotten; the typed password then took the free slot 1.
  ASSERT_EQ(T.Stores().size(), 1u);
  EXPECT_EQ(T.Stores()[0].Slot, FP_SLOT_DISK1);
  EXPECT_EQ(EntryOf(T.Map(), 0), EntryBytes(Crc16(D.Serial), {4}));
}

TEST(DriveMap, ARememberedUserPasswordThatFailsIsForgottenAndTheAdminNotTried) {
  DiskRun T;
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  T.N.SetPasswords("", "admin");
  T.N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("stale"));
  T.N.B.FingerprintModule.SetSlot(FP_SLOT_ADMIN, ModuleForm("disk"));
  DriveMapImage Map;
  Map.Bytes[0] = 1;
  Map.SetEntry(0, Crc16(D.Serial), {2, 3});
  T.N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map.Bytes);
  T.N.B.Console.QueueText(u"\r"); // no typed password
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_TRUE(D.Locked);
  EXPECT_EQ(T.Attempts().size(), 2u); // the user password as user and as master only
  EXPECT_EQ(EntryOf(T.Map(), 0), EntryBytes(Crc16(D.Serial), {2}));
}

TEST(DriveMap, OnFirmwareThatRefusesItsVariableNamesTheRunStillCompletes) {
  // EDK II based firmware refuses undefined names under EFI_GLOBAL_VARIABLE: the map and the
  // error bits cannot be stored there, and the run goes on without them.
  DiskRun T;
  T.N.B.Variables.RefuseUndefinedGlobalNames = true;
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  T.N.B.Console.QueueText(u"disk\r");
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_FALSE(D.Locked);
  std::vector<VariableCall> MapWrites = T.N.WritesOf(u"FpHdp2HdpMapFlag");
  ASSERT_EQ(MapWrites.size(), 1u);
  EXPECT_EQ(MapWrites[0].Status, EFI_INVALID_PARAMETER);
  EXPECT_TRUE(T.Map().empty());
}

TEST(DriveMap, TheDefaultBootRunOpensTheDriveWithTheFinger) {
  // The notebook as shipped: a user password and a locked drive, both held by the enrolled
  // finger's module slots, and the map learned on an earlier boot.
  DiskRun T;
  T.N.SetPasswords("user", "");
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  T.N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("user"));
  T.N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("disk"));
  DriveMapImage Map;
  Map.Bytes[0] = 1;
  Map.SetEntry(0, Crc16(D.Serial), {4});
  T.N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map.Bytes);
  AuthRun R = T.N.Run(0);
  T.N.ExpectCleanReturn(R);
  EXPECT_EQ(R.Status, EFI_SUCCESS);
  EXPECT_EQ(R.AuthFlags, AUTH_USER_VERIFIED | AUTH_CONSOLE_RESTORED);
  EXPECT_FALSE(D.Locked);
  EXPECT_EQ(T.N.B.Console.KeyReads(), 0u);
  EXPECT_EQ(T.N.RequestCodes(), (std::vector<uint8_t>{FP_REQUEST_OPEN, FP_REQUEST_FINGERPRINT}));
}

} // namespace
} // namespace sim::test

namespace sim::test {
namespace {

// ---- the drive's count of refused unlocks
// ---------------------------------------------------------------------------
// A drive counts refused unlocks (user and master together) and, once its count expires,
// refuses everything until it is powered off: no refused verify is ever sent again, and a drive
// that reports its count expired is given no password but stops the machine with its own text.
struct AttemptCase {
  const char *Name;
  void (*Prepare)(DiskRun &T, SataDrive &D);
  const char16_t *Keys;
  bool Opens;           // the run returns with the drive open; otherwise it halts
  unsigned VerifyCalls; // verifies that reached the drive
};

void AnswerUserWithCandidates(DiskRun &T, std::initializer_list<const char *> Candidates) {
  T.N.SetPasswords("user", "");
  T.N.Engine.Answers.AnswerFlag = 1;
  T.N.Engine.Answers.User = SetupForm("user");
  size_t I = 0;
  for (const char *C : Candidates) {
    T.N.Engine.Answers.DiskCandidates[I++] = ModuleForm(C);
  }
}

class DriveAttempts : public ::testing::TestWithParam<AttemptCase> {};

TEST_P(DriveAttempts, NoRefusedVerifyIsRepeatedAndAnExpiredCountHalts) {
  const AttemptCase &Case = GetParam();
  DiskRun T;
  SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 1, 0, 0, ModuleForm("disk")); // drive 1
  Case.Prepare(T, D);
  T.N.B.Console.QueueText(Case.Keys);
  AuthRun R = T.N.Run(0);
  EXPECT_EQ(D.VerifyCalls, Case.VerifyCalls);
  EXPECT_EQ(D.VerifyCalls, T.Attempts().size());
  for (size_t I = 0; I < T.Attempts().size(); I++) {
    for (size_t J = 0; J < I; J++) {
      EXPECT_FALSE(T.Attempts()[I].Type == T.Attempts()[J].Type &&
                   T.Attempts()[I].Password == T.Attempts()[J].Password)
          << "verify " << I << " repeats verify " << J;
    }
  }
  const std::u16string Used = u" Hard Disk Password attempts used up for SATA Drive: 1";
  if (Case.Opens) {
    T.N.ExpectCleanReturn(R);
    EXPECT_FALSE(D.Locked);
    EXPECT_FALSE(T.N.AnyScreenContains(R, Narrow(Used)));
    return;
  }
  ASSERT_EQ(R.How, AuthOutcome::Halted) << OutcomeName(R.How) << ": " << R.Message;
  EXPECT_TRUE(D.Locked);
  EXPECT_EQ(T.N.Variable(u"SysPwdInvalidError"), std::vector<uint8_t>{0x08});
  EXPECT_EQ(T.N.B.Tpl, TPL_HIGH_LEVEL);
  const ScreenImage &Screen = T.N.B.Console.Screen();
  EXPECT_TRUE(Screen.Contains(Used));
  EXPECT_TRUE(Screen.Contains(u" The drive refuses every password until the machine"));
  EXPECT_TRUE(Screen.Contains(u" is powered off."));
  EXPECT_TRUE(Screen.Contains(u" Fatal Error... System Halted"));
  EXPECT_FALSE(Screen.Contains(u" Password check failed"));
  EXPECT_FALSE(T.N.B.MemoryContains(Bytes(ModuleForm("c"))));
}

INSTANTIATE_TEST_SUITE_P(
    Table, DriveAttempts,
    ::testing::Values(
        // Wrong, the same wrong again, right: the repeat costs nothing, so a drive that expires
        // after four refusals still opens with the right entry.
        AttemptCase{"RepeatedEntryIsNotResent", [](DiskRun &, SataDrive &D) { D.AttemptLimit = 4; },
                    u"wrong\rwrong\rdisk\r", true, 3},
        // Three equal stale candidates cost two refusals, not six.
        AttemptCase{"RepeatedCandidatesAreNotResent",
                    [](DiskRun &T, SataDrive &) {
                      AnswerUserWithCandidates(T, {"stale", "stale", "stale"});
                    },
                    u"disk\r", true, 3},
        // A typed entry equal to a remembered slot that was refused is not sent again.
        AttemptCase{"TypedEqualToRefusedSlot",
                    [](DiskRun &T, SataDrive &D) {
                      D.AttemptLimit = 3;
                      T.N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("stale"));
                      DriveMapImage Map;
                      Map.Bytes[0] = 1;
                      Map.SetEntry(1, Crc16(D.Serial), {4});
                      T.N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map.Bytes);
                    },
                    u"stale\rdisk\r", true, 3},
        // Three different wrong entries: the fifth refusal expires the count before the third
        // entry's master try.
        AttemptCase{"CountExpiresWhileTyping", [](DiskRun &, SataDrive &) {}, u"a\rb\rc\r", false,
                    5},
        // A drive whose count expired earlier in this boot gets no password at all, not even
        // the remembered one.
        AttemptCase{"ExpiredBeforeTheRun",
                    [](DiskRun &T, SataDrive &D) {
                      D.WrongAttempts = D.AttemptLimit;
                      T.N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("disk"));
                      DriveMapImage Map;
                      Map.Bytes[0] = 1;
                      Map.SetEntry(1, Crc16(D.Serial), {4});
                      T.N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map.Bytes);
                    },
                    u"", false, 0},
        AttemptCase{"ExpiredCandidateRun",
                    [](DiskRun &T, SataDrive &D) {
                      D.WrongAttempts = D.AttemptLimit;
                      AnswerUserWithCandidates(T, {"disk"});
                    },
                    u"", false, 0}),
    [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test

namespace sim::test {
namespace {

// A failing hash entry 1 gives no password: the typed entry counts as a wrong one, and no verify
// is spent on whatever the entry left in its output.
TEST(DiskPrompt, AFailingHashEntryIsAWrongEntryWithoutAVerify) {
  for (bool Writes : {true, false}) {
    SCOPED_TRACE(Writes);
    DiskRun T;
    SataDrive &D = T.N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
    T.N.B.Hash.FailEntry(1, EFI_DEVICE_ERROR, Writes);
    T.N.B.Console.QueueText(u"disk\r\r");
    AuthRun R = T.N.Run(0);
    T.N.ExpectCleanReturn(R);
    EXPECT_EQ(D.VerifyCalls, 0u);
    EXPECT_TRUE(D.Locked);
    EXPECT_TRUE(T.Stores().empty());
    EXPECT_TRUE(T.N.AnyScreenContains(R, " Password Incorrect.  Try again."));
    EXPECT_TRUE(T.N.B.Console.PendingKeys().empty());
  }
}

} // namespace
} // namespace sim::test
