// The firmware volume the board's DXE dispatcher loads driver images from: the Framework
// EFI_FIRMWARE_VOLUME_PROTOCOL on a volume handle, holding our firmware files (.ffs) and
// serving their sections with ReadSection, by section type and 0-based instance.
//
// The reader of a whole volume image (NotebookDrivers.fv as the firmware build writes it) checks
// it the way a PI volume driver does before it trusts a byte of it.
//
// An image loaded from a firmware file gets what the dispatcher gives it: its loaded-image
// DeviceHandle is the volume handle and its FilePath is the firmware-file node (04 06, the file
// GUID) and an end node. Tests can edit the file before it goes into the volume (extra freeform
// sections before the fingerprint module's section, no module section, a truncated one).
#pragma once

#include "firmware_file.h"
#include "firmware_volume.h" // the published protocol

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Board;

// ---- published layout (natural alignment) ------------------------------------------------------
struct EFI_FV_BLOCK_MAP_ENTRY {
  UINT32 NumBlocks;
  UINT32 Length;
};
struct EFI_FIRMWARE_VOLUME_HEADER {
  UINT8 ZeroVector[16];
  EFI_GUID FileSystemGuid;
  UINT64 FvLength;
  UINT32 Signature;
  UINT32 Attributes;
  UINT16 HeaderLength;
  UINT16 Checksum;
  UINT16 ExtHeaderOffset;
  UINT8 Reserved[1];
  UINT8 Revision;
  EFI_FV_BLOCK_MAP_ENTRY BlockMap[1]; // runs up to a {0, 0} entry
};
struct EFI_FIRMWARE_VOLUME_EXT_HEADER {
  EFI_GUID FvName;
  UINT32 ExtHeaderSize;
};
static_assert(sizeof(EFI_FV_BLOCK_MAP_ENTRY) == 8);
static_assert(sizeof(EFI_FIRMWARE_VOLUME_HEADER) == 64);
static_assert(offsetof(EFI_FIRMWARE_VOLUME_HEADER, FileSystemGuid) == 16 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength) == 32 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature) == 40 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, Attributes) == 44 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength) == 48 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, Checksum) == 50 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, ExtHeaderOffset) == 52 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, Revision) == 55 &&
              offsetof(EFI_FIRMWARE_VOLUME_HEADER, BlockMap) == 56);
static_assert(sizeof(EFI_FIRMWARE_VOLUME_EXT_HEADER) == 20 &&
              offsetof(EFI_FIRMWARE_VOLUME_EXT_HEADER, ExtHeaderSize) == 16);

inline constexpr EFI_GUID EFI_FIRMWARE_FILE_SYSTEM2_GUID = {
    0x8C8CE578, 0x8A3D, 0x4F1C, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};
inline constexpr UINT32 EFI_FVH_SIGNATURE = 0x4856465F; // "_FVH"
inline constexpr UINT8 EFI_FVH_PI_REVISION = 2;
inline constexpr UINT32 EFI_FVB2_ERASE_POLARITY = 0x00000800;
inline constexpr UINT32 EFI_FVB2_ALIGNMENT = 0x001F0000;
inline constexpr uint8_t EFI_FV_FILETYPE_FFS_PAD = 0xF0;
// FFS_ATTRIB_DATA_ALIGNMENT: bits 3..5 of a file's attributes, the boundary its data (after the
// header) starts on within the volume.
inline constexpr uint8_t FFS_ATTRIB_DATA_ALIGNMENT = 0x38;

// ---- the volume reader -------------------------------------------------------------------------
struct VolumeFile {
  size_t Offset = 0; // of the file header within the volume
  FirmwareFile File; // State as read through the erase polarity (0x07 for a finished file)
};

struct FirmwareVolumeImage {
  UINT32 Attributes = 0;
  UINT64 Length = 0;
  bool Named = false; // an extended header gives the volume a name
  EFI_GUID Name{};
  std::vector<VolumeFile> Files; // in volume order; pad files left out
  size_t FreeSpace = 0;          // offset where the erased rest of the volume begins
};

// Parses a volume image: the FFS2 header (signature, revision 2, checksum, FvLength equal to the
// bytes, a block map that covers exactly FvLength, an extended header inside the volume), and
// the files from the end of the header on, each at an 8-byte-aligned offset, inside the volume,
// finished (State read through the erase polarity), with its data on the boundary its attributes
// ask for and checked as ParseFirmwareFile checks a file; pad files whose body is erased except
// for the extended header; one file per GUID; erased bytes between files and after the last.
// Returns false with a message in Error.
bool ParseFirmwareVolume(const std::vector<uint8_t> &Bytes, FirmwareVolumeImage &Volume,
                         std::string &Error);
bool ReadFirmwareVolume(const std::string &Path, FirmwareVolumeImage &Volume, std::string &Error);
// <image directory>/NotebookDrivers.fv: the volume of all drivers the firmware build writes.
std::string FirmwareVolumePath();

// Changes to a firmware file before it goes into the volume. "The module section" is the first
// freeform subtype-GUID section whose data starts with the module's section GUID.
struct FirmwareFileEdits {
  // Freeform subtype-GUID sections (their data: subtype GUID and payload, see FreeformData)
  // inserted right before the module section, or at the end when the file has none.
  std::vector<std::vector<uint8_t>> FreeformBefore;
  bool DropModuleSection = false;
  // The module section's data cut to this many bytes (the 16-byte GUID counted).
  std::optional<size_t> TruncateModuleSection;
  // The module bytes after the GUID replaced (a module of another length, for example).
  std::optional<std::vector<uint8_t>> ReplaceModule;
};

// The data of a freeform subtype-GUID section: the subtype GUID, then the payload.
std::vector<uint8_t> FreeformData(const EFI_GUID &Subtype, const std::vector<uint8_t> &Payload);
void ApplyEdits(FirmwareFile &File, const FirmwareFileEdits &Edits);
// The module image a file carries (the module section's data after its GUID), if any.
std::optional<std::vector<uint8_t>> ModuleImageOf(const FirmwareFile &File);
// The device path an image loaded from a firmware file has as FilePath.
std::vector<uint8_t> FirmwareFileNodePath(const EFI_GUID &FileName);

struct SectionReadRecord {
  EFI_GUID File{};
  uint8_t Type = 0;
  UINTN Instance = 0;
  bool Allocated = false; // *Buffer was NULL: the volume allocated the buffer from pool
  const void *Buffer = nullptr;
  UINTN Size = 0;
  EFI_STATUS Status = EFI_SUCCESS;
};

class FirmwareVolume {
public:
  // The name NotebookDrivers.fv carries in its extended header.
  static constexpr EFI_GUID kVolumeName = {
      0x5C1C8F2E, 0x7A3B, 0x4E51, {0x9D, 0x60, 0x2B, 0x8E, 0x41, 0x73, 0xC6, 0x0A}};

  explicit FirmwareVolume(Board &Owner);
  FirmwareVolume(const FirmwareVolume &) = delete;
  FirmwareVolume &operator=(const FirmwareVolume &) = delete;

  // Publishes the volume on a new handle (power-on and every reboot) and forgets the reads of
  // the previous boot. The files stay: they are in flash. Does nothing while the volume is
  // still on the board.
  void Install();
  EFI_HANDLE Handle() const { return VolumeHandle; }
  EFI_FIRMWARE_VOLUME_PROTOCOL *Protocol() { return &Interface; }

  // Puts a file into the volume (a file of the same name is replaced).
  void AddFile(FirmwareFile File);
  const FirmwareFile *File(const EFI_GUID &Name) const;
  const std::vector<FirmwareFile> &Files() const { return FileList; }

  const std::vector<SectionReadRecord> &Reads() const { return ReadLog; }

  EFI_STATUS ReadSection(EFI_FIRMWARE_VOLUME_PROTOCOL *This, const EFI_GUID *NameGuid,
                         EFI_SECTION_TYPE SectionType, UINTN SectionInstance, VOID **Buffer,
                         UINTN *BufferSize, UINT32 *AuthenticationStatus);

private:
  Board &Owner;
  EFI_FIRMWARE_VOLUME_PROTOCOL Interface{};
  EFI_HANDLE VolumeHandle = nullptr;
  std::vector<uint8_t> VolumePath;
  std::vector<FirmwareFile> FileList;
  std::vector<SectionReadRecord> ReadLog;
};

} // namespace sim
