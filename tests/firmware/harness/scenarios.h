// The harness's scenarios, one per command word on its command line. Each reports what it did
// and saw in result lines; the test on the host side judges them.
#pragma once

#include "efi_types.h"

// PciBridgeProbeDxe: without "Setup" (fresh store), with "Setup", and without the boot-script
// protocol.
EFI_STATUS PciBridgeProbeScenario();

// SetupHwSyncDxe, first boot: seeds "Setup" and the port NV variables, runs the driver.
EFI_STATUS SetupHwSyncFirstBoot();
// Second boot on the same store: reports what the flash kept, changes two options as a user
// would in setup, runs the driver again.
EFI_STATUS SetupHwSyncSecondBoot();

// The variables the status service reads ("VELTRASetup", "FPExistFlag", "Setup" with the reader
// option), and one round of its five software SMIs, introduced by a note naming Round.
VOID StoreStatusVariables(bool UserEmpty, bool AdminEmpty, bool FingerprintEnrolled,
                          UINT8 ReaderOption);
VOID AskStatusService(const char *Round);

// All five drivers started by the firmware's DXE core from NotebookDrivers.fv, in rounds of
// Dispatch as the harness installs what they wait for; once the SMM drivers run, two SMIs that
// are no software SMIs and the status service asked twice over changed variables.
EFI_STATUS DispatchScenario();
// "@fw protocol name=fingerprint-auth status=.. function=in-dispatched-image|elsewhere": whether
// FINGERPRINT_AUTH_PROTOCOL is installed with its function in the image the core dispatched.
VOID ReportFingerprintProtocol();
// The same line for the image Image: function=<Inside> when the protocol's function lies in it.
VOID ReportFingerprintProtocolIn(EFI_HANDLE Image, const char *Inside);

// FingerprintAuthDxe dispatched by the DXE core from NotebookDrivers.fv (round 1, with
// SetupHwSyncDxe) and called as the setup engine calls it, with
// a reader, one locked drive and the module played by the harness. First boot: the module holds
// only the user password, the drive's password is typed at the prompt. Second boot (same store):
// the drive sits on another SATA channel and the module delivers what it was given to store.
EFI_STATUS FingerprintAuthFirstBoot();
EFI_STATUS FingerprintAuthSecondBoot();

// Our drivers as the firmware's own DXE core dispatched them from its flash image, before the
// shell ran (the harness dispatches and loads nothing): the driver files in the firmware's
// volumes and the images started from them, and FINGERPRINT_AUTH_PROTOCOL. The first boot then
// stores "Setup" with both strap latches set; the second reports "Setup" as SetupHwSyncDxe
// left it during the DXE phase.
EFI_STATUS FlashFirstBoot();
EFI_STATUS FlashSecondBoot();

// PciBridgeProbeDxe loaded by the firmware, its entry point called with a non-canonical system
// table pointer: a crash on purpose, for the firmware's exception report. Does not return.
EFI_STATUS PlantedCrashScenario();

// Fills a 662-byte "Setup" image with a pattern, so that a shifted or truncated write shows.
VOID FillSetupPattern(UINT8 *Setup);
