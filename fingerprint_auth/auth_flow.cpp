// The authentication run behind FINGERPRINT_AUTH_PROTOCOL: reader checks, the caller's go-ahead,
// the drive-map reset, the password and drive states, the "UPEKFLAG" rules and the gate, the
// fingerprint request with the display controller handed over, and then the system-password
// check or the hard-disk unlock. Low memory belongs to the run from the module load until the
// run returns.
#include "console_control.h"
#include "driver_globals.h"
#include "fingerprint_auth.h"
#include "guids.h"
#include "memory.h"
#include "pci_io.h"
#include "setup_variables.h"

UINT8 PasswordFlags = 0;
UINT32 FingerprintFlags = 0;
UINT32 UpekFlagValue = 0;
UINT8 SetupPasswordCopy[257] = {};
UINT8 CallerAnswer[CALLER_ANSWER_SIZE] = {};
UINT8 DriveMap[DRIVE_MAP_SIZE] = {};
PASSWORD_HASH_PROTOCOL *PasswordHash = nullptr;

namespace {

FINGERPRINT_AUTH_PROTOCOL AuthProtocol = {FingerprintAuthenticate};

constexpr CHAR16 SysPwdInvalidErrorName[] = u"SysPwdInvalidError";
constexpr CHAR16 ReaderErrorName[] = u"Fp1820ErrorFlag";

static_assert(sizeof(SetupPasswordCopy) == VELTRA_SETUP_SIZE);

// Sets or clears the Mask bits of the stored "SysPwdInvalidError" byte. A byte that cannot be
// read counts as 0 when bits are set, and is left alone when bits are cleared.
VOID UpdateSysPwdInvalidBits(UINT8 Mask, BOOLEAN Set) {
  UINT8 Value = 0;
  UINTN Size = sizeof(Value);
  if (EFI_ERROR(GetGlobalVariable(SysPwdInvalidErrorName, &Size, &Value))) {
    if (!Set) {
      return;
    }
    Value = 0;
  }
  Value = Set ? (UINT8)(Value | Mask) : (UINT8)(Value & ~Mask);
  SetGlobalVariable(SysPwdInvalidErrorName, EFI_VARIABLE_NV_BS_RT, sizeof(Value), &Value);
}

VOID WriteUpekFlag(UINT32 Attributes) {
  UpekFlagValue = 0;
  SetGlobalVariable(UPEK_FLAG_NAME, Attributes, sizeof(UpekFlagValue), &UpekFlagValue);
}

// The caller's passwords of this run must not outlive it in the driver's memory.
// SetupPasswordCopy stays: it holds only the stored forms the password store itself holds, and
// a later run whose read of the store fails still checks against them.
VOID WipeRunSecrets() {
  FillBytes(CallerAnswer, sizeof(CallerAnswer), 0);
}

// The task priority level the caller called the run at; loading the module lowers it to
// TPL_APPLICATION for the key waits, and the notice's countdown raises it.
EFI_TPL CallerTpl = TPL_APPLICATION;

// Every run that loaded the module returns through here, at the caller's level: raising to
// TPL_HIGH_LEVEL first makes the RestoreTPL a lowering from any level the run left.
EFI_STATUS EndRun(EFI_STATUS Status) {
  UnloadFingerprintModule();
  WipeRunSecrets();
  DriverBootServices->RaiseTPL(TPL_HIGH_LEVEL);
  DriverBootServices->RestoreTPL(CallerTpl);
  return Status;
}

VOID ReadDriveMap() {
  UINTN Size = DRIVE_MAP_SIZE;
  EFI_STATUS Status = GetGlobalVariable(DRIVE_MAP_NAME, &Size, DriveMap);
  if (EFI_ERROR(Status) || Size != DRIVE_MAP_SIZE) {
    FillBytes(DriveMap, DRIVE_MAP_SIZE, 0);
  }
}

// Module request 0 while the display controller is disconnected, then the console is put back
// into its own text mode. Returns the module's answer.
UINT16 RunFingerprintRequest(UINT32 *AuthFlags) {
  UsbStack->Switch(TRUE);
  EFI_HANDLE Display = nullptr;
  BOOLEAN HaveDisplay = !EFI_ERROR(FindDisplayController(&Display));
  if (HaveDisplay) {
    DriverBootServices->DisconnectController(Display, nullptr, nullptr);
  }
  UINT16 Answer = SendModuleRequestWithRetries(FP_REQUEST_FINGERPRINT, 11);
  ReadDriveMap();
  if (HaveDisplay) {
    DriverBootServices->ConnectController(Display, nullptr, nullptr, TRUE);
  }
  // Without console control the console is already a text console.
  EFI_CONSOLE_CONTROL_PROTOCOL *ConsoleControl = nullptr;
  if (!EFI_ERROR(DriverBootServices->LocateProtocol(&EFI_CONSOLE_CONTROL_PROTOCOL_GUID, nullptr,
                                                    (VOID **)&ConsoleControl))) {
    ConsoleControl->SetMode(ConsoleControl, EfiConsoleControlScreenText);
  }
  if (DialogConsoleOut != nullptr) {
    SelectDialogTextMode();
    DialogConsoleOut->EnableCursor(DialogConsoleOut, FALSE);
  }
  *AuthFlags |= AUTH_CONSOLE_RESTORED;
  UsbStack->Switch(FALSE);
  return Answer;
}

} // namespace

extern "C" EFI_STATUS EFIAPI FingerprintAuthEntryPoint(EFI_HANDLE ImageHandle,
                                                       EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverGlobals(ImageHandle, SystemTable);
  EFI_HANDLE Handle = nullptr;
  return DriverBootServices->InstallMultipleProtocolInterfaces(
      &Handle, &FINGERPRINT_AUTH_PROTOCOL_GUID, &AuthProtocol, nullptr);
}

EFI_STATUS EFIAPI FingerprintAuthenticate(UINT32 *AuthFlags,
                                          FINGERPRINT_QUERY_CALLBACK QueryCallback,
                                          UINT32 *ControlFlags) {
  // The verdict bits report this run's checks only: a bit the caller's word still holds from an
  // earlier run never counts as a verification.
  *AuthFlags &= ~(AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED);
  CallerTpl = DriverBootServices->RaiseTPL(TPL_HIGH_LEVEL);
  DriverBootServices->RestoreTPL(CallerTpl);
  if (EFI_ERROR(LoadFingerprintModule(ControlFlags))) {
    return EFI_ABORTED;
  }
  if (EFI_ERROR(CheckMultipleReaders())) {
    return EndRun(EFI_ABORTED);
  }
  QueryCallback(QUERY_GO_ON, CallerAnswer);
  if (CallerAnswer[CALLER_ANSWER_FLAG] != 0) {
    return EndRun(EFI_ABORTED);
  }
  if (ResetHardDiskMapping(ControlFlags) == EFI_SUCCESS) {
    return EndRun(EFI_ABORTED);
  }
  if (SendModuleRequestWithRetries(FP_REQUEST_OPEN, 11) != FP_ANSWER_SUCCESS) {
    return EndRun(EFI_ABORTED);
  }

  ReadSetupPasswordState();
  UINTN Size = sizeof(UpekFlagValue);
  UINT32 StoredUpek = 0;
  if (!EFI_ERROR(GetGlobalVariable(UPEK_FLAG_NAME, &Size, &StoredUpek))) {
    UpekFlagValue = StoredUpek;
  }
  if (UpekFlagValue == UPEK_NOTICE_SUPPRESSED) {
    // A password or a protected drive makes the notice's suppression obsolete.
    BOOLEAN Protected =
        (PasswordFlags & (PASSWORD_USER_SET | PASSWORD_ADMIN_SET)) != 0 || QueryLockedHardDisks();
    if (Protected) {
      WriteUpekFlag(EFI_VARIABLE_NV_BS_RT);
    }
  }
  QueryLockedHardDisks();

  if ((PasswordFlags & (PASSWORD_USER_SET | PASSWORD_ADMIN_SET | PASSWORD_DRIVE_LOCKED)) == 0 &&
      UpekFlagValue != UPEK_NOTICE_SUPPRESSED) {
    ShowNoPasswordNotice(ControlFlags);
    return EndRun(EFI_ABORTED);
  }
  if ((PasswordFlags & PASSWORD_USER_SET) != 0 ||
      ((PasswordFlags & PASSWORD_ADMIN_SET) != 0 && UpekFlagValue == UPEK_NOTICE_SUPPRESSED)) {
    WriteUpekFlag(EFI_VARIABLE_BS_RT);
  }

  BOOLEAN SystemPasswordRun = (*AuthFlags & AUTH_SYSTEM_PASSWORD_RUN) != 0;
  BOOLEAN GoOn;
  if (SystemPasswordRun) {
    GoOn = (PasswordFlags & (PASSWORD_USER_SET | PASSWORD_ADMIN_SET)) != 0;
  } else {
    GoOn = (PasswordFlags & PASSWORD_DRIVE_LOCKED) != 0 ||
           ((*AuthFlags & AUTH_USER_ALONE_NOT_ENOUGH) == 0 &&
            (PasswordFlags & PASSWORD_USER_SET) != 0);
  }
  if (!GoOn) {
    return EndRun(EFI_ABORTED);
  }

  if (RunFingerprintRequest(AuthFlags) != FP_ANSWER_SUCCESS) {
    return EndRun(EFI_ABORTED);
  }
  FingerprintFlags |= FINGERPRINT_REPLY_VALID;
  FP_REQUEST_BLOCK_LAYOUT *Block = RequestBlock();
  ModuleStateByte = Block->State;
  ModuleEchoByte = Block->Echo;
  ModuleSlotMask = Block->SlotMask;

  EFI_STATUS Status = DriverBootServices->LocateProtocol(&PASSWORD_HASH_PROTOCOL_GUID, nullptr,
                                                         (VOID **)&PasswordHash);
  if (EFI_ERROR(Status)) {
    return EndRun(Status);
  }

  EFI_STATUS Result = EFI_SUCCESS;
  if (SystemPasswordRun || (PasswordFlags & PASSWORD_USER_SET) != 0) {
    Result = CheckSystemPasswords(AuthFlags, QueryCallback);
  }
  if (SystemPasswordRun) {
    SendModuleRequestWithRetries(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN, 1);
  }
  if ((*AuthFlags & (AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED)) != 0) {
    ClearSysPwdInvalidBits(SYS_PWD_INVALID_SYSTEM);
  }
  if (!SystemPasswordRun) {
    Result = UnlockHardDisks();
  }
  return EndRun(Result);
}

EFI_STATUS SetSysPwdInvalidBits(UINT8 Mask) {
  UpdateSysPwdInvalidBits(Mask, TRUE);
  return EFI_SUCCESS;
}

EFI_STATUS ClearSysPwdInvalidBits(UINT8 Mask) {
  UpdateSysPwdInvalidBits(Mask, FALSE);
  return EFI_SUCCESS;
}

VOID ReadSetupPasswordState() {
  UINTN Size = sizeof(SetupPasswordCopy);
  if (EFI_ERROR(DriverRuntimeServices->GetVariable(u"VELTRASetup", &VELTRASETUP_GUID, nullptr,
                                                   &Size, SetupPasswordCopy))) {
    return;
  }
  // Each read decides both bits afresh: a password cleared in setup since the last run is
  // no longer demanded.
  UINT8 Flags = (UINT8)(PasswordFlags & ~(PASSWORD_USER_SET | PASSWORD_ADMIN_SET));
  if (!IsAllZero(SetupPasswordCopy + VELTRA_USER_PASSWORD_OFFSET, VELTRA_PASSWORD_FIELD_SIZE)) {
    Flags |= PASSWORD_USER_SET;
  }
  if (!IsAllZero(SetupPasswordCopy + VELTRA_ADMIN_PASSWORD_OFFSET, VELTRA_PASSWORD_FIELD_SIZE)) {
    Flags |= PASSWORD_ADMIN_SET;
  }
  PasswordFlags = Flags;
}

EFI_STATUS GetGlobalVariable(const CHAR16 *Name, UINTN *Size, VOID *Data) {
  return DriverRuntimeServices->GetVariable(Name, &EFI_GLOBAL_VARIABLE, nullptr, Size, Data);
}

EFI_STATUS SetGlobalVariable(const CHAR16 *Name, UINT32 Attributes, UINTN Size, VOID *Data) {
  return DriverRuntimeServices->SetVariable(Name, &EFI_GLOBAL_VARIABLE, Attributes, Size, Data);
}

BOOLEAN IsAllZero(const UINT8 *Bytes, UINTN Length) {
  for (UINTN Index = 0; Index < Length; Index++) {
    if (Bytes[Index] != 0) {
      return FALSE;
    }
  }
  return TRUE;
}

EFI_STATUS ResetHardDiskMapping(UINT32 *ControlFlags) {
  if ((*ControlFlags & CONTROL_RESET_MAPPING) == 0) {
    return EFI_ABORTED;
  }
  FillBytes(DriveMap, DRIVE_MAP_SIZE, 0);
  SetGlobalVariable(DRIVE_MAP_NAME, EFI_VARIABLE_NV_BS_RT, DRIVE_MAP_SIZE, DriveMap);
  if (SendModuleRequestWithRetries(FP_REQUEST_RESET_MAPPING, 5) != FP_ANSWER_SUCCESS) {
    return EFI_ABORTED;
  }
  *ControlFlags &= ~CONTROL_RESET_MAPPING;
  return EFI_SUCCESS;
}

EFI_STATUS CheckMultipleReaders() {
  if (ReaderCount < 2) {
    return EFI_SUCCESS;
  }
  UINT8 Flag = 1;
  SetGlobalVariable(ReaderErrorName, EFI_VARIABLE_BS_RT, sizeof(Flag), &Flag);
  return EFI_ABORTED;
}

BOOLEAN QueryLockedHardDisks() {
  HDD_SECURITY_PROTOCOL *Security[MAX_SATA_DRIVES] = {};
  EFI_DISK_INFO_PROTOCOL *DiskInfo[MAX_SATA_DRIVES] = {};
  UINT8 ControllerFunction[MAX_SATA_DRIVES] = {};
  UINTN Count = 0;
  if (EFI_ERROR(CollectSataDrives(Security, DiskInfo, &Count, ControllerFunction))) {
    return FALSE;
  }
  // Every drive is asked: a locked drive may follow one whose security is enabled but open.
  BOOLEAN AnyEnabled = FALSE;
  for (UINTN Index = 0; Index < Count; Index++) {
    if (Security[Index] == nullptr) {
      continue;
    }
    UINT16 Status = 0;
    if (EFI_ERROR(Security[Index]->GetSecurityStatus(Security[Index], &Status))) {
      continue;
    }
    if ((Status & ATA_SECURITY_ENABLED) != 0) {
      if ((Status & ATA_SECURITY_LOCKED) != 0) {
        PasswordFlags |= PASSWORD_DRIVE_LOCKED;
      }
      AnyEnabled = TRUE;
    }
  }
  return AnyEnabled;
}

EFI_STATUS FindDisplayController(EFI_HANDLE *Handle) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  EFI_STATUS Status = DriverBootServices->LocateHandleBuffer(ByProtocol, &EFI_PCI_IO_PROTOCOL_GUID,
                                                             nullptr, &Count, &Handles);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = EFI_NOT_FOUND;
  for (UINTN Index = 0; Index < Count; Index++) {
    UINT32 ClassRegister = 0;
    if (EFI_ERROR(ReadPciClassRegister(Handles[Index], &ClassRegister))) {
      break;
    }
    if ((ClassRegister >> 24) == PCI_CLASS_DISPLAY) {
      *Handle = Handles[Index];
      Status = EFI_SUCCESS;
      break;
    }
  }
  DriverBootServices->FreePool(Handles);
  return Status;
}

EFI_STATUS ReadPciClassRegister(EFI_HANDLE Handle, UINT32 *Value) {
  EFI_PCI_IO_PROTOCOL *PciIo = nullptr;
  DriverBootServices->HandleProtocol(Handle, &EFI_PCI_IO_PROTOCOL_GUID, (VOID **)&PciIo);
  if (PciIo == nullptr) {
    return EFI_UNSUPPORTED;
  }
  return PciIo->Pci.Read(PciIo, EfiPciIoWidthUint32, 8, 1, Value);
}
