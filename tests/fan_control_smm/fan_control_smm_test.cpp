// FanControlSmm, run from its image on the board: timer set-up in SMM, and the timer SMI
// callback choosing and programming the fan tables.
#include "support/smm_test_support.h"

#include <algorithm>

namespace sim::test {
namespace {

constexpr uint64_t Smi(uint8_t Register) {
  return 0xFED80200 + Register;
}

// The fan tables as the hardware monitor must receive them: register, then the value for
// table A low/middle/high and table B low/middle/high.
struct FanRow {
  uint8_t Register;
  uint8_t Value[6];
};
constexpr FanRow FanRows[18] = {
    {0x60, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}, {0x61, {0x28, 0x28, 0x28, 0x28, 0x28, 0x28}},
    {0x62, {0x46, 0x46, 0x46, 0x46, 0x46, 0x46}}, {0x63, {0x40, 0x59, 0x73, 0x33, 0x4C, 0x66}},
    {0x64, {0x9A, 0x9A, 0xAD, 0xA0, 0xA9, 0xB1}}, {0x65, {0x02, 0x02, 0x02, 0x02, 0x02, 0x02}},
    {0x90, {0xFF, 0xFF, 0xFF, 0x3F, 0xFF, 0xFF}}, {0x91, {0x00, 0x00, 0x00, 0x32, 0x00, 0x00}},
    {0x92, {0x00, 0x00, 0x00, 0xA2, 0x00, 0x00}}, {0x68, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {0x69, {0x28, 0x28, 0x28, 0x2D, 0x2D, 0x2D}}, {0x6A, {0x48, 0x48, 0x46, 0x46, 0x46, 0x46}},
    {0x6B, {0x33, 0x4C, 0x73, 0x33, 0x40, 0x4C}}, {0x6C, {0xA5, 0xA5, 0xAD, 0x94, 0x9D, 0xBD}},
    {0x6D, {0x02, 0x02, 0x02, 0x02, 0x02, 0x02}}, {0x94, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {0x95, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}, {0x96, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
};
enum Column { ALow, AMiddle, AHigh, BLow, BMiddle, BHigh };

uint8_t Marker(Column Which) {
  return FanRows[3].Value[Which];
}

// The 36 port writes that program one column.
std::vector<HardwareAccess> ProgrammingOf(Column Which) {
  std::vector<HardwareAccess> Writes;
  for (const FanRow &Row : FanRows) {
    Writes.push_back(IoW(1, 0xF45, Row.Register));
    Writes.push_back(IoW(1, 0xF46, Row.Value[Which]));
  }
  return Writes;
}

std::vector<HardwareAccess> MonitorWrites(const std::vector<HardwareAccess> &Trace) {
  std::vector<HardwareAccess> Writes;
  for (size_t I = 0; I < Trace.size(); I++) {
    // A data-port write, with the index write in front of it.
    if (Trace[I].Where == Space::Io && Trace[I].IsWrite && Trace[I].Address == 0xF46) {
      Writes.push_back(Trace[I - 1]);
      Writes.push_back(Trace[I]);
    }
  }
  return Writes;
}

class FanControl : public ::testing::Test {
protected:
  // Starts the driver as the DXE dispatcher does and lets the operating system take over.
  void Start() {
    RunResult Result = StartDriverImage(B, "FanControlSmm");
    ASSERT_TRUE(Result.Returned()) << Result.Message;
    ASSERT_EQ(Result.Status, EFI_SUCCESS);
    ASSERT_EQ(B.Smm.Callbacks().size(), 1u);
    B.EndBootServices();
  }
  // One timer SMI; returns its hardware accesses.
  std::vector<HardwareAccess> Tick() {
    B.Hardware.ClearTrace();
    EXPECT_TRUE(B.Smm.TimerTick());
    EXPECT_EQ(B.Smm.LastCallbackStatuses, std::vector<EFI_STATUS>{EFI_HANDLER_SUCCESS});
    return B.Hardware.Trace();
  }
  void SetTemperature(uint8_t Value) { B.Io.Monitor.SetTemperature(Value); }
  void SetMarker(uint8_t Value) { B.Io.Monitor.Registers[0x63] = Value; }
  void TearDown() override {
    EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
    EXPECT_TRUE(B.Hardware.Unclaimed().empty()) << Describe(B.Hardware.Unclaimed().front());
    EXPECT_EQ(B.LivePoolBlocks(), 0u);
  }
  Board B;
};

TEST_F(FanControl, InitArmsTheTimerAndRegistersTheCallbackWithoutFloatingPointSave) {
  B.Fch.SetSmiRegister(0xC3, 0xAB);
  B.Fch.SetSmiRegister(0x9B, 0x01);
  B.Io.Pm.Pm1Status = 0xFFFF;
  B.Io.Pm.Gpe0Status = 0xFFFFFFFF;
  Start();

  std::vector<HardwareAccess> Expected = {
      // ClearPmStatus: ACPI mode off, RTC interrupt not enabled
      IoR(2, 0x804, 0x0000),
      IoR(1, 0x803, 0x00),
      IoW(2, 0x800, 0xC531),
      IoW(4, 0x820, 0xFFFFFBFF),
      MmioR(1, Smi(0x9B), 0x01),
      MmioW(1, Smi(0x9B), 0x11),
      // bits 7:4 of 0xC3 become 0100b, bit 5 of 0x9B is set
      MmioR(1, Smi(0xC3), 0xAB),
      MmioW(1, Smi(0xC3), 0x4B),
      MmioR(1, Smi(0x9B), 0x11),
      MmioW(1, Smi(0x9B), 0x31),
      // the period as one 16-bit write, then the enable bit on top of the 0x7D it left
      MmioW(2, Smi(0x96), 0x7D00),
      MmioR(1, Smi(0x97), 0x7D),
      MmioW(1, Smi(0x97), 0xFD),
  };
  EXPECT_EQ(B.Hardware.Trace(), Expected) << TraceText(B.Hardware.Trace());
  EXPECT_EQ(B.Io.Pm.Pm1Status, 0xFFFF & ~0xC531);
  EXPECT_EQ(B.Io.Pm.Gpe0Status, 0x00000400u);
  EXPECT_TRUE(B.Fch.SmiTimerEnabled());

  const SmmCallbackRecord &Callback = B.Smm.Callbacks()[0];
  EXPECT_FALSE(Callback.MakeLast);
  EXPECT_FALSE(Callback.FloatingPointSave);
  EXPECT_EQ(Callback.ImageHandle, B.Smm.Image("FanControlSmm")->Handle);
}

// The callback is in place before the first hardware access: the timer is never armed without it.
TEST_F(FanControl, TheCallbackIsRegisteredBeforeTheTimerIsTouched) {
  std::vector<size_t> AccessesAtRegistration;
  B.Smm.OnEntryRegistration = [&](const PeImage &) {
    AccessesAtRegistration.push_back(B.Hardware.Trace().size());
  };
  Start();
  EXPECT_EQ(AccessesAtRegistration, std::vector<size_t>{0});
  EXPECT_TRUE(B.Fch.SmiTimerEnabled());
}

// A failing registration arms nothing and touches no register: the copy is unloaded for the
// error, and the timer keeps firing no SMI that nobody would serve.
TEST_F(FanControl, FailingCallbackRegistrationIsTheResultAndArmsNothing) {
  SmmOptions Options;
  Options.RegisterCallbackStatus = EFI_OUT_OF_RESOURCES;
  B.Smm.Configure(Options);
  B.Fch.SetSmiRegister(0x96, 0x00);
  B.Fch.SetSmiRegister(0x97, 0x00);
  RunResult Result = StartDriverImage(B, "FanControlSmm");
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(B.Smm.Callbacks().empty());
  EXPECT_TRUE(B.Hardware.Trace().empty()) << TraceText(B.Hardware.Trace());
  EXPECT_FALSE(B.Fch.SmiTimerEnabled());
  ASSERT_NE(B.Smm.Image("FanControlSmm"), nullptr);
  EXPECT_TRUE(B.Smm.Image("FanControlSmm")->Unloaded);
  B.EndBootServices();
  for (int Tick = 0; Tick < 3; Tick++) {
    EXPECT_FALSE(B.Smm.TimerTick());
  }
  EXPECT_EQ(B.Smm.SmiCount, 0u);
}

// The exact cost of a normal timer SMI: the band is already programmed, ACPI mode is off. The
// index port is read before the fan update and written back as the last access.
TEST_F(FanControl, NormalTimerSmiWithUnchangedMarkerMakesNineteenAccesses) {
  Start();
  SetTemperature(40);
  SetMarker(Marker(BHigh));
  B.Io.Monitor.Index = 0x5E; // selected by an operating-system driver the SMI interrupted
  uint8_t Status9B = B.Fch.SmiRegister(0x9B);
  std::vector<HardwareAccess> Expected = {
      MmioR(1, Smi(0x97), 0xFD),     MmioR(1, Smi(0x91), 0x80),
      IoR(1, 0xF45, 0x5E),           IoW(1, 0xF45, 0x17),
      IoR(1, 0xF46, 0x00),           IoR(1, 0xE82, 0x00),
      IoW(1, 0xF45, 0x63),           IoR(1, 0xF46, Marker(BHigh)),
      IoW(1, 0xF45, 0x29),           IoR(1, 0xF46, 40),
      MmioR(1, Smi(0x91), 0x80),     MmioW(1, Smi(0x91), 0xC0),
      IoR(2, 0x804, 0x0000),         IoR(1, 0x803, 0x00),
      IoW(2, 0x800, 0xC531),         IoW(4, 0x820, 0xFFFFFBFF),
      MmioR(1, Smi(0x9B), Status9B), MmioW(1, Smi(0x9B), Status9B | 0x10),
      IoW(1, 0xF45, 0x5E),
  };
  EXPECT_EQ(Tick(), Expected) << TraceText(B.Hardware.Trace());
  EXPECT_EQ(Expected.size(), 19u);
  EXPECT_EQ(B.Fch.SmiRegister(0x91) & 0xC0, 0) << "timer status cleared";
  EXPECT_EQ(B.Io.Monitor.Index, 0x5E);
}

struct BandCase {
  const char *Name;
  uint8_t Temperature;
  uint8_t PortE82;
  Column Expected;
};

class FanBand : public FanControl, public ::testing::WithParamInterface<BandCase> {};

TEST_P(FanBand, ProgramsAllEighteenRegistersOfTheColumnInTableOrder) {
  const BandCase &Case = GetParam();
  Start();
  B.Io.InputE82.Value = Case.PortE82;
  SetTemperature(Case.Temperature);
  // The marker of another band of the same table: everything is rewritten.
  Column Other = Case.Expected == ALow || Case.Expected == BLow ? Column(Case.Expected + 1)
                                                                : Column(Case.Expected - 1);
  SetMarker(Marker(Other));

  EXPECT_EQ(MonitorWrites(Tick()), ProgrammingOf(Case.Expected)) << TraceText(B.Hardware.Trace());
  for (const FanRow &Row : FanRows) {
    EXPECT_EQ(B.Io.Monitor.Registers[Row.Register], Row.Value[Case.Expected]);
  }

  // The next SMI finds its band programmed and writes nothing.
  EXPECT_TRUE(MonitorWrites(Tick()).empty()) << TraceText(B.Hardware.Trace());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FanBand,
    ::testing::Values(
        BandCase{"Zero", 0, 0x00, BLow}, BandCase{"T26", 26, 0x00, BLow},
        BandCase{"T27", 27, 0x00, BMiddle}, BandCase{"T31", 31, 0x00, BMiddle},
        BandCase{"T32", 32, 0x00, BHigh}, BandCase{"T7F", 0x7F, 0x00, BHigh},
        BandCase{"T80IsHigh", 0x80, 0x00, BHigh}, BandCase{"TFFIsHigh", 0xFF, 0x00, BHigh},
        BandCase{"OtherPortBitsKeepTableB", 27, 0xCF, BMiddle},
        BandCase{"TableAByBit4", 26, 0x10, ALow}, BandCase{"TableAByBit5", 27, 0x20, AMiddle},
        BandCase{"TableAByBoth", 31, 0x30, AMiddle}, BandCase{"TableAHigh", 32, 0xFF, AHigh},
        BandCase{"TableAHighFromFF", 0xFF, 0x10, AHigh}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(FanControl, MarkerOfTheOtherTableAlsoRewritesEverything) {
  Start();
  SetTemperature(20);
  SetMarker(Marker(ALow)); // 0x40 is no marker of table B
  EXPECT_EQ(MonitorWrites(Tick()), ProgrammingOf(BLow));
}

TEST_F(FanControl, TemperatureProfileFollowsTheReadingWithoutHysteresis) {
  Start();
  B.Io.InputE82.Value = 0x10;
  std::vector<std::pair<uint8_t, int>> Profile = {
      {25, ALow}, {25, -1}, {27, AMiddle}, {26, ALow}, {40, AHigh}, {31, AMiddle}, {31, -1}};
  for (const auto &[Temperature, Expected] : Profile) {
    SetTemperature(Temperature);
    std::vector<HardwareAccess> Writes = MonitorWrites(Tick());
    if (Expected < 0) {
      EXPECT_TRUE(Writes.empty()) << "T=" << int(Temperature);
    } else {
      EXPECT_EQ(Writes, ProgrammingOf(Column(Expected))) << "T=" << int(Temperature);
    }
  }
  EXPECT_EQ(B.Smm.SmiCount, Profile.size());
}

TEST_F(FanControl, NonzeroRegister17SkipsOnlyTheFanUpdate) {
  Start();
  B.Io.Monitor.Registers[0x17] = 0x01;
  SetTemperature(40);
  uint8_t Status9B = B.Fch.SmiRegister(0x9B);
  std::vector<HardwareAccess> Expected = {
      MmioR(1, Smi(0x97), 0xFD),
      MmioR(1, Smi(0x91), 0x80),
      IoR(1, 0xF45, 0x00),
      IoW(1, 0xF45, 0x17),
      IoR(1, 0xF46, 0x01),
      MmioR(1, Smi(0x91), 0x80),
      MmioW(1, Smi(0x91), 0xC0),
      IoR(2, 0x804, 0x0000),
      IoR(1, 0x803, 0x00),
      IoW(2, 0x800, 0xC531),
      IoW(4, 0x820, 0xFFFFFBFF),
      MmioR(1, Smi(0x9B), Status9B),
      MmioW(1, Smi(0x9B), Status9B | 0x10),
      IoW(1, 0xF45, 0x00),
  };
  EXPECT_EQ(Tick(), Expected) << TraceText(B.Hardware.Trace());
}

// Whichever way the fan update goes, an operating-system driver that the SMI interrupted
// between its index write and its data access finds its own register selected afterwards.
struct InterruptedCase {
  const char *Name;
  uint8_t Register17;
  uint8_t Marker; // band marker before the SMI (the temperature is 40: table B high band)
  size_t MonitorWrites;
};

class InterruptedMonitorAccess : public FanControl,
                                 public ::testing::WithParamInterface<InterruptedCase> {};

TEST_P(InterruptedMonitorAccess, FindsItsRegisterSelectedAgain) {
  const InterruptedCase &Case = GetParam();
  Start();
  SetTemperature(40);
  B.Io.Monitor.Registers[0x17] = Case.Register17;
  for (uint8_t OsIndex : {0x00, 0x29, 0x40, 0x96, 0xFF}) {
    SCOPED_TRACE(int(OsIndex));
    B.Io.Monitor.Registers[0x40] = 0xA7;
    B.Io.Monitor.Index = OsIndex;
    SetMarker(Case.Marker);
    std::vector<HardwareAccess> Trace = Tick();
    ASSERT_GE(Trace.size(), 4u) << TraceText(Trace);
    // The index port's only read is the first access after the two status reads, its
    // restoring write the last access of the SMI.
    EXPECT_EQ(Trace[2], IoR(1, 0xF45, OsIndex)) << TraceText(Trace);
    EXPECT_EQ(Trace.back(), IoW(1, 0xF45, OsIndex)) << TraceText(Trace);
    size_t IndexReads = std::count_if(Trace.begin(), Trace.end(), [](const HardwareAccess &A) {
      return A.Address == 0xF45 && !A.IsWrite;
    });
    EXPECT_EQ(IndexReads, 1u);
    EXPECT_EQ(MonitorWrites(Trace).size(), Case.MonitorWrites);
    EXPECT_EQ(B.Io.Monitor.Index, OsIndex);
    // The interrupted driver's data access reaches the register it selected.
    if (OsIndex == 0x40) {
      EXPECT_EQ(B.Hardware.Read(Space::Io, 0xF46, 1), 0xA7u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, InterruptedMonitorAccess,
                         ::testing::Values(InterruptedCase{"Register17Blocks", 0x01, 0x00, 0},
                                           InterruptedCase{"MarkerUnchanged", 0x00, 0x66, 0},
                                           InterruptedCase{"FullProgramming", 0x00, 0x4C, 36}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// Register 0x91 gets ones in bits 7:6 and every other bit written back as read, whichever bits
// of other sources are set.
TEST_F(FanControl, OtherTimerStatusBitsAreWrittenBackAsRead) {
  Start();
  SetTemperature(40);
  SetMarker(Marker(BHigh));
  for (uint8_t Others : {0x00, 0x15, 0x2A, 0x3F, 0x40, 0x7F}) {
    SCOPED_TRACE(int(Others));
    B.Fch.SetSmiRegister(0x91, Others); // timer status not yet set
    std::vector<HardwareAccess> Trace = Tick();
    ASSERT_GE(Trace.size(), 12u);
    EXPECT_EQ(Trace[10], MmioR(1, Smi(0x91), Others | 0x80));
    EXPECT_EQ(Trace[11], MmioW(1, Smi(0x91), (Others & 0x3F) | 0xC0));
    EXPECT_EQ(B.Fch.SmiRegister(0x91), Others & 0x3F);
  }
}

struct IgnoredCase {
  const char *Name;
  uint8_t Register97;
  uint8_t Register91;
};

class NotATimerSmi : public FanControl, public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(NotATimerSmi, IsLeftAloneAfterTheTwoStatusReads) {
  Start();
  B.Fch.SetSmiRegister(0x97, GetParam().Register97);
  B.Fch.SetSmiRegister(0x91, GetParam().Register91);
  B.Hardware.ClearTrace();
  ASSERT_TRUE(B.Smm.RaiseSmi().How == Outcome::Returned);
  EXPECT_EQ(B.Smm.LastCallbackStatuses, std::vector<EFI_STATUS>{EFI_HANDLER_SUCCESS});
  std::vector<HardwareAccess> Expected = {MmioR(1, Smi(0x97), GetParam().Register97),
                                          MmioR(1, Smi(0x91), GetParam().Register91)};
  EXPECT_EQ(B.Hardware.Trace(), Expected) << TraceText(B.Hardware.Trace());
}

INSTANTIATE_TEST_SUITE_P(Cases, NotATimerSmi,
                         ::testing::Values(IgnoredCase{"TimerDisabled", 0x7D, 0xFF},
                                           IgnoredCase{"StatusClear", 0xFD, 0x7F},
                                           IgnoredCase{"BothClear", 0x00, 0x00}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(FanControl, SoftwareSmiOfAnotherDriverReachesTheCallbackAndIsLeftAlone) {
  Start();
  B.Hardware.ClearTrace();
  B.Smm.TriggerSoftwareSmi(0x534D8920, 0x8900);
  std::vector<HardwareAccess> Expected = {MmioR(1, Smi(0x97), 0xFD), MmioR(1, Smi(0x91), 0x00)};
  EXPECT_EQ(B.Hardware.Trace(), Expected) << TraceText(B.Hardware.Trace());
}

struct PmCase {
  const char *Name;
  uint16_t Pm1Control;
  uint16_t Pm1Enable;
  uint16_t Pm1Status;
  std::vector<HardwareAccess> Expected; // between the timer-status write and register 0x9B
};

class PmClearing : public FanControl, public ::testing::WithParamInterface<PmCase> {};

TEST_P(PmClearing, FollowsSciEnAndTheRtcBits) {
  const PmCase &Case = GetParam();
  Start();
  SetTemperature(40);
  SetMarker(Marker(BHigh));
  B.Io.Pm.Pm1Control = Case.Pm1Control;
  B.Io.Pm.Pm1Enable = Case.Pm1Enable;
  B.Io.Pm.Pm1Status = Case.Pm1Status;
  B.Io.Rtc.Cmos[0x0C] = 0xC0;
  B.Io.Rtc.Index = 0x0D; // selected by the operating system, NMIs enabled
  std::vector<HardwareAccess> Trace = Tick();
  // 12 accesses up to the timer-status write; then the PM clearing, register 0x9B and the index
  // port put back.
  ASSERT_EQ(Trace.size(), 12 + Case.Expected.size() + 3) << TraceText(Trace);
  EXPECT_EQ(std::vector<HardwareAccess>(Trace.begin() + 12, Trace.end() - 3), Case.Expected)
      << TraceText(Trace);
  EXPECT_EQ(Trace.end()[-2].Address, Smi(0x9B));
  EXPECT_EQ(Trace.end()[-2].Value & 0x10, 0x10u);
  EXPECT_EQ(Trace.back(), IoW(1, 0xF45, 0x00));
}

const uint16_t Rtc = 1u << 10;
INSTANTIATE_TEST_SUITE_P(
    Cases, PmClearing,
    ::testing::Values(PmCase{"SciEnSetTouchesNoPmPort", 0x0001, Rtc, Rtc, {IoR(2, 0x804, 0x0001)}},
                      PmCase{"RtcEnabledAndPendingReadsRegisterC",
                             0x0000,
                             Rtc,
                             Rtc | 0x0001,
                             {IoR(2, 0x804, 0x0000), IoR(1, 0x803, 0x04), IoR(1, 0x801, 0x04),
                              IoR(1, 0x70, 0x0D), IoW(1, 0x70, 0x8C), IoR(1, 0x71, 0xC0),
                              IoW(1, 0x70, 0x0D), IoW(2, 0x800, 0xC531),
                              IoW(4, 0x820, 0xFFFFFBFF)}},
                      PmCase{"RtcEnabledNotPending",
                             0x0000,
                             Rtc,
                             0x0000,
                             {IoR(2, 0x804, 0x0000), IoR(1, 0x803, 0x04), IoR(1, 0x801, 0x00),
                              IoW(2, 0x800, 0xC531), IoW(4, 0x820, 0xFFFFFBFF)}},
                      PmCase{"RtcPendingNotEnabledLeaves801Unread",
                             0x0000,
                             0x0000,
                             Rtc,
                             {IoR(2, 0x804, 0x0000), IoR(1, 0x803, 0x00), IoW(2, 0x800, 0xC531),
                              IoW(4, 0x820, 0xFFFFFBFF)}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// The RTC interrupt is acknowledged, and the operating system finds the RTC index and the NMI
// mask it set before the SMI: NMIs are not left masked, its register C selection not lost.
TEST_F(FanControl, StatusClearingAcknowledgesTheHardwareAndGivesTheRtcIndexBack) {
  Start();
  struct OsState {
    uint8_t Index;
    bool NmiMasked;
  };
  for (OsState Os : {OsState{0x0A, false}, OsState{0x00, false}, OsState{0x0B, true}}) {
    SCOPED_TRACE(int(Os.Index));
    B.Io.Pm.Pm1Enable = Rtc;
    B.Io.Pm.Pm1Status = 0xFFFF;
    B.Io.Pm.Gpe0Status = 0xFFFFFFFF;
    B.Io.Rtc.Cmos[0x0C] = 0xC0;
    B.Io.Rtc.RegisterCReads = 0;
    B.Io.Rtc.Index = Os.Index;
    B.Io.Rtc.NmiMasked = Os.NmiMasked;
    std::vector<HardwareAccess> Trace = Tick();
    EXPECT_EQ(B.Io.Pm.Pm1Status, 0xFFFF & ~0xC531);
    EXPECT_EQ(B.Io.Pm.Gpe0Status, 0x00000400u);
    EXPECT_EQ(B.Io.Rtc.RegisterCReads, 1u);
    EXPECT_EQ(B.Io.Rtc.Cmos[0x0C], 0);
    EXPECT_EQ(B.Io.Rtc.Index, Os.Index);
    EXPECT_EQ(B.Io.Rtc.NmiMasked, Os.NmiMasked);
    size_t RtcIndexWrites = std::count_if(Trace.begin(), Trace.end(), [](const HardwareAccess &A) {
      return A.Address == 0x70 && A.IsWrite && A.Where == Space::Io;
    });
    EXPECT_EQ(RtcIndexWrites, 2u) << TraceText(Trace);
  }
}

} // namespace
} // namespace sim::test
