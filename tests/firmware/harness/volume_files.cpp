#include "volume_files.h"

#include "driver_globals.h"
#include "driver_images.h"
#include "harness_interfaces.h"
#include "memory.h"
#include "result_lines.h"

namespace {

// Large enough for any firmware file of ours (the largest is a few tens of KiB).
constexpr UINTN MaxFileSize = 0x100000;

EFI_STATUS ReadWhole(const CHAR16 *Name, UINT8 **Data, UINTN *Size) {
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem = nullptr;
  EFI_STATUS Status = DriverBootServices->HandleProtocol(
      HarnessVolume(), &EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, (VOID **)&FileSystem);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_FILE_PROTOCOL *Root = nullptr;
  Status = FileSystem->OpenVolume(FileSystem, &Root);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_FILE_PROTOCOL *File = nullptr;
  Status = Root->Open(Root, &File, Name, EFI_FILE_MODE_READ, 0);
  Root->Close(Root);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINT8 *Buffer = (UINT8 *)AllocateBootPool(MaxFileSize);
  if (Buffer == nullptr) {
    File->Close(File);
    return EFI_OUT_OF_RESOURCES;
  }
  UINTN Used = 0;
  for (;;) {
    UINTN Chunk = MaxFileSize - Used;
    Status = File->Read(File, &Chunk, Buffer + Used);
    if (EFI_ERROR(Status) || Chunk == 0) {
      break;
    }
    Used += Chunk;
    if (Used == MaxFileSize) {
      Status = EFI_BUFFER_TOO_SMALL;
      break;
    }
  }
  File->Close(File);
  if (EFI_ERROR(Status)) {
    DriverBootServices->FreePool(Buffer);
    return Status;
  }
  *Data = Buffer;
  *Size = Used;
  return EFI_SUCCESS;
}

} // namespace

EFI_STATUS ReadVolumeFile(const CHAR16 *Name, UINT8 **Data, UINTN *Size) {
  *Data = nullptr;
  *Size = 0;
  EFI_STATUS Status = ReadWhole(Name, Data, Size);
  ResultLine("file").Key("name").Wide(Name).Status(Status).Key("size").Dec(*Size).Emit();
  return Status;
}
