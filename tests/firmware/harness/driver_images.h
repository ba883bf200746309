// Loading and starting driver images through the firmware's own LoadImage and StartImage.
#pragma once

#include "efi_system_table.h"

// Loads an image with LoadImage(FALSE, harness, Path, Source, SourceSize): from the file the
// device path names when Source is null, else from the buffer (Path then only describes where
// the image came from). Reports
//   @fw load image=<Name> status=.. base=.. size=.. codetype=.. datatype=.. parent=..
//       systemtable=.. device=.. filepath=..
EFI_STATUS LoadImageReport(const char *Name, const EFI_DEVICE_PATH_PROTOCOL *Path, VOID *Source,
                           UINTN SourceSize, EFI_HANDLE *Image);

// Loads \<Name>.efi from the harness's own volume (the volume's device path plus a file-path
// node), so that the firmware reads, relocates and registers the image itself.
EFI_STATUS LoadDriverFile(const char *Name, EFI_HANDLE *Image);

// Calls StartImage and reports "@fw start image=<Name> status=.. exitdata=..".
EFI_STATUS StartDriver(const char *Name, EFI_HANDLE Image);

// LoadDriverFile then StartDriver; the status of whichever failed, else the entry point's.
EFI_STATUS RunDriverFile(const char *Name);

// Whether Address lies inside the loaded image of Image.
bool ImageContains(EFI_HANDLE Image, const VOID *Address);
// Whether Address lies inside any image still loaded (the firmware unloads a driver whose entry
// point fails; what it registered before then points into freed memory).
bool CodeIsLoaded(const VOID *Address);

// The volume the harness was loaded from, and a new pool path <its path>/\<Name>.efi/End.
EFI_HANDLE HarnessVolume();
EFI_DEVICE_PATH_PROTOCOL *VolumeFilePath(const char *Name);

// Device-path helpers.
UINTN DevicePathNodeLength(const EFI_DEVICE_PATH_PROTOCOL *Node);
bool IsDevicePathEnd(const EFI_DEVICE_PATH_PROTOCOL *Node);
// The text of a file-path node, or a short description of another node, on a result line.
struct ResultLine;
VOID ReportPathNode(ResultLine &Line, const EFI_DEVICE_PATH_PROTOCOL *Node);
// The last node before the end of a path (the path itself when it is only an end node).
const EFI_DEVICE_PATH_PROTOCOL *LastPathNode(const EFI_DEVICE_PATH_PROTOCOL *Path);
