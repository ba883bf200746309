// boardsim: boots the simulated notebook with the firmware build's driver images and prints a
// boot report. With no arguments it runs the built-in default scenario.
#include "auth_phase.h"
#include "report.h"
#include "scenario.h"
#include "smm_phase.h"

#include "board.h"

#include <cstring>
#include <filesystem>
#include <iostream>

namespace {

const char *const Usage =
    "usage: boardsim [--scenario FILE] [--variables FILE] [--images DIR] [--interactive]\n"
    "                [--print-default]\n"
    "  --scenario FILE   describe the board in JSON (default: the built-in scenario)\n"
    "  --variables FILE  load the non-volatile variables from FILE before the first boot\n"
    "                    (when it exists) and store them there after the last boot\n"
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
  Report.Result = Board.RunDriver(Name);
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

int main(int Argc, char **Argv) {
  std::string ScenarioPath, VariablesPath;
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
      setenv("BOARD_IMAGE_DIR", Value("--images").c_str(), 1);
    } else if (Arg == "--interactive") {
      Interactive = true;
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

  boardsim::Scenario Scenario;
  boardsim::SmmPlan SmmPlan;
  try {
    Scenario =
        ScenarioPath.empty() ? boardsim::DefaultScenario() : boardsim::LoadScenario(ScenarioPath);
    SmmPlan = boardsim::ParseSmmPlan(Scenario.Raw);
  } catch (const boardsim::ScenarioError &Error) {
    std::cerr << "boardsim: " << Error.what() << "\n";
    return 2;
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

  sim::Board Board;
  boardsim::ApplyVariables(Board, Scenario);
  boardsim::AuthPhase Authentication(Board, Scenario, Interactive, std::cout);
  Authentication.Prepare();
  if (!VariablesPath.empty() && std::filesystem::exists(VariablesPath) &&
      !Board.Variables.LoadFrom(VariablesPath)) {
    std::cerr << "boardsim: cannot read variables from '" << VariablesPath << "'\n";
    return 2;
  }

  std::cout << "boardsim: simulated notebook\n";
  if (!Scenario.Description.empty()) {
    std::cout << Scenario.Description << "\n";
  }
  bool Crashed = false;
  bool Stopped = false; // the last boot ended in a halt or a wait for ever
  for (size_t Boot = 0; Boot < Scenario.Boots.size(); Boot++) {
    if (Boot > 0) {
      Board.Reboot();
    }
    // Each boot: the scenario's hardware, then what this boot changes.
    boardsim::ApplyHardware(Board, Scenario.Hardware);
    boardsim::ApplyHardware(Board, Scenario.Boots[Boot]);
    boardsim::PrintHeading(std::cout, "Boot " + std::to_string(Boot + 1) + " of " +
                                          std::to_string(Scenario.Boots.size()) + ": DXE dispatch");
    for (const std::string &Name : Drivers) {
      boardsim::DriverReport Report = RunDriver(Board, Name);
      boardsim::PrintDriverReport(std::cout, Report);
      Crashed |= Report.Result.How == sim::Outcome::Crashed;
    }
    Crashed |= boardsim::DispatchSmmDrivers(Board, SmmPlan, std::cout);
    boardsim::AuthBootResult Checkpoints = Authentication.RunBoot(Boot);
    Crashed |= Checkpoints.Crashed;
    Stopped = Checkpoints.Stopped;
  }
  if (Stopped) {
    std::cout << "\nThe machine stopped at a password checkpoint: no operating system starts.\n";
  } else {
    Crashed |= boardsim::RunOperatingSystem(Board, SmmPlan, std::cout);
  }

  if (!VariablesPath.empty() && !Board.Variables.SaveTo(VariablesPath)) {
    std::cerr << "boardsim: cannot store variables in '" << VariablesPath << "'\n";
    return 2;
  }
  return Crashed ? 1 : 0;
}
