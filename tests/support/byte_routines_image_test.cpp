// The byte routines as the firmware build ships them: ByteRoutinesTest.efi links the support
// library objects every driver image links and publishes CompareBytes, FillBytes, CopyBytes and
// the compiler's memcpy, memmove, memset and memcmp; the board loads it and the tests call that
// code on every alignment of source and destination (0..7) and every length 0..40, with guard
// bytes on both sides of every range, against a reference computed here.
#include "board.h"
#include "support/byte_routines_image/byte_routines_protocol.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace sim::test {
namespace {

constexpr size_t MaxLength = 40;
constexpr size_t Alignments = 8;

// The test image lives beside the drivers' images folder, in the same firmware build.
std::string TestImagePath() {
  return Board::ImageDirectory() + "/../test_images/ByteRoutinesTest.efi";
}

uint8_t Pattern(size_t Index) {
  return (uint8_t)(Index * 13 + 1);
}
uint8_t Guard(size_t Index) {
  return (uint8_t)(0xA5 ^ (Index * 7));
}

// Index of the first byte where the buffers differ, or -1.
long FirstDifference(const uint8_t *Got, const uint8_t *Expected, size_t Size) {
  for (size_t I = 0; I < Size; I++) {
    if (Got[I] != Expected[I]) {
      return (long)I;
    }
  }
  return -1;
}

class ShippedByteRoutines : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Error;
    EFI_HANDLE Handle = B.LoadImage(TestImagePath(), Error);
    ASSERT_NE(Handle, nullptr) << Error;
    RunResult Start = B.StartImage(Handle);
    ASSERT_TRUE(Start.Returned()) << Start.Message;
    ASSERT_EQ(Start.Status, EFI_SUCCESS);
    Routines = static_cast<const BYTE_ROUTINES_PROTOCOL *>(
        B.Protocol(Handle, BYTE_ROUTINES_PROTOCOL_GUID));
    ASSERT_NE(Routines, nullptr) << "the image installs no byte-routines protocol on its handle";
    // Every entry is code of the loaded image, not a host routine.
    const PeImage &Image = *B.ImageRecord(Handle)->Image;
    const void *Entries[] = {
        (const void *)Routines->CompareBytes, (const void *)Routines->FillBytes,
        (const void *)Routines->CopyBytes,    (const void *)Routines->Memcpy,
        (const void *)Routines->Memmove,      (const void *)Routines->Memset,
        (const void *)Routines->Memcmp};
    for (const void *Entry : Entries) {
      ASSERT_TRUE(Image.Contains(Entry)) << "a table entry points outside the image";
    }
  }

  void TearDown() override {
    // Byte routines touch no hardware: an access in the trace is a fault caught as one.
    EXPECT_TRUE(B.Hardware.Trace().empty()) << Describe(B.Hardware.Trace().front());
    EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
  }

  // Runs one call of image code; a crash or a halt inside it fails the test.
  template <typename Body> uint64_t Call(const char *Name, Body &&Run) {
    RunResult Result = B.RunGuardedCall(Name, [&]() -> uint64_t { return (uint64_t)Run(); });
    EXPECT_TRUE(Result.Returned()) << Name << ": " << Result.Message;
    return Result.Returned() ? Result.Status : 0;
  }

  Board B;
  const BYTE_ROUTINES_PROTOCOL *Routines = nullptr;
};

// ---- copies ----

struct CopyRoutine {
  const char *Name;
  VOID *(*Run)(const BYTE_ROUTINES_PROTOCOL &, VOID *, const VOID *, UINTN);
  bool ReturnsDestination;
  bool Overlaps; // promises a copy of the source as it was when the ranges overlap
};

const CopyRoutine CopyRoutines[] = {
    {"CopyBytes",
     [](const BYTE_ROUTINES_PROTOCOL &R, VOID *D, const VOID *S, UINTN N) -> VOID * {
       R.CopyBytes(D, S, N);
       return nullptr;
     },
     false, true},
    {"memmove",
     [](const BYTE_ROUTINES_PROTOCOL &R, VOID *D, const VOID *S, UINTN N) {
       return R.Memmove(D, S, N);
     },
     true, true},
    {"memcpy",
     [](const BYTE_ROUTINES_PROTOCOL &R, VOID *D, const VOID *S, UINTN N) {
       return R.Memcpy(D, S, N);
     },
     true, false},
};

class ShippedCopies : public ShippedByteRoutines,
                      public ::testing::WithParamInterface<CopyRoutine> {};

// Separate source and destination buffers: exactly Length bytes land, the guard bytes on both
// sides of the destination stay, the source is only read.
TEST_P(ShippedCopies, EveryAlignmentAndLengthBetweenSeparateBuffers) {
  const CopyRoutine &Routine = GetParam();
  constexpr size_t Size = 128, Base = 32;
  alignas(64) uint8_t Source[Size];
  alignas(64) uint8_t Destination[Size];
  uint8_t Expected[Size];
  uint8_t SourceBefore[Size];
  for (size_t I = 0; I < Size; I++) {
    SourceBefore[I] = Pattern(I);
  }
  for (size_t SourceAlign = 0; SourceAlign < Alignments; SourceAlign++) {
    for (size_t DestinationAlign = 0; DestinationAlign < Alignments; DestinationAlign++) {
      for (size_t Length = 0; Length <= MaxLength; Length++) {
        std::memcpy(Source, SourceBefore, Size);
        for (size_t I = 0; I < Size; I++) {
          Destination[I] = Expected[I] = Guard(I);
        }
        uint8_t *S = Source + Base + SourceAlign;
        uint8_t *D = Destination + Base + DestinationAlign;
        std::memcpy(Expected + Base + DestinationAlign, S, Length);
        uint64_t Returned =
            Call(Routine.Name, [&] { return Routine.Run(*Routines, D, S, Length); });
        long Wrong = FirstDifference(Destination, Expected, Size);
        ASSERT_EQ(Wrong, -1) << Routine.Name << " source align " << SourceAlign
                             << " destination align " << DestinationAlign << " length " << Length
                             << ": byte " << Wrong - (long)(Base + DestinationAlign)
                             << " from the destination is "
                             << (int)Destination[Wrong >= 0 ? Wrong : 0];
        ASSERT_EQ(FirstDifference(Source, SourceBefore, Size), -1)
            << Routine.Name << " wrote into its source, length " << Length;
        if (Routine.ReturnsDestination) {
          ASSERT_EQ(Returned, (uint64_t)D) << Routine.Name << " length " << Length;
        }
      }
    }
  }
}

// Source and destination in one buffer, the destination from 41 bytes below to 41 bytes above
// the source: every overlap in both directions, the adjacent ranges and the same address. The
// whole buffer is compared, so a byte written outside the destination fails as well. memcpy
// promises nothing for overlapping ranges; it is held to the copy onto the same address, which
// the compiler emits for a structure assigned to itself.
TEST_P(ShippedCopies, OverlapsInBothDirectionsCopyTheSourceAsItWas) {
  const CopyRoutine &Routine = GetParam();
  constexpr size_t Size = 160, Base = 56;
  constexpr int Reach = (int)MaxLength + 1;
  alignas(64) uint8_t Buffer[Size];
  uint8_t Original[Size];
  uint8_t Expected[Size];
  for (size_t I = 0; I < Size; I++) {
    Original[I] = Pattern(I);
  }
  for (size_t SourceAlign = 0; SourceAlign < Alignments; SourceAlign++) {
    for (int Shift = -Reach; Shift <= Reach; Shift++) {
      if (!Routine.Overlaps && Shift != 0) {
        continue;
      }
      for (size_t Length = 0; Length <= MaxLength; Length++) {
        std::memcpy(Buffer, Original, Size);
        std::memcpy(Expected, Original, Size);
        size_t From = Base + SourceAlign;
        size_t To = From + Shift;
        std::memmove(Expected + To, Original + From, Length);
        uint64_t Returned = Call(Routine.Name, [&] {
          return Routine.Run(*Routines, Buffer + To, Buffer + From, Length);
        });
        long Wrong = FirstDifference(Buffer, Expected, Size);
        ASSERT_EQ(Wrong, -1) << Routine.Name << " source align " << SourceAlign
                             << " destination at source " << (Shift < 0 ? "" : "+") << Shift
                             << " length " << Length << ": byte " << Wrong - (long)To
                             << " from the destination wrong";
        if (Routine.ReturnsDestination) {
          ASSERT_EQ(Returned, (uint64_t)(Buffer + To)) << Routine.Name << " length " << Length;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Routine, ShippedCopies, ::testing::ValuesIn(CopyRoutines),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// ---- fills ----

struct FillRoutine {
  const char *Name;
  VOID *(*Run)(const BYTE_ROUTINES_PROTOCOL &, VOID *, UINTN Length, UINT64 Value);
  bool ReturnsDestination;
  // Two values whose low bytes differ, with higher bits set that must not be stored.
  UINT64 Values[2];
};

const FillRoutine FillRoutines[] = {
    {"FillBytes",
     [](const BYTE_ROUTINES_PROTOCOL &R, VOID *D, UINTN N, UINT64 V) -> VOID * {
       R.FillBytes(D, N, V);
       return nullptr;
     },
     false,
     {0xABCD1234, 0xFFFFFFFFFFFFFF00}},
    {"memset",
     [](const BYTE_ROUTINES_PROTOCOL &R, VOID *D, UINTN N, UINT64 V) {
       return R.Memset(D, (INT32)V, N);
     },
     true,
     {0x1234, 0xFFFFFFFF}},
};

class ShippedFills : public ShippedByteRoutines,
                     public ::testing::WithParamInterface<FillRoutine> {};

// The low byte of the value over exactly Length bytes; the guard bytes on both sides stay.
TEST_P(ShippedFills, EveryAlignmentAndLengthStoresTheLowByteExactlyOverTheRange) {
  const FillRoutine &Routine = GetParam();
  constexpr size_t Size = 112, Base = 32;
  alignas(64) uint8_t Buffer[Size];
  uint8_t Expected[Size];
  for (UINT64 Value : Routine.Values) {
    for (size_t Align = 0; Align < Alignments; Align++) {
      for (size_t Length = 0; Length <= MaxLength; Length++) {
        for (size_t I = 0; I < Size; I++) {
          Buffer[I] = Expected[I] = Guard(I);
        }
        uint8_t *D = Buffer + Base + Align;
        std::memset(Expected + Base + Align, (uint8_t)Value, Length);
        uint64_t Returned =
            Call(Routine.Name, [&] { return Routine.Run(*Routines, D, Length, Value); });
        long Wrong = FirstDifference(Buffer, Expected, Size);
        ASSERT_EQ(Wrong, -1) << Routine.Name << " value 0x" << std::hex << Value << std::dec
                             << " align " << Align << " length " << Length << ": byte "
                             << Wrong - (long)(Base + Align) << " from the start wrong";
        if (Routine.ReturnsDestination) {
          ASSERT_EQ(Returned, (uint64_t)D) << Routine.Name << " length " << Length;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Routine, ShippedFills, ::testing::ValuesIn(FillRoutines),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// ---- compares ----

int64_t SignOf(int64_t Value) {
  return (Value > 0) - (Value < 0);
}

struct CompareRoutine {
  const char *Name;
  int64_t (*Run)(const BYTE_ROUTINES_PROTOCOL &, const VOID *, const VOID *, UINTN);
  // CompareBytes answers the difference of the first differing bytes read as signed bytes;
  // memcmp answers only a sign, of the bytes read as unsigned (the C contract).
  bool SignedDifference;
};

const CompareRoutine CompareRoutines[] = {
    {"CompareBytes",
     [](const BYTE_ROUTINES_PROTOCOL &R, const VOID *A, const VOID *B, UINTN N) -> int64_t {
       return R.CompareBytes(A, B, N);
     },
     true},
    {"memcmp",
     [](const BYTE_ROUTINES_PROTOCOL &R, const VOID *A, const VOID *B, UINTN N) -> int64_t {
       return R.Memcmp(A, B, N);
     },
     false},
};

class ShippedCompares : public ShippedByteRoutines,
                        public ::testing::WithParamInterface<CompareRoutine> {};

// Equal ranges, and one difference at every position: the answer comes from the first
// difference (a second one of the opposite sense sits in the last byte) and from no byte
// outside the range (the guard bytes around the two ranges differ from each other). The pairs
// give opposite signs read as signed and as unsigned bytes.
TEST_P(ShippedCompares, EveryAlignmentLengthAndDifferencePosition) {
  const CompareRoutine &Routine = GetParam();
  constexpr size_t Size = 112, Base = 32;
  struct Pair {
    uint8_t First, Second;
  };
  constexpr Pair Pairs[] = {{0x80, 0x7F}, {0x7F, 0x80}, {0x01, 0xFE}, {0xFE, 0x01}};
  alignas(64) uint8_t BufferA[Size];
  alignas(64) uint8_t BufferB[Size];
  for (size_t AlignA = 0; AlignA < Alignments; AlignA++) {
    for (size_t AlignB = 0; AlignB < Alignments; AlignB++) {
      for (size_t Length = 0; Length <= MaxLength; Length++) {
        for (long At = -1; At < (long)Length; At++) {
          for (const Pair &P : Pairs) {
            for (size_t I = 0; I < Size; I++) {
              BufferA[I] = Guard(I);
              BufferB[I] = (uint8_t)~Guard(I);
            }
            uint8_t *A = BufferA + Base + AlignA;
            uint8_t *B2 = BufferB + Base + AlignB;
            for (size_t I = 0; I < Length; I++) {
              A[I] = B2[I] = Pattern(I);
            }
            int64_t Expected = 0;
            if (At >= 0) {
              A[At] = P.First;
              B2[At] = P.Second;
              if (At + 1 < (long)Length) {
                A[Length - 1] = P.Second;
                B2[Length - 1] = P.First;
              }
              Expected = Routine.SignedDifference ? (int64_t)(int8_t)P.First - (int8_t)P.Second
                                                  : SignOf((int)P.First - (int)P.Second);
            }
            int64_t Got =
                (int64_t)Call(Routine.Name, [&] { return Routine.Run(*Routines, A, B2, Length); });
            if (!Routine.SignedDifference) {
              Got = SignOf((int32_t)Got);
            }
            ASSERT_EQ(Got, Expected)
                << Routine.Name << " align " << AlignA << "/" << AlignB << " length " << Length
                << " difference at " << At << " bytes 0x" << std::hex << (int)P.First << "/0x"
                << (int)P.Second;
            if (At < 0) {
              break; // equal ranges: the pairs change nothing
            }
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Routine, ShippedCompares, ::testing::ValuesIn(CompareRoutines),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// ---- no byte beyond the range is touched ----

// Guard bytes catch stray writes and, for compares, stray reads that change the answer; a read
// one word past the end that does not change the answer faults only where the next page is
// missing. Every range here starts right after an inaccessible page or ends right before one.
class FencedPage {
public:
  FencedPage() {
    PageSize = (size_t)sysconf(_SC_PAGESIZE);
    Mapping = (uint8_t *)mmap(nullptr, 3 * PageSize, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mapping != MAP_FAILED) {
      mprotect(Mapping, PageSize, PROT_NONE);
      mprotect(Mapping + 2 * PageSize, PageSize, PROT_NONE);
    }
  }
  ~FencedPage() {
    if (Mapping != MAP_FAILED) {
      munmap(Mapping, 3 * PageSize);
    }
  }
  bool Mapped() const { return Mapping != MAP_FAILED; }
  uint8_t *Start() const { return Mapping + PageSize; }
  uint8_t *EndMinus(size_t Length) const { return Mapping + 2 * PageSize - Length; }

private:
  size_t PageSize = 0;
  uint8_t *Mapping = nullptr;
};

TEST_F(ShippedByteRoutines, NoRoutineReadsOrWritesPastEitherEndOfItsRanges) {
  FencedPage Page;
  ASSERT_TRUE(Page.Mapped());
  for (size_t Length = 0; Length <= MaxLength; Length++) {
    uint8_t *Low = Page.Start();
    uint8_t *High = Page.EndMinus(Length);
    for (size_t I = 0; I < Length; I++) {
      Low[I] = High[I] = Pattern(I);
    }
    // Each pair of ranges both ways round: one range at the page's start, one at its end.
    for (int Round = 0; Round < 2; Round++) {
      uint8_t *First = Round == 0 ? Low : High;
      uint8_t *Second = Round == 0 ? High : Low;
      std::string Where =
          "length " + std::to_string(Length) + (Round == 0 ? ", low first" : ", high first");
      for (const CopyRoutine &Routine : CopyRoutines) {
        Call(Routine.Name, [&] { return Routine.Run(*Routines, First, Second, Length); });
        ASSERT_FALSE(HasFailure()) << Routine.Name << " " << Where;
      }
      for (const CompareRoutine &Routine : CompareRoutines) {
        int64_t Got = (int64_t)Call(Routine.Name,
                                    [&] { return Routine.Run(*Routines, First, Second, Length); });
        ASSERT_FALSE(HasFailure()) << Routine.Name << " " << Where;
        ASSERT_EQ(Got, 0) << Routine.Name << " " << Where;
      }
      for (const FillRoutine &Routine : FillRoutines) {
        Call(Routine.Name, [&] { return Routine.Run(*Routines, First, Length, Pattern(0)); });
        ASSERT_FALSE(HasFailure()) << Routine.Name << " " << Where;
        for (size_t I = 0; I < Length; I++) {
          First[I] = Pattern(I);
        }
      }
    }
  }
}

// ---- whole aligned words where the addresses allow them ----

// With EFLAGS.AC set, a misaligned data access of code at user level raises an alignment-check
// fault (SIGBUS, BUS_ADRALN): Linux runs with CR0.AM set. The watch notes the first such access
// of a call (where in the image it is), turns the check off for the rest of the call and lets
// the call go on, so its result is checked as well. Any other SIGBUS goes to the board.
class AlignmentWatch {
public:
  AlignmentWatch() {
    struct sigaction Action = {};
    Action.sa_sigaction = OnBusError;
    Action.sa_flags = SA_SIGINFO;
    sigemptyset(&Action.sa_mask);
    sigaction(SIGBUS, &Action, &Previous);
  }
  ~AlignmentWatch() { sigaction(SIGBUS, &Previous, nullptr); }

  // Whether this machine traps a misaligned access with the check on.
  static bool Available() {
    alignas(8) volatile uint8_t Probe[8] = {};
    Start();
    uint32_t Value;
    asm volatile("movl (%1), %0" : "=r"(Value) : "r"(Probe + 1) : "memory");
    Stop();
    return Where != nullptr;
  }
  static void Start() {
    Where = nullptr;
    // Past the red zone first: the flags go through the stack.
    asm volatile("leaq -128(%%rsp), %%rsp; pushfq; orq %0, (%%rsp); popfq; leaq 128(%%rsp), %%rsp"
                 :
                 : "i"(AcFlag)
                 : "cc", "memory");
  }
  static void Stop() {
    asm volatile("leaq -128(%%rsp), %%rsp; pushfq; andq %0, (%%rsp); popfq; leaq 128(%%rsp), %%rsp"
                 :
                 : "i"(~AcFlag)
                 : "cc", "memory");
  }

  static inline const void *Where = nullptr; // the instruction of the first misaligned access

private:
  static constexpr long AcFlag = 1L << 18;
  static void OnBusError(int Signal, siginfo_t *Info, void *Context) {
    Stop(); // the signal arrives with the check still on
    auto *Uc = static_cast<ucontext_t *>(Context);
    greg_t &Flags = Uc->uc_mcontext.gregs[REG_EFL];
    if (Info->si_code == BUS_ADRALN && (Flags & AcFlag) != 0) {
      if (Where == nullptr) {
        Where = reinterpret_cast<const void *>(Uc->uc_mcontext.gregs[REG_RIP]);
      }
      Flags &= ~AcFlag;
      return;
    }
    if ((Previous.sa_flags & SA_SIGINFO) != 0 && Previous.sa_sigaction != nullptr) {
      Previous.sa_sigaction(Signal, Info, Context);
      return;
    }
    signal(Signal, SIG_DFL);
  }
  static inline struct sigaction Previous = {};
};

// Source and destination (or the two compared ranges) at the same offset from an 8-byte
// boundary: the routines go to whole aligned words after a head of single bytes, so not one
// access is misaligned; a fill reaches 4-byte alignment on its own from every offset. A head of
// the wrong length leaves every word misaligned.
TEST_F(ShippedByteRoutines, EqualAlignmentsMakeNoMisalignedAccess) {
  AlignmentWatch Watch;
  if (!AlignmentWatch::Available()) {
    GTEST_SKIP() << "this machine does not trap misaligned accesses with EFLAGS.AC set";
  }
  const PeImage &Image = *B.ImageRecord(B.HandlesWith(BYTE_ROUTINES_PROTOCOL_GUID).front())->Image;
  auto Watched = [&](const char *Name, const std::string &Case, auto &&Run) {
    uint64_t Result = Call(Name, [&] {
      AlignmentWatch::Start();
      uint64_t Value = (uint64_t)Run();
      AlignmentWatch::Stop();
      return Value;
    });
    EXPECT_EQ(AlignmentWatch::Where, nullptr)
        << Name << " " << Case << ": a misaligned access at "
        << (AlignmentWatch::Where ? Image.Locate(AlignmentWatch::Where) : std::string());
    return Result;
  };
  constexpr size_t Size = 160, Base = 56;
  alignas(64) uint8_t Buffer[Size];
  alignas(64) uint8_t Other[Size];
  uint8_t Expected[Size];
  for (size_t Align = 0; Align < Alignments; Align++) {
    for (size_t Length = 0; Length <= MaxLength; Length++) {
      std::string Case = "align " + std::to_string(Align) + " length " + std::to_string(Length);
      size_t At = Base + Align;
      // Copies between buffers, and within one buffer whole words apart in both directions.
      for (const CopyRoutine &Routine : CopyRoutines) {
        for (int Shift : {0, -40, -16, -8, 8, 16, 40, 200}) {
          if (Shift != 0 && Shift != 200 && !Routine.Overlaps) {
            continue;
          }
          for (size_t I = 0; I < Size; I++) {
            Buffer[I] = Expected[I] = Pattern(I);
            Other[I] = Guard(I);
          }
          const uint8_t *From = Shift == 200 ? Other + At : Buffer + At;
          std::memmove(Expected + At + (Shift == 200 ? 0 : Shift), From, Length);
          uint8_t *To = Buffer + At + (Shift == 200 ? 0 : Shift);
          Watched(Routine.Name, Case + " shift " + std::to_string(Shift),
                  [&] { return Routine.Run(*Routines, To, From, Length); });
          ASSERT_EQ(FirstDifference(Buffer, Expected, Size), -1) << Routine.Name << " " << Case;
          ASSERT_FALSE(HasFailure());
        }
      }
      for (const FillRoutine &Routine : FillRoutines) {
        for (size_t I = 0; I < Size; I++) {
          Buffer[I] = Expected[I] = Guard(I);
        }
        std::memset(Expected + At, (uint8_t)Routine.Values[0], Length);
        Watched(Routine.Name, Case,
                [&] { return Routine.Run(*Routines, Buffer + At, Length, Routine.Values[0]); });
        ASSERT_EQ(FirstDifference(Buffer, Expected, Size), -1) << Routine.Name << " " << Case;
        ASSERT_FALSE(HasFailure());
      }
      // Compares of equal ranges, and of ranges that differ in their last byte only.
      for (const CompareRoutine &Routine : CompareRoutines) {
        for (bool LastDiffers : {false, true}) {
          if (LastDiffers && Length == 0) {
            continue;
          }
          for (size_t I = 0; I < Size; I++) {
            Buffer[I] = Other[I] = Pattern(I);
          }
          if (LastDiffers) {
            Other[At + Length - 1] ^= 0x40;
          }
          int64_t Got = (int64_t)Watched(Routine.Name, Case, [&] {
            return Routine.Run(*Routines, Buffer + At, Other + At, Length);
          });
          int64_t Want = LastDiffers ? (int64_t)(int8_t)Buffer[At + Length - 1] -
                                           (int8_t)Other[At + Length - 1]
                                     : 0;
          if (!Routine.SignedDifference) {
            Got = SignOf((int32_t)Got);
            Want = SignOf((int)Buffer[At + Length - 1] - (int)Other[At + Length - 1]) * LastDiffers;
          }
          ASSERT_EQ(Got, Want) << Routine.Name << " " << Case;
          ASSERT_FALSE(HasFailure());
        }
      }
    }
  }
}

} // namespace
} // namespace sim::test
