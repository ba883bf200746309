// Section "variables": the variables the board holds before the first boot.
#include "scenario_fields.h"

#include "setup_variables.h"
#include "variable_layouts.h"

namespace boardsim {

using nlohmann::json;

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
  if (Digits.size() / 2 > kMaxVariableBytes) {
    Fail(Path, "more than " + std::to_string(kMaxVariableBytes) + " bytes");
  }
  std::vector<uint8_t> Bytes;
  for (size_t I = 0; I < Digits.size(); I += 2) {
    Bytes.push_back((uint8_t)std::stoul(Digits.substr(I, 2), nullptr, 16));
  }
  return Bytes;
}

VariableSpec ParseVariable(const json &Value, const std::string &Path) {
  Object(Value, Path);
  CheckKeys(Value, Path,
            {"name", "guid", "attributes", "size", "fill", "hex", "bytes", "set", "fields"});
  VariableSpec V;
  if (!Value.contains("name") || !Value["name"].is_string() ||
      Value["name"].get<std::string>().empty()) {
    Fail(Join(Path, "name"), "expected the variable's name");
  }
  std::string Name = Value["name"].get<std::string>();
  V.Name = sim::Widen(Name);
  if (Name.size() > kMaxNameLength || Name.find('\0') != std::string::npos) {
    Fail(Join(Path, "name"),
         "a variable name has 1 to " + std::to_string(kMaxNameLength) + " characters and no NUL");
  }
  std::string GuidText = Name == "Setup" ? "SETUP_GUID" : "";
  if (Value.contains("guid")) {
    if (!Value["guid"].is_string()) {
      Fail(Join(Path, "guid"), "expected a GUID or a GUID name as a string");
    }
    GuidText = Value["guid"].get<std::string>();
  }
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
    const json &Bytes = List(Value["bytes"], Join(Path, "bytes"), kMaxVariableBytes, "byte values");
    for (size_t I = 0; I < Bytes.size(); I++) {
      V.Data.push_back((uint8_t)Number(Bytes[I], Join(Join(Path, "bytes"), I), 0xFF));
    }
  }
  size_t Size = V.Data.size();
  if (Value.contains("size")) {
    Size = Number(Value["size"], Join(Path, "size"), kMaxVariableBytes);
  } else if (V.Data.empty() && V.Name == u"Setup") {
    Size = SETUP_VARIABLE_SIZE;
  }
  uint8_t Fill =
      Value.contains("fill") ? (uint8_t)Number(Value["fill"], Join(Path, "fill"), 0xFF) : 0;
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

void ApplyVariables(sim::Board &Board, const Scenario &S) {
  for (const VariableSpec &V : S.Variables) {
    Board.Variables.Put(V.Name, V.Guid, V.Attributes, V.Data);
  }
}

} // namespace boardsim
