// Device-path length, copy and join (compiled natively) with the board's pool.
#include "board_test_support.h"
#include "device_path.h"
#include "driver_globals.h"

namespace sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

const EFI_DEVICE_PATH_PROTOCOL *AsPath(const Bytes &Path) {
  return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Path.data());
}

Bytes Taken(const EFI_DEVICE_PATH_PROTOCOL *Path, size_t Length) {
  const uint8_t *P = reinterpret_cast<const uint8_t *>(Path);
  return Bytes(P, P + Length);
}

const Bytes PciNode = {0x01, 0x01, 0x06, 0x00, 0x02, 0x1F};
const Bytes End = {0x7F, 0xFF, 0x04, 0x00};
const Bytes FvFileNode = {0x04, 0x06, 0x14, 0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,
                          0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0};

Bytes Join(std::initializer_list<Bytes> Parts) {
  Bytes Path;
  for (const Bytes &Part : Parts) {
    Path.insert(Path.end(), Part.begin(), Part.end());
  }
  return Path;
}

struct LengthCase {
  const char *Name;
  Bytes Path;
  UINTN Expected;
};

class DevicePathLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(DevicePathLength, CountsNodesAndFourBytesForTheEndNode) {
  // Trailing bytes that a walk past the end would misread as nodes.
  Bytes Path = Join({GetParam().Path, {0x01, 0x01, 0x40, 0x00, 0, 0, 0, 0}});
  EXPECT_EQ(GetDevicePathLength(AsPath(Path)), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DevicePathLength,
    ::testing::Values(
        LengthCase{"OneNodeAndEnd", Join({PciNode, End}), 10}, LengthCase{"EndOnly", End, 4},
        LengthCase{"FirstNodeTypeZero", Join({{0x00, 0x01, 0x06, 0x00, 1, 2}, End}), 0},
        LengthCase{"LengthZeroStopsWithoutEndNode",
                   Join({PciNode, PciNode, {0x01, 0x01, 0x00, 0x00}, End}), 12},
        LengthCase{"TypeZeroAfterNodesStopsWithoutEndNode",
                   Join({PciNode, {0x00, 0x00, 0x04, 0x00}, End}), 6},
        LengthCase{"LengthShorterThanTheHeaderStops",
                   Join({PciNode, {0x01, 0x01, 0x02, 0x00}, {0x01, 0x01, 0xFF, 0xFF}, End}), 6},
        LengthCase{"LengthThreeStops", Join({PciNode, {0x01, 0x01, 0x03, 0x00, 0x00}, End}), 6},
        LengthCase{"LengthFourIsANode", Join({PciNode, {0x01, 0x01, 0x04, 0x00}, End}), 14},
        LengthCase{"EndNodeOfTypeFF", Join({PciNode, {0xFF, 0xFF, 0x04, 0x00}}), 10},
        LengthCase{"EndNodeLengthFieldIgnored", Join({PciNode, {0x7F, 0xFF, 0x08, 0x00}}), 10},
        LengthCase{"EndInstanceIsAnOrdinaryNode",
                   Join({PciNode, {0x7F, 0x01, 0x04, 0x00}, FvFileNode, End}), 34},
        LengthCase{"TypeFFWithOtherSubTypeIsOrdinary", Join({{0xFF, 0x01, 0x06, 0x00, 0, 0}, End}),
                   10}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(DevicePathLengthNull, NullPathHasLengthZero) {
  EXPECT_EQ(GetDevicePathLength(nullptr), 0u);
}

class DevicePathPool : public ::testing::Test {
protected:
  void SetUp() override {
    DriverSystemTable = nullptr;
    InitializeDriverGlobals(&ImageHandle, &B.SystemTable);
  }
  // The bytes of a returned buffer, checked to be a pool block of exactly that size, then freed.
  Bytes Collect(EFI_DEVICE_PATH_PROTOCOL *Path) {
    EXPECT_NE(Path, nullptr);
    if (Path == nullptr) {
      return {};
    }
    EXPECT_EQ(B.PoolBlocks().count(Path), 1u);
    size_t Size = B.PoolBlocks().at(Path).Size;
    EXPECT_EQ(B.PoolBlocks().at(Path).Type, EfiBootServicesData);
    Bytes Result = Taken(Path, Size);
    B.FreePool(Path);
    return Result;
  }
  void TearDown() override {
    EXPECT_EQ(B.LivePoolBlocks(), 0u);
    EXPECT_TRUE(B.Problems.empty());
  }
  Board B;
  int ImageHandle = 0;
};

TEST_F(DevicePathPool, JoinKeepsOneEndNode) {
  Bytes Device = Join({PciNode, End});
  Bytes File = Join({FvFileNode, End});
  EXPECT_EQ(Collect(JoinDevicePaths(AsPath(Device), AsPath(File))),
            Join({PciNode, FvFileNode, End}));
}

TEST_F(DevicePathPool, JoinDropsTheFirstEndNodeWhateverItsLengthField) {
  Bytes Device = Join({PciNode, {0x7F, 0xFF, 0x08, 0x00, 0xEE, 0xEE, 0xEE, 0xEE}});
  Bytes File = Join({FvFileNode, End});
  EXPECT_EQ(Collect(JoinDevicePaths(AsPath(Device), AsPath(File))),
            Join({PciNode, FvFileNode, End}));
}

TEST_F(DevicePathPool, JoinWithNullHalves) {
  Bytes Device = Join({PciNode, End});
  Bytes File = Join({FvFileNode, End});
  EXPECT_EQ(Collect(JoinDevicePaths(AsPath(Device), nullptr)), Device);
  EXPECT_EQ(Collect(JoinDevicePaths(nullptr, AsPath(File))), File);
  EXPECT_EQ(Collect(JoinDevicePaths(nullptr, nullptr)), End);
}

// A first path whose walk stops without an end node keeps every counted node: nothing of a real
// node is cut, and the second path's end node ends the result.
TEST_F(DevicePathPool, JoinKeepsEveryNodeOfAFirstPathWithoutEndNode) {
  Bytes File = Join({FvFileNode, End});
  for (const Bytes &Stop : {Bytes{0x00, 0x00, 0x04, 0x00}, Bytes{0x01, 0x01, 0x00, 0x00}}) {
    SCOPED_TRACE(int(Stop[0]));
    Bytes Device = Join({PciNode, PciNode, Stop, End});
    EXPECT_EQ(Collect(JoinDevicePaths(AsPath(Device), AsPath(File))),
              Join({PciNode, PciNode, FvFileNode, End}));
  }
}

TEST_F(DevicePathPool, JoinWithAFirstPathShorterThanAnEndNodeCopiesOnlyTheSecond) {
  Bytes Broken = {0x00, 0x00, 0x00, 0x00};
  Bytes File = Join({FvFileNode, End});
  EXPECT_EQ(Collect(JoinDevicePaths(AsPath(Broken), AsPath(File))), File);
}

TEST_F(DevicePathPool, CopyTakesTheCountedLength) {
  Bytes Path = Join({PciNode, FvFileNode, End, {0xCC, 0xCC}});
  EXPECT_EQ(Collect(CopyDevicePath(AsPath(Path))), Join({PciNode, FvFileNode, End}));
  EXPECT_EQ(CopyDevicePath(nullptr), nullptr);
}

// A path whose walk stops at a malformed node is handed on with an end node behind its counted
// nodes: a copy, a join behind it and a join onto it all end with 7F FF 04 00.
TEST_F(DevicePathPool, EveryCopyAndJoinEndsWithAnEndNode) {
  for (const Bytes &Stop : {Bytes{0x00, 0x00, 0x04, 0x00}, Bytes{0x01, 0x01, 0x02, 0x00},
                            Bytes{0x04, 0x04, 0x00, 0x00}}) {
    SCOPED_TRACE(int(Stop[2]));
    Bytes Unended = Join({FvFileNode, Stop, {0xCC, 0xCC, 0xCC, 0xCC}});
    Bytes Device = Join({PciNode, End});
    EXPECT_EQ(Collect(CopyDevicePath(AsPath(Unended))), Join({FvFileNode, End}));
    EXPECT_EQ(Collect(JoinDevicePaths(AsPath(Device), AsPath(Unended))),
              Join({PciNode, FvFileNode, End}));
    EXPECT_EQ(Collect(JoinDevicePaths(nullptr, AsPath(Unended))), Join({FvFileNode, End}));
    EXPECT_EQ(Collect(JoinDevicePaths(AsPath(Unended), nullptr)), Join({FvFileNode, End}));
    EXPECT_EQ(Collect(JoinDevicePaths(AsPath(Unended), AsPath(Unended))),
              Join({FvFileNode, FvFileNode, End}));
  }
}

TEST_F(DevicePathPool, ExhaustedPoolGivesNullForEveryShape) {
  Bytes Device = Join({PciNode, End});
  Bytes File = Join({FvFileNode, End});
  B.FailPoolAllocations(5);
  EXPECT_EQ(CopyDevicePath(AsPath(Device)), nullptr);
  EXPECT_EQ(JoinDevicePaths(AsPath(Device), AsPath(File)), nullptr);
  EXPECT_EQ(JoinDevicePaths(nullptr, AsPath(File)), nullptr);
  EXPECT_EQ(JoinDevicePaths(AsPath(Device), nullptr), nullptr);
  EXPECT_EQ(JoinDevicePaths(nullptr, nullptr), nullptr);
  EXPECT_TRUE(B.PoolBlocks().empty());
}

} // namespace
} // namespace sim::test
