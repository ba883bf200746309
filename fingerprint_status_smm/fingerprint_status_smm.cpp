// FingerprintStatusSmm: answers three software SMIs through which a program under the operating
// system asks whether the setup passwords are empty and whether a fingerprint reader is present
// and enabled. The function code comes in AH of the caller's EAX; the answer goes back into the
// caller's saved EAX. Variables are only read, through the SMM variable services.
#include "driver_globals.h"
#include "guids.h"
#include "memory.h"
#include "setup_variables.h"
#include "smm_driver.h"

namespace {

// Software-SMI values, registered in this order; the function code is in bits 15:8.
constexpr UINTN FingerprintStateSmi = 0x534D8420;
constexpr UINTN SignatureSmi = 0x534D8920;
constexpr UINTN PasswordStateSmi = 0x534D1020;

constexpr UINT8 PasswordStateFunction = 0x10;
constexpr UINT8 FingerprintStateFunction = 0x84;
constexpr UINT8 SignatureFunction = 0x89;

constexpr UINT32 PasswordStateBase = 0x000A0000;
constexpr UINT32 UserPasswordEmpty = 0x00040000;  // bit 18
constexpr UINT32 AdminPasswordEmpty = 0x00000001; // bit 0
constexpr UINT32 FingerprintPresent = 0x3;        // bits 1:0
constexpr UINT32 ReaderOptionEnabled = 0x4;       // bit 2
constexpr UINT32 SignatureAnswer = 0x5553000F;

constexpr UINTN FpExistFlagSize = 8;
constexpr UINT8 FpExistBit = 0x02;

} // namespace

VOID EFIAPI StatusSmiHandler(EFI_HANDLE, EFI_SMM_SW_DISPATCH_CONTEXT *) {
  EFI_SMM_SYSTEM_TABLE *Smst = DriverSmst;

  // The caller's registers: by default in the executing processor's record (counted from 1).
  UINTN Cpu = Smst->CurrentlyExecutingCpu - 1;
  // An entry whose table pointer is NULL counts as no entry: nothing is read through it.
  SMM_CPU_INDEX_TABLE *CpuIndex =
      (SMM_CPU_INDEX_TABLE *)FindSmmConfigurationTable(&SMM_CPU_INDEX_TABLE_GUID);
  if (CpuIndex != nullptr) {
    Cpu = CpuIndex->CpuIndex;
  }

  // Without a variable read function there is nothing to answer from: EAX stays as it came.
  SMM_VARIABLE_SERVICES_TABLE *Variables =
      (SMM_VARIABLE_SERVICES_TABLE *)FindSmmConfigurationTable(&SMM_VARIABLE_SERVICES_TABLE_GUID);
  if (Variables == nullptr || Variables->GetVariable == nullptr) {
    return;
  }
  // A processor index outside the save-state array would make the answer land elsewhere in
  // SMRAM: such an SMI is left without an answer.
  if (Cpu >= Smst->NumberOfCpus) {
    return;
  }
  EFI_GET_VARIABLE ReadVariable = Variables->GetVariable;
  UINT32 *Eax = &Smst->CpuSaveState[Cpu].Ia32SaveState.EAX;
  UINT8 Function = (UINT8)(*Eax >> 8);

  switch (Function) {
  case PasswordStateFunction: {
    *Eax = PasswordStateBase;
    // Zeroed for every read: bytes beyond a shorter stored variable read as 0, never as what
    // an earlier SMI left on the stack.
    UINT8 Passwords[VELTRA_SETUP_SIZE];
    FillBytes(Passwords, sizeof Passwords, 0);
    UINTN Size = sizeof Passwords;
    if (EFI_ERROR(ReadVariable(u"VELTRASetup", &VELTRASETUP_GUID, nullptr, &Size, Passwords))) {
      return;
    }
    // A field is empty when its first UINT16 is 0.
    if (ReadUint16(Passwords + VELTRA_USER_PASSWORD_OFFSET) == 0) {
      *Eax |= UserPasswordEmpty;
    }
    if (ReadUint16(Passwords + VELTRA_ADMIN_PASSWORD_OFFSET) == 0) {
      *Eax |= AdminPasswordEmpty;
    }
    return;
  }
  case FingerprintStateFunction: {
    *Eax = 0;
    UINT64 FpExist = 0; // a shorter variable leaves the other bytes 0
    UINTN Size = FpExistFlagSize;
    if (EFI_ERROR(ReadVariable(u"FPExistFlag", &EFI_GLOBAL_VARIABLE, nullptr, &Size, &FpExist))) {
      return;
    }
    if (((UINT8)FpExist & FpExistBit) != 0) {
      *Eax |= FingerprintPresent;
    }
    UINT8 Setup[SETUP_VARIABLE_SIZE];
    FillBytes(Setup, sizeof Setup, 0);
    Size = sizeof Setup;
    if (EFI_ERROR(ReadVariable(u"Setup", &SETUP_GUID, nullptr, &Size, Setup))) {
      return;
    }
    if (Setup[SetupField::FingerprintReaderOption] != 0) {
      *Eax |= ReaderOptionEnabled;
    }
    return;
  }
  case SignatureFunction:
    *Eax = SignatureAnswer;
    return;
  default:
    return;
  }
}

EFI_STATUS EFIAPI RegisterStatusSmis(EFI_HANDLE, EFI_SYSTEM_TABLE *) {
  EFI_SMM_SW_DISPATCH_PROTOCOL *SwDispatch = nullptr;
  EFI_STATUS Status = DriverBootServices->LocateProtocol(&EFI_SMM_SW_DISPATCH_PROTOCOL_GUID,
                                                         nullptr, (VOID **)&SwDispatch);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // The contexts are locals: the dispatcher keeps its own copy of each. Each registration keeps
  // its handle: when one fails, the ones made before it are unregistered and its error is the
  // result, so that no handler stays behind in the copy the SMM core unloads for the error.
  EFI_SMM_SW_DISPATCH_CONTEXT Contexts[] = {
      {FingerprintStateSmi}, {SignatureSmi}, {PasswordStateSmi}};
  EFI_HANDLE Handles[sizeof(Contexts) / sizeof(Contexts[0])] = {};
  for (UINTN Index = 0; Index < sizeof(Contexts) / sizeof(Contexts[0]); Index++) {
    Status = SwDispatch->Register(SwDispatch, StatusSmiHandler, &Contexts[Index], &Handles[Index]);
    if (EFI_ERROR(Status)) {
      while (Index > 0) {
        Index--;
        SwDispatch->UnRegister(SwDispatch, Handles[Index]);
      }
      return Status;
    }
  }
  return Status;
}

extern "C" EFI_STATUS EFIAPI FingerprintStatusEntryPoint(EFI_HANDLE ImageHandle,
                                                         EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverGlobals(ImageHandle, SystemTable);
  return StartSmmDriver(ImageHandle, SystemTable, RegisterStatusSmis);
}
