// The board a boardsim run describes: variables, straps, devices and TPM, the drivers to
// dispatch, and the boots to simulate. Read from JSON; every field is checked, and a bad field
// is reported by its path.
#pragma once

#include "board.h"

#include <nlohmann/json.hpp>

#include <array>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace boardsim {

struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct VariableSpec {
  std::u16string Name;
  EFI_GUID Guid{};
  uint32_t Attributes = 7;
  std::vector<uint8_t> Data;
};

// Hardware of the board; in a boot entry only the fields given change.
struct HardwareSpec {
  std::optional<bool> Com2Strap, LptStrap, OptionStrap;
  std::optional<int> GpuVendor;          // device 0 behind bridge 0:2.0; -1 none
  std::optional<int> BridgeDeviceVendor; // device at 9:05.0 behind bridge 0:14.4; -1 none
  std::optional<uint8_t> BridgeControl;  // 0:14.4 register 0x42 at power-on
  std::optional<std::array<uint8_t, 4>> Tpm;
};

// ---- the fingerprint authentication (section "fingerprint") ----
// Passwords are plain text; the scenario turns them into the forms the firmware keeps.
struct KeySpec {
  bool Named = false;
  std::string Name;                       // a named key (ESC, F1, ENTER, ...)
  std::u16string Text;                    // or typed text ('\r' is Enter)
  std::optional<uint64_t> AtMicroseconds; // pressed not before this long after the run starts
};

struct CallerSpec {
  bool Stop = false;                        // answer to query code 2
  std::optional<bool> AnswerFlag;           // code 1, byte 0 (default: set when passwords given)
  std::optional<std::string> Administrator; // code 1, in the setup form
  std::optional<std::string> User;
  std::vector<std::string> Disks; // up to four candidates, in the module form
};

struct DriveSpec {
  std::string Label;
  uint32_t Channel = 0;
  uint32_t Device = 0;
  uint8_t Function = 0;
  std::string Serial;
  std::optional<std::string> UserPassword; // security enabled: locked at power-on
  std::optional<std::string> MasterPassword;
  bool Locked = true; // false: security enabled but already unlocked at the checkpoints
  bool Frozen = false;
  bool MaximumSecurity = false;
  unsigned AttemptLimit = 5; // ATA's count of refused unlocks; 0: no limit
};

struct AuthRunSpec {
  std::string Name;
  size_t Boot = 1;        // 1-based
  uint32_t AuthFlags = 0; // with bit 1 for a system-password checkpoint
  uint32_t ControlFlags = 0;
  std::vector<KeySpec> Keys;
  std::optional<CallerSpec> Caller; // replaces the section's answers for this run
  std::optional<bool> FingerAccepted;
  EFI_TPL Tpl = TPL_APPLICATION; // the task priority level the setup engine calls at
};

struct FingerprintSpec {
  bool Dispatch = true; // load FingerprintAuthDxe from its firmware file in every boot
  std::string UserPassword, AdministratorPassword; // "VELTRASetup"; empty: not set
  bool PasswordsGiven = false;
  std::vector<DriveSpec> Drives;
  std::vector<size_t> ReaderEntries = {1}; // USB device-table entries holding a reader
  uint8_t ReaderController = 1;
  bool FingerEnrolled = true;
  bool FingerAccepted = true;
  std::optional<uint8_t> FingerState;
  std::map<uint16_t, std::string> Slots; // module slot bit -> password
  std::map<uint8_t, unsigned> Busy;      // request code -> busy answers
  std::map<uint8_t, uint16_t> Answers;   // request code -> fixed answer
  CallerSpec Caller;
  std::vector<sim::TextMode> ConsoleModes; // empty: the board's
  bool ConsoleControl = true;
  bool DisplayController = true;
  std::vector<AuthRunSpec> Runs;
};

struct Scenario {
  std::string Description;
  std::vector<VariableSpec> Variables;
  HardwareSpec Hardware;
  std::vector<HardwareSpec> Boots; // at least one
  std::vector<std::string> Drivers;
  std::optional<FingerprintSpec> Fingerprint;
  nlohmann::json Raw; // the whole document, for the phases that read their own sections
};

// Bounds of a scenario: what lies beyond one is refused with the field named. They keep a run
// to seconds and the reader's memory and stack small whatever a file holds.
inline constexpr size_t kMaxScenarioBytes = 4u << 20;
inline constexpr size_t kMaxNesting = 32; // objects and arrays inside each other
inline constexpr size_t kMaxVariables = 256;
inline constexpr size_t kMaxVariableBytes = 0x10000;
inline constexpr size_t kMaxNameLength = 256; // variable and driver names
inline constexpr size_t kMaxDrivers = 16;
inline constexpr size_t kMaxBoots = 16;
inline constexpr size_t kMaxDrives = 16;
inline constexpr size_t kMaxRuns = 64;
inline constexpr size_t kMaxKeys = 4096; // keys one run presses (typed characters count)
// A timed key at most ten minutes of board time into its run: a driver polling for it (10 ms a
// poll at the notice) takes about a second and a half of the host's time to get there.
inline constexpr uint64_t kMaxKeyTimeMs = 600000;
inline constexpr size_t kMaxTextModes = 64;
inline constexpr size_t kMaxTemperatures = 1000;
inline constexpr size_t kMaxSoftwareSmis = 1000;
inline constexpr size_t kMaxExpectations = 1024; // of each kind

Scenario ParseScenario(const nlohmann::json &Document);
// Text: a whole scenario document; Origin names it in messages ("scenario file 'x.json'").
Scenario ParseScenarioText(const std::string &Text, const std::string &Origin);
Scenario LoadScenario(const std::string &Path);
Scenario DefaultScenario();
const char *DefaultScenarioText();

// Puts the scenario's hardware and variables on the board.
void ApplyHardware(sim::Board &Board, const HardwareSpec &Hardware);
void ApplyVariables(sim::Board &Board, const Scenario &S);

// Helpers for the phases that read their own sections.
uint64_t Number(const nlohmann::json &Value, const std::string &Path, uint64_t Max);
// Value as an array of at most Max Items ("temperatures"); refused otherwise.
const nlohmann::json &List(const nlohmann::json &Value, const std::string &Path, size_t Max,
                           const std::string &Items);
bool Flag(const nlohmann::json &Value, const std::string &Path);
void CheckKeys(const nlohmann::json &Object, const std::string &Path,
               const std::vector<std::string> &Known);
bool ResolveGuid(const std::string &Text, EFI_GUID &Guid);

} // namespace boardsim
