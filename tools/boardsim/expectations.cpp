#include "expectations.h"

#include "access_names.h"
#include "scenario_fields.h"
#include "status_names.h"
#include "variable_layouts.h"

#include <algorithm>

namespace boardsim {

using nlohmann::json;

namespace {

// ---- reading the "expect" section -------------------------------------------------------------

std::string Text(const json &Value, const std::string &Path) {
  if (!Value.is_string() || Value.get<std::string>().empty()) {
    Fail(Path, "expected a string");
  }
  return Value.get<std::string>();
}

std::string Quoted(const std::string &Name) {
  return "\"" + Name + "\"";
}

// Value as an object of at most kMaxExpectations entries.
const json &Entries(const json &Value, const std::string &Path) {
  Object(Value, Path);
  if (Value.size() > kMaxExpectations) {
    Fail(Path, "at most " + std::to_string(kMaxExpectations) + " expectations");
  }
  return Value;
}

const json &Sequence(const json &Value, const std::string &Path, const std::string &Items) {
  return List(Value, Path, kMaxExpectations, Items);
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

AccessExpectation ParseAccess(const json &Value, const std::string &Path) {
  Object(Value, Path);
  CheckKeys(Value, Path, {"space", "write", "width", "address", "value"});
  AccessExpectation A;
  if (!Value.contains("address")) {
    Fail(Join(Path, "address"), "required: the port or address of the access");
  }
  if (Value.contains("space")) {
    std::string Space = Text(Value["space"], Join(Path, "space"));
    if (Space != "io" && Space != "mmio") {
      Fail(Join(Path, "space"), "expected \"io\" or \"mmio\"");
    }
    A.Io = Space == "io";
  }
  if (Value.contains("write")) {
    A.Write = Flag(Value["write"], Join(Path, "write"));
  }
  if (Value.contains("width")) {
    A.Width = (unsigned)Number(Value["width"], Join(Path, "width"), 32);
    if (*A.Width != 8 && *A.Width != 16 && *A.Width != 32) {
      Fail(Join(Path, "width"), "expected 8, 16 or 32 (bits)");
    }
  }
  A.Address = Number(Value["address"], Join(Path, "address"), 0xFFFFFFFF);
  if (Value.contains("value")) {
    A.Value = Number(Value["value"], Join(Path, "value"), 0xFFFFFFFF);
  }
  return A;
}

const char *const ScriptWidths[] = {"UINT8", "UINT16", "UINT32", "UINT64"};

ScriptExpectation ParseScriptEntry(const json &Value, const std::string &Path) {
  Object(Value, Path);
  CheckKeys(Value, Path, {"table", "opcode", "width", "address", "count", "data"});
  if (Value.empty()) {
    Fail(Path, "say what to check: 'table', 'opcode', 'width', 'address', 'count' or 'data'");
  }
  ScriptExpectation S;
  if (Value.contains("table")) {
    S.Table = Number(Value["table"], Join(Path, "table"), 0xFFFF);
  }
  if (Value.contains("opcode")) {
    S.OpCode = Number(Value["opcode"], Join(Path, "opcode"), 0xFFFF);
  }
  if (Value.contains("width")) {
    S.Width = Text(Value["width"], Join(Path, "width"));
    if (std::find(std::begin(ScriptWidths), std::end(ScriptWidths), *S.Width) ==
        std::end(ScriptWidths)) {
      Fail(Join(Path, "width"), "expected UINT8, UINT16, UINT32 or UINT64");
    }
  }
  if (Value.contains("address")) {
    S.Address = Number(Value["address"], Join(Path, "address"), ~0ull);
  }
  if (Value.contains("count")) {
    S.Count = Number(Value["count"], Join(Path, "count"), 0xFFFFFFFF);
  }
  if (Value.contains("data")) {
    S.Data = HexBytes(Value["data"], Join(Path, "data"));
  }
  return S;
}

DriverExpectation ParseDriver(const std::string &Name, const json &Value, const std::string &Path) {
  static const std::initializer_list<const char *> Outcomes = {"halted", "crashed", "not loaded"};
  DriverExpectation D;
  D.Name = Name;
  if (!Value.is_object()) {
    D.Status = StatusText(Value, Path, Outcomes);
    return D;
  }
  CheckKeys(Value, Path, {"status", "accesses", "boot_script"});
  if (Value.empty()) {
    Fail(Path, "say what to check: 'status', 'accesses' or 'boot_script'");
  }
  if (Value.contains("status")) {
    D.Status = StatusText(Value["status"], Join(Path, "status"), Outcomes);
  }
  if (Value.contains("accesses")) {
    const json &List = Sequence(Value["accesses"], Join(Path, "accesses"), "accesses");
    for (size_t I = 0; I < List.size(); I++) {
      D.Accesses.push_back(ParseAccess(List[I], Join(Join(Path, "accesses"), I)));
    }
  }
  if (Value.contains("boot_script")) {
    const json &List = Sequence(Value["boot_script"], Join(Path, "boot_script"), "entries");
    for (size_t I = 0; I < List.size(); I++) {
      D.BootScript.push_back(ParseScriptEntry(List[I], Join(Join(Path, "boot_script"), I)));
    }
  }
  return D;
}

const char *const DriveStates[] = {"locked", "unlocked", "security not enabled"};

RunExpectation ParseRun(const std::string &Name, const json &Value, const std::string &Path) {
  Object(Value, Path);
  CheckKeys(Value, Path, {"status", "auth_flags", "control_flags", "halted", "drives", "screens"});
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
    const json &Drives = Entries(Value["drives"], Path + ".drives");
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
  if (Value.contains("screens")) {
    const json &Texts = Sequence(Value["screens"], Path + ".screens", "texts");
    for (size_t I = 0; I < Texts.size(); I++) {
      R.Screens.push_back(Text(Texts[I], Join(Path + ".screens", I)));
    }
  }
  return R;
}

VariableExpectation ParseVariableExpectation(const json &Value, const std::string &Path) {
  Object(Value, Path);
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
    V.Bytes = HexBytes(Value["hex"], Path + ".hex");
  } else if (Value.contains("bytes")) {
    const json &Bytes = List(Value["bytes"], Path + ".bytes", kMaxVariableBytes, "byte values");
    V.Bytes.emplace();
    for (size_t I = 0; I < Bytes.size(); I++) {
      V.Bytes->push_back(
          (uint8_t)Number(Bytes[I], Path + ".bytes[" + std::to_string(I) + "]", 0xFF));
    }
  }
  if (Value.contains("set")) {
    const json &Set = Object(Value["set"], Path + ".set");
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
    const json &Fields = Object(Value["fields"], Path + ".fields");
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

// The drivers, variables and counts of the top level (Boot 0) or of an entry of "boots".
void ParseBootPart(const json &Section, const std::string &Path, BootExpectations &B) {
  if (Section.contains("drivers")) {
    const json &Drivers = Entries(Section["drivers"], Join(Path, "drivers"));
    for (auto It = Drivers.begin(); It != Drivers.end(); ++It) {
      B.Drivers.push_back(
          ParseDriver(It.key(), It.value(), Join(Path, "drivers") + "." + It.key()));
    }
  }
  if (Section.contains("counts")) {
    const json &Counts = Object(Section["counts"], Join(Path, "counts"));
    CheckKeys(Counts, Join(Path, "counts"),
              std::vector<std::string>(std::begin(CountNames), std::end(CountNames)));
    for (const char *Kind : CountNames) {
      if (Counts.contains(Kind)) {
        B.Counts.push_back({Kind, Number(Counts[Kind], Join(Join(Path, "counts"), Kind), 1000000)});
      }
    }
  }
  if (Section.contains("variables")) {
    const json &Variables = Sequence(Section["variables"], Join(Path, "variables"), "variables");
    for (size_t I = 0; I < Variables.size(); I++) {
      B.Variables.push_back(
          ParseVariableExpectation(Variables[I], Join(Join(Path, "variables"), I)));
    }
  }
}

const char *const BandNames[] = {"low", "middle", "high"};

TickExpectation ParseTick(size_t Tick, const json &Value, const std::string &Path) {
  TickExpectation T;
  T.Tick = Tick;
  auto Band = [&](const std::string &Name, const std::string &Where) {
    if (std::find(std::begin(BandNames), std::end(BandNames), Name) == std::end(BandNames)) {
      Fail(Where, "expected a band: \"low\", \"middle\" or \"high\"");
    }
    T.Band = Name;
  };
  if (Value.is_string()) {
    std::string Name = Text(Value, Path);
    if (Name == "unchanged") {
      T.Changed = false;
    } else {
      Band(Name, Path);
    }
    return T;
  }
  Object(Value, Path);
  CheckKeys(Value, Path, {"changed", "band", "table", "marker", "registers"});
  if (Value.empty()) {
    Fail(Path, "say what to check: 'changed', 'band', 'table', 'marker' or 'registers'");
  }
  if (Value.contains("changed")) {
    T.Changed = Flag(Value["changed"], Join(Path, "changed"));
  }
  if (Value.contains("band")) {
    Band(Text(Value["band"], Join(Path, "band")), Join(Path, "band"));
  }
  if (Value.contains("table")) {
    T.Table = Text(Value["table"], Join(Path, "table"));
    if (*T.Table != "A" && *T.Table != "B") {
      Fail(Join(Path, "table"), "expected \"A\" or \"B\"");
    }
  }
  if (Value.contains("marker")) {
    T.Marker = (uint8_t)Number(Value["marker"], Join(Path, "marker"), 0xFF);
  }
  if (Value.contains("registers")) {
    const json &Registers = Entries(Value["registers"], Join(Path, "registers"));
    for (auto It = Registers.begin(); It != Registers.end(); ++It) {
      std::string Where = Join(Path, "registers") + "." + It.key();
      T.Registers.push_back(
          {(uint8_t)Number(json(It.key()), Where, 0xFF), (uint8_t)Number(It.value(), Where, 0xFF)});
    }
  }
  return T;
}

void ParseOs(const json &Os, Expectations &E) {
  Object(Os, "expect.os");
  CheckKeys(Os, "expect.os", {"ticks", "software_smis", "accesses"});
  if (Os.contains("ticks")) {
    const json &Ticks = Entries(Os["ticks"], "expect.os.ticks");
    for (auto It = Ticks.begin(); It != Ticks.end(); ++It) {
      std::string Where = "expect.os.ticks." + It.key();
      size_t Tick = Number(json(It.key()), Where, kMaxTemperatures);
      if (Tick == 0) {
        Fail(Where, "ticks are counted from 1");
      }
      E.Ticks.push_back(ParseTick(Tick, It.value(), Where));
    }
  }
  if (Os.contains("software_smis")) {
    const json &Smis = Sequence(Os["software_smis"], "expect.os.software_smis", "software SMIs");
    for (size_t I = 0; I < Smis.size(); I++) {
      std::string Where = Join("expect.os.software_smis", I);
      Object(Smis[I], Where);
      CheckKeys(Smis[I], Where, {"value", "eax", "answer"});
      SmiExpectation S;
      S.Path = Where;
      if (!Smis[I].contains("value") || !Smis[I].contains("answer")) {
        Fail(Where, "give the SMI's 'value' and its 'answer' (EAX after the SMI, or \"none\")");
      }
      S.Value = (uint32_t)Number(Smis[I]["value"], Join(Where, "value"), 0xFFFFFFFF);
      if (Smis[I].contains("eax")) {
        S.Eax = (uint32_t)Number(Smis[I]["eax"], Join(Where, "eax"), 0xFFFFFFFF);
      }
      if (Smis[I]["answer"] != "none") {
        S.Answer = (uint32_t)Number(Smis[I]["answer"], Join(Where, "answer"), 0xFFFFFFFF);
      }
      E.SoftwareSmis.push_back(S);
    }
  }
  if (Os.contains("accesses")) {
    const json &List = Sequence(Os["accesses"], "expect.os.accesses", "accesses");
    for (size_t I = 0; I < List.size(); I++) {
      E.OsAccesses.push_back(ParseAccess(List[I], Join("expect.os.accesses", I)));
    }
  }
}

// ---- checking against the report ---------------------------------------------------------------

// The array Object[Key], or an empty one.
const json &ListOf(const json &Object, const char *Key) {
  static const json Empty = json::array();
  auto It = Object.find(Key);
  return It == Object.end() || !It->is_array() ? Empty : *It;
}

uint64_t HexValue(const json &Value) {
  return std::stoull(Value.get<std::string>(), nullptr, 16);
}

std::string FlagsText(uint32_t Value) {
  return HexText(Value, 8);
}

std::string AccessText(const AccessExpectation &A) {
  std::string Text = A.Io ? (*A.Io ? "io " : "mmio ") : "";
  Text += A.Write ? (*A.Write ? "W" : "R") : "access ";
  Text += A.Width ? std::to_string(*A.Width) + " " : (A.Write ? " " : "");
  Text += HexText(A.Address, (A.Io ? *A.Io : A.Address <= 0xFFFF) ? 4 : 8);
  if (A.Value) {
    Text += std::string(A.Write ? (*A.Write ? " <- " : " -> ") : " = ") +
            HexText(*A.Value, A.Width             ? (int)*A.Width / 4
                              : *A.Value > 0xFFFF ? 8
                              : *A.Value > 0xFF   ? 4
                                                  : 2);
  }
  return Text;
}

std::string AccessText(const json &A) {
  return A["space"].get<std::string>() + (A["write"].get<bool>() ? " W" : " R") +
         std::to_string(A["width"].get<int>()) + " " + A["address"].get<std::string>() +
         (A["write"].get<bool>() ? " <- " : " -> ") + A["value"].get<std::string>();
}

bool Matches(const AccessExpectation &A, const json &Seen) {
  return HexValue(Seen["address"]) == A.Address && (!A.Io || *A.Io == (Seen["space"] == "io")) &&
         (!A.Write || *A.Write == Seen["write"].get<bool>()) &&
         (!A.Width || *A.Width == Seen["width"].get<unsigned>()) &&
         (!A.Value || *A.Value == HexValue(Seen["value"]));
}

std::string ScriptText(const ScriptExpectation &S) {
  std::string Text;
  auto Add = [&](const std::string &Part) { Text += (Text.empty() ? "" : ", ") + Part; };
  if (S.Table) {
    Add("table " + std::to_string(*S.Table));
  }
  if (S.OpCode) {
    Add(std::string(BootScriptOpcodeName((uint16_t)*S.OpCode)) + " (opcode " +
        std::to_string(*S.OpCode) + ")");
  }
  if (S.Width) {
    Add(*S.Width);
  }
  if (S.Address) {
    Add("address " + HexText(*S.Address, 1));
  }
  if (S.Count) {
    Add("count " + std::to_string(*S.Count));
  }
  if (S.Data) {
    Add("data " + BytesHex(*S.Data));
  }
  return "a boot-script entry: " + Text;
}

std::string ScriptText(const json &S) {
  return "table " + std::to_string(S["table"].get<int>()) + ", " +
         S["opcode_name"].get<std::string>() + " (opcode " +
         std::to_string(S["opcode"].get<int>()) + "), " + S["width"].get<std::string>() +
         ", address " + S["address"].get<std::string>() + ", count " +
         std::to_string(S["count"].get<uint64_t>()) + ", data " + S["data"].get<std::string>();
}

bool Matches(const ScriptExpectation &S, const json &Seen) {
  return (!S.Table || *S.Table == Seen["table"].get<uint64_t>()) &&
         (!S.OpCode || *S.OpCode == Seen["opcode"].get<uint64_t>()) &&
         (!S.Width || *S.Width == Seen["width"]) &&
         (!S.Address || *S.Address == HexValue(Seen["address"])) &&
         (!S.Count || *S.Count == Seen["count"].get<uint64_t>()) &&
         (!S.Data || BytesHex(*S.Data) == Seen["data"]);
}

// Whether a seen item is worth naming when an expected one is missing: the same address.
bool Related(const AccessExpectation &A, const json &Seen) {
  return HexValue(Seen["address"]) == A.Address;
}

bool Related(const ScriptExpectation &S, const json &Seen) {
  return S.Address ? *S.Address == HexValue(Seen["address"])
                   : !S.OpCode || *S.OpCode == Seen["opcode"].get<uint64_t>();
}

std::string Describe(const AccessExpectation &A) {
  return AccessText(A);
}
std::string Describe(const ScriptExpectation &S) {
  return ScriptText(S);
}
std::string SeenText(const json &Item) {
  return Item.contains("opcode") ? ScriptText(Item) : AccessText(Item);
}

// A seen item with the words that place it ("access 5", "tick 3 access 2").
using Placed = std::vector<std::pair<std::string, const json *>>;

Placed Place(const json &List, const std::string &Noun) {
  Placed Items;
  for (size_t I = 0; I < List.size(); I++) {
    Items.push_back({Noun + " " + std::to_string(I + 1), &List[I]});
  }
  return Items;
}

// Expected must appear in Seen in its order, other items may come between. One result: the
// whole sequence held, or the first expected item not found after the ones before it, with
// what was seen of its kind.
template <typename Item>
ExpectationResult CheckSequence(const std::vector<Item> &Expected, const Placed &Seen,
                                const std::string &Path, const std::string &Suffix,
                                const std::string &Nouns) {
  size_t At = 0;
  std::string Where;
  for (size_t I = 0; I < Expected.size(); I++) {
    size_t Found = At;
    while (Found < Seen.size() && !Matches(Expected[I], *Seen[Found].second)) {
      Found++;
    }
    if (Found < Seen.size()) {
      Where += (Where.empty() ? "found in order at " : ", ") + Seen[Found].first;
      At = Found + 1;
      continue;
    }
    std::string Want = Describe(Expected[I]);
    if (I > 0) {
      Want += " after " + Describe(Expected[I - 1]) + " (" + Seen[At - 1].first + ")";
    }
    // What was seen of its kind after the one before it, or else anywhere.
    std::string Got;
    size_t Named = 0;
    for (size_t K = At; K < Seen.size(); K++) {
      if (Related(Expected[I], *Seen[K].second) && Named++ < 8) {
        Got += (Got.empty() ? "" : ", ") + SeenText(*Seen[K].second) + " (" + Seen[K].first + ")";
      }
    }
    if (Named > 8) {
      Got += ", and " + std::to_string(Named - 8) + " more";
    }
    if (Got.empty()) {
      std::string Earlier;
      for (size_t K = 0; K < At && Named < 3; K++) {
        if (Related(Expected[I], *Seen[K].second)) {
          Named++;
          Earlier += (Earlier.empty() ? "" : ", ") + SeenText(*Seen[K].second) + " (" +
                     Seen[K].first + ")";
        }
      }
      Got = Earlier.empty()
                ? "none of its kind among the " + std::to_string(Seen.size()) + " " + Nouns
                : "none of its kind after " + Seen[At - 1].first + ", only before: " + Earlier;
    }
    return {Join(Path, I) + Suffix, false, Want, Got};
  }
  return {Path + Suffix, true, std::to_string(Expected.size()) + " " + Nouns + " in order",
          Where.empty() ? "nothing to find" : Where};
}

} // namespace

const char *const CountNames[7] = {"drivers", "load_errors", "problems",     "halts",
                                   "stuck",   "crashes",     "drives_locked"};

bool Expectations::CoversDriver(const std::string &Name, size_t Boot) const {
  auto Names = [&](const BootExpectations &B) {
    return std::any_of(B.Drivers.begin(), B.Drivers.end(), [&](const DriverExpectation &D) {
      return D.Name == Name && D.Status.has_value();
    });
  };
  return Names(Whole) || std::any_of(Boots.begin(), Boots.end(), [&](const BootExpectations &B) {
           return B.Boot == Boot && Names(B);
         });
}

bool Expectations::CoversRun(const std::string &Name) const {
  return std::any_of(Runs.begin(), Runs.end(), [&](const RunExpectation &Run) {
    return Run.Name == Name && (Run.Status || Run.Halted);
  });
}

bool Expectations::CoversCount(const std::string &Kind, size_t Boot) const {
  auto Counts = [&](const BootExpectations &B) {
    return std::any_of(B.Counts.begin(), B.Counts.end(),
                       [&](const auto &Count) { return Count.first == Kind; });
  };
  return Counts(Whole) || std::any_of(Boots.begin(), Boots.end(), [&](const BootExpectations &B) {
           return Boot != 0 && B.Boot == Boot && Counts(B);
         });
}

Expectations ParseExpectations(const json &Document, size_t BootCount) {
  Expectations E;
  if (!Document.contains("expect")) {
    return E;
  }
  const json &Expect = Object(Document["expect"], "expect");
  CheckKeys(Expect, "expect", {"drivers", "boots", "runs", "variables", "counts", "os"});
  ParseBootPart(Expect, "expect", E.Whole);
  if (Expect.contains("boots")) {
    const json &Boots = Entries(Expect["boots"], "expect.boots");
    for (auto It = Boots.begin(); It != Boots.end(); ++It) {
      std::string Where = "expect.boots." + It.key();
      BootExpectations B;
      B.Boot = Number(json(It.key()), Where, kMaxBoots);
      if (B.Boot == 0 || B.Boot > BootCount) {
        Fail(Where, "the scenario has boots 1 to " + std::to_string(BootCount));
      }
      Object(It.value(), Where);
      CheckKeys(It.value(), Where, {"drivers", "variables", "counts"});
      ParseBootPart(It.value(), Where, B);
      E.Boots.push_back(B);
    }
  }
  if (Expect.contains("runs")) {
    const json &Runs = Entries(Expect["runs"], "expect.runs");
    for (auto It = Runs.begin(); It != Runs.end(); ++It) {
      E.Runs.push_back(ParseRun(It.key(), It.value(), "expect.runs." + It.key()));
    }
  }
  if (Expect.contains("os")) {
    ParseOs(Expect["os"], E);
  }
  return E;
}

namespace {

using Results = std::vector<ExpectationResult>;

void Record(Results &Out, const std::string &Path, const std::string &Expected,
            const std::string &Got) {
  Out.push_back({Path, Expected == Got, Expected, Got});
}

void CheckDrivers(const BootExpectations &B, const json &Report, Results &Out) {
  std::string Base =
      B.Boot == 0 ? "expect.drivers." : Join("expect.boots", std::to_string(B.Boot)) + ".drivers.";
  for (const DriverExpectation &D : B.Drivers) {
    std::string Path = Base + D.Name;
    bool Ran = false;
    for (const json &Boot : ListOf(Report, "boots")) {
      size_t Number = Boot["boot"].get<size_t>();
      if (B.Boot != 0 && Number != B.Boot) {
        continue;
      }
      std::string Suffix = B.Boot == 0 ? " (boot " + std::to_string(Number) + ")" : "";
      for (const json &Driver : ListOf(Boot, "drivers")) {
        if (Driver["name"] != D.Name) {
          continue;
        }
        Ran = true;
        if (D.Status) {
          bool Alone = D.Accesses.empty() && D.BootScript.empty();
          Record(Out, Path + (Alone ? "" : ".status") + Suffix, *D.Status,
                 Driver.value("status", Driver["outcome"].get<std::string>()));
        }
        if (!D.Accesses.empty()) {
          Out.push_back(CheckSequence(D.Accesses, Place(ListOf(Driver, "accesses"), "access"),
                                      Path + ".accesses", Suffix, "accesses"));
        }
        if (!D.BootScript.empty()) {
          Out.push_back(CheckSequence(D.BootScript, Place(ListOf(Driver, "boot_script"), "entry"),
                                      Path + ".boot_script", Suffix, "boot-script entries"));
        }
      }
    }
    if (!Ran) {
      Record(Out, Path, D.Status ? *D.Status : "a run of the driver",
             B.Boot == 0 ? "not dispatched" : "not dispatched in boot " + std::to_string(B.Boot));
    }
  }
}

void CheckVariables(const std::vector<VariableExpectation> &Expected, const VariableSnapshot *Store,
                    const std::string &When, Results &Out) {
  for (const VariableExpectation &V : Expected) {
    std::string Path = V.Path + " (" + Quoted(V.Name) + ")";
    if (Store == nullptr) {
      Record(Out, Path, V.Absent ? "absent" : "present", When + " did not take place");
      continue;
    }
    auto It = Store->find({sim::Widen(V.Name), sim::GuidKey{V.Guid}});
    const sim::Variable *Found = It == Store->end() ? nullptr : &It->second;
    if (V.Absent) {
      Record(Out, Path + ".absent", "absent",
             Found ? "present, " + std::to_string(Found->Data.size()) + " bytes" : "absent");
      continue;
    }
    if (Found == nullptr) {
      Record(Out, Path, "present", "absent");
      continue;
    }
    if (V.Bytes) {
      Record(Out, Path + ".bytes", BytesHex(*V.Bytes), BytesHex(Found->Data));
    }
    for (const auto &[Offset, Value] : V.ByteValues) {
      Record(Out, Path + " byte " + HexText(Offset, 1), HexText(Value, 2),
             Offset < Found->Data.size() ? HexText(Found->Data[Offset], 2) : "beyond the end");
    }
  }
}

void CheckCounts(const BootExpectations &B, const json &Summary, Results &Out) {
  std::string Base =
      B.Boot == 0 ? "expect.counts." : Join("expect.boots", std::to_string(B.Boot)) + ".counts.";
  for (const auto &[Kind, Count] : B.Counts) {
    if (!Summary.is_object()) {
      Record(Out, Base + Kind, std::to_string(Count), "the boot did not take place");
      continue;
    }
    const json &Got = Summary[Kind];
    Record(Out, Base + Kind, std::to_string(Count),
           std::to_string(Got.is_array() ? Got.size() : Got.get<size_t>()));
  }
}

// The rows of a run's screens that hold Text, or the last screen when none does.
std::string ScreenSeen(const json &Run, const std::string &Text, bool &Held) {
  const json &Screens = ListOf(Run, "screens");
  for (const json &Screen : Screens) {
    for (const json &Row : ListOf(Screen, "text")) {
      if (Row.get<std::string>().find(Text) != std::string::npos) {
        Held = true;
        return "a screen containing " + Quoted(Text);
      }
    }
  }
  Held = false;
  if (Screens.empty()) {
    return "no screen";
  }
  std::string Last;
  for (const json &Row : ListOf(Screens.back(), "text")) {
    std::string Line = Row.get<std::string>();
    size_t First = Line.find_first_not_of(' ');
    if (First != std::string::npos) {
      Last += (Last.empty() ? "" : " | ") + Line.substr(First);
    }
  }
  return std::to_string(Screens.size()) +
         " screen(s), none containing it; the last reads: " + (Last.empty() ? "(blank)" : Last);
}

void CheckRuns(const std::vector<RunExpectation> &Runs, const json &Report, Results &Out) {
  for (const RunExpectation &R : Runs) {
    std::string Path = "expect.runs." + Quoted(R.Name);
    const json *Run = nullptr;
    for (const json &Boot : ListOf(Report, "boots")) {
      for (const json &Candidate : ListOf(Boot, "runs")) {
        if (Candidate["name"] == R.Name) {
          Run = &Candidate;
        }
      }
    }
    if (Run == nullptr) {
      Record(Out, Path, "a run of this name", "no such run in the report");
      continue;
    }
    std::string Outcome = (*Run)["outcome"].get<std::string>();
    if (R.Status) {
      Record(Out, Path + ".status", *R.Status, Run->value("status", Outcome));
    }
    if (R.Halted) {
      Record(Out, Path + ".halted", *R.Halted ? "true" : "false",
             Outcome == "halted" ? "true" : "false");
    }
    auto Flags = [&](const char *Key, std::optional<uint32_t> Expected) {
      if (Expected) {
        Record(Out, Path + "." + Key, FlagsText(*Expected),
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
      Record(Out, Path + ".drives." + Label, State, Got);
    }
    for (size_t I = 0; I < R.Screens.size(); I++) {
      bool Held = false;
      std::string Got = ScreenSeen(*Run, R.Screens[I], Held);
      Out.push_back(
          {Join(Path + ".screens", I), Held, "a screen containing " + Quoted(R.Screens[I]), Got});
    }
  }
}

// The band in effect after each tick: the last band change at or before it.
void CheckTicks(const std::vector<TickExpectation> &Ticks, const json &Os, Results &Out) {
  const json &Seen = ListOf(Os, "ticks");
  for (const TickExpectation &T : Ticks) {
    std::string Path = "expect.os.ticks." + std::to_string(T.Tick);
    auto Missing = [&](const std::string &Why) {
      Record(Out, Path, "tick " + std::to_string(T.Tick), Why);
    };
    if (!Os.is_object()) {
      Missing("no operating-system phase: a run stopped the machine");
      continue;
    }
    if (T.Tick > Seen.size()) {
      Missing("the SMI timer ticked " + std::to_string(Seen.size()) + " time(s)");
      continue;
    }
    const json *Change = nullptr;
    size_t ChangedAt = 0;
    for (size_t I = 0; I < T.Tick; I++) {
      if (Seen[I]["band_change"].is_object()) {
        Change = &Seen[I]["band_change"];
        ChangedAt = I + 1;
      }
    }
    bool Changed = ChangedAt == T.Tick;
    std::string Since = Change ? " (set at tick " + std::to_string(ChangedAt) + ")" : "";
    if (T.Changed) {
      Record(Out, Path + ".changed", *T.Changed ? "a band change" : "no band change",
             Changed ? "a band change" : "no band change");
    }
    if (T.Band) {
      std::string Got = Change ? (*Change)["band"].get<std::string>() : "no band set yet";
      bool Held = Got == *T.Band || Got.rfind(*T.Band + " (", 0) == 0;
      Out.push_back({Path + ".band", Held, "the " + *T.Band + " band", Got + Since});
    }
    auto Field = [&](const std::string &Key, const std::string &Want, const std::string &Got) {
      Out.push_back(
          {Path + "." + Key, Want == Got, Want, Change ? Got + Since : "no band set yet"});
    };
    if (T.Table) {
      Field("table", "table " + *T.Table,
            Change ? "table " + (*Change)["table"].get<std::string>() : "");
    }
    if (T.Marker) {
      Field("marker", HexText(*T.Marker, 2), Change ? (*Change)["marker"].get<std::string>() : "");
    }
    for (const auto &[Register, Value] : T.Registers) {
      std::string Name = HexText(Register, 2);
      const json &Written = Change ? (*Change)["registers"] : json::object();
      Field("registers." + Name, HexText(Value, 2),
            Written.contains(Name) ? Written[Name].get<std::string>() : "not written");
    }
  }
}

void CheckSoftwareSmis(const std::vector<SmiExpectation> &Smis, const json &Os, Results &Out) {
  for (const SmiExpectation &S : Smis) {
    std::string Path = S.Path + " (SMI " + HexText(S.Value, 8) +
                       (S.Eax ? ", EAX " + HexText(*S.Eax, 8) : "") + ")";
    std::string Want = S.Answer ? HexText(*S.Answer, 8) : "no answer (EAX unchanged)";
    if (!Os.is_object()) {
      Record(Out, Path, Want, "no operating-system phase: a run stopped the machine");
      continue;
    }
    std::string Got, Values;
    bool Held = true, Raised = false;
    for (const json &Smi : ListOf(Os, "software_smis")) {
      Values += (Values.empty() ? "" : ", ") + Smi["value"].get<std::string>();
      if (HexValue(Smi["value"]) != S.Value || (S.Eax && HexValue(Smi["eax"]) != *S.Eax)) {
        continue;
      }
      Raised = true;
      std::string Answer = Smi["answer"] == Smi["eax"] ? "no answer (EAX unchanged)"
                                                       : Smi["answer"].get<std::string>();
      Held = Held && Answer == Want;
      Got += (Got.empty() ? "" : ", ") + Answer;
    }
    if (!Raised) {
      Record(Out, Path, Want,
             "no such SMI was raised" + (Values.empty() ? "" : " (raised: " + Values + ")"));
      continue;
    }
    Out.push_back({Path, Held, Want, Got});
  }
}

} // namespace

Results CheckExpectations(const Expectations &E, const json &Report,
                          const std::vector<VariableSnapshot> &AfterBoot,
                          const VariableSnapshot &AtEnd) {
  Results Out;
  CheckDrivers(E.Whole, Report, Out);
  for (const BootExpectations &B : E.Boots) {
    CheckDrivers(B, Report, Out);
  }
  CheckRuns(E.Runs, Report, Out);
  CheckVariables(E.Whole.Variables, &AtEnd, "the run", Out);
  for (const BootExpectations &B : E.Boots) {
    CheckVariables(B.Variables, B.Boot <= AfterBoot.size() ? &AfterBoot[B.Boot - 1] : nullptr,
                   "boot " + std::to_string(B.Boot), Out);
  }
  CheckCounts(E.Whole, Report["summary"], Out);
  for (const BootExpectations &B : E.Boots) {
    const json &Boots = ListOf(Report, "boots");
    CheckCounts(B, B.Boot <= Boots.size() ? Boots[B.Boot - 1]["summary"] : json(), Out);
  }
  const json &Os = Report.contains("os") ? Report["os"] : json();
  CheckTicks(E.Ticks, Os, Out);
  CheckSoftwareSmis(E.SoftwareSmis, Os, Out);
  if (!E.OsAccesses.empty()) {
    Placed Seen;
    for (const json &Tick : ListOf(Os, "ticks")) {
      const json &Accesses = ListOf(Tick, "accesses");
      for (size_t I = 0; I < Accesses.size(); I++) {
        Seen.push_back(
            {"tick " + std::to_string(Tick["tick"].get<int>()) + " access " + std::to_string(I + 1),
             &Accesses[I]});
      }
    }
    Out.push_back(
        CheckSequence(E.OsAccesses, Seen, "expect.os.accesses", "", "timer SMI accesses"));
  }
  return Out;
}

} // namespace boardsim
