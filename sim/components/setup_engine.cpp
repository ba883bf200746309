#include "setup_engine.h"

#include "board.h"
#include "service_calls.h"
#include "status_names.h"

#include <cstdio>
#include <cstring>

namespace sim {
namespace {

SetupEngine *Caller = nullptr; // the engine whose run is in progress

EFI_STATUS EFIAPI QueryCallback(UINTN QueryCode, UINT8 *CallerAnswer) {
  if (Caller == nullptr) {
    Board::Current().Problem("QueryCallback called outside an authentication run");
    return EFI_SUCCESS;
  }
  Caller->Answer(QueryCode, CallerAnswer);
  return EFI_SUCCESS;
}

// What --calls shows of a query: its code and the first byte of the caller's answer.
void DescribeQueryCallback(ServiceCall &Call, UINTN QueryCode, UINT8 *CallerAnswer) {
  if (!Call.Returned) {
    Call.Service = "QueryCallback";
    Call.Arguments = {"query code " + std::to_string(QueryCode)};
  } else if (CallerAnswer != nullptr) {
    Call.Results.push_back("answer byte 0: " + HexNumber(CallerAnswer[0]));
  }
}

// The bits the driver may change in the caller's words; every other bit is the caller's.
constexpr uint32_t AuthOutBits = AUTH_CONSOLE_RESTORED | AUTH_USER_VERIFIED | AUTH_ADMIN_VERIFIED;
constexpr uint32_t ControlOutBits =
    CONTROL_READER_FOUND | CONTROL_ENTER_SETUP | CONTROL_RESET_MAPPING;

struct BitName {
  uint32_t Bit;
  const char *Name;
};

std::string FlagsText(uint32_t Flags, const std::vector<BitName> &Names) {
  char Hex[16];
  std::snprintf(Hex, sizeof Hex, "0x%08X", Flags);
  std::string Text = Hex, List;
  uint32_t Rest = Flags;
  for (const BitName &N : Names) {
    if (Flags & N.Bit) {
      List += (List.empty() ? "" : ", ") + std::string(N.Name);
      Rest &= ~N.Bit;
    }
  }
  if (Rest != 0) {
    std::snprintf(Hex, sizeof Hex, "0x%X", Rest);
    List += (List.empty() ? "other bits " : ", other bits ") + std::string(Hex);
  }
  return List.empty() ? Text : Text + " (" + List + ")";
}

} // namespace

const char *OutcomeName(AuthOutcome How) {
  switch (How) {
  case AuthOutcome::Returned:
    return "returned";
  case AuthOutcome::Halted:
    return "halted";
  case AuthOutcome::Stuck:
    return "stuck";
  case AuthOutcome::Crashed:
    return "crashed";
  case AuthOutcome::NoProtocol:
    return "no FINGERPRINT_AUTH_PROTOCOL";
  }
  return "?";
}

std::string AuthFlagsText(uint32_t Flags) {
  return FlagsText(Flags, {{AUTH_SYSTEM_PASSWORD_RUN, "system-password run"},
                           {AUTH_CONSOLE_RESTORED, "console restored"},
                           {AUTH_USER_ALONE_NOT_ENOUGH, "user password alone not enough"},
                           {AUTH_USER_VERIFIED, "user verified"},
                           {AUTH_ADMIN_VERIFIED, "administrator verified"}});
}

std::string ControlFlagsText(uint32_t Flags) {
  return FlagsText(Flags, {{CONTROL_READER_FOUND, "reader found"},
                           {CONTROL_ENTER_SETUP, "enter setup"},
                           {CONTROL_RESET_MAPPING, "reset drive mapping"}});
}

void SetupEngine::Answer(UINTN Code, UINT8 *CallerAnswer) {
  QueryRecord Record;
  Record.Code = Code;
  Record.Order = Current->Queries.size();
  Record.Microseconds = Owner.ClockMicroseconds;
  if (CallerAnswer == nullptr) {
    Owner.Problem("QueryCallback called with a NULL answer buffer");
  } else if (Code == QUERY_GO_ON) {
    CallerAnswer[CALLER_ANSWER_FLAG] = Answers.Stop;
    Record.Answer.assign(CallerAnswer, CallerAnswer + 1);
  } else if (Code == QUERY_PASSWORDS) {
    CallerAnswer[CALLER_ANSWER_FLAG] = Answers.AnswerFlag;
    std::memcpy(CallerAnswer + CALLER_ANSWER_ADMIN, Answers.Administrator.data(),
                PASSWORD_FORM_SIZE);
    std::memcpy(CallerAnswer + CALLER_ANSWER_USER, Answers.User.data(), PASSWORD_FORM_SIZE);
    for (size_t I = 0; I < Answers.DiskCandidates.size(); I++) {
      std::memcpy(CallerAnswer + CALLER_ANSWER_DISK_CANDIDATES + I * PASSWORD_FORM_SIZE,
                  Answers.DiskCandidates[I].data(), PASSWORD_FORM_SIZE);
    }
    Record.Answer.assign(CallerAnswer, CallerAnswer + PASSWORD_ANSWER_SIZE);
  } else {
    Owner.Problem("QueryCallback called with query code " + std::to_string(Code) +
                  ", which the setup engine does not know");
  }
  Current->Queries.push_back(std::move(Record));
}

AuthRun SetupEngine::Authenticate(uint32_t AuthFlags, uint32_t ControlFlags) {
  AuthRun Run;
  Run.AuthFlagsBefore = Run.AuthFlags = AuthFlags;
  Run.ControlFlagsBefore = Run.ControlFlags = ControlFlags;
  Run.FirstFrame = Owner.Console.Frames().size();
  Run.FirstCall = Owner.Console.Calls().size();
  Run.TplAfter = Owner.Tpl;
  size_t ProblemStart = Owner.Problems.size();
  uint64_t Start = Owner.ClockMicroseconds;
  Owner.Console.RestartIdleBound();

  std::vector<EFI_HANDLE> Handles = Owner.HandlesWith(FINGERPRINT_AUTH_PROTOCOL_GUID);
  if (Handles.empty()) {
    Run.How = AuthOutcome::NoProtocol;
    Run.Message = "FINGERPRINT_AUTH_PROTOCOL is not installed";
    return Run;
  }
  auto *Protocol = static_cast<FINGERPRINT_AUTH_PROTOCOL *>(
      Owner.Protocol(Handles.front(), FINGERPRINT_AUTH_PROTOCOL_GUID));

  AuthWord = AuthFlags;
  ControlWord = ControlFlags;
  Current = &Run;
  Caller = this;
  Owner.Tpl = CallTpl;
  RunResult Result = Owner.RunGuardedCall("FingerprintAuthenticate", [&]() -> uint64_t {
    // The callback runs off the image stack, as the board's services do.
    EnterImageCode(reinterpret_cast<const void *>(Protocol->FingerprintAuthenticate));
    EFI_STATUS Status = Protocol->FingerprintAuthenticate(
        &AuthWord, OffImageStack<Recorded<QueryCallback, DescribeQueryCallback>>, &ControlWord);
    LeaveImageCode();
    return Status;
  });
  Caller = nullptr;
  Current = nullptr;

  Run.Status = Result.Status;
  Run.Message = Result.Message;
  switch (Result.How) {
  case Outcome::Returned:
    Run.How = AuthOutcome::Returned;
    break;
  case Outcome::Halted:
    Run.How = Result.Message.find("stuck") != std::string::npos ? AuthOutcome::Stuck
                                                                : AuthOutcome::Halted;
    break;
  case Outcome::Crashed:
  case Outcome::NotLoaded: // a guarded call never reports it
    Run.How = AuthOutcome::Crashed;
    break;
  }
  Run.AuthFlags = AuthWord;
  Run.ControlFlags = ControlWord;
  if (((AuthWord ^ AuthFlags) & ~AuthOutBits) != 0) {
    Owner.Problem("FingerprintAuthenticate changed AuthFlags bits that belong to the caller: " +
                  AuthFlagsText((AuthWord ^ AuthFlags) & ~AuthOutBits));
  }
  if (((ControlWord ^ ControlFlags) & ~ControlOutBits) != 0) {
    Owner.Problem("FingerprintAuthenticate changed ControlFlags bits that belong to the caller: " +
                  ControlFlagsText((ControlWord ^ ControlFlags) & ~ControlOutBits));
  }
  Run.TplAfter = Owner.Tpl;
  // The caller's own work after the call (its key waits among it) runs at its level.
  if (Run.How == AuthOutcome::Returned && Run.TplAfter != CallTpl) {
    Owner.Problem("FingerprintAuthenticate returned at task priority level " +
                  TplText(Run.TplAfter) + ", not at the level " + TplText(CallTpl) +
                  " it was called at");
  }
  Run.Microseconds = Owner.ClockMicroseconds - Start;
  Owner.Console.CaptureFrame("end of run");
  Run.Problems.assign(Owner.Problems.begin() + ProblemStart, Owner.Problems.end());
  return Run;
}

} // namespace sim
