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

} // namespace
} // namespace sim::test
