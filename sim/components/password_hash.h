// The firmware's password hash service (PASSWORD_HASH_PROTOCOL) as the board provides it.
//
// Three encodings of a password exist on the notebook:
//   - the typed line: 65 CHAR16, the typed characters followed by zeros;
//   - the module form (12 bytes): what the legacy fingerprint module stores and delivers and
//     what the SATA drives accept as their password;
//   - the setup form (12 bytes): what the setup engine keeps at the start of a "VELTRASetup"
//     password field.
// Entry 1 turns a typed line into 32 bytes whose first 12 are the module form; entry 2 turns a
// typed line into the setup form; entry 5 turns a module form into the setup form. The
// encodings are deterministic and chained: entry5(entry1(line)[0..11]) == entry2(line), and the
// module form and the setup form of a line always differ. Other entries do not exist on this
// board: a call is recorded as a board problem.
#pragma once

#include "fingerprint_services.h"
#include "optional_protocol.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

class BootServices;

using PasswordForm = std::array<uint8_t, PASSWORD_FORM_SIZE>;
using TypedLineBuffer = std::array<CHAR16, TYPED_LINE_LENGTH + 1>;

// The line ReadMaskedLine leaves for a typed text (ASCII; at most 64 characters are kept).
TypedLineBuffer TypedLine(const std::string &Text);
// The forms of a typed text, for tests and scenarios that write passwords in plain text.
PasswordForm ModuleForm(const std::string &Text);
PasswordForm SetupForm(const std::string &Text);
// The encodings themselves: what entries 1, 2 and 5 compute.
std::array<uint8_t, 32> ModuleEncoding(const CHAR16 *Line64);
PasswordForm SetupFormOfLine(const CHAR16 *Line64);
PasswordForm SetupFormOfModuleForm(const PasswordForm &Module);
// A 257-byte "VELTRASetup" image holding the setup forms of the given passwords (an empty text
// leaves its 128-byte field all zero, that is: no password set).
std::vector<uint8_t> SetupPasswordStore(const std::string &User, const std::string &Admin);

struct HashCall {
  size_t Entry = 0;
  UINTN InputLength = 0;
  UINTN OutputLength = 0;
  std::vector<uint8_t> Input;  // the bytes the entry read
  std::vector<uint8_t> Output; // the bytes it wrote
  EFI_STATUS Status = EFI_SUCCESS;
};

class PasswordHash {
public:
  explicit PasswordHash(BootServices &Owner);
  ~PasswordHash();
  PasswordHash(const PasswordHash &) = delete;
  PasswordHash &operator=(const PasswordHash &) = delete;

  // Publishes the service on a new handle (at power-on and after every reboot) unless it was
  // taken off the board; forgets the calls of the previous boot. Does nothing while it is
  // still on the board.
  void Install();
  // Takes the service off the board (or puts it back), now and across reboots.
  void SetPresent(bool Present) { Published.SetPresent(Present); }
  bool Present() const { return Published.Present(); }

  // Makes every later call of an entry report Status. With WritesOutput the entry still writes
  // the output it computed (a service may fill the buffer before it finds its fault); without,
  // it writes nothing. Status EFI_SUCCESS takes the failure back.
  void FailEntry(size_t Entry, EFI_STATUS Status, bool WritesOutput);

  PASSWORD_HASH_PROTOCOL *Protocol() { return &Table; }
  const std::vector<HashCall> &Calls() const { return CallLog; }
  size_t CallsOf(size_t Entry) const;

  // Used by the protocol functions.
  EFI_STATUS Call(size_t Entry, const VOID *Input, UINTN InputLength, VOID *Output,
                  UINTN OutputLength);

private:
  BootServices &Owner;
  PASSWORD_HASH_PROTOCOL Table{};
  OptionalProtocol Published{Owner, "password hash", PASSWORD_HASH_PROTOCOL_GUID, &Table};
  std::vector<HashCall> CallLog;
  struct Failure {
    EFI_STATUS Status;
    bool WritesOutput;
  };
  std::map<size_t, Failure> Failures;
};

} // namespace sim
