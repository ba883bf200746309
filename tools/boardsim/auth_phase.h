// The fingerprint authentication in a boardsim run: the board's outside components as the
// scenario's "fingerprint" section describes them (passwords, drives, reader and finger, module
// answers, console), FingerprintAuthDxe dispatched from its firmware file in every boot, and
// the setup engine's checkpoints calling FingerprintAuthenticate as the scenario's runs say. The
// report shows every screen the user saw, the verdict bits, the status, the variables changed,
// the drive states and the module requests of each run.
#pragma once

#include "report.h"
#include "scenario.h"

#include "board.h"
#include "setup_engine.h"

#include <memory>
#include <ostream>

namespace sim {
class TerminalKeys;
}

namespace boardsim {

struct AuthBootResult {
  bool Crashed = false; // the driver or its entry point crashed
  bool Stopped = false; // a run halted the machine or waited for ever: the boot ends there
};

// The SATA drives and their security state, as the JSON report lists them.
nlohmann::json DrivesJson(sim::Board &Board);

class AuthPhase {
public:
  // Interactive: keys come from the terminal instead of the scenario's scripts.
  AuthPhase(sim::Board &Board, const Scenario &S, bool Interactive, std::ostream &Out);
  ~AuthPhase();
  AuthPhase(const AuthPhase &) = delete;
  AuthPhase &operator=(const AuthPhase &) = delete;

  // Before the first boot: the configuration that lasts across reboots (drives, reader,
  // finger, devices, console) and the password store.
  void Prepare();
  // After the DXE dispatch of boot Boot (0-based).
  AuthBootResult RunBoot(size_t Boot);

private:
  void PrintRun(const sim::AuthRun &Run, const AuthRunSpec &Spec, size_t Number,
                const VariableSnapshot &Before, const VariableSnapshot &After, size_t RequestStart,
                size_t TimelineStart, uint64_t Start, bool WindowRestored, size_t Leaked,
                const std::vector<std::string> &Unread);
  void PrintFrames(size_t First, uint64_t Start, nlohmann::json &Screens);

  sim::Board &Board;
  const Scenario &S;
  bool Interactive;
  bool Colour;
  std::ostream &Out;
  sim::SetupEngine Engine;
  std::unique_ptr<sim::TerminalKeys> Terminal;
};

} // namespace boardsim
