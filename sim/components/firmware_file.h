// Reader of our firmware files (.ffs, one driver each, beside the .efi images): the file header
// and its sections, checked the way a firmware-volume driver checks them, and the sections of a
// type numbered as the Framework firmware volume's ReadSection numbers them.
#pragma once

#include "efi_types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// ---- published layout (pack(1)) ----------------------------------------------------------------
#pragma pack(push, 1)
struct EFI_FFS_FILE_HEADER {
  EFI_GUID Name;
  UINT8 HeaderChecksum; // IntegrityCheck.Checksum.Header
  UINT8 FileChecksum;   // IntegrityCheck.Checksum.File
  UINT8 Type;
  UINT8 Attributes;
  UINT8 Size[3]; // little-endian, header included
  UINT8 State;
};
struct EFI_COMMON_SECTION_HEADER {
  UINT8 Size[3]; // little-endian, header included; 0xFFFFFF: ExtendedSize follows
  UINT8 Type;
};
#pragma pack(pop)
static_assert(sizeof(EFI_FFS_FILE_HEADER) == 24);
static_assert(offsetof(EFI_FFS_FILE_HEADER, HeaderChecksum) == 16 &&
              offsetof(EFI_FFS_FILE_HEADER, FileChecksum) == 17 &&
              offsetof(EFI_FFS_FILE_HEADER, Type) == 18 &&
              offsetof(EFI_FFS_FILE_HEADER, Attributes) == 19 &&
              offsetof(EFI_FFS_FILE_HEADER, Size) == 20 &&
              offsetof(EFI_FFS_FILE_HEADER, State) == 23);
static_assert(sizeof(EFI_COMMON_SECTION_HEADER) == 4 &&
              offsetof(EFI_COMMON_SECTION_HEADER, Type) == 3);

inline constexpr uint8_t EFI_FV_FILETYPE_DRIVER = 0x07;
inline constexpr uint8_t FFS_ATTRIB_LARGE_FILE = 0x01; // TAIL_PRESENT in the pre-PI layout
inline constexpr uint8_t FFS_ATTRIB_CHECKSUM = 0x40;
inline constexpr uint8_t FFS_FIXED_CHECKSUM = 0xAA;
inline constexpr uint8_t EFI_FILE_DATA_VALID = 0x04;
// ReadSection's section type that matches every section.
inline constexpr uint8_t EFI_SECTION_ALL = 0x00;

// ---- the reader --------------------------------------------------------------------------------
struct FirmwareFileSection {
  uint8_t Type = 0;
  size_t Offset = 0; // of the section header within the file
  // What ReadSection hands out: the bytes after the section header (4 bytes, or 8 for a section
  // with an extended size), so a freeform subtype-GUID section's data starts with its GUID.
  std::vector<uint8_t> Data;
};

struct FirmwareFile {
  EFI_GUID Name{};
  uint8_t Type = 0;
  uint8_t Attributes = 0;
  uint8_t State = 0;
  std::vector<FirmwareFileSection> Sections; // in file order
};

// Parses a whole firmware file as our packager writes it: 24-byte header (no large-file or tail
// form), Size equal to the length of Bytes, header checksum (8-bit sum 0 with the file checksum
// and State counted as 0), file checksum (with FFS_ATTRIB_CHECKSUM the body and the file
// checksum sum to 0, else the file checksum is 0xAA), State whose highest set bit is DATA_VALID,
// and sections at 4-byte-aligned offsets up to exactly the end of the file. Sections are leaves:
// encapsulation sections are not opened. Returns false with a message in Error.
bool ParseFirmwareFile(const std::vector<uint8_t> &Bytes, FirmwareFile &File, std::string &Error);
bool ReadFirmwareFile(const std::string &Path, FirmwareFile &File, std::string &Error);

// The sections of one type in file order; element n is ReadSection's instance n.
// EFI_SECTION_ALL gives every section.
std::vector<const FirmwareFileSection *> SectionsOfType(const FirmwareFile &File, uint8_t Type);
// ReadSection's instance (counted from 0) of a type, or null when there is no such instance.
const FirmwareFileSection *FindSection(const FirmwareFile &File, uint8_t Type, size_t Instance);

// <image directory>/<Name>.ffs: the firmware file the firmware build made for an image.
std::string FirmwareFilePath(const std::string &Name);

} // namespace sim
