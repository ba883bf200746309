#include "driver_globals.h"
#include "driver_images.h"
#include "guids.h"
#include "loaded_image.h"
#include "result_lines.h"
#include "scenarios.h"

// PciBridgeProbeDxe loaded by the firmware's LoadImage, then its entry point called directly with
// a system table pointer that is not canonical: the driver's first read of the table raises a
// general-protection fault inside the image, and the firmware's exception handler reports it.
EFI_STATUS PlantedCrashScenario() {
  EFI_HANDLE Image = nullptr;
  EFI_STATUS Status = LoadDriverFile("PciBridgeProbeDxe", &Image);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  Status =
      DriverBootServices->HandleProtocol(Image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, (VOID **)&Loaded);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // The entry point from the loaded headers: e_lfanew, then AddressOfEntryPoint.
  const UINT8 *Base = (const UINT8 *)Loaded->ImageBase;
  UINT32 PeHeader = *(const UINT32 *)(Base + 0x3C);
  UINT32 EntryRva = *(const UINT32 *)(Base + PeHeader + 24 + 16);
  auto Entry = (EFI_IMAGE_ENTRY_POINT)(Base + EntryRva);
  Note("calling PciBridgeProbeDxe's entry point with a non-canonical system table");
  Status = Entry(Image, (EFI_SYSTEM_TABLE *)0x8000000000000000ull);
  ResultLine("planted-crash").Key("returned").Text("yes").Status(Status).Emit();
  return EFI_ABORTED;
}
