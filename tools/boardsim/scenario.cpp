// Reading a scenario: its top level, the checks of a field that every section uses, the text of
// a whole document and the built-in default. The sections have files of their own:
// scenario_variables.cpp, scenario_hardware.cpp (also of "boots"), scenario_fingerprint.cpp; the
// phases of a run read "smm", "os" and "expect" themselves.
#include "scenario.h"

#include "scenario_fields.h"

#include "guids.h"
#include "setup_variables.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

namespace boardsim {

using nlohmann::json;

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
    // The C library would take a sign or leading blanks ("-1" as 2^64-1): only digits here.
    if (!Text.empty() && std::isdigit((unsigned char)Text[0])) {
      try {
        Result = std::stoull(Text, &Used, 0);
      } catch (const std::exception &) {
        Used = 0;
      }
    }
    if (Used == 0 || Used != Text.size()) {
      Fail(Path, "'" + Text + "' is not a number" +
                     (!Text.empty() && Text[0] == '-' ? " (negative numbers are refused)" : ""));
    }
  } else if (Value.is_number_float()) {
    Fail(Path, "expected a whole number");
  } else {
    Fail(Path, "expected a number (decimal, or a string such as \"0x10DE\")");
  }
  if (Result > Max) {
    Fail(Path, "value larger than " + std::to_string(Max));
  }
  return Result;
}

const json &List(const json &Value, const std::string &Path, size_t Max, const std::string &Items) {
  if (!Value.is_array()) {
    Fail(Path, "expected an array of " + Items);
  }
  if (Value.size() > Max) {
    Fail(Path, "at most " + std::to_string(Max) + " " + Items + " (" +
                   std::to_string(Value.size()) + " given)");
  }
  return Value;
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
  for (const char *Key : {"smm", "os", "fingerprint", "expect"}) {
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
    const json &Variables = List(Document["variables"], "variables", kMaxVariables, "variables");
    for (size_t I = 0; I < Variables.size(); I++) {
      S.Variables.push_back(ParseVariable(Variables[I], Join("variables", I)));
      // The store holds one variable per name and GUID: a second entry would replace the first.
      for (size_t Earlier = 0; Earlier < I; Earlier++) {
        if (S.Variables[Earlier].Name == S.Variables[I].Name &&
            std::memcmp(&S.Variables[Earlier].Guid, &S.Variables[I].Guid, sizeof(EFI_GUID)) == 0) {
          Fail(Join("variables", I), "the variable \"" + sim::Narrow(S.Variables[I].Name) + "\" {" +
                                         sim::GuidText(S.Variables[I].Guid) +
                                         "} is given twice (first in " +
                                         Join("variables", Earlier) + ")");
        }
      }
    }
  }
  S.Hardware = ParseHardware(Document, "");
  if (Document.contains("drivers")) {
    const json &Drivers = List(Document["drivers"], "drivers", kMaxDrivers, "driver names");
    for (size_t I = 0; I < Drivers.size(); I++) {
      std::string Name = Drivers[I].is_string() ? Drivers[I].get<std::string>() : "";
      // The name of an image file of the firmware build, not a path.
      if (Name.empty() || Name.size() > kMaxNameLength ||
          !std::all_of(Name.begin(), Name.end(),
                       [](char C) { return std::isalnum((unsigned char)C) || C == '_'; })) {
        Fail(Join("drivers", I), "expected a driver name (letters, digits and '_')");
      }
      // The DXE dispatcher starts each driver of a volume once.
      auto Earlier = std::find(S.Drivers.begin(), S.Drivers.end(), Name);
      if (Earlier != S.Drivers.end()) {
        Fail(Join("drivers", I), "the driver " + Name + " is given twice (first in " +
                                     Join("drivers", (size_t)(Earlier - S.Drivers.begin())) + ")");
      }
      S.Drivers.push_back(Name);
    }
  }
  if (Document.contains("boots")) {
    const json &Boots = Document["boots"];
    if (!Boots.is_array() || Boots.empty()) {
      Fail("boots", "expected a non-empty array of boots (each may change the hardware)");
    }
    List(Boots, "boots", kMaxBoots, "boots");
    for (size_t I = 0; I < Boots.size(); I++) {
      std::string Where = Join("boots", I);
      Object(Boots[I], Where);
      CheckKeys(Boots[I], Where, HardwareKeys);
      S.Boots.push_back(ParseHardware(Boots[I], Where));
    }
  } else {
    S.Boots.push_back({});
  }
  if (Document.contains("fingerprint")) {
    S.Fingerprint = ParseFingerprint(Document["fingerprint"], S.Boots.size());
  }
  return S;
}

namespace {

// Where the parser is, as a field path, so that an error of the parse itself (a number no double
// holds, nesting too deep, a syntax error) names its field as the checks after the parse do.
class ParsePosition {
public:
  bool Event(int Depth, json::parse_event_t Event, const json &Parsed) {
    (void)Depth;
    switch (Event) {
    case json::parse_event_t::object_start:
    case json::parse_event_t::array_start:
      if (Levels.size() >= kMaxNesting) {
        Fail(Top(), "nested more than " + std::to_string(kMaxNesting) + " levels deep");
      }
      Levels.push_back({Event == json::parse_event_t::array_start, "", 0, {}});
      break;
    case json::parse_event_t::key:
      Levels.back().Key = Parsed.get<std::string>();
      // A JSON reader keeps only one of two equal keys: the other would pass unseen.
      if (!Levels.back().Keys.insert(Levels.back().Key).second) {
        Fail(Field(), "given twice in the same object");
      }
      break;
    case json::parse_event_t::object_end:
    case json::parse_event_t::array_end:
      Levels.pop_back();
      Next();
      break;
    case json::parse_event_t::value:
      Next();
      break;
    }
    return true;
  }

  // The field being read, "" at the top level.
  std::string Field() const {
    std::string Path;
    for (const Level &L : Levels) {
      Path = L.Array ? Join(Path, L.Index) : Join(Path, L.Key);
    }
    return Path;
  }

private:
  struct Level {
    bool Array;
    std::string Key;
    size_t Index;
    std::set<std::string> Keys; // the keys of this object so far
  };
  void Next() {
    if (!Levels.empty() && Levels.back().Array) {
      Levels.back().Index++;
    }
  }
  // The outermost field, for the message about nesting (the full path would be as deep).
  std::string Top() const {
    return Levels[0].Array || Levels[0].Key.empty() ? "(top level)" : Levels[0].Key;
  }
  std::vector<Level> Levels;
};

} // namespace

Scenario ParseScenarioText(const std::string &Text, const std::string &Origin) {
  ParsePosition Position;
  json Document;
  try {
    Document = json::parse(Text, [&](int Depth, json::parse_event_t Event, json &Parsed) {
      return Position.Event(Depth, Event, Parsed);
    });
  } catch (const json::out_of_range &Error) {
    // The lexer's number overflow: the field is where the parse stopped.
    std::string Field = Position.Field();
    Fail(Field.empty() ? "(top level)" : Field,
         std::string("a number beyond the range of a double (") + Error.what() + ")");
  } catch (const json::exception &Error) {
    std::string Field = Position.Field();
    throw ScenarioError(Origin + " is not valid JSON" +
                        (Field.empty() ? "" : " (in field '" + Field + "')") + ": " + Error.what());
  }
  return ParseScenario(Document);
}

Scenario LoadScenario(const std::string &Path) {
  std::error_code Code;
  if (std::filesystem::is_directory(Path, Code)) {
    throw ScenarioError("scenario file '" + Path + "' is a directory");
  }
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    throw ScenarioError("cannot read scenario file '" + Path + "'");
  }
  std::string Text;
  char Block[65536];
  while (In.read(Block, sizeof Block) || In.gcount() > 0) {
    Text.append(Block, (size_t)In.gcount());
    if (Text.size() > kMaxScenarioBytes) {
      throw ScenarioError("scenario file '" + Path + "' is larger than " +
                          std::to_string(kMaxScenarioBytes) + " bytes");
    }
  }
  if (In.bad()) {
    throw ScenarioError("cannot read scenario file '" + Path + "'");
  }
  return ParseScenarioText(Text, "scenario file '" + Path + "'");
}

const char *DefaultScenarioText() {
  return R"({
  "description": "The notebook as shipped: NVIDIA graphics, a TPM, a device behind the south bridge's bridge, the option strap set on the first boot and released on the second; a user password, a locked SATA drive and an enrolled finger: on the first boot the user types the drive's password once and the reader learns it, on the second the finger alone passes the power-on password and opens the drive.",
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
  "boots": [{}, {"straps": {"option": false}}],
  "fingerprint": {
    "passwords": {"user": "letmein"},
    "drives": [{"label": "SATA drive 0", "channel": 0, "device": 0, "function": 0,
                "serial": "VX-0042-A17", "user_password": "disk-secret"}],
    "finger": {"enrolled": true, "slots": {"user": "letmein"}},
    "runs": [
      {"name": "first boot: the reader does not know the drive yet, the user types its password",
       "boot": 1, "checkpoint": "boot", "keys": ["disk-secret\r"]},
      {"name": "second boot: the enrolled finger opens the locked drive", "boot": 2,
       "checkpoint": "boot"}
    ]
  }
})";
}

Scenario DefaultScenario() {
  return ParseScenario(json::parse(DefaultScenarioText()));
}

} // namespace boardsim
