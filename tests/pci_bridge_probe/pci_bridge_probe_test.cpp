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

TEST(PciBridgeProbeFailures, ASetupTooShortForTheOptionCountsAsOptionClear) {
  // A stored Setup that ends before the option byte is not read past its end: the bit is set
  // as with the option clear.
  Board B;
  B.Variables.Put(u"Setup", SETUP_GUID, EFI_VARIABLE_NV_BS_RT, std::vector<uint8_t>(0x22D, 0xFF));
  (*B.Pcie.Function(Bridge144))[0x42] = 0x00;
  RunResult Result = RunClean(B, "PciBridgeProbeDxe");
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  ASSERT_EQ(B.Hardware.Trace().size(), 5u) << TraceText(B.Hardware.Trace());
  EXPECT_EQ(B.Hardware.Trace()[3], MmioW(1, 0xE00A4042, 0x04));
  ASSERT_EQ(B.BootScript.size(), 1u);
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
