// The power-on password check after a fingerprint run: the module's passwords, then the setup
// engine's answer, then keyboard prompts (user, then administrator) with three tries each.
// Verified passwords go to the module so that the next fingerprint run delivers them.
#include "driver_globals.h"
#include "fingerprint_auth.h"
#include "hardware_io.h"
#include "memory.h"
#include "setup_variables.h"

namespace {

// Where a system password lives in the module's request block, the setup engine's store and
// the caller's answer, and the bit that records its verification.
struct SystemPassword {
  UINT16 Slot;
  UINT8 PasswordFlag;
  UINT32 VerifiedBit;
  UINTN StoredOffset; // in SetupPasswordCopy
  UINTN AnswerOffset; // in CallerAnswer
  UINT8 *BlockField;
};

SystemPassword Administrator() {
  return {FP_SLOT_ADMIN,       PASSWORD_ADMIN_SET,
          AUTH_ADMIN_VERIFIED, VELTRA_ADMIN_PASSWORD_OFFSET,
          CALLER_ANSWER_ADMIN, RequestBlock()->AdminPassword};
}

SystemPassword User() {
  return {FP_SLOT_USER,       PASSWORD_USER_SET,
          AUTH_USER_VERIFIED, VELTRA_USER_PASSWORD_OFFSET,
          CALLER_ANSWER_USER, RequestBlock()->UserPassword};
}

BOOLEAN MatchesStored(const UINT8 *Form, const SystemPassword &Password) {
  return CompareBytes(Form, SetupPasswordCopy + Password.StoredOffset, PASSWORD_FORM_SIZE) == 0;
}

// Gives the module a verified password in its 12-byte form.
VOID StoreInModule(const SystemPassword &Password, const UINT8 *Form) {
  RequestBlock()->SlotMask = Password.Slot;
  CopyBytes(Password.BlockField, Form, PASSWORD_FORM_SIZE);
  StorePasswordInModule();
}

// The module delivered this password: right in stored form, or after hash entry 5.
BOOLEAN ModulePasswordIsRight(const SystemPassword &Password) {
  if ((ModuleSlotMask & Password.Slot) == 0 || (PasswordFlags & Password.PasswordFlag) == 0) {
    return FALSE;
  }
  if (MatchesStored(Password.BlockField, Password)) {
    return TRUE;
  }
  // A failing entry is a mismatch, whatever it left in its output.
  UINT8 Hashed[PASSWORD_FORM_SIZE];
  FillBytes(Hashed, sizeof(Hashed), 0);
  BOOLEAN Right = !EFI_ERROR(PasswordHash->Entry[PASSWORD_HASH_MODULE_TO_SETUP_FORM](
                      Password.BlockField, PASSWORD_FORM_SIZE, Hashed, sizeof(Hashed))) &&
                  MatchesStored(Hashed, Password);
  FillBytes(Hashed, sizeof(Hashed), 0);
  return Right;
}

enum class PromptResult { Verified, Skipped, ThreeWrong };

// One password prompt with three tries. A right password is stored in the module.
PromptResult PromptSystemPassword(const SystemPassword &Password, const CHAR16 *const *Lines,
                                  UINTN LineCount, UINT32 *AuthFlags) {
  CHAR16 Typed[TYPED_LINE_LENGTH + 1];
  UINT8 SetupForm[PASSWORD_FORM_SIZE];
  UINT8 ModuleForm[32];
  PromptResult Result = PromptResult::ThreeWrong;

  ClearConsoleToRow(3);
  for (UINT16 Tries = 0; Tries < 3;) {
    OutputLines(Lines, LineCount);
    FillBytes(Typed, sizeof(Typed), 0);
    if (!ReadMaskedLine(Typed)) {
      Result = PromptResult::Skipped;
      break;
    }
    // A failing hash entry counts as a mismatch: its output is never trusted, and the module is
    // given nothing it produced.
    FillBytes(SetupForm, sizeof(SetupForm), 0);
    EFI_STATUS HashStatus = PasswordHash->Entry[PASSWORD_HASH_TYPED_TO_SETUP_FORM](
        Typed, TYPED_LINE_LENGTH, SetupForm, sizeof(SetupForm));
    if (!EFI_ERROR(HashStatus) && MatchesStored(SetupForm, Password)) {
      FillBytes(ModuleForm, sizeof(ModuleForm), 0);
      if (!EFI_ERROR(PasswordHash->Entry[PASSWORD_HASH_TYPED_TO_MODULE_FORM](
              Typed, TYPED_LINE_LENGTH, ModuleForm, sizeof(ModuleForm)))) {
        StoreInModule(Password, ModuleForm);
      }
      *AuthFlags |= Password.VerifiedBit;
      Result = PromptResult::Verified;
      break;
    }
    ShowPasswordIncorrect();
    Tries++;
  }
  FillBytes(Typed, sizeof(Typed), 0);
  FillBytes(SetupForm, sizeof(SetupForm), 0);
  FillBytes(ModuleForm, sizeof(ModuleForm), 0);
  return Result;
}

const CHAR16 *const UserPromptLines[] = {
    u" Fingerprint reader has an either incorrect or\n\r",
    u" missing User Password.\n\r",
    u" Type the User Password followed by the <Enter> key.\n\r",
    u" If you do not know the User Password,\n\r",
    u" press the <Enter> key.\n\n\r ",
};

const CHAR16 *const AdministratorPromptLines[] = {
    u" Fingerprint reader has an either incorrect or\n\r",
    u" missing Administrator Password.\n\r",
    u" Type the Administrator Password followed by the\n\r",
    u" <Enter> key. If you do not know the Administrator Password\n\r",
    u" press the <Enter> key.\n\n\r ",
};

} // namespace

VOID HaltAfterWrongPasswords(UINT8 InvalidBits, BOOLEAN SystemPasswordRun) {
  ClearConsoleToRow(2);
  const CHAR16 *const Lines[] = {u" Password check failed\n\r", u" Fatal Error... System Halted"};
  OutputLines(Lines, sizeof(Lines) / sizeof(Lines[0]));
  SetSysPwdInvalidBits(InvalidBits);
  DriverBootServices->RaiseTPL(TPL_HIGH_LEVEL);
  if (SystemPasswordRun) {
    SendModuleRequestWithRetries(FP_REQUEST_END_OF_SYSTEM_PASSWORD_RUN, 1);
  }
  CpuDeadLoop();
}

EFI_STATUS CheckSystemPasswords(UINT32 *AuthFlags, FINGERPRINT_QUERY_CALLBACK QueryCallback) {
  const SystemPassword Admin = Administrator();
  const SystemPassword UserPassword = User();

  // The module's own passwords: a right one ends the check at once.
  if ((FingerprintFlags & FINGERPRINT_REPLY_VALID) != 0) {
    if (ModulePasswordIsRight(Admin)) {
      *AuthFlags |= AUTH_ADMIN_VERIFIED;
      return EFI_SUCCESS;
    }
    if (ModulePasswordIsRight(UserPassword)) {
      *AuthFlags |= AUTH_USER_VERIFIED;
      return EFI_SUCCESS;
    }
  }

  // The setup engine's answer.
  QueryCallback(QUERY_PASSWORDS, CallerAnswer);
  if (CallerAnswer[CALLER_ANSWER_FLAG] != 0) {
    const SystemPassword *const Answered[] = {&Admin, &UserPassword};
    for (const SystemPassword *Password : Answered) {
      const UINT8 *Answer = CallerAnswer + Password->AnswerOffset;
      if ((PasswordFlags & Password->PasswordFlag) != 0 && MatchesStored(Answer, *Password)) {
        *AuthFlags |= Password->VerifiedBit;
        StoreInModule(*Password, Answer);
      }
    }
    if ((*AuthFlags & (AUTH_ADMIN_VERIFIED | AUTH_USER_VERIFIED)) != 0) {
      return EFI_SUCCESS;
    }
  }

  BOOLEAN SystemPasswordRun = (*AuthFlags & AUTH_SYSTEM_PASSWORD_RUN) != 0;
  if ((*AuthFlags & (AUTH_ADMIN_VERIFIED | AUTH_USER_VERIFIED)) == 0 &&
      (PasswordFlags & PASSWORD_USER_SET) != 0) {
    if (PromptSystemPassword(UserPassword, UserPromptLines, 5, AuthFlags) ==
        PromptResult::ThreeWrong) {
      HaltAfterWrongPasswords(SYS_PWD_INVALID_SYSTEM, SystemPasswordRun);
    }
  }
  if ((PasswordFlags & PASSWORD_ADMIN_SET) == 0) {
    return EFI_SUCCESS;
  }
  if (PromptSystemPassword(Admin, AdministratorPromptLines, 5, AuthFlags) ==
      PromptResult::ThreeWrong) {
    HaltAfterWrongPasswords(SYS_PWD_INVALID_SYSTEM, SystemPasswordRun);
  }
  return EFI_SUCCESS;
}
