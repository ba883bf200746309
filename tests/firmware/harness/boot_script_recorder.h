// A Framework EFI_BOOT_SCRIPT_SAVE_PROTOCOL that records what drivers write into the S3 resume
// script instead of building one (the firmware under test has the PI S3 save-state protocol,
// not this Framework interface).
#pragma once

#include "efi_types.h"

// Installs the recorder on a handle of its own; the recorded list starts empty.
EFI_STATUS InstallBootScriptRecorder();
// Takes the recorder off again (it lives in the harness image, which goes when the harness
// returns to the shell).
VOID UninstallBootScriptRecorder();
// Reports "@fw script ..." per recorded Write call and "@fw scripts count=N", then forgets
// them.
VOID ReportAndClearBootScript();
