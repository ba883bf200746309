// The firmware's setup engine as far as the fingerprint authentication sees it: at a password
// checkpoint it locates FINGERPRINT_AUTH_PROTOCOL, calls FingerprintAuthenticate with its own
// AuthFlags and ControlFlags words and its QueryCallback, and afterwards reads the verdict
// bits. The callback answers query code 2 (go on?) and code 1 (the caller's passwords) as
// configured, and every query is recorded.
#pragma once

#include "fault_handler.h"
#include "fingerprint_services.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class Board;

struct CallerAnswers {
  // Code 2: byte 0 of the answer; non-zero asks the driver to end the run.
  uint8_t Stop = 0;
  // Code 1: byte 0 (non-zero: passwords supplied), then the administrator and user passwords
  // in the setup form and four hard-disk candidates in the module form, 12 bytes each.
  uint8_t AnswerFlag = 0;
  std::array<uint8_t, PASSWORD_FORM_SIZE> Administrator{};
  std::array<uint8_t, PASSWORD_FORM_SIZE> User{};
  std::array<std::array<uint8_t, PASSWORD_FORM_SIZE>, 4> DiskCandidates{};
};

// Bytes 0..72 of the answer to code 1.
inline constexpr size_t PASSWORD_ANSWER_SIZE =
    CALLER_ANSWER_DISK_CANDIDATES + 4 * PASSWORD_FORM_SIZE;
static_assert(PASSWORD_ANSWER_SIZE == 73);

struct QueryRecord {
  UINTN Code = 0;
  size_t Order = 0;            // 0 for the run's first query
  uint64_t Microseconds = 0;   // the board's clock at the query
  std::vector<uint8_t> Answer; // the bytes the engine wrote
};

enum class AuthOutcome {
  Returned,   // FingerprintAuthenticate returned (Status holds its result)
  Halted,     // the driver stopped the machine
  Stuck,      // the driver waited for a key that never came
  Crashed,    // the driver faulted
  NoProtocol, // FINGERPRINT_AUTH_PROTOCOL is not installed
};
const char *OutcomeName(AuthOutcome How);

struct AuthRun {
  AuthOutcome How = AuthOutcome::NoProtocol;
  EFI_STATUS Status = 0;
  std::string Message; // where it halted, stuck or crashed
  uint32_t AuthFlagsBefore = 0, AuthFlags = 0;
  uint32_t ControlFlagsBefore = 0, ControlFlags = 0;
  std::vector<QueryRecord> Queries;
  size_t FirstFrame = 0; // the run's console frames and calls start at these indexes
  size_t FirstCall = 0;
  std::vector<std::string> Problems; // board problems raised during the run
  EFI_TPL TplAfter = 0;
  uint64_t Microseconds = 0; // board time the run took
  bool Returned() const { return How == AuthOutcome::Returned; }
};

// "0x80000004 (administrator verified, console restored)" and the like.
std::string AuthFlagsText(uint32_t Flags);
std::string ControlFlagsText(uint32_t Flags);

class SetupEngine {
public:
  explicit SetupEngine(Board &Owner) : Owner(Owner) {}

  CallerAnswers Answers;
  // The task priority level the engine calls at.
  EFI_TPL CallTpl = TPL_APPLICATION;

  // One authentication run at a checkpoint. Ends with a console frame of the last screen
  // when it changed since the last frame (a halt shows its message without waiting for a key).
  AuthRun Authenticate(uint32_t AuthFlags, uint32_t ControlFlags = 0);

  // Used by the query callback.
  void Answer(UINTN Code, UINT8 *CallerAnswer);

private:
  Board &Owner;
  AuthRun *Current = nullptr;
  uint32_t AuthWord = 0;
  uint32_t ControlWord = 0;
};

} // namespace sim
