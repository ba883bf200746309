// The board's firmware-volume reader: the volume the firmware build writes holds every driver's
// firmware file as packed, and each kind of damage to that volume is refused with its reason.
#include "board.h"
#include "firmware_file.h"
#include "firmware_volume_model.h"
#include "pe_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <functional>
#include <string>
#include <vector>

namespace {

using sim::FirmwareVolumeImage;
using sim::VolumeFile;

constexpr size_t FileHeaderSize = 24;
constexpr size_t StateOffset = 23;

std::vector<std::string> BuiltImages() {
  std::vector<std::string> Names;
  DIR *Folder = opendir(sim::Board::ImageDirectory().c_str());
  if (Folder == nullptr) {
    return Names;
  }
  while (dirent *Entry = readdir(Folder)) {
    std::string Name = Entry->d_name;
    if (Name.size() > 4 && Name.compare(Name.size() - 4, 4, ".efi") == 0) {
      Names.push_back(Name.substr(0, Name.size() - 4));
    }
  }
  closedir(Folder);
  return Names;
}

std::vector<uint8_t> BuiltVolume() {
  return sim::ReadWholeFile(sim::FirmwareVolumePath());
}

size_t Size24(const std::vector<uint8_t> &Bytes, size_t At) {
  return Bytes[At] | (Bytes[At + 1] << 8) | (Bytes[At + 2] << 16);
}

void SetSize24(std::vector<uint8_t> &Bytes, size_t At, size_t Size) {
  Bytes[At] = (uint8_t)Size;
  Bytes[At + 1] = (uint8_t)(Size >> 8);
  Bytes[At + 2] = (uint8_t)(Size >> 16);
}

template <typename T> void Put(std::vector<uint8_t> &Bytes, size_t At, T Value) {
  std::memcpy(Bytes.data() + At, &Value, sizeof(Value));
}

template <typename T> T Get(const std::vector<uint8_t> &Bytes, size_t At) {
  T Value;
  std::memcpy(&Value, Bytes.data() + At, sizeof(Value));
  return Value;
}

// The volume header checksum recomputed over HeaderLength, so that only the damage is wrong.
void SealVolume(std::vector<uint8_t> &V) {
  const size_t Checksum = offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, Checksum);
  size_t Length = Get<uint16_t>(V, offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, HeaderLength));
  Length = std::min(Length & ~(size_t)1, V.size() & ~(size_t)1);
  Put<uint16_t>(V, Checksum, 0);
  uint16_t Sum = 0;
  for (size_t I = 0; I < Length; I += 2) {
    Sum = (uint16_t)(Sum + Get<uint16_t>(V, I));
  }
  Put<uint16_t>(V, Checksum, (uint16_t)-Sum);
}

// The header checksum of the file at Offset recomputed (file checksum and State count as 0).
void SealFileHeader(std::vector<uint8_t> &V, size_t Offset) {
  V[Offset + 16] = 0;
  uint8_t Sum = 0;
  for (size_t I = 0; I < FileHeaderSize; I++) {
    Sum = (uint8_t)(Sum + V[Offset + I]);
  }
  Sum = (uint8_t)(Sum - V[Offset + 17] - V[Offset + StateOffset]);
  V[Offset + 16] = (uint8_t)-Sum;
}

// The file checksum of the file at Offset recomputed over its body.
void SealFileData(std::vector<uint8_t> &V, size_t Offset) {
  uint8_t Sum = 0;
  for (size_t I = Offset + FileHeaderSize; I < Offset + Size24(V, Offset + 20); I++) {
    Sum = (uint8_t)(Sum + V[I]);
  }
  V[Offset + 17] = (uint8_t)-Sum;
}

TEST(BuiltFirmwareVolume, HoldsEveryDriversFirmwareFileAsPacked) {
  std::vector<uint8_t> Bytes = BuiltVolume();
  ASSERT_FALSE(Bytes.empty()) << "no volume at " << sim::FirmwareVolumePath();
  FirmwareVolumeImage Volume;
  std::string Error;
  ASSERT_TRUE(sim::ParseFirmwareVolume(Bytes, Volume, Error)) << Error;
  EXPECT_NE(Volume.Attributes & sim::EFI_FVB2_ERASE_POLARITY, 0u);
  EXPECT_EQ(Volume.Length % 0x1000, 0u);
  ASSERT_TRUE(Volume.Named);
  EXPECT_TRUE(sim::SameGuid(Volume.Name, sim::FirmwareVolume::kVolumeName))
      << "the board's volume handle is named after the shipped volume";

  std::vector<std::string> Names = BuiltImages();
  ASSERT_FALSE(Names.empty());
  EXPECT_EQ(Volume.Files.size(), Names.size());
  for (const std::string &Name : Names) {
    SCOPED_TRACE(Name);
    std::vector<uint8_t> Ffs = sim::ReadWholeFile(sim::FirmwareFilePath(Name));
    ASSERT_GE(Ffs.size(), FileHeaderSize);
    const VolumeFile *Found = nullptr;
    for (const VolumeFile &Candidate : Volume.Files) {
      if (std::memcmp(&Candidate.File.Name, Ffs.data(), sizeof(EFI_GUID)) == 0) {
        Found = &Candidate;
      }
    }
    ASSERT_NE(Found, nullptr) << "file not in the volume";
    EXPECT_EQ(Found->Offset % 8, 0u);
    EXPECT_EQ(Found->File.State, 0x07);
    // Byte for byte the packed file, State stored inverted under erase polarity 1.
    ASSERT_LE(Found->Offset + Ffs.size(), Bytes.size());
    std::vector<uint8_t> Stored(Bytes.begin() + (ptrdiff_t)Found->Offset,
                                Bytes.begin() + (ptrdiff_t)(Found->Offset + Ffs.size()));
    EXPECT_EQ(Stored[StateOffset], (uint8_t)~Ffs[StateOffset]);
    Stored[StateOffset] = Ffs[StateOffset];
    EXPECT_EQ(Stored, Ffs);
  }
}

struct VolumeDamage {
  const char *What;
  // Edits the intact volume; Files are the intact volume's files.
  std::function<void(std::vector<uint8_t> &, const std::vector<VolumeFile> &)> Apply;
  const char *Reason; // a fragment of the reader's message
};

TEST(FirmwareVolumeReader, RefusesDamagedVolumes) {
  using Bytes = std::vector<uint8_t>;
  using Files = std::vector<VolumeFile>;
  constexpr size_t Length = offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, FvLength);
  constexpr size_t Attributes = offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, Attributes);
  constexpr size_t HeaderLength = offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, HeaderLength);
  constexpr size_t ExtHeaderOffset = offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, ExtHeaderOffset);
  constexpr size_t NumBlocks = offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, BlockMap);
  const std::vector<VolumeDamage> Damages = {
      {"shorter than a header", [](Bytes &V, const Files &) { V.resize(40); }, "shorter"},
      {"header checksum off by one",
       [](Bytes &V, const Files &) { V[offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, Checksum)] ^= 1; },
       "header checksum"},
      {"signature",
       [](Bytes &V, const Files &) {
         V[offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, Signature)] ^= 1;
         SealVolume(V);
       },
       "signature"},
      {"file system not FFS2",
       [](Bytes &V, const Files &) {
         V[offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, FileSystemGuid)] ^= 1;
         SealVolume(V);
       },
       "FFS2"},
      {"Framework revision",
       [](Bytes &V, const Files &) {
         V[offsetof(sim::EFI_FIRMWARE_VOLUME_HEADER, Revision)] = 1;
         SealVolume(V);
       },
       "revision"},
      {"odd header length",
       [=](Bytes &V, const Files &) {
         Put<uint16_t>(V, HeaderLength, Get<uint16_t>(V, HeaderLength) + 1);
         SealVolume(V);
       },
       "header length"},
      {"length one block more than the image",
       [=](Bytes &V, const Files &) {
         Put<uint64_t>(V, Length, V.size() + 0x1000);
         SealVolume(V);
       },
       "volume length"},
      {"length one block less than the image",
       [=](Bytes &V, const Files &) {
         Put<uint64_t>(V, Length, V.size() - 0x1000);
         SealVolume(V);
       },
       "volume length"},
      {"image cut short by a block", [](Bytes &V, const Files &) { V.resize(V.size() - 0x1000); },
       "volume length"},
      {"block map one block short",
       [=](Bytes &V, const Files &) {
         Put<uint32_t>(V, NumBlocks, Get<uint32_t>(V, NumBlocks) - 1);
         SealVolume(V);
       },
       "block map"},
      {"extended header past the end",
       [=](Bytes &V, const Files &) {
         Put<uint16_t>(V, ExtHeaderOffset, 0xFFF8);
         SealVolume(V);
       },
       "extended header"},
      {"extended header inside a driver's file",
       [=](Bytes &V, const Files &F) {
         // The extended header moved from its pad file (left erased) into the body of a
         // driver's file (file checksum mended).
         const size_t Old = Get<uint16_t>(V, ExtHeaderOffset);
         std::memset(V.data() + Old, 0xFF, sizeof(sim::EFI_FIRMWARE_VOLUME_EXT_HEADER));
         const size_t At = F[0].Offset + FileHeaderSize + 64;
         std::memcpy(V.data() + At, &sim::FirmwareVolume::kVolumeName, sizeof(EFI_GUID));
         Put<uint32_t>(V, At + sizeof(EFI_GUID), sizeof(sim::EFI_FIRMWARE_VOLUME_EXT_HEADER));
         SealFileData(V, F[0].Offset);
         Put<uint16_t>(V, ExtHeaderOffset, (uint16_t)At);
         SealVolume(V);
       },
       "not inside a pad file"},
      {"erase polarity cleared",
       [=](Bytes &V, const Files &) {
         Put<uint32_t>(V, Attributes, Get<uint32_t>(V, Attributes) & ~sim::EFI_FVB2_ERASE_POLARITY);
         SealVolume(V);
       },
       "State"},
      {"the last file running past the end",
       [](Bytes &V, const Files &F) {
         SetSize24(V, F.back().Offset + 20, V.size() - F.back().Offset + 8);
         SealFileHeader(V, F.back().Offset);
       },
       "past the end of the volume"},
      {"a file's header checksum", [](Bytes &V, const Files &F) { V[F[0].Offset + 16] ^= 1; },
       "header checksum"},
      {"a byte of a file's image",
       [](Bytes &V, const Files &F) { V[F[0].Offset + FileHeaderSize + 100] ^= 1; },
       "file checksum"},
      {"State not inverted", [](Bytes &V, const Files &F) { V[F[0].Offset + StateOffset] = 0x07; },
       "State"},
      {"data alignment the file does not have",
       [](Bytes &V, const Files &F) {
         V[F[0].Offset + 19] |= 2 << 3; // 128 bytes
         SealFileHeader(V, F[0].Offset);
       },
       "boundary"},
      {"two files of one GUID",
       [](Bytes &V, const Files &F) {
         std::memcpy(V.data() + F[1].Offset, V.data() + F[0].Offset, sizeof(EFI_GUID));
         SealFileHeader(V, F[1].Offset);
       },
       "same GUID"},
      {"the extended header's pad file checksum",
       [=](Bytes &V, const Files &) {
         size_t Pad = (Get<uint16_t>(V, HeaderLength) + 7) & ~(size_t)7;
         V[Pad + 17] ^= 1;
       },
       "pad file"},
      {"a byte between two files written",
       [](Bytes &V, const Files &F) {
         for (const VolumeFile &File : F) {
           size_t End = File.Offset + Size24(V, File.Offset + 20);
           if (End % 8 != 0) {
             V[End] = 0x00;
             return;
           }
         }
         ADD_FAILURE() << "no file leaves a gap before the next 8-byte boundary";
       },
       "between files"},
      {"a byte of the free space written", [](Bytes &V, const Files &) { V.back() = 0x00; },
       "free space"},
  };

  const std::vector<uint8_t> Intact = BuiltVolume();
  ASSERT_FALSE(Intact.empty()) << "no volume at " << sim::FirmwareVolumePath();
  FirmwareVolumeImage Volume;
  std::string Error;
  ASSERT_TRUE(sim::ParseFirmwareVolume(Intact, Volume, Error)) << Error;
  ASSERT_GE(Volume.Files.size(), 2u);
  const std::vector<VolumeFile> IntactFiles = Volume.Files;
  for (const VolumeDamage &D : Damages) {
    SCOPED_TRACE(D.What);
    std::vector<uint8_t> Damaged = Intact;
    D.Apply(Damaged, IntactFiles);
    Error.clear();
    EXPECT_FALSE(sim::ParseFirmwareVolume(Damaged, Volume, Error));
    EXPECT_NE(Error.find(D.Reason), std::string::npos) << Error;
    EXPECT_TRUE(Volume.Files.empty());
  }
}

} // namespace
