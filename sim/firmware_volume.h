// The firmware volume the board's DXE dispatcher loads driver images from: the Framework
// EFI_FIRMWARE_VOLUME_PROTOCOL on a volume handle, holding our firmware files (.ffs) and
// serving their sections with ReadSection, by section type and 0-based instance.
//
// An image loaded from a firmware file gets what the dispatcher gives it: its loaded-image
// DeviceHandle is the volume handle and its FilePath is the firmware-file node (04 06, the file
// GUID) and an end node. Tests can edit the file before it goes into the volume (extra freeform
// sections before the fingerprint module's section, no module section, a truncated one).
#pragma once

#include "../platform/firmware_volume.h" // the published protocol (this file shares its name)
#include "firmware_file.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Board;

// Changes to a firmware file before it goes into the volume. "The module section" is the first
// freeform subtype-GUID section whose data starts with FINGERPRINT_MODULE_SECTION_GUID.
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
