#include "driver_globals.h"
#include "driver_images.h"
#include "fingerprint_module.h"
#include "fingerprint_services.h"
#include "fingerprint_stand_ins.h"
#include "firmware_file.h"
#include "firmware_volume.h"
#include "guids.h"
#include "harness_interfaces.h"
#include "loaded_image.h"
#include "memory.h"
#include "notebook_variables.h"
#include "result_lines.h"
#include "scenarios.h"
#include "setup_variables.h"
#include "variable_report.h"
#include "volume_files.h"

namespace {

constexpr UINTN WindowPages = FP_WINDOW_SIZE / EFI_PAGE_SIZE;

UINT8 WindowPattern(UINTN Offset) {
  return (UINT8)((Offset * 7) ^ (Offset >> 9) ^ 0x96);
}

// Takes 0x30000..0x7FFFF from the firmware's memory map and fills it with a pattern, so that
// whatever the run leaves there shows.
EFI_STATUS ReserveWindow() {
  EFI_PHYSICAL_ADDRESS Address = FP_WINDOW_BASE;
  EFI_STATUS Status = DriverBootServices->AllocatePages(AllocateAddress, EfiBootServicesData,
                                                        WindowPages, &Address);
  ResultLine("window").Key("op").Text("reserve").Status(Status).Emit();
  if (!EFI_ERROR(Status)) {
    UINT8 *Window = (UINT8 *)FP_WINDOW_BASE;
    for (UINTN Offset = 0; Offset < FP_WINDOW_SIZE; Offset++) {
      Window[Offset] = WindowPattern(Offset);
    }
  }
  return Status;
}

VOID CheckAndReleaseWindow() {
  const UINT8 *Window = (const UINT8 *)FP_WINDOW_BASE;
  UINTN Mismatches = 0;
  UINTN First = 0;
  for (UINTN Offset = 0; Offset < FP_WINDOW_SIZE; Offset++) {
    if (Window[Offset] != WindowPattern(Offset)) {
      if (Mismatches++ == 0) {
        First = FP_WINDOW_BASE + Offset;
      }
    }
  }
  ResultLine("window")
      .Key("op")
      .Text("check")
      .Key("mismatches")
      .Dec(Mismatches)
      .Key("first")
      .Hex(First)
      .Emit();
  DriverBootServices->FreePages(FP_WINDOW_BASE, WindowPages);
}

VOID ReportDisplay(const char *Tag) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  EFI_STATUS Status = DriverBootServices->LocateHandleBuffer(
      ByProtocol, &EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, nullptr, &Count, &Handles);
  if (!EFI_ERROR(Status)) {
    DriverBootServices->FreePool(Handles);
  }
  ResultLine("display").Key("tag").Text(Tag).Key("gop").Dec(EFI_ERROR(Status) ? 0 : Count).Emit();
}

VOID ReportNotebookVariables(const char *Tag) {
  ReportVariable(Tag, u"FpHdp2HdpMapFlag", EFI_GLOBAL_VARIABLE);
  ReportVariable(Tag, u"SysPwdInvalidError", EFI_GLOBAL_VARIABLE);
  ReportVariable(Tag, u"UPEKFLAG", EFI_GLOBAL_VARIABLE);
  ReportVariable(Tag, u"Fp1820ErrorFlag", EFI_GLOBAL_VARIABLE);
}

// The setup engine's answers: go on (code 2), no passwords of its own (code 1).
EFI_STATUS EFIAPI SetupEngineQuery(UINTN QueryCode, UINT8 *CallerAnswer) {
  ResultLine("query").Key("code").Dec(QueryCode).Emit();
  if (CallerAnswer != nullptr) {
    CallerAnswer[CALLER_ANSWER_FLAG] = 0;
  }
  return EFI_SUCCESS;
}

// The module image as the driver's file carries it: the freeform section under the module's
// GUID, after that GUID.
bool FindModuleImage(const FirmwareFile &File, const UINT8 **Module, UINTN *Length) {
  const UINT8 *Data = nullptr;
  UINTN SectionLength = 0;
  for (UINTN Instance = 0;
       FindSection(File, EFI_SECTION_FREEFORM_SUBTYPE_GUID, Instance, &Data, &SectionLength);
       Instance++) {
    if (SectionLength > sizeof(EFI_GUID) &&
        CompareBytes(Data, &FINGERPRINT_MODULE_SECTION_GUID, sizeof(EFI_GUID)) == 0) {
      *Module = Data + sizeof(EFI_GUID);
      *Length = SectionLength - sizeof(EFI_GUID);
      return true;
    }
  }
  return false;
}

EFI_STATUS FingerprintRun(bool SecondBoot) {
  UINT8 *FileData = nullptr;
  UINTN FileSize = 0;
  EFI_STATUS Status = ReadVolumeFile(u"\\FingerprintAuthDxe.ffs", &FileData, &FileSize);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  FirmwareFile File;
  const UINT8 *Module = nullptr;
  UINTN ModuleLength = 0;
  Status = ParseFirmwareFile(FileData, FileSize, &File);
  if (!EFI_ERROR(Status) && !FindModuleImage(File, &Module, &ModuleLength)) {
    Note("the firmware file has no legacy fingerprint module section");
    Status = EFI_NOT_FOUND;
  }
  if (EFI_ERROR(Status)) {
    DriverBootServices->FreePool(FileData);
    return Status;
  }

  // The driver, as the notebook's dispatcher starts it: from its firmware file.
  InstallFirmwareVolume(File);
  UseSystemTable(NotebookSystemTable());
  EFI_HANDLE Image = nullptr;
  Status = LoadFromFirmwareFile("FingerprintAuthDxe", &Image);
  if (!EFI_ERROR(Status)) {
    // The firmware took the volume as the image's device (from the volume node of the path).
    EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
    DriverBootServices->HandleProtocol(Image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, (VOID **)&Loaded);
    ResultLine("fvimage")
        .Key("device")
        .Text(Loaded != nullptr && Loaded->DeviceHandle == FirmwareVolumeHandle()
                  ? "firmware-volume"
                  : "other")
        .Emit();
    Status = StartDriver("FingerprintAuthDxe", Image);
  }
  FINGERPRINT_AUTH_PROTOCOL *Auth = nullptr;
  if (!EFI_ERROR(Status)) {
    Status = DriverBootServices->LocateProtocol(&FINGERPRINT_AUTH_PROTOCOL_GUID, nullptr,
                                                (VOID **)&Auth);
    ResultLine("protocol")
        .Key("name")
        .Text("fingerprint-auth")
        .Status(Status)
        .Key("function")
        .Text(Auth != nullptr && ImageContains(Image, (const VOID *)Auth->FingerprintAuthenticate)
                  ? "in-image"
                  : "elsewhere")
        .Emit();
  }

  if (!EFI_ERROR(Status)) {
    // The setup engine's password store: a user password, no administrator password.
    UINT8 Passwords[VELTRA_SETUP_SIZE];
    FillBytes(Passwords, sizeof(Passwords), 0);
    SetupPasswordForm("fingerpw", Passwords + VELTRA_USER_PASSWORD_OFFSET);
    WriteVariable(u"VELTRASetup", VELTRASETUP_GUID, EFI_VARIABLE_NV_BS_RT, sizeof(Passwords),
                  Passwords);
    // The module holds the user password from enrolment; on the second boot also whatever it
    // was given to store on the first.
    if (SecondBoot) {
      LoadModuleSlots();
    } else {
      ClearModuleSlots();
      UINT8 Form[PASSWORD_FORM_SIZE];
      ModulePasswordForm("fingerpw", Form);
      SetModuleSlot(FP_SLOT_USER, Form);
    }
    // The drive sits on SATA channel 0 on the first boot and on channel 1 on the second.
    const DriveSetup Drive = {SecondBoot ? 1u : 0u, 0, "diskpw"};
    InstallFingerprintServices(Drive, Module, ModuleLength);
    ReportFingerprintWorld("before");
    ReportNotebookVariables("before");
    ReportDisplay("before");

    if (!EFI_ERROR(ReserveWindow())) {
      UINT32 AuthFlags = 0; // a boot run
      UINT32 ControlFlags = 0;
      Note("authentication run");
      Status = Auth->FingerprintAuthenticate(&AuthFlags, SetupEngineQuery, &ControlFlags);
      ResultLine("auth")
          .Status(Status)
          .Key("authflags")
          .Hex(AuthFlags)
          .Key("controlflags")
          .Hex(ControlFlags)
          .Emit();
      CheckAndReleaseWindow();
    }
    ReportDisplay("after");
    ReportFingerprintWorld("after");
    ReportNotebookVariables("after");
    SaveModuleSlots();
    UninstallFingerprintServices();
  }
  UseSystemTable(nullptr);
  UninstallFirmwareVolume();
  DriverBootServices->FreePool(FileData);
  return Status;
}

} // namespace

EFI_STATUS FingerprintAuthFirstBoot() {
  return FingerprintRun(false);
}
EFI_STATUS FingerprintAuthSecondBoot() {
  return FingerprintRun(true);
}
