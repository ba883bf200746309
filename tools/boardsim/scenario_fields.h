// What the scenario's readers share: field paths, the refusal of a field, and the readers of
// the sections that the top level of a scenario hands on. Inside boardsim's scenario files only.
#pragma once

#include "scenario.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace boardsim {

// "a.b" and "a[3]": the path of a field as messages name it.
std::string Join(const std::string &Path, const std::string &Key);
std::string Join(const std::string &Path, size_t Index);
// Refuses the scenario, naming the field.
[[noreturn]] void Fail(const std::string &Path, const std::string &What);
// Value, refused unless it is a JSON object.
const nlohmann::json &Object(const nlohmann::json &Value, const std::string &Path);

// Hexadecimal digits ("0A0B", blanks, ':' or '-' between bytes allowed) as bytes.
std::vector<uint8_t> HexBytes(const nlohmann::json &Value, const std::string &Path);
// Section "variables": one entry.
VariableSpec ParseVariable(const nlohmann::json &Value, const std::string &Path);
// The hardware fields, at the top level or in a boot entry (Path "" or "boots[i]").
HardwareSpec ParseHardware(const nlohmann::json &Value, const std::string &Path);
extern const std::vector<std::string> HardwareKeys;
// Section "fingerprint", for a scenario of Boots boots.
FingerprintSpec ParseFingerprint(const nlohmann::json &Value, size_t Boots);

} // namespace boardsim
