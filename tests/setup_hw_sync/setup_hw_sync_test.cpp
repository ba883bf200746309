// SetupHwSyncDxe, run from its image on the simulated board.
#include "board_test_support.h"

#include <array>
#include <set>
#include <string>

namespace sim::test {
namespace {

constexpr PcieConfigSpace::Location Bridge020{0, 2, 0};

// The Setup bytes this driver may change; every other byte must come back as stored.
const std::set<size_t> WrittenFields = {
    SetupField::StrapGatedOption1,   SetupField::StrapGatedOption2, SetupField::TpmPresent,
    SetupField::LinkedOption1,       SetupField::LinkedOption2,     SetupField::LinkedOption3,
    SetupField::Com2Selection,       SetupField::OptionStrapLatch,  SetupField::Com2StrapLatch,
    SetupField::NvidiaDevicePresent, SetupField::LptStrapActive};

struct Machine {
  bool Com2Strap = false;
  bool LptStrap = false;
  bool OptionStrap = false;
  int GpuVendor = -1; // device behind 0:2.0, -1 for none
  std::array<uint8_t, 4> Tpm{0xFF, 0xFF, 0xFF, 0xFF};
};

void Configure(Board &B, const Machine &M) {
  B.Fch.SetStrap(0xFED80134, M.Com2Strap);
  B.Fch.SetStrap(0xFED80135, M.LptStrap);
  B.Fch.SetStrap(0xFED801E0, M.OptionStrap);
  if (M.GpuVendor >= 0) {
    B.Pcie.AttachBehind(Bridge020, 0, 0, (uint16_t)M.GpuVendor, 0x1C20);
  } else {
    B.Pcie.DetachBehind(Bridge020);
  }
  B.Tpm.Identity = M.Tpm;
}

void PutPortRecords(Board &B) {
  B.Variables.Put(u"PNP0400_0_NV", PNP_NV_GUID, EFI_VARIABLE_NV_BS_RT, {1, 7, 0x55});
  B.Variables.Put(u"PNP0501_0_NV", PNP_NV_GUID, EFI_VARIABLE_NV_BS_RT, {0, 9, 0x66});
  B.Variables.Put(u"PNP0501_1_NV", PNP_NV_GUID, EFI_VARIABLE_NV_BS_RT, {0, 8, 0x77});
  B.Variables.Put(u"SetupCom1DetectData", SETUP_COM1_DETECT_GUID, EFI_VARIABLE_NV_BS_RT,
                  {0xA1, 0xB2});
  B.Variables.Put(u"SetupCom2DetectData", SETUP_COM2_DETECT_GUID, EFI_VARIABLE_NV_BS_RT,
                  {0xC3, 0xD4});
}

std::vector<uint8_t> Record(Board &B, const std::u16string &Name) {
  return StoredBytes(B, Name, PNP_NV_GUID);
}

// Runs the driver and checks what every run must satisfy.
std::vector<uint8_t> RunAndCheck(Board &B, const std::vector<uint8_t> &SetupBefore) {
  RunResult Result = RunClean(B, "SetupHwSyncDxe");
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  std::vector<uint8_t> After = StoredBytes(B, u"Setup", SETUP_GUID);
  EXPECT_EQ(After.size(), SETUP_VARIABLE_SIZE);
  for (size_t I = 0; I < After.size() && I < SetupBefore.size(); I++) {
    if (!WrittenFields.count(I)) {
      EXPECT_EQ(After[I], SetupBefore[I]) << "Setup byte 0x" << std::hex << I << " changed";
    }
  }
  // Both bridge bus-number registers end at 0.
  EXPECT_EQ((*B.Pcie.Function(Bridge020))[0x19], 0);
  EXPECT_EQ((*B.Pcie.Function(Bridge020))[0x1A], 0);
  // Detect records are carried through byte for byte and keep their attributes.
  EXPECT_EQ(StoredBytes(B, u"SetupCom1DetectData", SETUP_COM1_DETECT_GUID),
            (std::vector<uint8_t>{0xA1, 0xB2}));
  EXPECT_EQ(StoredBytes(B, u"SetupCom2DetectData", SETUP_COM2_DETECT_GUID),
            (std::vector<uint8_t>{0xC3, 0xD4}));
  return After;
}

// ---- serial port tables --------------------------------------------------------------------
struct ComCase {
  uint8_t Com1Selection, Com2Selection;
  std::vector<uint8_t> Com1Record; // after the run
  uint8_t Com2Final;               // Setup Com2Selection after the run
  std::vector<uint8_t> Com2Record;
};

class SerialPorts : public ::testing::TestWithParam<ComCase> {};

TEST_P(SerialPorts, FollowTheSelections) {
  const ComCase &Case = GetParam();
  Board B;
  Configure(B, {});
  PutPortRecords(B);
  std::vector<uint8_t> Setup = PatternedSetup();
  Setup[SetupField::Com1Selection] = Case.Com1Selection;
  Setup[SetupField::Com2Selection] = Case.Com2Selection;
  Setup[SetupField::Com2StrapLatch] = 0;
  PutSetup(B, Setup);

  std::vector<uint8_t> After = RunAndCheck(B, Setup);
  EXPECT_EQ(After[SetupField::Com1Selection], Case.Com1Selection);
  EXPECT_EQ(After[SetupField::Com2Selection], Case.Com2Final);
  EXPECT_EQ(Record(B, u"PNP0501_0_NV"), Case.Com1Record);
  EXPECT_EQ(Record(B, u"PNP0501_1_NV"), Case.Com2Record);
}

// Stored records before the run: COM1 {0, 9, 0x66}, COM2 {0, 8, 0x77}.
INSTANTIATE_TEST_SUITE_P(
    Table, SerialPorts,
    ::testing::Values(
        // COM1 off: record disabled with its setting kept; COM2 not adjusted.
        ComCase{0, 3, {0, 9, 0x66}, 3, {1, 4, 0x77}}, ComCase{0, 0, {0, 9, 0x66}, 0, {0, 8, 0x77}},
        // COM1 choice 1: setting 1; COM2 1 or 3 end at 2 (record 1, 1).
        ComCase{1, 1, {1, 1, 0x66}, 2, {1, 1, 0x77}}, ComCase{1, 3, {1, 1, 0x66}, 2, {1, 1, 0x77}},
        ComCase{1, 4, {1, 1, 0x66}, 4, {1, 5, 0x77}},
        // COM1 choice 2: setting 3; COM2 2 -> 1, 4 -> 1.
        ComCase{2, 2, {1, 3, 0x66}, 1, {1, 2, 0x77}}, ComCase{2, 4, {1, 3, 0x66}, 1, {1, 2, 0x77}},
        ComCase{2, 3, {1, 3, 0x66}, 3, {1, 4, 0x77}},
        // COM1 choice 3: setting 4; COM2 3 -> 2, 1 -> 2.
        ComCase{3, 3, {1, 4, 0x66}, 2, {1, 1, 0x77}}, ComCase{3, 1, {1, 4, 0x66}, 2, {1, 1, 0x77}},
        // COM1 choice 4: setting 5; COM2 4 -> 2 -> 1 and 2 -> 1.
        ComCase{4, 4, {1, 5, 0x66}, 1, {1, 2, 0x77}}, ComCase{4, 2, {1, 5, 0x66}, 1, {1, 2, 0x77}},
        ComCase{4, 1, {1, 5, 0x66}, 1, {1, 2, 0x77}}, ComCase{4, 3, {1, 5, 0x66}, 3, {1, 4, 0x77}},
        // A selection of 5 or more leaves that port's record exactly as read.
        ComCase{5, 2, {0, 9, 0x66}, 2, {1, 1, 0x77}}, ComCase{1, 9, {1, 1, 0x66}, 9, {0, 8, 0x77}},
        ComCase{0xFF, 0xFF, {0, 9, 0x66}, 0xFF, {0, 8, 0x77}}),
    [](const auto &Info) {
      return "Com1Selection" + std::to_string(Info.param.Com1Selection) + "Com2Selection" +
             std::to_string(Info.param.Com2Selection);
    });

// ---- straps and their latches across boots -------------------------------------------------
TEST(StrapLatches, ActiveStrapsForceOptionsOffAndReleaseRestoresThemOnce) {
  Board B;
  PutPortRecords(B);
  std::vector<uint8_t> Setup = PatternedSetup();
  Setup[SetupField::Com1Selection] = 2;
  Setup[SetupField::Com2Selection] = 3;
  Setup[SetupField::StrapGatedOption1] = 1;
  Setup[SetupField::StrapGatedOption2] = 1;
  Setup[SetupField::Com2StrapLatch] = 0;
  Setup[SetupField::OptionStrapLatch] = 0;
  PutSetup(B, Setup);

  // Boot 1: both straps active.
  Configure(B, {.Com2Strap = true, .OptionStrap = true});
  std::vector<uint8_t> After = RunAndCheck(B, Setup);
  EXPECT_EQ(After[SetupField::Com2Selection], 0);
  EXPECT_EQ(After[SetupField::Com2StrapLatch], 1);
  EXPECT_EQ(After[SetupField::StrapGatedOption1], 0);
  EXPECT_EQ(After[SetupField::StrapGatedOption2], 0);
  EXPECT_EQ(After[SetupField::OptionStrapLatch], 1);
  EXPECT_EQ(Record(B, u"PNP0501_1_NV"), (std::vector<uint8_t>{0, 8, 0x77}));

  // Boot 2: both released. COM2 comes back at 2, then COM1 choice 2 turns 2 into 1.
  B.Reboot();
  Configure(B, {});
  Setup = After;
  After = RunAndCheck(B, Setup);
  EXPECT_EQ(After[SetupField::Com2Selection], 1);
  EXPECT_EQ(After[SetupField::Com2StrapLatch], 0);
  EXPECT_EQ(After[SetupField::StrapGatedOption1], 1);
  EXPECT_EQ(After[SetupField::StrapGatedOption2], 1);
  EXPECT_EQ(After[SetupField::OptionStrapLatch], 0);
  EXPECT_EQ(Record(B, u"PNP0501_1_NV"), (std::vector<uint8_t>{1, 2, 0x77}));

  // Boot 3: still released; the user's later choices are kept.
  B.Reboot();
  Setup = After;
  Setup[SetupField::StrapGatedOption1] = 0;
  Setup[SetupField::Com2Selection] = 3;
  PutSetup(B, Setup);
  After = RunAndCheck(B, Setup);
  EXPECT_EQ(After[SetupField::StrapGatedOption1], 0);
  EXPECT_EQ(After[SetupField::StrapGatedOption2], 1);
  EXPECT_EQ(After[SetupField::Com2Selection], 3);
}

TEST(StrapLatches, Com2StrapOverridesEveryCom1Choice) {
  for (uint8_t Com1 : {0, 1, 2, 3, 4, 7}) {
    SCOPED_TRACE(Com1);
    Board B;
    PutPortRecords(B);
    Configure(B, {.Com2Strap = true});
    std::vector<uint8_t> Setup = PatternedSetup();
    Setup[SetupField::Com1Selection] = Com1;
    Setup[SetupField::Com2Selection] = Com1;
    PutSetup(B, Setup);
    std::vector<uint8_t> After = RunAndCheck(B, Setup);
    EXPECT_EQ(After[SetupField::Com2Selection], 0);
    EXPECT_EQ(After[SetupField::Com2StrapLatch], 1);
    EXPECT_EQ(Record(B, u"PNP0501_1_NV"), (std::vector<uint8_t>{0, 8, 0x77}));
  }
}

// ---- linked options and the parallel port --------------------------------------------------
TEST(LinkedOptions, FollowTheirSwitch) {
  struct Case {
    uint8_t Switch;
    uint8_t Expected; // 0xEE: left as stored
  };
  for (Case C : {Case{0, 0}, Case{1, 1}, Case{2, 0xEE}, Case{0xFF, 0xEE}}) {
    SCOPED_TRACE(C.Switch);
    Board B;
    PutPortRecords(B);
    std::vector<uint8_t> Setup = PatternedSetup();
    Setup[SetupField::LinkedOptionsSwitch] = C.Switch;
    Setup[SetupField::LinkedOption1] = 0xEE;
    Setup[SetupField::LinkedOption2] = 0xEE;
    Setup[SetupField::LinkedOption3] = 0xEE;
    PutSetup(B, Setup);
    std::vector<uint8_t> After = RunAndCheck(B, Setup);
    EXPECT_EQ(After[SetupField::LinkedOption1], C.Expected);
    EXPECT_EQ(After[SetupField::LinkedOption2], C.Expected);
    EXPECT_EQ(After[SetupField::LinkedOption3], C.Expected);
  }
}

TEST(ParallelPort, EnabledOnlyWithoutStrapAndWithTheUserChoice) {
  struct Case {
    bool Strap;
    uint8_t LptEnable;
    uint8_t Enable, StrapActive;
  };
  for (Case C : {Case{false, 1, 1, 0}, Case{false, 0x40, 1, 0}, Case{false, 0, 0, 0},
                 Case{true, 1, 0, 1}, Case{true, 0, 0, 1}}) {
    SCOPED_TRACE(testing::Message() << C.Strap << "/" << int(C.LptEnable));
    Board B;
    PutPortRecords(B);
    Configure(B, {.LptStrap = C.Strap});
    std::vector<uint8_t> Setup = PatternedSetup();
    Setup[SetupField::LptEnable] = C.LptEnable;
    PutSetup(B, Setup);
    std::vector<uint8_t> After = RunAndCheck(B, Setup);
    EXPECT_EQ(After[SetupField::LptStrapActive], C.StrapActive);
    EXPECT_EQ(Record(B, u"PNP0400_0_NV"), (std::vector<uint8_t>{C.Enable, 7, 0x55}));
  }
}

// ---- the whole hardware trace and the device probes -------------------------------------------
// Every access of a run, in order: COM2 strap, option strap, the probe behind bridge 0:2.0 (with
// the bus number read back), the TPM identity reads (each comparison stops at the first byte
// that differs: offsets given), the LPT strap.
std::vector<HardwareAccess> WholeTrace(Board &B, uint8_t BusSeen, uint16_t VendorSeen,
                                       const std::vector<size_t> &TpmOffsets) {
  std::vector<HardwareAccess> Trace = {MmioR(1, 0xFED80134, B.Fch.Byte(0xFED80134)),
                                       MmioR(1, 0xFED801E0, B.Fch.Byte(0xFED801E0)),
                                       MmioW(1, 0xE0010019, 0x50),
                                       MmioW(1, 0xE001001A, 0x50),
                                       MmioR(1, 0xE001001A, BusSeen),
                                       MmioR(2, 0xE0000000 + (BusSeen << 20), VendorSeen),
                                       MmioW(1, 0xE0010019, 0x00),
                                       MmioW(1, 0xE001001A, 0x00)};
  for (size_t Offset : TpmOffsets) {
    Trace.push_back(MmioR(1, 0xFED40F00 + Offset, B.Tpm.Identity[Offset]));
  }
  Trace.push_back(MmioR(1, 0xFED80135, B.Fch.Byte(0xFED80135)));
  return Trace;
}

// Without a TPM (identity FF FF FF FF): one byte against 4A 10 00 00, all four against FF.
const std::vector<size_t> NoTpmReads = {0, 0, 1, 2, 3};

TEST(Probes, NvidiaDeviceBehindBridge020) {
  struct Case {
    int Vendor;
    uint8_t Present;
  };
  for (Case C : {Case{0x10DE, 1}, Case{0x1002, 0}, Case{0x0000, 0}, Case{-1, 0}}) {
    SCOPED_TRACE(C.Vendor);
    Board B;
    PutPortRecords(B);
    Configure(B, {.GpuVendor = C.Vendor});
    std::vector<uint8_t> Setup = PatternedSetup();
    PutSetup(B, Setup);
    std::vector<uint8_t> After = RunAndCheck(B, Setup);
    EXPECT_EQ(After[SetupField::NvidiaDevicePresent], C.Present);
    uint16_t Seen = C.Vendor >= 0 ? (uint16_t)C.Vendor : 0xFFFF;
    EXPECT_EQ(B.Hardware.Trace(), WholeTrace(B, 0x50, Seen, NoTpmReads))
        << TraceText(B.Hardware.Trace());
  }
}

// A bridge that implements fewer bus-number bits reads back another bus than 0x50; the device
// answers there, and the vendor read goes to the bus read back.
TEST(Probes, TheVendorReadGoesToTheBusReadBack) {
  for (int Vendor : {0x10DE, 0x1002}) {
    SCOPED_TRACE(Vendor);
    Board B;
    PutPortRecords(B);
    Configure(B, {.GpuVendor = Vendor});
    B.Pcie.LimitBusNumbers(Bridge020, 0x3F); // 0x50 reads back as 0x10
    std::vector<uint8_t> Setup = PatternedSetup();
    PutSetup(B, Setup);
    std::vector<uint8_t> After = RunAndCheck(B, Setup);
    EXPECT_EQ(After[SetupField::NvidiaDevicePresent], Vendor == 0x10DE ? 1 : 0);
    EXPECT_EQ(B.Hardware.Trace(), WholeTrace(B, 0x10, (uint16_t)Vendor, NoTpmReads))
        << TraceText(B.Hardware.Trace());
  }
}

TEST(Probes, TpmIdentity) {
  struct Case {
    std::array<uint8_t, 4> Identity;
    uint8_t Present;
    std::vector<size_t> Reads; // offsets read, in order
  };
  for (const Case &C :
       {Case{{0x4A, 0x10, 0x00, 0x00}, 0, {0, 1, 2, 3}},
        Case{{0xFF, 0xFF, 0xFF, 0xFF}, 0, {0, 0, 1, 2, 3}},
        Case{{0x4A, 0x10, 0x00, 0x01}, 1, {0, 1, 2, 3, 0}},
        Case{{0x4A, 0x11, 0x00, 0x00}, 1, {0, 1, 0}}, Case{{0x00, 0x00, 0x00, 0x00}, 1, {0, 0}},
        Case{{0xD1, 0x15, 0x1B, 0x00}, 1, {0, 0}}, Case{{0xFF, 0xFF, 0x00, 0xFF}, 1, {0, 0, 1, 2}},
        Case{{0xFF, 0xFF, 0xFF, 0x00}, 1, {0, 0, 1, 2, 3}}}) {
    SCOPED_TRACE(testing::Message() << std::hex << int(C.Identity[0]) << int(C.Identity[1])
                                    << int(C.Identity[2]) << int(C.Identity[3]));
    Board B;
    PutPortRecords(B);
    Configure(B, {.Tpm = C.Identity});
    std::vector<uint8_t> Setup = PatternedSetup();
    PutSetup(B, Setup);
    std::vector<uint8_t> After = RunAndCheck(B, Setup);
    EXPECT_EQ(After[SetupField::TpmPresent], C.Present);
    EXPECT_EQ(B.Hardware.Trace(), WholeTrace(B, 0x50, 0xFFFF, C.Reads))
        << TraceText(B.Hardware.Trace());
  }
}

// Only bit 7 of a strap byte counts; bits 6..0 may hold anything.
TEST(Straps, OnlyBitSevenCounts) {
  struct Case {
    uint8_t Com2, Option, Lpt; // the strap bytes
  };
  for (Case C : {Case{0x7F, 0x7F, 0x7F}, Case{0x80, 0x80, 0x80}, Case{0xFF, 0xFF, 0xFF},
                 Case{0x7F, 0xFF, 0x80}, Case{0x80, 0x01, 0xFE}, Case{0x40, 0xC0, 0x3F}}) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << int(C.Com2) << "/" << int(C.Option) << "/" << int(C.Lpt));
    Board B;
    PutPortRecords(B);
    Configure(B, {});
    B.Fch.SetByte(0xFED80134, C.Com2);
    B.Fch.SetByte(0xFED801E0, C.Option);
    B.Fch.SetByte(0xFED80135, C.Lpt);
    std::vector<uint8_t> Setup = PatternedSetup();
    Setup[SetupField::Com1Selection] = 0;
    Setup[SetupField::Com2Selection] = 3;
    Setup[SetupField::Com2StrapLatch] = 0;
    Setup[SetupField::OptionStrapLatch] = 0;
    Setup[SetupField::StrapGatedOption1] = 1;
    Setup[SetupField::StrapGatedOption2] = 1;
    Setup[SetupField::LptEnable] = 1;
    PutSetup(B, Setup);
    std::vector<uint8_t> After = RunAndCheck(B, Setup);
    bool Com2 = C.Com2 & 0x80, Option = C.Option & 0x80, Lpt = C.Lpt & 0x80;
    EXPECT_EQ(After[SetupField::Com2Selection], Com2 ? 0 : 3);
    EXPECT_EQ(After[SetupField::Com2StrapLatch], Com2 ? 1 : 0);
    EXPECT_EQ(After[SetupField::StrapGatedOption1], Option ? 0 : 1);
    EXPECT_EQ(After[SetupField::StrapGatedOption2], Option ? 0 : 1);
    EXPECT_EQ(After[SetupField::OptionStrapLatch], Option ? 1 : 0);
    EXPECT_EQ(After[SetupField::LptStrapActive], Lpt ? 1 : 0);
    EXPECT_EQ(Record(B, u"PNP0400_0_NV"), (std::vector<uint8_t>{(uint8_t)(Lpt ? 0 : 1), 7, 0x55}));
    EXPECT_EQ(B.Hardware.Trace(), WholeTrace(B, 0x50, 0xFFFF, NoTpmReads))
        << TraceText(B.Hardware.Trace());
  }
}

// ---- order of the variable writes and the entry's status -------------------------------------
TEST(VariableWrites, OrderAttributesAndResult) {
  Board B;
  PutPortRecords(B);
  PutSetup(B, PatternedSetup());
  RunClean(B, "SetupHwSyncDxe");
  std::vector<std::u16string> Writes;
  for (const VariableCall &Call : B.Variables.Calls()) {
    if (Call.IsSet) {
      Writes.push_back(Call.Name);
      EXPECT_EQ(Call.Attributes, 7u);
      EXPECT_EQ(Call.Status, EFI_SUCCESS);
    }
  }
  EXPECT_EQ(Writes,
            (std::vector<std::u16string>{u"PNP0501_0_NV", u"SetupCom1DetectData", u"PNP0501_1_NV",
                                         u"SetupCom2DetectData", u"Setup", u"PNP0400_0_NV"}));
}

// The entry's result: a failed "Setup" write, else the parallel record's write. The parallel
// record is written either way.
TEST(VariableWrites, EntryReturnsAFailedSetupWriteElseTheParallelPortWrite) {
  struct Case {
    const char *Name;
    const char16_t *Failing; // the write that fails, with EFI_DEVICE_ERROR
    EFI_STATUS Expected;
  };
  for (Case C : {Case{"parallel record", u"PNP0400_0_NV", EFI_DEVICE_ERROR},
                 Case{"Setup", u"Setup", EFI_DEVICE_ERROR},
                 Case{"COM1 record", u"PNP0501_0_NV", EFI_SUCCESS}}) {
    SCOPED_TRACE(C.Name);
    Board B;
    PutPortRecords(B);
    PutSetup(B, PatternedSetup());
    B.Variables.FailNextSet(C.Failing, EFI_DEVICE_ERROR);
    EXPECT_EQ(RunClean(B, "SetupHwSyncDxe").Status, C.Expected);
    EXPECT_EQ(B.Variables.Calls().back().Name, u"PNP0400_0_NV");
    EXPECT_TRUE(B.Variables.Calls().back().IsSet);
  }
}

// "Setup" is written back with the attributes it is stored with: a store without runtime access
// keeps it, and the rewrite is not refused.
TEST(VariableWrites, SetupKeepsTheAttributesItIsStoredWith) {
  for (UINT32 Attributes : {UINT32{EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS},
                            UINT32{EFI_VARIABLE_NV_BS_RT}}) {
    SCOPED_TRACE(Attributes);
    Board B;
    PutPortRecords(B);
    Configure(B, {.OptionStrap = true});
    std::vector<uint8_t> Setup = PatternedSetup();
    Setup[SetupField::OptionStrapLatch] = 0;
    B.Variables.Put(u"Setup", SETUP_GUID, Attributes, Setup);
    EXPECT_EQ(RunClean(B, "SetupHwSyncDxe").Status, EFI_SUCCESS);
    const Variable *Stored = B.Variables.Find(u"Setup", SETUP_GUID);
    ASSERT_NE(Stored, nullptr);
    EXPECT_EQ(Stored->Attributes, Attributes);
    EXPECT_EQ(Stored->Data[SetupField::OptionStrapLatch], 1) << "Setup not rewritten";
    for (const VariableCall &Call : B.Variables.Calls()) {
      if (Call.IsSet) {
        EXPECT_EQ(Call.Status, EFI_SUCCESS) << Narrow(Call.Name);
      }
    }
  }
}

// ---- what cannot be read ---------------------------------------------------------------------
TEST(UnreadableVariables, WithoutAUsableSetupNothingIsWritten) {
  struct Case {
    const char *Name;
    size_t SetupSize; // 0: no Setup at all
    bool PoolExhausted;
    EFI_STATUS Expected;
  };
  for (Case C :
       {Case{"missing", 0, false, EFI_NOT_FOUND}, Case{"short", 661, false, EFI_BAD_BUFFER_SIZE},
        Case{"long", 700, false, EFI_BAD_BUFFER_SIZE},
        Case{"out of pool", 662, true, EFI_OUT_OF_RESOURCES}}) {
    SCOPED_TRACE(C.Name);
    Board B;
    PutPortRecords(B);
    std::vector<uint8_t> Setup = PatternedSetup();
    if (C.SetupSize != 0) {
      Setup.resize(C.SetupSize, 0x5A);
      PutSetup(B, Setup);
    }
    if (C.PoolExhausted) {
      B.FailPoolAllocations(1);
    }
    auto Before = B.Variables.All();
    EXPECT_EQ(RunClean(B, "SetupHwSyncDxe").Status, C.Expected);
    for (const VariableCall &Call : B.Variables.Calls()) {
      EXPECT_FALSE(Call.IsSet) << Narrow(Call.Name) << " written";
    }
    EXPECT_EQ(B.Variables.All(), Before);
    EXPECT_TRUE(B.Hardware.Trace().empty()) << TraceText(B.Hardware.Trace());
  }
}

// A missing port record is created from zeros. A port record stored with another size than one
// record, shorter or longer, is left as it is: not rewritten, its setting kept. Detect records
// that cannot be read are not written either.
TEST(UnreadableVariables, MissingPortRecordsAreCreatedOthersOfAnotherSizeAreLeftAlone) {
  struct Case {
    const char *Name;
    size_t PortBytes, DetectBytes; // 0: missing
  };
  for (Case C : {Case{"missing", 0, 0}, Case{"short", 2, 1}, Case{"long", 4, 3},
                 Case{"much longer", 40, 40}}) {
    SCOPED_TRACE(C.Name);
    Board B;
    auto Put = [&](const std::u16string &Name, const EFI_GUID &Guid, size_t Size) {
      if (Size != 0) {
        B.Variables.Put(Name, Guid, EFI_VARIABLE_NV_BS_RT, std::vector<uint8_t>(Size, 0x3C));
      }
    };
    Put(u"PNP0400_0_NV", PNP_NV_GUID, C.PortBytes);
    Put(u"PNP0501_0_NV", PNP_NV_GUID, C.PortBytes);
    Put(u"PNP0501_1_NV", PNP_NV_GUID, C.PortBytes);
    Put(u"SetupCom1DetectData", SETUP_COM1_DETECT_GUID, C.DetectBytes);
    Put(u"SetupCom2DetectData", SETUP_COM2_DETECT_GUID, C.DetectBytes);
    std::vector<uint8_t> Setup = PatternedSetup();
    Setup[SetupField::Com1Selection] = 1;
    Setup[SetupField::Com2Selection] = 4;
    Setup[SetupField::Com2StrapLatch] = 0;
    Setup[SetupField::LptEnable] = 1;
    PutSetup(B, Setup);
    EXPECT_EQ(RunClean(B, "SetupHwSyncDxe").Status, EFI_SUCCESS);
    if (C.PortBytes == 0) {
      EXPECT_EQ(Record(B, u"PNP0400_0_NV"), (std::vector<uint8_t>{1, 0, 0}));
      EXPECT_EQ(Record(B, u"PNP0501_0_NV"), (std::vector<uint8_t>{1, 1, 0}));
      EXPECT_EQ(Record(B, u"PNP0501_1_NV"), (std::vector<uint8_t>{1, 5, 0}));
    } else {
      for (const char16_t *Name : {u"PNP0400_0_NV", u"PNP0501_0_NV", u"PNP0501_1_NV"}) {
        EXPECT_EQ(Record(B, Name), std::vector<uint8_t>(C.PortBytes, 0x3C)) << Narrow(Name);
      }
    }
    for (const VariableCall &Call : B.Variables.Calls()) {
      bool PortRecord = Call.Name.rfind(u"PNP", 0) == 0;
      bool DetectRecord =
          Call.Name == u"SetupCom1DetectData" || Call.Name == u"SetupCom2DetectData";
      EXPECT_FALSE(Call.IsSet && (DetectRecord || (PortRecord && C.PortBytes != 0)))
          << Narrow(Call.Name) << " written";
    }
    // "Setup" is rewritten all the same.
    EXPECT_EQ(StoredBytes(B, u"Setup", SETUP_GUID)[SetupField::Com2Selection], 4);
    EXPECT_EQ(StoredBytes(B, u"SetupCom1DetectData", SETUP_COM1_DETECT_GUID),
              std::vector<uint8_t>(C.DetectBytes, 0x3C));
  }
}

} // namespace
} // namespace sim::test
