#include "driver_images.h"

#include "device_path_nodes.h"
#include "driver_globals.h"
#include "guids.h"
#include "loaded_image.h"
#include "memory.h"
#include "result_lines.h"

namespace {

// Bytes of a device path before its end node.
UINTN PathBodyLength(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  const UINT8 *Start = (const UINT8 *)Path;
  const EFI_DEVICE_PATH_PROTOCOL *Node = Path;
  while (!IsDevicePathEnd(Node) && DevicePathNodeLength(Node) >= sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
    Node = (const EFI_DEVICE_PATH_PROTOCOL *)((const UINT8 *)Node + DevicePathNodeLength(Node));
  }
  return (UINTN)((const UINT8 *)Node - Start);
}

EFI_LOADED_IMAGE_PROTOCOL *LoadedImageOf(EFI_HANDLE Image) {
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  if (EFI_ERROR(DriverBootServices->HandleProtocol(Image, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                   (VOID **)&Loaded))) {
    return nullptr;
  }
  return Loaded;
}

} // namespace

UINTN DevicePathNodeLength(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (UINTN)Node->Length[0] | ((UINTN)Node->Length[1] << 8);
}

bool IsDevicePathEnd(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return Node->Type == END_DEVICE_PATH_TYPE && Node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

const EFI_DEVICE_PATH_PROTOCOL *LastPathNode(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  const EFI_DEVICE_PATH_PROTOCOL *Last = Path;
  const EFI_DEVICE_PATH_PROTOCOL *Node = Path;
  while (!IsDevicePathEnd(Node) && DevicePathNodeLength(Node) >= sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
    Last = Node;
    Node = (const EFI_DEVICE_PATH_PROTOCOL *)((const UINT8 *)Node + DevicePathNodeLength(Node));
  }
  return Last;
}

EFI_HANDLE HarnessVolume() {
  EFI_LOADED_IMAGE_PROTOCOL *Self = LoadedImageOf(DriverImageHandle);
  return Self != nullptr ? Self->DeviceHandle : nullptr;
}

EFI_DEVICE_PATH_PROTOCOL *VolumeFilePath(const char *Name) {
  EFI_DEVICE_PATH_PROTOCOL *VolumePath = nullptr;
  if (EFI_ERROR(DriverBootServices->HandleProtocol(HarnessVolume(), &EFI_DEVICE_PATH_PROTOCOL_GUID,
                                                   (VOID **)&VolumePath))) {
    return nullptr;
  }
  UINTN NameLength = 0;
  while (Name[NameLength] != 0) {
    NameLength++;
  }
  static const char Suffix[] = ".efi";
  UINTN FileChars = 1 + NameLength + (sizeof(Suffix) - 1) + 1; // '\', name, ".efi", null
  UINTN FileNodeLength = sizeof(EFI_DEVICE_PATH_PROTOCOL) + FileChars * sizeof(CHAR16);
  UINTN BodyLength = PathBodyLength(VolumePath);
  UINT8 *Path = (UINT8 *)AllocateBootPool(BodyLength + FileNodeLength + 4);
  if (Path == nullptr) {
    return nullptr;
  }
  CopyBytes(Path, VolumePath, BodyLength);

  EFI_DEVICE_PATH_PROTOCOL *FileNode = (EFI_DEVICE_PATH_PROTOCOL *)(Path + BodyLength);
  FileNode->Type = MEDIA_DEVICE_PATH;
  FileNode->SubType = MEDIA_FILEPATH_DP;
  FileNode->Length[0] = (UINT8)FileNodeLength;
  FileNode->Length[1] = (UINT8)(FileNodeLength >> 8);
  // The node's characters follow its header at an even but not necessarily aligned address.
  UINT8 *Chars = (UINT8 *)(FileNode + 1);
  UINTN At = 0;
  auto PutChar = [&](CHAR16 C) {
    Chars[At++] = (UINT8)C;
    Chars[At++] = (UINT8)(C >> 8);
  };
  PutChar(u'\\');
  for (UINTN Index = 0; Index < NameLength; Index++) {
    PutChar((CHAR16)(UINT8)Name[Index]);
  }
  for (UINTN Index = 0; Suffix[Index] != 0; Index++) {
    PutChar((CHAR16)(UINT8)Suffix[Index]);
  }
  PutChar(0);

  EFI_DEVICE_PATH_PROTOCOL *End = (EFI_DEVICE_PATH_PROTOCOL *)(Path + BodyLength + FileNodeLength);
  End->Type = END_DEVICE_PATH_TYPE;
  End->SubType = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  End->Length[0] = 4;
  End->Length[1] = 0;
  return (EFI_DEVICE_PATH_PROTOCOL *)Path;
}

VOID ReportPathNode(ResultLine &Line, const EFI_DEVICE_PATH_PROTOCOL *Node) {
  if (Node == nullptr) {
    Line.Text("null");
    return;
  }
  if (Node->Type == MEDIA_DEVICE_PATH && Node->SubType == MEDIA_PIWG_FW_FILE_DP &&
      DevicePathNodeLength(Node) == sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH)) {
    EFI_GUID Name;
    CopyBytes(&Name, (const UINT8 *)Node + 4, sizeof(Name));
    Line.Text("fvfile:").Guid(Name);
    return;
  }
  if (Node->Type == MEDIA_DEVICE_PATH && Node->SubType == MEDIA_PIWG_FW_VOL_DP &&
      DevicePathNodeLength(Node) == sizeof(MEDIA_FW_VOL_DEVICE_PATH)) {
    EFI_GUID Name;
    CopyBytes(&Name, (const UINT8 *)Node + 4, sizeof(Name));
    Line.Text("fvvol:").Guid(Name);
    return;
  }
  if (Node->Type != MEDIA_DEVICE_PATH || Node->SubType != MEDIA_FILEPATH_DP) {
    Line.Text("node-").Hex(Node->Type).Text("-").Hex(Node->SubType);
    return;
  }
  const UINT8 *Chars = (const UINT8 *)(Node + 1);
  UINTN Count = (DevicePathNodeLength(Node) - sizeof(EFI_DEVICE_PATH_PROTOCOL)) / sizeof(CHAR16);
  CHAR16 Text[64];
  UINTN Used = 0;
  for (UINTN Index = 0; Index < Count && Used + 1 < 64; Index++) {
    CHAR16 C = (CHAR16)(Chars[2 * Index] | (Chars[2 * Index + 1] << 8));
    if (C == 0) {
      break;
    }
    Text[Used++] = C;
  }
  Text[Used] = 0;
  Line.Wide(Text);
}

EFI_STATUS LoadImageReport(const char *Name, const EFI_DEVICE_PATH_PROTOCOL *Path, VOID *Source,
                           UINTN SourceSize, EFI_HANDLE *Image) {
  *Image = nullptr;
  EFI_STATUS Status = DriverBootServices->LoadImage(
      FALSE, DriverImageHandle, (EFI_DEVICE_PATH_PROTOCOL *)Path, Source, SourceSize, Image);
  ResultLine Line("load");
  Line.Key("image").Text(Name).Status(Status);
  Line.Key("from").Text(Source != nullptr ? "buffer" : "file");
  if (EFI_ERROR(Status)) {
    Line.Emit();
    return Status;
  }
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = LoadedImageOf(*Image);
  if (Loaded == nullptr) {
    Line.Key("loadedimage").Text("missing").Emit();
    return Status;
  }
  Line.Key("base").Hex((UINTN)Loaded->ImageBase);
  Line.Key("size").Hex(Loaded->ImageSize);
  Line.Key("codetype").Dec(Loaded->ImageCodeType);
  Line.Key("datatype").Dec(Loaded->ImageDataType);
  Line.Key("parent").Text(Loaded->ParentHandle == DriverImageHandle ? "harness" : "other");
  Line.Key("systemtable").Text(Loaded->SystemTable == DriverSystemTable ? "same" : "other");
  Line.Key("device").Text(Loaded->DeviceHandle == nullptr           ? "null"
                          : Loaded->DeviceHandle == HarnessVolume() ? "harness-volume"
                                                                    : "other");
  Line.Key("filepath");
  ReportPathNode(Line, Loaded->FilePath);
  Line.Emit();
  return Status;
}

EFI_STATUS LoadDriverFile(const char *Name, EFI_HANDLE *Image) {
  *Image = nullptr;
  EFI_DEVICE_PATH_PROTOCOL *Path = VolumeFilePath(Name);
  if (Path == nullptr) {
    ResultLine("load").Key("image").Text(Name).Status(EFI_NOT_FOUND).Emit();
    return EFI_NOT_FOUND;
  }
  EFI_STATUS Status = LoadImageReport(Name, Path, nullptr, 0, Image);
  DriverBootServices->FreePool(Path);
  return Status;
}

EFI_STATUS StartDriver(const char *Name, EFI_HANDLE Image) {
  UINTN ExitDataSize = 0;
  CHAR16 *ExitData = nullptr;
  EFI_STATUS Status = DriverBootServices->StartImage(Image, &ExitDataSize, &ExitData);
  ResultLine("start")
      .Key("image")
      .Text(Name)
      .Status(Status)
      .Key("exitdata")
      .Dec(ExitDataSize)
      .Emit();
  if (ExitData != nullptr) {
    DriverBootServices->FreePool(ExitData);
  }
  return Status;
}

EFI_STATUS RunDriverFile(const char *Name) {
  EFI_HANDLE Image = nullptr;
  EFI_STATUS Status = LoadDriverFile(Name, &Image);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  return StartDriver(Name, Image);
}

bool ImageContains(EFI_HANDLE Image, const VOID *Address) {
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = LoadedImageOf(Image);
  if (Loaded == nullptr) {
    return false;
  }
  UINTN Base = (UINTN)Loaded->ImageBase;
  return (UINTN)Address >= Base && (UINTN)Address < Base + Loaded->ImageSize;
}

bool CodeIsLoaded(const VOID *Address) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  if (EFI_ERROR(DriverBootServices->LocateHandleBuffer(ByProtocol, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                       nullptr, &Count, &Handles))) {
    return false;
  }
  bool Found = false;
  for (UINTN Index = 0; Index < Count && !Found; Index++) {
    Found = ImageContains(Handles[Index], Address);
  }
  DriverBootServices->FreePool(Handles);
  return Found;
}
