// Our drivers in the machine's own flash image: the firmware's DXE core found them in its DXE
// volume and dispatched them during its own DXE phase, long before the shell started the
// harness. The harness dispatches nothing and loads nothing; it reads what the firmware left:
//
//   @fw flashfile volume=<first node of the volume handle's path> file=.. name=.. loaded=<n>
//     one per driver file of ours in a firmware volume the core published (found with the PI
//     volume protocol's GetNextFile, named by its user-interface section); loaded: how many
//     loaded images have that file's node as their path
//   @fw flashimage name=.. file=.. base=.. size=.. codetype=.. datatype=..
//       parent=dxe-core|harness|other parentpath=.. device=<first node of DeviceHandle's path>
//       samevolume=0|1 filepath=..
//     one per such loaded image, from its loaded-image protocol as the core installed it
//   @fw protocol name=fingerprint-auth status=.. function=in-flash-image|elsewhere
#include "device_path_nodes.h"
#include "driver_globals.h"
#include "driver_images.h"
#include "guids.h"
#include "harness_interfaces.h"
#include "loaded_image.h"
#include "memory.h"
#include "result_lines.h"
#include "scenarios.h"
#include "setup_variables.h"
#include "variable_report.h"
#include "volume_dispatch.h"

namespace {

constexpr const char *OurDrivers[] = {"FingerprintAuthDxe", "SetupHwSyncDxe", "PciBridgeProbeDxe",
                                      "FanControlSmm", "FingerprintStatusSmm"};
constexpr UINT8 EFI_FV_FILETYPE_DRIVER = 0x07;

bool SameName(const char *A, const char *B) {
  while (*A != 0 && *A == *B) {
    A++;
    B++;
  }
  return *A == *B;
}

bool IsOurs(const char *Name) {
  for (const char *Driver : OurDrivers) {
    if (SameName(Driver, Name)) {
      return true;
    }
  }
  return false;
}

const EFI_DEVICE_PATH_PROTOCOL *PathOf(EFI_HANDLE Handle) {
  EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
  if (Handle == nullptr || EFI_ERROR(DriverBootServices->HandleProtocol(
                               Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, (VOID **)&Path))) {
    return nullptr;
  }
  return Path;
}

const char *ParentKind(EFI_HANDLE Parent) {
  if (Parent == DriverImageHandle) {
    return "harness";
  }
  // The DXE core is the image that holds the code of its own Dispatch service.
  DXE_SERVICES *Dxe = FindDxeServices();
  return Dxe != nullptr && ImageContains(Parent, (const VOID *)Dxe->Dispatch) ? "dxe-core"
                                                                              : "other";
}

// The loaded image started from File (null when none); reports each one found.
EFI_HANDLE ReportImagesOf(const EFI_GUID &File, const char *Name, EFI_HANDLE Volume, UINTN *Count) {
  *Count = 0;
  EFI_HANDLE Found = nullptr;
  UINTN Handles = 0;
  EFI_HANDLE *Buffer = nullptr;
  if (EFI_ERROR(DriverBootServices->LocateHandleBuffer(ByProtocol, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                       nullptr, &Handles, &Buffer))) {
    return nullptr;
  }
  for (UINTN Index = 0; Index < Handles; Index++) {
    EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
    EFI_GUID Named = {};
    if (EFI_ERROR(DriverBootServices->HandleProtocol(Buffer[Index], &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                     (VOID **)&Image)) ||
        !FileNode(Image->FilePath, &Named) || CompareBytes(&Named, &File, sizeof(EFI_GUID)) != 0) {
      continue;
    }
    (*Count)++;
    Found = Buffer[Index];
    ResultLine Line("flashimage");
    Line.Key("name").Text(Name).Key("file").Guid(File);
    Line.Key("base").Hex((UINTN)Image->ImageBase).Key("size").Hex(Image->ImageSize);
    Line.Key("codetype").Dec(Image->ImageCodeType).Key("datatype").Dec(Image->ImageDataType);
    Line.Key("parent").Text(ParentKind(Image->ParentHandle)).Key("parentpath");
    EFI_LOADED_IMAGE_PROTOCOL *Parent = nullptr;
    if (Image->ParentHandle != nullptr &&
        !EFI_ERROR(DriverBootServices->HandleProtocol(
            Image->ParentHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, (VOID **)&Parent))) {
      ReportPathNode(Line, Parent->FilePath);
    } else {
      Line.Text("none");
    }
    Line.Key("device");
    ReportPathNode(Line, PathOf(Image->DeviceHandle));
    Line.Key("samevolume").Dec(Image->DeviceHandle == Volume ? 1 : 0).Key("filepath");
    ReportPathNode(Line, Image->FilePath);
    Line.Emit();
  }
  DriverBootServices->FreePool(Buffer);
  return Found;
}

// Every driver file of ours in every volume the core published, and the images started from
// them. Returns the image started from FingerprintAuthDxe's file (null when none).
EFI_HANDLE ReportFlashDrivers() {
  EFI_HANDLE FingerprintImage = nullptr;
  UINTN Volumes = 0;
  EFI_HANDLE *Handles = nullptr;
  if (EFI_ERROR(DriverBootServices->LocateHandleBuffer(
          ByProtocol, &EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID, nullptr, &Volumes, &Handles))) {
    Note("no firmware volume published");
    return nullptr;
  }
  for (UINTN Index = 0; Index < Volumes; Index++) {
    EFI_FIRMWARE_VOLUME2_PROTOCOL *Fv = nullptr;
    VOID *Key = nullptr;
    if (EFI_ERROR(DriverBootServices->HandleProtocol(
            Handles[Index], &EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID, (VOID **)&Fv)) ||
        EFI_ERROR(DriverBootServices->AllocatePool(EfiBootServicesData, Fv->KeySize, &Key))) {
      continue;
    }
    FillBytes(Key, Fv->KeySize, 0);
    for (;;) {
      UINT8 Type = EFI_FV_FILETYPE_DRIVER;
      EFI_GUID File = {};
      UINT32 Attributes = 0;
      UINTN Size = 0;
      if (EFI_ERROR(Fv->GetNextFile(Fv, Key, &Type, &File, &Attributes, &Size))) {
        break;
      }
      char Name[40];
      VolumeFileName(Fv, File, Name, sizeof(Name));
      if (!IsOurs(Name)) {
        continue;
      }
      UINTN Loaded = 0;
      EFI_HANDLE Image = ReportImagesOf(File, Name, Handles[Index], &Loaded);
      if (SameName(Name, "FingerprintAuthDxe")) {
        FingerprintImage = Image;
      }
      ResultLine Line("flashfile");
      Line.Key("volume");
      ReportPathNode(Line, PathOf(Handles[Index]));
      Line.Key("file").Guid(File).Key("name").Text(Name).Key("loaded").Dec(Loaded).Emit();
    }
    DriverBootServices->FreePool(Key);
  }
  DriverBootServices->FreePool(Handles);
  return FingerprintImage;
}

} // namespace

EFI_STATUS FlashFirstBoot() {
  ReportFingerprintProtocolIn(ReportFlashDrivers(), "in-flash-image");
  ReportVariable("found", u"Setup", SETUP_GUID);
  // The setup engine's store for the next boot: a full "Setup" with both strap latches set.
  UINT8 Setup[SETUP_VARIABLE_SIZE];
  FillSetupPattern(Setup);
  Setup[SetupField::OptionStrapLatch] = 1;
  Setup[SetupField::Com2StrapLatch] = 1;
  EFI_STATUS Status =
      WriteVariable(u"Setup", SETUP_GUID, EFI_VARIABLE_NV_BS_RT, sizeof(Setup), Setup);
  ReportVariable("stored", u"Setup", SETUP_GUID);
  return Status;
}

EFI_STATUS FlashSecondBoot() {
  ReportFingerprintProtocolIn(ReportFlashDrivers(), "in-flash-image");
  return ReportVariable("after", u"Setup", SETUP_GUID);
}
