// Stand-ins for the components around the fingerprint authentication driver that the emulated
// machine's firmware does not have, each as small as the driver's use of it allows:
//
// - USB_STACK_PROTOCOL with a USB data area holding the reader (type 6, 0483:2016) at device
//   entry 7 on controller 2; its switch member is reported
//       @fw usb op=switch enable=..
// - EFI_LEGACY_BIOS_PROTOCOL whose FarCall86 plays the legacy fingerprint module in 64-bit code:
//   it checks the host's side of the contract on every call (entry 4000:0003, DS:BX = 3000:1000,
//   AX 0, no stack, the request block's header, the module image at 0x40000 byte for byte, the
//   reader descriptor, the USB data copy at 0x32000, the rest of 0x30000..0x7FFFF zero; the
//   module's and the USB stack's constants are the harness's own) and answers the request from the
//   module's
//   stored password slots (kept across boots in a variable of the harness):
//       @fw module request=.. answer=.. contract=ok|<first broken part> slotmask=.. stored=..
// - EFI_CONSOLE_CONTROL_PROTOCOL:        @fw console op=setmode mode=..
// - PASSWORD_HASH_PROTOCOL (entries 1, 2 and 5 with the harness's password forms):
//       @fw hash entry=.. inlength=.. outlength=..
// - one SATA drive with HDD_SECURITY_PROTOCOL, EFI_DISK_INFO_PROTOCOL and a device path on PCI
//   function 0, security enabled and locked until the verify service accepts its user password,
//   and HDD_PASSWORD_VERIFY_PROTOCOL:
//       @fw hdd op=status|whichide|identify|verify ...
#pragma once

#include "efi_types.h"

// The low-memory window 0x30000..0x7FFFF that the module's run owns, as the module's side of the
// contract fixes it (stated here, not taken from the driver's header).
inline constexpr UINTN ModuleWindowBase = 0x30000;
inline constexpr UINTN ModuleWindowSize = 0x50000;

// The harness's password forms: the module's form (what the module stores and delivers, what the
// drive accepts) and the setup engine's stored form, 12 bytes each.
VOID ModulePasswordForm(const char *Password, UINT8 *Form);
VOID SetupPasswordForm(const char *Password, UINT8 *Form);

struct DriveSetup {
  UINT32 Channel; // from WhichIde
  UINT32 Device;
  const char *UserPassword;
};

// Installs all of the above. Module is the module image as the driver's firmware file carries
// it (the section data after its GUID).
EFI_STATUS InstallFingerprintServices(const DriveSetup &Drive, const UINT8 *Module,
                                      UINTN ModuleLength);
VOID UninstallFingerprintServices();

// The module's stored slots: cleared, set, kept in / taken from the harness's variable.
VOID ClearModuleSlots();
VOID SetModuleSlot(UINT16 SlotBit, const UINT8 *Form);
VOID SaveModuleSlots();
VOID LoadModuleSlots();

// Reports "@fw drive locked=.. status=.." and "@fw moduleslots mask=.. user=.. disk1=.." (the
// slots as names of the harness's passwords, never as text).
VOID ReportFingerprintWorld(const char *Tag);
