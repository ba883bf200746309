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

  if (Length < 4) {
    while (Length-- != 0) {
      *P++ = Byte;
    }
    return;
  }
  if (((UINTN)P & 3) != 0) {
    for (UINTN Head = 4 - ((UINTN)P & 3); Head != 0; Head--, Length--) {
      *P++ = Byte;
    }
  }
  UINT32 Pattern = (UINT32)Byte * 0x01010101u;
  for (UINTN Words = Length / 4; Words != 0; Words--) {
    *(volatile UnalignedDword *)P = Pattern;
    P += 4;
  }
  for (UINTN Tail = Length % 4; Tail != 0; Tail--) {
    *P++ = Byte;
  }
}

VOID CopyBytes(VOID *Destination, const VOID *Source, UINTN Length) {
  volatile UINT8 *D = (volatile UINT8 *)Destination;
  const volatile UINT8 *S = (const volatile UINT8 *)Source;
  UINTN SourceAddress = (UINTN)Source;
  UINTN DestinationAddress = (UINTN)Destination;

  // Forward when the source lies at or above the destination, or wholly below it.
  bool Forward = SourceAddress >= DestinationAddress || SourceAddress + Length < DestinationAddress;
  UINTN Distance = SourceAddress >= DestinationAddress ? SourceAddress - DestinationAddress
                                                       : DestinationAddress - SourceAddress;

  if (Forward) {
    if (Length < 8 || Distance < 8) {
      while (Length-- != 0) {
        *D++ = *S++;
      }
      return;
    }
    if ((SourceAddress & 7) == (DestinationAddress & 7) && (SourceAddress & 7) != 0) {
      for (UINTN Head = 8 - (SourceAddress & 7); Head != 0; Head--, Length--) {
        *D++ = *S++;
      }
    }
    for (UINTN Words = Length / 8; Words != 0; Words--) {
      *(volatile UnalignedWord *)D = *(const volatile UnalignedWord *)S;
      D += 8;
      S += 8;
    }
    for (UINTN Tail = Length % 8; Tail != 0; Tail--) {
      *D++ = *S++;
    }
    return;
  }

  // Backward: from the last byte down to the first.
  D += Length;
  S += Length;
  if (Length < 8 || Distance < 8) {
    while (Length-- != 0) {
      *--D = *--S;
    }
    return;
  }
  if ((SourceAddress & 7) == (DestinationAddress & 7) && ((SourceAddress + Length) & 7) != 0) {
    for (UINTN Head = (SourceAddress + Length) & 7; Head != 0; Head--, Length--) {
      *--D = *--S;
    }
  }
  for (UINTN Words = Length / 8; Words != 0; Words--) {
    D -= 8;
    S -= 8;
    *(volatile UnalignedWord *)D = *(const volatile UnalignedWord *)S;
  }
  for (UINTN Tail = Length % 8; Tail != 0; Tail--) {
    *--D = *--S;
  }
}

VOID *AllocateBootPool(UINTN Size) {
  VOID *Buffer = nullptr;
  DriverBootServices->AllocatePool(EfiBootServicesData, Size, &Buffer);
  return Buffer;
}
