// PciBridgeProbeDxe: gives the south bridge's PCI-to-PCI bridge 0:14.4 the temporary bus 9,
// probes 9:05.0 behind it, sets or clears bit 2 of the bridge's register 0x42 by the Setup
// option and the probe, and records the final register byte in the S3 resume boot script.
#include "board_addresses.h"
#include "boot_script_save.h"
#include "driver_globals.h"
#include "guids.h"
#include "hardware_io.h"
#include "pci.h"
#include "setup_variables.h"
#include "variables.h"

namespace {

constexpr UINTN BridgeBusNumbers = PcieConfigAddress(0, 0x14, 4, PCI_BRIDGE_SECONDARY_BUS);
constexpr UINTN BridgeControl = PcieConfigAddress(0, 0x14, 4, 0x42);
constexpr UINTN ProbedVendorId = PcieConfigAddress(9, 5, 0, PCI_VENDOR_ID_OFFSET);
constexpr UINT16 ProbeBusNumbers = 0x0909; // secondary 9, subordinate 9
constexpr UINT8 ProbeBit = 0x04;
constexpr UINT64 BridgeControlScriptAddress = BootScriptPciAddress(0, 0x14, 4, 0x42);

static_assert(BridgeBusNumbers == 0xE00A4019 && BridgeControl == 0xE00A4042 &&
              ProbedVendorId == 0xE0928000 && BridgeControlScriptAddress == 0x140442);

} // namespace

extern "C" EFI_STATUS EFIAPI PciBridgeProbeEntryPoint(EFI_HANDLE ImageHandle,
                                                      EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverGlobals(ImageHandle, SystemTable);

  // The hardware steps do not depend on the boot-script protocol; without it the register is
  // still programmed, only no S3 entry can be recorded.
  EFI_BOOT_SCRIPT_SAVE_PROTOCOL *BootScript = nullptr;
  if (EFI_ERROR(DriverBootServices->LocateProtocol(&EFI_BOOT_SCRIPT_SAVE_PROTOCOL_GUID, nullptr,
                                                   (VOID **)&BootScript))) {
    BootScript = nullptr;
  }

  UINT8 *Setup = nullptr;
  UINTN SetupSize = 0;
  EFI_STATUS Status =
      ReadVariableGrowBuffer(u"Setup", &SETUP_GUID, nullptr, &SetupSize, (VOID **)&Setup);
  if (EFI_ERROR(Status)) {
    if (Setup != nullptr) {
      DriverBootServices->FreePool(Setup);
    }
    return Status;
  }
  // A short Setup image has no option byte: treat the option as clear (bit set unconditionally).
  UINT8 ProbeSelect =
      SetupSize > SetupField::BridgeProbeSelect ? Setup[SetupField::BridgeProbeSelect] : 0;
  DriverBootServices->FreePool(Setup);

  MmioWrite16(BridgeBusNumbers, ProbeBusNumbers);
  UINT16 VendorId = MmioRead16(ProbedVendorId);

  UINT8 Control = MmioRead8(BridgeControl);
  if (ProbeSelect != 0 && VendorId == 0xFFFF) {
    Control &= (UINT8)~ProbeBit;
  } else {
    Control |= ProbeBit;
  }
  MmioWrite8(BridgeControl, Control);

  MmioWrite16(BridgeBusNumbers, 0);

  if (BootScript != nullptr) {
    BootScript->Write(BootScript, EFI_ACPI_S3_RESUME_SCRIPT_TABLE,
                      EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE, (UINTN)EfiBootScriptWidthUint8,
                      BridgeControlScriptAddress, (UINTN)1, &Control);
  }
  return Status;
}
