// The fingerprint status service's questions: the variables it reads, stored in the firmware's
// store, and one round of its software SMIs raised through the SMM stand-in.
#include "board_addresses.h"
#include "guids.h"
#include "hardware_answers.h"
#include "memory.h"
#include "notebook_variables.h"
#include "result_lines.h"
#include "scenarios.h"
#include "setup_variables.h"
#include "smm_stand_in.h"
#include "variable_report.h"

namespace {

// Software-SMI values of the fingerprint status service and the callers' EAX (function code in
// AH; the other bytes are the caller's own and play no part).
constexpr UINTN PasswordStateSmi = 0x534D1020;
constexpr UINTN FingerprintStateSmi = 0x534D8420;
constexpr UINTN SignatureSmi = 0x534D8920;

} // namespace

VOID StoreStatusVariables(bool UserEmpty, bool AdminEmpty, bool FingerprintEnrolled,
                          UINT8 ReaderOption) {
  // Password fields: a field counts as empty when its first UINT16 is 0, whatever follows.
  UINT8 Passwords[VELTRA_SETUP_SIZE];
  for (UINTN Index = 0; Index < sizeof(Passwords); Index++) {
    Passwords[Index] = (UINT8)(0x41 + Index % 23);
  }
  if (UserEmpty) {
    Passwords[VELTRA_USER_PASSWORD_OFFSET] = 0;
    Passwords[VELTRA_USER_PASSWORD_OFFSET + 1] = 0;
  }
  if (AdminEmpty) {
    Passwords[VELTRA_ADMIN_PASSWORD_OFFSET] = 0;
    Passwords[VELTRA_ADMIN_PASSWORD_OFFSET + 1] = 0;
  }
  WriteVariable(u"VELTRASetup", VELTRASETUP_GUID, EFI_VARIABLE_NV_BS_RT, sizeof(Passwords),
                Passwords);

  if (FingerprintEnrolled) {
    const UINT8 Flag = 0x02; // one byte, bit 1: a finger is enrolled
    WriteVariable(u"FPExistFlag", EFI_GLOBAL_VARIABLE, EFI_VARIABLE_NV_BS_RT, sizeof(Flag), &Flag);
  } else {
    WriteVariable(u"FPExistFlag", EFI_GLOBAL_VARIABLE, EFI_VARIABLE_NV_BS_RT, 0, nullptr);
  }

  UINT8 Setup[SETUP_VARIABLE_SIZE];
  FillSetupPattern(Setup);
  Setup[SetupField::FingerprintReaderOption] = ReaderOption;
  WriteVariable(u"Setup", SETUP_GUID, EFI_VARIABLE_NV_BS_RT, sizeof(Setup), Setup);
}

VOID AskStatusService(const char *Round) {
  Note(Round);
  // What the service will read, as stored: the judge checks the fields at their own offsets.
  static UINTN Asked = 0;
  char Tag[] = "status0";
  Tag[6] = (char)('0' + ++Asked % 10);
  ReportVariable(Tag, u"VELTRASetup", VELTRASETUP_GUID);
  ReportVariable(Tag, u"FPExistFlag", EFI_GLOBAL_VARIABLE);
  ReportVariable(Tag, u"Setup", SETUP_GUID);
  RaiseSoftwareSmi(PasswordStateSmi, 0x6E0C10F3);
  RaiseSoftwareSmi(FingerprintStateSmi, 0x000084A5);
  RaiseSoftwareSmi(SignatureSmi, 0xFFFF8920);
  // The function comes from AH alone, whichever of the three values was raised.
  RaiseSoftwareSmi(PasswordStateSmi, 0x12348900);
  // A function code the service does not know leaves EAX as it was.
  RaiseSoftwareSmi(PasswordStateSmi, 0x00002020);
}
