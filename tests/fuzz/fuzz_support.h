// What every fuzz target of the board shares: reading the input, a fresh board per input, the
// checks the board makes after a run, and the features that let libFuzzer see what the images
// did (their code is the firmware build's, without coverage instrumentation).
#pragma once

#include "board.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fuzz {

// A finding: the reason on standard error, then abort, so that libFuzzer keeps the input.
[[noreturn]] void Finding(const std::string &What);

// One simulated board per input. Its physical memory is given back when it goes, so the next
// input's board starts from the same memory as a new process would.
class FreshBoard {
public:
  FreshBoard();
  ~FreshBoard();
  FreshBoard(const FreshBoard &) = delete;
  FreshBoard &operator=(const FreshBoard &) = delete;
  sim::Board &operator*() { return *B; }
  sim::Board *operator->() { return B.get(); }

private:
  std::unique_ptr<sim::Board> B;
};

// Feeds libFuzzer with what the images did: each step of the hardware trace, of the variable
// calls, of the console calls and of the outside events (paired with the step before, as edges
// are) sets a counter in libFuzzer's extra-counter section.
void NoteBehaviour(const sim::Board &B);
void NoteValue(uint64_t Kind, uint64_t Value);

// The checks the board makes after a run that returned: no board problem, no stray hardware
// access; and, where LeakChecked, no pool block left beyond Keep and every page freed.
void ExpectClean(const sim::Board &B, const std::string &What, size_t KeepPoolBlocks = 0,
                 bool LeakChecked = true);
// A run of an image that must return (never halt or crash) and leave the board clean.
void ExpectReturned(const sim::Board &B, const sim::RunResult &Result, const std::string &What,
                    size_t KeepPoolBlocks = 0);

// Bytes for a variable: a size that favours the sizes the drivers read (Expected) and its
// neighbours, and content from the input.
std::vector<uint8_t> VariableBytes(FuzzedDataProvider &In, size_t Expected);
// Attributes a variable may carry in a store (NV+BS+RT mostly, sometimes others).
uint32_t VariableAttributes(FuzzedDataProvider &In);

// Puts an optional variable on the board: mostly present with input bytes, sometimes absent.
void MaybePut(FuzzedDataProvider &In, sim::Board &B, const std::u16string &Name,
              const EFI_GUID &Guid, size_t Expected);

} // namespace fuzz
