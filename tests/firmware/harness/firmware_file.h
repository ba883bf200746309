// A firmware volume stand-in that holds one firmware file (FFS) of ours, read from the harness's
// volume, and serves its sections the way the notebook's firmware serves a driver's own file.
//
// The volume handle carries a device path of one firmware-volume node, the Framework
// EFI_FIRMWARE_VOLUME_PROTOCOL (ReadSection serves the file's sections; the other members answer
// EFI_UNSUPPORTED) and the PI EFI_FIRMWARE_VOLUME2_PROTOCOL, whose presence makes the firmware's
// LoadImage take this handle as the device of an image loaded by a firmware-file path (its
// members find no file, so the firmware's dispatcher finds nothing to dispatch from it).
// Every ReadSection call is reported:
//   @fw fv op=readsection file=.. type=.. instance=.. status=.. size=..
#pragma once

#include "efi_types.h"

struct FirmwareFile {
  const UINT8 *Data; // the whole file
  UINTN Size;
  EFI_GUID Name;
};

// Checks the file header (size, type, checksums, section layout). Reports
//   @fw ffs name=.. type=.. size=.. sections=.. status=..
EFI_STATUS ParseFirmwareFile(const UINT8 *Data, UINTN Size, FirmwareFile *File);

// The data of the Instance-th section of Type (after its 4-byte header).
bool FindSection(const FirmwareFile &File, UINT8 Type, UINTN Instance, const UINT8 **Data,
                 UINTN *Length);

EFI_STATUS InstallFirmwareVolume(const FirmwareFile &File);
EFI_HANDLE FirmwareVolumeHandle();
VOID UninstallFirmwareVolume();

// LoadImage from the file's PE32 section, with the path <volume node>/<firmware-file node>.
EFI_STATUS LoadFromFirmwareFile(const char *Label, EFI_HANDLE *Image);
