// FingerprintAuthDxe: the driver's state and operations, shared by its five parts:
//   auth_flow        the authentication run behind FINGERPRINT_AUTH_PROTOCOL
//   module_host      the legacy fingerprint module: low memory, request block, requests
//   console_dialogs  the no-password notice, text-mode choice, masked password entry
//   system_password  the power-on (user and administrator) password check
//   hdd_unlock       the SATA hard-disk password unlock and the drive map
#pragma once

#include "disk_info.h"
#include "efi_system_table.h"
#include "fingerprint_module.h"
#include "fingerprint_services.h"
#include "legacy_bios.h"

// ---- auth_flow ------------------------------------------------------------------------------
inline constexpr UINT8 PASSWORD_USER_SET = 0x01;
inline constexpr UINT8 PASSWORD_ADMIN_SET = 0x02;
inline constexpr UINT8 PASSWORD_DRIVE_LOCKED = 0x40;

inline constexpr UINT32 FINGERPRINT_READER_FOUND = 0x02;
inline constexpr UINT32 FINGERPRINT_SETUP_CHOSEN = 0x04;
inline constexpr UINT32 FINGERPRINT_REPLY_VALID = 0x10;

inline constexpr UINT32 UPEK_NOTICE_SUPPRESSED = 0x55AA55AA;
inline constexpr UINT8 SYS_PWD_INVALID_SYSTEM = 0x03;
inline constexpr UINTN DRIVE_MAP_SIZE = 50;

extern UINT8 PasswordFlags;     // 0x01, 0x02 from each store read; 0x40 only ever set
extern UINT32 FingerprintFlags; // only ever gains bits
extern UINT32 UpekFlagValue;
extern UINT8 SetupPasswordCopy[257];
extern UINT8 CallerAnswer[CALLER_ANSWER_SIZE];
extern UINT8 DriveMap[DRIVE_MAP_SIZE]; // "FpHdp2HdpMapFlag" in memory
extern PASSWORD_HASH_PROTOCOL *PasswordHash;

EFI_STATUS EFIAPI FingerprintAuthenticate(UINT32 *AuthFlags,
                                          FINGERPRINT_QUERY_CALLBACK QueryCallback,
                                          UINT32 *ControlFlags);
EFI_STATUS SetSysPwdInvalidBits(UINT8 Mask);
EFI_STATUS ClearSysPwdInvalidBits(UINT8 Mask);
VOID ReadSetupPasswordState();
EFI_STATUS ResetHardDiskMapping(UINT32 *ControlFlags);
EFI_STATUS CheckMultipleReaders();
BOOLEAN QueryLockedHardDisks();
EFI_STATUS FindDisplayController(EFI_HANDLE *Handle);
EFI_STATUS ReadPciClassRegister(EFI_HANDLE Handle, UINT32 *Value);

// ---- module_host ----------------------------------------------------------------------------
extern UINT8 ReaderCount; // matches of the latest reader scan
extern UINT8 ModuleStateByte;
extern UINT8 ModuleEchoByte;
extern UINT16 ModuleSlotMask;
extern USB_STACK_PROTOCOL *UsbStack;
extern EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *DialogConsoleOut;

inline FP_REQUEST_BLOCK_LAYOUT *RequestBlock() {
  return reinterpret_cast<FP_REQUEST_BLOCK_LAYOUT *>(FP_REQUEST_BLOCK);
}

EFI_STATUS LoadFingerprintModule(UINT32 *ControlFlags);
EFI_STATUS FindModuleSection(EFI_HANDLE Image, const EFI_GUID *Guid, VOID **Buffer, UINTN *Length);
EFI_STATUS SendModuleRequest(UINT8 Code, EFI_IA32_REGISTER_SET *Registers);
// Sends a request, repeating it at once while the module answers busy (0xFFFF), at most
// Attempts times; returns the last answer.
UINT16 SendModuleRequestWithRetries(UINT8 Code, UINTN Attempts);
EFI_STATUS StorePasswordInModule();
EFI_STATUS UnloadFingerprintModule();

// ---- console_dialogs ------------------------------------------------------------------------
extern UINTN ScreenRows;
extern UINTN ScreenColumns;
extern UINTN ScreenTextMode;

inline constexpr UINTN DIALOG_TEXT_WIDTH = 55;
inline constexpr UINTN DIALOG_ROW_ELEMENTS = 58;
inline constexpr UINTN DIALOG_ROWS = 14;
inline constexpr UINTN DIALOG_ATTRIBUTE = 0x1F; // white on blue
inline constexpr UINTN NORMAL_ATTRIBUTE = 0x0F; // white on black
inline constexpr UINTN PASSWORD_INPUT_ROW = 9;

UINTN FindTextMode(UINTN Rows, UINTN Columns);
VOID FormatDialogRow(const CHAR16 *Text, CHAR16 Left, CHAR16 Right, CHAR16 *Row);
VOID PrintDialogRow(UINT16 Index, const CHAR16 *Row);
EFI_STATUS DrawNoPasswordNotice(BOOLEAN Running);
VOID RestoreTextScreen(UINT8 Attribute);
EFI_STATUS ShowNoPasswordNotice(UINT32 *ControlFlags);
BOOLEAN ReadMaskedLine(CHAR16 *Line);
VOID FormatDriveNumber(CHAR16 *Buffer, UINT8 Value);
// Puts the console into text mode with a mode large enough for the dialogs (80 x 24 fallback).
VOID SelectDialogTextMode();
VOID OutputLines(const CHAR16 *const *Lines, UINTN Count);

// ---- system_password ----------------------------------------------------------------------
EFI_STATUS CheckSystemPasswords(UINT32 *AuthFlags, FINGERPRINT_QUERY_CALLBACK QueryCallback);
// The halt after three wrong entries: message, "SysPwdInvalidError" bits, TPL_HIGH_LEVEL, stop.
[[noreturn]] VOID HaltAfterWrongPasswords(UINT8 InvalidBits, BOOLEAN SystemPasswordRun);

// ---- hdd_unlock -----------------------------------------------------------------------------
inline constexpr UINTN MAX_SATA_DRIVES = 6;

extern UINT8 CurrentDrive;
extern UINT8 *CurrentMapEntry;
extern UINT8 DriveUnlocked;
extern UINT8 SlotClaimed[3];

EFI_STATUS UnlockHardDisks();
EFI_STATUS CollectSataDrives(HDD_SECURITY_PROTOCOL **Security, EFI_DISK_INFO_PROTOCOL **DiskInfo,
                             UINTN *Count, UINT8 *ControllerFunction);
VOID Crc16Xmodem(const UINT8 *Data, UINT32 Length, UINT16 *Result);
VOID RemapDriveEntry(UINT16 Crc);
VOID TryUnlockDrive(const UINT8 *Password, HDD_SECURITY_PROTOCOL *Security,
                    const UINT8 *SerialNumber);
VOID UnlockWithCallerPasswords(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber);
VOID UnlockWithRememberedMapping(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber);
EFI_STATUS PromptHardDiskPassword(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber);

// Small helpers for unaligned little-endian fields.
inline UINT16 ReadUint16(const UINT8 *P) {
  return (UINT16)(P[0] | (P[1] << 8));
}
inline VOID WriteUint16(UINT8 *P, UINT16 Value) {
  P[0] = (UINT8)Value;
  P[1] = (UINT8)(Value >> 8);
}
