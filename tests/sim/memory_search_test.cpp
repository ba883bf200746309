// The board's memory search finds bytes wherever a driver may leave them: the low-memory
// window, live and freed pool blocks, pages; and says where.
#include "board.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace sim {
namespace {

const std::vector<uint8_t> kSecret = {'s', 0, 'e', 0, 'c', 0, 'r', 0, '3', 0, 't', 0};

void Put(void *At) {
  std::memcpy(At, kSecret.data(), kSecret.size());
}

struct Place {
  const char *Name;
  const char *Where; // start of the hit's description
};
void PrintTo(const Place &Case, std::ostream *Out) {
  *Out << Case.Name;
}

class MemorySearch : public ::testing::TestWithParam<Place> {};

TEST_P(MemorySearch, FindsTheBytesAndSaysWhere) {
  const std::string Name = GetParam().Name;
  Board B;
  EXPECT_FALSE(B.MemoryContains(kSecret));
  void *At = nullptr;
  if (Name == "Window") {
    At = reinterpret_cast<void *>(0x7FFF0);
  } else if (Name == "LivePool" || Name == "FreedPool") {
    At = static_cast<uint8_t *>(B.AllocatePool(100, EfiBootServicesData)) + 40;
  } else if (Name == "Pages") {
    EFI_PHYSICAL_ADDRESS Address = 0;
    ASSERT_EQ(B.BootServices.AllocatePages(AllocateAnyPages, EfiBootServicesData, 1, &Address),
              EFI_SUCCESS);
    At = reinterpret_cast<void *>(Address + 0x800);
  }
  Put(At);
  if (Name == "FreedPool") {
    B.FreePool(static_cast<uint8_t *>(At) - 40);
  }
  std::vector<MemoryHit> Hits = B.FindInMemory(kSecret);
  ASSERT_EQ(Hits.size(), 1u);
  EXPECT_EQ(Hits[0].Address, reinterpret_cast<uint64_t>(At));
  EXPECT_EQ(Hits[0].Where.rfind(GetParam().Where, 0), 0u) << Hits[0].Where;
  EXPECT_TRUE(B.MemoryContains(kSecret));
  std::memset(At, 0, kSecret.size());
  EXPECT_FALSE(B.MemoryContains(kSecret));
}

INSTANTIATE_TEST_SUITE_P(Places, MemorySearch,
                         ::testing::Values(Place{"Window", "low memory 0x7FFF0"},
                                           Place{"LivePool", "live pool block"},
                                           Place{"FreedPool", "freed pool block"},
                                           Place{"Pages", "live pages"}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST(MemorySearchAcrossReboot, FreedMemoryOfAnEarlierBootIsStillSearched) {
  Board B;
  auto *Block = static_cast<uint8_t *>(B.AllocatePool(64, EfiBootServicesData));
  Put(Block);
  B.FreePool(Block);
  B.Reboot();
  EXPECT_TRUE(B.MemoryContains(kSecret));
  std::memset(Block, 0, kSecret.size());
}

} // namespace
} // namespace sim
