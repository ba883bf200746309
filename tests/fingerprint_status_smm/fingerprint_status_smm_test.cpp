// FingerprintStatusSmm, run from its image on the board: the three software SMIs asked by a
// program under the operating system, answered through the caller's saved EAX.
#include "support/smm_test_support.h"

namespace sim::test {
namespace {

constexpr uint64_t PasswordSmi = 0x534D1020;
constexpr uint64_t FingerprintSmi = 0x534D8420;
constexpr uint64_t SignatureSmi = 0x534D8920;

std::vector<uint8_t> Passwords(bool UserSet, bool AdminSet) {
  std::vector<uint8_t> Store(257, 0);
  if (UserSet) {
    Store[0] = 'a';
    Store[2] = 'b';
  }
  if (AdminSet) {
    Store[128] = 'x';
  }
  Store[256] = 0x5A;
  return Store;
}

class FingerprintStatus : public ::testing::Test {
protected:
  void Start() {
    RunResult Result = StartDriverImage(B, "FingerprintStatusSmm");
    ASSERT_TRUE(Result.Returned()) << Result.Message;
    ASSERT_EQ(Result.Status, EFI_SUCCESS);
    ASSERT_EQ(B.Smm.SwHandlers().size(), 3u);
    B.EndBootServices();
    B.Variables.ClearLog();
  }
  void PutPasswords(const std::vector<uint8_t> &Store) {
    B.Variables.Put(u"VELTRASetup", VELTRASETUP_GUID, EFI_VARIABLE_NV_BS_RT, Store);
  }
  void PutFpExist(const std::vector<uint8_t> &Value) {
    B.Variables.Put(u"FPExistFlag", EFI_GLOBAL_VARIABLE, EFI_VARIABLE_NV_BS_RT, Value);
  }
  void PutReaderOption(uint8_t Value, size_t Size = 662) {
    std::vector<uint8_t> Setup = PatternedSetup();
    Setup.resize(Size, 0x11);
    Setup[0x218] = Value;
    PutSetup(B, Setup);
  }
  // All save-state records, byte for byte.
  std::vector<uint8_t> SaveStates() const {
    const uint8_t *First = reinterpret_cast<const uint8_t *>(B.Smm.SaveState(0));
    return std::vector<uint8_t>(First, First + 712 * B.Smm.Options().NumberOfCpus);
  }
  void TearDown() override {
    EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
    EXPECT_TRUE(B.Hardware.Trace().empty()) << TraceText(B.Hardware.Trace());
    EXPECT_EQ(B.LivePoolBlocks(), 0u);
  }
  Board B;
};

TEST_F(FingerprintStatus, RegistersThreeValuesInOrderAndTheDispatcherKeepsItsCopies) {
  Start();
  const auto &Handlers = B.Smm.SwHandlers();
  EXPECT_EQ(Handlers[0]->Context.SwSmiInputValue, FingerprintSmi);
  EXPECT_EQ(Handlers[1]->Context.SwSmiInputValue, SignatureSmi);
  EXPECT_EQ(Handlers[2]->Context.SwSmiInputValue, PasswordSmi);
  EXPECT_EQ(Handlers[0]->Function, Handlers[1]->Function);
  EXPECT_EQ(Handlers[1]->Function, Handlers[2]->Function);
  EXPECT_TRUE(B.Smm.Callbacks().empty());
}

struct PasswordCase {
  const char *Name;
  std::vector<uint8_t> Store; // empty: no "VELTRASetup"
  uint32_t Expected;
};

class PasswordState : public FingerprintStatus,
                      public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(PasswordState, AnswersInEax) {
  if (!GetParam().Store.empty()) {
    PutPasswords(GetParam().Store);
  }
  Start();
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(PasswordSmi, 0x00001000), GetParam().Expected);
  EXPECT_EQ(B.Variables.CountGets(u"VELTRASetup"), 1u);
  ASSERT_FALSE(B.Variables.Calls().empty());
  EXPECT_EQ(B.Variables.Calls().front().SizeIn, 257u);
  EXPECT_FALSE(B.Variables.Calls().front().AttributesPointer);
}

// Every bit of the first UINT16 counts: a field whose first unit is 0x8000 (only the top bit of
// its second byte) or 0x0001 is set.
std::vector<uint8_t> FirstUnitsWithOneBit() {
  std::vector<uint8_t> Store(257, 0);
  Store[1] = 0x80;
  Store[128] = 0x01;
  return Store;
}

std::vector<uint8_t> ZeroFirstUnitsOnly() {
  std::vector<uint8_t> Store(257, 0x41);
  Store[0] = Store[1] = 0;
  Store[128] = Store[129] = 0;
  return Store;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PasswordState,
    ::testing::Values(
        PasswordCase{"BothSet", Passwords(true, true), 0x000A0000},
        PasswordCase{"BothEmpty", Passwords(false, false), 0x000E0001},
        PasswordCase{"UserEmpty", Passwords(false, true), 0x000E0000},
        PasswordCase{"AdminEmpty", Passwords(true, false), 0x000A0001},
        PasswordCase{"OnlyTheFirstUnitCounts", ZeroFirstUnitsOnly(), 0x000E0001},
        PasswordCase{"EveryBitOfTheFirstUnitCounts", FirstUnitsWithOneBit(), 0x000A0000},
        PasswordCase{"NoStore", {}, 0x000A0000},
        PasswordCase{"OversizedStoreFailsTheRead", std::vector<uint8_t>(258, 0), 0x000A0000}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(FingerprintStatus, OnlyAhChoosesTheFunction) {
  PutPasswords(Passwords(false, true));
  Start();
  // Any of the three values, and any bits outside AH.
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(FingerprintSmi, 0xDEAD10EF), 0x000E0000u);
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(SignatureSmi, 0x12341056), 0x000E0000u);
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(PasswordSmi, 0xFFFF89FF), 0x5553000Fu);
}

struct FingerprintCase {
  const char *Name;
  std::vector<uint8_t> FpExist; // empty: no "FPExistFlag"
  int ReaderOption;             // -1: no "Setup"
  size_t SetupSize;
  uint32_t Expected;
  size_t SetupReads;
};

class FingerprintState : public FingerprintStatus,
                         public ::testing::WithParamInterface<FingerprintCase> {};

TEST_P(FingerprintState, AnswersInEax) {
  const FingerprintCase &Case = GetParam();
  if (!Case.FpExist.empty()) {
    PutFpExist(Case.FpExist);
  }
  if (Case.ReaderOption >= 0) {
    PutReaderOption((uint8_t)Case.ReaderOption, Case.SetupSize);
  }
  Start();
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(FingerprintSmi, 0xFFFF84FF), Case.Expected);
  EXPECT_EQ(B.Variables.CountGets(u"FPExistFlag"), 1u);
  EXPECT_EQ(B.Variables.CountGets(u"Setup"), Case.SetupReads);
  const auto &Calls = B.Variables.Calls();
  ASSERT_FALSE(Calls.empty());
  EXPECT_EQ(Calls[0].Name, u"FPExistFlag");
  EXPECT_EQ(Calls[0].SizeIn, 8u);
  if (Case.SetupReads != 0) {
    EXPECT_EQ(Calls[1].SizeIn, 662u);
  }
  for (const VariableCall &Call : Calls) {
    EXPECT_FALSE(Call.AttributesPointer) << Narrow(Call.Name);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FingerprintState,
    ::testing::Values(
        FingerprintCase{"FingerAndReader", {0x02, 0, 0, 0, 0, 0, 0, 0}, 1, 662, 7, 1},
        FingerprintCase{"Bit1ClearNoReader", {0x01, 0, 0, 0, 0, 0, 0, 0}, 0, 662, 0, 1},
        FingerprintCase{"ReaderOnly", {0xFD, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, 0x80, 662, 4, 1},
        FingerprintCase{"NoFpExistFlagLeavesSetupUnread", {}, 1, 662, 0, 0},
        FingerprintCase{"OneByteFlag", {0x02}, 0, 662, 3, 1},
        FingerprintCase{"OversizedFlagFails", {0x02, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 662, 0, 0},
        FingerprintCase{"NoSetupKeepsTheFlagAnswer", {0x02}, -1, 662, 3, 1},
        FingerprintCase{"OversizedSetupFails", {0x02}, 1, 663, 3, 1},
        FingerprintCase{"ShortSetupIsRead", {0x00}, 1, 0x219, 4, 1}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// A stored variable shorter than its buffer leaves the bytes behind it 0, whatever an earlier
// SMI read into the same buffer: the answer depends on the stored bytes only.
TEST_F(FingerprintStatus, BytesBeyondAShortVariableReadAsZero) {
  PutFpExist({0x02});
  Start();
  struct Step {
    std::vector<uint8_t> Passwords; // "VELTRASetup" as stored before the step
    size_t SetupSize;               // "Setup", all bytes 0xC5
    uint32_t PasswordAnswer, FingerprintAnswer;
  };
  // A full-size store fills both buffers with non-zero bytes; then one byte {0x41} (user
  // password set, administrator field empty) and a Setup that ends before byte 0x218.
  const std::vector<uint8_t> AllSet(257, 0x41);
  for (const Step &S : {Step{{0x41}, 0x100, 0x000A0001, 3}, Step{AllSet, 662, 0x000A0000, 7},
                        Step{{0x41}, 0x100, 0x000A0001, 3}, Step{AllSet, 662, 0x000A0000, 7},
                        Step{{0x00}, 0x218, 0x000E0001, 3}}) {
    SCOPED_TRACE(testing::Message() << S.Passwords.size() << "/" << S.SetupSize);
    PutPasswords(S.Passwords);
    PutSetup(B, std::vector<uint8_t>(S.SetupSize, 0xC5));
    EXPECT_EQ(B.Smm.TriggerSoftwareSmi(PasswordSmi, 0x00001000), S.PasswordAnswer);
    EXPECT_EQ(B.Smm.TriggerSoftwareSmi(FingerprintSmi, 0x00008400), S.FingerprintAnswer);
  }
}

// Configuration-table entries that cannot serve: an entry with a NULL table counts as missing,
// and so does a variable-services table without a read function. Nothing is called through
// them; the SMI answers as without the entry.
struct UnusableCase {
  const char *Name;
  bool VariableTableNull; // the variable-services entry's VendorTable is NULL
  bool ReadFunctionNull;  // the variable-services table has no read function
  bool CpuIndexTableNull; // the CPU index entry's VendorTable is NULL
  uint32_t SignatureAnswer;
  size_t AnsweredRecord; // record that receives the answer (the executing processor is 2)
};

class UnusableTable : public FingerprintStatus,
                      public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableTable, IsTreatedAsMissing) {
  const UnusableCase &Case = GetParam();
  PutPasswords(Passwords(false, false));
  SMM_VARIABLE_SERVICES_TABLE NoReader{};
  NoReader.GetVariable = nullptr;
  SmmOptions Options;
  Options.NumberOfCpus = 4;
  Options.CurrentlyExecutingCpu = 2;
  Options.CallerCpu = Case.AnsweredRecord;
  Options.CpuIndexTableValue = 3; // a real index table would name record 3
  if (Case.VariableTableNull || Case.ReadFunctionNull) {
    Options.VariableServicesTable = false;
    Options.ExtraEntries.push_back(
        {SMM_VARIABLE_SERVICES_TABLE_GUID, Case.VariableTableNull ? nullptr : &NoReader});
  }
  if (Case.CpuIndexTableNull) {
    Options.CpuIndexTable = false;
    Options.ExtraEntries.push_back({SMM_CPU_INDEX_TABLE_GUID, nullptr});
  }
  B.Smm.Configure(Options);
  Start();
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(SignatureSmi, 0x00008900), Case.SignatureAnswer);
  uint32_t PasswordAnswer = Case.SignatureAnswer == 0x00008900 ? 0x00001000u : 0x000E0001u;
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(PasswordSmi, 0x00001000), PasswordAnswer);
  EXPECT_EQ(B.Smm.SavedEax(Case.AnsweredRecord), PasswordAnswer);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnusableTable,
                         ::testing::Values(UnusableCase{"VariableEntryWithNullTable", true, false,
                                                        false, 0x00008900, 3},
                                           UnusableCase{"VariableTableWithoutReadFunction", false,
                                                        true, false, 0x00008900, 3},
                                           UnusableCase{"CpuIndexEntryWithNullTable", false, false,
                                                        true, 0x5553000F, 1}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(FingerprintStatus, SignatureIsFixedAndOtherFunctionsLeaveEaxAlone) {
  Start(); // no variables at all
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(SignatureSmi, 0x00008900), 0x5553000Fu);
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(SignatureSmi, 0x12342000), 0x12342000u);
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(SignatureSmi, 0xABCD00EF), 0xABCD00EFu);
  EXPECT_TRUE(B.Variables.Calls().empty());
}

TEST_F(FingerprintStatus, UnregisteredValueRunsNoHandler) {
  PutPasswords(Passwords(false, false));
  Start();
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(0x534D1021, 0x00001000), 0x00001000u);
  EXPECT_TRUE(B.Variables.Calls().empty());
}

TEST_F(FingerprintStatus, WithoutVariableServicesNoFunctionAnswers) {
  PutPasswords(Passwords(false, false));
  SmmOptions Options;
  Options.VariableServicesTable = false;
  B.Smm.Configure(Options);
  Start();
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(SignatureSmi, 0x00008900), 0x00008900u);
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(PasswordSmi, 0x00001000), 0x00001000u);
  EXPECT_TRUE(B.Variables.Calls().empty());
}

// Which save-state record carries the caller's registers.
struct CpuCase {
  const char *Name;
  size_t Cpus;
  size_t Executing;              // CurrentlyExecutingCpu, from 1
  std::optional<uint64_t> Index; // CPU index table value; nullopt: no table
  size_t Caller;                 // record the answer must land in
};

class CallerRecord : public FingerprintStatus, public ::testing::WithParamInterface<CpuCase> {};

TEST_P(CallerRecord, AnswerGoesIntoThatRecordOnly) {
  const CpuCase &Case = GetParam();
  SmmOptions Options;
  Options.NumberOfCpus = Case.Cpus;
  Options.CurrentlyExecutingCpu = Case.Executing;
  Options.CpuIndexTable = Case.Index.has_value();
  Options.CpuIndexTableValue = Case.Index;
  Options.CallerCpu = Case.Caller;
  B.Smm.Configure(Options);
  Start();
  std::vector<uint8_t> Before = SaveStates();
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(SignatureSmi, 0x00008900), 0x5553000Fu);
  std::vector<uint8_t> After = SaveStates();
  size_t Eax = Case.Caller * 712 + 464;
  uint32_t Answer;
  std::memcpy(&Answer, After.data() + Eax, 4);
  EXPECT_EQ(Answer, 0x5553000Fu);
  // Everything but the caller's EAX is as it was (the board wrote the caller's EAX on entry).
  std::memcpy(After.data() + Eax, Before.data() + Eax, 4);
  EXPECT_EQ(After, Before);
}

INSTANTIATE_TEST_SUITE_P(Cases, CallerRecord,
                         ::testing::Values(CpuCase{"IndexTableNamesRecordTwo", 4, 1, 2, 2},
                                           CpuCase{"IndexTableNamesRecordZero", 4, 3, 0, 0},
                                           CpuCase{"NoIndexTableUsesTheExecutingProcessor", 4, 2,
                                                   std::nullopt, 1},
                                           CpuCase{"SingleProcessor", 1, 1, std::nullopt, 0}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// A read function that must not be called: a read through it counts and fails.
unsigned DecoyReads = 0;
EFI_STATUS EFIAPI DecoyGetVariable(const CHAR16 *, const EFI_GUID *, UINT32 *, UINTN *, VOID *) {
  DecoyReads++;
  return EFI_DEVICE_ERROR;
}

TEST_F(FingerprintStatus, TheFirstVariableServicesTableWins) {
  DecoyReads = 0;
  SMM_VARIABLE_SERVICES_TABLE Later{};
  Later.GetVariable = DecoyGetVariable;
  SmmOptions Options;
  Options.ExtraEntries = {{SMM_VARIABLE_SERVICES_TABLE_GUID, &Later}};
  B.Smm.Configure(Options);
  PutPasswords(Passwords(false, true));
  Start();
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(PasswordSmi, 0x00001000), 0x000E0000u);
  EXPECT_EQ(DecoyReads, 0u);
  EXPECT_EQ(B.Variables.CountGets(u"VELTRASetup"), 1u);
}

TEST_F(FingerprintStatus, TheFirstCpuIndexTableWins) {
  SMM_CPU_INDEX_TABLE Later = {0};
  SmmOptions Options;
  Options.NumberOfCpus = 4;
  Options.CallerCpu = 3;
  Options.ExtraEntries = {{SMM_CPU_INDEX_TABLE_GUID, &Later}};
  B.Smm.Configure(Options);
  Start();
  EXPECT_EQ(B.Smm.TriggerSoftwareSmi(SignatureSmi, 0x00008900), 0x5553000Fu);
  EXPECT_EQ(B.Smm.SavedEax(0), 0u);
}

// An index outside the save-state array: no answer, no record touched, nothing written
// behind the array.
class IndexOutOfRange : public FingerprintStatus, public ::testing::WithParamInterface<CpuCase> {};

TEST_P(IndexOutOfRange, LeavesEverySaveStateUntouched) {
  const CpuCase &Case = GetParam();
  PutPasswords(Passwords(false, false));
  SmmOptions Options;
  Options.NumberOfCpus = Case.Cpus;
  Options.CurrentlyExecutingCpu = Case.Executing;
  Options.CpuIndexTable = Case.Index.has_value();
  Options.CpuIndexTableValue = Case.Index;
  Options.CallerCpu = Case.Caller;
  B.Smm.Configure(Options);
  Start();
  for (uint32_t Function : {0x1000u, 0x8400u, 0x8900u}) {
    // As the board saves the caller's EAX on entry, nothing else may change.
    std::vector<uint8_t> Expected = SaveStates();
    std::memcpy(Expected.data() + Case.Caller * 712 + 464, &Function, 4);
    EXPECT_EQ(B.Smm.TriggerSoftwareSmi(SignatureSmi, Function), Function);
    EXPECT_EQ(SaveStates(), Expected);
  }
  EXPECT_TRUE(B.Variables.Calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexOutOfRange,
    ::testing::Values(CpuCase{"IndexEqualsNumberOfCpus", 2, 1, 2, 0},
                      CpuCase{"IndexOneBeyondTheRecordBehind", 2, 1, 3, 0},
                      CpuCase{"IndexWellBeyondTheArray", 4, 1, 12, 3},
                      CpuCase{"IndexFarOutside", 2, 1, 0x100000, 1},
                      CpuCase{"ExecutingCpuZeroWithoutIndexTable", 2, 0, std::nullopt, 0},
                      CpuCase{"ExecutingCpuBeyondTheArray", 2, 3, std::nullopt, 1}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(FingerprintStatus, WithoutSwDispatchNothingIsRegistered) {
  SmmOptions Options;
  Options.SwDispatchProtocol = false;
  B.Smm.Configure(Options);
  RunResult Result = StartDriverImage(B, "FingerprintStatusSmm");
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_NOT_FOUND);
  EXPECT_TRUE(B.Smm.SwHandlers().empty());
}

// A registration that fails leaves no handler behind: the ones made before it are unregistered,
// the failure is the entry's result (so the SMM core unloads the copy), and no software SMI
// reaches the unloaded copy afterwards.
struct RegisterFailureCase {
  const char *Name;
  uint64_t FailingValue;
  size_t RegisteredBeforeIt;
};

class RegisterFailure : public FingerprintStatus,
                        public ::testing::WithParamInterface<RegisterFailureCase> {};

TEST_P(RegisterFailure, UnregistersTheOthersAndIsTheResult) {
  const RegisterFailureCase &Case = GetParam();
  PutPasswords(Passwords(false, false));
  SmmOptions Options;
  Options.SwRegisterFailures = {{Case.FailingValue, EFI_OUT_OF_RESOURCES}};
  B.Smm.Configure(Options);
  size_t Seen = 0;
  B.Smm.OnEntryRegistration = [&](const PeImage &) { Seen++; };
  RunResult Result = StartDriverImage(B, "FingerprintStatusSmm");
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Seen, Case.RegisteredBeforeIt + 1)
      << "registrations tried, in order, up to the failure";
  EXPECT_TRUE(B.Smm.SwHandlers().empty());
  const SmmImageRecord *Copy = B.Smm.Image("FingerprintStatusSmm");
  ASSERT_NE(Copy, nullptr);
  EXPECT_TRUE(Copy->Unloaded);
  B.EndBootServices();
  for (uint64_t Value : {FingerprintSmi, SignatureSmi, PasswordSmi}) {
    EXPECT_EQ(B.Smm.TriggerSoftwareSmi(Value, 0x00008900), 0x00008900u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RegisterFailure,
                         ::testing::Values(RegisterFailureCase{"First", FingerprintSmi, 0},
                                           RegisterFailureCase{"Second", SignatureSmi, 1},
                                           RegisterFailureCase{"Third", PasswordSmi, 2}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test
