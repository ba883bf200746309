// The firmware volume and the board's dispatcher: FingerprintAuthDxe loaded from its firmware
// file, with the device handle and file path a DXE dispatcher gives it, and ReadSection serving
// that file's sections by type and instance, also after the file was edited for a test.
#include "board.h"
#include "fingerprint_module.h"
#include "guids.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace sim {
namespace {

constexpr EFI_GUID DecoyA = {0x0A0A0A0A, 0x0B0B, 0x0C0C, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr EFI_GUID DecoyB = {0x1A1A1A1A, 0x1B1B, 0x1C1C, {8, 7, 6, 5, 4, 3, 2, 1}};
const char *const kDriver = "FingerprintAuthDxe";

std::vector<uint8_t> GuidBytes(const EFI_GUID &Guid) {
  std::vector<uint8_t> Bytes(sizeof(Guid));
  std::memcpy(Bytes.data(), &Guid, sizeof(Guid));
  return Bytes;
}

std::vector<uint8_t> ModuleBinary() {
  return ReadWholeFile(Board::ImageDirectory() + "/LegacyFingerprintModule.bin");
}

struct Loaded {
  EFI_HANDLE Image = nullptr;
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  EFI_FIRMWARE_VOLUME_PROTOCOL *Volume = nullptr;
  EFI_GUID File{};
};

Loaded Load(Board &B, const FirmwareFileEdits &Edits = {}) {
  Loaded L;
  std::string Error;
  L.Image = B.LoadImageFromFirmwareFile(kDriver, Error, Edits);
  EXPECT_NE(L.Image, nullptr) << Error;
  if (L.Image == nullptr) {
    return L;
  }
  VOID *Interface = nullptr;
  EXPECT_EQ(B.BootServices.HandleProtocol(L.Image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, &Interface),
            EFI_SUCCESS);
  L.LoadedImage = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
  EXPECT_EQ(B.BootServices.HandleProtocol(L.LoadedImage->DeviceHandle,
                                          &EFI_FIRMWARE_VOLUME_PROTOCOL_GUID, &Interface),
            EFI_SUCCESS);
  L.Volume = static_cast<EFI_FIRMWARE_VOLUME_PROTOCOL *>(Interface);
  // The file GUID follows the 4-byte header of the first node of FilePath.
  std::memcpy(&L.File, reinterpret_cast<uint8_t *>(L.LoadedImage->FilePath) + 4, sizeof(EFI_GUID));
  return L;
}

// ReadSection as the fingerprint host calls it: the volume allocates the buffer.
EFI_STATUS Read(const Loaded &L, uint8_t Type, UINTN Instance, std::vector<uint8_t> &Data,
                Board &B) {
  VOID *Buffer = nullptr;
  UINTN Size = 0;
  UINT32 Authentication = 0xFFFF;
  EFI_STATUS Status =
      L.Volume->ReadSection(L.Volume, &L.File, Type, Instance, &Buffer, &Size, &Authentication);
  Data.clear();
  if (Status == EFI_SUCCESS) {
    EXPECT_EQ(Authentication, 0u);
    auto *Bytes = static_cast<uint8_t *>(Buffer);
    Data.assign(Bytes, Bytes + Size);
    auto Block = B.PoolBlocks().find(Buffer);
    EXPECT_NE(Block, B.PoolBlocks().end()) << "not a pool block";
    if (Block != B.PoolBlocks().end()) {
      EXPECT_EQ(Block->second.Size, Size);
      EXPECT_FALSE(Block->second.Freed);
    }
    B.FreePool(Buffer);
  } else {
    EXPECT_EQ(Buffer, nullptr);
  }
  return Status;
}

TEST(FirmwareVolume, ImageLoadedFromItsFileAsTheDispatcherDoes) {
  Board B;
  Loaded L = Load(B);
  ASSERT_NE(L.Volume, nullptr);
  FirmwareFile File;
  std::string Error;
  ASSERT_TRUE(ReadFirmwareFile(FirmwareFilePath(kDriver), File, Error)) << Error;

  // FilePath: the firmware-file node with the file's GUID, then the end node.
  std::vector<uint8_t> Path(reinterpret_cast<uint8_t *>(L.LoadedImage->FilePath),
                            reinterpret_cast<uint8_t *>(L.LoadedImage->FilePath) + 24);
  std::vector<uint8_t> Expected = {0x04, 0x06, 0x14, 0x00};
  std::vector<uint8_t> Name = GuidBytes(File.Name);
  Expected.insert(Expected.end(), Name.begin(), Name.end());
  Expected.insert(Expected.end(), {0x7F, 0xFF, 0x04, 0x00});
  EXPECT_EQ(Path, Expected);
  EXPECT_EQ(L.LoadedImage->DeviceHandle, B.Volume.Handle());
  EXPECT_NE(B.Protocol(B.Volume.Handle(), EFI_DEVICE_PATH_PROTOCOL_GUID), nullptr);

  // The module section: GUID first, then the module binary the firmware build assembled.
  std::vector<uint8_t> Data;
  ASSERT_EQ(Read(L, EFI_SECTION_FREEFORM_SUBTYPE_GUID, 0, Data, B), EFI_SUCCESS);
  std::vector<uint8_t> Module = ModuleBinary();
  ASSERT_FALSE(Module.empty());
  std::vector<uint8_t> Want = GuidBytes(FINGERPRINT_MODULE_SECTION_GUID);
  Want.insert(Want.end(), Module.begin(), Module.end());
  EXPECT_EQ(Data, Want);
  EXPECT_EQ(B.FingerprintModule.ExpectedImage(), Module);
  EXPECT_EQ(Read(L, EFI_SECTION_FREEFORM_SUBTYPE_GUID, 1, Data, B), EFI_NOT_FOUND);

  // The other sections, by type and by number among all sections.
  ASSERT_EQ(Read(L, EFI_SECTION_PE32, 0, Data, B), EFI_SUCCESS);
  EXPECT_EQ(Data, ReadWholeFile(Board::ImagePath(kDriver)));
  ASSERT_EQ(Read(L, EFI_SECTION_USER_INTERFACE, 0, Data, B), EFI_SUCCESS);
  EXPECT_EQ(Data.size(), 2 * (std::strlen(kDriver) + 1));
  EXPECT_EQ(Data[0], 'F');
  for (UINTN I = 0; I < File.Sections.size(); I++) {
    ASSERT_EQ(Read(L, EFI_SECTION_ALL, I, Data, B), EFI_SUCCESS);
    EXPECT_EQ(Data, File.Sections[I].Data);
  }
  EXPECT_EQ(Read(L, EFI_SECTION_ALL, File.Sections.size(), Data, B), EFI_NOT_FOUND);
  EXPECT_EQ(Read(L, EFI_SECTION_RAW, 0, Data, B), EFI_NOT_FOUND);
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
  EXPECT_TRUE(B.Problems.empty());

  const std::vector<SectionReadRecord> &Reads = B.Volume.Reads();
  ASSERT_FALSE(Reads.empty());
  EXPECT_EQ(Reads[0].Type, EFI_SECTION_FREEFORM_SUBTYPE_GUID);
  EXPECT_EQ(Reads[0].Instance, 0u);
  EXPECT_TRUE(Reads[0].Allocated);
  EXPECT_EQ(Reads[1].Status, EFI_NOT_FOUND);
}

TEST(FirmwareVolume, CallersBufferAndUnknownFiles) {
  Board B;
  Loaded L = Load(B);
  ASSERT_NE(L.Volume, nullptr);
  uint8_t Small[10];
  VOID *Buffer = Small;
  UINTN Size = sizeof(Small);
  UINT32 Authentication;
  EXPECT_EQ(L.Volume->ReadSection(L.Volume, &L.File, EFI_SECTION_FREEFORM_SUBTYPE_GUID, 0, &Buffer,
                                  &Size, &Authentication),
            EFI_WARN_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 16 + ModuleBinary().size());
  EXPECT_EQ(std::memcmp(Small, &FINGERPRINT_MODULE_SECTION_GUID, sizeof(Small)), 0);
  EXPECT_EQ(B.LivePoolBlocks(), 0u);

  Buffer = nullptr;
  EXPECT_EQ(L.Volume->ReadSection(L.Volume, &DecoyA, EFI_SECTION_PE32, 0, &Buffer, &Size,
                                  &Authentication),
            EFI_NOT_FOUND);
  B.FailPoolAllocations(1);
  EXPECT_EQ(L.Volume->ReadSection(L.Volume, &L.File, EFI_SECTION_PE32, 0, &Buffer, &Size,
                                  &Authentication),
            EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Buffer, nullptr);
  L.Volume->ReadFile(L.Volume, &L.File, &Buffer, &Size, nullptr, nullptr, &Authentication);
  ASSERT_EQ(B.Problems.size(), 1u);
  EXPECT_NE(B.Problems[0].find("ReadFile"), std::string::npos);
}

struct EditCase {
  const char *Name;
  std::function<FirmwareFileEdits()> Edits;
  // Freeform sections by instance: their first 16 bytes (the subtype GUID), or empty for a
  // section shorter than that; the list ends where ReadSection says EFI_NOT_FOUND.
  std::vector<std::vector<uint8_t>> FreeformHeads;
  std::vector<size_t> FreeformSizes;
  bool ModuleKnown; // the model of the module has an image to compare 0x40000 with
};
void PrintTo(const EditCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

// Stands for the size of the unedited module section: the GUID and the module binary of the
// firmware build.
constexpr size_t kModuleSection = SIZE_MAX;

class FirmwareVolumeEdits : public ::testing::TestWithParam<EditCase> {};

TEST_P(FirmwareVolumeEdits, SectionsServedAfterTheEdit) {
  const EditCase &Case = GetParam();
  Board B;
  Loaded L = Load(B, Case.Edits());
  ASSERT_NE(L.Volume, nullptr);
  std::vector<uint8_t> Data;
  for (size_t I = 0; I < Case.FreeformHeads.size(); I++) {
    ASSERT_EQ(Read(L, EFI_SECTION_FREEFORM_SUBTYPE_GUID, I, Data, B), EFI_SUCCESS) << I;
    size_t Want = Case.FreeformSizes[I] == kModuleSection ? 16 + ModuleBinary().size()
                                                          : Case.FreeformSizes[I];
    EXPECT_EQ(Data.size(), Want) << I;
    if (!Case.FreeformHeads[I].empty()) {
      EXPECT_EQ(std::vector<uint8_t>(Data.begin(), Data.begin() + 16), Case.FreeformHeads[I]);
    }
  }
  EXPECT_EQ(Read(L, EFI_SECTION_FREEFORM_SUBTYPE_GUID, Case.FreeformHeads.size(), Data, B),
            EFI_NOT_FOUND);
  EXPECT_EQ(B.FingerprintModule.ImageKnown(), Case.ModuleKnown);
  // The image still comes from the file's PE32 section.
  ASSERT_EQ(Read(L, EFI_SECTION_PE32, 0, Data, B), EFI_SUCCESS);
  EXPECT_EQ(Data, ReadWholeFile(Board::ImagePath(kDriver)));
}

INSTANTIATE_TEST_SUITE_P(
    Edits, FirmwareVolumeEdits,
    ::testing::Values(
        EditCase{"Unedited",
                 [] { return FirmwareFileEdits{}; },
                 {GuidBytes(FINGERPRINT_MODULE_SECTION_GUID)},
                 {kModuleSection},
                 true},
        EditCase{"DecoysBeforeTheModule",
                 [] {
                   FirmwareFileEdits E;
                   E.FreeformBefore = {FreeformData(DecoyA, {1, 2, 3}),
                                       FreeformData(DecoyB, std::vector<uint8_t>(300, 7))};
                   return E;
                 },
                 {GuidBytes(DecoyA), GuidBytes(DecoyB), GuidBytes(FINGERPRINT_MODULE_SECTION_GUID)},
                 {19, 316, kModuleSection},
                 true},
        EditCase{"NoModuleSection",
                 [] {
                   FirmwareFileEdits E;
                   E.DropModuleSection = true;
                   E.FreeformBefore = {FreeformData(DecoyA, {})};
                   return E;
                 },
                 {GuidBytes(DecoyA)},
                 {16},
                 false},
        EditCase{"ModuleSectionShorterThanItsGuid",
                 [] {
                   FirmwareFileEdits E;
                   E.TruncateModuleSection = 10;
                   return E;
                 },
                 {{}},
                 {10},
                 false},
        EditCase{"ModuleOfTheMostBytes",
                 [] {
                   FirmwareFileEdits E;
                   E.ReplaceModule = std::vector<uint8_t>(FP_MODULE_MAX_SIZE, 0x90);
                   return E;
                 },
                 {GuidBytes(FINGERPRINT_MODULE_SECTION_GUID)},
                 {16 + FP_MODULE_MAX_SIZE},
                 true}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(FirmwareVolume, ReplacedModuleIsWhatTheModelExpects) {
  Board B;
  FirmwareFileEdits E;
  E.ReplaceModule = std::vector<uint8_t>(FP_MODULE_MAX_SIZE + 1, 0x90);
  Load(B, E);
  EXPECT_EQ(B.FingerprintModule.ExpectedImage().size(), FP_MODULE_MAX_SIZE + 1);
}

TEST(FirmwareVolume, DriverStartsFromItsFileAndTheVolumeComesBackAfterAReboot) {
  Board B;
  RunResult Result = B.LoadDriverFromFirmwareFile(kDriver);
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_EQ(B.HandlesWith(FINGERPRINT_AUTH_PROTOCOL_GUID).size(), 1u);
  EXPECT_TRUE(B.Problems.empty());
  EFI_GUID Name = B.Volume.Files().at(0).Name;

  B.Reboot();
  EXPECT_EQ(B.HandlesWith(EFI_FIRMWARE_VOLUME_PROTOCOL_GUID),
            std::vector<EFI_HANDLE>{B.Volume.Handle()});
  EXPECT_NE(B.Volume.File(Name), nullptr);
  EXPECT_TRUE(B.Volume.Reads().empty());

  std::string Error;
  EXPECT_EQ(B.LoadImageFromFirmwareFile("NoSuchDriver", Error), nullptr);
  EXPECT_NE(Error.find("NoSuchDriver.ffs"), std::string::npos) << Error;
}

} // namespace
} // namespace sim
