// The boot report: what each driver did, in the firmware's own terms.
#pragma once

#include "board.h"

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
};

void PrintHeading(std::ostream &Out, const std::string &Text);
void PrintDriverReport(std::ostream &Out, const DriverReport &Report);
std::string FileSizeText(const std::string &Path);

} // namespace boardsim
