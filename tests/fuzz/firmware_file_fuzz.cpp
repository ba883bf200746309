// The board's readers of what the firmware build writes, with any bytes: the firmware-file
// reader (.ffs), the volume reader (NotebookDrivers.fv) and the PE32+ loader (.efi). Each either
// refuses with a message or accepts, and what it accepts lies inside the bytes it was given.
#include "fuzz_support.h"

#include "firmware_file.h"
#include "firmware_volume_model.h"
#include "pe_image.h"
#include "physical_memory.h"

namespace {

// Size: the bytes the file can have at most (its sections' offsets count from its header).
void CheckFile(const sim::FirmwareFile &File, size_t Size, const std::string &What) {
  for (const sim::FirmwareFileSection &Section : File.Sections) {
    if (Section.Offset < 24 || Section.Offset + 4 + Section.Data.size() > Size) {
      fuzz::Finding(What + ": a section outside the file");
    }
  }
  if (sim::ModuleImageOf(File) && sim::ModuleImageOf(File)->size() > Size) {
    fuzz::Finding(What + ": a module image larger than the file");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  std::vector<uint8_t> Bytes(Data, Data + Size);
  std::string Error;

  sim::FirmwareFile File;
  if (sim::ParseFirmwareFile(Bytes, File, Error)) {
    CheckFile(File, Size, "firmware file");
    fuzz::NoteValue(40, File.Sections.size());
  } else if (Error.empty()) {
    fuzz::Finding("a firmware file refused without a message");
  }

  Error.clear();
  sim::FirmwareVolumeImage Volume;
  if (sim::ParseFirmwareVolume(Bytes, Volume, Error)) {
    if (Volume.Length != Size || Volume.FreeSpace > Size) {
      fuzz::Finding("a volume accepted with a length other than its bytes");
    }
    for (const sim::VolumeFile &F : Volume.Files) {
      if (F.Offset + 24 > Size) {
        fuzz::Finding("a volume file outside the volume");
      }
      CheckFile(F.File, Size - F.Offset, "volume file");
    }
    fuzz::NoteValue(41, Volume.Files.size());
  } else if (Error.empty()) {
    fuzz::Finding("a volume refused without a message");
  }

  Error.clear();
  {
    std::unique_ptr<sim::PeImage> Image = sim::LoadPeImage(Bytes, "fuzzed", Error);
    if (Image) {
      if (Image->EntryRva >= Image->Size || Image->Size > (16u << 20)) {
        fuzz::Finding("an image accepted with its entry point outside it");
      }
      fuzz::NoteValue(42, Image->Size);
    } else if (Error.empty()) {
      fuzz::Finding("an image refused without a message");
    }
  }
  sim::ReleasePhysicalMemory();
  return 0;
}
