// The board's memory search finds bytes wherever a driver may leave them: the low-memory
// window, live and freed pool blocks, pages, the stack the images ran on; and says where.
#include "board.h"
#include "physical_memory.h"

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

// ---- the image stack --------------------------------------------------------------------------
// Code run as an image runs: its dead frames stay on the image stack for the search to read.
__attribute__((noinline)) uintptr_t LeaveSecretInFrame() {
  volatile uint8_t Frame[32] = {};
  for (size_t I = 0; I < kSecret.size(); I++) {
    Frame[8 + I] = kSecret[I];
  }
  uintptr_t Address = reinterpret_cast<uintptr_t>(&Frame[8]); // an address, never dereferenced
  return Address;
}

__attribute__((noinline)) void ScribbleDeep() {
  volatile uint8_t Frame[64 << 10];
  for (size_t I = 0; I < sizeof(Frame); I++) {
    Frame[I] = 0xAA;
  }
}

uintptr_t ImageStackTop() {
  return reinterpret_cast<uintptr_t>(ImageStackBase()) + kImageStackSize;
}

TEST(MemorySearchOfTheImageStack, FindsWhatImageCodeLeftInItsDeadFrames) {
  Board B;
  uintptr_t At = 0;
  ASSERT_TRUE(RunGuarded([&]() -> uint64_t {
                At = LeaveSecretInFrame();
                return 0;
              }).How == Outcome::Returned);
  std::vector<MemoryHit> Hits = B.FindInMemory(kSecret);
  ASSERT_EQ(Hits.size(), 1u);
  EXPECT_EQ(Hits[0].Address, At);
  EXPECT_EQ(Hits[0].Where.rfind("image stack", 0), 0u) << Hits[0].Where;
  std::memset(reinterpret_cast<void *>(At), 0, kSecret.size());
}

// Board services that image code calls run on a stack of their own: their frames leave nothing
// on the image stack.
TEST(MemorySearchOfTheImageStack, ServicesRunOffIt) {
  Board B;
  uintptr_t At = 0;
  RunGuarded([&]() -> uint64_t {
    RunOffImageStack([&] { At = LeaveSecretInFrame(); });
    return 0;
  });
  EXPECT_FALSE(OnImageStack(reinterpret_cast<void *>(At)));
  EXPECT_FALSE(B.MemoryContains(kSecret));
  std::memset(reinterpret_cast<void *>(At), 0, kSecret.size());
}

// Image code that a service runs (an SMM driver's entry point, say) continues below the live
// frames of the image that called the service; a halt there leaves the next call at the top.
TEST(MemorySearchOfTheImageStack, ANestedCallKeepsTheCallersFramesAndAHaltStartsAfresh) {
  Board B;
  bool Intact = false;
  RunGuarded([&]() -> uint64_t {
    volatile uint8_t Live[16];
    for (size_t I = 0; I < sizeof(Live); I++) {
      Live[I] = (uint8_t)(0x40 + I);
    }
    RunOffImageStack([&] {
      RunGuarded([]() -> uint64_t {
        ScribbleDeep();
        return 0;
      });
    });
    Intact = true;
    for (size_t I = 0; I < sizeof(Live); I++) {
      Intact = Intact && Live[I] == (uint8_t)(0x40 + I);
    }
    return 0;
  });
  EXPECT_TRUE(Intact);

  GuardedResult Halted = RunGuarded([]() -> uint64_t {
    RunOffImageStack([] { HaltGuarded("a service"); });
    return 0;
  });
  EXPECT_EQ(Halted.How, Outcome::Halted);
  uintptr_t At = 0;
  RunGuarded([&]() -> uint64_t {
    At = LeaveSecretInFrame();
    return 0;
  });
  EXPECT_TRUE(OnImageStack(reinterpret_cast<void *>(At)));
  EXPECT_LT(ImageStackTop() - At, 4096u);
  std::memset(reinterpret_cast<void *>(At), 0, kSecret.size());
}

// A service entered through its thunk runs on the service stack with all its arguments, those
// passed on the stack included.
bool ServiceRanOffTheImageStack = false;
UINT64 EFIAPI SevenArguments(UINT64 A, UINT64 B, UINT64 C, UINT64 D, UINT64 E, UINT64 F, UINT64 G) {
  volatile uint8_t Local = 0;
  ServiceRanOffTheImageStack = !OnImageStack(const_cast<uint8_t *>(&Local));
  return A + 10 * B + 100 * C + 1000 * D + 10000 * E + 100000 * F + 1000000 * G;
}

VOID EFIAPI NoArguments() {}

TEST(MemorySearchOfTheImageStack, AServiceThunkPassesEveryArgument) {
  Board B;
  auto Service = OffImageStack<SevenArguments>;
  uint64_t Value = 0;
  RunGuarded([&]() -> uint64_t {
    Value = Service(1, 2, 3, 4, 5, 6, 7);
    return 0;
  });
  EXPECT_EQ(Value, 7654321u);
  EXPECT_TRUE(ServiceRanOffTheImageStack);
  // Called from the host's own stack it is a plain call.
  EXPECT_EQ(Service(7, 6, 5, 4, 3, 2, 1), 1234567u);
}

// The watch sees what a returned function left in its frame at the next service call, even when
// later frames overwrite it before the run ends.
TEST(MemorySearchOfTheImageStack, TheWatchSeesDeadFramesAtServiceCalls) {
  for (bool Watch : {true, false}) {
    SCOPED_TRACE(Watch);
    Board B;
    if (Watch) {
      B.WatchDeadImageStack(kSecret);
    }
    uintptr_t At = 0;
    RunGuarded([&]() -> uint64_t {
      At = LeaveSecretInFrame();
      OffImageStack<NoArguments>();
      ScribbleDeep();
      return 0;
    });
    std::vector<MemoryHit> Hits = B.FindInMemory(kSecret);
    if (!Watch) {
      EXPECT_TRUE(Hits.empty());
      continue;
    }
    ASSERT_EQ(Hits.size(), 1u);
    EXPECT_EQ(Hits[0].Address, At);
    EXPECT_EQ(Hits[0].Where.rfind("dead image stack at a service call", 0), 0u) << Hits[0].Where;
  }
}

} // namespace
} // namespace sim
