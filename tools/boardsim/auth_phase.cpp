#include "auth_phase.h"

#include "call_report.h"
#include "fingerprint_module_interface.h"
#include "firmware_file.h"
#include "guids.h"
#include "password_hash.h"
#include "physical_memory.h"
#include "status_names.h"
#include "terminal_keys.h"
#include "variable_layouts.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace boardsim {
namespace {

const char *const DriverName = "FingerprintAuthDxe";

std::string Hex(uint64_t Value, int Digits) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%0*llX", Digits, (unsigned long long)Value);
  return Text;
}

// A module request by its name, and what its answer in AX says.
std::string RequestText(uint8_t Code, uint16_t Answer) {
  namespace M = sim::module_interface;
  const char *Name = Code == M::RequestFingerprint              ? "fingerprint"
                     : Code == M::RequestStorePassword          ? "store password"
                     : Code == M::RequestResetMapping           ? "reset drive mapping"
                     : Code == M::RequestEndOfSystemPasswordRun ? "end of system-password run"
                     : Code == M::RequestOpen                   ? "open"
                                                                : "unknown request";
  const char *Result = Answer == M::AnswerSuccess      ? "done"
                       : Answer == M::AnswerBusy       ? "busy"
                       : Code == M::RequestFingerprint ? "finger refused"
                                                       : "refused";
  return std::string(Name) + ", " + Result;
}

// Why a run that returned an error ended, when its last module request tells.
std::string WhyRunEnded(const sim::ModuleRequestRecord &Last) {
  namespace M = sim::module_interface;
  std::string Answer = " (answer " + Hex(Last.Answer, 4) + ")";
  if (Last.Answer == M::AnswerBusy) {
    return "the module was still busy at the last try of request " + std::to_string(Last.Code) +
           Answer;
  }
  switch (Last.Code) {
  case M::RequestFingerprint:
    if (Last.Answer != M::AnswerSuccess) {
      return "the module refused the finger" + Answer +
             ": no password was taken from it and nothing verified";
    }
    break;
  case M::RequestOpen:
    if (Last.Answer != M::AnswerSuccess) {
      return "the module did not open" + Answer + ", so no finger was asked for";
    }
    break;
  case M::RequestResetMapping:
    return Last.Answer == M::AnswerSuccess
               ? "a run that resets the module's drive mapping (ControlFlags) does only that"
               : "the module refused to reset its drive mapping" + Answer;
  default:
    break;
  }
  return {};
}

std::string Seconds(uint64_t Microseconds) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.2f s", Microseconds / 1e6);
  return Text;
}

sim::CallerAnswers Answers(const CallerSpec &C) {
  sim::CallerAnswers A;
  A.Stop = C.Stop ? 1 : 0;
  bool Given = C.Administrator || C.User || !C.Disks.empty();
  A.AnswerFlag = C.AnswerFlag.value_or(Given) ? 1 : 0;
  if (C.Administrator)
    A.Administrator = sim::SetupForm(*C.Administrator);
  if (C.User)
    A.User = sim::SetupForm(*C.User);
  for (size_t I = 0; I < C.Disks.size() && I < A.DiskCandidates.size(); I++) {
    if (!C.Disks[I].empty()) {
      A.DiskCandidates[I] = sim::ModuleForm(C.Disks[I]);
    }
  }
  return A;
}

std::string KeysText(const std::vector<KeySpec> &Keys) {
  std::string Text;
  for (const KeySpec &K : Keys) {
    Text += Text.empty() ? "" : " ";
    if (K.Named) {
      Text += K.Name;
    } else {
      std::string Run;
      for (char16_t C : K.Text) {
        if (C == u'\r' || C == u'\n') {
          Text += (Run.empty() ? "" : "\"" + Run + "\" ") + std::string("ENTER");
          Run.clear();
          Text += " ";
        } else if (C == 0x1B) {
          Text += (Run.empty() ? "" : "\"" + Run + "\" ") + std::string("ESC ");
          Run.clear();
        } else if (C == u'\b') {
          Text += (Run.empty() ? "" : "\"" + Run + "\" ") + std::string("BACKSPACE ");
          Run.clear();
        } else {
          Run += C < 0x80 ? (char)C : '?';
        }
      }
      if (!Run.empty()) {
        Text += "\"" + Run + "\"";
      }
      while (!Text.empty() && Text.back() == ' ') {
        Text.pop_back();
      }
    }
    if (K.AtMicroseconds) {
      Text += " (at " + Seconds(*K.AtMicroseconds) + ")";
    }
  }
  return Text.empty() ? "none" : Text;
}

// ---- the fingerprint variables, field by field -------------------------------------------------
std::string SlotList(const std::vector<uint8_t> &Entry) {
  static const char *const Names[] = {"administrator", "user", "disk1", "disk2", "disk3"};
  std::string List;
  for (size_t I = 0; I < 5; I++) {
    if (Entry[2 + I] != 0) {
      List += (List.empty() ? "" : ", ") + std::string(Names[I]);
    }
  }
  return List.empty() ? "no slot" : List;
}

std::string MapEntryText(const std::vector<uint8_t> &Map, size_t Drive) {
  if (Map.size() < 2 + 8 * (Drive + 1)) {
    return "(none)";
  }
  std::vector<uint8_t> Entry(Map.begin() + 2 + 8 * Drive, Map.begin() + 2 + 8 * (Drive + 1));
  return "CRC " + Hex(Entry[0] | (Entry[1] << 8), 4) + ", " + SlotList(Entry);
}

std::vector<std::string> DescribeFingerprintVariable(const std::u16string &Name,
                                                     const std::vector<uint8_t> &Before,
                                                     const std::vector<uint8_t> &After) {
  std::vector<std::string> Lines;
  auto Byte = [](const std::vector<uint8_t> &V, size_t At) -> std::string {
    return At < V.size() ? Hex(V[At], 2) : "(none)";
  };
  if (Name == u"FpHdp2HdpMapFlag") {
    if (Before.empty()) {
      // A new map: only what differs from a reset (all-zero) map is news.
      return DescribeFingerprintVariable(Name, std::vector<uint8_t>(After.size(), 0), After);
    }
    if (Byte(Before, 0) != Byte(After, 0)) {
      Lines.push_back("MapValid: " + Byte(Before, 0) + " -> " + Byte(After, 0));
    }
    if (Byte(Before, 1) != Byte(After, 1)) {
      Lines.push_back("MapDirty: " + Byte(Before, 1) + " -> " + Byte(After, 1));
    }
    for (size_t Drive = 0; Drive < 6; Drive++) {
      std::string Old = MapEntryText(Before, Drive), New = MapEntryText(After, Drive);
      if (Old != New) {
        Lines.push_back("drive " + std::to_string(Drive) + ": " + Old + " -> " + New);
      }
    }
    return Lines;
  }
  if (Name == u"SysPwdInvalidError") {
    auto Bits = [&](const std::vector<uint8_t> &V) {
      if (V.empty()) {
        return std::string("(none)");
      }
      std::string Text = Hex(V[0], 2), List;
      if ((V[0] & 0x03) != 0) {
        List = "system password check failed";
      }
      for (int Drive = 0; Drive < 6; Drive++) {
        if (V[0] & (1 << (Drive + 2))) {
          List += (List.empty() ? "" : ", ") + std::string("drive ") + std::to_string(Drive);
        }
      }
      return List.empty() ? Text : Text + " (" + List + ")";
    };
    Lines.push_back("value: " + Bits(Before) + " -> " + Bits(After));
    return Lines;
  }
  if (Name == u"UPEKFLAG") {
    auto Value = [](const std::vector<uint8_t> &V) {
      if (V.size() != 4) {
        return std::string(V.empty() ? "(none)" : std::to_string(V.size()) + " bytes");
      }
      uint32_t X = V[0] | (V[1] << 8) | (V[2] << 16) | ((uint32_t)V[3] << 24);
      return Hex(X, 8) + (X == 0x55AA55AA ? " (notice suppressed)" : "");
    };
    Lines.push_back("value: " + Value(Before) + " -> " + Value(After));
    return Lines;
  }
  return Lines;
}

bool IsFingerprintVariable(const std::u16string &Name) {
  return Name == u"FpHdp2HdpMapFlag" || Name == u"SysPwdInvalidError" || Name == u"UPEKFLAG";
}

nlohmann::json PrintVariables(std::ostream &Out, const VariableSnapshot &Before,
                              const VariableSnapshot &After) {
  nlohmann::json Changes = nlohmann::json::array();
  bool Any = false;
  auto Title = [](const sim::VariableStore::Key &Key, const sim::Variable &V) {
    return "\"" + sim::Narrow(Key.first) + "\" {" + sim::GuidText(Key.second.Guid) + "} " +
           std::to_string(V.Data.size()) + (V.Data.size() == 1 ? " byte" : " bytes") +
           ", attributes " + Hex(V.Attributes, 1);
  };
  for (const auto &[Key, New] : After) {
    auto Old = Before.find(Key);
    if (Old != Before.end() && Old->second == New) {
      continue;
    }
    if (!Any) {
      Out << "   variables changed:\n";
      Any = true;
    }
    Out << "     " << Title(Key, New) << (Old == Before.end() ? " (created)" : "") << "\n";
    static const std::vector<uint8_t> None;
    const std::vector<uint8_t> &OldData = Old == Before.end() ? None : Old->second.Data;
    if (Old != Before.end() && Old->second.Attributes != New.Attributes) {
      Out << "       attributes: " << Hex(Old->second.Attributes, 1) << " -> "
          << Hex(New.Attributes, 1) << "\n";
    }
    std::vector<std::string> Lines =
        IsFingerprintVariable(Key.first)
            ? DescribeFingerprintVariable(Key.first, OldData, New.Data)
            : DescribeChange(Key.first, Key.second.Guid, OldData, New.Data);
    for (const std::string &Line : Lines) {
      Out << "       " << Line << "\n";
    }
    Changes.push_back(
        VariableChangeJson(Key, Old == Before.end() ? nullptr : &Old->second, &New, Lines));
  }
  for (const auto &[Key, Old] : Before) {
    if (!After.count(Key)) {
      if (!Any) {
        Out << "   variables changed:\n";
        Any = true;
      }
      Out << "     " << Title(Key, Old) << " (deleted)\n";
      Changes.push_back(VariableChangeJson(Key, &Old, nullptr, {}));
    }
  }
  if (!Any) {
    Out << "   variables changed: none\n";
  }
  return Changes;
}

std::string SerialText(const std::array<uint8_t, 20> &Serial) {
  std::string Text(Serial.begin(), Serial.end());
  while (!Text.empty() && (Text.back() == ' ' || Text.back() == 0)) {
    Text.pop_back();
  }
  return Text;
}

} // namespace

nlohmann::json DrivesJson(sim::Board &Board) {
  nlohmann::json List = nlohmann::json::array();
  for (const auto &Drive : Board.Sata.Drives()) {
    List.push_back({{"label", Drive->Label},
                    {"channel", Drive->Channel},
                    {"device", Drive->Device},
                    {"controller_function", Drive->ControllerFunction},
                    {"serial", SerialText(Drive->Serial)},
                    {"state", !Drive->SecurityEnabled ? "security not enabled"
                              : Drive->Locked         ? "locked"
                                                      : "unlocked"},
                    {"frozen", Drive->Frozen},
                    {"wrong_attempts", Drive->WrongAttempts}});
  }
  return List;
}

namespace {

std::vector<uint8_t> LowWindow() {
  const auto *Base = reinterpret_cast<const uint8_t *>(sim::kLowWindowBase);
  return std::vector<uint8_t>(Base, Base + sim::kLowWindowSize);
}

} // namespace

AuthPhase::AuthPhase(sim::Board &Board, const Scenario &S, bool Interactive, std::ostream &Out)
    : Board(Board), S(S), Interactive(Interactive), Colour(isatty(STDOUT_FILENO) == 1), Out(Out),
      Engine(Board) {
  if (Interactive) {
    Terminal = std::make_unique<sim::TerminalKeys>(STDIN_FILENO, STDOUT_FILENO);
    Board.Console.SetKeySource(Terminal.get());
  }
}

AuthPhase::~AuthPhase() {
  Board.Console.SetKeySource(nullptr);
}

void AuthPhase::Prepare() {
  if (!S.Fingerprint) {
    return;
  }
  const FingerprintSpec &F = *S.Fingerprint;
  if (F.PasswordsGiven) {
    Board.Variables.Put(u"VELTRASetup", VELTRASETUP_GUID, EFI_VARIABLE_NV_BS_RT,
                        sim::SetupPasswordStore(F.UserPassword, F.AdministratorPassword));
  }
  for (const DriveSpec &D : F.Drives) {
    sim::SataDrive &Drive = Board.Sata.AddDrive(D.Label, D.Channel, D.Device, D.Function);
    Drive.SetSerial(D.Serial);
    if (D.UserPassword) {
      std::optional<sim::PasswordForm> Master;
      if (D.MasterPassword) {
        Master = sim::ModuleForm(*D.MasterPassword);
      }
      Drive.SetPasswords(sim::ModuleForm(*D.UserPassword), Master);
    }
    Drive.Frozen = D.Frozen;
    Drive.MaximumSecurity = D.MaximumSecurity;
    Drive.AttemptLimit = D.AttemptLimit;
  }
  for (size_t Entry : F.ReaderEntries) {
    Board.Usb.PlaceReader(Entry, F.ReaderController);
  }
  if (F.FingerEnrolled) {
    Board.FingerprintModule.EnrollFinger(F.FingerState.value_or(0x01));
  } else {
    Board.FingerprintModule.FingerEnrolled = false;
  }
  Board.FingerprintModule.FingerAccepted = F.FingerAccepted;
  for (const auto &[Bit, Text] : F.Slots) {
    Board.FingerprintModule.SetSlot(Bit, sim::ModuleForm(Text));
  }
  for (const auto &[Code, Times] : F.Busy) {
    Board.FingerprintModule.AnswerBusy(Code, Times);
  }
  for (const auto &[Code, Answer] : F.Answers) {
    Board.FingerprintModule.SetAnswer(Code, Answer);
  }
  if (F.DisplayController) {
    Board.Pci.AddNotebookDevices();
  } else {
    Board.Pci.Add("host bridge", 0x06, 0x00, 0x00, 0x00, 0x1022, 0x9600);
    Board.Pci.Add("SATA controller", 0x01, 0x06, 0x01, 0x40, 0x1002, 0x4391);
  }
  if (!F.ConsoleModes.empty()) {
    Board.Console.SetModes(F.ConsoleModes);
  }
  if (!F.ConsoleControl) {
    Board.Console.RemoveConsoleControl();
  }
}

AuthBootResult AuthPhase::RunBoot(size_t Boot) {
  AuthBootResult Result;
  if (!S.Fingerprint) {
    return Result;
  }
  const FingerprintSpec &F = *S.Fingerprint;
  std::vector<const AuthRunSpec *> Runs;
  for (const AuthRunSpec &R : F.Runs) {
    if (R.Boot == Boot + 1) {
      Runs.push_back(&R);
    }
  }
  if (!F.Dispatch && Runs.empty()) {
    return Result;
  }
  PrintHeading(Out, "Boot " + std::to_string(Boot + 1) +
                        ": the setup engine's password checkpoints, with FingerprintAuthDxe loaded "
                        "from its firmware file");
  // Power-on locked every drive with security enabled; some were opened before the checkpoints.
  auto &Drives = Board.Sata.Drives();
  for (size_t I = 0; I < F.Drives.size() && I < Drives.size(); I++) {
    if (!F.Drives[I].Locked && Drives[I]->Label == F.Drives[I].Label) {
      Drives[I]->Locked = false;
    }
  }

  if (F.Dispatch) {
    std::string Path = sim::FirmwareFilePath(DriverName);
    if (!std::filesystem::exists(Path)) {
      Out << "\nnote: no firmware file " << Path << ", " << DriverName << " not dispatched\n";
    } else {
      DriverReport Report;
      Report.Name = DriverName;
      Report.ImagePath = Path;
      Report.Before = Board.Variables.All();
      size_t TraceStart = Board.Hardware.Trace().size();
      size_t ProblemStart = Board.Problems.size();
      size_t LiveBefore = Board.LivePoolBlocks();
      Checkpoint(std::string(DriverName) + "'s entry point in boot " + std::to_string(Boot + 1));
      size_t CallStart = CallMark();
      Report.Result = Board.LoadDriverFromFirmwareFile(DriverName);
      Report.Calls = CallsSince(CallStart);
      Report.After = Board.Variables.All();
      const auto &Trace = Board.Hardware.Trace();
      Report.Accesses.assign(Trace.begin() + TraceStart, Trace.end());
      Report.Problems.assign(Board.Problems.begin() + ProblemStart, Board.Problems.end());
      size_t LiveAfter = Board.LivePoolBlocks();
      Report.LeakedPoolBlocks = LiveAfter > LiveBefore ? LiveAfter - LiveBefore : 0;
      CurrentBoot()["drivers"].push_back(PrintDriverReport(Out, Report));
      Result.Crashed |= Report.Result.How == sim::Outcome::Crashed ||
                        Report.Result.How == sim::Outcome::NotLoaded;
    }
  }

  for (size_t I = 0; I < Runs.size(); I++) {
    const AuthRunSpec &Spec = *Runs[I];
    Engine.Answers = Answers(Spec.Caller.value_or(F.Caller));
    bool Accepted = Board.FingerprintModule.FingerAccepted;
    if (Spec.FingerAccepted) {
      Board.FingerprintModule.FingerAccepted = *Spec.FingerAccepted;
    }
    uint64_t Start = Board.ClockMicroseconds;
    Board.Console.ClearKeys();
    if (!Interactive) {
      for (const KeySpec &K : Spec.Keys) {
        uint64_t At = K.AtMicroseconds ? Start + *K.AtMicroseconds : 0;
        if (K.Named) {
          Board.Console.QueueNamed(K.Name, At);
        } else {
          Board.Console.QueueText(K.Text, At);
        }
      }
    }
    VariableSnapshot Before = Board.Variables.All();
    size_t RequestStart = Board.FingerprintModule.Requests().size();
    size_t TimelineStart = Board.Timeline.size();
    size_t LiveBefore = Board.LivePoolBlocks();
    std::vector<uint8_t> WindowBefore = LowWindow();

    // Everything reported so far reaches the terminal before a dialog can take it over.
    Out.flush();
    Engine.CallTpl = Spec.Tpl;
    Checkpoint("FingerprintAuthenticate, run \"" + Spec.Name + "\"");
    size_t CallStart = CallMark();
    sim::AuthRun Run = Engine.Authenticate(Spec.AuthFlags, Spec.ControlFlags);

    if (Terminal) {
      Terminal->Leave();
    }
    Board.FingerprintModule.FingerAccepted = Accepted;
    VariableSnapshot After = Board.Variables.All();
    bool WindowRestored = !Run.Returned() || LowWindow() == WindowBefore;
    size_t LiveAfter = Board.LivePoolBlocks();
    size_t Leaked = Run.Returned() && LiveAfter > LiveBefore ? LiveAfter - LiveBefore : 0;
    std::vector<std::string> Unread;
    for (const sim::ScriptedKey &K : Board.Console.PendingKeys()) {
      Unread.push_back(sim::KeyName({K.ScanCode, K.UnicodeChar}));
    }
    Board.Console.ClearKeys();
    PrintRun(Run, Spec, I + 1, Before, After, RequestStart, TimelineStart, Start, WindowRestored,
             Leaked, Unread);
    if (CallsShown()) {
      CurrentBoot()["runs"].back()["calls"] =
          PrintCalls(Out, CallsSince(CallStart), DriverName, "   ");
    }
    Result.Crashed |= Run.How == sim::AuthOutcome::Crashed;
    if (Run.How == sim::AuthOutcome::Halted || Run.How == sim::AuthOutcome::Stuck ||
        Run.How == sim::AuthOutcome::Crashed) {
      Result.Stopped = true;
      if (I + 1 < Runs.size()) {
        Out << "\n   the machine stopped: the remaining " << Runs.size() - I - 1
            << " run(s) of this boot do not happen\n";
      }
      break;
    }
  }
  return Result;
}

void AuthPhase::PrintRun(const sim::AuthRun &Run, const AuthRunSpec &Spec, size_t Number,
                         const VariableSnapshot &Before, const VariableSnapshot &After,
                         size_t RequestStart, size_t TimelineStart, uint64_t Start,
                         bool WindowRestored, size_t Leaked,
                         const std::vector<std::string> &Unread) {
  bool SystemPassword = (Run.AuthFlagsBefore & AUTH_SYSTEM_PASSWORD_RUN) != 0;
  CurrentBoot()["runs"].push_back({{"name", Spec.Name},
                                   {"boot", Spec.Boot},
                                   {"checkpoint", SystemPassword ? "system-password" : "boot"}});
  nlohmann::json &J = CurrentBoot()["runs"].back();
  Out << "\n-- checkpoint " << Number << ": " << Spec.Name << "\n";
  Out << "   FingerprintAuthenticate, " << (SystemPassword ? "system-password run" : "boot run")
      << "\n";
  switch (Run.How) {
  case sim::AuthOutcome::Returned:
    Out << "   returned " << sim::StatusName(Run.Status) << "\n";
    J["outcome"] = "returned";
    PutStatus(J, "status", Run.Status);
    break;
  case sim::AuthOutcome::Halted:
    Out << "   the machine halted: " << Run.Message << "\n";
    J["outcome"] = "halted";
    break;
  case sim::AuthOutcome::Stuck:
    Out << "   stuck: " << Run.Message << " (no scripted key left)\n";
    J["outcome"] = "stuck";
    break;
  case sim::AuthOutcome::Crashed:
    Out << "   CRASH: " << Run.Message << "\n";
    J["outcome"] = "crashed";
    break;
  case sim::AuthOutcome::NoProtocol:
    Out << "   not run: " << Run.Message << "\n";
    J["outcome"] = "not run";
    J["message"] = Run.Message;
    return;
  }
  if (!Run.Returned()) {
    J["message"] = Run.Message;
  }
  J["auth_flags_before"] = Hex(Run.AuthFlagsBefore, 8);
  J["auth_flags"] = Hex(Run.AuthFlags, 8);
  J["auth_flags_text"] = sim::AuthFlagsText(Run.AuthFlags);
  J["control_flags_before"] = Hex(Run.ControlFlagsBefore, 8);
  J["control_flags"] = Hex(Run.ControlFlags, 8);
  J["control_flags_text"] = sim::ControlFlagsText(Run.ControlFlags);
  J["board_time_us"] = Run.Microseconds;
  J["keys_left_unread"] = Unread;
  if (Spec.Tpl != TPL_APPLICATION) {
    Out << "   called at task priority level " << sim::TplText(Spec.Tpl) << "\n";
  }
  J["tpl_called"] = Spec.Tpl;
  Out << "   AuthFlags    " << sim::AuthFlagsText(Run.AuthFlagsBefore) << "\n"
      << "             -> " << sim::AuthFlagsText(Run.AuthFlags) << "\n";
  Out << "   ControlFlags " << sim::ControlFlagsText(Run.ControlFlagsBefore) << "\n"
      << "             -> " << sim::ControlFlagsText(Run.ControlFlags) << "\n";
  Out << "   board time: " << Seconds(Run.Microseconds) << "; keys "
      << (Interactive ? std::string("from the terminal") : "scripted: " + KeysText(Spec.Keys));
  if (!Unread.empty()) {
    Out << "; left unread:";
    for (const std::string &K : Unread) {
      Out << " " << K;
    }
  }
  Out << "\n";

  if (Run.Queries.empty()) {
    Out << "   queries of the caller: none\n";
  } else {
    Out << "   queries of the caller:";
    for (const sim::QueryRecord &Q : Run.Queries) {
      Out << " code " << Q.Code;
      if (!Q.Answer.empty()) {
        Out << " (answer byte 0: " << Hex(Q.Answer[0], 2) << ")";
      }
    }
    Out << "\n";
  }
  J["queries"] = nlohmann::json::array();
  for (const sim::QueryRecord &Q : Run.Queries) {
    J["queries"].push_back(
        {{"code", Q.Code}, {"answer", Q.Answer.empty() ? std::string() : BytesHex(Q.Answer)}});
  }

  const auto &Requests = Board.FingerprintModule.Requests();
  if (RequestStart >= Requests.size()) {
    Out << "   module requests: none\n";
  } else {
    Out << "   module requests (code: answer):";
    for (size_t I = RequestStart; I < Requests.size(); I++) {
      Out << " " << (int)Requests[I].Code << ": " << Hex(Requests[I].Answer, 4) << " ("
          << RequestText(Requests[I].Code, Requests[I].Answer) << ")";
    }
    Out << "\n";
  }
  J["module_requests"] = nlohmann::json::array();
  for (size_t I = RequestStart; I < Requests.size(); I++) {
    J["module_requests"].push_back(
        {{"code", Requests[I].Code},
         {"answer", Hex(Requests[I].Answer, 4)},
         {"meaning", RequestText(Requests[I].Code, Requests[I].Answer)}});
  }
  if (Run.How == sim::AuthOutcome::Returned && EFI_ERROR(Run.Status) &&
      RequestStart < Requests.size()) {
    std::string Why = WhyRunEnded(Requests.back());
    if (!Why.empty()) {
      Out << "   why the run ended: " << Why << "\n";
      J["why"] = Why;
    }
  }
  J["events"] = nlohmann::json::array();
  if (TimelineStart < Board.Timeline.size()) {
    Out << "   outside events in order:\n";
    for (size_t I = TimelineStart; I < Board.Timeline.size(); I++) {
      Out << "     " << Board.Timeline[I] << "\n";
      J["events"].push_back(Board.Timeline[I]);
    }
  }

  J["screens"] = nlohmann::json::array();
  PrintFrames(Run.FirstFrame, Start, J["screens"]);

  auto &Drives = Board.Sata.Drives();
  J["drives"] = DrivesJson(Board);
  if (Drives.empty()) {
    Out << "   drives after the run: none\n";
  } else {
    Out << "   drives after the run:\n";
    for (const auto &Drive : Drives) {
      std::string State = !Drive->SecurityEnabled ? "security not enabled"
                          : Drive->Locked         ? "LOCKED"
                                                  : "unlocked";
      if (Drive->Frozen) {
        State += ", frozen";
      }
      if (Drive->WrongAttempts != 0) {
        State += ", " + std::to_string(Drive->WrongAttempts) + " wrong password(s)";
      }
      Out << "     " << Drive->Label << " (channel " << Drive->Channel << ", device "
          << Drive->Device << ", controller function " << (int)Drive->ControllerFunction
          << ", serial \"" << SerialText(Drive->Serial) << "\"): " << State << "\n";
    }
  }
  J["variables"] = PrintVariables(Out, Before, After);
  nlohmann::json Problems = nlohmann::json::array();
  if (!WindowRestored) {
    Out << "   PROBLEM: the low-memory window 0x30000..0x7FFFF was not restored byte for byte\n";
    Problems.push_back("the low-memory window 0x30000..0x7FFFF was not restored byte for byte");
  }
  if (Leaked != 0) {
    Out << "   PROBLEM: " << Leaked << " pool blocks not freed by the run\n";
    Problems.push_back(std::to_string(Leaked) + " pool blocks not freed by the run");
  }
  // A run that returns at another level than it was called at is a PROBLEM the board names;
  // returning at the caller's level (TPL_CALLBACK at a checkpoint that calls there) is normal.
  if (Run.Returned()) {
    J["tpl_after"] = Run.TplAfter;
  }
  for (const std::string &Problem : Run.Problems) {
    Out << "   PROBLEM: " << Problem << "\n";
    Problems.push_back(Problem);
  }
  J["problems"] = Problems;
}

// Every screen the run showed. A frame that differs from the one before in a row or two is
// printed as those rows only (a countdown, a typed character).
void AuthPhase::PrintFrames(size_t First, uint64_t Start, nlohmann::json &Screens) {
  const auto &Frames = Board.Console.Frames();
  for (size_t I = First; I < Frames.size(); I++) {
    const sim::ConsoleFrame &F = Frames[I];
    nlohmann::json Rows = nlohmann::json::array();
    for (uint32_t R = 0; R < F.Screen.Rows; R++) {
      std::string Row = F.Screen.Row(R);
      Row.erase(Row.find_last_not_of(' ') + 1);
      Rows.push_back(Row);
    }
    Screens.push_back({{"at_us", F.Microseconds - Start},
                       {"reason", F.Reason},
                       {"columns", F.Screen.Columns},
                       {"rows", F.Screen.Rows},
                       {"graphics_mode", F.GraphicsMode},
                       {"text", Rows}});
  }
  if (First >= Frames.size()) {
    Out << "   screens the user saw: none\n";
    return;
  }
  Out << "   screens the user saw: " << Frames.size() - First << "\n";
  const sim::ScreenImage *Previous = nullptr;
  for (size_t I = First; I < Frames.size(); I++) {
    const sim::ConsoleFrame &F = Frames[I];
    const sim::ScreenImage &Screen = F.Screen;
    std::string Heading = "   [" + std::to_string(I - First + 1) + "] at " +
                          Seconds(F.Microseconds - Start) + ", " + F.Reason + ", " +
                          std::to_string(Screen.Columns) + "x" + std::to_string(Screen.Rows) +
                          (F.GraphicsMode ? ", console in GRAPHICS mode: text not visible" : "");
    std::vector<uint32_t> Changed;
    if (Previous != nullptr && Previous->Columns == Screen.Columns &&
        Previous->Rows == Screen.Rows) {
      for (uint32_t R = 0; R < Screen.Rows; R++) {
        if (Previous->RowChars(R) != Screen.RowChars(R)) {
          Changed.push_back(R);
        }
      }
    }
    Previous = &Screen;
    std::string Rule = "   +" + std::string(Screen.Columns, '-') + "+\n";
    auto PrintRow = [&](const sim::ScreenImage &Screen, uint32_t R) {
      if (Colour) {
        sim::ScreenImage One;
        One.Columns = Screen.Columns;
        One.Rows = 1;
        One.Cells.assign(Screen.Cells.begin() + (size_t)R * Screen.Columns,
                         Screen.Cells.begin() + (size_t)(R + 1) * Screen.Columns);
        std::string Line = One.Ansi();
        Line.pop_back(); // its newline
        Out << "   |" << Line << "|";
      } else {
        Out << "   |" << Screen.Row(R) << "|";
      }
    };
    if (!Changed.empty() && Changed.size() <= 2) {
      // Frames that go on filling this one row (typed characters, a countdown digit) are
      // shown as their last state; a row that empties (a new try at a prompt) starts anew.
      auto Filled = [](const sim::ScreenImage &Image, uint32_t Row) {
        std::u16string Text = Image.RowChars(Row);
        return Text.find_last_not_of(u' ') + 1;
      };
      size_t Last = I;
      while (Changed.size() == 1 && Last + 1 < Frames.size()) {
        const sim::ScreenImage &Next = Frames[Last + 1].Screen;
        const sim::ScreenImage &Now = Frames[Last].Screen;
        bool SameRowOnly = Next.Columns == Now.Columns && Next.Rows == Now.Rows;
        for (uint32_t R = 0; SameRowOnly && R < Now.Rows; R++) {
          SameRowOnly = R == Changed[0] || Next.RowChars(R) == Now.RowChars(R);
        }
        if (!SameRowOnly || Filled(Next, Changed[0]) < Filled(Now, Changed[0])) {
          break;
        }
        Last++;
      }
      if (Last > I) {
        Heading = "   [" + std::to_string(I - First + 1) + ".." + std::to_string(Last - First + 1) +
                  "] from " + Seconds(F.Microseconds - Start) + " to " +
                  Seconds(Frames[Last].Microseconds - Start) + ", " + Frames[Last].Reason +
                  ": row " + std::to_string(Changed[0]) + " changed " +
                  std::to_string(Last - I + 1) + " times, at last";
        I = Last;
        Previous = &Frames[Last].Screen;
      } else {
        Heading += ": as before but";
      }
      Out << Heading << "\n";
      const sim::ScreenImage &Shown = Frames[I].Screen;
      for (uint32_t R : Changed) {
        PrintRow(Shown, R);
        Out << " row " << R << "\n";
      }
      continue;
    }
    uint32_t Top = Screen.Rows, Bottom = 0;
    for (uint32_t R = 0; R < Screen.Rows; R++) {
      if (Screen.RowChars(R).find_first_not_of(u' ') != std::u16string::npos) {
        Top = std::min(Top, R);
        Bottom = R;
      }
    }
    if (Top > Bottom) {
      Out << Heading << ": blank\n";
      continue;
    }
    Out << Heading << ", rows " << Top << " to " << Bottom << " shown:\n" << Rule;
    for (uint32_t R = Top; R <= Bottom; R++) {
      PrintRow(Screen, R);
      Out << "\n";
    }
    Out << Rule;
  }
}

} // namespace boardsim
