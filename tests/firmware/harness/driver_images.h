// Loading and starting driver image files that lie beside the harness on its boot volume.
#pragma once

#include "efi_system_table.h"

// Loads \<Name>.efi with LoadImage from a device path (the harness's volume plus a file-path
// node), so the firmware reads, relocates and registers the image itself. Reports
//   @fw load image=<Name> status=.. base=.. size=.. codetype=.. datatype=.. ...
EFI_STATUS LoadDriverFile(const char *Name, EFI_HANDLE *Image);

// Calls StartImage and reports "@fw start image=<Name> status=..".
EFI_STATUS StartDriver(const char *Name, EFI_HANDLE Image);

// LoadDriverFile then StartDriver; the status of whichever failed, else the entry point's.
EFI_STATUS RunDriverFile(const char *Name);
