#include "volume_dispatch.h"

#include "device_path_nodes.h"
#include "driver_globals.h"
#include "driver_images.h"
#include "firmware_volume.h"
#include "guids.h"
#include "harness_interfaces.h"
#include "loaded_image.h"
#include "memory.h"
#include "result_lines.h"
#include "volume_files.h"

namespace {

struct Loaded {
  EFI_HANDLE Handle;
  VOID *Base;
  UINTN Round;
  char Name[40];
};

DXE_SERVICES *Dxe = nullptr;
EFI_HANDLE Volume = nullptr;
EFI_FIRMWARE_VOLUME2_PROTOCOL *PiVolume = nullptr;
EFI_FIRMWARE_VOLUME_PROTOCOL FrameworkLayer;
EFI_SYSTEM_TABLE *TableForDrivers = nullptr;
VOID *Registration = nullptr;
EFI_EVENT LoadEvent = nullptr;
Loaded Images[16];
UINTN ImageCount = 0;
UINTN Round = 0;

} // namespace

DXE_SERVICES *FindDxeServices() {
  for (UINTN Index = 0; Index < DriverSystemTable->NumberOfTableEntries; Index++) {
    const EFI_CONFIGURATION_TABLE &Entry = DriverSystemTable->ConfigurationTable[Index];
    if (CompareBytes(&Entry.VendorGuid, &DXE_SERVICES_TABLE_GUID, sizeof(EFI_GUID)) == 0) {
      DXE_SERVICES *Table = (DXE_SERVICES *)Entry.VendorTable;
      return Table->Hdr.Signature == DXE_SERVICES_SIGNATURE ? Table : nullptr;
    }
  }
  return nullptr;
}

VOID VolumeFileName(EFI_FIRMWARE_VOLUME2_PROTOCOL *Fv, const EFI_GUID &File, char *Name,
                    UINTN NameSize) {
  Name[0] = 0;
  VOID *Text = nullptr;
  UINTN Size = 0;
  UINT32 Authentication = 0;
  if (Fv == nullptr || EFI_ERROR(Fv->ReadSection(Fv, &File, EFI_SECTION_USER_INTERFACE, 0, &Text,
                                                 &Size, &Authentication))) {
    return;
  }
  const UINT8 *Chars = (const UINT8 *)Text;
  UINTN Used = 0;
  for (UINTN Index = 0; Index + 1 < Size && Used + 1 < NameSize; Index += 2) {
    if (Chars[Index] == 0) {
      break;
    }
    Name[Used++] = Chars[Index] < 0x80 ? (char)Chars[Index] : '?';
  }
  Name[Used] = 0;
  DriverBootServices->FreePool(Text);
}

bool FileNode(const EFI_DEVICE_PATH_PROTOCOL *Node, EFI_GUID *File) {
  if (Node == nullptr || Node->Type != MEDIA_DEVICE_PATH ||
      Node->SubType != MEDIA_PIWG_FW_FILE_DP ||
      DevicePathNodeLength(Node) != sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH)) {
    return false;
  }
  CopyBytes(File, (const UINT8 *)Node + sizeof(EFI_DEVICE_PATH_PROTOCOL), sizeof(EFI_GUID));
  return true;
}

namespace {

// The file's user-interface section, in ASCII.
VOID FileName(const EFI_GUID &File, char *Name, UINTN NameSize) {
  VolumeFileName(PiVolume, File, Name, NameSize);
}

// Whether the volume holds a file of that name (PI ReadFile with no buffer: size and type only).
bool InVolume(const EFI_GUID &File) {
  UINTN Size = 0;
  UINT8 Type = 0;
  UINT32 Attributes = 0;
  UINT32 Authentication = 0;
  return PiVolume != nullptr && !EFI_ERROR(PiVolume->ReadFile(PiVolume, &File, nullptr, &Size,
                                                              &Type, &Attributes, &Authentication));
}

const char *ParentOf(EFI_HANDLE Parent) {
  if (Parent == DriverImageHandle) {
    return "harness";
  }
  // The DXE core is the image that holds the code of its own Dispatch service.
  return ImageContains(Parent, (const VOID *)Dxe->Dispatch) ? "dxe-core" : "other";
}

// Runs as each loaded-image protocol is installed (the core reinstalls it once the image is
// loaded, before the image starts): records the images that come from our volume and gives
// them the harness's system table to start with.
VOID EFIAPI OnImageLoaded(EFI_EVENT, VOID *) {
  for (;;) {
    EFI_HANDLE Handle = nullptr;
    UINTN Size = sizeof(Handle);
    if (EFI_ERROR(DriverBootServices->LocateHandle(ByRegisterNotify, nullptr, Registration, &Size,
                                                   &Handle))) {
      return;
    }
    EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
    EFI_GUID File = {};
    if (EFI_ERROR(DriverBootServices->HandleProtocol(Handle, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                     (VOID **)&Image)) ||
        Image->ParentHandle == DriverImageHandle) {
      continue; // a copy the harness loads itself (SMM stand-in)
    }
    // The core's first answer for a new registration starts at its oldest loaded image: only
    // images with the volume as device or a path naming one of its files are ours.
    bool Named = FileNode(Image->FilePath, &File);
    if (Image->DeviceHandle != Volume && !(Named && InVolume(File))) {
      continue;
    }
    if (TableForDrivers != nullptr && Image->DeviceHandle == Volume) {
      Image->SystemTable = TableForDrivers;
    }
    ResultLine Line("dispatched");
    Line.Key("round").Dec(Round).Key("name");
    char Name[40] = "";
    if (Named) {
      FileName(File, Name, sizeof(Name));
    }
    Line.Text(Name[0] != 0 ? Name : "unnamed").Key("file");
    if (Named) {
      Line.Guid(File);
    } else {
      Line.Text("none");
    }
    Line.Key("base").Hex((UINTN)Image->ImageBase).Key("size").Hex(Image->ImageSize);
    Line.Key("codetype").Dec(Image->ImageCodeType).Key("datatype").Dec(Image->ImageDataType);
    Line.Key("parent").Text(ParentOf(Image->ParentHandle));
    Line.Key("systemtable").Text(Image->SystemTable == DriverSystemTable ? "firmware" : "harness");
    Line.Key("device").Text(Image->DeviceHandle == Volume ? "volume" : "other").Key("filepath");
    ReportPathNode(Line, Image->FilePath);
    Line.Emit();
    if (ImageCount < sizeof(Images) / sizeof(Images[0])) {
      Loaded &Entry = Images[ImageCount++];
      Entry.Handle = Handle;
      Entry.Base = Image->ImageBase;
      Entry.Round = Round;
      CopyBytes(Entry.Name, Name, sizeof(Name));
    }
  }
}

EFI_STATUS ReportSection(const char *Op, const EFI_GUID *NameGuid, UINT8 Type, UINTN Instance,
                         EFI_STATUS Status, UINTN Size) {
  ResultLine Line("fvlayer");
  Line.Key("op").Text(Op).Key("file");
  if (NameGuid != nullptr) {
    Line.Guid(*NameGuid);
  } else {
    Line.Text("null");
  }
  Line.Key("type").Hex(Type).Key("instance").Dec(Instance).Status(Status).Key("size").Dec(Size);
  Line.Emit();
  return Status;
}

// The Framework volume protocol's members that the drivers use, served by the PI volume
// protocol the core installed on the same handle (same arguments, same buffer rules).
EFI_STATUS EFIAPI LayerReadSection(EFI_FIRMWARE_VOLUME_PROTOCOL *, const EFI_GUID *NameGuid,
                                   EFI_SECTION_TYPE SectionType, UINTN SectionInstance,
                                   VOID **Buffer, UINTN *BufferSize, UINT32 *AuthenticationStatus) {
  EFI_STATUS Status = PiVolume->ReadSection(PiVolume, NameGuid, SectionType, SectionInstance,
                                            Buffer, BufferSize, AuthenticationStatus);
  return ReportSection("readsection", NameGuid, SectionType, SectionInstance, Status,
                       BufferSize != nullptr ? *BufferSize : 0);
}

EFI_STATUS EFIAPI LayerReadFile(EFI_FIRMWARE_VOLUME_PROTOCOL *, const EFI_GUID *NameGuid,
                                VOID **Buffer, UINTN *BufferSize, EFI_FV_FILETYPE *FoundType,
                                EFI_FV_FILE_ATTRIBUTES *FileAttributes,
                                UINT32 *AuthenticationStatus) {
  EFI_STATUS Status = PiVolume->ReadFile(PiVolume, NameGuid, Buffer, BufferSize, FoundType,
                                         FileAttributes, AuthenticationStatus);
  return ReportSection("readfile", NameGuid, 0, 0, Status, BufferSize != nullptr ? *BufferSize : 0);
}

EFI_STATUS EFIAPI LayerUnsupported() {
  return EFI_UNSUPPORTED;
}

// Copies the volume to pages at the boundary its header asks for.
EFI_STATUS PlaceVolume(const UINT8 *Data, UINTN Size, const UINT8 **Placed, UINTN *Alignment) {
  const EFI_FIRMWARE_VOLUME_HEADER *Header = (const EFI_FIRMWARE_VOLUME_HEADER *)Data;
  if (Size < sizeof(*Header) || Header->Signature != EFI_FVH_SIGNATURE || Header->FvLength > Size) {
    return EFI_INVALID_PARAMETER;
  }
  *Alignment = (UINTN)1 << ((Header->Attributes & EFI_FVB2_ALIGNMENT) >> 16);
  UINTN Extra = *Alignment > EFI_PAGE_SIZE ? *Alignment : 0;
  UINTN Pages = (Size + Extra + EFI_PAGE_SIZE - 1) / EFI_PAGE_SIZE;
  EFI_PHYSICAL_ADDRESS Address = 0;
  EFI_STATUS Status =
      DriverBootServices->AllocatePages(AllocateAnyPages, EfiBootServicesData, Pages, &Address);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // The pages stay with the firmware: the core reads its volume from them from now on.
  UINTN Start = ((UINTN)Address + *Alignment - 1) & ~(*Alignment - 1);
  CopyBytes((VOID *)Start, Data, Size);
  *Placed = (const UINT8 *)Start;
  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS OpenNotebookVolume(const CHAR16 *Name, EFI_SYSTEM_TABLE *Table) {
  TableForDrivers = Table;
  Dxe = FindDxeServices();
  if (Dxe == nullptr) {
    ResultLine("volume").Key("dxeservices").Text("missing").Status(EFI_NOT_FOUND).Emit();
    return EFI_NOT_FOUND;
  }
  UINT8 *Data = nullptr;
  UINTN Size = 0;
  EFI_STATUS Status = ReadVolumeFile(Name, &Data, &Size);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  const UINT8 *Placed = nullptr;
  UINTN Alignment = 0;
  Status = PlaceVolume(Data, Size, &Placed, &Alignment);
  DriverBootServices->FreePool(Data);
  if (!EFI_ERROR(Status)) {
    Status = DriverBootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnImageLoaded,
                                             nullptr, &LoadEvent);
  }
  if (!EFI_ERROR(Status)) {
    Status = DriverBootServices->RegisterProtocolNotify(&EFI_LOADED_IMAGE_PROTOCOL_GUID, LoadEvent,
                                                        &Registration);
  }
  if (!EFI_ERROR(Status)) {
    Status = Dxe->ProcessFirmwareVolume(Placed, Size, &Volume);
  }
  ResultLine("volume")
      .Key("size")
      .Dec(Size)
      .Key("length")
      .Dec(Placed != nullptr ? ((const EFI_FIRMWARE_VOLUME_HEADER *)Placed)->FvLength : 0)
      .Key("alignment")
      .Hex(Alignment)
      .Key("placed")
      .Hex((UINTN)Placed)
      .Status(Status)
      .Emit();
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = DriverBootServices->HandleProtocol(Volume, &EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID,
                                              (VOID **)&PiVolume);
  if (!EFI_ERROR(Status)) {
    FrameworkLayer.GetVolumeAttributes = (FRAMEWORK_EFI_FV_GET_ATTRIBUTES)LayerUnsupported;
    FrameworkLayer.SetVolumeAttributes = (FRAMEWORK_EFI_FV_SET_ATTRIBUTES)LayerUnsupported;
    FrameworkLayer.ReadFile = LayerReadFile;
    FrameworkLayer.ReadSection = LayerReadSection;
    FrameworkLayer.WriteFile = LayerUnsupported;
    FrameworkLayer.GetNextFile = LayerUnsupported;
    FrameworkLayer.KeySize = PiVolume->KeySize;
    FrameworkLayer.ParentHandle = PiVolume->ParentHandle;
    Status = DriverBootServices->InstallProtocolInterface(
        &Volume, &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, EFI_NATIVE_INTERFACE, &FrameworkLayer);
  }
  // The volume's own device path as the core made it (the start of every path the drivers join
  // from their DeviceHandle and FilePath), for the log.
  EFI_DEVICE_PATH_PROTOCOL *VolumePath = nullptr;
  ResultLine Line("fvlayer");
  Line.Key("op").Text("install").Status(Status).Key("volumepath");
  if (EFI_ERROR(DriverBootServices->HandleProtocol(Volume, &EFI_DEVICE_PATH_PROTOCOL_GUID,
                                                   (VOID **)&VolumePath))) {
    VolumePath = nullptr;
  }
  ReportPathNode(Line, VolumePath);
  Line.Emit();
  return Status;
}

EFI_STATUS DispatchNotebookVolume() {
  Round++;
  EFI_STATUS Status = Dxe != nullptr ? Dxe->Dispatch() : EFI_NOT_READY;
  ResultLine("dispatch").Key("round").Dec(Round).Status(Status).Emit();
  for (UINTN Index = 0; Index < ImageCount; Index++) {
    EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
    // A handle the core freed may have been given to a new image since: it only counts as the
    // same image when it still holds the same loaded image at the same base.
    bool Present = !EFI_ERROR(DriverBootServices->HandleProtocol(
                       Images[Index].Handle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, (VOID **)&Image)) &&
                   Image->ImageBase == Images[Index].Base;
    ResultLine("resident")
        .Key("round")
        .Dec(Round)
        .Key("name")
        .Text(Images[Index].Name[0] != 0 ? Images[Index].Name : "unnamed")
        .Key("loaded")
        .Dec(Present ? 1 : 0)
        .Emit();
  }
  return Status;
}

EFI_HANDLE NotebookVolumeHandle() {
  return Volume;
}

EFI_STATUS ReadVolumeImage(const EFI_DEVICE_PATH_PROTOCOL *Path, VOID **Image, UINTN *Size,
                           char *Name, UINTN NameSize) {
  *Image = nullptr;
  *Size = 0;
  Name[0] = 0;
  EFI_DEVICE_PATH_PROTOCOL *Remaining = (EFI_DEVICE_PATH_PROTOCOL *)Path;
  EFI_HANDLE Device = nullptr;
  EFI_STATUS Status = DriverBootServices->LocateDevicePath(&EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID,
                                                           &Remaining, &Device);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_GUID File;
  const EFI_DEVICE_PATH_PROTOCOL *After =
      (const EFI_DEVICE_PATH_PROTOCOL *)((const UINT8 *)Remaining +
                                         DevicePathNodeLength(Remaining));
  if (!FileNode(Remaining, &File) || !IsDevicePathEnd(After)) {
    return EFI_NOT_FOUND;
  }
  EFI_FIRMWARE_VOLUME2_PROTOCOL *Fv = nullptr;
  Status =
      DriverBootServices->HandleProtocol(Device, &EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID, (VOID **)&Fv);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINT32 Authentication = 0;
  Status = Fv->ReadSection(Fv, &File, EFI_SECTION_PE32, 0, Image, Size, &Authentication);
  if (!EFI_ERROR(Status) && Fv == PiVolume) {
    FileName(File, Name, NameSize);
  }
  return Status;
}

EFI_HANDLE DispatchedImage(const char *Name) {
  for (UINTN Index = ImageCount; Index-- != 0;) {
    const char *A = Images[Index].Name;
    const char *B = Name;
    while (*A != 0 && *A == *B) {
      A++;
      B++;
    }
    if (*A == *B) {
      return Images[Index].Handle;
    }
  }
  return nullptr;
}

VOID CloseNotebookVolume() {
  // The layer and the watch live in the harness image, which goes when the harness returns; the
  // core's own volume protocol and the drivers it started stay.
  if (LoadEvent != nullptr) {
    DriverBootServices->CloseEvent(LoadEvent);
    LoadEvent = nullptr;
  }
  if (Volume != nullptr && PiVolume != nullptr) {
    DriverBootServices->UninstallProtocolInterface(Volume, &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID,
                                                   &FrameworkLayer);
  }
}

EFI_STATUS ReadDispatchedSection(EFI_HANDLE Image, const EFI_GUID &Subtype, VOID **Data,
                                 UINTN *Size) {
  *Data = nullptr;
  *Size = 0;
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  EFI_GUID File;
  if (Image == nullptr || PiVolume == nullptr ||
      EFI_ERROR(DriverBootServices->HandleProtocol(Image, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                   (VOID **)&Loaded)) ||
      !FileNode(Loaded->FilePath, &File)) {
    return EFI_NOT_FOUND;
  }
  for (UINTN Instance = 0;; Instance++) {
    VOID *Section = nullptr;
    UINTN Length = 0;
    UINT32 Authentication = 0;
    EFI_STATUS Status = PiVolume->ReadSection(PiVolume, &File, EFI_SECTION_FREEFORM_SUBTYPE_GUID,
                                              Instance, &Section, &Length, &Authentication);
    if (EFI_ERROR(Status)) {
      return Status;
    }
    if (Length > sizeof(EFI_GUID) && CompareBytes(Section, &Subtype, sizeof(EFI_GUID)) == 0) {
      *Data = Section;
      *Size = Length;
      return EFI_SUCCESS;
    }
    DriverBootServices->FreePool(Section);
  }
}
