#include "firmware_file.h"

#include "device_path_nodes.h"
#include "driver_globals.h"
#include "driver_images.h"
#include "firmware_volume.h"
#include "guids.h"
#include "harness_interfaces.h"
#include "memory.h"
#include "result_lines.h"

namespace {

// Status values of a damaged file, as the UEFI standard numbers them.
constexpr EFI_STATUS EFI_VOLUME_CORRUPTED = EfiErrorCode(10);
constexpr EFI_STATUS EFI_CRC_ERROR = EfiErrorCode(27);

constexpr UINTN FileHeaderSize = 24;
constexpr UINTN SectionHeaderSize = 4;
constexpr UINT8 FileStateBuilt = 0x07;

// The volume's own name in its device path.
constexpr EFI_GUID VolumeName = {
    0x3D1E6E0B, 0x8F45, 0x4C2A, {0xB7, 0x19, 0x5E, 0x60, 0x2A, 0x91, 0xC4, 0x0D}};

FirmwareFile Served;
EFI_HANDLE VolumeHandle = nullptr;
EFI_FIRMWARE_VOLUME_PROTOCOL FrameworkVolume;
EFI_FIRMWARE_VOLUME2_PROTOCOL PiVolume;

#pragma pack(push, 1)
struct VolumePath {
  MEDIA_FW_VOL_DEVICE_PATH Volume;
  EFI_DEVICE_PATH_PROTOCOL End;
};
struct FilePath {
  MEDIA_FW_VOL_DEVICE_PATH Volume;
  MEDIA_FW_VOL_FILEPATH_DEVICE_PATH File;
  EFI_DEVICE_PATH_PROTOCOL End;
};
#pragma pack(pop)
VolumePath VolumeDevicePath;

UINTN Read24(const UINT8 *Bytes) {
  return Bytes[0] | (Bytes[1] << 8) | (Bytes[2] << 16);
}

VOID SetNode(EFI_DEVICE_PATH_PROTOCOL &Node, UINT8 Type, UINT8 SubType, UINTN Length) {
  Node.Type = Type;
  Node.SubType = SubType;
  Node.Length[0] = (UINT8)Length;
  Node.Length[1] = (UINT8)(Length >> 8);
}

EFI_STATUS EFIAPI FrameworkReadSection(EFI_FIRMWARE_VOLUME_PROTOCOL *, const EFI_GUID *NameGuid,
                                       EFI_SECTION_TYPE SectionType, UINTN SectionInstance,
                                       VOID **Buffer, UINTN *BufferSize,
                                       UINT32 *AuthenticationStatus) {
  EFI_STATUS Status;
  const UINT8 *Data = nullptr;
  UINTN Length = 0;
  if (NameGuid == nullptr || Buffer == nullptr || BufferSize == nullptr ||
      AuthenticationStatus == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (CompareBytes(NameGuid, &Served.Name, sizeof(EFI_GUID)) != 0 ||
             !FindSection(Served, SectionType, SectionInstance, &Data, &Length)) {
    Status = EFI_NOT_FOUND;
  } else if (*Buffer == nullptr) {
    Status = DriverBootServices->AllocatePool(EfiBootServicesData, Length, Buffer);
    if (!EFI_ERROR(Status)) {
      CopyBytes(*Buffer, Data, Length);
      *BufferSize = Length;
      *AuthenticationStatus = 0;
    }
  } else {
    // A caller's buffer: filled as far as it goes, the full size reported.
    UINTN Copied = *BufferSize < Length ? *BufferSize : Length;
    CopyBytes(*Buffer, Data, Copied);
    Status = Copied < Length ? EFI_WARN_BUFFER_TOO_SMALL : EFI_SUCCESS;
    *BufferSize = Length;
    *AuthenticationStatus = 0;
  }
  ResultLine Line("fv");
  Line.Key("op").Text("readsection").Key("file");
  if (NameGuid != nullptr) {
    Line.Guid(*NameGuid);
  } else {
    Line.Text("null");
  }
  Line.Key("type").Hex(SectionType).Key("instance").Dec(SectionInstance).Status(Status);
  Line.Key("size").Dec(Length).Emit();
  return Status;
}

EFI_STATUS EFIAPI FrameworkUnsupported() {
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI PiNoFile() {
  return EFI_NOT_FOUND;
}
EFI_STATUS EFIAPI PiUnsupported() {
  return EFI_UNSUPPORTED;
}

} // namespace

EFI_STATUS ParseFirmwareFile(const UINT8 *Data, UINTN Size, FirmwareFile *File) {
  EFI_STATUS Status = EFI_SUCCESS;
  UINTN Sections = 0;
  UINTN FileSize = Size >= FileHeaderSize ? Read24(Data + 20) : 0;
  if (Size < FileHeaderSize || FileSize != Size || Data[23] != FileStateBuilt) {
    Status = EFI_VOLUME_CORRUPTED;
  } else {
    UINT8 HeaderSum = 0;
    for (UINTN Index = 0; Index < FileHeaderSize; Index++) {
      // The file checksum and the state byte count as zero in the header checksum.
      HeaderSum += (Index == 17 || Index == 23) ? 0 : Data[Index];
    }
    UINT8 BodySum = Data[17];
    for (UINTN Index = FileHeaderSize; Index < Size; Index++) {
      BodySum += Data[Index];
    }
    if (HeaderSum != 0 || BodySum != 0) {
      Status = EFI_CRC_ERROR;
    }
  }
  if (!EFI_ERROR(Status)) {
    // Sections back to back at 4-byte aligned offsets, each inside the file.
    for (UINTN At = FileHeaderSize; At < Size;) {
      UINTN Length = Size - At >= SectionHeaderSize ? Read24(Data + At) : 0;
      if (Length < SectionHeaderSize || Length > Size - At) {
        Status = EFI_VOLUME_CORRUPTED;
        break;
      }
      Sections++;
      At += (Length + 3) & ~(UINTN)3;
    }
  }
  File->Data = Data;
  File->Size = Size;
  CopyBytes(&File->Name, Data, sizeof(EFI_GUID));
  ResultLine Line("ffs");
  Line.Key("name").Guid(File->Name).Key("type").Hex(Size >= FileHeaderSize ? Data[18] : 0);
  Line.Key("size").Dec(Size).Key("sections").Dec(Sections).Status(Status).Emit();
  return Status;
}

bool FindSection(const FirmwareFile &File, UINT8 Type, UINTN Instance, const UINT8 **Data,
                 UINTN *Length) {
  for (UINTN At = FileHeaderSize; At + SectionHeaderSize <= File.Size;) {
    UINTN SectionLength = Read24(File.Data + At);
    if (SectionLength < SectionHeaderSize || SectionLength > File.Size - At) {
      return false;
    }
    if (File.Data[At + 3] == Type) {
      if (Instance == 0) {
        *Data = File.Data + At + SectionHeaderSize;
        *Length = SectionLength - SectionHeaderSize;
        return true;
      }
      Instance--;
    }
    At += (SectionLength + 3) & ~(UINTN)3;
  }
  return false;
}

EFI_STATUS InstallFirmwareVolume(const FirmwareFile &File) {
  Served = File;
  SetNode(VolumeDevicePath.Volume.Header, MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_VOL_DP,
          sizeof(MEDIA_FW_VOL_DEVICE_PATH));
  VolumeDevicePath.Volume.FvName = VolumeName;
  SetNode(VolumeDevicePath.End, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4);

  FrameworkVolume.GetVolumeAttributes = (FRAMEWORK_EFI_FV_GET_ATTRIBUTES)FrameworkUnsupported;
  FrameworkVolume.SetVolumeAttributes = (FRAMEWORK_EFI_FV_SET_ATTRIBUTES)FrameworkUnsupported;
  FrameworkVolume.ReadFile = (FRAMEWORK_EFI_FV_READ_FILE)FrameworkUnsupported;
  FrameworkVolume.ReadSection = FrameworkReadSection;
  FrameworkVolume.WriteFile = FrameworkUnsupported;
  FrameworkVolume.GetNextFile = FrameworkUnsupported;
  FrameworkVolume.KeySize = 0;
  FrameworkVolume.ParentHandle = nullptr;

  PiVolume.GetVolumeAttributes = PiUnsupported;
  PiVolume.SetVolumeAttributes = PiUnsupported;
  PiVolume.ReadFile = (EFI_FV2_READ_FILE)PiNoFile;
  PiVolume.ReadSection = (EFI_FV2_READ_SECTION)PiNoFile;
  PiVolume.WriteFile = PiUnsupported;
  PiVolume.GetNextFile = PiNoFile;
  PiVolume.KeySize = 0;
  PiVolume.ParentHandle = nullptr;
  PiVolume.GetInfo = PiUnsupported;
  PiVolume.SetInfo = PiUnsupported;

  VolumeHandle = nullptr;
  EFI_STATUS Status = DriverBootServices->InstallMultipleProtocolInterfaces(
      &VolumeHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &VolumeDevicePath,
      &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, &FrameworkVolume, &EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID,
      &PiVolume, nullptr);
  ResultLine("install").Key("protocol").Text("firmware-volume").Status(Status).Emit();
  return Status;
}

EFI_HANDLE FirmwareVolumeHandle() {
  return VolumeHandle;
}

VOID UninstallFirmwareVolume() {
  if (VolumeHandle != nullptr) {
    DriverBootServices->UninstallMultipleProtocolInterfaces(
        VolumeHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &VolumeDevicePath,
        &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, &FrameworkVolume, &EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID,
        &PiVolume, nullptr);
    VolumeHandle = nullptr;
  }
}

EFI_STATUS LoadFromFirmwareFile(const char *Label, EFI_HANDLE *Image) {
  const UINT8 *Pe32 = nullptr;
  UINTN Pe32Length = 0;
  if (!FindSection(Served, EFI_SECTION_PE32, 0, &Pe32, &Pe32Length)) {
    ResultLine("load").Key("image").Text(Label).Status(EFI_NOT_FOUND).Emit();
    return EFI_NOT_FOUND;
  }
  FilePath Path;
  Path.Volume = VolumeDevicePath.Volume;
  SetNode(Path.File.Header, MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_FILE_DP,
          sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH));
  Path.File.FvFileName = Served.Name;
  SetNode(Path.End, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4);
  // LoadImage copies what it needs from the buffer; the section stays in the harness's copy.
  return LoadImageReport(Label, (const EFI_DEVICE_PATH_PROTOCOL *)&Path, (VOID *)Pe32, Pe32Length,
                         Image);
}
