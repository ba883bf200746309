// Byte routines that need no firmware service (usable inside SMI handlers) and the pool
// allocation shortcut.
#pragma once

#include "efi_types.h"

// 0 when equal, else (signed byte of First) - (signed byte of Second) at the first difference.
INT64 CompareBytes(const VOID *First, const VOID *Second, UINTN Length);
// Stores the low 8 bits of Value into Length bytes.
VOID FillBytes(VOID *Buffer, UINTN Length, UINTN Value);
// Copies Length bytes; overlapping ranges are copied as the source was before the call.
VOID CopyBytes(VOID *Destination, const VOID *Source, UINTN Length);
// Boot-services data pool memory, or null when the allocation failed.
VOID *AllocateBootPool(UINTN Size);
// A little-endian 16-bit field at any address.
inline UINT16 ReadUint16(const UINT8 *Bytes) {
  return (UINT16)(Bytes[0] | (Bytes[1] << 8));
}
inline VOID WriteUint16(UINT8 *Bytes, UINT16 Value) {
  Bytes[0] = (UINT8)Value;
  Bytes[1] = (UINT8)(Value >> 8);
}
