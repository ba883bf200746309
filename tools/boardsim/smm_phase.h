// The SMM part of a boardsim run: both SMM drivers dispatched after the DXE drivers (each runs
// twice: the boot-service run registers the image, the SMM core runs the copy in SMM), and the
// operating-system phase: boot services end, the SMI timer ticks through a temperature profile
// and a program asks the software SMIs.
//
// Scenario sections (both optional):
//   "smm": {"dispatch": true, "cpus": 2, "executing_cpu": 1, "caller_cpu": 0, "cpu_index": 0,
//           "tables": {"runtime_services": true, "cpu_index": true, "variable_services": true}}
//   "os":  {"temperatures": [30, 26, 28], "port_e82": "0x10", "register_17": 0,
//           "acpi_mode": false,
//           "software_smis": [{"value": "0x534D1020", "eax": "0x1000"}, ...]}
#pragma once

#include "scenario.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <vector>

namespace boardsim {

struct SoftwareSmiSpec {
  uint64_t Value = 0;
  uint32_t Eax = 0;
};

struct SmmPlan {
  bool Dispatch = true;
  sim::SmmOptions Core;
  // Operating-system phase.
  std::vector<uint8_t> Temperatures;
  uint8_t PortE82 = 0;
  uint8_t Register17 = 0;
  bool AcpiMode = false; // SCI_EN set by the operating system
  std::vector<SoftwareSmiSpec> SoftwareSmis;
};

// Reads the "smm" and "os" sections; a bad field throws ScenarioError naming it.
SmmPlan ParseSmmPlan(const nlohmann::json &Document);

// Dispatches FanControlSmm and FingerprintStatusSmm and reports both runs of each. Returns
// whether a run crashed.
bool DispatchSmmDrivers(sim::Board &Board, const SmmPlan &Plan, std::ostream &Out);

// Ends boot services and runs the operating-system phase. Returns whether an SMI handler
// crashed or did something the board refuses.
bool RunOperatingSystem(sim::Board &Board, const SmmPlan &Plan, std::ostream &Out);

} // namespace boardsim
