#include "fuzz_support.h"

#include "physical_memory.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace fuzz {
namespace {

constexpr size_t kCounters = 1 << 16;
// libFuzzer takes every byte of this section as a feature counter, as it does the compiler's.
__attribute__((used, section("__libfuzzer_extra_counters"))) uint8_t Counters[kCounters];

uint64_t Mix(uint64_t A, uint64_t B) {
  uint64_t H = (A ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
  H ^= B + 0x94D049BB133111EBull + (H << 6) + (H >> 2);
  return H ^ (H >> 31);
}

uint64_t TextHash(const std::string &Text) {
  return std::hash<std::string>{}(Text);
}

void Count(uint64_t Feature) {
  uint8_t &Counter = Counters[Feature % kCounters];
  if (Counter != 0xFF) {
    Counter++;
  }
}

// A sequence of events as edges: each event with the one before it.
class Edges {
public:
  explicit Edges(uint64_t Kind) : Previous(Kind) {}
  void Add(uint64_t Event) {
    Count(Mix(Previous, Event));
    Previous = Event;
  }

private:
  uint64_t Previous;
};

} // namespace

void Finding(const std::string &What) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n", What.c_str());
  std::fflush(stderr);
  std::abort();
}

FreshBoard::FreshBoard() : B(std::make_unique<sim::Board>()) {}

FreshBoard::~FreshBoard() {
  B.reset();
  sim::ReleasePhysicalMemory();
}

void NoteValue(uint64_t Kind, uint64_t Value) {
  Count(Mix(Kind, Value));
}

void NoteBehaviour(const sim::Board &B) {
  Edges Hardware(1);
  for (const sim::HardwareAccess &A : B.Hardware.Trace()) {
    Hardware.Add(Mix(Mix((uint64_t)A.Where * 2 + A.IsWrite, A.Address),
                     A.Width * 0x100000000ull + (A.IsWrite ? A.Value : 0)));
  }
  Edges Variables(2);
  for (const sim::VariableCall &Call : B.Variables.Calls()) {
    Variables.Add(Mix(Mix(Call.IsSet, std::hash<std::u16string>{}(Call.Name)),
                      Mix(Call.Status, Call.SizeIn > 4096 ? 4096 : Call.SizeIn)));
  }
  Edges Console(3);
  for (const sim::ConsoleCall &Call : B.Console.Calls()) {
    Console.Add(Mix(TextHash(Call.Name), Mix(Call.First, Call.Status)));
  }
  Edges Events(4);
  for (const std::string &Event : B.Timeline) {
    Events.Add(TextHash(Event));
  }
  for (const std::string &Problem : B.Problems) {
    NoteValue(5, TextHash(Problem));
  }
}

void ExpectClean(const sim::Board &B, const std::string &What, size_t KeepPoolBlocks,
                 bool LeakChecked) {
  if (!B.Problems.empty()) {
    Finding(What + ": the board caught a problem: " + B.Problems.front());
  }
  if (!B.Hardware.Unclaimed().empty()) {
    Finding(What + ": a hardware access no device answers: " +
            sim::Describe(B.Hardware.Unclaimed().front()));
  }
  if (!LeakChecked) {
    return;
  }
  if (B.LivePoolBlocks() > KeepPoolBlocks) {
    Finding(What + ": " + std::to_string(B.LivePoolBlocks() - KeepPoolBlocks) +
            " pool block(s) leaked");
  }
  for (const auto &[Address, Block] : B.Pages) {
    if (!Block.Freed && Block.Type != AllocateAddress) {
      Finding(What + ": pages kept at " + std::to_string(Address));
    }
  }
}

void ExpectReturned(const sim::Board &B, const sim::RunResult &Result, const std::string &What,
                    size_t KeepPoolBlocks) {
  if (Result.How != sim::Outcome::Returned) {
    Finding(What + " did not return: " + Result.Message);
  }
  ExpectClean(B, What, KeepPoolBlocks);
}

std::vector<uint8_t> VariableBytes(FuzzedDataProvider &In, size_t Expected) {
  // An input that runs out of bytes reads zeros: zero means the expected size.
  size_t Size = Expected;
  switch (In.ConsumeIntegralInRange<int>(0, 7)) {
  case 7:
    Size = 0;
    break;
  case 6:
    Size = Expected > 0 ? Expected - 1 : 0;
    break;
  case 5:
    Size = Expected + 1;
    break;
  case 4:
    Size = In.ConsumeIntegralInRange<size_t>(0, 4 * Expected + 16);
    break;
  default:
    break;
  }
  std::vector<uint8_t> Bytes = In.ConsumeBytes<uint8_t>(Size);
  Bytes.resize(Size, In.ConsumeBool() ? 0x00 : 0xFF);
  return Bytes;
}

uint32_t VariableAttributes(FuzzedDataProvider &In) {
  static constexpr uint32_t Choices[] = {
      EFI_VARIABLE_NV_BS_RT, EFI_VARIABLE_NV_BS_RT, EFI_VARIABLE_NV_BS_RT, 0x3, 0x6, 0x2};
  return In.PickValueInArray(Choices);
}

void MaybePut(FuzzedDataProvider &In, sim::Board &B, const std::u16string &Name,
              const EFI_GUID &Guid, size_t Expected) {
  if (In.ConsumeIntegralInRange<int>(0, 3) != 3) { // mostly there
    uint32_t Attributes = VariableAttributes(In);
    B.Variables.Put(Name, Guid, Attributes, VariableBytes(In, Expected));
  }
}

} // namespace fuzz
