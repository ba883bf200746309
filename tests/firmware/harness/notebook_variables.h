// The notebook's own variables in the EFI global-variable namespace.
//
// The notebook's firmware keeps "FPExistFlag", "FpHdp2HdpMapFlag", "UPEKFLAG",
// "SysPwdInvalidError" and "Fp1820ErrorFlag" under EFI_GLOBAL_VARIABLE. The emulated machine's
// firmware checks every name in that namespace against the ones the UEFI standard defines
// and refuses the others with EFI_INVALID_PARAMETER. The harness therefore hands the drivers
// that use these names a copy of the system table whose GetVariable and SetVariable keep exactly
// these five names, under EFI_GLOBAL_VARIABLE, in the firmware's own variable store under a GUID
// of the harness; every other variable goes to the firmware's services untouched. Every call
// for one of the five names is reported:
//   @fw gvar op=get|set name=.. status=.. attributes=.. size=..
#pragma once

#include "efi_system_table.h"

// The system table copy described above (built on first use; its boot services, consoles and
// configuration table are the firmware's).
EFI_SYSTEM_TABLE *NotebookSystemTable();

// GetVariable and SetVariable with the notebook's namespace, as the drivers get them (reported)
// and for the harness's own reads and writes (not reported as gvar lines).
EFI_STATUS EFIAPI NotebookGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                      UINTN *DataSize, VOID *Data);
EFI_STATUS EFIAPI NotebookSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                                      UINTN DataSize, const VOID *Data);
EFI_STATUS HarnessGetVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 *Attributes,
                              UINTN *DataSize, VOID *Data);
EFI_STATUS HarnessSetVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes,
                              UINTN DataSize, const VOID *Data);
