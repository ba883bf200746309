// FirmwareHarness: a UEFI application that stands in for the parts of our notebook's firmware
// that the emulated machine's firmware lacks, loads our driver images with the firmware's own
// LoadImage and StartImage, and reports what happened as "@fw" result lines on the console.
//
//   FirmwareHarness.efi <scenario>
//
// The scenario word picks what to do (see the table below). The harness returns the
// scenario's status to the shell; the judging is done on the host from the result lines.
#include "driver_globals.h"
#include "guids.h"
#include "loaded_image.h"
#include "memory.h"
#include "result_lines.h"
#include "scenarios.h"
#include "setup_variables.h"

namespace {

struct Scenario {
  const char *Name;
  EFI_STATUS (*Run)();
};

constexpr Scenario Scenarios[] = {
    {"pci-bridge-probe", PciBridgeProbeScenario},
    {"setup-hw-sync-first-boot", SetupHwSyncFirstBoot},
    {"setup-hw-sync-second-boot", SetupHwSyncSecondBoot},
    {"fingerprint-first-boot", FingerprintAuthFirstBoot},
    {"fingerprint-second-boot", FingerprintAuthSecondBoot},
    {"dispatch", DispatchScenario},
    {"flash-first-boot", FlashFirstBoot},
    {"flash-second-boot", FlashSecondBoot},
    {"planted-crash", PlantedCrashScenario},
};

bool IsBlank(CHAR16 C) {
  return C == u' ' || C == u'\t';
}

// The last word of the command line the shell passed in the load options (the first word is
// the program itself), copied into Word as ASCII.
bool LastWord(const EFI_LOADED_IMAGE_PROTOCOL *Self, char *Word, UINTN WordSize) {
  const CHAR16 *Options = (const CHAR16 *)Self->LoadOptions;
  UINTN Count = Self->LoadOptionsSize / sizeof(CHAR16);
  if (Options == nullptr || Count == 0) {
    return false;
  }
  while (Count != 0 && (Options[Count - 1] == 0 || IsBlank(Options[Count - 1]))) {
    Count--;
  }
  UINTN Start = Count;
  while (Start != 0 && !IsBlank(Options[Start - 1])) {
    Start--;
  }
  if (Start == 0 || Count - Start + 1 > WordSize) {
    return false; // no argument after the program name, or too long
  }
  for (UINTN Index = Start; Index < Count; Index++) {
    Word[Index - Start] = Options[Index] < 0x80 ? (char)Options[Index] : '?';
  }
  Word[Count - Start] = 0;
  return true;
}

bool SameText(const char *A, const char *B) {
  while (*A != 0 && *A == *B) {
    A++;
    B++;
  }
  return *A == *B;
}

} // namespace

// Shared by the scenarios: byte I holds (I * 37 + (I / 256) * 13 + 11) mod 256, which does
// not repeat within the 662 bytes, so a write shifted by any distance shows.
VOID FillSetupPattern(UINT8 *Setup) {
  for (UINTN Index = 0; Index < SETUP_VARIABLE_SIZE; Index++) {
    Setup[Index] = (UINT8)(Index * 37 + (Index / 256) * 13 + 11);
  }
}

extern "C" EFI_STATUS EFIAPI FirmwareHarnessEntry(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverGlobals(ImageHandle, SystemTable);
  ResultLinesInit(SystemTable);

  EFI_LOADED_IMAGE_PROTOCOL *Self = nullptr;
  char Word[48];
  if (EFI_ERROR(DriverBootServices->HandleProtocol(ImageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                   (VOID **)&Self)) ||
      !LastWord(Self, Word, sizeof(Word))) {
    ResultLine("begin").Key("scenario").Text("none").Emit();
    ResultLine("end").Key("scenario").Text("none").Status(EFI_INVALID_PARAMETER).Emit();
    return EFI_INVALID_PARAMETER;
  }

  ResultLine("begin").Key("scenario").Text(Word).Key("codetype").Dec(Self->ImageCodeType).Emit();
  EFI_STATUS Status = EFI_NOT_FOUND;
  bool Known = false;
  for (const Scenario &Entry : Scenarios) {
    if (SameText(Entry.Name, Word)) {
      Known = true;
      Status = Entry.Run();
    }
  }
  if (!Known) {
    Note("unknown scenario");
  }
  ResultLine("end").Key("scenario").Text(Word).Status(Status).Emit();
  return Status;
}
