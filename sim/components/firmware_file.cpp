#include "firmware_file.h"

#include "board.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {
namespace {

constexpr size_t FileHeaderSize = sizeof(EFI_FFS_FILE_HEADER);
constexpr size_t SectionHeaderSize = sizeof(EFI_COMMON_SECTION_HEADER);
constexpr size_t ExtendedSectionHeaderSize = SectionHeaderSize + 4;
constexpr uint32_t ExtendedSizeMarker = 0xFFFFFF;

uint32_t Read24(const UINT8 Size[3]) {
  return Size[0] | (Size[1] << 8) | (Size[2] << 16);
}

uint8_t Sum8(const uint8_t *Bytes, size_t Length) {
  uint8_t Sum = 0;
  for (size_t I = 0; I < Length; I++) {
    Sum = (uint8_t)(Sum + Bytes[I]);
  }
  return Sum;
}

std::string Hex(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llX", (unsigned long long)Value);
  return Text;
}

bool Fail(std::string &Error, const std::string &Text) {
  Error = Text;
  return false;
}

bool ParseSections(const std::vector<uint8_t> &Bytes, std::vector<FirmwareFileSection> &Sections,
                   std::string &Error) {
  size_t Offset = FileHeaderSize;
  size_t End = Offset;
  while (Offset < Bytes.size()) {
    if (Bytes.size() - Offset < SectionHeaderSize) {
      return Fail(Error, "bytes after the last section at " + Hex(Offset));
    }
    EFI_COMMON_SECTION_HEADER Header;
    std::memcpy(&Header, Bytes.data() + Offset, sizeof(Header));
    size_t HeaderSize = SectionHeaderSize;
    size_t Size = Read24(Header.Size);
    if (Size == ExtendedSizeMarker) {
      if (Bytes.size() - Offset < ExtendedSectionHeaderSize) {
        return Fail(Error, "extended section header at " + Hex(Offset) + " is cut off");
      }
      uint32_t ExtendedSize;
      std::memcpy(&ExtendedSize, Bytes.data() + Offset + SectionHeaderSize, sizeof(ExtendedSize));
      HeaderSize = ExtendedSectionHeaderSize;
      Size = ExtendedSize;
    }
    if (Size < HeaderSize) {
      return Fail(Error, "section at " + Hex(Offset) + " has size " + Hex(Size) +
                             ", smaller than its header");
    }
    if (Size > Bytes.size() - Offset) {
      return Fail(Error, "section at " + Hex(Offset) + " of size " + Hex(Size) +
                             " runs past the end of the file");
    }
    FirmwareFileSection Section;
    Section.Type = Header.Type;
    Section.Offset = Offset;
    Section.Data.assign(Bytes.begin() + (ptrdiff_t)(Offset + HeaderSize),
                        Bytes.begin() + (ptrdiff_t)(Offset + Size));
    Sections.push_back(std::move(Section));
    End = Offset + Size;
    Offset = (End + 3) & ~(size_t)3; // the next section starts 4-byte aligned in the file
  }
  if (End != Bytes.size()) {
    return Fail(Error, "padding after the last section (ends at " + Hex(End) + ", file at " +
                           Hex(Bytes.size()) + ")");
  }
  return true;
}

} // namespace

bool ParseFirmwareFile(const std::vector<uint8_t> &Bytes, FirmwareFile &File, std::string &Error) {
  File = FirmwareFile{};
  if (Bytes.size() < FileHeaderSize) {
    return Fail(Error,
                "shorter than a firmware file header (" + std::to_string(Bytes.size()) + " bytes)");
  }
  EFI_FFS_FILE_HEADER Header;
  std::memcpy(&Header, Bytes.data(), sizeof(Header));
  if ((Header.Attributes & FFS_ATTRIB_LARGE_FILE) != 0) {
    return Fail(Error, "large-file (or tail) attribute set: not a file of ours");
  }
  size_t Size = Read24(Header.Size);
  if (Size != Bytes.size()) {
    return Fail(Error,
                "size field " + Hex(Size) + " but the file has " + Hex(Bytes.size()) + " bytes");
  }
  uint8_t HeaderSum =
      (uint8_t)(Sum8(Bytes.data(), FileHeaderSize) - Header.FileChecksum - Header.State);
  if (HeaderSum != 0) {
    return Fail(Error, "header checksum " + Hex(Header.HeaderChecksum) + " leaves the header sum " +
                           Hex(HeaderSum));
  }
  if ((Header.Attributes & FFS_ATTRIB_CHECKSUM) != 0) {
    uint8_t DataSum =
        (uint8_t)(Sum8(Bytes.data() + FileHeaderSize, Size - FileHeaderSize) + Header.FileChecksum);
    if (DataSum != 0) {
      return Fail(Error, "file checksum " + Hex(Header.FileChecksum) + " leaves the data sum " +
                             Hex(DataSum));
    }
  } else if (Header.FileChecksum != FFS_FIXED_CHECKSUM) {
    return Fail(Error, "no checksum attribute, but the file checksum is " +
                           Hex(Header.FileChecksum) + " instead of 0xAA");
  }
  // The meaningful state is the highest bit set: a finished file has DATA_VALID and nothing
  // above it (an erased volume would store it inverted; a file on its own is not).
  if ((Header.State & EFI_FILE_DATA_VALID) == 0 || Header.State >= EFI_FILE_DATA_VALID * 2) {
    return Fail(Error, "State " + Hex(Header.State) + " is not a finished file");
  }
  File.Name = Header.Name;
  File.Type = Header.Type;
  File.Attributes = Header.Attributes;
  File.State = Header.State;
  if (!ParseSections(Bytes, File.Sections, Error)) {
    File.Sections.clear();
    return false;
  }
  return true;
}

bool ReadFirmwareFile(const std::string &Path, FirmwareFile &File, std::string &Error) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    File = FirmwareFile{};
    return Fail(Error, "cannot open " + Path);
  }
  std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(In)),
                             std::istreambuf_iterator<char>());
  if (!ParseFirmwareFile(Bytes, File, Error)) {
    Error = Path + ": " + Error;
    return false;
  }
  return true;
}

std::vector<const FirmwareFileSection *> SectionsOfType(const FirmwareFile &File, uint8_t Type) {
  std::vector<const FirmwareFileSection *> Found;
  for (const FirmwareFileSection &Section : File.Sections) {
    if (Type == EFI_SECTION_ALL || Section.Type == Type) {
      Found.push_back(&Section);
    }
  }
  return Found;
}

const FirmwareFileSection *FindSection(const FirmwareFile &File, uint8_t Type, size_t Instance) {
  std::vector<const FirmwareFileSection *> Found = SectionsOfType(File, Type);
  return Instance < Found.size() ? Found[Instance] : nullptr;
}

std::string FirmwareFilePath(const std::string &Name) {
  return Board::ImageDirectory() + "/" + Name + ".ffs";
}

} // namespace sim
