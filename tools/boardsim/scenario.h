// The board a boardsim run describes: variables, straps, devices and TPM, the drivers to
// dispatch, and the boots to simulate. Read from JSON; every field is checked, and a bad field
// is reported by its path.
#pragma once

#include "board.h"

#include <nlohmann/json.hpp>

#include <array>
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

struct Scenario {
  std::string Description;
  std::vector<VariableSpec> Variables;
  HardwareSpec Hardware;
  std::vector<HardwareSpec> Boots; // at least one
  std::vector<std::string> Drivers;
  nlohmann::json Raw; // the whole document, for the phases that read their own sections
};

Scenario ParseScenario(const nlohmann::json &Document);
Scenario LoadScenario(const std::string &Path);
Scenario DefaultScenario();
const char *DefaultScenarioText();

// Puts the scenario's hardware and variables on the board.
void ApplyHardware(sim::Board &Board, const HardwareSpec &Hardware);
void ApplyVariables(sim::Board &Board, const Scenario &S);

// Helpers for the phases that read their own sections.
uint64_t Number(const nlohmann::json &Value, const std::string &Path, uint64_t Max);
bool Flag(const nlohmann::json &Value, const std::string &Path);
void CheckKeys(const nlohmann::json &Object, const std::string &Path,
               const std::vector<std::string> &Known);
bool ResolveGuid(const std::string &Text, EFI_GUID &Guid);

} // namespace boardsim
