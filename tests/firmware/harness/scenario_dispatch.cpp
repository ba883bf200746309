#include "board_addresses.h"
#include "boot_script_recorder.h"
#include "driver_globals.h"
#include "driver_images.h"
#include "fingerprint_services.h"
#include "guids.h"
#include "hardware_answers.h"
#include "notebook_variables.h"
#include "result_lines.h"
#include "scenarios.h"
#include "setup_variables.h"
#include "smm_stand_in.h"
#include "variable_report.h"
#include "volume_dispatch.h"

VOID ReportFingerprintProtocolIn(EFI_HANDLE Image, const char *Inside) {
  FINGERPRINT_AUTH_PROTOCOL *Auth = nullptr;
  EFI_STATUS Status =
      DriverBootServices->LocateProtocol(&FINGERPRINT_AUTH_PROTOCOL_GUID, nullptr, (VOID **)&Auth);
  ResultLine("protocol")
      .Key("name")
      .Text("fingerprint-auth")
      .Status(Status)
      .Key("function")
      .Text(Auth != nullptr && Image != nullptr &&
                    ImageContains(Image, (const VOID *)Auth->FingerprintAuthenticate)
                ? Inside
                : "elsewhere")
      .Emit();
}

VOID ReportFingerprintProtocol() {
  ReportFingerprintProtocolIn(DispatchedImage("FingerprintAuthDxe"), "in-dispatched-image");
}

EFI_STATUS DispatchScenario() {
  // What the fan driver's timer callback and its PM clearing will read on this machine.
  ReportMmio("answer", FCH_SMI_REGISTER_BASE + 0x97, 1);
  ReportMmio("answer", FCH_SMI_REGISTER_BASE + 0x91, 1);
  ReportIo("answer", 0x804, 2);
  // What the bridge probe will read: the vendor ID behind the bridge and its control byte.
  ReportMmio("answer", PcieConfigAddress(9, 5, 0, 0), 2);
  ReportMmio("answer", PcieConfigAddress(0, 0x14, 4, 0x42), 1);

  // The status service's variables, and "Setup" with the bridge probe switched on.
  StoreStatusVariables(/*UserEmpty=*/true, /*AdminEmpty=*/false, /*FingerprintEnrolled=*/true,
                       /*ReaderOption=*/1);
  UINT8 Setup[SETUP_VARIABLE_SIZE];
  UINTN Size = sizeof(Setup);
  UINT32 Attributes = 0;
  EFI_STATUS Status =
      DriverRuntimeServices->GetVariable(u"Setup", &SETUP_GUID, &Attributes, &Size, Setup);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Setup[SetupField::BridgeProbeSelect] = 1;
  WriteVariable(u"Setup", SETUP_GUID, EFI_VARIABLE_NV_BS_RT, sizeof(Setup), Setup);
  ReportVariable("before", u"Setup", SETUP_GUID);

  Status = OpenNotebookVolume(u"\\NotebookDrivers.fv", NotebookSystemTable());
  if (EFI_ERROR(Status)) {
    return Status;
  }

  Note("round 1: the firmware's own protocols");
  DispatchNotebookVolume();
  ReportVariable("round1", u"Setup", SETUP_GUID);
  ReportFingerprintProtocol();

  Note("round 2: the Framework boot-script protocol installed");
  InstallBootScriptRecorder();
  DispatchNotebookVolume();
  ReportAndClearBootScript();

  Note("round 3: the SMM base and software-SMI dispatch protocols installed");
  InstallSmmStandIn();
  DispatchNotebookVolume();
  RaisePeriodicSmi();
  RaisePeriodicSmi();
  AskStatusService("status 1: user password empty, administrator set, finger enrolled, reader on");
  StoreStatusVariables(/*UserEmpty=*/false, /*AdminEmpty=*/true, /*FingerprintEnrolled=*/false,
                       /*ReaderOption=*/1);
  AskStatusService("status 2: user set, administrator empty, no FPExistFlag");

  Note("round 4: nothing new installed");
  DispatchNotebookVolume();

  // The stand-ins live in the harness image, which goes when the harness returns.
  UninstallSmmStandIn();
  UninstallBootScriptRecorder();
  CloseNotebookVolume();
  return EFI_SUCCESS;
}
