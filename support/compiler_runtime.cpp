// The four routines the compiler may call on its own in the firmware build (structure copies,
// zero-initialised locals). They are built on the byte routines, whose loops are written with
// volatile accesses so that the compiler cannot turn them back into calls to these routines.
#include "memory.h"

extern "C" {
void *memcpy(void *Destination, const void *Source, size_t Length) {
  CopyBytes(Destination, Source, Length);
  return Destination;
}

void *memmove(void *Destination, const void *Source, size_t Length) {
  CopyBytes(Destination, Source, Length);
  return Destination;
}

void *memset(void *Buffer, int Value, size_t Length) {
  FillBytes(Buffer, Length, (UINTN)Value);
  return Buffer;
}

int memcmp(const void *First, const void *Second, size_t Length) {
  // The C contract compares unsigned bytes.
  const unsigned char *A = (const unsigned char *)First;
  const unsigned char *B = (const unsigned char *)Second;
  for (size_t Index = 0; Index < Length; Index++) {
    if (A[Index] != B[Index]) {
      return (int)A[Index] - (int)B[Index];
    }
  }
  return 0;
}
}
