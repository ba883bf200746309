// The board's physical memory and fault handler as a process sees them that also runs other
// handlers (a sanitizer's, a fuzzer's): a fault of the board's own code goes to the handler that
// was there before the board's, and a process that runs board after board gets the same memory
// for each.
#include "board_test_support.h"

#include "fault_handler.h"
#include "physical_memory.h"

#include <signal.h>
#include <sys/mman.h>

#include <cstring>

namespace sim::test {
namespace {

// The handler installed before the first board: counts the faults it is given and makes the
// faulting page readable, so that the instruction runs again and succeeds.
int FaultsSeen = 0;
void *FaultPage = nullptr;

void EarlierHandler(int, siginfo_t *Info, void *) {
  if (Info->si_addr == FaultPage) {
    FaultsSeen++;
    mprotect(FaultPage, 4096, PROT_READ);
  }
}

struct HostFaultCase {
  const char *Name;
  bool InsideGuardedCall;
};

class HostFaultTest : public testing::TestWithParam<HostFaultCase> {};

// A fault in the board's or the tests' own code is not the images': the handler that was
// installed before the board's gets it, as a sanitizer does to report it.
TEST_P(HostFaultTest, GoesToTheHandlerBeforeTheBoards) {
  struct sigaction Earlier;
  std::memset(&Earlier, 0, sizeof Earlier);
  Earlier.sa_sigaction = EarlierHandler;
  Earlier.sa_flags = SA_SIGINFO;
  sigemptyset(&Earlier.sa_mask);
  ASSERT_EQ(sigaction(SIGSEGV, &Earlier, nullptr), 0);

  FaultPage = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(FaultPage, MAP_FAILED);
  Board B; // installs the board's handler over the earlier one
  auto Touch = [] { return (uint64_t) * static_cast<volatile uint8_t *>(FaultPage); };

  uint64_t Value = 0xFF;
  if (GetParam().InsideGuardedCall) {
    GuardedResult R = RunGuarded(Touch);
    EXPECT_EQ(R.How, Outcome::Returned) << R.Message;
    Value = R.Value;
  } else {
    Value = Touch();
  }
  EXPECT_EQ(FaultsSeen, 1);
  EXPECT_EQ(Value, 0u); // the fresh page, read once the earlier handler made it readable
  munmap(FaultPage, 4096);
}

INSTANTIATE_TEST_SUITE_P(Table, HostFaultTest,
                         testing::Values(HostFaultCase{"OutsideAGuardedCall", false},
                                         HostFaultCase{"InsideAGuardedCall", true}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// Given back with no board alive, the low-memory window, the image stack and the arena read as a
// new process finds them, and allocations start again where the first one of the process did.
TEST(PhysicalMemory, GivenBackReadsAsNew) {
  uint8_t *First = nullptr;
  {
    Board B;
    First = ArenaAllocate(64, 16);
    ASSERT_NE(First, nullptr);
    std::memset(First, 0xA5, 64);
    std::memset(reinterpret_cast<void *>(kLowWindowBase), 0x5A, kLowWindowSize);
    std::memset(ImageStackBase(), 0x3C, kImageStackSize);
  }
  ReleasePhysicalMemory();
  EXPECT_EQ(ArenaUsed(), 0u);
  const auto *Low = reinterpret_cast<const uint8_t *>(kLowWindowBase);
  EXPECT_EQ(std::count(Low, Low + kLowWindowSize, 0), (long)kLowWindowSize);
  EXPECT_EQ(std::count(ImageStackBase(), ImageStackBase() + kImageStackSize, 0),
            (long)kImageStackSize);

  Board B;
  uint8_t *Again = ArenaAllocate(64, 16);
  EXPECT_EQ(Again, First);
  EXPECT_EQ(std::count(Again, Again + 64, 0), 64);
}

} // namespace
} // namespace sim::test
