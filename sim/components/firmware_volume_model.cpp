#include "firmware_volume_model.h"

#include "board.h"
#include "device_path_nodes.h"
#include "fingerprint_module_interface.h"
#include "guids.h"
#include "service_calls.h"
#include "variable_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {
namespace {

EFI_STATUS EFIAPI ReadSectionMember(EFI_FIRMWARE_VOLUME_PROTOCOL *This, const EFI_GUID *NameGuid,
                                    EFI_SECTION_TYPE SectionType, UINTN SectionInstance,
                                    VOID **Buffer, UINTN *BufferSize,
                                    UINT32 *AuthenticationStatus) {
  return Board::Current().Volume.ReadSection(This, NameGuid, SectionType, SectionInstance, Buffer,
                                             BufferSize, AuthenticationStatus);
}

// What --calls shows of ReadSection: the file, the section type and instance, and the size read.
void DescribeReadSection(ServiceCall &Call, EFI_FIRMWARE_VOLUME_PROTOCOL *,
                         const EFI_GUID *NameGuid, EFI_SECTION_TYPE SectionType,
                         UINTN SectionInstance, VOID **Buffer, UINTN *BufferSize, UINT32 *) {
  if (!Call.Returned) {
    Call.Service = "FirmwareVolume->ReadSection";
    Call.Arguments = {"file " + GuidArgument(NameGuid), "section type " + HexNumber(SectionType),
                      "instance " + std::to_string(SectionInstance),
                      Buffer != nullptr && *Buffer == nullptr ? "a new buffer"
                                                              : "the caller's buffer",
                      SizeArgument(BufferSize)};
  } else if ((Call.Value == EFI_SUCCESS || Call.Value == EFI_WARN_BUFFER_TOO_SMALL) &&
             BufferSize != nullptr) {
    Call.Results.push_back(SizeArgument(BufferSize));
  }
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
         std::memcmp(Section.Data.data(), &module_interface::SectionGuid, sizeof(EFI_GUID)) == 0;
}

// ---- the volume reader -------------------------------------------------------------------------
constexpr size_t FileHeaderSize = sizeof(EFI_FFS_FILE_HEADER);
constexpr size_t FileAlignment = 8;
constexpr size_t BlockMapOffset = offsetof(EFI_FIRMWARE_VOLUME_HEADER, BlockMap);
constexpr size_t DataAlignments[] = {1, 16, 128, 512, 1024, 4 * 1024, 32 * 1024, 64 * 1024};

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llX", (unsigned long long)Value);
  return Text;
}

bool Fail(std::string &Error, const std::string &Text) {
  Error = Text;
  return false;
}

size_t AlignUp(size_t Value, size_t Boundary) {
  return (Value + Boundary - 1) / Boundary * Boundary;
}

uint8_t Sum8(const uint8_t *Bytes, size_t Length) {
  uint8_t Sum = 0;
  for (size_t I = 0; I < Length; I++) {
    Sum = (uint8_t)(Sum + Bytes[I]);
  }
  return Sum;
}

// The first byte in [Begin, End) that is not Erased, or End.
size_t FirstWritten(const std::vector<uint8_t> &Bytes, size_t Begin, size_t End, uint8_t Erased) {
  while (Begin < End && Bytes[Begin] == Erased) {
    Begin++;
  }
  return Begin;
}

bool CheckHeader(const std::vector<uint8_t> &Bytes, const EFI_FIRMWARE_VOLUME_HEADER &Header,
                 std::string &Error) {
  if (Header.Signature != EFI_FVH_SIGNATURE) {
    return Fail(Error, "no \"_FVH\" signature");
  }
  if (!SameGuid(Header.FileSystemGuid, EFI_FIRMWARE_FILE_SYSTEM2_GUID)) {
    return Fail(Error, "file system is not FFS2");
  }
  if (Header.Revision != EFI_FVH_PI_REVISION) {
    return Fail(Error, "header revision " + std::to_string(Header.Revision) + ", expected 2");
  }
  const size_t HeaderLength = Header.HeaderLength;
  if (HeaderLength < BlockMapOffset + 2 * sizeof(EFI_FV_BLOCK_MAP_ENTRY) || HeaderLength % 2 != 0 ||
      HeaderLength > Bytes.size()) {
    return Fail(Error, "header length " + Hex(HeaderLength) + " does not fit the volume");
  }
  uint16_t Sum = 0;
  for (size_t I = 0; I < HeaderLength; I += 2) {
    Sum = (uint16_t)(Sum + (Bytes[I] | (Bytes[I + 1] << 8)));
  }
  if (Sum != 0) {
    return Fail(Error,
                "header checksum " + Hex(Header.Checksum) + " leaves the header sum " + Hex(Sum));
  }
  if (Header.FvLength != Bytes.size()) {
    return Fail(Error, "volume length " + Hex(Header.FvLength) + " but the image has " +
                           Hex(Bytes.size()) + " bytes");
  }
  uint64_t Covered = 0;
  for (size_t At = BlockMapOffset;; At += sizeof(EFI_FV_BLOCK_MAP_ENTRY)) {
    if (At + sizeof(EFI_FV_BLOCK_MAP_ENTRY) > HeaderLength) {
      return Fail(Error, "block map without its {0, 0} end inside the header");
    }
    EFI_FV_BLOCK_MAP_ENTRY Entry;
    std::memcpy(&Entry, Bytes.data() + At, sizeof(Entry));
    if (Entry.NumBlocks == 0 && Entry.Length == 0) {
      break;
    }
    if (Entry.NumBlocks == 0 || Entry.Length == 0) {
      return Fail(Error, "block map entry at " + Hex(At) + " is empty");
    }
    Covered += (uint64_t)Entry.NumBlocks * Entry.Length;
    if (Covered > Header.FvLength) {
      break;
    }
  }
  if (Covered != Header.FvLength) {
    return Fail(Error,
                "block map does not cover exactly the volume length " + Hex(Header.FvLength));
  }
  return true;
}

// The volume's logical view of a file's State: under erase polarity 1 bits are set by clearing
// them. A finished file has DATA_VALID as its highest state bit.
bool Finished(uint8_t State) {
  return (State & EFI_FILE_DATA_VALID) != 0 && State < EFI_FILE_DATA_VALID * 2;
}

} // namespace

bool ParseFirmwareVolume(const std::vector<uint8_t> &Bytes, FirmwareVolumeImage &Volume,
                         std::string &Error) {
  Volume = FirmwareVolumeImage{};
  FirmwareVolumeImage Parsed;
  EFI_FIRMWARE_VOLUME_HEADER Header;
  if (Bytes.size() < sizeof(Header)) {
    return Fail(Error, "shorter than a volume header (" + std::to_string(Bytes.size()) + " bytes)");
  }
  std::memcpy(&Header, Bytes.data(), sizeof(Header));
  if (!CheckHeader(Bytes, Header, Error)) {
    return false;
  }
  const size_t Length = Bytes.size();
  const uint8_t Erased = (Header.Attributes & EFI_FVB2_ERASE_POLARITY) != 0 ? 0xFF : 0x00;
  const size_t VolumeAlignment = (size_t)1 << ((Header.Attributes & EFI_FVB2_ALIGNMENT) >> 16);

  // The extended header, when there is one, sits in the body of a pad file.
  size_t ExtBegin = 0;
  size_t ExtEnd = 0;
  if (Header.ExtHeaderOffset != 0) {
    EFI_FIRMWARE_VOLUME_EXT_HEADER Ext;
    ExtBegin = Header.ExtHeaderOffset;
    if (ExtBegin < Header.HeaderLength || ExtBegin > Length || Length - ExtBegin < sizeof(Ext)) {
      return Fail(Error, "extended header offset " + Hex(ExtBegin) + " outside the volume body");
    }
    std::memcpy(&Ext, Bytes.data() + ExtBegin, sizeof(Ext));
    if (Ext.ExtHeaderSize < sizeof(Ext) || Ext.ExtHeaderSize > Length - ExtBegin) {
      return Fail(Error, "extended header size " + Hex(Ext.ExtHeaderSize) + " does not fit");
    }
    ExtEnd = ExtBegin + Ext.ExtHeaderSize;
    Parsed.Named = true;
    Parsed.Name = Ext.FvName;
  }
  bool ExtInPadFile = false;

  size_t Offset = AlignUp(Header.HeaderLength, FileAlignment);
  Parsed.FreeSpace = Length;
  while (Offset < Length) {
    const std::string Where = "file at " + Hex(Offset) + ": ";
    if (Length - Offset < FileHeaderSize ||
        FirstWritten(Bytes, Offset, Offset + FileHeaderSize, Erased) == Offset + FileHeaderSize) {
      // Free space: everything from here on is erased.
      size_t Written = FirstWritten(Bytes, Offset, Length, Erased);
      if (Written != Length) {
        return Fail(Error, "byte " + Hex(Written) + " in the free space is not erased");
      }
      Parsed.FreeSpace = Offset;
      break;
    }
    EFI_FFS_FILE_HEADER FileHeader;
    std::memcpy(&FileHeader, Bytes.data() + Offset, sizeof(FileHeader));
    if ((FileHeader.Attributes & FFS_ATTRIB_LARGE_FILE) != 0) {
      return Fail(Error, Where + "large-file attribute set: not a file of ours");
    }
    const size_t Size = FileHeader.Size[0] | (FileHeader.Size[1] << 8) | (FileHeader.Size[2] << 16);
    if (Size < FileHeaderSize) {
      return Fail(Error, Where + "size " + Hex(Size) + " smaller than its header");
    }
    if (Size > Length - Offset) {
      return Fail(Error, Where + "size " + Hex(Size) + " runs past the end of the volume");
    }
    const uint8_t State = Erased != 0 ? (uint8_t)~FileHeader.State : FileHeader.State;
    std::vector<uint8_t> FileBytes(Bytes.begin() + (ptrdiff_t)Offset,
                                   Bytes.begin() + (ptrdiff_t)(Offset + Size));
    FileBytes[offsetof(EFI_FFS_FILE_HEADER, State)] = State;
    if (FileHeader.Type == EFI_FV_FILETYPE_FFS_PAD) {
      if ((uint8_t)(Sum8(FileBytes.data(), FileHeaderSize) - FileHeader.FileChecksum - State) !=
          0) {
        return Fail(Error, Where + "pad file header checksum is wrong");
      }
      const bool DataSummed = (FileHeader.Attributes & FFS_ATTRIB_CHECKSUM) != 0;
      if (DataSummed ? (uint8_t)(Sum8(FileBytes.data() + FileHeaderSize, Size - FileHeaderSize) +
                                 FileHeader.FileChecksum) != 0
                     : FileHeader.FileChecksum != FFS_FIXED_CHECKSUM) {
        return Fail(Error, Where + "pad file checksum is wrong");
      }
      if (!Finished(State)) {
        return Fail(Error, Where + "pad file State " + Hex(FileHeader.State) + " is not finished");
      }
      // A pad file's body is erased, except for the extended header it may carry.
      const size_t End = Offset + Size;
      const bool HoldsExt = ExtEnd != 0 && ExtBegin >= Offset + FileHeaderSize && ExtEnd <= End;
      ExtInPadFile = ExtInPadFile || HoldsExt;
      for (size_t At = Offset + FileHeaderSize; At < End; At++) {
        if (Bytes[At] != Erased && !(HoldsExt && At >= ExtBegin && At < ExtEnd)) {
          return Fail(Error, Where + "pad file byte " + Hex(At) + " is not erased");
        }
      }
    } else {
      VolumeFile Entry;
      Entry.Offset = Offset;
      if (!ParseFirmwareFile(FileBytes, Entry.File, Error)) {
        Error = Where + Error;
        return false;
      }
      const size_t DataAlignment =
          DataAlignments[(FileHeader.Attributes & FFS_ATTRIB_DATA_ALIGNMENT) >> 3];
      if ((Offset + FileHeaderSize) % DataAlignment != 0 || DataAlignment > VolumeAlignment) {
        return Fail(Error, Where + "data not on the " + Hex(DataAlignment) +
                               "-byte boundary its attributes ask for");
      }
      for (const VolumeFile &Earlier : Parsed.Files) {
        if (SameGuid(Earlier.File.Name, Entry.File.Name)) {
          return Fail(Error, Where + "same GUID as the file at " + Hex(Earlier.Offset));
        }
      }
      Parsed.Files.push_back(std::move(Entry));
    }
    // The next file starts 8-byte aligned; the bytes in between stay erased.
    const size_t Next = std::min(AlignUp(Offset + Size, FileAlignment), Length);
    size_t Written = FirstWritten(Bytes, Offset + Size, Next, Erased);
    if (Written != Next) {
      return Fail(Error, "byte " + Hex(Written) + " between files is not erased");
    }
    Offset = Next;
  }
  if (ExtEnd != 0 && !ExtInPadFile) {
    return Fail(Error, "extended header at " + Hex(ExtBegin) + " is not inside a pad file");
  }
  Parsed.Attributes = Header.Attributes;
  Parsed.Length = Header.FvLength;
  Volume = std::move(Parsed);
  return true;
}

bool ReadFirmwareVolume(const std::string &Path, FirmwareVolumeImage &Volume, std::string &Error) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    Volume = FirmwareVolumeImage{};
    return Fail(Error, "cannot open " + Path);
  }
  std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(In)),
                             std::istreambuf_iterator<char>());
  if (!ParseFirmwareVolume(Bytes, Volume, Error)) {
    Error = Path + ": " + Error;
    return false;
  }
  return true;
}

std::string FirmwareVolumePath() {
  return Board::ImageDirectory() + "/NotebookDrivers.fv";
}

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
  Interface.ReadSection = OffImageStack<Recorded<ReadSectionMember, DescribeReadSection>>;
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
    Result.How = Outcome::NotLoaded;
    Result.Message = Error;
    return Result;
  }
  return StartImage(Handle);
}

} // namespace sim
