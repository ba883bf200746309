// The support library's byte routines and driver globals, compiled natively.
#include "driver_globals.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Reference: the signed difference at the first differing byte.
int64_t ReferenceCompare(const uint8_t *A, const uint8_t *B, size_t N) {
  for (size_t I = 0; I < N; I++) {
    if (A[I] != B[I]) {
      return (int64_t)(int8_t)A[I] - (int64_t)(int8_t)B[I];
    }
  }
  return 0;
}

TEST(CompareBytes, Cases) {
  struct Case {
    const char *Name;
    std::vector<uint8_t> A, B;
    int64_t Expected;
  };
  std::vector<Case> Cases = {
      {"empty", {}, {}, 0},
      {"signed 0x80 below 0x01", {0x80}, {0x01}, -129},
      {"signed 0x01 above 0x80", {0x01}, {0x80}, 129},
      {"0xFF is -1", {0xFF}, {0x01}, -2},
      {"extremes", {0x7F}, {0x80}, 255},
      {"last byte of a word run",
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 17},
       -1},
      {"first byte of a word", {9, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0, 0}, 8},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(CompareBytes(C.A.data(), C.B.data(), C.A.size()), C.Expected) << C.Name;
  }
}

TEST(CompareBytes, EveryAlignmentAndLengthAgainstTheReference) {
  alignas(16) uint8_t BufferA[64];
  alignas(16) uint8_t BufferB[64];
  for (size_t OffsetA = 0; OffsetA < 16; OffsetA++) {
    for (size_t OffsetB = 0; OffsetB < 16; OffsetB++) {
      for (size_t Length = 0; Length <= 40; Length++) {
        for (int DiffAt = -1; DiffAt < (int)Length; DiffAt++) {
          for (size_t I = 0; I < Length; I++) {
            BufferA[OffsetA + I] = BufferB[OffsetB + I] = (uint8_t)(I * 37 + 11);
          }
          if (DiffAt >= 0) {
            BufferA[OffsetA + DiffAt] = 0x80;
            BufferB[OffsetB + DiffAt] = 0x7E;
            // A later difference must not be reported instead of the first.
            if (DiffAt + 1 < (int)Length) {
              BufferA[OffsetA + Length - 1] ^= 0x55;
            }
          }
          uint8_t *A = BufferA + OffsetA;
          uint8_t *B = BufferB + OffsetB;
          ASSERT_EQ(CompareBytes(A, B, Length), ReferenceCompare(A, B, Length))
              << "offsets " << OffsetA << "/" << OffsetB << " length " << Length << " diff at "
              << DiffAt;
        }
      }
    }
  }
}

TEST(FillBytes, StoresTheLowByteExactlyOverTheRange) {
  alignas(16) uint8_t Buffer[80];
  for (size_t Offset = 0; Offset < 8; Offset++) {
    for (size_t Length = 0; Length <= 40; Length++) {
      std::memset(Buffer, 0xEE, sizeof Buffer);
      FillBytes(Buffer + Offset, Length, 0xABCD1234);
      for (size_t I = 0; I < sizeof Buffer; I++) {
        bool Inside = I >= Offset && I < Offset + Length;
        ASSERT_EQ(Buffer[I], Inside ? 0x34 : 0xEE)
            << "offset " << Offset << " length " << Length << " byte " << I;
      }
    }
  }
}

TEST(CopyBytes, OverlapsInBothDirectionsCopyTheSourceAsItWas) {
  alignas(16) uint8_t Buffer[128];
  uint8_t Original[128];
  for (size_t I = 0; I < sizeof Original; I++) {
    Original[I] = (uint8_t)(I * 13 + 1);
  }
  for (size_t Source = 24; Source < 40; Source++) {
    for (int Shift = -24; Shift <= 24; Shift++) {
      for (size_t Length = 0; Length <= 40; Length++) {
        std::memcpy(Buffer, Original, sizeof Buffer);
        uint8_t Expected[128];
        std::memcpy(Expected, Original, sizeof Expected);
        std::memmove(Expected + Source + Shift, Original + Source, Length);
        CopyBytes(Buffer + Source + Shift, Buffer + Source, Length);
        ASSERT_EQ(std::memcmp(Buffer, Expected, sizeof Buffer), 0)
            << "source " << Source << " shift " << Shift << " length " << Length;
      }
    }
  }
}

TEST(CopyBytes, AdjacentRangesAndNamedOverlaps) {
  // 20 bytes to S + 3, to S - 3, and to S + 20 (adjacent: the backward direction is taken).
  for (int Shift : {3, -3, 20}) {
    uint8_t Buffer[64];
    for (int I = 0; I < 64; I++) {
      Buffer[I] = (uint8_t)I;
    }
    CopyBytes(Buffer + 20 + Shift, Buffer + 20, 20);
    for (int I = 0; I < 20; I++) {
      EXPECT_EQ(Buffer[20 + Shift + I], 20 + I) << "shift " << Shift;
    }
  }
}

TEST(DriverGlobals, TheFirstInitializationWins) {
  EFI_BOOT_SERVICES FirstBs{}, SecondBs{};
  EFI_RUNTIME_SERVICES FirstRt{}, SecondRt{};
  EFI_SYSTEM_TABLE First{}, Second{};
  First.BootServices = &FirstBs;
  First.RuntimeServices = &FirstRt;
  Second.BootServices = &SecondBs;
  Second.RuntimeServices = &SecondRt;
  int HandleA = 0, HandleB = 0;
  DriverSystemTable = nullptr;

  InitializeDriverGlobals(&HandleA, &First);
  InitializeDriverGlobals(&HandleB, &Second);
  EXPECT_EQ(DriverSystemTable, &First);
  EXPECT_EQ(DriverBootServices, &FirstBs);
  EXPECT_EQ(DriverRuntimeServices, &FirstRt);
  EXPECT_EQ(DriverImageHandle, &HandleA);
}

} // namespace
