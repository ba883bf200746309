#include "report.h"

#include "access_names.h"
#include "call_report.h"
#include "guids.h"
#include "setup_variables.h"
#include "status_names.h"
#include "variable_layouts.h"

#include <cstdio>
#include <filesystem>
#include <iostream>

namespace boardsim {

using nlohmann::json;

namespace {

std::string VariableTitle(const sim::VariableStore::Key &Key, const sim::Variable *V) {
  std::string Title = "\"" + sim::Narrow(Key.first) + "\" {" + sim::GuidText(Key.second.Guid) + "}";
  if (V != nullptr) {
    char Text[64];
    std::snprintf(Text, sizeof Text, " %zu bytes, attributes 0x%X", V->Data.size(), V->Attributes);
    Title += Text;
  }
  return Title;
}

// Why a driver's entry point returned an error, where what the board held before tells.
std::string WhyStatus(const DriverReport &R) {
  if (R.Name == "SetupHwSyncDxe") {
    auto Setup = R.Before.find({u"Setup", sim::GuidKey{SETUP_GUID}});
    if (Setup == R.Before.end() && R.Result.Status == EFI_NOT_FOUND) {
      return "there is no \"Setup\" variable to bring in line with the board";
    }
    if (Setup != R.Before.end() && R.Result.Status == EFI_BAD_BUFFER_SIZE &&
        Setup->second.Data.size() != SETUP_VARIABLE_SIZE) {
      return "\"Setup\" holds " + std::to_string(Setup->second.Data.size()) +
             " bytes; the driver works only on a " + std::to_string(SETUP_VARIABLE_SIZE) +
             "-byte \"Setup\" and changes no variable otherwise";
    }
  }
  return {};
}

const char *OutcomeName(sim::Outcome How) {
  switch (How) {
  case sim::Outcome::Returned:
    return "returned";
  case sim::Outcome::Halted:
    return "halted";
  case sim::Outcome::Crashed:
    return "crashed";
  case sim::Outcome::NotLoaded:
    return "not loaded";
  }
  return "unknown";
}

} // namespace

ReportOptions &Options() {
  static ReportOptions Current;
  return Current;
}

json &Document() {
  static json Report = {{"boots", json::array()}};
  return Report;
}

json &CurrentBoot() {
  json &Boots = Document()["boots"];
  if (Boots.empty()) {
    Boots.push_back({{"boot", 1}});
  }
  return Boots.back();
}

std::string BytesHex(const std::vector<uint8_t> &Bytes) {
  std::string Text;
  for (uint8_t Byte : Bytes) {
    char Hex[3];
    std::snprintf(Hex, sizeof Hex, "%02X", Byte);
    Text += Hex;
  }
  return Text;
}

void PutStatus(json &Object, const std::string &Key, EFI_STATUS Status) {
  Object[Key] = sim::StatusSymbol(Status);
  Object[Key + "_code"] = HexText(Status, 16);
}

std::string FileSizeText(const std::string &Path) {
  std::error_code Error;
  auto Size = std::filesystem::file_size(Path, Error);
  return Error ? "missing" : std::to_string(Size) + " bytes";
}

std::function<void(const std::string &)> &CheckpointHandler() {
  static std::function<void(const std::string &)> Handler;
  return Handler;
}

void Checkpoint(const std::string &Activity) {
  std::cout.flush();
  if (CheckpointHandler()) {
    CheckpointHandler()(Activity);
  }
}

void PrintHeading(std::ostream &Out, const std::string &Text) {
  Out << "\n" << Text << "\n" << std::string(Text.size(), '=') << "\n";
}

json VariableChangeJson(const sim::VariableStore::Key &Key, const sim::Variable *Before,
                        const sim::Variable *After, const std::vector<std::string> &FieldLines) {
  json Change = {{"name", sim::Narrow(Key.first)},
                 {"guid", sim::GuidText(Key.second.Guid)},
                 {"change", Before == nullptr  ? "created"
                            : After == nullptr ? "deleted"
                                               : "changed"}};
  if (Before != nullptr) {
    Change["attributes_before"] = Before->Attributes;
    Change["before"] = BytesHex(Before->Data);
  }
  if (After != nullptr) {
    Change["attributes"] = After->Attributes;
    Change["size"] = After->Data.size();
    Change["after"] = BytesHex(After->Data);
  }
  Change["fields"] = FieldLines;
  return Change;
}

json PrintAccesses(std::ostream &Out, const std::vector<sim::HardwareAccess> &Accesses,
                   const char *Indent) {
  json List = json::array();
  size_t Writes = 0;
  for (const sim::HardwareAccess &A : Accesses) {
    Writes += A.IsWrite ? 1 : 0;
  }
  Out << Indent << "hardware: " << Accesses.size() << " accesses, " << Writes << " writes";
  bool All = Options().Trace;
  Out << ((All ? Accesses.empty() : Writes == 0) ? "\n" : (All ? " (trace):\n" : ":\n"));
  for (size_t I = 0; I < Accesses.size(); I++) {
    const sim::HardwareAccess &A = Accesses[I];
    std::string Target = AccessTarget(Accesses, I);
    List.push_back({{"space", A.Where == sim::Space::Io ? "io" : "mmio"},
                    {"write", A.IsWrite},
                    {"width", A.Width * 8},
                    {"address", HexText(A.Address, A.Where == sim::Space::Io ? 4 : 8)},
                    {"value", HexText(A.Value, A.Width * 2)},
                    {"target", Target}});
    if (All || A.IsWrite) {
      Out << Indent << "  " << sim::Describe(A) << "  " << Target << "\n";
    }
  }
  return List;
}

json PrintDriverReport(std::ostream &Out, const DriverReport &R) {
  std::string File = std::filesystem::path(R.ImagePath).filename().string();
  json Driver = {{"name", R.Name}, {"image", File}, {"outcome", OutcomeName(R.Result.How)}};
  Out << "\n-- " << R.Name << " (" << File << ", " << FileSizeText(R.ImagePath) << ")\n";
  switch (R.Result.How) {
  case sim::Outcome::Returned:
    Out << "   entry point returned " << sim::StatusName(R.Result.Status) << "\n";
    PutStatus(Driver, "status", R.Result.Status);
    if (std::string Why = WhyStatus(R); !Why.empty()) {
      Out << "   why: " << Why << "\n";
      Driver["why"] = Why;
    }
    break;
  case sim::Outcome::Halted:
    Out << "   the machine halted: " << R.Result.Message << "\n";
    Driver["message"] = R.Result.Message;
    break;
  case sim::Outcome::Crashed:
    Out << "   CRASH: " << R.Result.Message << "\n";
    Driver["message"] = R.Result.Message;
    break;
  case sim::Outcome::NotLoaded:
    Out << "   LOAD ERROR: " << R.Result.Message << "\n";
    Driver["message"] = R.Result.Message;
    break;
  }

  json Variables = json::array();
  bool AnyVariable = false;
  for (const auto &[Key, After] : R.After) {
    auto Old = R.Before.find(Key);
    if (Old != R.Before.end() && Old->second == After) {
      continue;
    }
    if (!AnyVariable) {
      Out << "   variables changed:\n";
      AnyVariable = true;
    }
    Out << "     " << VariableTitle(Key, &After) << (Old == R.Before.end() ? " (created)" : "")
        << "\n";
    if (Old != R.Before.end() && Old->second.Attributes != After.Attributes) {
      Out << "       attributes: 0x" << std::hex << Old->second.Attributes << " -> 0x"
          << After.Attributes << std::dec << "\n";
    }
    static const std::vector<uint8_t> None;
    std::vector<std::string> Lines = DescribeChange(
        Key.first, Key.second.Guid, Old == R.Before.end() ? None : Old->second.Data, After.Data);
    for (const std::string &Line : Lines) {
      Out << "       " << Line << "\n";
    }
    Variables.push_back(
        VariableChangeJson(Key, Old == R.Before.end() ? nullptr : &Old->second, &After, Lines));
  }
  for (const auto &[Key, Before] : R.Before) {
    if (!R.After.count(Key)) {
      if (!AnyVariable) {
        Out << "   variables changed:\n";
        AnyVariable = true;
      }
      Out << "     " << VariableTitle(Key, &Before) << " (deleted)\n";
      Variables.push_back(VariableChangeJson(Key, &Before, nullptr, {}));
    }
  }
  if (!AnyVariable) {
    Out << "   variables changed: none\n";
  }
  Driver["variables"] = Variables;
  Driver["accesses"] = PrintAccesses(Out, R.Accesses, "   ");

  json Script = json::array();
  if (R.ScriptEntries.empty()) {
    Out << "   boot-script entries: none\n";
  } else {
    Out << "   boot-script entries:\n";
    for (const sim::BootScriptEntry &E : R.ScriptEntries) {
      Out << "     " << BootScriptLine(E) << "\n";
      Script.push_back({{"table", E.Table},
                        {"opcode", E.OpCode},
                        {"opcode_name", BootScriptOpcodeName(E.OpCode)},
                        {"width", BootScriptWidthName(E.Width)},
                        {"address", HexText(E.Address, 1)},
                        {"target", BootScriptTarget(E)},
                        {"count", E.Count},
                        {"data", BytesHex(E.Data)}});
    }
  }
  Driver["boot_script"] = Script;
  if (CallsShown()) {
    Driver["calls"] = PrintCalls(Out, R.Calls, R.Name, "   ");
  }
  json Problems = json::array();
  for (const std::string &Problem : R.Problems) {
    Out << "   PROBLEM: " << Problem << "\n";
    Problems.push_back(Problem);
  }
  if (R.LeakedPoolBlocks != 0) {
    Out << "   PROBLEM: " << R.LeakedPoolBlocks << " pool blocks not freed\n";
    Problems.push_back(std::to_string(R.LeakedPoolBlocks) + " pool blocks not freed");
  }
  Driver["problems"] = Problems;
  return Driver;
}

} // namespace boardsim
