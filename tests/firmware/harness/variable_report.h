// Writing and reading back UEFI variables through the firmware's runtime services, with a
// result line for each call.
#pragma once

#include "efi_types.h"

// SetVariable; reports "@fw setvar name=.. status=.. attributes=.. size=..".
EFI_STATUS WriteVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, UINTN Size,
                         const VOID *Data);

// Reads the variable as stored and reports it under Tag:
//   @fw var tag=<Tag> name=.. guid=.. status=.. attributes=.. size=..
//   @fw data tag=<Tag> name=.. offset=.. bytes=..   (32 bytes a line)
// Returns GetVariable's status.
EFI_STATUS ReportVariable(const char *Tag, const CHAR16 *Name, const EFI_GUID &Guid);

// Reports each of the variables the platform drivers keep their settings in.
VOID ReportSettingVariables(const char *Tag);
