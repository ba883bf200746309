#include "expectations.h"

#include "access_names.h"
#include "status_names.h"

#include "report.h"
#include "variable_layouts.h"
#include <algorithm>

namespace boardsim {

using nlohmann::json;

namespace {

[[noreturn]] void Fail(const std::string &Path, const std::string &What) {
  throw ScenarioError("scenario field '" + Path + "': " + What);
}

const json &ObjectAt(const json &Value, const std::string &Path) {
  if (!Value.is_object()) {
    Fail(Path, "expected an object");
  }
  return Value;
}

std::string Text(const json &Value, const std::string &Path) {
  if (!Value.is_string() || Value.get<std::string>().empty()) {
    Fail(Path, "expected a string");
  }
  return Value.get<std::string>();
}

std::string Quoted(const std::string &Name) {
  return "\"" + Name + "\"";
}

// A status expectation: a status name (EFI_NOT_FOUND), its value as a number, or an outcome.
std::string StatusText(const json &Value, const std::string &Path,
                       std::initializer_list<const char *> Outcomes) {
  if (Value.is_number() || (Value.is_string() && !Value.get<std::string>().empty() &&
                            std::isdigit((unsigned char)Value.get<std::string>()[0]))) {
    return sim::StatusSymbol(Number(Value, Path, ~0ull));
  }
  std::string Name = Text(Value, Path);
  EFI_STATUS Status;
  if (sim::StatusFromName(Name, Status)) {
    return Name;
  }
  std::string Allowed;
  for (const char *Outcome : Outcomes) {
    if (Name == Outcome) {
      return Name;
    }
    Allowed += std::string(", \"") + Outcome + "\"";
  }
  Fail(Path, "expected a status name (EFI_SUCCESS, EFI_NOT_FOUND, ...), its value" + Allowed);
}

const char *const DriveStates[] = {"locked", "unlocked", "security not enabled"};

RunExpectation ParseRun(const std::string &Name, const json &Value, const std::string &Path) {
  ObjectAt(Value, Path);
  CheckKeys(Value, Path, {"status", "auth_flags", "control_flags", "halted", "drives"});
  RunExpectation R;
  R.Name = Name;
  if (Value.contains("status")) {
    R.Status = StatusText(Value["status"], Path + ".status", {"halted", "stuck", "crashed"});
  }
  if (Value.contains("auth_flags")) {
    R.AuthFlags = (uint32_t)Number(Value["auth_flags"], Path + ".auth_flags", 0xFFFFFFFF);
  }
  if (Value.contains("control_flags")) {
    R.ControlFlags = (uint32_t)Number(Value["control_flags"], Path + ".control_flags", 0xFFFFFFFF);
  }
  if (Value.contains("halted")) {
    R.Halted = Flag(Value["halted"], Path + ".halted");
  }
  if (Value.contains("drives")) {
    const json &Drives = ObjectAt(Value["drives"], Path + ".drives");
    for (auto It = Drives.begin(); It != Drives.end(); ++It) {
      std::string Where = Path + ".drives." + It.key();
      std::string State = Text(It.value(), Where);
      if (std::find(std::begin(DriveStates), std::end(DriveStates), State) ==
          std::end(DriveStates)) {
        Fail(Where, "expected \"locked\", \"unlocked\" or \"security not enabled\"");
      }
      R.Drives.push_back({It.key(), State});
    }
  }
  return R;
}

VariableExpectation ParseVariableExpectation(const json &Value, const std::string &Path) {
  ObjectAt(Value, Path);
  CheckKeys(Value, Path, {"name", "guid", "absent", "hex", "bytes", "set", "fields"});
  VariableExpectation V;
  V.Path = Path;
  V.Name = Text(Value.value("name", json()), Path + ".name");
  std::string GuidName = V.Name == "Setup" ? "SETUP_GUID" : "";
  if (Value.contains("guid")) {
    GuidName = Text(Value["guid"], Path + ".guid");
  }
  if (!ResolveGuid(GuidName, V.Guid)) {
    Fail(Path + ".guid", "unknown GUID '" + GuidName + "'");
  }
  if (Value.contains("absent")) {
    V.Absent = Flag(Value["absent"], Path + ".absent");
  }
  if (Value.contains("hex") && Value.contains("bytes")) {
    Fail(Path, "give either 'hex' or 'bytes', not both");
  }
  if (Value.contains("hex")) {
    std::string Digits;
    for (char C : Text(Value["hex"], Path + ".hex")) {
      if (std::isxdigit((unsigned char)C)) {
        Digits += C;
      } else if (C != ' ') {
        Fail(Path + ".hex", "expected hexadecimal bytes");
      }
    }
    if (Digits.size() % 2 != 0) {
      Fail(Path + ".hex", "an odd number of hexadecimal digits");
    }
    if (Digits.size() / 2 > kMaxVariableBytes) {
      Fail(Path + ".hex", "more than " + std::to_string(kMaxVariableBytes) + " bytes");
    }
    V.Bytes.emplace();
    for (size_t I = 0; I < Digits.size(); I += 2) {
      V.Bytes->push_back((uint8_t)std::stoul(Digits.substr(I, 2), nullptr, 16));
    }
  } else if (Value.contains("bytes")) {
    const json &Bytes = List(Value["bytes"], Path + ".bytes", kMaxVariableBytes, "byte values");
    V.Bytes.emplace();
    for (size_t I = 0; I < Bytes.size(); I++) {
      V.Bytes->push_back(
          (uint8_t)Number(Bytes[I], Path + ".bytes[" + std::to_string(I) + "]", 0xFF));
    }
  }
  if (Value.contains("set")) {
    const json &Set = ObjectAt(Value["set"], Path + ".set");
    for (auto It = Set.begin(); It != Set.end(); ++It) {
      std::string Where = Path + ".set." + It.key();
      size_t Offset = Number(json(It.key()), Where, 0xFFFF);
      V.ByteValues.push_back({Offset, (uint8_t)Number(It.value(), Where, 0xFF)});
    }
  }
  if (Value.contains("fields")) {
    if (V.Name != "Setup") {
      Fail(Path + ".fields", "named fields exist only for \"Setup\"");
    }
    const json &Fields = ObjectAt(Value["fields"], Path + ".fields");
    for (auto It = Fields.begin(); It != Fields.end(); ++It) {
      std::string Where = Path + ".fields." + It.key();
      int Offset = SetupFieldOffset(It.key());
      if (Offset < 0) {
        Fail(Where, "no such Setup field");
      }
      V.ByteValues.push_back({(size_t)Offset, (uint8_t)Number(It.value(), Where, 0xFF)});
    }
  }
  if (V.Absent && (V.Bytes || !V.ByteValues.empty())) {
    Fail(Path, "an absent variable has no bytes to check");
  }
  if (!V.Absent && !V.Bytes && V.ByteValues.empty()) {
    Fail(Path, "say what to check: 'absent', 'hex', 'bytes', 'set' or 'fields'");
  }
  return V;
}

// The array Object[Key], or an empty one.
const json &ListOf(const json &Object, const char *Key) {
  static const json Empty = json::array();
  return Object.contains(Key) ? Object[Key] : Empty;
}

std::string FlagsText(uint32_t Value) {
  return HexText(Value, 8);
}

} // namespace

const char *const CountNames[7] = {"drivers", "load_errors", "problems",     "halts",
                                   "stuck",   "crashes",     "drives_locked"};

bool Expectations::CoversDriver(const std::string &Name) const {
  return std::any_of(Drivers.begin(), Drivers.end(),
                     [&](const auto &Driver) { return Driver.first == Name; });
}

bool Expectations::CoversRun(const std::string &Name) const {
  return std::any_of(Runs.begin(), Runs.end(), [&](const RunExpectation &Run) {
    return Run.Name == Name && (Run.Status || Run.Halted);
  });
}

bool Expectations::CoversCount(const std::string &Kind) const {
  return std::any_of(Counts.begin(), Counts.end(),
                     [&](const auto &Count) { return Count.first == Kind; });
}

Expectations ParseExpectations(const json &Document) {
  Expectations E;
  if (!Document.contains("expect")) {
    return E;
  }
  const json &Expect = ObjectAt(Document["expect"], "expect");
  CheckKeys(Expect, "expect", {"drivers", "runs", "variables", "counts"});
  for (const char *Kind : {"drivers", "runs", "variables"}) {
    if (Expect.contains(Kind) && Expect[Kind].size() > kMaxExpectations) {
      Fail(std::string("expect.") + Kind,
           "at most " + std::to_string(kMaxExpectations) + " expectations");
    }
  }
  if (Expect.contains("drivers")) {
    const json &Drivers = ObjectAt(Expect["drivers"], "expect.drivers");
    for (auto It = Drivers.begin(); It != Drivers.end(); ++It) {
      E.Drivers.push_back({It.key(), StatusText(It.value(), "expect.drivers." + It.key(),
                                                {"halted", "crashed", "not loaded"})});
    }
  }
  if (Expect.contains("runs")) {
    const json &Runs = ObjectAt(Expect["runs"], "expect.runs");
    for (auto It = Runs.begin(); It != Runs.end(); ++It) {
      E.Runs.push_back(ParseRun(It.key(), It.value(), "expect.runs." + It.key()));
    }
  }
  if (Expect.contains("counts")) {
    const json &Counts = ObjectAt(Expect["counts"], "expect.counts");
    CheckKeys(Counts, "expect.counts",
              std::vector<std::string>(std::begin(CountNames), std::end(CountNames)));
    for (const char *Kind : CountNames) {
      if (Counts.contains(Kind)) {
        E.Counts.push_back(
            {Kind, Number(Counts[Kind], std::string("expect.counts.") + Kind, 1000000)});
      }
    }
  }
  if (Expect.contains("variables")) {
    const json &Variables = Expect["variables"];
    if (!Variables.is_array()) {
      Fail("expect.variables", "expected an array of variables");
    }
    for (size_t I = 0; I < Variables.size(); I++) {
      E.Variables.push_back(
          ParseVariableExpectation(Variables[I], "expect.variables[" + std::to_string(I) + "]"));
    }
  }
  return E;
}

std::vector<ExpectationResult> CheckExpectations(const Expectations &E, const json &Report,
                                                 const sim::VariableStore &Variables) {
  std::vector<ExpectationResult> Results;
  auto Record = [&](const std::string &Path, const std::string &Expected, const std::string &Got) {
    Results.push_back({Path, Expected == Got, Expected, Got});
  };

  for (const auto &[Name, Status] : E.Drivers) {
    std::string Path = "expect.drivers." + Name;
    bool Ran = false;
    for (const json &Boot : Report["boots"]) {
      for (const json &Driver : ListOf(Boot, "drivers")) {
        if (Driver["name"] != Name) {
          continue;
        }
        Ran = true;
        std::string Got = Driver.value("status", Driver["outcome"].get<std::string>());
        Record(Path + " (boot " + std::to_string(Boot["boot"].get<int>()) + ")", Status, Got);
      }
    }
    if (!Ran) {
      Record(Path, Status, "not dispatched");
    }
  }

  for (const RunExpectation &R : E.Runs) {
    std::string Path = "expect.runs." + Quoted(R.Name);
    const json *Run = nullptr;
    for (const json &Boot : Report["boots"]) {
      for (const json &Candidate : ListOf(Boot, "runs")) {
        if (Candidate["name"] == R.Name) {
          Run = &Candidate;
        }
      }
    }
    if (Run == nullptr) {
      Record(Path, "a run of this name", "no such run in the report");
      continue;
    }
    std::string Outcome = (*Run)["outcome"].get<std::string>();
    if (R.Status) {
      Record(Path + ".status", *R.Status, Run->value("status", Outcome));
    }
    if (R.Halted) {
      Record(Path + ".halted", *R.Halted ? "true" : "false",
             Outcome == "halted" ? "true" : "false");
    }
    auto Flags = [&](const char *Key, std::optional<uint32_t> Expected) {
      if (Expected) {
        Record(Path + "." + Key, FlagsText(*Expected),
               Run->contains(Key) ? (*Run)[Key].get<std::string>() : Outcome);
      }
    };
    Flags("auth_flags", R.AuthFlags);
    Flags("control_flags", R.ControlFlags);
    for (const auto &[Label, State] : R.Drives) {
      std::string Got = "no such drive";
      for (const json &Drive : ListOf(*Run, "drives")) {
        if (Drive["label"] == Label) {
          Got = Drive["state"].get<std::string>();
        }
      }
      Record(Path + ".drives." + Label, State, Got);
    }
  }

  for (const VariableExpectation &V : E.Variables) {
    std::string Path = V.Path + " (" + Quoted(V.Name) + ")";
    const sim::Variable *Found = Variables.Find(sim::Widen(V.Name), V.Guid);
    if (V.Absent) {
      Record(Path + ".absent", "absent",
             Found ? "present, " + std::to_string(Found->Data.size()) + " bytes" : "absent");
      continue;
    }
    if (Found == nullptr) {
      Record(Path, "present", "absent");
      continue;
    }
    if (V.Bytes) {
      Record(Path + ".bytes", BytesHex(*V.Bytes), BytesHex(Found->Data));
    }
    for (const auto &[Offset, Value] : V.ByteValues) {
      Record(Path + " byte " + HexText(Offset, 1), HexText(Value, 2),
             Offset < Found->Data.size() ? HexText(Found->Data[Offset], 2) : "beyond the end");
    }
  }
  const json &Summary = Report["summary"];
  for (const auto &[Kind, Count] : E.Counts) {
    const json &Got = Summary[Kind];
    Record("expect.counts." + Kind, std::to_string(Count),
           std::to_string(Got.is_array() ? Got.size() : Got.get<size_t>()));
  }
  return Results;
}

} // namespace boardsim
