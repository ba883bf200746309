// What a scenario says must come out of the run (its "expect" section), and the check of it
// against the run's report:
//   "expect": {
//     "drivers": {"SetupHwSyncDxe": "EFI_SUCCESS", "FanControlSmm": "EFI_SUCCESS"},
//     "runs": {"first boot": {"status": "EFI_SUCCESS", "auth_flags": "0x40000004",
//                             "control_flags": "0x00000002", "halted": false,
//                             "drives": {"disk0": "unlocked"}}},
//     "variables": [{"name": "Setup", "fields": {"Com1Selection": 4}},
//                   {"name": "UPEKFLAG", "guid": "EFI_GLOBAL_VARIABLE", "absent": true}]}
// A driver's status is checked in every boot it ran in; a run is named by its "name"; the
// variables are checked in the store after the last boot.
#pragma once

#include "scenario.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace boardsim {

struct RunExpectation {
  std::string Name;
  std::optional<std::string> Status;
  std::optional<uint32_t> AuthFlags, ControlFlags;
  std::optional<bool> Halted;
  std::vector<std::pair<std::string, std::string>> Drives; // label, state
};

struct VariableExpectation {
  std::string Name;
  EFI_GUID Guid{};
  bool Absent = false;
  std::optional<std::vector<uint8_t>> Bytes;          // the whole content
  std::vector<std::pair<size_t, uint8_t>> ByteValues; // from "fields" and "set": offset, value
  std::string Path;
};

// The kinds the run summary counts, as named in "counts" and in the JSON summary.
extern const char *const CountNames[7];

struct Expectations {
  std::vector<std::pair<std::string, std::string>> Drivers; // name, status
  std::vector<RunExpectation> Runs;
  std::vector<VariableExpectation> Variables;
  std::vector<std::pair<std::string, uint64_t>> Counts; // summary kind, count for the run
  bool Empty() const {
    return Drivers.empty() && Runs.empty() && Variables.empty() && Counts.empty();
  }
  // Whether the scenario says how this driver's entry point ends, a run ends, or how many
  // of a kind the run summary counts: such an outcome is the scenario's to judge.
  bool CoversDriver(const std::string &Name) const;
  bool CoversRun(const std::string &Name) const;
  bool CoversCount(const std::string &Kind) const;
};

// Reads the "expect" section; a bad field throws ScenarioError naming it.
Expectations ParseExpectations(const nlohmann::json &Document);

struct ExpectationResult {
  std::string Path; // expect.runs."first boot".status
  bool Held = false;
  std::string Expected, Got;
};

// Checks the expectations against the JSON report and the variable store after the run.
std::vector<ExpectationResult> CheckExpectations(const Expectations &E,
                                                 const nlohmann::json &Report,
                                                 const sim::VariableStore &Variables);

} // namespace boardsim
