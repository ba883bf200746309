#include "report.h"

#include "status_names.h"
#include "variable_layouts.h"

#include <cstdio>
#include <filesystem>

namespace boardsim {

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

const char *OpcodeName(uint16_t OpCode) {
  switch (OpCode) {
  case 0:
    return "I/O write";
  case 2:
    return "memory write";
  case 4:
    return "PCI configuration write";
  default:
    return "opcode";
  }
}

} // namespace

std::string FileSizeText(const std::string &Path) {
  std::error_code Error;
  auto Size = std::filesystem::file_size(Path, Error);
  return Error ? "missing" : std::to_string(Size) + " bytes";
}

void PrintHeading(std::ostream &Out, const std::string &Text) {
  Out << "\n" << Text << "\n" << std::string(Text.size(), '=') << "\n";
}

void PrintDriverReport(std::ostream &Out, const DriverReport &R) {
  Out << "\n-- " << R.Name << " (" << R.ImagePath << ", " << FileSizeText(R.ImagePath) << ")\n";
  switch (R.Result.How) {
  case sim::Outcome::Returned:
    Out << "   entry point returned " << sim::StatusName(R.Result.Status) << "\n";
    break;
  case sim::Outcome::Halted:
    Out << "   the machine halted: " << R.Result.Message << "\n";
    break;
  case sim::Outcome::Crashed:
    Out << "   CRASH: " << R.Result.Message << "\n";
    break;
  }

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
    for (const std::string &Line :
         DescribeChange(Key.first, Key.second.Guid, Old == R.Before.end() ? None : Old->second.Data,
                        After.Data)) {
      Out << "       " << Line << "\n";
    }
  }
  for (const auto &[Key, Before] : R.Before) {
    if (!R.After.count(Key)) {
      if (!AnyVariable) {
        Out << "   variables changed:\n";
        AnyVariable = true;
      }
      Out << "     " << VariableTitle(Key, &Before) << " (deleted)\n";
    }
  }
  if (!AnyVariable) {
    Out << "   variables changed: none\n";
  }

  size_t Reads = 0;
  std::vector<const sim::HardwareAccess *> Writes;
  for (const sim::HardwareAccess &A : R.Accesses) {
    if (A.IsWrite) {
      Writes.push_back(&A);
    } else {
      Reads++;
    }
  }
  Out << "   hardware: " << R.Accesses.size() << " accesses, " << Writes.size() << " writes";
  Out << (Writes.empty() ? "\n" : ":\n");
  for (const sim::HardwareAccess *A : Writes) {
    Out << "     " << sim::Describe(*A) << "\n";
  }

  if (R.ScriptEntries.empty()) {
    Out << "   boot-script entries: none\n";
  } else {
    Out << "   boot-script entries:\n";
    for (const sim::BootScriptEntry &E : R.ScriptEntries) {
      char Text[160];
      std::snprintf(Text, sizeof Text,
                    "     table %u, opcode %u (%s), width %u, address 0x%llX, count %llu, data",
                    E.Table, E.OpCode, OpcodeName(E.OpCode), E.Width, (unsigned long long)E.Address,
                    (unsigned long long)E.Count);
      Out << Text;
      for (uint8_t Byte : E.Data) {
        std::snprintf(Text, sizeof Text, " %02X", Byte);
        Out << Text;
      }
      Out << "\n";
    }
  }
  for (const std::string &Problem : R.Problems) {
    Out << "   PROBLEM: " << Problem << "\n";
  }
  if (R.LeakedPoolBlocks != 0) {
    Out << "   PROBLEM: " << R.LeakedPoolBlocks << " pool blocks not freed\n";
  }
}

} // namespace boardsim
