// The boot report: what each driver did, in the firmware's own terms. Every section is printed
// as text and also added to a JSON document of the same content (written by --json).
#pragma once

#include "board.h"
#include "service_calls.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <ostream>
#include <string>

namespace boardsim {

using VariableSnapshot = std::map<sim::VariableStore::Key, sim::Variable>;

struct DriverReport {
  std::string Name;
  std::string ImagePath;
  sim::RunResult Result;
  VariableSnapshot Before, After;
  std::vector<sim::HardwareAccess> Accesses;
  std::vector<sim::BootScriptEntry> ScriptEntries;
  std::vector<std::string> Problems;
  size_t LeakedPoolBlocks = 0;
  std::vector<sim::ServiceCall> Calls; // with --calls
};

struct ReportOptions {
  bool Trace = false; // every hardware access in order, reads included
};
ReportOptions &Options();

// The JSON report of the run: {"description", "boots": [...], "os", "summary", "expectations"}.
nlohmann::json &Document();
// The entry of the boot being reported (the last of "boots").
nlohmann::json &CurrentBoot();

void PrintHeading(std::ostream &Out, const std::string &Text);
// The report so far is written out (standard output, and the JSON file when one is asked for)
// and Activity becomes what the run does next: when the simulation dies, the report up to here
// survives and names what ran.
void Checkpoint(const std::string &Activity);
// What Checkpoint does besides flushing standard output: set by the runner that contains the
// simulation (boardsim's main); the scenario reader's fuzz target leaves it empty.
std::function<void(const std::string &)> &CheckpointHandler();
// Prints the driver's section and returns it as JSON.
nlohmann::json PrintDriverReport(std::ostream &Out, const DriverReport &Report);
std::string FileSizeText(const std::string &Path);

// Prints the hardware accesses (writes only, or every one with --trace) and returns them as JSON.
nlohmann::json PrintAccesses(std::ostream &Out, const std::vector<sim::HardwareAccess> &Accesses,
                             const char *Indent);
// The variables that differ between two snapshots, as printed lines and JSON.
nlohmann::json VariableChangeJson(const sim::VariableStore::Key &Key, const sim::Variable *Before,
                                  const sim::Variable *After,
                                  const std::vector<std::string> &FieldLines);
std::string BytesHex(const std::vector<uint8_t> &Bytes);
// Object[Key] = the status name alone, Object[Key + "_code"] = its value in hexadecimal.
void PutStatus(nlohmann::json &Object, const std::string &Key, EFI_STATUS Status);

} // namespace boardsim
