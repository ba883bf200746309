// Section "fingerprint": the fingerprint authentication's outside components (drives, reader,
// module, caller, console) and its runs.
#include "scenario_fields.h"

#include "fingerprint_services.h"

#include <algorithm>

namespace boardsim {

using nlohmann::json;

namespace {

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

// Refuses Items[Index] when an earlier item has the same Member (a label, a name): the report
// and the expectations would name two things alike. The default names count too.
template <typename Item>
void RefuseTwice(const std::vector<Item> &Items, size_t Index, std::string Item::*Member,
                 const std::string &List, const char *Field, const char *What) {
  for (size_t Earlier = 0; Earlier < Index; Earlier++) {
    if (Items[Earlier].*Member == Items[Index].*Member) {
      Fail(Join(Join(List, Index), Field),
           std::string("the ") + What + " \"" + Items[Index].*Member +
               "\" is given twice (first in " + Join(List, Earlier) + ")");
    }
  }
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

} // namespace

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
      // The report and the expectations name a drive by its label.
      RefuseTwice(F.Drives, I, &DriveSpec::Label, Where, "label", "drive label");
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
          std::string At = Join(Join(Where, "entries"), I);
          size_t Entry = (size_t)Number(Entries[I], At, sim::UsbStack::kDeviceEntries - 1);
          // One device-table entry describes one device.
          if (std::find(F.ReaderEntries.begin(), F.ReaderEntries.end(), Entry) !=
              F.ReaderEntries.end()) {
            Fail(At, "the entry " + std::to_string(Entry) + " is given twice");
          }
          F.ReaderEntries.push_back(Entry);
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
      // The report and the expectations name a run by its name.
      RefuseTwice(F.Runs, I, &AuthRunSpec::Name, Where, "name", "run name");
    }
  }
  return F;
}

} // namespace boardsim
