// ReadVariableGrowBuffer (compiled natively) against the simulated board's variable store.
#include "board_test_support.h"
#include "driver_globals.h"
#include "variables.h"

namespace sim::test {
namespace {

class GrowBuffer : public ::testing::Test {
protected:
  void SetUp() override {
    DriverSystemTable = nullptr; // a fresh image for each test
    InitializeDriverGlobals(&ImageHandle, &B.SystemTable);
    B.Variables.Put(u"Setup", SETUP_GUID, EFI_VARIABLE_NV_BS_RT, PatternedSetup());
  }
  Board B;
  int ImageHandle = 0;
};

TEST_F(GrowBuffer, NullBufferReadsTheStoredSizeWithTwoCalls) {
  VOID *Buffer = nullptr;
  UINTN Size = 12345; // ignored: a null buffer starts from size 0
  UINT32 Attributes = 0;
  EXPECT_EQ(ReadVariableGrowBuffer(u"Setup", &SETUP_GUID, &Attributes, &Size, &Buffer),
            EFI_SUCCESS);
  EXPECT_EQ(B.Variables.CountGets(u"Setup"), 2u);
  EXPECT_EQ(Size, 662u);
  EXPECT_EQ(Attributes, 7u);
  ASSERT_NE(Buffer, nullptr);
  EXPECT_EQ(B.PoolBlocks().at(Buffer).Size, 662u);
  EXPECT_EQ(std::vector<uint8_t>((uint8_t *)Buffer, (uint8_t *)Buffer + 662), PatternedSetup());
  EXPECT_EQ(B.Variables.Calls().front().SizeIn, 0u);
  B.FreePool(Buffer);
  EXPECT_TRUE(B.Problems.empty());
}

TEST_F(GrowBuffer, MissingVariableMakesOneCallAndKeepsTheBufferNull) {
  VOID *Buffer = nullptr;
  UINTN Size = 0;
  EXPECT_EQ(ReadVariableGrowBuffer(u"Nothing", &SETUP_GUID, nullptr, &Size, &Buffer),
            EFI_NOT_FOUND);
  EXPECT_EQ(B.Variables.CountGets(u"Nothing"), 1u);
  EXPECT_EQ(Buffer, nullptr);
  EXPECT_EQ(B.PoolBlocks().size(), 0u);
}

TEST_F(GrowBuffer, ASmallCallerBufferIsFreedAndReplaced) {
  VOID *Small = B.AllocatePool(16, EfiBootServicesData);
  VOID *Buffer = Small;
  UINTN Size = 16;
  EXPECT_EQ(ReadVariableGrowBuffer(u"Setup", &SETUP_GUID, nullptr, &Size, &Buffer), EFI_SUCCESS);
  EXPECT_EQ(B.Variables.CountGets(u"Setup"), 2u);
  EXPECT_NE(Buffer, Small);
  EXPECT_TRUE(B.PoolBlocks().at(Small).Freed);
  EXPECT_EQ(Size, 662u);
  B.FreePool(Buffer);
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
  EXPECT_TRUE(B.Problems.empty());
}

TEST_F(GrowBuffer, ALargeEnoughCallerBufferIsReadOnce) {
  VOID *Large = B.AllocatePool(1000, EfiBootServicesData);
  VOID *Buffer = Large;
  UINTN Size = 1000;
  EXPECT_EQ(ReadVariableGrowBuffer(u"Setup", &SETUP_GUID, nullptr, &Size, &Buffer), EFI_SUCCESS);
  EXPECT_EQ(B.Variables.CountGets(u"Setup"), 1u);
  EXPECT_EQ(Buffer, Large);
  EXPECT_EQ(Size, 662u);
}

TEST_F(GrowBuffer, ExhaustedPoolGivesOutOfResourcesAndANullBuffer) {
  VOID *Small = B.AllocatePool(16, EfiBootServicesData);
  VOID *Buffer = Small;
  UINTN Size = 16;
  B.FailPoolAllocations(1);
  EXPECT_EQ(ReadVariableGrowBuffer(u"Setup", &SETUP_GUID, nullptr, &Size, &Buffer),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Buffer, nullptr);
  EXPECT_TRUE(B.PoolBlocks().at(Small).Freed);
  EXPECT_EQ(B.Variables.CountGets(u"Setup"), 1u);
}

// Statuses of GetVariable other than EFI_BUFFER_TOO_SMALL pass through unchanged, from the first
// read and from the read after the regrowth: errors of every kind and warnings alike.
struct StatusCase {
  const char *Name;
  size_t CallerBuffer;              // 0: start from a null buffer
  std::vector<EFI_STATUS> Statuses; // scripted for the reads in order
  EFI_STATUS Expected;
  size_t Reads;
  bool BufferHandedBack; // a new or the caller's buffer comes back (else null)
};

class GrowBufferStatus : public GrowBuffer, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(GrowBufferStatus, IsPassedThrough) {
  const StatusCase &Case = GetParam();
  B.Variables.ScriptGets(u"Setup", Case.Statuses);
  VOID *Buffer =
      Case.CallerBuffer != 0 ? B.AllocatePool(Case.CallerBuffer, EfiBootServicesData) : nullptr;
  UINTN Size = Case.CallerBuffer;
  EXPECT_EQ(ReadVariableGrowBuffer(u"Setup", &SETUP_GUID, nullptr, &Size, &Buffer), Case.Expected);
  EXPECT_EQ(B.Variables.CountGets(u"Setup"), Case.Reads);
  EXPECT_EQ(Buffer != nullptr, Case.BufferHandedBack);
  if (Buffer != nullptr) {
    B.FreePool(Buffer);
  }
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GrowBufferStatus,
    ::testing::Values(
        StatusCase{"FirstReadDeviceError", 0, {EFI_DEVICE_ERROR}, EFI_DEVICE_ERROR, 1, false},
        StatusCase{"FirstReadSecurityViolation",
                   1000,
                   {EFI_SECURITY_VIOLATION},
                   EFI_SECURITY_VIOLATION,
                   1,
                   true},
        StatusCase{"FirstReadWarning",
                   1000,
                   {EFI_WARN_BUFFER_TOO_SMALL},
                   EFI_WARN_BUFFER_TOO_SMALL,
                   1,
                   true},
        StatusCase{
            "SecondReadDeviceError", 0, {EFI_SUCCESS, EFI_DEVICE_ERROR}, EFI_DEVICE_ERROR, 2, true},
        StatusCase{"SecondReadNotFound", 16, {EFI_SUCCESS, EFI_NOT_FOUND}, EFI_NOT_FOUND, 2, true},
        StatusCase{"SecondReadTooSmallAgainIsNotRetried",
                   0,
                   {EFI_SUCCESS, EFI_BUFFER_TOO_SMALL},
                   EFI_BUFFER_TOO_SMALL,
                   2,
                   true},
        StatusCase{"SecondReadWarning",
                   0,
                   {EFI_SUCCESS, EFI_WARN_BUFFER_TOO_SMALL},
                   EFI_WARN_BUFFER_TOO_SMALL,
                   2,
                   true}),
    [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test
