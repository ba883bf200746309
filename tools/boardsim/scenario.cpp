#include "scenario.h"

#include "guids.h"
#include "setup_variables.h"
#include "variable_layouts.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace boardsim {

using nlohmann::json;

namespace {

std::string Join(const std::string &Path, const std::string &Key) {
  return Path.empty() ? Key : Path + "." + Key;
}

std::string Join(const std::string &Path, size_t Index) {
  return Path + "[" + std::to_string(Index) + "]";
}

[[noreturn]] void Fail(const std::string &Path, const std::string &What) {
  throw ScenarioError("scenario field '" + Path + "': " + What);
}

const json &Object(const json &Value, const std::string &Path) {
  if (!Value.is_object()) {
    Fail(Path, "expected an object");
  }
  return Value;
}

int Vendor(const json &Value, const std::string &Path) {
  if (Value.is_null()) {
    return -1;
  }
  return (int)Number(Value, Path, 0xFFFF);
}

std::vector<uint8_t> HexBytes(const json &Value, const std::string &Path) {
  if (!Value.is_string()) {
    Fail(Path, "expected a string of hexadecimal bytes");
  }
  std::string Digits;
  for (char C : Value.get<std::string>()) {
    if (std::isxdigit((unsigned char)C)) {
      Digits += C;
    } else if (C != ' ' && C != ':' && C != '-') {
      Fail(Path, std::string("'") + C + "' is not a hexadecimal digit");
    }
  }
  if (Digits.size() % 2 != 0) {
    Fail(Path, "an odd number of hexadecimal digits");
  }
  std::vector<uint8_t> Bytes;
  for (size_t I = 0; I < Digits.size(); I += 2) {
    Bytes.push_back((uint8_t)std::stoul(Digits.substr(I, 2), nullptr, 16));
  }
  return Bytes;
}

VariableSpec ParseVariable(const json &Value, const std::string &Path) {
  Object(Value, Path);
  CheckKeys(Value, Path, {"name", "guid", "attributes", "size", "fill", "hex", "bytes", "set",
                          "fields"});
  VariableSpec V;
  if (!Value.contains("name") || !Value["name"].is_string() ||
      Value["name"].get<std::string>().empty()) {
    Fail(Join(Path, "name"), "expected the variable's name");
  }
  std::string Name = Value["name"].get<std::string>();
  V.Name = sim::Widen(Name);
  std::string GuidText = Value.value("guid", Name == "Setup" ? "SETUP_GUID" : "");
  if (!ResolveGuid(GuidText, V.Guid)) {
    Fail(Join(Path, "guid"), "unknown GUID '" + GuidText +
                                 "' (a GUID or SETUP_GUID, VELTRASETUP_GUID, EFI_GLOBAL_VARIABLE, "
                                 "PNP_NV_GUID, SETUP_COM1_DETECT_GUID, SETUP_COM2_DETECT_GUID)");
  }
  if (Value.contains("attributes")) {
    V.Attributes = (uint32_t)Number(Value["attributes"], Join(Path, "attributes"), 0x7F);
  }
  if (Value.contains("hex") && Value.contains("bytes")) {
    Fail(Path, "give either 'hex' or 'bytes', not both");
  }
  if (Value.contains("hex")) {
    V.Data = HexBytes(Value["hex"], Join(Path, "hex"));
  } else if (Value.contains("bytes")) {
    const json &Bytes = Value["bytes"];
    if (!Bytes.is_array()) {
      Fail(Join(Path, "bytes"), "expected an array of byte values");
    }
    for (size_t I = 0; I < Bytes.size(); I++) {
      V.Data.push_back((uint8_t)Number(Bytes[I], Join(Join(Path, "bytes"), I), 0xFF));
    }
  }
  size_t Size = V.Data.size();
  if (Value.contains("size")) {
    Size = Number(Value["size"], Join(Path, "size"), 0x10000);
  } else if (V.Data.empty() && V.Name == u"Setup") {
    Size = SETUP_VARIABLE_SIZE;
  }
  uint8_t Fill = Value.contains("fill") ? (uint8_t)Number(Value["fill"], Join(Path, "fill"), 0xFF)
                                        : 0;
  V.Data.resize(Size, Fill);
  if (Value.contains("set")) {
    const json &Set = Object(Value["set"], Join(Path, "set"));
    for (auto It = Set.begin(); It != Set.end(); ++It) {
      std::string Where = Join(Join(Path, "set"), It.key());
      uint64_t Offset = Number(json(It.key()), Where, 0xFFFF);
      if (Offset >= V.Data.size()) {
        Fail(Where, "offset beyond the variable's " + std::to_string(V.Data.size()) + " bytes");
      }
      V.Data[Offset] = (uint8_t)Number(It.value(), Where, 0xFF);
    }
  }
  if (Value.contains("fields")) {
    if (V.Name != u"Setup") {
      Fail(Join(Path, "fields"), "named fields exist only for \"Setup\"");
    }
    const json &Fields = Object(Value["fields"], Join(Path, "fields"));
    for (auto It = Fields.begin(); It != Fields.end(); ++It) {
      std::string Where = Join(Join(Path, "fields"), It.key());
      int Offset = SetupFieldOffset(It.key());
      if (Offset < 0) {
        std::string Names;
        for (const std::string &N : SetupFieldNames()) {
          Names += (Names.empty() ? "" : ", ") + N;
        }
        Fail(Where, "no such Setup field (known: " + Names + ")");
      }
      if ((size_t)Offset >= V.Data.size()) {
        Fail(Where, "beyond the variable's size");
      }
      V.Data[Offset] = (uint8_t)Number(It.value(), Where, 0xFF);
    }
  }
  return V;
}

HardwareSpec ParseHardware(const json &Value, const std::string &Path) {
  HardwareSpec H;
  if (Value.contains("straps")) {
    std::string Where = Join(Path, "straps");
    const json &Straps = Object(Value["straps"], Where);
    CheckKeys(Straps, Where, {"com2", "lpt", "option"});
    if (Straps.contains("com2")) H.Com2Strap = Flag(Straps["com2"], Join(Where, "com2"));
    if (Straps.contains("lpt")) H.LptStrap = Flag(Straps["lpt"], Join(Where, "lpt"));
    if (Straps.contains("option")) H.OptionStrap = Flag(Straps["option"], Join(Where, "option"));
  }
  if (Value.contains("gpu_vendor")) {
    H.GpuVendor = Vendor(Value["gpu_vendor"], Join(Path, "gpu_vendor"));
  }
  if (Value.contains("bridge_device_vendor")) {
    H.BridgeDeviceVendor = Vendor(Value["bridge_device_vendor"], Join(Path, "bridge_device_vendor"));
  }
  if (Value.contains("bridge_control")) {
    H.BridgeControl = (uint8_t)Number(Value["bridge_control"], Join(Path, "bridge_control"), 0xFF);
  }
  if (Value.contains("tpm")) {
    std::string Where = Join(Path, "tpm");
    const json &Tpm = Value["tpm"];
    if (!Tpm.is_array() || Tpm.size() != 4) {
      Fail(Where, "expected the four TPM_DID_VID bytes, e.g. [\"0xD1\", \"0x15\", 0, 0]");
    }
    std::array<uint8_t, 4> Bytes{};
    for (size_t I = 0; I < 4; I++) {
      Bytes[I] = (uint8_t)Number(Tpm[I], Join(Where, I), 0xFF);
    }
    H.Tpm = Bytes;
  }
  return H;
}

const std::vector<std::string> HardwareKeys = {"straps", "gpu_vendor", "bridge_device_vendor",
                                               "bridge_control", "tpm"};

} // namespace

void CheckKeys(const json &Value, const std::string &Path, const std::vector<std::string> &Known) {
  for (auto It = Value.begin(); It != Value.end(); ++It) {
    if (std::find(Known.begin(), Known.end(), It.key()) == Known.end()) {
      std::string List;
      for (const std::string &K : Known) {
        List += (List.empty() ? "" : ", ") + K;
      }
      Fail(Join(Path, It.key()), "unknown field (known here: " + List + ")");
    }
  }
}

uint64_t Number(const json &Value, const std::string &Path, uint64_t Max) {
  uint64_t Result = 0;
  if (Value.is_number_unsigned()) {
    Result = Value.get<uint64_t>();
  } else if (Value.is_number_integer()) {
    if (Value.get<int64_t>() < 0) {
      Fail(Path, "negative number");
    }
    Result = (uint64_t)Value.get<int64_t>();
  } else if (Value.is_string()) {
    const std::string Text = Value.get<std::string>();
    size_t Used = 0;
    try {
      Result = std::stoull(Text, &Used, 0);
    } catch (const std::exception &) {
      Used = 0;
    }
    if (Used == 0 || Used != Text.size()) {
      Fail(Path, "'" + Text + "' is not a number");
    }
  } else {
    Fail(Path, "expected a number (decimal, or a string such as \"0x10DE\")");
  }
  if (Result > Max) {
    std::ostringstream Limit;
    Limit << "0x" << std::hex << Max;
    Fail(Path, "value larger than " + Limit.str());
  }
  return Result;
}

bool Flag(const json &Value, const std::string &Path) {
  if (!Value.is_boolean()) {
    Fail(Path, "expected true or false");
  }
  return Value.get<bool>();
}

bool ResolveGuid(const std::string &Text, EFI_GUID &Guid) {
  static const std::pair<const char *, const EFI_GUID *> Named[] = {
      {"SETUP_GUID", &SETUP_GUID},
      {"VELTRASETUP_GUID", &VELTRASETUP_GUID},
      {"EFI_GLOBAL_VARIABLE", &EFI_GLOBAL_VARIABLE},
      {"PNP_NV_GUID", &PNP_NV_GUID},
      {"SETUP_COM1_DETECT_GUID", &SETUP_COM1_DETECT_GUID},
      {"SETUP_COM2_DETECT_GUID", &SETUP_COM2_DETECT_GUID},
  };
  for (const auto &[Name, Value] : Named) {
    if (Text == Name) {
      Guid = *Value;
      return true;
    }
  }
  return sim::ParseGuid(Text, Guid);
}

Scenario ParseScenario(const json &Document) {
  Object(Document, "(top level)");
  std::vector<std::string> TopKeys = {"description", "variables", "drivers", "boots"};
  TopKeys.insert(TopKeys.end(), HardwareKeys.begin(), HardwareKeys.end());
  // Sections read by the later phases of a run.
  for (const char *Key : {"smm", "os", "fingerprint"}) {
    TopKeys.push_back(Key);
  }
  CheckKeys(Document, "", TopKeys);

  Scenario S;
  S.Raw = Document;
  if (Document.contains("description")) {
    if (!Document["description"].is_string()) {
      Fail("description", "expected a string");
    }
    S.Description = Document["description"].get<std::string>();
  }
  if (Document.contains("variables")) {
    const json &Variables = Document["variables"];
    if (!Variables.is_array()) {
      Fail("variables", "expected an array of variables");
    }
    for (size_t I = 0; I < Variables.size(); I++) {
      S.Variables.push_back(ParseVariable(Variables[I], Join("variables", I)));
    }
  }
  S.Hardware = ParseHardware(Document, "");
  if (Document.contains("drivers")) {
    const json &Drivers = Document["drivers"];
    if (!Drivers.is_array()) {
      Fail("drivers", "expected an array of driver names");
    }
    for (size_t I = 0; I < Drivers.size(); I++) {
      if (!Drivers[I].is_string()) {
        Fail(Join("drivers", I), "expected a driver name");
      }
      S.Drivers.push_back(Drivers[I].get<std::string>());
    }
  }
  if (Document.contains("boots")) {
    const json &Boots = Document["boots"];
    if (!Boots.is_array() || Boots.empty()) {
      Fail("boots", "expected a non-empty array of boots (each may change the hardware)");
    }
    for (size_t I = 0; I < Boots.size(); I++) {
      std::string Where = Join("boots", I);
      Object(Boots[I], Where);
      CheckKeys(Boots[I], Where, HardwareKeys);
      S.Boots.push_back(ParseHardware(Boots[I], Where));
    }
  } else {
    S.Boots.push_back({});
  }
  return S;
}

Scenario LoadScenario(const std::string &Path) {
  std::ifstream In(Path);
  if (!In) {
    throw ScenarioError("cannot read scenario file '" + Path + "'");
  }
  json Document;
  try {
    Document = json::parse(In);
  } catch (const json::parse_error &Error) {
    throw ScenarioError("scenario file '" + Path + "' is not valid JSON: " + Error.what());
  }
  return ParseScenario(Document);
}

const char *DefaultScenarioText() {
  return R"({
  "description": "The notebook as shipped: NVIDIA graphics, a TPM, a device behind the south bridge's bridge, the option strap set on the first boot and released on the second.",
  "variables": [
    {"name": "Setup", "fill": 0, "fields": {
       "Com1Selection": 4, "Com2Selection": 4, "LptEnable": 1, "LinkedOptionsSwitch": 1,
       "StrapGatedOption1": 1, "StrapGatedOption2": 1, "BridgeProbeSelect": 1,
       "FingerprintReaderOption": 1}},
    {"name": "FPExistFlag", "guid": "EFI_GLOBAL_VARIABLE", "bytes": [2]},
    {"name": "PNP0400_0_NV", "guid": "PNP_NV_GUID", "bytes": [0, 1, 0]},
    {"name": "PNP0501_0_NV", "guid": "PNP_NV_GUID", "bytes": [0, 1, 0]},
    {"name": "PNP0501_1_NV", "guid": "PNP_NV_GUID", "bytes": [0, 2, 0]},
    {"name": "SetupCom1DetectData", "guid": "SETUP_COM1_DETECT_GUID", "bytes": [1, 0]},
    {"name": "SetupCom2DetectData", "guid": "SETUP_COM2_DETECT_GUID", "bytes": [1, 0]}
  ],
  "straps": {"com2": false, "lpt": false, "option": true},
  "gpu_vendor": "0x10DE",
  "bridge_device_vendor": "0x14E4",
  "bridge_control": "0x10",
  "tpm": ["0xD1", "0x15", "0x1B", "0x00"],
  "smm": {"tables": {"runtime_services": true, "cpu_index": true, "variable_services": true}},
  "os": {"temperatures": [30, 30, 24, 27, 35, 40, 31, 26], "port_e82": "0x00", "register_17": 0},
  "boots": [{}, {"straps": {"option": false}}]
})";
}

Scenario DefaultScenario() { return ParseScenario(json::parse(DefaultScenarioText())); }

void ApplyHardware(sim::Board &Board, const HardwareSpec &H) {
  if (H.Com2Strap) Board.Fch.SetStrap(0xFED80134, *H.Com2Strap);
  if (H.LptStrap) Board.Fch.SetStrap(0xFED80135, *H.LptStrap);
  if (H.OptionStrap) Board.Fch.SetStrap(0xFED801E0, *H.OptionStrap);
  if (H.GpuVendor) {
    if (*H.GpuVendor < 0) {
      Board.Pcie.DetachBehind({0, 2, 0});
    } else {
      Board.Pcie.AttachBehind({0, 2, 0}, 0, 0, (uint16_t)*H.GpuVendor, 0x1C20);
    }
  }
  if (H.BridgeDeviceVendor) {
    if (*H.BridgeDeviceVendor < 0) {
      Board.Pcie.DetachBehind({0, 0x14, 4});
    } else {
      Board.Pcie.AttachBehind({0, 0x14, 4}, 5, 0, (uint16_t)*H.BridgeDeviceVendor, 0x4727);
    }
  }
  if (H.BridgeControl) {
    (*Board.Pcie.Function({0, 0x14, 4}))[0x42] = *H.BridgeControl;
  }
  if (H.Tpm) Board.Tpm.Identity = *H.Tpm;
}

void ApplyVariables(sim::Board &Board, const Scenario &S) {
  for (const VariableSpec &V : S.Variables) {
    Board.Variables.Put(V.Name, V.Guid, V.Attributes, V.Data);
  }
}

} // namespace boardsim
