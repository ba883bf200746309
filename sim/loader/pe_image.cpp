#include "pe_image.h"

#include "physical_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace sim {
namespace {

// Largest image the board loads (the drivers are a few KiB; the arena holds 256 MiB).
constexpr uint64_t kMaxImageSize = 16u << 20;
constexpr uint32_t kSectionCode = 0x00000020;    // IMAGE_SCN_CNT_CODE
constexpr uint32_t kSectionExecute = 0x20000000; // IMAGE_SCN_MEM_EXECUTE

template <typename T> T Field(const std::vector<uint8_t> &File, size_t Offset) {
  T Value{};
  if (Offset + sizeof(T) <= File.size()) {
    std::memcpy(&Value, File.data() + Offset, sizeof(T));
  }
  return Value;
}

void ReadLinkerMap(PeImage &Image) {
  std::string MapPath = Image.Path;
  if (MapPath.size() > 4 && MapPath.compare(MapPath.size() - 4, 4, ".efi") == 0) {
    MapPath.replace(MapPath.size() - 4, 4, ".map");
  }
  std::ifstream Map(MapPath);
  std::string Line;
  while (std::getline(Map, Line)) {
    std::istringstream Words(Line);
    std::string Section, Name, Address;
    if (!(Words >> Section >> Name >> Address) || Section.find(':') == std::string::npos) {
      continue;
    }
    char *End = nullptr;
    unsigned long long Value = std::strtoull(Address.c_str(), &End, 16);
    if (End == nullptr || *End != '\0' || Value < Image.PreferredBase) {
      continue;
    }
    Image.Symbols.emplace_back((uint32_t)(Value - Image.PreferredBase), Name);
  }
  std::sort(Image.Symbols.begin(), Image.Symbols.end());
}

// <Name>.debug beside <Name>.efi, taken when it is the twin of these very bytes.
void ReadDebugTwin(PeImage &Image) {
  std::string TwinPath = Image.Path;
  if (TwinPath.size() > 4 && TwinPath.compare(TwinPath.size() - 4, 4, ".efi") == 0) {
    TwinPath.replace(TwinPath.size() - 4, 4, ".debug");
  } else {
    return;
  }
  std::vector<uint8_t> Twin = ReadWholeFile(TwinPath);
  PeIdentity OfImage, OfTwin;
  if (Twin.empty() || !ReadPeIdentity(Image.File, OfImage) || !ReadPeIdentity(Twin, OfTwin) ||
      !(OfImage == OfTwin)) {
    return;
  }
  Image.DebugPath = TwinPath;
  Image.Lines.Read(Twin, OfImage.ImageBase);
}

} // namespace

std::vector<uint8_t> ReadWholeFile(const std::string &Path) {
  // A folder opens as a stream on Linux and fails on the first read: it is no file.
  std::error_code Code;
  if (!std::filesystem::is_regular_file(Path, Code)) {
    return {};
  }
  std::ifstream In(Path, std::ios::binary);
  std::vector<uint8_t> Bytes;
  char Block[65536];
  while (In.read(Block, sizeof Block) || In.gcount() > 0) {
    Bytes.insert(Bytes.end(), Block, Block + In.gcount());
  }
  return Bytes;
}

bool PeImage::Contains(const void *Address) const {
  const uint8_t *P = static_cast<const uint8_t *>(Address);
  return P >= Base && P < Base + Size;
}

std::string PeImage::Locate(const void *Address, bool ReturnAddress) const {
  uint64_t Rva = static_cast<const uint8_t *>(Address) - Base;
  char Text[256];
  std::snprintf(Text, sizeof Text, "%s+0x%llx", Name.c_str(), (unsigned long long)Rva);
  std::string Result = Text;
  std::string Where;
  // A return address may follow a call that ends its function (a call that does not return):
  // the call's own byte names the function and the line.
  uint64_t Looked = ReturnAddress && Rva > 0 ? Rva - 1 : Rva;
  auto It = std::upper_bound(Symbols.begin(), Symbols.end(),
                             std::make_pair((uint32_t)Looked, std::string("\x7f")));
  if (It != Symbols.begin()) {
    --It;
    std::snprintf(Text, sizeof Text, "%s+0x%llx", It->second.c_str(),
                  (unsigned long long)(Rva - It->first));
    Where = Text;
  }
  std::string Line = Lines.At(Looked);
  if (!Line.empty()) {
    Where += (Where.empty() ? "" : ", ") + Line;
  }
  return Where.empty() ? Result : Result + " (" + Where + ")";
}

std::unique_ptr<PeImage> LoadPeImage(const std::string &Path, std::string &Error) {
  std::vector<uint8_t> File = ReadWholeFile(Path);
  if (File.empty()) {
    Error = "cannot read " + Path;
    return nullptr;
  }
  std::string Name = Path.substr(Path.find_last_of('/') + 1);
  if (Name.size() > 4 && Name.compare(Name.size() - 4, 4, ".efi") == 0) {
    Name.resize(Name.size() - 4);
  }
  auto Image = LoadPeImage(std::move(File), Name, Error);
  if (Image) {
    Image->Path = Path;
    ReadLinkerMap(*Image);
    ReadDebugTwin(*Image);
  }
  return Image;
}

std::unique_ptr<PeImage> LoadPeImage(std::vector<uint8_t> File, const std::string &Name,
                                     std::string &Error) {
  if (Field<uint16_t>(File, 0) != 0x5A4D) {
    Error = Name + ": no MZ header";
    return nullptr;
  }
  uint32_t PeOffset = Field<uint32_t>(File, 0x3C);
  if (Field<uint32_t>(File, PeOffset) != 0x00004550) {
    Error = Name + ": no PE signature";
    return nullptr;
  }
  size_t Coff = PeOffset + 4;
  uint16_t Machine = Field<uint16_t>(File, Coff);
  uint16_t SectionCount = Field<uint16_t>(File, Coff + 2);
  uint16_t OptionalSize = Field<uint16_t>(File, Coff + 16);
  uint16_t Characteristics = Field<uint16_t>(File, Coff + 18);
  size_t Optional = Coff + 20;
  if (Machine != 0x8664 || Field<uint16_t>(File, Optional) != 0x20B) {
    Error = Name + ": not a PE32+ x64 image";
    return nullptr;
  }
  if (Characteristics & 0x0001) {
    Error = Name + ": relocations stripped, cannot be loaded at another address";
    return nullptr;
  }

  auto Image = std::make_unique<PeImage>();
  Image->Name = Name;
  Image->EntryRva = Field<uint32_t>(File, Optional + 16);
  Image->PreferredBase = Field<uint64_t>(File, Optional + 24);
  Image->Size = Field<uint32_t>(File, Optional + 56);
  uint32_t HeaderSize = Field<uint32_t>(File, Optional + 60);
  Image->Subsystem = Field<uint16_t>(File, Optional + 68);
  uint32_t DirectoryCount = Field<uint32_t>(File, Optional + 108);
  size_t Directories = Optional + 112;
  size_t Sections = Optional + OptionalSize;

  // A damaged file is refused here, before anything of it is copied or run.
  if (OptionalSize < 112 || (uint64_t)Sections + 40ull * SectionCount > File.size()) {
    Error = Name + ": headers beyond the end of the file";
    return nullptr;
  }
  if (Image->Size == 0 || Image->Size > kMaxImageSize || HeaderSize > Image->Size ||
      HeaderSize > File.size() || HeaderSize < Sections + 40ull * SectionCount) {
    Error = Name + ": image or header size out of range";
    return nullptr;
  }
  if (DirectoryCount > 16 || 112 + 8ull * DirectoryCount > OptionalSize) {
    Error = Name + ": data directories beyond the optional header";
    return nullptr;
  }
  // The entry point lies inside the image, in a section the image marks as code or executable
  // (a section's raw size may run past its virtual size and past the image).
  bool EntryInCode = false;
  for (uint16_t Index = 0; Index < SectionCount; Index++) {
    size_t Header = Sections + 40 * Index;
    uint64_t Start = Field<uint32_t>(File, Header + 12);
    uint64_t Length =
        std::max(Field<uint32_t>(File, Header + 8), Field<uint32_t>(File, Header + 16));
    uint32_t Flags = Field<uint32_t>(File, Header + 36);
    if ((Flags & (kSectionCode | kSectionExecute)) != 0 && Image->EntryRva >= Start &&
        Image->EntryRva < Start + Length && Image->EntryRva < Image->Size) {
      EntryInCode = true;
    }
  }
  if (!EntryInCode) {
    Error = Name + ": entry point outside the image's code";
    return nullptr;
  }

  size_t Pages = (Image->Size + 4095) & ~size_t{4095};
  Image->Base = ArenaAllocate(Pages, 4096);
  if (Image->Base == nullptr) {
    Error = Name + ": out of board memory";
    return nullptr;
  }
  std::memset(Image->Base, 0, Pages);
  std::memcpy(Image->Base, File.data(), HeaderSize);

  for (uint16_t Index = 0; Index < SectionCount; Index++) {
    size_t Header = Sections + 40 * Index;
    uint32_t VirtualSize = Field<uint32_t>(File, Header + 8);
    uint32_t VirtualAddress = Field<uint32_t>(File, Header + 12);
    uint32_t RawSize = Field<uint32_t>(File, Header + 16);
    uint32_t RawOffset = Field<uint32_t>(File, Header + 20);
    uint32_t Copy = std::min(RawSize, VirtualSize == 0 ? RawSize : VirtualSize);
    if ((uint64_t)VirtualAddress + std::max(Copy, VirtualSize) > Image->Size) {
      Error = Name + ": section outside the image";
      return nullptr;
    }
    if ((uint64_t)RawOffset + Copy > File.size()) {
      Error = Name + ": section data beyond the end of the file (cut short?)";
      return nullptr;
    }
    std::memcpy(Image->Base + VirtualAddress, File.data() + RawOffset, Copy);
  }

  // Base relocations (directory 5): only DIR64 and padding entries occur in x64 images.
  int64_t Delta = (int64_t)((uint64_t)Image->Base - Image->PreferredBase);
  if (DirectoryCount > 5) {
    uint32_t RelocRva = Field<uint32_t>(File, Directories + 5 * 8);
    uint32_t RelocSize = Field<uint32_t>(File, Directories + 5 * 8 + 4);
    if ((uint64_t)RelocRva + RelocSize > Image->Size) {
      Error = Name + ": relocations outside the image";
      return nullptr;
    }
    uint32_t Offset = 0;
    while (Offset + 8 <= RelocSize) {
      uint32_t PageRva, BlockSize;
      std::memcpy(&PageRva, Image->Base + RelocRva + Offset, 4);
      std::memcpy(&BlockSize, Image->Base + RelocRva + Offset + 4, 4);
      if (BlockSize < 8 || BlockSize > RelocSize - Offset) {
        Error = Name + ": malformed relocation block";
        return nullptr;
      }
      for (uint32_t Entry = 8; Entry + 2 <= BlockSize; Entry += 2) {
        uint16_t Item;
        std::memcpy(&Item, Image->Base + RelocRva + Offset + Entry, 2);
        uint16_t Type = Item >> 12;
        uint64_t Target = (uint64_t)PageRva + (Item & 0xFFF);
        if (Type == 0) {
          continue;
        }
        if (Type != 10) {
          Error = Name + ": unsupported relocation type " + std::to_string(Type);
          return nullptr;
        }
        if (Target + 8 > Image->Size) {
          Error = Name + ": relocation outside the image";
          return nullptr;
        }
        uint64_t Value;
        std::memcpy(&Value, Image->Base + Target, 8);
        Value += Delta;
        std::memcpy(Image->Base + Target, &Value, 8);
      }
      Offset += BlockSize;
    }
  }
  if (mprotect(Image->Base, Pages, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) {
    Error = Name + ": cannot make the image executable";
    return nullptr;
  }
  Image->File = std::move(File);
  return Image;
}

} // namespace sim
