// Layouts of the setup engine's variables and of the port NV records that the drivers read and
// rewrite. The setup engine owns "Setup" and "VELTRASetup"; each driver touches only its own
// bytes and carries all others through unchanged.
#pragma once

#include "efi_types.h"

// ---- "Setup" under SETUP_GUID -----------------------------------------------------------------
inline constexpr UINTN SETUP_VARIABLE_SIZE = 662;

namespace SetupField {
inline constexpr UINTN StrapGatedOption1 = 0x0E6;
inline constexpr UINTN StrapGatedOption2 = 0x0E7;
inline constexpr UINTN TpmPresent = 0x126;
inline constexpr UINTN LinkedOption1 = 0x208;
inline constexpr UINTN LinkedOption2 = 0x214;
inline constexpr UINTN LinkedOption3 = 0x216;
inline constexpr UINTN FingerprintReaderOption = 0x218;
inline constexpr UINTN LptEnable = 0x221;
inline constexpr UINTN BridgeProbeSelect = 0x22D;
inline constexpr UINTN Com1Selection = 0x289;
inline constexpr UINTN Com2Selection = 0x28A;
inline constexpr UINTN OptionStrapLatch = 0x28D;
inline constexpr UINTN Com2StrapLatch = 0x28E;
inline constexpr UINTN NvidiaDevicePresent = 0x28F;
inline constexpr UINTN LptStrapActive = 0x290;
inline constexpr UINTN LinkedOptionsSwitch = 0x292;
} // namespace SetupField

// ---- "VELTRASetup" under VELTRASETUP_GUID (the setup engine's password store) ------------------
inline constexpr UINTN VELTRA_SETUP_SIZE = 257;
inline constexpr UINTN VELTRA_USER_PASSWORD_OFFSET = 0;
inline constexpr UINTN VELTRA_ADMIN_PASSWORD_OFFSET = 128;
inline constexpr UINTN VELTRA_PASSWORD_FIELD_SIZE = 128;

// ---- Port NV records: "PNP0400_0_NV", "PNP0501_0_NV", "PNP0501_1_NV" under PNP_NV_GUID -------
typedef struct {
  UINT8 Enable;   // 0 port off, 1 port on
  UINT8 Setting;  // number of the resource setting chosen for the port
  UINT8 Reserved; // carried through as read
} PortNvRecord;
static_assert(sizeof(PortNvRecord) == 3 && offsetof(PortNvRecord, Setting) == 1 &&
              offsetof(PortNvRecord, Reserved) == 2);

// "SetupCom1DetectData" / "SetupCom2DetectData": 2 bytes each, opaque to the drivers.
inline constexpr UINTN COM_DETECT_RECORD_SIZE = 2;

inline constexpr EFI_GUID PNP_NV_GUID = {
    0x560BF58A, 0x1E0D, 0x4D7E, {0x95, 0x3F, 0x29, 0x80, 0xA2, 0x61, 0xE0, 0x31}};
inline constexpr EFI_GUID SETUP_COM1_DETECT_GUID = {
    0x6507229F, 0x2FFF, 0x450A, {0xA4, 0xE6, 0x70, 0x92, 0x19, 0x93, 0x25, 0x4D}};
inline constexpr EFI_GUID SETUP_COM2_DETECT_GUID = {
    0x5BC6139A, 0x87C5, 0x4551, {0xA9, 0x60, 0x1C, 0x7A, 0x08, 0xEC, 0x29, 0x3E}};
