// BYTE_ROUTINES_PROTOCOL: the byte routines of the driver support library and the four routines
// the compiler calls on its own, as the firmware build compiles them, published by the test image
// ByteRoutinesTest.efi so that the board's tests can call the shipping code. The test image is no
// driver of the notebook: it goes into no firmware file and no firmware volume.
#pragma once

#include "efi_types.h"

inline constexpr EFI_GUID BYTE_ROUTINES_PROTOCOL_GUID = {
    0x516BAF76, 0xAA36, 0x4255, {0x89, 0x37, 0x1A, 0xAE, 0x0B, 0x3F, 0x41, 0xFD}};

typedef INT64(EFIAPI *BYTE_ROUTINE_COMPARE)(const VOID *First, const VOID *Second, UINTN Length);
typedef VOID(EFIAPI *BYTE_ROUTINE_FILL)(VOID *Buffer, UINTN Length, UINTN Value);
typedef VOID(EFIAPI *BYTE_ROUTINE_COPY)(VOID *Destination, const VOID *Source, UINTN Length);
typedef VOID *(EFIAPI *C_ROUTINE_MEMCPY)(VOID *Destination, const VOID *Source, UINTN Length);
typedef VOID *(EFIAPI *C_ROUTINE_MEMSET)(VOID *Buffer, INT32 Value, UINTN Length);
typedef INT32(EFIAPI *C_ROUTINE_MEMCMP)(const VOID *First, const VOID *Second, UINTN Length);

// The routines themselves, not wrappers: each pointer is the address of the routine in the image.
typedef struct {
  BYTE_ROUTINE_COMPARE CompareBytes;
  BYTE_ROUTINE_FILL FillBytes;
  BYTE_ROUTINE_COPY CopyBytes;
  C_ROUTINE_MEMCPY Memcpy;
  C_ROUTINE_MEMCPY Memmove;
  C_ROUTINE_MEMSET Memset;
  C_ROUTINE_MEMCMP Memcmp;
} BYTE_ROUTINES_PROTOCOL;

static_assert(sizeof(BYTE_ROUTINES_PROTOCOL) == 56);
static_assert(offsetof(BYTE_ROUTINES_PROTOCOL, CompareBytes) == 0 &&
              offsetof(BYTE_ROUTINES_PROTOCOL, FillBytes) == 8 &&
              offsetof(BYTE_ROUTINES_PROTOCOL, CopyBytes) == 16 &&
              offsetof(BYTE_ROUTINES_PROTOCOL, Memcpy) == 24 &&
              offsetof(BYTE_ROUTINES_PROTOCOL, Memmove) == 32 &&
              offsetof(BYTE_ROUTINES_PROTOCOL, Memset) == 40 &&
              offsetof(BYTE_ROUTINES_PROTOCOL, Memcmp) == 48);
