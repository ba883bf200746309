#include "driver_globals.h"
#include "driver_images.h"
#include "fingerprint_module.h"
#include "fingerprint_services.h"
#include "fingerprint_stand_ins.h"
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
#include "volume_dispatch.h"

namespace {

constexpr UINTN WindowPages = ModuleWindowSize / EFI_PAGE_SIZE;

UINT8 WindowPattern(UINTN Offset) {
  return (UINT8)((Offset * 7) ^ (Offset >> 9) ^ 0x96);
}

// Takes 0x30000..0x7FFFF from the firmware's memory map and fills it with a pattern, so that
// whatever the run leaves there shows.
EFI_STATUS ReserveWindow() {
  EFI_PHYSICAL_ADDRESS Address = ModuleWindowBase;
  EFI_STATUS Status = DriverBootServices->AllocatePages(AllocateAddress, EfiBootServicesData,
                                                        WindowPages, &Address);
  ResultLine("window")
      .Key("op")
      .Text("reserve")
      .Key("base")
      .Hex(ModuleWindowBase)
      .Key("size")
      .Hex(ModuleWindowSize)
      .Status(Status)
      .Emit();
  if (!EFI_ERROR(Status)) {
    UINT8 *Window = (UINT8 *)ModuleWindowBase;
    for (UINTN Offset = 0; Offset < ModuleWindowSize; Offset++) {
      Window[Offset] = WindowPattern(Offset);
    }
  }
  return Status;
}

VOID CheckAndReleaseWindow() {
  const UINT8 *Window = (const UINT8 *)ModuleWindowBase;
  UINTN Mismatches = 0;
  UINTN First = 0;
  for (UINTN Offset = 0; Offset < ModuleWindowSize; Offset++) {
    if (Window[Offset] != WindowPattern(Offset)) {
      if (Mismatches++ == 0) {
        First = ModuleWindowBase + Offset;
      }
    }
  }
  ResultLine("window")
      .Key("op")
      .Text("check")
      .Key("base")
      .Hex(ModuleWindowBase)
      .Key("size")
      .Hex(ModuleWindowSize)
      .Key("mismatches")
      .Dec(Mismatches)
      .Key("first")
      .Hex(First)
      .Emit();
  DriverBootServices->FreePages(ModuleWindowBase, WindowPages);
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

EFI_STATUS FingerprintRun(bool SecondBoot) {
  // The driver as the notebook's firmware starts it: dispatched by the DXE core from the volume,
  // with the notebook's variable namespace in its system table.
  EFI_STATUS Status = OpenNotebookVolume(u"\\NotebookDrivers.fv", NotebookSystemTable());
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Note("round 1: the firmware's own protocols");
  DispatchNotebookVolume();
  ReportFingerprintProtocol();
  EFI_HANDLE Image = DispatchedImage("FingerprintAuthDxe");
  FINGERPRINT_AUTH_PROTOCOL *Auth = nullptr;
  Status =
      DriverBootServices->LocateProtocol(&FINGERPRINT_AUTH_PROTOCOL_GUID, nullptr, (VOID **)&Auth);
  // A protocol left behind by an image the core unloaded points into freed memory: not called.
  if (!EFI_ERROR(Status) &&
      (Image == nullptr || !ImageContains(Image, (const VOID *)Auth->FingerprintAuthenticate))) {
    Status = EFI_NOT_FOUND;
  }
  // The module image as the volume holds it (the section's data after its GUID), for the module
  // stand-in to compare with what the driver places at 0x40000.
  UINT8 *Section = nullptr;
  UINTN SectionLength = 0;
  if (!EFI_ERROR(Status)) {
    Status = ReadDispatchedSection(Image, FINGERPRINT_MODULE_SECTION_GUID, (VOID **)&Section,
                                   &SectionLength);
    if (EFI_ERROR(Status)) {
      Note("the volume holds no legacy fingerprint module section for the driver");
    }
  }
  const UINT8 *Module = Section != nullptr ? Section + sizeof(EFI_GUID) : nullptr;
  UINTN ModuleLength = Section != nullptr ? SectionLength - sizeof(EFI_GUID) : 0;

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
  if (Section != nullptr) {
    DriverBootServices->FreePool(Section);
  }
  CloseNotebookVolume();
  return Status;
}

} // namespace

EFI_STATUS FingerprintAuthFirstBoot() {
  return FingerprintRun(false);
}
EFI_STATUS FingerprintAuthSecondBoot() {
  return FingerprintRun(true);
}
