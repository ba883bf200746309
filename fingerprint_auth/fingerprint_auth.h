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

// Each part's shared state is listed under its heading: these are the driver's globals (zero
// when the image is loaded unless an initial value is given), read and written across parts
// and across runs of the same boot. Everything else a part keeps is private to its file.

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
inline constexpr CHAR16 UPEK_FLAG_NAME[] = u"UPEKFLAG";
inline constexpr CHAR16 DRIVE_MAP_NAME[] = u"FpHdp2HdpMapFlag";

// Shared state of auth_flow.
// PASSWORD_USER_SET and PASSWORD_ADMIN_SET, decided afresh by each good read of the password
// store (ReadSetupPasswordState); PASSWORD_DRIVE_LOCKED, set by QueryLockedHardDisks and never
// cleared.
extern UINT8 PasswordFlags;
// FINGERPRINT_* bits; only ever gains bits (reader scan, notice's F1, valid fingerprint reply).
extern UINT32 FingerprintFlags;
// The "UPEKFLAG" value: the stored one when it can be read (else an earlier run's), 0 once a run
// rewrote the variable, UPEK_NOTICE_SUPPRESSED after the notice's F3.
extern UINT32 UpekFlagValue;
// The password store as last read successfully; the system-password check compares with it.
extern UINT8 SetupPasswordCopy[257];
// The caller's answer buffer, filled by QueryCallback; wiped when a run returns.
extern UINT8 CallerAnswer[CALLER_ANSWER_SIZE];
// "FpHdp2HdpMapFlag" in memory: read after the fingerprint request, stored by UnlockHardDisks.
extern UINT8 DriveMap[DRIVE_MAP_SIZE];
// Located by each run before the password checks; both checks hash through it.
extern PASSWORD_HASH_PROTOCOL *PasswordHash;

// The one service of FINGERPRINT_AUTH_PROTOCOL. Clears the verdict bits of *AuthFlags, loads the
// module and runs the checks; EFI_ABORTED when the run stops before a password check (and when
// the module cannot be loaded), the locate status when PASSWORD_HASH_PROTOCOL is missing, else
// UnlockHardDisks's status (drive run) or EFI_SUCCESS (system-password run). Unloads the module
// and wipes CallerAnswer before it returns, once the module was loaded.
EFI_STATUS EFIAPI FingerprintAuthenticate(UINT32 *AuthFlags,
                                          FINGERPRINT_QUERY_CALLBACK QueryCallback,
                                          UINT32 *ControlFlags);
// Sets Mask in the stored "SysPwdInvalidError" byte (Mask alone when it cannot be read); always
// EFI_SUCCESS, whatever the write returns.
EFI_STATUS SetSysPwdInvalidBits(UINT8 Mask);
// Clears Mask in the stored "SysPwdInvalidError" byte; writes nothing when it cannot be read.
// Always EFI_SUCCESS.
EFI_STATUS ClearSysPwdInvalidBits(UINT8 Mask);
// The driver's own variables live under EFI_GLOBAL_VARIABLE: GetVariable without attributes
// and SetVariable, with their statuses.
EFI_STATUS GetGlobalVariable(const CHAR16 *Name, UINTN *Size, VOID *Data);
EFI_STATUS SetGlobalVariable(const CHAR16 *Name, UINT32 Attributes, UINTN Size, VOID *Data);
// TRUE when all Length bytes are zero (an empty password field or candidate).
BOOLEAN IsAllZero(const UINT8 *Bytes, UINTN Length);
// Reads the password store into SetupPasswordCopy and, when the read succeeds, sets or clears
// PASSWORD_USER_SET and PASSWORD_ADMIN_SET of PasswordFlags by whether each field is non-zero.
VOID ReadSetupPasswordState();
// Asked for by CONTROL_RESET_MAPPING: clears DriveMap and its stored copy, then asks the module
// to forget its mapping. EFI_SUCCESS (the bit is then cleared) means the reset is done;
// EFI_ABORTED means none was asked for, or the module refused it.
EFI_STATUS ResetHardDiskMapping(UINT32 *ControlFlags);
// EFI_ABORTED when the latest reader scan (ReaderCount) found two or more readers, after
// setting "Fp1820ErrorFlag"; else EFI_SUCCESS.
EFI_STATUS CheckMultipleReaders();
// TRUE when any collected drive has its security enabled; sets PASSWORD_DRIVE_LOCKED in
// PasswordFlags when such a drive is also locked. FALSE when no drive can be collected.
BOOLEAN QueryLockedHardDisks();
// The first PCI I/O handle whose class code is a display controller: EFI_SUCCESS with *Handle
// set; EFI_NOT_FOUND when there is none or a class read fails first; else the handle search's
// status.
EFI_STATUS FindDisplayController(EFI_HANDLE *Handle);
// The configuration dword at 08h (class code in bits 31:24) through the handle's PCI I/O:
// EFI_UNSUPPORTED when the handle has none, else the read's status.
EFI_STATUS ReadPciClassRegister(EFI_HANDLE Handle, UINT32 *Value);

// ---- module_host ----------------------------------------------------------------------------
// Shared state of module_host.
// Readers found by the latest scan of the USB device table.
extern UINT8 ReaderCount;
// The block's State byte after the fingerprint request (0xFF from each load); handed back to
// the module with every password it is given.
extern UINT8 ModuleStateByte;
// The block's Echo byte after the fingerprint request; sent in every request.
extern UINT8 ModuleEchoByte;
// FP_SLOT_* bits of the slots the module holds a password in: its fingerprint reply, and every
// password given to it since (0 from each load).
extern UINT16 ModuleSlotMask;
// Located by each load; its device table is scanned and copied into low memory.
extern USB_STACK_PROTOCOL *UsbStack;
// The console output of this run (NULL when the handle has none); the notice draws on it.
extern EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *DialogConsoleOut;

// The module's request block in low memory.
inline FP_REQUEST_BLOCK_LAYOUT *RequestBlock() {
  return reinterpret_cast<FP_REQUEST_BLOCK_LAYOUT *>(FP_REQUEST_BLOCK);
}

// Finds the reader, saves the low-memory window and places the module, the USB data copy and
// the reader descriptor there, takes a work buffer and lowers the TPL to TPL_APPLICATION; writes
// ReaderCount, ModuleStateByte, ModuleSlotMask, UsbStack, DialogConsoleOut and the reader-found
// bits. EFI_SUCCESS means loaded (UnloadFingerprintModule undoes it); EFI_NOT_FOUND no reader;
// EFI_LOAD_ERROR a module section empty or too large; else the failing service's status, with
// nothing held.
EFI_STATUS LoadFingerprintModule(UINT32 *ControlFlags);
// The first freeform section of the image's own firmware file whose data starts with Guid: a
// pool buffer the caller frees (*Buffer, the GUID included) and its size (*Length, when not
// NULL). EFI_NOT_FOUND when the image's path has no firmware-file node; else the status of the
// HandleProtocol or ReadSection that failed.
EFI_STATUS FindModuleSection(EFI_HANDLE Image, const EFI_GUID *Guid, VOID **Buffer, UINTN *Length);
// Fills the request block for request Code and calls the module with DS:BX at the block; its
// answer is in Registers->X.AX. Always EFI_SUCCESS.
EFI_STATUS SendModuleRequest(UINT8 Code, EFI_IA32_REGISTER_SET *Registers);
// Sends a request, repeating it at once while the module answers busy (0xFFFF), at most
// Attempts times; returns the last answer.
UINT16 SendModuleRequestWithRetries(UINT8 Code, UINTN Attempts);
// Gives the module the password the caller put into the block (its SlotMask and field), with
// ModuleStateByte; adds SlotMask to ModuleSlotMask and puts the block back as it was before the
// request. Always EFI_SUCCESS.
EFI_STATUS StorePasswordInModule();
// Puts the low-memory window back and releases its backup and the (cleared) work buffer; does
// nothing for what is not held, so a second call changes nothing. Always EFI_SUCCESS.
EFI_STATUS UnloadFingerprintModule();

// ---- console_dialogs ------------------------------------------------------------------------
// Shared state of console_dialogs: the console size the dialogs are laid out for (100 x 31
// until a text mode is refused, then 80 x 24) and the mode chosen for it.
extern UINTN ScreenRows;
extern UINTN ScreenColumns;
extern UINTN ScreenTextMode;

inline constexpr UINTN DIALOG_TEXT_WIDTH = 55;
inline constexpr UINTN DIALOG_ROW_ELEMENTS = 58;
inline constexpr UINTN DIALOG_ROWS = 14;
inline constexpr UINTN DIALOG_ATTRIBUTE = 0x1F; // white on blue
inline constexpr UINTN NORMAL_ATTRIBUTE = 0x0F; // white on black
inline constexpr UINTN PASSWORD_INPUT_ROW = 9;

// The first mode of DialogConsoleOut with at least Columns x Rows; 0 when it reports no mode,
// its MaxMode (a number SetMode refuses) when no mode is large enough.
UINTN FindTextMode(UINTN Rows, UINTN Columns);
// Row (DIALOG_ROW_ELEMENTS characters) = Left, Text cut or padded with blanks to 55
// characters (a rule of horizontal lines for a NULL Text), Right, zeros.
VOID FormatDialogRow(const CHAR16 *Text, CHAR16 Left, CHAR16 Right, CHAR16 *Row);
// Prints Row as line Index of the dialog box, centred for ScreenColumns x ScreenRows.
VOID PrintDialogRow(UINT16 Index, const CHAR16 *Row);
// Draws the whole notice box; its last text line offers a pause when Running, else a resume.
// EFI_SUCCESS, or the row buffer's allocation failure (nothing drawn).
EFI_STATUS DrawNoPasswordNotice(BOOLEAN Running);
// Cursor off, Attribute, clear screen on DialogConsoleOut.
VOID RestoreTextScreen(UINT8 Attribute);
// The no-password notice with its countdown. EFI_ABORTED when a key ended it (F1 also sets
// CONTROL_ENTER_SETUP and FINGERPRINT_SETUP_CHOSEN; F3 stores UPEK_NOTICE_SUPPRESSED in
// UpekFlagValue and "UPEKFLAG"), EFI_SUCCESS when the countdown ran out; EFI_NOT_FOUND without
// DialogConsoleOut, or the console-control locate status (nothing shown then).
EFI_STATUS ShowNoPasswordNotice(UINT32 *ControlFlags);
// Reads keys into Line (TYPED_LINE_LENGTH + 1 characters), echoing a mask character each;
// TRUE for a line of at least one character (the rest of Line zero), FALSE for Enter alone.
BOOLEAN ReadMaskedLine(CHAR16 *Line);
// Value 0 to 99 as decimal text in Buffer (3 characters); "0" for 100 and more.
VOID FormatDriveNumber(CHAR16 *Buffer, UINT8 Value);
// Puts the console into text mode with a mode large enough for the dialogs (80 x 24 fallback);
// writes ScreenTextMode, and ScreenRows and ScreenColumns when it falls back.
VOID SelectDialogTextMode();
// Outputs the Count strings on the system table's ConOut, in order.
VOID OutputLines(const CHAR16 *const *Lines, UINTN Count);
// Clears the system table's ConOut and puts its cursor at column 0 of Row.
VOID ClearConsoleToRow(UINTN Row);
// The answer to a wrong typed password: " Password Incorrect.  Try again." on row 2 of a cleared
// ConOut.
VOID ShowPasswordIncorrect();

// ---- system_password ----------------------------------------------------------------------
// Verifies the set system passwords from the module's slots, then the caller's answer (into
// CallerAnswer), then typed entries, and sets AUTH_ADMIN_VERIFIED or AUTH_USER_VERIFIED in
// *AuthFlags for each one verified; one verified from the answer or typed is given to the module.
// Always EFI_SUCCESS; does not return after three wrong entries.
EFI_STATUS CheckSystemPasswords(UINT32 *AuthFlags, FINGERPRINT_QUERY_CALLBACK QueryCallback);
// The halt after three wrong entries: message, "SysPwdInvalidError" bits, TPL_HIGH_LEVEL, stop.
[[noreturn]] VOID HaltAfterWrongPasswords(UINT8 InvalidBits, BOOLEAN SystemPasswordRun);

// ---- hdd_unlock -----------------------------------------------------------------------------
inline constexpr UINTN MAX_SATA_DRIVES = 6;

// Shared state of hdd_unlock, for the drive being unlocked.
// Its number (0 to 5).
extern UINT8 CurrentDrive;
// Its entry in DriveMap: the serial number's CRC, then one byte per module slot that opens it.
extern UINT8 *CurrentMapEntry;
// 1 once a password opened it.
extern UINT8 DriveUnlocked;
// 1 for each hard-disk slot of the module that holds the password of a drive opened this run.
extern UINT8 SlotClaimed[3];

// Opens each locked SATA drive (caller's candidates or remembered slots, then a prompt) and
// stores DriveMap when it changed. Returns the status of the last drive probe (EFI_SUCCESS when
// no drive was probed); does not return when a drive's attempts are used up or after three
// wrong entries.
EFI_STATUS UnlockHardDisks();
// Up to MAX_SATA_DRIVES drives with security, a PCI node in their path and disk info: their
// interfaces and controller functions, and *Count. EFI_SUCCESS; else the status of the
// password-verify locate (*Count untouched) or of the handle search (*Count 0).
EFI_STATUS CollectSataDrives(HDD_SECURITY_PROTOCOL **Security, EFI_DISK_INFO_PROTOCOL **DiskInfo,
                             UINTN *Count, UINT8 *ControllerFunction);
// CRC-16/XMODEM (polynomial 1021h, initial 0, most significant bit first) of Length bytes.
VOID Crc16Xmodem(const UINT8 *Data, UINT32 Length, UINT16 *Result);
// The drive of CurrentMapEntry has serial CRC Crc: a map entry that holds Crc is swapped with
// CurrentMapEntry (the map is then dirty); without one Crc is written into CurrentMapEntry.
VOID RemapDriveEntry(UINT16 Crc);
// What became of a password with the current drive.
enum class UnlockOutcome : UINT8 {
  Opened,
  Refused,   // the drive refused it as user password and did not take it as master password
  Unsettled, // its user verify was not sent (attempt budget), or a verify failed on the way
};
// Verifies Password with the current drive, as user then as master password. Each verify is
// sent only while more attempts are left in the drive's count of this boot than its reserve
// (UserReserve, MasterReserve), never when the drive refused it before or reports its count
// expired. Sets DriveUnlocked to 1 and clears the drive's "SysPwdInvalidError" bit when it
// opens, else to 0.
UnlockOutcome TryUnlockDrive(const UINT8 *Password, UINTN UserReserve, UINTN MasterReserve,
                             HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber);
// Tries the caller's four hard-disk candidates in CallerAnswer within the attempts the prompt
// can spare; the one that opens the drive is learned in the map and the module's slots
// (SlotClaimed, CurrentMapEntry), never in a slot another drive claimed or remembers.
VOID UnlockWithCallerPasswords(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber);
// Tries the module slots CurrentMapEntry remembers (hard-disk slots, then user, else
// administrator) within the attempts the prompt can spare; a slot the drive refused is
// forgotten in the map, a hard-disk slot that opens is claimed.
VOID UnlockWithRememberedMapping(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber);
// Up to three typed passwords for the current drive. EFI_SUCCESS for Enter alone or when the
// opening password was learned; EFI_ABORTED when the drive opened but no slot was left to learn
// it. Does not return after three wrong entries or when the attempts are used up.
EFI_STATUS PromptHardDiskPassword(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber);
