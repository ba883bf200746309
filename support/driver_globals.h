// The per-image copies of what the firmware hands to an image entry point.
#pragma once

#include "efi_system_table.h"

// Null until InitializeDriverGlobals has run; its being non-null marks the globals as set.
extern EFI_SYSTEM_TABLE *DriverSystemTable;
extern EFI_BOOT_SERVICES *DriverBootServices;
// Inside SMM the SMM driver start may replace this by the SMM runtime-services table.
extern EFI_RUNTIME_SERVICES *DriverRuntimeServices;
extern EFI_HANDLE DriverImageHandle;

// Stores the system table, its boot and runtime services and the image handle. The first call
// wins: later calls change nothing, even with another table or handle.
VOID InitializeDriverGlobals(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
