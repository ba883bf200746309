// The firmware-file reader: the files the firmware build packed for its images, and small files
// built here to show section numbering and every rejection.
#include "board.h"
#include "fingerprint_module.h"
#include "firmware_file.h"
#include "firmware_volume_model.h"
#include "pe_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using sim::FirmwareFile;
using sim::FirmwareFileSection;

constexpr EFI_GUID TestFileName = {
    0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01}};
constexpr EFI_GUID OtherSubtype = {
    0xA1B2C3D4, 0x0001, 0x0002, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}};

std::vector<uint8_t> GuidBytes(const EFI_GUID &Guid) {
  std::vector<uint8_t> Bytes(sizeof(Guid));
  std::memcpy(Bytes.data(), &Guid, sizeof(Guid));
  return Bytes;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> A, const std::vector<uint8_t> &B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

std::vector<uint8_t> Ucs2(const std::string &Text) {
  std::vector<uint8_t> Bytes;
  for (char C : Text) {
    Bytes.push_back((uint8_t)C);
    Bytes.push_back(0);
  }
  Bytes.push_back(0);
  Bytes.push_back(0);
  return Bytes;
}

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  return std::memcmp(&A, &B, 16) == 0;
}

// Sets the header and file checksums of a built file (checksum attribute set).
void Seal(std::vector<uint8_t> &File) {
  File[16] = File[17] = 0;
  uint8_t State = File[23];
  File[23] = 0;
  uint8_t Sum = 0;
  for (size_t I = 0; I < 24; I++) {
    Sum = (uint8_t)(Sum + File[I]);
  }
  File[16] = (uint8_t)-Sum;
  Sum = 0;
  for (size_t I = 24; I < File.size(); I++) {
    Sum = (uint8_t)(Sum + File[I]);
  }
  File[17] = (uint8_t)-Sum;
  File[23] = State;
}

void SetSize24(std::vector<uint8_t> &Bytes, size_t At, size_t Size) {
  Bytes[At] = (uint8_t)Size;
  Bytes[At + 1] = (uint8_t)(Size >> 8);
  Bytes[At + 2] = (uint8_t)(Size >> 16);
}

struct SectionSpec {
  uint8_t Type;
  std::vector<uint8_t> Payload;
};

// A driver file with the given sections, laid out as a volume expects them.
std::vector<uint8_t> BuildFile(const std::vector<SectionSpec> &Sections) {
  std::vector<uint8_t> File = GuidBytes(TestFileName);
  File.insert(File.end(),
              {0, 0, sim::EFI_FV_FILETYPE_DRIVER, sim::FFS_ATTRIB_CHECKSUM, 0, 0, 0, 0x07});
  for (const SectionSpec &Section : Sections) {
    while (File.size() % 4 != 0) {
      File.push_back(0);
    }
    size_t At = File.size();
    File.insert(File.end(), {0, 0, 0, Section.Type});
    SetSize24(File, At, 4 + Section.Payload.size());
    File.insert(File.end(), Section.Payload.begin(), Section.Payload.end());
  }
  SetSize24(File, 20, File.size());
  Seal(File);
  return File;
}

const std::vector<SectionSpec> &MixedSections() {
  static const std::vector<SectionSpec> Sections = {
      {EFI_SECTION_FREEFORM_SUBTYPE_GUID, Concat(GuidBytes(OtherSubtype), {0xA0})},
      {EFI_SECTION_RAW, {1, 2, 3}},
      {EFI_SECTION_FREEFORM_SUBTYPE_GUID,
       Concat(GuidBytes(FINGERPRINT_MODULE_SECTION_GUID), {0xE9, 0x01, 0x00, 0xCB})},
      {EFI_SECTION_PE32, {'M', 'Z'}},
      {EFI_SECTION_FREEFORM_SUBTYPE_GUID, Concat(GuidBytes(OtherSubtype), {0xC0, 0xC1})},
  };
  return Sections;
}

TEST(FirmwareFileReader, NumbersSectionsOfATypeAsReadSectionDoes) {
  FirmwareFile File;
  std::string Error;
  ASSERT_TRUE(sim::ParseFirmwareFile(BuildFile(MixedSections()), File, Error)) << Error;
  EXPECT_TRUE(SameGuid(File.Name, TestFileName));
  EXPECT_EQ(File.Type, sim::EFI_FV_FILETYPE_DRIVER);
  ASSERT_EQ(File.Sections.size(), 5u);

  std::vector<const FirmwareFileSection *> Freeform =
      sim::SectionsOfType(File, EFI_SECTION_FREEFORM_SUBTYPE_GUID);
  ASSERT_EQ(Freeform.size(), 3u);
  // Instance n is the n-th section of the type in file order; the data starts after the 4-byte
  // header, with the subtype GUID.
  EXPECT_EQ(Freeform[0]->Data, MixedSections()[0].Payload);
  EXPECT_EQ(Freeform[1]->Data, MixedSections()[2].Payload);
  EXPECT_EQ(Freeform[2]->Data, MixedSections()[4].Payload);
  EXPECT_EQ(sim::FindSection(File, EFI_SECTION_FREEFORM_SUBTYPE_GUID, 1), Freeform[1]);
  EXPECT_EQ(sim::FindSection(File, EFI_SECTION_FREEFORM_SUBTYPE_GUID, 3), nullptr);

  const FirmwareFileSection *Pe = sim::FindSection(File, EFI_SECTION_PE32, 0);
  ASSERT_NE(Pe, nullptr);
  EXPECT_EQ(Pe->Data, (std::vector<uint8_t>{'M', 'Z'}));
  EXPECT_EQ(sim::FindSection(File, EFI_SECTION_PE32, 1), nullptr);
  EXPECT_TRUE(sim::SectionsOfType(File, EFI_SECTION_USER_INTERFACE).empty());

  // Section offsets: 4-byte aligned after payloads of 17, 3, 20 and 2 bytes.
  std::vector<size_t> Offsets;
  for (const FirmwareFileSection *Section : sim::SectionsOfType(File, sim::EFI_SECTION_ALL)) {
    Offsets.push_back(Section->Offset);
  }
  EXPECT_EQ(Offsets, (std::vector<size_t>{24, 48, 56, 80, 88}));
}

TEST(FirmwareFileReader, ReadsAnExtendedSizeSection) {
  std::vector<uint8_t> File = BuildFile({{EFI_SECTION_RAW, {}}});
  // Turn the empty section into one with the extended header: size 0xFFFFFF, then 32-bit size.
  File[24] = File[25] = File[26] = 0xFF;
  File.insert(File.end(), {12, 0, 0, 0, 0xD0, 0xD1, 0xD2, 0xD3});
  SetSize24(File, 20, File.size());
  Seal(File);
  FirmwareFile Parsed;
  std::string Error;
  ASSERT_TRUE(sim::ParseFirmwareFile(File, Parsed, Error)) << Error;
  ASSERT_EQ(Parsed.Sections.size(), 1u);
  EXPECT_EQ(Parsed.Sections[0].Data, (std::vector<uint8_t>{0xD0, 0xD1, 0xD2, 0xD3}));
}

TEST(FirmwareFileReader, AcceptsTheFixedChecksumWithoutTheChecksumAttribute) {
  std::vector<uint8_t> File = BuildFile({{EFI_SECTION_RAW, {5, 6, 7, 8}}});
  File[19] = 0;
  File[17] = sim::FFS_FIXED_CHECKSUM;
  File[16] = 0;
  uint8_t Sum = 0;
  for (size_t I = 0; I < 24; I++) {
    Sum = (uint8_t)(Sum + (I == 17 || I == 23 ? 0 : File[I]));
  }
  File[16] = (uint8_t)-Sum;
  FirmwareFile Parsed;
  std::string Error;
  EXPECT_TRUE(sim::ParseFirmwareFile(File, Parsed, Error)) << Error;
}

struct Damage {
  const char *What;
  std::function<void(std::vector<uint8_t> &)> Apply;
  bool Reseal; // checksums recomputed afterwards, so that only the damage itself is wrong
};

TEST(FirmwareFileReader, RejectsDamagedFiles) {
  const std::vector<Damage> Damages = {
      {"shorter than a header", [](std::vector<uint8_t> &F) { F.resize(20); }, false},
      {"header checksum", [](std::vector<uint8_t> &F) { F[16] ^= 1; }, false},
      {"file checksum", [](std::vector<uint8_t> &F) { F[17] ^= 1; }, false},
      {"body byte", [](std::vector<uint8_t> &F) { F[30] ^= 0x40; }, false},
      {"no checksum attribute, file checksum not 0xAA",
       [](std::vector<uint8_t> &F) {
         F[19] = 0;
         uint8_t Sum = 0;
         F[16] = 0;
         for (size_t I = 0; I < 24; I++) {
           Sum = (uint8_t)(Sum + (I == 17 || I == 23 ? 0 : F[I]));
         }
         F[16] = (uint8_t)-Sum;
       },
       false},
      {"large-file attribute", [](std::vector<uint8_t> &F) { F[19] |= 0x01; }, true},
      {"size field larger than the file",
       [](std::vector<uint8_t> &F) { SetSize24(F, 20, F.size() + 4); }, true},
      {"file cut short", [](std::vector<uint8_t> &F) { F.pop_back(); }, false},
      {"state only under construction", [](std::vector<uint8_t> &F) { F[23] = 0x03; }, false},
      {"state marked for update", [](std::vector<uint8_t> &F) { F[23] = 0x0F; }, false},
      {"state stored inverted", [](std::vector<uint8_t> &F) { F[23] = 0xF8; }, false},
      {"section smaller than its header", [](std::vector<uint8_t> &F) { SetSize24(F, 24, 3); },
       true},
      {"section past the end of the file", [](std::vector<uint8_t> &F) { SetSize24(F, 24, 200); },
       true},
      {"bytes after the last section",
       [](std::vector<uint8_t> &F) {
         F.insert(F.end(), {0, 0});
         SetSize24(F, 20, F.size());
       },
       true},
      {"padding after the last section",
       [](std::vector<uint8_t> &F) {
         F.push_back(0);
         SetSize24(F, 20, F.size());
       },
       true},
      {"extended section header cut off",
       [](std::vector<uint8_t> &F) {
         F.resize(28);
         F[24] = F[25] = F[26] = 0xFF;
         SetSize24(F, 20, F.size());
       },
       true},
  };
  const std::vector<uint8_t> Good = BuildFile({{EFI_SECTION_RAW, {1, 2, 3, 4, 5, 6, 7}}});
  FirmwareFile Parsed;
  std::string Error;
  ASSERT_TRUE(sim::ParseFirmwareFile(Good, Parsed, Error)) << Error;
  for (const Damage &D : Damages) {
    std::vector<uint8_t> File = Good;
    D.Apply(File);
    if (D.Reseal) {
      Seal(File);
    }
    Error.clear();
    EXPECT_FALSE(sim::ParseFirmwareFile(File, Parsed, Error)) << D.What;
    EXPECT_FALSE(Error.empty()) << D.What;
    EXPECT_TRUE(Parsed.Sections.empty()) << D.What;
  }
}

TEST(FirmwareFileReader, ReportsAMissingFile) {
  FirmwareFile File;
  std::string Error;
  EXPECT_FALSE(sim::ReadFirmwareFile(sim::FirmwareFilePath("NoSuchDriver"), File, Error));
  EXPECT_NE(Error.find("NoSuchDriver.ffs"), std::string::npos) << Error;
}

// ---- the firmware build's files ----------------------------------------------------------------

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

TEST(BuiltFirmwareFiles, EachImageIsPackedWithItsSections) {
  std::vector<std::string> Names = BuiltImages();
  ASSERT_FALSE(Names.empty()) << "no images in " << sim::Board::ImageDirectory();
  std::set<std::string> FileNames;
  for (const std::string &Name : Names) {
    SCOPED_TRACE(Name);
    FirmwareFile File;
    std::string Error;
    ASSERT_TRUE(sim::ReadFirmwareFile(sim::FirmwareFilePath(Name), File, Error)) << Error;
    EXPECT_EQ(File.Type, sim::EFI_FV_FILETYPE_DRIVER);
    EXPECT_TRUE(FileNames.insert(std::string((const char *)&File.Name, 16)).second)
        << "file GUID used twice";

    std::vector<const FirmwareFileSection *> Pe = sim::SectionsOfType(File, EFI_SECTION_PE32);
    ASSERT_EQ(Pe.size(), 1u);
    EXPECT_EQ(Pe[0]->Data, sim::ReadWholeFile(sim::Board::ImagePath(Name)));

    std::vector<const FirmwareFileSection *> Ui =
        sim::SectionsOfType(File, EFI_SECTION_USER_INTERFACE);
    ASSERT_EQ(Ui.size(), 1u);
    EXPECT_EQ(Ui[0]->Data, Ucs2(Name));

    std::vector<const FirmwareFileSection *> Depex =
        sim::SectionsOfType(File, EFI_SECTION_DXE_DEPEX);
    ASSERT_EQ(Depex.size(), 1u);
    ASSERT_FALSE(Depex[0]->Data.empty());
    EXPECT_EQ(Depex[0]->Data.back(), 0x08) << "dependency expression without END";
  }
}

TEST(BuiltFirmwareFiles, FingerprintAuthDxeCarriesTheLegacyModule) {
  const std::string Path = sim::FirmwareFilePath("FingerprintAuthDxe");
  if (sim::ReadWholeFile(Path).empty()) {
    GTEST_SKIP() << "FingerprintAuthDxe is not built yet (" << Path << ")";
  }
  FirmwareFile File;
  std::string Error;
  ASSERT_TRUE(sim::ReadFirmwareFile(Path, File, Error)) << Error;
  std::vector<uint8_t> Module =
      sim::ReadWholeFile(sim::Board::ImageDirectory() + "/LegacyFingerprintModule.bin");
  ASSERT_GT(Module.size(), 3u);

  std::vector<const FirmwareFileSection *> Freeform =
      sim::SectionsOfType(File, EFI_SECTION_FREEFORM_SUBTYPE_GUID);
  const FirmwareFileSection *ModuleSection = nullptr;
  for (const FirmwareFileSection *Section : Freeform) {
    if (Section->Data.size() >= 16 &&
        std::memcmp(Section->Data.data(), &FINGERPRINT_MODULE_SECTION_GUID, 16) == 0) {
      EXPECT_EQ(ModuleSection, nullptr) << "two module sections";
      ModuleSection = Section;
    }
  }
  ASSERT_NE(ModuleSection, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(ModuleSection->Data.begin() + 16, ModuleSection->Data.end()),
            Module);
}

} // namespace
