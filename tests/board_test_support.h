// Helpers shared by the image-on-board tests.
#pragma once

#include "board.h"
#include "guids.h"
#include "setup_variables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sim::test {

// A 662-byte "Setup" image filled with a recognisable pattern, so that a test can prove the
// bytes a driver must not touch come back unchanged.
inline std::vector<uint8_t> PatternedSetup() {
  std::vector<uint8_t> Setup(SETUP_VARIABLE_SIZE);
  for (size_t I = 0; I < Setup.size(); I++) {
    Setup[I] = (uint8_t)(I * 7 + 3);
  }
  return Setup;
}

inline void PutSetup(Board &B, const std::vector<uint8_t> &Setup) {
  B.Variables.Put(u"Setup", SETUP_GUID, EFI_VARIABLE_NV_BS_RT, Setup);
}

inline std::vector<uint8_t> StoredBytes(Board &B, const std::u16string &Name,
                                        const EFI_GUID &Guid) {
  const Variable *V = B.Variables.Find(Name, Guid);
  return V ? V->Data : std::vector<uint8_t>{};
}

// Runs a driver image and asserts that it returned and left no board problem behind.
inline RunResult RunClean(Board &B, const std::string &Name) {
  RunResult Result = B.RunDriver(Name);
  EXPECT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
  EXPECT_EQ(B.LivePoolBlocks(), 0u) << "pool leak";
  EXPECT_TRUE(B.Hardware.Unclaimed().empty()) << Describe(B.Hardware.Unclaimed().front());
  return Result;
}

inline std::string TraceText(const std::vector<HardwareAccess> &Trace) {
  std::string Text;
  for (const HardwareAccess &A : Trace) {
    Text += Describe(A) + "\n";
  }
  return Text;
}

} // namespace sim::test
