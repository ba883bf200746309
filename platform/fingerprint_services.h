// The outside firmware services the fingerprint authentication driver leans on (USB stack,
// per-drive HDD security, drive-password verify, password hash) and the protocol it publishes
// for the setup engine. Only the members the driver calls are fixed; the rest of each table is
// the providing component's business.
#pragma once

#include "efi_types.h"

// ---- FINGERPRINT_AUTH_PROTOCOL (published by FingerprintAuthDxe) ------------------------------
inline constexpr EFI_GUID FINGERPRINT_AUTH_PROTOCOL_GUID = {
    0x28899B8A, 0xC560, 0x427E, {0xA0, 0xFB, 0x7C, 0x30, 0x58, 0x65, 0xD9, 0x2D}};

// The setup engine's answer function: code 2 (go on?) writes byte 0 of the answer; code 1
// writes the caller's passwords (bytes 0..72). Its result is not used.
typedef EFI_STATUS(EFIAPI *FINGERPRINT_QUERY_CALLBACK)(UINTN QueryCode, UINT8 *CallerAnswer);

typedef EFI_STATUS(EFIAPI *FINGERPRINT_AUTHENTICATE)(UINT32 *AuthFlags,
                                                     FINGERPRINT_QUERY_CALLBACK QueryCallback,
                                                     UINT32 *ControlFlags);

typedef struct {
  FINGERPRINT_AUTHENTICATE FingerprintAuthenticate;
} FINGERPRINT_AUTH_PROTOCOL;
static_assert(sizeof(FINGERPRINT_AUTH_PROTOCOL) == 8);

// AuthFlags
inline constexpr UINT32 AUTH_SYSTEM_PASSWORD_RUN = 0x00000002;   // in
inline constexpr UINT32 AUTH_CONSOLE_RESTORED = 0x00000004;      // out
inline constexpr UINT32 AUTH_USER_ALONE_NOT_ENOUGH = 0x20000000; // in, boot run
inline constexpr UINT32 AUTH_USER_VERIFIED = 0x40000000;         // out
inline constexpr UINT32 AUTH_ADMIN_VERIFIED = 0x80000000;        // out
// ControlFlags
inline constexpr UINT32 CONTROL_READER_FOUND = 0x00000002;  // out
inline constexpr UINT32 CONTROL_ENTER_SETUP = 0x00000004;   // out (F1 in the notice)
inline constexpr UINT32 CONTROL_RESET_MAPPING = 0x00000020; // in/out
// Query codes
inline constexpr UINTN QUERY_PASSWORDS = 1;
inline constexpr UINTN QUERY_GO_ON = 2;

// CallerAnswer layout (80 bytes)
inline constexpr UINTN CALLER_ANSWER_SIZE = 80;
inline constexpr UINTN CALLER_ANSWER_FLAG = 0;
inline constexpr UINTN CALLER_ANSWER_ADMIN = 1;
inline constexpr UINTN CALLER_ANSWER_USER = 13;
inline constexpr UINTN CALLER_ANSWER_DISK_CANDIDATES = 25; // four of 12 bytes
inline constexpr UINTN PASSWORD_FORM_SIZE = 12;

// ---- USB_STACK_PROTOCOL
// ---------------------------------------------------------------------------
inline constexpr EFI_GUID USB_STACK_PROTOCOL_GUID = {
    0x2AD8E2D2, 0x2E91, 0x4CD1, {0x95, 0xF5, 0xE7, 0x8F, 0xE5, 0xEB, 0xE3, 0x16}};

// Called with TRUE before the display controller is handed over for the fingerprint request
// and with FALSE after the console is restored. No interface pointer; result not used.
typedef EFI_STATUS(EFIAPI *USB_STACK_SWITCH)(BOOLEAN Enable);

typedef struct {
  VOID *UsbData;         // the USB data area (a data pointer, not a function)
  VOID *OtherMembers[3]; // the stack's own services, not used here
  USB_STACK_SWITCH Switch;
} USB_STACK_PROTOCOL;
static_assert(offsetof(USB_STACK_PROTOCOL, UsbData) == 0 &&
              offsetof(USB_STACK_PROTOCOL, Switch) == 0x20);

// ---- HDD_SECURITY_PROTOCOL (one instance per SATA drive) ------------------------------------
inline constexpr EFI_GUID HDD_SECURITY_PROTOCOL_GUID = {
    0xF4F63529, 0x281E, 0x4040, {0xA3, 0x13, 0xC1, 0xD6, 0x76, 0x63, 0x84, 0xBE}};

struct HDD_SECURITY_PROTOCOL;
// The ATA security status word (IDENTIFY DEVICE word 128 meanings).
typedef EFI_STATUS(EFIAPI *HDD_SECURITY_GET_STATUS)(HDD_SECURITY_PROTOCOL *This,
                                                    UINT16 *SecurityStatus);
struct HDD_SECURITY_PROTOCOL {
  HDD_SECURITY_GET_STATUS GetSecurityStatus;
};
static_assert(offsetof(HDD_SECURITY_PROTOCOL, GetSecurityStatus) == 0);

inline constexpr UINT16 ATA_SECURITY_ENABLED = 0x0002;
inline constexpr UINT16 ATA_SECURITY_LOCKED = 0x0004;
inline constexpr UINT16 ATA_SECURITY_FROZEN = 0x0008;
// The drive refused too many unlock attempts and refuses every password until a power-off.
inline constexpr UINT16 ATA_SECURITY_COUNT_EXPIRED = 0x0010;

// ---- HDD_PASSWORD_VERIFY_PROTOCOL -------------------------------------------------------------
inline constexpr EFI_GUID HDD_PASSWORD_VERIFY_PROTOCOL_GUID = {
    0x053F5798, 0x324E, 0x48C7, {0xA4, 0x36, 0xE4, 0xAF, 0x16, 0xA2, 0x8C, 0x30}};

inline constexpr UINT8 HDD_PASSWORD_USER = 0;
inline constexpr UINT8 HDD_PASSWORD_MASTER = 1;
inline constexpr UINTN HDD_PASSWORD_BUFFER_SIZE = 32;

// Exactly EFI_SUCCESS means the drive accepted the password and is unlocked now; anything else
// is a refusal. Password: 32 bytes, the 12-byte password form followed by zeros.
typedef EFI_STATUS(EFIAPI *HDD_PASSWORD_VERIFY)(HDD_SECURITY_PROTOCOL *Drive, UINT8 PasswordType,
                                                const UINT8 *SerialNumber, UINT8 DriveNumber,
                                                const UINT8 *Password);
typedef struct {
  HDD_PASSWORD_VERIFY VerifyPassword;
} HDD_PASSWORD_VERIFY_PROTOCOL;
static_assert(offsetof(HDD_PASSWORD_VERIFY_PROTOCOL, VerifyPassword) == 0);

// ---- PASSWORD_HASH_PROTOCOL
// ------------------------------------------------------------------------
inline constexpr EFI_GUID PASSWORD_HASH_PROTOCOL_GUID = {
    0x9C146B6C, 0xBB96, 0x4A46, {0x92, 0xDA, 0xDB, 0xE1, 0x8E, 0xBA, 0x1E, 0xDA}};

typedef EFI_STATUS(EFIAPI *PASSWORD_HASH_FUNCTION)(const VOID *Input, UINTN InputLength,
                                                   VOID *Output, UINTN OutputLength);
// A table of hash functions counted from 0. Entry 1: typed line (64) -> the module's and the
// drives' form (32, first 12 used); entry 2: typed line (64) -> the setup engine's stored form
// (12); entry 5: a module password (12) -> the setup engine's stored form (12).
typedef struct {
  PASSWORD_HASH_FUNCTION Entry[6];
} PASSWORD_HASH_PROTOCOL;
static_assert(sizeof(PASSWORD_HASH_PROTOCOL) == 48);

inline constexpr UINTN PASSWORD_HASH_TYPED_TO_MODULE_FORM = 1;
inline constexpr UINTN PASSWORD_HASH_TYPED_TO_SETUP_FORM = 2;
inline constexpr UINTN PASSWORD_HASH_MODULE_TO_SETUP_FORM = 5;
inline constexpr UINTN TYPED_LINE_LENGTH = 64; // characters; the line buffer has 65
