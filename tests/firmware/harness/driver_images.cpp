#include "driver_images.h"

#include "device_path_nodes.h"
#include "driver_globals.h"
#include "guids.h"
#include "loaded_image.h"
#include "memory.h"
#include "result_lines.h"

namespace {

UINTN NodeLength(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (UINTN)Node->Length[0] | ((UINTN)Node->Length[1] << 8);
}

bool IsEndNode(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return Node->Type == END_DEVICE_PATH_TYPE && Node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

// Bytes of a device path before its end node.
UINTN PathBodyLength(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  const UINT8 *Start = (const UINT8 *)Path;
  const EFI_DEVICE_PATH_PROTOCOL *Node = Path;
  while (!IsEndNode(Node) && NodeLength(Node) >= sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
    Node = (const EFI_DEVICE_PATH_PROTOCOL *)((const UINT8 *)Node + NodeLength(Node));
  }
  return (UINTN)((const UINT8 *)Node - Start);
}

// The volume the harness itself was loaded from.
EFI_HANDLE HarnessVolume() {
  EFI_LOADED_IMAGE_PROTOCOL *Self = nullptr;
  if (EFI_ERROR(DriverBootServices->HandleProtocol(
          DriverImageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, (VOID **)&Self))) {
    return nullptr;
  }
  return Self->DeviceHandle;
}

// <volume path>/\<Name>.efi/End, in pool memory.
EFI_DEVICE_PATH_PROTOCOL *DriverFilePath(const char *Name) {
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

// How the firmware described the image's file: the characters of a file-path node, if the
// loaded image's FilePath is one.
VOID ReportFilePath(ResultLine &Line, const EFI_DEVICE_PATH_PROTOCOL *FilePath) {
  Line.Key("filepath");
  if (FilePath == nullptr) {
    Line.Text("null");
    return;
  }
  if (FilePath->Type != MEDIA_DEVICE_PATH || FilePath->SubType != MEDIA_FILEPATH_DP) {
    Line.Text("node-").Hex(FilePath->Type).Text("-").Hex(FilePath->SubType);
    return;
  }
  const UINT8 *Chars = (const UINT8 *)(FilePath + 1);
  UINTN Count = (NodeLength(FilePath) - sizeof(EFI_DEVICE_PATH_PROTOCOL)) / sizeof(CHAR16);
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

} // namespace

EFI_STATUS LoadDriverFile(const char *Name, EFI_HANDLE *Image) {
  *Image = nullptr;
  EFI_DEVICE_PATH_PROTOCOL *Path = DriverFilePath(Name);
  ResultLine Line("load");
  Line.Key("image").Text(Name);
  if (Path == nullptr) {
    Line.Status(EFI_NOT_FOUND).Key("reason").Text("no-volume-path").Emit();
    return EFI_NOT_FOUND;
  }
  EFI_STATUS Status =
      DriverBootServices->LoadImage(FALSE, DriverImageHandle, Path, nullptr, 0, Image);
  DriverBootServices->FreePool(Path);
  Line.Status(Status);
  if (EFI_ERROR(Status)) {
    Line.Emit();
    return Status;
  }
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  if (EFI_ERROR(DriverBootServices->HandleProtocol(*Image, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                   (VOID **)&Loaded))) {
    Line.Key("loadedimage").Text("missing").Emit();
    return Status;
  }
  Line.Key("base").Hex((UINTN)Loaded->ImageBase);
  Line.Key("size").Hex(Loaded->ImageSize);
  Line.Key("codetype").Dec(Loaded->ImageCodeType);
  Line.Key("datatype").Dec(Loaded->ImageDataType);
  Line.Key("parent").Text(Loaded->ParentHandle == DriverImageHandle ? "harness" : "other");
  Line.Key("systemtable").Text(Loaded->SystemTable == DriverSystemTable ? "same" : "other");
  Line.Key("device").Text(Loaded->DeviceHandle == HarnessVolume() ? "harness-volume" : "other");
  ReportFilePath(Line, Loaded->FilePath);
  Line.Emit();
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
