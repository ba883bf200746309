// FingerprintAuthDxe's run as its caller and the legacy module meet it, from its image on the
// board: the run returns at the caller's task priority level on every path, each module
// request enters the module with nothing but what the request sets, and a drive map that cannot
// be read as 50 bytes is no map, also after an earlier run of the same boot read one.
#include "fingerprint_board.h"

#include <algorithm>
#include <string>
#include <vector>

namespace sim::test {
namespace {

// ---- the caller's task priority level -----------------------------------------------------------
// The caller calls at its level; the run lowers it for its key waits (and the notice's countdown
// raises it) and hands the caller back its own level. A run that returns at another level is a
// board problem (ExpectCleanReturn).
struct TplCase {
  const char *Name;
  EFI_TPL Caller;
  bool Notice; // no password and no locked drive: the notice counts down; else a typed prompt
};

class CallerTpl : public ::testing::TestWithParam<TplCase> {};

TEST_P(CallerTpl, IsTheLevelTheRunReturnsAt) {
  const TplCase &Case = GetParam();
  Notebook N;
  N.Engine.CallTpl = Case.Caller;
  if (!Case.Notice) {
    N.SetPasswords("user", "");
    N.B.Console.QueueText(u"user\r");
  }
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.TplAfter, Case.Caller);
  EXPECT_EQ(R.Status, Case.Notice ? EFI_ABORTED : EFI_SUCCESS);
  EXPECT_EQ(N.AnyScreenContains(R, "Fingerprint Authentication"), Case.Notice);
  // The countdown and the prompt ran at TPL_APPLICATION, where waiting for keys is allowed.
  EXPECT_NE(std::find(N.B.TplChanges.begin(), N.B.TplChanges.end(), TPL_APPLICATION),
            N.B.TplChanges.end());
}

INSTANTIATE_TEST_SUITE_P(Levels, CallerTpl,
                         ::testing::Values(TplCase{"NoticeAtApplication", TPL_APPLICATION, true},
                                           TplCase{"NoticeAtCallback", 8, true},
                                           TplCase{"PromptAtCallback", 8, false},
                                           TplCase{"PromptAtApplication", TPL_APPLICATION, false}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// ---- the register set of each module request -------------------------------------------------
// FarCall86 hands back the registers as the module left them. A request the module answers busy
// is sent again; every attempt enters the module with AX 0, DS:BX at the block and nothing else
// (the module model reports any other register that is not 0).
TEST(ModuleRegisters, EveryAttemptCarriesOnlyWhatTheRequestSets) {
  Notebook N;
  N.SetPasswords("user", "");
  N.B.FingerprintModule.SetSlot(FP_SLOT_USER, ModuleForm("old"));
  N.B.FingerprintModule.AnswerBusy(FP_REQUEST_OPEN, 3);
  N.B.FingerprintModule.AnswerBusy(FP_REQUEST_FINGERPRINT, 2);
  N.B.FingerprintModule.AnswerBusy(FP_REQUEST_STORE_PASSWORD, 2);
  N.B.Console.QueueText(u"user\r");
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  EXPECT_EQ(R.AuthFlags & AUTH_USER_VERIFIED, AUTH_USER_VERIFIED);
  EXPECT_EQ(N.RequestCodes(),
            (std::vector<uint8_t>{FP_REQUEST_OPEN, FP_REQUEST_OPEN, FP_REQUEST_OPEN,
                                  FP_REQUEST_OPEN, FP_REQUEST_FINGERPRINT, FP_REQUEST_FINGERPRINT,
                                  FP_REQUEST_FINGERPRINT, FP_REQUEST_STORE_PASSWORD,
                                  FP_REQUEST_STORE_PASSWORD, FP_REQUEST_STORE_PASSWORD}));
}

// ---- the drive map as read ----------------------------------------------------------------------
// The first run of the boot reads a map that remembers hard-disk slot 1 for the drive, which
// opens it without a prompt. Before the second run (the drive locked again) the stored map is
// replaced by one that cannot be read as 50 bytes: the run must not use the first run's map, so
// the drive is prompted for.
struct MapReadCase {
  const char *Name;
  int Size; // -1: deleted
};

class DriveMapRead : public ::testing::TestWithParam<MapReadCase> {};

TEST_P(DriveMapRead, ThatFailsOrHasAnotherSizeIsNoMap) {
  const MapReadCase &Case = GetParam();
  Notebook N;
  SataDrive &D = N.B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("disk"));
  N.B.FingerprintModule.SetSlot(FP_SLOT_DISK1, ModuleForm("disk"));
  std::vector<uint8_t> Map(50, 0);
  Map[0] = 1;
  uint16_t Crc = Crc16(D.Serial);
  Map[2] = (uint8_t)Crc;
  Map[3] = (uint8_t)(Crc >> 8);
  Map[2 + 4] = 1; // hard-disk slot 1
  N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map);
  AuthRun First = N.Run(0);
  N.ExpectCleanReturn(First);
  ASSERT_FALSE(D.Locked);
  ASSERT_EQ(N.B.Console.KeyReads(), 0u);

  D.Locked = true;
  if (Case.Size < 0) {
    N.B.Variables.Erase(u"FpHdp2HdpMapFlag", EFI_GLOBAL_VARIABLE);
  } else {
    // The same bytes, cut or extended: a map of the wrong size.
    Map.resize((size_t)Case.Size, 0);
    N.PutVariable(u"FpHdp2HdpMapFlag", 7, Map);
  }
  N.B.Console.QueueText(u"disk\r");
  AuthRun Second = N.Run(0);
  N.ExpectCleanReturn(Second);
  EXPECT_FALSE(D.Locked);
  EXPECT_TRUE(N.B.Console.PendingKeys().empty()) << "the drive opened without its prompt";
}

INSTANTIATE_TEST_SUITE_P(Reads, DriveMapRead,
                         ::testing::Values(MapReadCase{"Deleted", -1}, MapReadCase{"Shorter", 49},
                                           MapReadCase{"Longer", 51}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test
