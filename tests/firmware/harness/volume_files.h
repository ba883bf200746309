// Whole files from the volume the harness was loaded from.
#pragma once

#include "efi_types.h"

// Reads the file into a new boot-services pool buffer (the caller frees it). Reports
//   @fw file name=.. status=.. size=..
EFI_STATUS ReadVolumeFile(const CHAR16 *Name, UINT8 **Data, UINTN *Size);
