// The byte routines work in 8-byte strides (compare, copy) and 4-byte strides (fill) once the
// addresses allow it, and in single bytes for short lengths, misaligned heads and tails.
#include "memory.h"

#include "driver_globals.h"

namespace {
// Unaligned, alias-safe word views of memory.
typedef UINT64 __attribute__((aligned(1), may_alias)) UnalignedWord;
typedef UINT32 __attribute__((aligned(1), may_alias)) UnalignedDword;
} // namespace

INT64 CompareBytes(const VOID *First, const VOID *Second, UINTN Length) {
  const UINT8 *A = (const UINT8 *)First;
  const UINT8 *B = (const UINT8 *)Second;
  const UINT8 *End = A + Length;

  if (Length >= 8) {
    UINTN OffsetA = (UINTN)A & 7;
    if (OffsetA != 0 && OffsetA == ((UINTN)B & 7)) {
      for (UINTN Head = 8 - OffsetA; Head != 0 && *A == *B; Head--) {
        A++;
        B++;
      }
    }
    while ((UINTN)(End - A) >= 8 && *(const UnalignedWord *)A == *(const UnalignedWord *)B) {
      A += 8;
      B += 8;
    }
  }
  for (; A < End; A++, B++) {
    if (*A != *B) {
      return (INT64)(INT8)*A - (INT64)(INT8)*B;
    }
  }
  return 0;
}

VOID FillBytes(VOID *Buffer, UINTN Length, UINTN Value) {
  volatile UINT8 *P = (volatile UINT8 *)Buffer;
  UINT8 Byte = (UINT8)Value;

  // Single bytes for a short fill, else up to the next 4-byte boundary; then words and the tail.
  UINTN Head = Length < 4 ? Length : (4 - ((UINTN)P & 3)) & 3;
  UINTN Words = (Length - Head) / 4;
  UINTN Tail = (Length - Head) % 4;
  for (; Head != 0; Head--) {
    *P++ = Byte;
  }
  UINT32 Pattern = (UINT32)Byte * 0x01010101u;
  for (; Words != 0; Words--) {
    *(volatile UnalignedDword *)P = Pattern;
    P += 4;
  }
  for (; Tail != 0; Tail--) {
    *P++ = Byte;
  }
}

VOID CopyBytes(VOID *Destination, const VOID *Source, UINTN Length) {
  volatile UINT8 *D = (volatile UINT8 *)Destination;
  const volatile UINT8 *S = (const volatile UINT8 *)Source;
  UINTN SourceAddress = (UINTN)Source;
  UINTN DestinationAddress = (UINTN)Destination;

  // Forward when the source lies at or above the destination, or wholly below it.
  BOOLEAN Forward =
      SourceAddress >= DestinationAddress || SourceAddress + Length < DestinationAddress;
  UINTN Distance = SourceAddress >= DestinationAddress ? SourceAddress - DestinationAddress
                                                       : DestinationAddress - SourceAddress;

  // The bytes copied singly before the words: all of them when the copy is short or the ranges
  // lie closer than a word; when both ranges sit at the same offset in an 8-byte unit, those
  // that bring the copy to a unit boundary (at the start forward, at the end backward).
  UINTN Head = 0;
  if (Length < 8 || Distance < 8) {
    Head = Length;
  } else if ((SourceAddress & 7) == (DestinationAddress & 7)) {
    Head = Forward ? (8 - (SourceAddress & 7)) & 7 : (SourceAddress + Length) & 7;
  }
  UINTN Words = (Length - Head) / 8;
  UINTN Tail = (Length - Head) % 8;

  if (Forward) {
    for (; Head != 0; Head--) {
      *D++ = *S++;
    }
    for (; Words != 0; Words--) {
      *(volatile UnalignedWord *)D = *(const volatile UnalignedWord *)S;
      D += 8;
      S += 8;
    }
    for (; Tail != 0; Tail--) {
      *D++ = *S++;
    }
    return;
  }

  // Backward: from the last byte down to the first.
  D += Length;
  S += Length;
  for (; Head != 0; Head--) {
    *--D = *--S;
  }
  for (; Words != 0; Words--) {
    D -= 8;
    S -= 8;
    *(volatile UnalignedWord *)D = *(const volatile UnalignedWord *)S;
  }
  for (; Tail != 0; Tail--) {
    *--D = *--S;
  }
}

VOID *AllocateBootPool(UINTN Size) {
  VOID *Buffer = nullptr;
  DriverBootServices->AllocatePool(EfiBootServicesData, Size, &Buffer);
  return Buffer;
}
