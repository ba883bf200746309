// A stand-in for the notebook's Framework SMM core, run in the boot-services environment of the
// emulated machine (whose firmware has no Framework SMM interfaces): EFI_SMM_BASE_PROTOCOL, the
// SMM system table with its configuration table and CPU save states, and
// EFI_SMM_SW_DISPATCH_PROTOCOL.
//
// Register resolves the device path it is given to a file of a firmware volume (its PE32
// section, read through the PI volume protocol of the handle that LocateDevicePath finds for the
// path), loads that image again with the firmware's LoadImage from the section and starts the new
// copy while InSmm answers TRUE, as the SMM core starts a driver's copy in SMRAM; a path that
// names no volume file is refused with what the resolution returned. SMIs are raised by the
// harness: a software SMI puts the caller's EAX into the saved state of the calling processor, runs
// the handlers registered for its value and reads EAX back; a periodic SMI runs every callback
// registered with RegisterCallback.
//
// The SMM configuration table holds, in this order: the SMM runtime-services table (the
// firmware's runtime services), the processor-index table naming processor 1 as the caller
// (handlers run on processor 0, CurrentlyExecutingCpu 1), and the SMM variable services, whose
// read function (at byte 28) reads the firmware's store through the notebook's namespace.
//
// Reported:
//   @fw smm op=register file=.. source=.. legacy=.. resolved=volume|none pe32=.. status=..
//   @fw smm op=insmm answer=..
//   @fw smm op=getsmst insmm=.. status=..
//   @fw smm op=callback image=.. function=.. makelast=.. fpsave=.. status=..
//   @fw smm op=swregister value=.. function=.. status=..
//   @fw smm op=getvariable name=.. sizein=.. status=..
//   @fw smi kind=software value=.. eax=.. answer=.. handlers=.. executing=..
//   @fw smm op=dropped handlers=..  (after an in-SMM run that failed: what that run registered)
//   @fw smi kind=periodic index=.. status=..|skipped=unloaded
// (a handler whose image the firmware has unloaded since it registered is not called)
// where image and function say which loaded copy an image handle or a function belongs to:
// "smm-copy" (an image loaded through Register), "first-copy" (any other image) or "unknown".
#pragma once

#include "efi_types.h"

// Installs the SMM base and software-SMI dispatch protocols; images started through Register
// get Label with ".smm" appended in their load and start lines.
EFI_STATUS InstallSmmStandIn();
VOID UninstallSmmStandIn();

// Raises one software SMI with Value and the caller's EAX; returns the EAX the caller gets back.
UINT32 RaiseSoftwareSmi(UINTN Value, UINT32 CallerEax);

// Raises one SMI that is no software SMI: every RegisterCallback callback runs once.
VOID RaisePeriodicSmi();
