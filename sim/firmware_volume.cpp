#include "firmware_volume.h"

#include "board.h"
#include "device_path_nodes.h"
#include "fingerprint_module.h"
#include "guids.h"
#include "variable_store.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

EFI_STATUS EFIAPI ReadSectionMember(EFI_FIRMWARE_VOLUME_PROTOCOL *This, const EFI_GUID *NameGuid,
                                    EFI_SECTION_TYPE SectionType, UINTN SectionInstance,
                                    VOID **Buffer, UINTN *BufferSize,
                                    UINT32 *AuthenticationStatus) {
  return Board::Current().Volume.ReadSection(This, NameGuid, SectionType, SectionInstance, Buffer,
                                             BufferSize, AuthenticationStatus);
}

template <int Member> EFI_STATUS EFIAPI UnusedMember();

// A member the board does not offer, cast to the member's type (the call lands in UnusedMember).
template <typename T, int Member> T Unused() {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(UnusedMember<Member>));
}

template <int Member> EFI_STATUS EFIAPI UnusedMember() {
  static const char *const Names[] = {"GetVolumeAttributes", "SetVolumeAttributes", "ReadFile",
                                      "WriteFile", "GetNextFile"};
  Board::Current().Problem(std::string("firmware volume ") + Names[Member] +
                           " called: the board's volume serves ReadSection only");
  return EFI_UNSUPPORTED;
}

bool IsModuleSection(const FirmwareFileSection &Section) {
  return Section.Type == EFI_SECTION_FREEFORM_SUBTYPE_GUID &&
         Section.Data.size() >= sizeof(EFI_GUID) &&
         std::memcmp(Section.Data.data(), &FINGERPRINT_MODULE_SECTION_GUID, sizeof(EFI_GUID)) == 0;
}

} // namespace

std::vector<uint8_t> FreeformData(const EFI_GUID &Subtype, const std::vector<uint8_t> &Payload) {
  std::vector<uint8_t> Data(sizeof(EFI_GUID));
  std::memcpy(Data.data(), &Subtype, sizeof(EFI_GUID));
  Data.insert(Data.end(), Payload.begin(), Payload.end());
  return Data;
}

void ApplyEdits(FirmwareFile &File, const FirmwareFileEdits &Edits) {
  auto Module = std::find_if(File.Sections.begin(), File.Sections.end(), IsModuleSection);
  if (Module != File.Sections.end()) {
    if (Edits.ReplaceModule) {
      Module->Data.resize(sizeof(EFI_GUID));
      Module->Data.insert(Module->Data.end(), Edits.ReplaceModule->begin(),
                          Edits.ReplaceModule->end());
    }
    if (Edits.TruncateModuleSection && *Edits.TruncateModuleSection < Module->Data.size()) {
      Module->Data.resize(*Edits.TruncateModuleSection);
    }
    if (Edits.DropModuleSection) {
      Module = File.Sections.erase(Module);
    }
  }
  std::vector<FirmwareFileSection> Extra;
  for (const std::vector<uint8_t> &Data : Edits.FreeformBefore) {
    FirmwareFileSection Section;
    Section.Type = EFI_SECTION_FREEFORM_SUBTYPE_GUID;
    Section.Data = Data;
    Extra.push_back(std::move(Section));
  }
  File.Sections.insert(Module, Extra.begin(), Extra.end());
}

std::optional<std::vector<uint8_t>> ModuleImageOf(const FirmwareFile &File) {
  for (const FirmwareFileSection &Section : File.Sections) {
    if (IsModuleSection(Section)) {
      return std::vector<uint8_t>(Section.Data.begin() + sizeof(EFI_GUID), Section.Data.end());
    }
  }
  return std::nullopt;
}

std::vector<uint8_t> FirmwareFileNodePath(const EFI_GUID &FileName) {
  std::vector<uint8_t> Path = {MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_FILE_DP,
                               (uint8_t)sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH), 0};
  Path.resize(sizeof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH));
  std::memcpy(Path.data() + offsetof(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH, FvFileName), &FileName,
              sizeof(EFI_GUID));
  std::vector<uint8_t> End = EndNode();
  Path.insert(Path.end(), End.begin(), End.end());
  return Path;
}

// ---- the volume -------------------------------------------------------------------------------
FirmwareVolume::FirmwareVolume(Board &Owner) : Owner(Owner) {
  Interface.GetVolumeAttributes = Unused<FRAMEWORK_EFI_FV_GET_ATTRIBUTES, 0>();
  Interface.SetVolumeAttributes = Unused<FRAMEWORK_EFI_FV_SET_ATTRIBUTES, 1>();
  Interface.ReadFile = Unused<FRAMEWORK_EFI_FV_READ_FILE, 2>();
  Interface.ReadSection = ReadSectionMember;
  Interface.WriteFile = UnusedMember<3>;
  Interface.GetNextFile = UnusedMember<4>;
  Interface.KeySize = 16;
  Interface.ParentHandle = nullptr;

  VolumePath = {MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_VOL_DP, (uint8_t)sizeof(MEDIA_FW_VOL_DEVICE_PATH),
                0};
  VolumePath.resize(sizeof(MEDIA_FW_VOL_DEVICE_PATH));
  std::memcpy(VolumePath.data() + offsetof(MEDIA_FW_VOL_DEVICE_PATH, FvName), &kVolumeName,
              sizeof(EFI_GUID));
  std::vector<uint8_t> End = EndNode();
  VolumePath.insert(VolumePath.end(), End.begin(), End.end());
}

void FirmwareVolume::Install() {
  if (VolumeHandle != nullptr &&
      Owner.Protocol(VolumeHandle, EFI_FIRMWARE_VOLUME_PROTOCOL_GUID) == &Interface) {
    return; // already on the board in this boot
  }
  ReadLog.clear();
  VolumeHandle = Owner.NewHandle("firmware volume");
  Owner.Install(&VolumeHandle, EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, &Interface);
  Owner.Install(&VolumeHandle, EFI_DEVICE_PATH_PROTOCOL_GUID, VolumePath.data());
}

void FirmwareVolume::AddFile(FirmwareFile NewFile) {
  for (FirmwareFile &Existing : FileList) {
    if (SameGuid(Existing.Name, NewFile.Name)) {
      Existing = std::move(NewFile);
      return;
    }
  }
  FileList.push_back(std::move(NewFile));
}

const FirmwareFile *FirmwareVolume::File(const EFI_GUID &Name) const {
  for (const FirmwareFile &Candidate : FileList) {
    if (SameGuid(Candidate.Name, Name)) {
      return &Candidate;
    }
  }
  return nullptr;
}

EFI_STATUS FirmwareVolume::ReadSection(EFI_FIRMWARE_VOLUME_PROTOCOL *This, const EFI_GUID *NameGuid,
                                       EFI_SECTION_TYPE SectionType, UINTN SectionInstance,
                                       VOID **Buffer, UINTN *BufferSize,
                                       UINT32 *AuthenticationStatus) {
  if (This != &Interface) {
    Owner.Problem("firmware volume ReadSection called with a foreign This pointer");
  }
  SectionReadRecord Record;
  Record.Type = SectionType;
  Record.Instance = SectionInstance;
  auto Done = [&](EFI_STATUS Status) {
    Record.Status = Status;
    ReadLog.push_back(Record);
    return Status;
  };
  if (NameGuid == nullptr || Buffer == nullptr || BufferSize == nullptr ||
      AuthenticationStatus == nullptr) {
    return Done(EFI_INVALID_PARAMETER);
  }
  Record.File = *NameGuid;
  Record.Allocated = *Buffer == nullptr;
  const FirmwareFile *Found = File(*NameGuid);
  if (Found == nullptr) {
    return Done(EFI_NOT_FOUND);
  }
  const FirmwareFileSection *Section = FindSection(*Found, SectionType, SectionInstance);
  if (Section == nullptr) {
    return Done(EFI_NOT_FOUND);
  }
  const UINTN Size = Section->Data.size();
  EFI_STATUS Status = EFI_SUCCESS;
  if (*Buffer == nullptr) {
    void *Memory = Owner.AllocatePool(Size, EfiBootServicesData);
    if (Memory == nullptr) {
      return Done(EFI_OUT_OF_RESOURCES);
    }
    std::memcpy(Memory, Section->Data.data(), Size);
    *Buffer = Memory;
  } else {
    // The caller's buffer: truncated to its size, with a warning.
    UINTN Copied = std::min<UINTN>(*BufferSize, Size);
    std::memcpy(*Buffer, Section->Data.data(), Copied);
    Status = Copied < Size ? EFI_WARN_BUFFER_TOO_SMALL : EFI_SUCCESS;
  }
  *BufferSize = Size;
  *AuthenticationStatus = 0;
  Record.Buffer = *Buffer;
  Record.Size = Size;
  return Done(Status);
}

// ---- the board's dispatcher -------------------------------------------------------------------
EFI_HANDLE Board::LoadImageFromFirmwareFile(const std::string &Name, std::string &Error,
                                            const FirmwareFileEdits &Edits) {
  FirmwareFile File;
  if (!ReadFirmwareFile(FirmwareFilePath(Name), File, Error)) {
    return nullptr;
  }
  const bool HostsModule = ModuleImageOf(File).has_value();
  ApplyEdits(File, Edits);
  const FirmwareFileSection *Pe32 = FindSection(File, EFI_SECTION_PE32, 0);
  if (Pe32 == nullptr) {
    Error = FirmwareFilePath(Name) + ": no PE32 section";
    return nullptr;
  }
  // The image is the PE32 section. When the .efi beside the file holds the same bytes, load it
  // through its path, so that a crash can be named with the linker map's symbols.
  std::unique_ptr<PeImage> Image;
  if (ReadWholeFile(ImagePath(Name)) == Pe32->Data) {
    Image = LoadPeImage(ImagePath(Name), Error);
  } else {
    Image = LoadPeImage(Pe32->Data, Name, Error);
  }
  if (!Image) {
    return nullptr;
  }
  if (Image->Subsystem != 11) {
    Error = Name + ": not a boot-service driver image (subsystem " +
            std::to_string(Image->Subsystem) + ")";
    return nullptr;
  }
  std::optional<std::vector<uint8_t>> Module = ModuleImageOf(File);
  if (HostsModule) {
    if (Module) {
      FingerprintModule.SetExpectedImage(*Module);
    } else {
      FingerprintModule.ForgetExpectedImage();
    }
    FingerprintModule.DriverLoaded();
  }
  EFI_GUID FileName = File.Name;
  Volume.AddFile(std::move(File));
  return AddLoadedImage(std::move(Image), Volume.Handle(), FirmwareFileNodePath(FileName));
}

RunResult Board::LoadDriverFromFirmwareFile(const std::string &Name,
                                            const FirmwareFileEdits &Edits) {
  std::string Error;
  EFI_HANDLE Handle = LoadImageFromFirmwareFile(Name, Error, Edits);
  if (Handle == nullptr) {
    RunResult Result;
    Result.Name = Name;
    Result.How = Outcome::Crashed;
    Result.Message = Error;
    return Result;
  }
  return StartImage(Handle);
}

} // namespace sim
