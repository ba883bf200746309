// PciBridgeProbeDxe, run from its image on the simulated board.
#include "board_test_support.h"

namespace sim::test {
namespace {

constexpr PcieConfigSpace::Location Bridge144{0, 0x14, 4};

struct ProbeCase {
  const char *Name;
  uint8_t ProbeSelect; // Setup byte 0x22D
  int VendorId;        // device at 9:05.0, -1 for none
  uint8_t Register42;  // bridge control byte before the run
  uint8_t Expected42;  // byte written and recorded
};

class PciBridgeProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(PciBridgeProbe, ProgramsBitTwoAndRecordsItForS3) {
  const ProbeCase &Case = GetParam();
  Board B;
  std::vector<uint8_t> Setup = PatternedSetup();
  Setup[SetupField::BridgeProbeSelect] = Case.ProbeSelect;
  PutSetup(B, Setup);
  (*B.Pcie.Function(Bridge144))[0x42] = Case.Register42;
  if (Case.VendorId >= 0) {
    B.Pcie.AttachBehind(Bridge144, 5, 0, (uint16_t)Case.VendorId, 0x1234);
  }

  RunResult Result = RunClean(B, "PciBridgeProbeDxe");
  EXPECT_EQ(Result.Status, EFI_SUCCESS);

  uint16_t VendorSeen = Case.VendorId >= 0 ? (uint16_t)Case.VendorId : 0xFFFF;
  std::vector<HardwareAccess> Expected = {
      MmioW(2, 0xE00A4019, 0x0909),          MmioR(2, 0xE0928000, VendorSeen),
      MmioR(1, 0xE00A4042, Case.Register42), MmioW(1, 0xE00A4042, Case.Expected42),
      MmioW(2, 0xE00A4019, 0x0000),
  };
  EXPECT_EQ(B.Hardware.Trace(), Expected) << TraceText(B.Hardware.Trace());

  ASSERT_EQ(B.BootScript.size(), 1u);
  const BootScriptEntry &Entry = B.BootScript[0];
  EXPECT_EQ(Entry.Table, 0);
  EXPECT_EQ(Entry.OpCode, 4);
  EXPECT_EQ(Entry.Width, 0u);
  EXPECT_EQ(Entry.Address, 0x140442u);
  EXPECT_EQ(Entry.Count, 1u);
  EXPECT_EQ(Entry.Data, std::vector<uint8_t>{Case.Expected42});
  // Recorded after the last hardware access, the bus numbers' return to 0.
  EXPECT_EQ(Entry.AfterAccesses, Expected.size());

  // The bridge's bus numbers end at 0 and the register holds the recorded byte.
  const RegisterFile &Bridge = *B.Pcie.Function(Bridge144);
  EXPECT_EQ(Bridge[0x19], 0);
  EXPECT_EQ(Bridge[0x1A], 0);
  EXPECT_EQ(Bridge[0x42], Case.Expected42);
  // Setup is only read.
  EXPECT_EQ(StoredBytes(B, u"Setup", SETUP_GUID), Setup);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PciBridgeProbe,
    ::testing::Values(ProbeCase{"SelectWithDeviceSetsBit", 1, 0x8086, 0x31, 0x35},
                      ProbeCase{"SelectWithoutDeviceClearsBit", 1, -1, 0xFF, 0xFB},
                      ProbeCase{"VendorZeroCountsAsPresent", 0x80, 0x0000, 0x00, 0x04},
                      ProbeCase{"NoSelectSetsBitWithoutDevice", 0, -1, 0x10, 0x14},
                      ProbeCase{"NoSelectSetsBitWithDevice", 0, 0x10EC, 0x04, 0x04}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(PciBridgeProbeFailures, NoSetupVariableTouchesNothing) {
  Board B;
  RunResult Result = RunClean(B, "PciBridgeProbeDxe");
  EXPECT_EQ(Result.Status, EFI_NOT_FOUND);
  EXPECT_TRUE(B.Hardware.Trace().empty()) << TraceText(B.Hardware.Trace());
  EXPECT_TRUE(B.BootScript.empty());
}

TEST(PciBridgeProbeFailures, SetupReadOutOfPoolTouchesNothing) {
  Board B;
  PutSetup(B, PatternedSetup());
  B.FailPoolAllocations(1);
  RunResult Result = RunClean(B, "PciBridgeProbeDxe");
  EXPECT_EQ(Result.Status, EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(B.Hardware.Trace().empty());
  EXPECT_TRUE(B.BootScript.empty());
}

// The option byte is the 0x22Eth byte of Setup: a stored Setup of 0x22E bytes carries it, one of
// 0x22D bytes ends just before it and is not read past its end (the board's pool holds non-zero
// garbage behind every block): the bit is then set as with the option clear. No device answers.
TEST(PciBridgeProbeFailures, TheOptionIsTheLastByteOfA22EByteSetup) {
  struct Case {
    size_t Size;
    uint8_t Fill, Last;
    uint8_t Expected42;
  };
  for (Case C : {Case{0x22D, 0xFF, 0xFF, 0x04}, Case{0x22E, 0x00, 0x01, 0x00},
                 Case{0x22E, 0xFF, 0x00, 0x04}}) {
    SCOPED_TRACE(testing::Message() << std::hex << C.Size << "/" << int(C.Last));
    Board B;
    std::vector<uint8_t> Setup(C.Size, C.Fill);
    Setup.back() = C.Last;
    B.Variables.Put(u"Setup", SETUP_GUID, EFI_VARIABLE_NV_BS_RT, Setup);
    (*B.Pcie.Function(Bridge144))[0x42] = 0x04;
    RunResult Result = RunClean(B, "PciBridgeProbeDxe");
    EXPECT_EQ(Result.Status, EFI_SUCCESS);
    ASSERT_EQ(B.Hardware.Trace().size(), 5u) << TraceText(B.Hardware.Trace());
    EXPECT_EQ(B.Hardware.Trace()[3], MmioW(1, 0xE00A4042, C.Expected42));
    ASSERT_EQ(B.BootScript.size(), 1u);
    EXPECT_EQ(B.BootScript[0].Data, std::vector<uint8_t>{C.Expected42});
  }
}

TEST(PciBridgeProbeFailures, AFailingBootScriptWriteIsIgnored) {
  Board B;
  std::vector<uint8_t> Setup = PatternedSetup();
  Setup[SetupField::BridgeProbeSelect] = 1;
  PutSetup(B, Setup);
  B.BootScriptWriteStatus = EFI_OUT_OF_RESOURCES;
  RunResult Result = RunClean(B, "PciBridgeProbeDxe");
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  ASSERT_EQ(B.Hardware.Trace().size(), 5u) << TraceText(B.Hardware.Trace());
  EXPECT_EQ(B.Hardware.Trace()[4], MmioW(2, 0xE00A4019, 0x0000));
  EXPECT_TRUE(B.BootScript.empty());
}

// The Setup read's status is the entry's result: a warning after a full run, an error of the
// read that follows the regrowth before any hardware access.
TEST(PciBridgeProbeFailures, TheSetupReadsStatusIsTheResult) {
  struct Case {
    EFI_STATUS SecondRead;
    size_t Accesses, ScriptEntries;
  };
  for (Case C : {Case{EFI_WARN_BUFFER_TOO_SMALL, 5, 1}, Case{EFI_DEVICE_ERROR, 0, 0}}) {
    SCOPED_TRACE(C.SecondRead);
    Board B;
    PutSetup(B, PatternedSetup());
    B.Variables.ScriptGets(u"Setup", {EFI_SUCCESS, C.SecondRead});
    RunResult Result = RunClean(B, "PciBridgeProbeDxe");
    EXPECT_EQ(Result.Status, C.SecondRead);
    EXPECT_EQ(B.Variables.CountGets(u"Setup"), 2u);
    EXPECT_EQ(B.Hardware.Trace().size(), C.Accesses) << TraceText(B.Hardware.Trace());
    EXPECT_EQ(B.BootScript.size(), C.ScriptEntries);
  }
}

TEST(PciBridgeProbeFailures, WithoutBootScriptProtocolTheHardwareStepsStillRun) {
  Board B;
  std::vector<uint8_t> Setup = PatternedSetup();
  Setup[SetupField::BridgeProbeSelect] = 1;
  PutSetup(B, Setup);
  B.UninstallEverywhere(EFI_BOOT_SCRIPT_SAVE_PROTOCOL_GUID);
  (*B.Pcie.Function(Bridge144))[0x42] = 0x04;

  RunResult Result = RunClean(B, "PciBridgeProbeDxe");
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  ASSERT_EQ(B.Hardware.Trace().size(), 5u) << TraceText(B.Hardware.Trace());
  EXPECT_EQ(B.Hardware.Trace()[3], MmioW(1, 0xE00A4042, 0x00));
  EXPECT_EQ(B.Hardware.Trace()[4], MmioW(2, 0xE00A4019, 0x0000));
  EXPECT_TRUE(B.BootScript.empty());
}

} // namespace
} // namespace sim::test
