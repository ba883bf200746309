// Our drivers started by the DXE core of the emulated machine's firmware, from a firmware
// volume of ours, the way a platform starts them.
//
// The harness reads the volume file from its drive into pages placed at the boundary the volume
// header asks for (EFI_FVB2_ALIGNMENT) and hands it to the DXE services' ProcessFirmwareVolume;
// the core puts its PI firmware-volume protocol on a new handle. On that handle the harness
// layers the Framework EFI_FIRMWARE_VOLUME_PROTOCOL over the PI one (the notebook's drivers read
// their own files' sections through the Framework interface). Dispatch then lets the core
// evaluate each file's dependency expression and load and start the drivers whose expressions
// hold; the others stay pending until a later Dispatch finds them satisfied.
//
// Reported:
//   @fw volume file=.. size=.. length=.. alignment=.. placed=.. status=..
//   @fw fvlayer op=install status=.. volumepath=<first node of the volume handle's device path>
//   @fw fvlayer op=readsection|readfile file=.. type=.. instance=.. status=.. size=..
//   @fw dispatched round=.. name=.. file=.. base=.. size=.. codetype=.. datatype=..
//       parent=dxe-core|other device=volume|other filepath=..
//     (one per image the firmware loads from the volume or by a firmware-file path, as its
//      loaded-image protocol appears; the harness's own loads are left out)
//   @fw dispatch round=.. status=..
//   @fw resident round=.. name=.. loaded=0|1
//     (after each Dispatch, for every image loaded from the volume so far: whether it is still
//      loaded; the core unloads a driver whose entry point returned an error)
#pragma once

#include "efi_system_table.h"
#include "harness_interfaces.h"

// The DXE services table from the system configuration table (null when absent or damaged).
DXE_SERVICES *FindDxeServices();
// The user-interface name of a file of the volume, in ASCII (empty when it has none).
VOID VolumeFileName(EFI_FIRMWARE_VOLUME2_PROTOCOL *Fv, const EFI_GUID &File, char *Name,
                    UINTN NameSize);
// Whether Node is a firmware-file device-path node; its file name into File.
bool FileNode(const EFI_DEVICE_PATH_PROTOCOL *Node, EFI_GUID *File);

// Reads Name from the drive, places it and hands it to ProcessFirmwareVolume; layers the
// Framework volume protocol on the new handle and starts watching the images loaded from it.
// Images the core loads from the volume start with Table (null: the firmware's own).
EFI_STATUS OpenNotebookVolume(const CHAR16 *Name, EFI_SYSTEM_TABLE *Table);

// One Dispatch of the DXE core, then the resident lines.
EFI_STATUS DispatchNotebookVolume();

// The volume handle the core made (null before OpenNotebookVolume).
EFI_HANDLE NotebookVolumeHandle();

// Resolves a device path to a file of a firmware volume through the firmware's own services:
// LocateDevicePath finds the handle with the PI volume protocol, the rest of the path must be one
// firmware-file node, whose PE32 section the volume protocol reads into a new pool buffer.
// Name receives the file's user-interface name in ASCII (empty when it has none).
EFI_STATUS ReadVolumeImage(const EFI_DEVICE_PATH_PROTOCOL *Path, VOID **Image, UINTN *Size,
                           char *Name, UINTN NameSize);

// The image the core loaded from the volume under that user-interface name (null when none).
EFI_HANDLE DispatchedImage(const char *Name);

// Reads, straight from the core's volume protocol (not through the layer, so not reported), the
// freeform section of the image's own file whose data starts with Subtype, into a new pool
// buffer (the caller frees it): what the volume holds, to compare with what a driver made of it.
EFI_STATUS ReadDispatchedSection(EFI_HANDLE Image, const EFI_GUID &Subtype, VOID **Data,
                                 UINTN *Size);

// Ends the watch on loaded images and takes the Framework layer off the volume's handle (both
// live in the harness image); the core's own protocol and the started drivers stay.
VOID CloseNotebookVolume();
