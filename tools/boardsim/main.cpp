// boardsim: boots the simulated notebook with the firmware build's driver images and prints a
// boot report. With no arguments it runs the built-in default scenario.
#include "auth_phase.h"
#include "call_report.h"
#include "expectations.h"
#include "nv_file.h"
#include "report.h"
#include "run_header.h"
#include "scenario.h"
#include "smm_phase.h"

#include "board.h"
#include "firmware_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

// ---- containment: the simulation runs in a child process -------------------------------------
// A driver image runs in boardsim's own address space: a stray write through a pointer the
// firmware handed it, or a jump into the board's code, can damage the board beyond what the
// fault handler catches. The simulation therefore runs in a child process that writes its report
// as it goes; the parent only waits. When the child dies, the parent names what was running and
// what the child last saw, and ends the report with a failing verdict.

namespace {

struct Breadcrumb {
  char Activity[512]; // what the simulation is doing (the driver whose code runs)
  char Last[512];     // what image code ran before it
  char Hit[1024];     // a fault in the board's own code while image code ran
};
Breadcrumb *Crumb = nullptr;
std::string JsonSnapshotPath;
// --json -: the JSON report goes to standard output in place of the text report; the run writes
// it into a temporary file first (the child's snapshots, the parent's note of a death).
bool JsonToStandardOutput = false;

void CopyText(char *To, size_t Size, const std::string &Text) {
  size_t Length = std::min(Text.size(), Size - 1);
  std::memcpy(To, Text.data(), Length);
  To[Length] = 0;
}

} // namespace

namespace boardsim {

// The containment's part of a checkpoint (CheckpointHandler).
void RecordCheckpoint(const std::string &Activity) {
  CallMirrorCheckpoint();
  if (Crumb == nullptr) {
    return;
  }
  // Damage a driver did to the board's heap shows at the next allocations: while the
  // breadcrumb still names what ran last.
  for (size_t Size : {24, 200, 4000, 70000}) {
    std::free(std::malloc(Size));
  }
  if (!JsonSnapshotPath.empty()) {
    std::ofstream(JsonSnapshotPath) << Document().dump(2) << "\n";
  }
  if (Crumb->Activity[0] != 0) {
    CopyText(Crumb->Last, sizeof Crumb->Last, Crumb->Activity);
  }
  CopyText(Crumb->Activity, sizeof Crumb->Activity, Activity);
}

} // namespace boardsim

namespace {

// Runs Simulation in a child process and returns its exit code; when the child dies, reports
// what it was doing and returns 1.
int RunContained(const std::function<int()> &Simulation, const std::string &JsonPath) {
  void *Shared =
      mmap(nullptr, sizeof(Breadcrumb), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (Shared == MAP_FAILED) {
    return Simulation(); // no containment, but the run still takes place
  }
  Crumb = new (Shared) Breadcrumb{};
  boardsim::CheckpointHandler() = boardsim::RecordCheckpoint;
  JsonSnapshotPath = JsonPath;
  boardsim::PrepareCallMirror();
  std::cout.flush();
  std::cerr.flush();
  pid_t Child = fork();
  if (Child < 0) {
    return Simulation();
  }
  if (Child == 0) {
    sim::SetFatalFaultNote(
        [](const std::string &Text) { CopyText(Crumb->Hit, sizeof Crumb->Hit, Text); });
    int Code = Simulation();
    std::cout.flush();
    std::cerr.flush();
    _exit(Code);
  }
  int Status = 0;
  while (waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(Status)) {
    return WEXITSTATUS(Status);
  }
  int Signal = WIFSIGNALED(Status) ? WTERMSIG(Status) : 0;
  std::string What = std::string("the simulation died (signal ") + std::to_string(Signal) + ", " +
                     strsignal(Signal) + ") during " +
                     (Crumb->Activity[0] ? Crumb->Activity : "the start of the run");
  if (Crumb->Last[0] != 0) {
    What += std::string(", after ") + Crumb->Last;
  }
  std::string Hit = Crumb->Hit[0] != 0
                        ? Crumb->Hit
                        : std::string("the board's own memory was damaged (a stray write through "
                                      "a pointer the firmware handed a driver, or a pointer a "
                                      "driver handed a service)");
  std::vector<std::string> Calls = boardsim::MirroredCalls();
  if (!JsonToStandardOutput) {
    std::cout << "\nCRASH: " << What << "\n   what it hit: " << Hit << "\n";
    if (boardsim::CallsShown()) {
      std::cout << "   calls since the last checkpoint" << (Calls.empty() ? ": none" : ":") << "\n";
      for (const std::string &Line : Calls) {
        std::cout << "     " << Line << "\n";
      }
    }
    std::cout << "   the report above is everything up to that point\n"
              << "   NOT EXPECTED: " << What << "\nVerdict: FAILED\n";
    std::cout.flush();
  }
  std::cerr << "boardsim: NOT EXPECTED: " << What << ": " << Hit << "\n";
  if (!JsonPath.empty()) {
    nlohmann::json Report = {{"boots", nlohmann::json::array()}};
    std::ifstream Snapshot(JsonPath);
    if (Snapshot) {
      Report = nlohmann::json::parse(Snapshot, nullptr, false);
      if (Report.is_discarded()) {
        Report = {{"boots", nlohmann::json::array()}};
      }
    }
    Report["died"] = {
        {"signal", Signal}, {"during", Crumb->Activity}, {"after", Crumb->Last}, {"hit", Hit}};
    if (boardsim::CallsShown()) {
      Report["died"]["calls"] = Calls;
    }
    Report["unexpected"] = nlohmann::json::array({What});
    Report["exit_code"] = 1;
    std::ofstream(JsonPath) << Report.dump(2) << "\n";
  }
  return 1;
}

const char *const Usage =
    "usage: boardsim [--scenario FILE] [--variables FILE] [--images DIR] [--interactive]\n"
    "                [--trace] [--calls] [--json FILE] [--print-default]\n"
    "  --scenario FILE   describe the board in JSON (default: the built-in scenario)\n"
    "  --variables FILE  load the non-volatile variables and the fingerprint reader's stored\n"
    "                    passwords from FILE before the first boot (when it exists) and store\n"
    "                    them there after the last boot\n"
    "  --trace           list every hardware access in order, reads included\n"
    "  --calls           list every boot-service, runtime-service and protocol call of each\n"
    "                    driver in order, arguments decoded, with what it returned\n"
    "  --json FILE       write the report as JSON to FILE as well ('-': to standard output,\n"
    "                    instead of the text report)\n"
    "  --images DIR      folder with the driver images (default: the firmware build's)\n"
    "  --interactive     keys for the fingerprint authentication's dialogs come from the\n"
    "                    terminal instead of the scenario\n"
    "  --print-default   print the built-in scenario as JSON and exit\n";

// Dispatch order of the DXE dispatcher on this board.
const std::vector<std::string> DispatchOrder = {"SetupHwSyncDxe", "PciBridgeProbeDxe"};

boardsim::VariableSnapshot Snapshot(const sim::Board &Board) {
  return Board.Variables.All();
}

// Loads and starts one driver image, collecting what it did.
boardsim::DriverReport RunDriver(sim::Board &Board, const std::string &Name) {
  boardsim::DriverReport Report;
  Report.Name = Name;
  Report.ImagePath = sim::Board::ImagePath(Name);
  Report.Before = Snapshot(Board);
  size_t TraceStart = Board.Hardware.Trace().size();
  size_t ScriptStart = Board.BootScript.size();
  size_t ProblemStart = Board.Problems.size();
  size_t LiveBefore = Board.LivePoolBlocks();
  size_t CallStart = boardsim::CallMark();
  Report.Result = Board.RunDriver(Name);
  Report.Calls = boardsim::CallsSince(CallStart);
  Report.After = Snapshot(Board);
  const auto &Trace = Board.Hardware.Trace();
  Report.Accesses.assign(Trace.begin() + TraceStart, Trace.end());
  Report.ScriptEntries.assign(Board.BootScript.begin() + ScriptStart, Board.BootScript.end());
  Report.Problems.assign(Board.Problems.begin() + ProblemStart, Board.Problems.end());
  size_t LiveAfter = Board.LivePoolBlocks();
  Report.LeakedPoolBlocks = LiveAfter > LiveBefore ? LiveAfter - LiveBefore : 0;
  return Report;
}

} // namespace

// A closing summary: drivers dispatched, load errors, problems caught, halts, stuck waits,
// crashes and drives left locked.
nlohmann::json Summarise(const nlohmann::json &Boots, sim::Board &Board) {
  size_t Drivers = 0, LoadErrors = 0, Problems = 0, Halts = 0, Stuck = 0, Crashes = 0;
  for (const nlohmann::json &Boot : Boots) {
    Drivers += Boot.value("drivers", nlohmann::json::array()).size();
    for (const char *List : {"drivers", "runs"}) {
      for (const nlohmann::json &Item : Boot.value(List, nlohmann::json::array())) {
        Problems += Item.value("problems", nlohmann::json::array()).size();
        std::string Outcome = Item.value("outcome", "");
        LoadErrors += Outcome == "not loaded" ? 1 : 0;
        Halts += Outcome == "halted" ? 1 : 0;
        Stuck += Outcome == "stuck" ? 1 : 0;
        Crashes += Outcome == "crashed" ? 1 : 0;
      }
    }
  }
  nlohmann::json Locked = nlohmann::json::array();
  for (const nlohmann::json &Drive : boardsim::DrivesJson(Board)) {
    if (Drive["state"] == "locked") {
      Locked.push_back(Drive["label"]);
    }
  }
  return {
      {"drivers", Drivers}, {"load_errors", LoadErrors}, {"problems", Problems},   {"halts", Halts},
      {"stuck", Stuck},     {"crashes", Crashes},        {"drives_locked", Locked}};
}

void PrintSummary(std::ostream &Out, const std::string &Title, const nlohmann::json &Summary) {
  Out << "\n"
      << Title << ": " << Summary["drivers"].get<size_t>() << " driver(s) dispatched, "
      << Summary["load_errors"].get<size_t>() << " load error(s), "
      << Summary["problems"].get<size_t>() << " problem(s), " << Summary["halts"].get<size_t>()
      << " halt(s), " << Summary["stuck"].get<size_t>() << " stuck wait(s), "
      << Summary["crashes"].get<size_t>() << " crash(es), drives left locked: ";
  if (Summary["drives_locked"].empty()) {
    Out << "none";
  }
  for (size_t I = 0; I < Summary["drives_locked"].size(); I++) {
    Out << (I ? ", " : "") << Summary["drives_locked"][I].get<std::string>();
  }
  Out << "\n";
}

// What went wrong in the run that the scenario does not expect: a driver or run that halted,
// got stuck, crashed or could not be loaded (unless an expectation names its outcome or counts
// its kind), a problem the board caught (unless the problems are counted), or no driver at all.
// Object[Key], or null when the object lacks it.
const nlohmann::json &Field(const nlohmann::json &Object, const char *Key) {
  static const nlohmann::json Null;
  auto It = Object.find(Key);
  return It == Object.end() ? Null : *It;
}

std::vector<std::string> UnexpectedOutcomes(const nlohmann::json &Report,
                                            const boardsim::Expectations &Expected) {
  std::vector<std::string> Found;
  static const std::map<std::string, std::string> KindOf = {{"halted", "halts"},
                                                            {"stuck", "stuck"},
                                                            {"crashed", "crashes"},
                                                            {"not loaded", "load_errors"}};
  for (const nlohmann::json &Boot : Field(Report, "boots")) {
    size_t Number = Boot["boot"].get<size_t>();
    std::string InBoot = " in boot " + std::to_string(Number);
    bool Problems = !Expected.CoversCount("problems", Number);
    for (const nlohmann::json &Driver : Field(Boot, "drivers")) {
      std::string Name = Driver["name"].get<std::string>();
      auto Kind = KindOf.find(Driver["outcome"].get<std::string>());
      if (Kind != KindOf.end() && !Expected.CoversDriver(Name, Number) &&
          !Expected.CoversCount(Kind->second, Number)) {
        Found.push_back(Name + " " + Kind->first + InBoot + ": " +
                        Driver.value("message", std::string()));
      }
      for (const nlohmann::json &Problem :
           Problems ? Field(Driver, "problems") : nlohmann::json()) {
        Found.push_back("problem" + InBoot + ", " + Name + ": " + Problem.get<std::string>());
      }
    }
    for (const nlohmann::json &Run : Field(Boot, "runs")) {
      std::string Name = Run["name"].get<std::string>();
      auto Kind = KindOf.find(Run["outcome"].get<std::string>());
      if (Kind != KindOf.end() && !Expected.CoversRun(Name) &&
          !Expected.CoversCount(Kind->second, Number)) {
        Found.push_back("run \"" + Name + "\" " + Kind->first + InBoot + ": " +
                        Run.value("message", std::string()));
      }
      for (const nlohmann::json &Problem : Problems ? Field(Run, "problems") : nlohmann::json()) {
        Found.push_back("problem" + InBoot + ", run \"" + Name +
                        "\": " + Problem.get<std::string>());
      }
    }
  }
  if (!Expected.CoversCount("problems", 0) && Field(Report, "os").is_object()) {
    for (const nlohmann::json &Problem : Field(Report["os"], "problems")) {
      Found.push_back("problem in the operating-system phase: " + Problem.get<std::string>());
    }
  }
  if (Report["summary"]["drivers"] == 0 && !Expected.CoversCount("drivers", 0)) {
    Found.push_back("no driver was dispatched: the run tested nothing");
  }
  return Found;
}

int main(int Argc, char **Argv) {
  std::string ScenarioPath, VariablesPath, JsonPath;
  bool Interactive = false;
  for (int I = 1; I < Argc; I++) {
    std::string Arg = Argv[I];
    auto Value = [&](const char *Option) -> std::string {
      if (I + 1 >= Argc) {
        std::cerr << "boardsim: " << Option << " needs a value\n" << Usage;
        std::exit(2);
      }
      return Argv[++I];
    };
    if (Arg == "--scenario") {
      ScenarioPath = Value("--scenario");
    } else if (Arg == "--variables") {
      VariablesPath = Value("--variables");
    } else if (Arg == "--images") {
      std::string Folder = Value("--images");
      std::error_code Code;
      if (!std::filesystem::is_directory(Folder, Code)) {
        std::cerr << "boardsim: --images: no folder '" << Folder << "'\n";
        return 2;
      }
      setenv("BOARD_IMAGE_DIR", Folder.c_str(), 1);
    } else if (Arg == "--interactive") {
      Interactive = true;
    } else if (Arg == "--trace") {
      boardsim::Options().Trace = true;
    } else if (Arg == "--calls") {
      boardsim::ShowCalls();
    } else if (Arg == "--json") {
      JsonPath = Value("--json");
      JsonToStandardOutput = JsonPath == "-";
    } else if (Arg == "--print-default") {
      std::cout << boardsim::DefaultScenarioText() << "\n";
      return 0;
    } else if (Arg == "--help" || Arg == "-h") {
      std::cout << Usage;
      return 0;
    } else {
      std::cerr << "boardsim: unknown argument '" << Arg << "'\n" << Usage;
      return 2;
    }
  }

  if (JsonToStandardOutput && Interactive) {
    std::cerr << "boardsim: --json - and --interactive both need standard output\n";
    return 2;
  }

  boardsim::Scenario Scenario;
  boardsim::SmmPlan SmmPlan;
  boardsim::Expectations Expected;
  try {
    Scenario =
        ScenarioPath.empty() ? boardsim::DefaultScenario() : boardsim::LoadScenario(ScenarioPath);
    SmmPlan = boardsim::ParseSmmPlan(Scenario.Raw);
    Expected = boardsim::ParseExpectations(Scenario.Raw, Scenario.Boots.size());
  } catch (const boardsim::ScenarioError &Error) {
    std::cerr << "boardsim: " << Error.what() << "\n";
    return 2;
  } catch (const std::exception &Error) {
    // The reader names the field of every fault it knows; this is one it does not.
    std::cerr << "boardsim: the scenario cannot be read: " << Error.what() << "\n";
    return 2;
  }
  for (size_t I = 0; I < Scenario.Drivers.size(); I++) {
    if (!std::filesystem::exists(sim::Board::ImagePath(Scenario.Drivers[I]))) {
      std::cerr << "boardsim: scenario field 'drivers[" << I << "]': no image "
                << sim::Board::ImagePath(Scenario.Drivers[I]) << " was built\n";
      return 2;
    }
  }

  // --json -: the text report goes nowhere (a stream without a buffer writes nothing).
  std::streambuf *TextReport = std::cout.rdbuf();
  if (JsonToStandardOutput) {
    std::cout.flush();
    std::cout.rdbuf(nullptr);
  }
  std::vector<std::string> Drivers = Scenario.Drivers;
  if (Drivers.empty()) {
    for (const std::string &Name : DispatchOrder) {
      if (std::filesystem::exists(sim::Board::ImagePath(Name))) {
        Drivers.push_back(Name);
      } else {
        std::cout << "note: no image " << sim::Board::ImagePath(Name) << ", not dispatched\n";
      }
    }
  }

  auto Simulation = [&]() -> int {
    // The board and the tables it hands the drivers live in the heap, not on this stack, so that
    // what lies around them (and so what a stray pointer of a driver hits) does not move with
    // the stack's random placement from run to run.
    auto TheBoard = std::make_unique<sim::Board>();
    sim::Board &Board = *TheBoard;
    boardsim::ApplyVariables(Board, Scenario);
    boardsim::AuthPhase Authentication(Board, Scenario, Interactive, std::cout);
    Authentication.Prepare();
    boardsim::RunInputs Inputs{ScenarioPath, VariablesPath, "", {}};
    if (!VariablesPath.empty()) {
      std::error_code Code;
      bool Present = std::filesystem::exists(VariablesPath, Code);
      std::string Refused = Present ? boardsim::LoadNvFile(Board, VariablesPath) : "";
      if (!Refused.empty()) {
        std::cerr << "boardsim: variables file " << Refused << "\n";
        return 2;
      }
      Inputs.VariablesState = Present ? "loaded before the first boot, stored after the last"
                                      : "not there yet: stored after the last boot";
    }
    for (const std::string &Name : Drivers) {
      Inputs.Images.push_back(sim::Board::ImagePath(Name));
    }
    if (SmmPlan.Dispatch) {
      for (const char *Name : {"FanControlSmm", "FingerprintStatusSmm"}) {
        Inputs.Images.push_back(sim::Board::ImagePath(Name));
      }
    }
    if (Scenario.Fingerprint && Scenario.Fingerprint->Dispatch) {
      Inputs.Images.push_back(sim::FirmwareFilePath("FingerprintAuthDxe"));
    }

    std::cout << "boardsim: simulated notebook\n";
    if (!Scenario.Description.empty()) {
      std::cout << Scenario.Description << "\n";
    }
    nlohmann::json &Report = boardsim::Document();
    Report["description"] = Scenario.Description;
    Report["inputs"] = boardsim::PrintRunInputs(std::cout, Inputs);
    bool Stopped = false; // the last boot ended in a halt or a wait for ever
    std::vector<boardsim::VariableSnapshot> AfterBoot; // the store at the end of each boot
    for (size_t Boot = 0; Boot < Scenario.Boots.size(); Boot++) {
      if (Boot > 0) {
        boardsim::Checkpoint("the reboot before boot " + std::to_string(Boot + 1));
        Board.Reboot();
      }
      // Each boot: the scenario's hardware, then what this boot changes.
      boardsim::ApplyHardware(Board, Scenario.Hardware);
      boardsim::ApplyHardware(Board, Scenario.Boots[Boot]);
      Report["boots"].push_back({{"boot", Boot + 1},
                                 {"drivers", nlohmann::json::array()},
                                 {"runs", nlohmann::json::array()}});
      boardsim::PrintHeading(std::cout, "Boot " + std::to_string(Boot + 1) + " of " +
                                            std::to_string(Scenario.Boots.size()) +
                                            ": DXE dispatch");
      for (const std::string &Name : Drivers) {
        boardsim::Checkpoint(Name + "'s entry point in boot " + std::to_string(Boot + 1));
        boardsim::DriverReport Driver = RunDriver(Board, Name);
        boardsim::CurrentBoot()["drivers"].push_back(
            boardsim::PrintDriverReport(std::cout, Driver));
      }
      boardsim::DispatchSmmDrivers(Board, SmmPlan, std::cout);
      boardsim::Checkpoint("the fingerprint authentication in boot " + std::to_string(Boot + 1));
      boardsim::AuthBootResult Checkpoints = Authentication.RunBoot(Boot);
      Stopped = Checkpoints.Stopped;
      nlohmann::json Summary = Summarise(nlohmann::json::array({boardsim::CurrentBoot()}), Board);
      boardsim::CurrentBoot()["summary"] = Summary;
      PrintSummary(std::cout, "Boot " + std::to_string(Boot + 1) + " summary", Summary);
      AfterBoot.push_back(Snapshot(Board));
    }
    if (Stopped) {
      std::cout << "\nThe machine stopped at a password checkpoint: no operating system starts.\n";
      Report["os"] = nullptr;
    } else {
      boardsim::Checkpoint("the operating-system phase");
      boardsim::RunOperatingSystem(Board, SmmPlan, std::cout);
    }

    boardsim::Checkpoint("the run's summary");
    nlohmann::json Summary = Summarise(Report["boots"], Board);
    if (Report["os"].is_object()) {
      Summary["problems"] = Summary["problems"].get<size_t>() + Report["os"]["problems"].size();
    }
    Report["summary"] = Summary;
    PrintSummary(std::cout, "Run summary (" + std::to_string(Scenario.Boots.size()) + " boot(s))",
                 Summary);

    bool ExpectationFailed = false;
    Report["expectations"] = nlohmann::json::array();
    if (!Expected.Empty()) {
      std::vector<boardsim::ExpectationResult> Results =
          boardsim::CheckExpectations(Expected, Report, AfterBoot, Snapshot(Board));
      size_t Held = 0;
      for (const boardsim::ExpectationResult &R : Results) {
        Held += R.Held ? 1 : 0;
        Report["expectations"].push_back(
            {{"path", R.Path}, {"held", R.Held}, {"expected", R.Expected}, {"got", R.Got}});
      }
      std::cout << "Expectations: " << Held << " of " << Results.size() << " held\n";
      for (const boardsim::ExpectationResult &R : Results) {
        if (!R.Held) {
          std::string Line =
              "EXPECTATION FAILED: " + R.Path + ": expected " + R.Expected + ", got " + R.Got;
          std::cout << "   " << Line << "\n";
          std::cerr << "boardsim: " << Line << "\n";
          ExpectationFailed = true;
        }
      }
    }
    std::vector<std::string> Unexpected = UnexpectedOutcomes(Report, Expected);
    Report["unexpected"] = Unexpected;
    for (const std::string &Line : Unexpected) {
      std::cout << "   NOT EXPECTED: " << Line << "\n";
      std::cerr << "boardsim: NOT EXPECTED: " << Line << "\n";
    }
    int Exit = ExpectationFailed || !Unexpected.empty() ? 1 : 0;
    std::cout << "Verdict: " << (Exit == 0 ? "passed" : "FAILED") << "\n";
    Report["exit_code"] = Exit;
    std::cout.flush();

    if (!VariablesPath.empty() && !boardsim::SaveNvFile(Board, VariablesPath)) {
      std::cerr << "boardsim: cannot store variables in '" << VariablesPath << "'\n";
      return 2;
    }
    if (!JsonPath.empty()) {
      std::ofstream Json(JsonPath);
      Json << Report.dump(2) << "\n";
      if (!Json) {
        std::cerr << "boardsim: cannot write the JSON report to '" << JsonPath << "'\n";
        return 2;
      }
    }
    boardsim::Checkpoint("the board's shutdown");
    return Exit;
  };
  if (!JsonToStandardOutput) {
    return RunContained(Simulation, JsonPath);
  }
  // The text report goes nowhere; the JSON is written to a temporary file and copied out.
  std::string Temporary = (std::filesystem::temp_directory_path() / "boardsim-XXXXXX").string();
  int Descriptor = mkstemp(Temporary.data());
  if (Descriptor < 0) {
    std::cerr << "boardsim: --json -: no temporary file: " << std::strerror(errno) << "\n";
    return 2;
  }
  close(Descriptor);
  JsonPath = Temporary; // where the simulation writes its JSON report
  int Exit = RunContained(Simulation, JsonPath);
  std::cout.rdbuf(TextReport);
  std::cout.clear();
  std::ifstream Json(Temporary);
  std::cout << Json.rdbuf();
  std::cout.flush();
  std::remove(Temporary.c_str());
  return Exit;
}
