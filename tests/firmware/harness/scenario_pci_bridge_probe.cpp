#include "board_addresses.h"
#include "boot_script_recorder.h"
#include "driver_images.h"
#include "guids.h"
#include "hardware_answers.h"
#include "pci.h"
#include "result_lines.h"
#include "scenarios.h"
#include "setup_variables.h"
#include "variable_report.h"

namespace {

constexpr UINTN BridgeBusNumbers = PcieConfigAddress(0, 0x14, 4, PCI_BRIDGE_SECONDARY_BUS);
constexpr UINTN BridgeControl = PcieConfigAddress(0, 0x14, 4, 0x42);
constexpr UINTN ProbedVendorId = PcieConfigAddress(9, 5, 0, PCI_VENDOR_ID_OFFSET);

VOID ReportBridge(const char *Tag) {
  ReportMmio(Tag, BridgeBusNumbers, 2);
  ReportMmio(Tag, ProbedVendorId, 2);
  ReportMmio(Tag, BridgeControl, 1);
}

} // namespace

EFI_STATUS PciBridgeProbeScenario() {
  ReportBridge("before");

  // Run 1: the store is fresh, there is no "Setup".
  InstallBootScriptRecorder();
  ReportVariable("fresh", u"Setup", SETUP_GUID);
  Note("run 1: no Setup variable");
  RunDriverFile("PciBridgeProbeDxe");
  ReportAndClearBootScript();

  // Run 2: "Setup" with the probe option set.
  UINT8 Setup[SETUP_VARIABLE_SIZE];
  FillSetupPattern(Setup);
  Setup[SetupField::BridgeProbeSelect] = 1;
  WriteVariable(u"Setup", SETUP_GUID, EFI_VARIABLE_NV_BS_RT, sizeof(Setup), Setup);
  ReportVariable("before", u"Setup", SETUP_GUID);
  Note("run 2: Setup with BridgeProbeSelect 1");
  RunDriverFile("PciBridgeProbeDxe");
  ReportAndClearBootScript();
  ReportVariable("after", u"Setup", SETUP_GUID);
  ReportBridge("after");

  // Run 3: as the firmware is on its own, without the Framework boot-script protocol.
  UninstallBootScriptRecorder();
  Note("run 3: no boot-script protocol");
  return RunDriverFile("PciBridgeProbeDxe");
}
