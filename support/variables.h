// Variable read that grows its buffer to the variable's stored size.
#pragma once

#include "efi_types.h"

// Reads a variable into *Buffer, replacing the buffer by a larger boot-pool buffer when the
// variable does not fit (the old buffer is freed). With *Buffer null the first read only asks
// for the size. Returns GetVariable's status, or EFI_OUT_OF_RESOURCES when the larger buffer
// cannot be allocated (*Buffer is then null). When the second read fails, its status is
// returned and *Buffer still points to the new buffer of the first read's size (the caller
// frees it): it holds whatever that read left there, the pool's old contents when it wrote
// nothing, and *DataSize is what that read reported.
EFI_STATUS ReadVariableGrowBuffer(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                  UINTN *DataSize, VOID **Buffer);
