#include "board_addresses.h"
#include "driver_globals.h"
#include "guids.h"
#include "hardware_answers.h"
#include "notebook_variables.h"
#include "pci.h"
#include "result_lines.h"
#include "scenarios.h"
#include "setup_variables.h"
#include "variable_report.h"
#include "volume_dispatch.h"

namespace {

constexpr UINTN GraphicsBridge = PcieConfigAddress(0, 2, 0, 0);

// What the driver's probes will read, with its widths: the three straps, the graphics
// bridge's subordinate bus number and the vendor ID on that bus, the TPM identity bytes.
VOID ReportBoardAnswers() {
  ReportMmio("answer", FCH_COM2_STRAP, 1);
  ReportMmio("answer", FCH_LPT_STRAP, 1);
  ReportMmio("answer", FCH_OPTION_STRAP, 1);
  UINT32 Bus = ReportMmio("answer", GraphicsBridge + PCI_BRIDGE_SUBORDINATE_BUS, 1);
  ReportMmio("answer", PcieConfigAddress(Bus, 0, 0, PCI_VENDOR_ID_OFFSET), 2);
  for (UINTN Index = 0; Index < 4; Index++) {
    ReportMmio("answer", TPM_DID_VID + Index, 1);
  }
}

// The driver as a platform starts it: the DXE core dispatches NotebookDrivers.fv, whose first
// round (the firmware's own protocols) starts SetupHwSyncDxe (and FingerprintAuthDxe, which
// touches none of these variables at its start); the settings are read back after that round.
EFI_STATUS DispatchAndReport() {
  EFI_STATUS Status = OpenNotebookVolume(u"\\NotebookDrivers.fv", NotebookSystemTable());
  if (!EFI_ERROR(Status)) {
    Status = DispatchNotebookVolume();
  }
  ReportSettingVariables("after");
  CloseNotebookVolume();
  return Status;
}

EFI_STATUS WriteSetting(const CHAR16 *Name, const EFI_GUID &Guid, UINTN Size, const VOID *Data) {
  return WriteVariable(Name, Guid, EFI_VARIABLE_NV_BS_RT, Size, Data);
}

} // namespace

EFI_STATUS SetupHwSyncFirstBoot() {
  ReportBoardAnswers();

  // The setup engine's store as a user left it: both latches set from an earlier boot with
  // the straps active, COM1 on choice 3, COM2 on choice 4, the linked options switched on,
  // the parallel port enabled, stale device flags.
  UINT8 Setup[SETUP_VARIABLE_SIZE];
  FillSetupPattern(Setup);
  Setup[SetupField::StrapGatedOption1] = 0;
  Setup[SetupField::StrapGatedOption2] = 0;
  Setup[SetupField::TpmPresent] = 0;
  Setup[SetupField::LinkedOption1] = 0;
  Setup[SetupField::LinkedOption2] = 0;
  Setup[SetupField::LinkedOption3] = 0;
  Setup[SetupField::LptEnable] = 1;
  Setup[SetupField::Com1Selection] = 3;
  Setup[SetupField::Com2Selection] = 4;
  Setup[SetupField::OptionStrapLatch] = 1;
  Setup[SetupField::Com2StrapLatch] = 1;
  Setup[SetupField::NvidiaDevicePresent] = 1;
  Setup[SetupField::LptStrapActive] = 1;
  Setup[SetupField::LinkedOptionsSwitch] = 1;
  WriteSetting(u"Setup", SETUP_GUID, sizeof(Setup), Setup);

  const PortNvRecord Lpt = {0, 2, 0x5A};
  const PortNvRecord Com1 = {0, 1, 0xA5};
  const PortNvRecord Com2 = {0, 4, 0x3C};
  const UINT8 Com1Detect[COM_DETECT_RECORD_SIZE] = {0x12, 0x34};
  const UINT8 Com2Detect[COM_DETECT_RECORD_SIZE] = {0x56, 0x78};
  WriteSetting(u"PNP0400_0_NV", PNP_NV_GUID, sizeof(Lpt), &Lpt);
  WriteSetting(u"PNP0501_0_NV", PNP_NV_GUID, sizeof(Com1), &Com1);
  WriteSetting(u"PNP0501_1_NV", PNP_NV_GUID, sizeof(Com2), &Com2);
  WriteSetting(u"SetupCom1DetectData", SETUP_COM1_DETECT_GUID, sizeof(Com1Detect), Com1Detect);
  WriteSetting(u"SetupCom2DetectData", SETUP_COM2_DETECT_GUID, sizeof(Com2Detect), Com2Detect);

  ReportSettingVariables("before");
  return DispatchAndReport();
}

EFI_STATUS SetupHwSyncSecondBoot() {
  ReportBoardAnswers();
  ReportSettingVariables("stored");

  // The user picks COM2 choice 4 and turns both gated options off in setup.
  UINT8 Setup[SETUP_VARIABLE_SIZE];
  UINTN Size = sizeof(Setup);
  UINT32 Attributes = 0;
  EFI_STATUS Status =
      DriverRuntimeServices->GetVariable(u"Setup", &SETUP_GUID, &Attributes, &Size, Setup);
  if (EFI_ERROR(Status) || Size != sizeof(Setup)) {
    Note("second boot: no 662-byte Setup to change");
    return EFI_ERROR(Status) ? Status : EFI_BAD_BUFFER_SIZE;
  }
  Setup[SetupField::Com2Selection] = 4;
  Setup[SetupField::StrapGatedOption1] = 0;
  Setup[SetupField::StrapGatedOption2] = 0;
  WriteSetting(u"Setup", SETUP_GUID, sizeof(Setup), Setup);

  ReportSettingVariables("before");
  return DispatchAndReport();
}
