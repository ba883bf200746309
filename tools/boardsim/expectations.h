// What a scenario says must come out of the run (its "expect" section), and the check of it
// against the run's report:
//   "expect": {
//     "drivers": {"SetupHwSyncDxe": "EFI_SUCCESS",
//                 "PciBridgeProbeDxe": {"status": "EFI_SUCCESS",
//                                       "accesses": [{"address": "0xE00A4042", "write": true}],
//                                       "boot_script": [{"address": "0x140442"}]}},
//     "boots": {"2": {"drivers": {...}, "variables": [...], "counts": {"halts": 1}}},
//     "runs": {"first boot": {"status": "EFI_SUCCESS", "auth_flags": "0x40000004",
//                             "control_flags": "0x00000002", "halted": false,
//                             "drives": {"disk0": "unlocked"}, "screens": ["Hard Disk"]}},
//     "variables": [{"name": "Setup", "fields": {"Com1Selection": 4}},
//                   {"name": "UPEKFLAG", "guid": "EFI_GLOBAL_VARIABLE", "absent": true}],
//     "counts": {"problems": 0},
//     "os": {"ticks": {"3": "middle"}, "software_smis": [{"value": "0x534D1020",
//                                                          "answer": "0x000A0001"}],
//            "accesses": [...]}}
// The top-level drivers are checked in every boot they ran in, the top-level variables in the
// store after the last boot, the top-level counts against the run summary; an entry of "boots"
// holds the same for that boot alone. Accesses and boot-script entries are a sequence that must
// appear in that order among the driver's (other entries may come between).
#pragma once

#include "report.h"
#include "scenario.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace boardsim {

// One hardware access; the fields not given match any access.
struct AccessExpectation {
  std::optional<bool> Io; // the space: I/O port or memory-mapped
  std::optional<bool> Write;
  std::optional<unsigned> Width; // in bits
  uint64_t Address = 0;
  std::optional<uint64_t> Value;
};

// One boot-script entry; the fields not given match any entry.
struct ScriptExpectation {
  std::optional<uint64_t> Table, OpCode, Address, Count;
  std::optional<std::string> Width; // UINT8 ...
  std::optional<std::vector<uint8_t>> Data;
};

struct DriverExpectation {
  std::string Name;
  std::optional<std::string> Status; // a status name, or the outcome halted, crashed, ...
  std::vector<AccessExpectation> Accesses;
  std::vector<ScriptExpectation> BootScript;
};

struct RunExpectation {
  std::string Name;
  std::optional<std::string> Status;
  std::optional<uint32_t> AuthFlags, ControlFlags;
  std::optional<bool> Halted;
  std::vector<std::pair<std::string, std::string>> Drives; // label, state
  std::vector<std::string> Screens;                        // texts some screen shows
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

// What must hold in one boot (Boot 1..) or, for Boot 0, in every boot and for the whole run.
struct BootExpectations {
  size_t Boot = 0;
  std::vector<DriverExpectation> Drivers;
  std::vector<VariableExpectation> Variables;
  std::vector<std::pair<std::string, uint64_t>> Counts; // summary kind, count
  bool Empty() const { return Drivers.empty() && Variables.empty() && Counts.empty(); }
};

// The fan band in effect after an SMI timer tick (set by the last band change at or before it).
struct TickExpectation {
  size_t Tick = 0;
  std::optional<bool> Changed; // whether this tick changed the band
  std::optional<std::string> Band, Table;
  std::optional<uint8_t> Marker;
  std::vector<std::pair<uint8_t, uint8_t>> Registers; // written by that band change
};

// The answer (EAX after the SMI) of every software SMI raised with this value (and EAX).
struct SmiExpectation {
  uint32_t Value = 0;
  std::optional<uint32_t> Eax;
  std::optional<uint32_t> Answer; // none: no answer, EAX unchanged
  std::string Path;
};

struct Expectations {
  BootExpectations Whole;
  std::vector<BootExpectations> Boots;
  std::vector<RunExpectation> Runs;
  std::vector<TickExpectation> Ticks;
  std::vector<SmiExpectation> SoftwareSmis;
  std::vector<AccessExpectation> OsAccesses; // of the timer SMIs, all ticks in order
  bool Empty() const {
    return Whole.Empty() && Boots.empty() && Runs.empty() && Ticks.empty() &&
           SoftwareSmis.empty() && OsAccesses.empty();
  }
  // Whether the scenario says how this driver's entry point ends in this boot, how a run ends,
  // or how many of a kind a boot's (Boot 0: only the run's) summary counts: such an outcome is
  // the scenario's to judge.
  bool CoversDriver(const std::string &Name, size_t Boot) const;
  bool CoversRun(const std::string &Name) const;
  bool CoversCount(const std::string &Kind, size_t Boot) const;
};

// Reads the "expect" section of a scenario of BootCount boots; a bad field throws
// ScenarioError naming it.
Expectations ParseExpectations(const nlohmann::json &Document, size_t BootCount);

struct ExpectationResult {
  std::string Path; // expect.runs."first boot".status
  bool Held = false;
  std::string Expected, Got;
};

// Checks the expectations against the JSON report, the variable store after each boot
// (AfterBoot[0] after boot 1) and the store at the end of the run.
std::vector<ExpectationResult> CheckExpectations(const Expectations &E,
                                                 const nlohmann::json &Report,
                                                 const std::vector<VariableSnapshot> &AfterBoot,
                                                 const VariableSnapshot &AtEnd);

} // namespace boardsim
