// The two-phase start of an SMM driver and the small services its SMI handlers use.
//
// The DXE dispatcher starts an SMM driver image like any boot-service driver. That first run
// asks the SMM base protocol to load the same image file again into SMRAM; the SMM core then
// runs the entry point of the new copy inside SMM, and that second run calls the driver's own
// in-SMM entry. Each image has its own set of these globals, all zero when it is loaded.
#pragma once

#include "smm.h"

// Located by StartSmmDriver, in both runs.
extern EFI_SMM_BASE_PROTOCOL *DriverSmmBase;
// Set inside SMM by GetSmstLocation; NULL outside SMM.
extern EFI_SMM_SYSTEM_TABLE *DriverSmst;
// 1 inside SMM, set before the runtime-services pointer is replaced.
extern BOOLEAN DriverInSmm;
// 1 inside SMM right before the in-SMM entry runs: no boot-service locate after that.
extern BOOLEAN DriverLocateClosed;
// Cached status-code services: outside SMM and inside SMM.
extern EFI_STATUS_CODE_PROTOCOL *DriverStatusCode;
extern EFI_SMM_STATUS_CODE_PROTOCOL *DriverSmmStatusCode;

// First run (outside SMM): registers the image's own file (device path + file path) with the
// SMM base protocol and returns Register's status. Second run (inside SMM): fetches the SMM
// system table, takes the SMM runtime-services table when the SMM core publishes one, and
// returns InSmmEntry(ImageHandle, SystemTable).
EFI_STATUS StartSmmDriver(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable,
                          EFI_IMAGE_ENTRY_POINT InSmmEntry);

// Locates the status-code service for the current mode once and caches it. Once the in-SMM
// entry runs, only the cached interface (EFI_SUCCESS) or EFI_UNSUPPORTED is reported.
EFI_STATUS LocateStatusCodeService(VOID);

// The VendorTable of the first SMM configuration-table entry with this GUID, or NULL (always
// NULL outside SMM).
VOID *FindSmmConfigurationTable(const EFI_GUID *Guid);
