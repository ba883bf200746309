#include "scenario.h"

#include "fingerprint_services.h"
#include "guids.h"
#include "setup_variables.h"
#include "variable_layouts.h"

#include <algorithm>
#include <filesystem>
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

HardwareSpec ParseHardware(const json &Value, const std::string &Path) {
  HardwareSpec H;
  if (Value.contains("straps")) {
    std::string Where = Join(Path, "straps");
    const json &Straps = Object(Value["straps"], Where);
    CheckKeys(Straps, Where, {"com2", "lpt", "option"});
    if (Straps.contains("com2"))
      H.Com2Strap = Flag(Straps["com2"], Join(Where, "com2"));
    if (Straps.contains("lpt"))
      H.LptStrap = Flag(Straps["lpt"], Join(Where, "lpt"));
    if (Straps.contains("option"))
      H.OptionStrap = Flag(Straps["option"], Join(Where, "option"));
  }
  if (Value.contains("gpu_vendor")) {
    H.GpuVendor = Vendor(Value["gpu_vendor"], Join(Path, "gpu_vendor"));
  }
  if (Value.contains("bridge_device_vendor")) {
    H.BridgeDeviceVendor =
        Vendor(Value["bridge_device_vendor"], Join(Path, "bridge_device_vendor"));
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

// ---- section "fingerprint" -------------------------------------------------------------------
std::string Text(const json &Value, const std::string &Path) {
  if (!Value.is_string()) {
    Fail(Path, "expected a string");
  }
  return Value.get<std::string>();
}

// A password as a person types it: the prompts take printable characters other than the blank,
// at most 64 of them.
std::string Password(const json &Value, const std::string &Path) {
  std::string P = Text(Value, Path);
  if (P.empty() || P.size() > TYPED_LINE_LENGTH) {
    Fail(Path, "expected a password of 1 to 64 characters");
  }
  for (char C : P) {
    if (C <= 0x20 || C >= 0x7F) {
      Fail(Path, "a password holds printable ASCII characters other than the blank");
    }
  }
  return P;
}

uint8_t RequestCode(const std::string &Key, const std::string &Path) {
  return (uint8_t)Number(json(Key), Path, 0xFF);
}

// Module slots by name.
const std::pair<const char *, uint16_t> SlotNames[] = {
    {"user", 0x01}, {"administrator", 0x02}, {"disk1", 0x04}, {"disk2", 0x08}, {"disk3", 0x10}};

std::vector<KeySpec> ParseKeys(const json &Value, const std::string &Path) {
  if (!Value.is_array()) {
    Fail(Path, "expected an array of keys: strings are typed text (\"\\r\" is Enter), "
               "objects {\"key\": \"F1\"} or {\"text\": \"...\"} with an optional \"at_ms\"");
  }
  List(Value, Path, kMaxKeys, "keys");
  size_t Typed = 0; // keys the entries press, typed text counted by its characters
  std::vector<KeySpec> Keys;
  for (size_t I = 0; I < Value.size(); I++) {
    std::string Where = Join(Path, I);
    const json &Item = Value[I];
    KeySpec K;
    if (Item.is_string()) {
      K.Text = sim::Widen(Item.get<std::string>());
    } else if (Item.is_object()) {
      CheckKeys(Item, Where, {"key", "text", "at_ms"});
      if (Item.contains("key") == Item.contains("text")) {
        Fail(Where, "give either 'key' or 'text'");
      }
      if (Item.contains("key")) {
        K.Named = true;
        K.Name = Text(Item["key"], Join(Where, "key"));
        EFI_INPUT_KEY Key;
        if (!sim::NamedKey(K.Name, Key)) {
          Fail(Join(Where, "key"), "unknown key '" + K.Name +
                                       "' (known: ESC, F1 to F12, ENTER, BACKSPACE, TAB, SPACE, "
                                       "UP, DOWN, LEFT, RIGHT, HOME, END, INSERT, DELETE, "
                                       "PAGEUP, PAGEDOWN)");
        }
      } else {
        K.Text = sim::Widen(Text(Item["text"], Join(Where, "text")));
      }
      if (Item.contains("at_ms")) {
        K.AtMicroseconds = Number(Item["at_ms"], Join(Where, "at_ms"), kMaxKeyTimeMs) * 1000;
      }
    } else {
      Fail(Where, "expected typed text or an object with 'key' or 'text'");
    }
    Typed += K.Named ? 1 : K.Text.size();
    if (Typed > kMaxKeys) {
      Fail(Where, "a run presses at most " + std::to_string(kMaxKeys) + " keys");
    }
    Keys.push_back(std::move(K));
  }
  return Keys;
}

CallerSpec ParseCaller(const json &Value, const std::string &Path) {
  Object(Value, Path);
  CheckKeys(Value, Path, {"stop", "answer", "administrator", "user", "disks"});
  CallerSpec C;
  if (Value.contains("stop"))
    C.Stop = Flag(Value["stop"], Join(Path, "stop"));
  if (Value.contains("answer"))
    C.AnswerFlag = Flag(Value["answer"], Join(Path, "answer"));
  if (Value.contains("administrator")) {
    C.Administrator = Password(Value["administrator"], Join(Path, "administrator"));
  }
  if (Value.contains("user"))
    C.User = Password(Value["user"], Join(Path, "user"));
  if (Value.contains("disks")) {
    std::string Where = Join(Path, "disks");
    const json &Disks = Value["disks"];
    if (!Disks.is_array() || Disks.size() > 4) {
      Fail(Where, "expected up to four hard-disk password candidates");
    }
    for (size_t I = 0; I < Disks.size(); I++) {
      // An empty candidate leaves its 12 bytes zero, so later candidates keep their places.
      std::string Candidate = Text(Disks[I], Join(Where, I));
      C.Disks.push_back(Candidate.empty() ? Candidate : Password(Disks[I], Join(Where, I)));
    }
  }
  return C;
}

DriveSpec ParseDrive(const json &Value, const std::string &Path, size_t Index) {
  Object(Value, Path);
  CheckKeys(Value, Path,
            {"label", "channel", "device", "function", "serial", "user_password", "master_password",
             "locked", "frozen", "maximum_security", "attempt_limit"});
  DriveSpec D;
  D.Label = Value.contains("label") ? Text(Value["label"], Join(Path, "label"))
                                    : "SATA drive " + std::to_string(Index);
  if (Value.contains("channel")) {
    D.Channel = (uint32_t)Number(Value["channel"], Join(Path, "channel"), 0xFFFFFFFF);
  }
  if (Value.contains("device")) {
    D.Device = (uint32_t)Number(Value["device"], Join(Path, "device"), 0xFFFFFFFF);
  }
  if (Value.contains("function")) {
    D.Function = (uint8_t)Number(Value["function"], Join(Path, "function"), 7);
  }
  D.Serial = Value.contains("serial") ? Text(Value["serial"], Join(Path, "serial"))
                                      : "SIMDRIVE" + std::to_string(1000 + Index);
  if (D.Serial.size() > 20) {
    Fail(Join(Path, "serial"), "a serial number has at most 20 characters");
  }
  if (Value.contains("user_password")) {
    D.UserPassword = Password(Value["user_password"], Join(Path, "user_password"));
  }
  if (Value.contains("master_password")) {
    D.MasterPassword = Password(Value["master_password"], Join(Path, "master_password"));
    if (!D.UserPassword) {
      Fail(Join(Path, "master_password"),
           "a master password needs a user password (security is enabled by the user password)");
    }
  }
  if (Value.contains("locked")) {
    D.Locked = Flag(Value["locked"], Join(Path, "locked"));
    if (!D.UserPassword) {
      Fail(Join(Path, "locked"), "only a drive with a user password has security enabled");
    }
  }
  if (Value.contains("frozen")) {
    D.Frozen = Flag(Value["frozen"], Join(Path, "frozen"));
  }
  if (Value.contains("maximum_security")) {
    D.MaximumSecurity = Flag(Value["maximum_security"], Join(Path, "maximum_security"));
  }
  if (Value.contains("attempt_limit")) {
    D.AttemptLimit = (unsigned)Number(Value["attempt_limit"], Join(Path, "attempt_limit"), 255);
  }
  return D;
}

sim::TextMode ParseMode(const json &Value, const std::string &Path) {
  sim::TextMode M;
  if (Value.is_array() && Value.size() == 2) {
    M.Columns = (uint32_t)Number(Value[0], Join(Path, 0), 512);
    M.Rows = (uint32_t)Number(Value[1], Join(Path, 1), 512);
  } else if (Value.is_object()) {
    CheckKeys(Value, Path, {"columns", "rows", "valid"});
    if (!Value.contains("columns") || !Value.contains("rows")) {
      Fail(Path, "a mode needs 'columns' and 'rows'");
    }
    M.Columns = (uint32_t)Number(Value["columns"], Join(Path, "columns"), 512);
    M.Rows = (uint32_t)Number(Value["rows"], Join(Path, "rows"), 512);
    if (Value.contains("valid"))
      M.Valid = Flag(Value["valid"], Join(Path, "valid"));
  } else {
    Fail(Path, "expected [columns, rows] or {\"columns\": .., \"rows\": .., \"valid\": ..}");
  }
  if (M.Columns == 0 || M.Rows == 0) {
    Fail(Path, "a text mode has at least one column and one row");
  }
  return M;
}

AuthRunSpec ParseRun(const json &Value, const std::string &Path, size_t Index, size_t Boots) {
  Object(Value, Path);
  CheckKeys(Value, Path,
            {"name", "boot", "checkpoint", "auth_flags", "control_flags", "keys", "caller",
             "finger_accepted", "tpl"});
  AuthRunSpec R;
  R.Name = Value.contains("name") ? Text(Value["name"], Join(Path, "name"))
                                  : "run " + std::to_string(Index + 1);
  if (Value.contains("boot")) {
    R.Boot = (size_t)Number(Value["boot"], Join(Path, "boot"), 1000);
    if (R.Boot < 1 || R.Boot > Boots) {
      Fail(Join(Path, "boot"), "no such boot (the scenario has " + std::to_string(Boots) +
                                   (Boots == 1 ? " boot)" : " boots)"));
    }
  }
  if (Value.contains("auth_flags")) {
    R.AuthFlags = (uint32_t)Number(Value["auth_flags"], Join(Path, "auth_flags"), 0xFFFFFFFF);
  }
  if (Value.contains("checkpoint")) {
    std::string Checkpoint = Text(Value["checkpoint"], Join(Path, "checkpoint"));
    if (Checkpoint == "system-password") {
      R.AuthFlags |= AUTH_SYSTEM_PASSWORD_RUN;
    } else if (Checkpoint != "boot") {
      Fail(Join(Path, "checkpoint"), "expected \"boot\" or \"system-password\"");
    }
  }
  if (Value.contains("control_flags")) {
    R.ControlFlags =
        (uint32_t)Number(Value["control_flags"], Join(Path, "control_flags"), 0xFFFFFFFF);
  }
  if (Value.contains("keys"))
    R.Keys = ParseKeys(Value["keys"], Join(Path, "keys"));
  if (Value.contains("caller"))
    R.Caller = ParseCaller(Value["caller"], Join(Path, "caller"));
  if (Value.contains("finger_accepted")) {
    R.FingerAccepted = Flag(Value["finger_accepted"], Join(Path, "finger_accepted"));
  }
  if (Value.contains("tpl")) {
    R.Tpl = (EFI_TPL)Number(Value["tpl"], Join(Path, "tpl"), TPL_HIGH_LEVEL);
  }
  return R;
}

FingerprintSpec ParseFingerprint(const json &Value, size_t Boots) {
  const std::string Path = "fingerprint";
  Object(Value, Path);
  CheckKeys(Value, Path,
            {"dispatch", "passwords", "drives", "reader", "finger", "module", "caller", "console",
             "display_controller", "runs"});
  FingerprintSpec F;
  if (Value.contains("dispatch"))
    F.Dispatch = Flag(Value["dispatch"], Join(Path, "dispatch"));
  if (Value.contains("passwords")) {
    std::string Where = Join(Path, "passwords");
    const json &P = Object(Value["passwords"], Where);
    CheckKeys(P, Where, {"user", "administrator"});
    F.PasswordsGiven = true;
    if (P.contains("user"))
      F.UserPassword = Password(P["user"], Join(Where, "user"));
    if (P.contains("administrator")) {
      F.AdministratorPassword = Password(P["administrator"], Join(Where, "administrator"));
    }
  }
  if (Value.contains("drives")) {
    std::string Where = Join(Path, "drives");
    const json &Drives = Value["drives"];
    if (!Drives.is_array() || Drives.size() > kMaxDrives) {
      Fail(Where, "expected an array of up to " + std::to_string(kMaxDrives) + " drives");
    }
    for (size_t I = 0; I < Drives.size(); I++) {
      F.Drives.push_back(ParseDrive(Drives[I], Join(Where, I), I));
    }
  }
  if (Value.contains("reader")) {
    std::string Where = Join(Path, "reader");
    const json &Reader = Value["reader"];
    if (Reader.is_boolean()) {
      F.ReaderEntries = Reader.get<bool>() ? std::vector<size_t>{1} : std::vector<size_t>{};
    } else {
      Object(Reader, Where);
      CheckKeys(Reader, Where, {"entries", "controller"});
      if (Reader.contains("entries")) {
        const json &Entries = Reader["entries"];
        if (!Entries.is_array()) {
          Fail(Join(Where, "entries"), "expected the USB device-table entries holding a reader");
        }
        List(Entries, Join(Where, "entries"), sim::UsbStack::kDeviceEntries, "entries");
        F.ReaderEntries.clear();
        for (size_t I = 0; I < Entries.size(); I++) {
          F.ReaderEntries.push_back((size_t)Number(Entries[I], Join(Join(Where, "entries"), I),
                                                   sim::UsbStack::kDeviceEntries - 1));
        }
      }
      if (Reader.contains("controller")) {
        F.ReaderController = (uint8_t)Number(Reader["controller"], Join(Where, "controller"),
                                             sim::UsbStack::kControllerRecords);
        if (F.ReaderController == 0) {
          Fail(Join(Where, "controller"), "controllers are numbered from 1");
        }
      }
    }
  }
  if (Value.contains("finger")) {
    std::string Where = Join(Path, "finger");
    const json &Finger = Object(Value["finger"], Where);
    CheckKeys(Finger, Where, {"enrolled", "accepted", "state", "slots"});
    if (Finger.contains("enrolled"))
      F.FingerEnrolled = Flag(Finger["enrolled"], Join(Where, "enrolled"));
    if (Finger.contains("accepted"))
      F.FingerAccepted = Flag(Finger["accepted"], Join(Where, "accepted"));
    if (Finger.contains("state")) {
      F.FingerState = (uint8_t)Number(Finger["state"], Join(Where, "state"), 0xFF);
    }
    if (Finger.contains("slots")) {
      std::string SlotsPath = Join(Where, "slots");
      const json &Slots = Object(Finger["slots"], SlotsPath);
      for (auto It = Slots.begin(); It != Slots.end(); ++It) {
        uint16_t Bit = 0;
        for (const auto &[Name, Value] : SlotNames) {
          if (It.key() == Name) {
            Bit = Value;
          }
        }
        if (Bit == 0) {
          Fail(Join(SlotsPath, It.key()),
               "no such module slot (known: user, administrator, disk1, disk2, disk3)");
        }
        F.Slots[Bit] = Password(It.value(), Join(SlotsPath, It.key()));
      }
    }
  }
  if (Value.contains("module")) {
    std::string Where = Join(Path, "module");
    const json &Module = Object(Value["module"], Where);
    CheckKeys(Module, Where, {"busy", "answers"});
    if (Module.contains("busy")) {
      const json &Busy = Object(Module["busy"], Join(Where, "busy"));
      for (auto It = Busy.begin(); It != Busy.end(); ++It) {
        std::string At = Join(Join(Where, "busy"), It.key());
        F.Busy[RequestCode(It.key(), At)] = (unsigned)Number(It.value(), At, 1000);
      }
    }
    if (Module.contains("answers")) {
      const json &Answers = Object(Module["answers"], Join(Where, "answers"));
      for (auto It = Answers.begin(); It != Answers.end(); ++It) {
        std::string At = Join(Join(Where, "answers"), It.key());
        F.Answers[RequestCode(It.key(), At)] = (uint16_t)Number(It.value(), At, 0xFFFF);
      }
    }
  }
  if (Value.contains("caller"))
    F.Caller = ParseCaller(Value["caller"], Join(Path, "caller"));
  if (Value.contains("console")) {
    std::string Where = Join(Path, "console");
    const json &Console = Object(Value["console"], Where);
    CheckKeys(Console, Where, {"modes", "console_control"});
    if (Console.contains("modes")) {
      const json &Modes = Console["modes"];
      if (!Modes.is_array() || Modes.empty()) {
        Fail(Join(Where, "modes"), "expected a non-empty array of text modes (mode 0 first)");
      }
      List(Modes, Join(Where, "modes"), kMaxTextModes, "text modes");
      for (size_t I = 0; I < Modes.size(); I++) {
        F.ConsoleModes.push_back(ParseMode(Modes[I], Join(Join(Where, "modes"), I)));
      }
    }
    if (Console.contains("console_control")) {
      F.ConsoleControl = Flag(Console["console_control"], Join(Where, "console_control"));
    }
  }
  if (Value.contains("display_controller")) {
    F.DisplayController = Flag(Value["display_controller"], Join(Path, "display_controller"));
  }
  if (Value.contains("runs")) {
    std::string Where = Join(Path, "runs");
    const json &Runs = Value["runs"];
    if (!Runs.is_array()) {
      Fail(Where, "expected an array of authentication runs");
    }
    List(Runs, Where, kMaxRuns, "authentication runs");
    for (size_t I = 0; I < Runs.size(); I++) {
      F.Runs.push_back(ParseRun(Runs[I], Join(Where, I), I, Boots));
    }
  }
  return F;
}

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
    std::ostringstream Limit;
    Limit << "0x" << std::hex << Max;
    Fail(Path, "value larger than " + Limit.str());
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
      Levels.push_back({Event == json::parse_event_t::array_start, "", 0});
      break;
    case json::parse_event_t::key:
      Levels.back().Key = Parsed.get<std::string>();
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

void ApplyHardware(sim::Board &Board, const HardwareSpec &H) {
  if (H.Com2Strap)
    Board.Fch.SetStrap(0xFED80134, *H.Com2Strap);
  if (H.LptStrap)
    Board.Fch.SetStrap(0xFED80135, *H.LptStrap);
  if (H.OptionStrap)
    Board.Fch.SetStrap(0xFED801E0, *H.OptionStrap);
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
  if (H.Tpm)
    Board.Tpm.Identity = *H.Tpm;
}

void ApplyVariables(sim::Board &Board, const Scenario &S) {
  for (const VariableSpec &V : S.Variables) {
    Board.Variables.Put(V.Name, V.Guid, V.Attributes, V.Data);
  }
}

} // namespace boardsim
