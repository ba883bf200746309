// FingerprintAuthDxe on the board, loaded from its firmware file, with every outside input from
// the fuzzer: its variables ("VELTRASetup", "FPExistFlag", "UPEKFLAG", "SysPwdInvalidError",
// "FpHdp2HdpMapFlag", "Setup") of any size and content, the reader's place, the legacy module's
// finger, slots, busy and fixed answers, the drives' identities and security states and what
// their services answer, the setup engine's flags and answers, and the keys the user presses.
//
// After each run: a run that returned left the board clean (no problem caught, low memory
// 0x30000..0x7FFFF given back byte for byte, no pool block or page kept); a halt happened only
// behind the fatal-error screen the driver shows before it stops the machine; a run that waited
// for a key when none was left is stuck, as a machine at a prompt is; a crash is a finding.
#include "fuzz_support.h"

#include "fingerprint_module.h"
#include "fingerprint_services.h"
#include "guids.h"
#include "password_hash.h"
#include "setup_engine.h"
#include "setup_variables.h"

namespace {

// Passwords the parts of the board may agree on, so that typed keys can match a stored one.
const char *const Words[] = {"letmein", "disk-secret", "admin", "a", "0123456789AB"};

// The gates of the driver's flow stay open in most inputs, so that most runs get to the prompts
// and the drives. An input that runs out of bytes reads zeros: zero means the open way.
bool Rarely(FuzzedDataProvider &In) {
  return In.ConsumeIntegralInRange<int>(0, 5) == 5;
}
bool Often(FuzzedDataProvider &In) {
  return !Rarely(In);
}

std::string Word(FuzzedDataProvider &In) {
  if (In.ConsumeIntegralInRange<int>(0, 7) == 7) {
    std::string Text = In.ConsumeRandomLengthString(16);
    return Text.empty() ? "x" : Text;
  }
  return In.PickValueInArray(Words);
}

// A password as a scenario holds it: 1 to 64 printable characters other than the blank.
std::string PrintableWord(FuzzedDataProvider &In) {
  std::string Text = Word(In);
  for (char &C : Text) {
    if (C <= 0x20 || C >= 0x7F) {
      C = 'x';
    }
  }
  return Text.substr(0, 64);
}

void PutGlobal(FuzzedDataProvider &In, sim::Board &B, const std::u16string &Name, size_t Expected) {
  fuzz::MaybePut(In, B, Name, EFI_GLOBAL_VARIABLE, Expected);
}

void SetUpVariables(FuzzedDataProvider &In, sim::Board &B) {
  switch (In.ConsumeIntegralInRange<int>(0, 5)) {
  case 5:
    break; // no "VELTRASetup"
  case 4:
    B.Variables.Put(u"VELTRASetup", VELTRASETUP_GUID, fuzz::VariableAttributes(In),
                    fuzz::VariableBytes(In, VELTRA_SETUP_SIZE));
    break;
  default: {
    std::string User = Often(In) ? PrintableWord(In) : "";
    std::string Admin = In.ConsumeBool() ? PrintableWord(In) : "";
    B.Variables.Put(u"VELTRASetup", VELTRASETUP_GUID, EFI_VARIABLE_NV_BS_RT,
                    sim::SetupPasswordStore(User, Admin));
    break;
  }
  }
  PutGlobal(In, B, u"FPExistFlag", 1);
  PutGlobal(In, B, u"UPEKFLAG", 4);
  PutGlobal(In, B, u"SysPwdInvalidError", 1);
  PutGlobal(In, B, u"FpHdp2HdpMapFlag", 50);
  PutGlobal(In, B, u"Fp1820ErrorFlag", 1);
  fuzz::MaybePut(In, B, u"Setup", SETUP_GUID, SETUP_VARIABLE_SIZE);
}

void SetUpModule(FuzzedDataProvider &In, sim::Board &B) {
  if (Often(In)) {
    B.Usb.PlaceReader(In.ConsumeIntegralInRange<size_t>(1, sim::UsbStack::kDeviceEntries - 1),
                      In.ConsumeIntegralInRange<uint8_t>(1, sim::UsbStack::kControllerRecords));
  }
  sim::FingerprintModuleModel &Module = B.FingerprintModule;
  if (Often(In)) {
    Module.EnrollFinger(Often(In) ? 0x01 : In.ConsumeIntegral<uint8_t>());
  }
  Module.FingerAccepted = Often(In);
  for (uint16_t Slot : {FP_SLOT_USER, FP_SLOT_ADMIN, FP_SLOT_DISK1, FP_SLOT_DISK2, FP_SLOT_DISK3}) {
    if (In.ConsumeBool()) {
      Module.SetSlot(Slot, sim::ModuleForm(PrintableWord(In)));
    }
  }
  int Answers = In.ConsumeIntegralInRange<int>(0, 3);
  for (int I = 0; I < Answers; I++) {
    uint8_t Code = In.ConsumeIntegralInRange<uint8_t>(0, 6);
    if (In.ConsumeBool()) {
      Module.AnswerBusy(Code, In.ConsumeIntegralInRange<unsigned>(1, 4));
    } else {
      Module.SetAnswer(Code, In.ConsumeIntegral<uint16_t>());
    }
  }
}

void SetUpDrives(FuzzedDataProvider &In, sim::Board &B) {
  int Drives = In.ConsumeIntegralInRange<int>(0, 3);
  for (int I = 0; I < Drives; I++) {
    sim::SataDrive &Drive = B.Sata.AddDrive(
        "drive " + std::to_string(I),
        In.ConsumeBool() ? In.ConsumeIntegralInRange<uint32_t>(0, 3)
                         : In.ConsumeIntegral<uint32_t>(),
        In.ConsumeIntegralInRange<uint32_t>(0, 1), In.ConsumeIntegralInRange<uint8_t>(0, 7));
    Drive.SetSerial(In.ConsumeRandomLengthString(20));
    if (In.ConsumeBool()) {
      std::optional<sim::PasswordForm> Master;
      if (In.ConsumeBool()) {
        Master = sim::ModuleForm(PrintableWord(In));
      }
      Drive.SetPasswords(sim::ModuleForm(PrintableWord(In)), Master);
      Drive.Locked = In.ConsumeIntegralInRange<int>(0, 3) != 3;
    }
    Drive.Frozen = In.ConsumeIntegralInRange<int>(0, 5) == 5;
    Drive.MaximumSecurity = In.ConsumeBool();
    Drive.AttemptLimit = In.ConsumeIntegralInRange<unsigned>(0, 6);
    Drive.WrongAttempts = In.ConsumeIntegralInRange<unsigned>(0, 6);
    if (In.ConsumeIntegralInRange<int>(0, 7) == 7) {
      static constexpr EFI_STATUS Failures[] = {EFI_DEVICE_ERROR, EFI_UNSUPPORTED, EFI_NOT_FOUND,
                                                EFI_WARN_BUFFER_TOO_SMALL};
      switch (In.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        Drive.HasDiskInfo = false;
        break;
      case 1:
        Drive.HasDevicePath = false;
        break;
      case 2:
        Drive.WhichIdeStatus = In.PickValueInArray(Failures);
        break;
      case 3:
        Drive.SecurityStatusResult = In.PickValueInArray(Failures);
        break;
      case 4:
        Drive.IdentifyStatus = In.PickValueInArray(Failures);
        break;
      default:
        Drive.RefusalStatus = In.PickValueInArray(Failures);
        break;
      }
    }
  }
  B.Sata.Install(); // the drives' protocols as their settings now say
}

// Keys of the user: characters of the known passwords, Enter, the dialogs' keys, anything.
void QueueKeys(FuzzedDataProvider &In, sim::Board &B) {
  int Keys = In.ConsumeIntegralInRange<int>(0, 24);
  uint64_t At = 0;
  for (int I = 0; I < Keys; I++) {
    if (In.ConsumeIntegralInRange<int>(0, 7) == 7) {
      At += In.ConsumeIntegralInRange<uint64_t>(0, 15000000); // a pause of up to 15 s
    }
    switch (In.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      B.Console.QueueKey(0, u'\r', At);
      break;
    case 1: {
      static const char *const Named[] = {"ESC", "F1", "F3", "BACKSPACE", "UP", "F12"};
      B.Console.QueueNamed(In.PickValueInArray(Named), At);
      break;
    }
    case 2:
      B.Console.QueueKey(In.ConsumeIntegral<uint16_t>(), In.ConsumeIntegral<char16_t>(), At);
      break;
    default:
      B.Console.QueueText(sim::Widen(Word(In) + (In.ConsumeBool() ? "\r" : "")), At);
      break;
    }
  }
}

sim::CallerAnswers Answers(FuzzedDataProvider &In) {
  sim::CallerAnswers A;
  A.Stop = Rarely(In) ? 1 : 0;
  A.AnswerFlag = Often(In) ? 0 : 1;
  if (In.ConsumeBool()) {
    A.Administrator = sim::SetupForm(PrintableWord(In));
  }
  if (In.ConsumeBool()) {
    A.User = sim::SetupForm(PrintableWord(In));
  }
  for (auto &Candidate : A.DiskCandidates) {
    if (In.ConsumeIntegralInRange<int>(0, 3) == 3) {
      Candidate = sim::ModuleForm(PrintableWord(In));
    }
  }
  return A;
}

std::vector<uint8_t> Window() {
  auto *Base = reinterpret_cast<const uint8_t *>(FP_WINDOW_BASE);
  return std::vector<uint8_t>(Base, Base + FP_WINDOW_SIZE);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  fuzz::FreshBoard B;
  SetUpVariables(In, *B);
  SetUpModule(In, *B);
  SetUpDrives(In, *B);
  if (Often(In)) {
    B->Pci.AddNotebookDevices();
  }
  // A countdown of the notice lasts 11 s: a bound of 20 s lets it finish and keeps each input
  // short.
  B->Console.IdlePollLimitMicroseconds = 20000000;

  sim::RunResult Loaded = B->LoadDriverFromFirmwareFile("FingerprintAuthDxe");
  fuzz::NoteValue(10, (uint64_t)Loaded.How * 0x100000000ull + Loaded.Status);
  if (Loaded.How != sim::Outcome::Returned) {
    fuzz::Finding("FingerprintAuthDxe's entry point did not return: " + Loaded.Message);
  }
  fuzz::ExpectClean(*B, "FingerprintAuthDxe's entry point", 0, false);

  sim::SetupEngine Engine{*B};
  int Runs = In.ConsumeIntegralInRange<int>(1, 3);
  for (int Run = 0; Run < Runs; Run++) {
    std::string What = "FingerprintAuthenticate run " + std::to_string(Run + 1);
    uint32_t AuthFlags = In.ConsumeBool() ? AUTH_SYSTEM_PASSWORD_RUN : 0;
    if (In.ConsumeIntegralInRange<int>(0, 3) == 3) {
      AuthFlags |= AUTH_USER_ALONE_NOT_ENOUGH;
    }
    uint32_t ControlFlags = Often(In) ? 0 : CONTROL_RESET_MAPPING;
    Engine.Answers = Answers(In);
    B->Console.ClearKeys();
    QueueKeys(In, *B);

    // The window gets a pattern the run must give back byte for byte.
    auto *Base = reinterpret_cast<uint8_t *>(FP_WINDOW_BASE);
    for (size_t I = 0; I < FP_WINDOW_SIZE; I++) {
      Base[I] = (uint8_t)(I * 31 + (I >> 11) + Run);
    }
    std::vector<uint8_t> Before = Window();
    size_t PoolBefore = B->LivePoolBlocks();
    sim::AuthRun R = Engine.Authenticate(AuthFlags, ControlFlags);
    fuzz::NoteBehaviour(*B);
    fuzz::NoteValue(11, (uint64_t)R.How * 0x100000000ull + (R.Status & 0xFF));

    switch (R.How) {
    case sim::AuthOutcome::Returned:
      if (Window() != Before) {
        fuzz::Finding(What + ": low memory 0x30000..0x7FFFF not restored");
      }
      fuzz::ExpectClean(*B, What, PoolBefore);
      break;
    case sim::AuthOutcome::Halted:
      // The driver stops the machine only after three refused passwords or a drive that refuses
      // every password, and says so on the screen first.
      if (!B->Console.Screen().Contains(u"Fatal Error... System Halted")) {
        fuzz::Finding(What + ": halted without the fatal-error screen: " + R.Message);
      }
      fuzz::ExpectClean(*B, What, 0, false);
      return 0;
    case sim::AuthOutcome::Stuck:
      fuzz::ExpectClean(*B, What, 0, false);
      return 0; // the machine waits at a prompt for a key that never comes
    case sim::AuthOutcome::Crashed:
      fuzz::Finding(What + " crashed: " + R.Message);
    case sim::AuthOutcome::NoProtocol:
      fuzz::Finding(What + ": FINGERPRINT_AUTH_PROTOCOL missing after the entry point returned");
    }
  }
  return 0;
}
