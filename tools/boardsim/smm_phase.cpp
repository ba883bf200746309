#include "smm_phase.h"

#include "access_names.h"
#include "call_report.h"
#include "report.h"
#include "status_names.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

namespace boardsim {

using nlohmann::json;

namespace {

const char *const SmmDrivers[] = {"FanControlSmm", "FingerprintStatusSmm"};

// What a program under the operating system asks by default: AH = the function code.
const std::vector<SoftwareSmiSpec> DefaultSoftwareSmis = {
    {0x534D1020, 0x00001000}, {0x534D8420, 0x00008400}, {0x534D8920, 0x00008900}};

const std::vector<uint8_t> DefaultTemperatures = {30, 30, 24, 27, 35, 40, 31, 26};

std::string Hex(uint64_t Value, int Digits) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "0x%0*llX", Digits, (unsigned long long)Value);
  return Text;
}

[[noreturn]] void Fail(const std::string &Path, const std::string &What) {
  throw ScenarioError("scenario field '" + Path + "': " + What);
}

const json &Section(const json &Document, const char *Name) {
  static const json Empty = json::object();
  if (!Document.contains(Name)) {
    return Empty;
  }
  if (!Document[Name].is_object()) {
    Fail(Name, "expected an object");
  }
  return Document[Name];
}

// The fan table and band a band marker (hardware-monitor register 0x63) stands for.
struct BandInfo {
  uint8_t Marker;
  const char *Table;
  const char *Band;
};
constexpr BandInfo Bands[] = {
    {0x40, "A", "low (up to 26)"}, {0x59, "A", "middle (27..31)"}, {0x73, "A", "high (32 up)"},
    {0x33, "B", "low (up to 26)"}, {0x4C, "B", "middle (27..31)"}, {0x66, "B", "high (32 up)"},
};

const BandInfo *BandOf(uint8_t Marker) {
  for (const BandInfo &Info : Bands) {
    if (Info.Marker == Marker) {
      return &Info;
    }
  }
  return nullptr;
}

// The variable reads a handler made: name -> status of its last read.
using VariableReads = std::map<std::u16string, EFI_STATUS>;

VariableReads ReadsSince(const sim::Board &Board, size_t Start) {
  VariableReads Reads;
  const auto &Calls = Board.Variables.Calls();
  for (size_t I = Start; I < Calls.size(); I++) {
    if (!Calls[I].IsSet) {
      Reads[Calls[I].Name] = Calls[I].Status;
    }
  }
  return Reads;
}

// "" when the variable was read, else why the answer says nothing of it.
std::string UnreadBecause(const VariableReads &Reads, const std::u16string &Name) {
  auto It = Reads.find(Name);
  if (It == Reads.end()) {
    return "\"" + sim::Narrow(Name) + "\" was not read";
  }
  if (EFI_ERROR(It->second)) {
    return "\"" + sim::Narrow(Name) + "\" could not be read (" + sim::StatusSymbol(It->second) +
           ")";
  }
  return {};
}

// The processor record the status handler answers in: the CPU index table's entry when the
// table is there, else the executing processor (counted from 1 in the SMM system table).
size_t AnsweringCpu(const sim::SmmOptions &Core) {
  if (Core.CpuIndexTable) {
    return (size_t)Core.CpuIndexTableValue.value_or(Core.CallerCpu);
  }
  return Core.CurrentlyExecutingCpu - 1;
}

// Why a software SMI left the caller's EAX as it was: the first of the status handler's
// conditions, in the order it checks them, that held.
std::string WhyNoAnswer(const sim::Board &Board, uint64_t Value, uint32_t Eax) {
  bool Registered = false;
  for (const auto &Handler : Board.Smm.SwHandlers()) {
    Registered |= Handler->Context.SwSmiInputValue == Value;
  }
  if (!Registered) {
    return "no handler is registered for this SMI value";
  }
  const sim::SmmOptions &Core = Board.Smm.Options();
  if (!Core.VariableServicesTable) {
    return "the SMM configuration table has no variable services entry, and without it the "
           "handler answers nothing";
  }
  size_t Cpu = AnsweringCpu(Core);
  if (Cpu >= Core.NumberOfCpus) {
    return "the handler's processor index " + std::to_string(Cpu) +
           (Core.CpuIndexTable ? " (from the CPU index table)" : " (the executing processor)") +
           " is beyond the " + std::to_string(Core.NumberOfCpus) +
           " save-state records, so it leaves every record alone";
  }
  if (Cpu != Core.CallerCpu) {
    return "the handler works on the save-state record of processor " + std::to_string(Cpu) +
           (Core.CpuIndexTable ? " (the CPU index table's entry)" : " (the executing processor)") +
           ", not on the caller's (processor " + std::to_string(Core.CallerCpu) +
           "): it takes the function code from there and answers there (EAX there now " +
           Hex(Board.Smm.SavedEax(Cpu), 8) + ")";
  }
  uint8_t Function = (uint8_t)(Eax >> 8);
  if (Function != 0x10 && Function != 0x84 && Function != 0x89) {
    return "the function code in AH, " + Hex(Function, 2) +
           ", is none of those the handler answers (0x10, 0x84, 0x89)";
  }
  return "the handler returned without writing EAX";
}

std::string DescribeAnswer(uint32_t Before, uint32_t After, const VariableReads &Reads) {
  if (After == Before) {
    return "no answer (EAX unchanged)";
  }
  switch ((Before >> 8) & 0xFF) {
  case 0x10: {
    if ((After & ~0x00040001u) != 0x000A0000) {
      break;
    }
    std::string Unread = UnreadBecause(Reads, u"VELTRASetup");
    if (!Unread.empty()) {
      return "password state not known: " + Unread +
             ", the answer is the bare base (both passwords read as set)";
    }
    return std::string("password state: user password ") +
           ((After & 0x00040000) ? "empty" : "set") + ", administrator password " +
           ((After & 0x00000001) ? "empty" : "set");
  }
  case 0x84: {
    if ((After & ~0x7u) != 0) {
      break;
    }
    std::string Unread = UnreadBecause(Reads, u"FPExistFlag");
    if (!Unread.empty()) {
      return "fingerprint state not known: " + Unread +
             ", the answer is 0 (no finger, reader option off) without looking further";
    }
    std::string Finger =
        (After & 3) == 3 ? "finger enrolled (\"FPExistFlag\" bit 1)" : "no finger enrolled";
    Unread = UnreadBecause(Reads, u"Setup");
    if (!Unread.empty()) {
      return "fingerprint state: " + Finger + "; reader option not known: " + Unread +
             ", so the answer leaves bit 2 clear";
    }
    return "fingerprint state: " + Finger + ", reader option " + ((After & 4) ? "on" : "off") +
           " (\"Setup\" byte 0x218)";
  }
  case 0x89:
    if (After == 0x5553000F) {
      return "signature";
    }
    break;
  default:
    break;
  }
  return "unexpected answer";
}

// Whether the slice selects hardware-monitor register Register (index port 0xF45) and reads it
// (data port 0xF46), and the value read.
std::optional<uint8_t> MonitorRead(const std::vector<sim::HardwareAccess> &Slice,
                                   uint8_t Register) {
  for (size_t I = 0; I + 1 < Slice.size(); I++) {
    if (Slice[I].IsWrite && Slice[I].Where == sim::Space::Io && Slice[I].Address == 0xF45 &&
        Slice[I].Value == Register && !Slice[I + 1].IsWrite &&
        Slice[I + 1].Where == sim::Space::Io && Slice[I + 1].Address == 0xF46) {
      return (uint8_t)Slice[I + 1].Value;
    }
  }
  return std::nullopt;
}

// Why a timer tick wrote no fan register.
std::string WhyBandUnchanged(const std::vector<sim::HardwareAccess> &Slice) {
  if (Slice.empty()) {
    return "no SMI callback ran";
  }
  if (std::optional<uint8_t> Block = MonitorRead(Slice, 0x17); Block && *Block != 0) {
    return "update blocked: hardware-monitor register 0x17 reads " + Hex(*Block, 2) +
           " (nonzero: the fan channels are left alone)";
  }
  std::optional<uint8_t> Marker = MonitorRead(Slice, 0x63);
  if (!Marker) {
    return "the fan curve was not looked at (no read of the band marker, register 0x63)";
  }
  const BandInfo *Info = BandOf(*Marker);
  return std::string("already in the band: marker ") + Hex(*Marker, 2) +
         (Info ? std::string(" (table ") + Info->Table + ", " + Info->Band + ")" : "") +
         " matches the temperature's band";
}

} // namespace

SmmPlan ParseSmmPlan(const json &Document) {
  SmmPlan Plan;
  const json &Smm = Section(Document, "smm");
  CheckKeys(Smm, "smm", {"dispatch", "tables", "cpus", "executing_cpu", "caller_cpu", "cpu_index"});
  if (Smm.contains("dispatch")) {
    Plan.Dispatch = Flag(Smm["dispatch"], "smm.dispatch");
  }
  if (Smm.contains("tables")) {
    const json &Tables = Smm["tables"];
    if (!Tables.is_object()) {
      Fail("smm.tables", "expected an object");
    }
    CheckKeys(Tables, "smm.tables", {"runtime_services", "cpu_index", "variable_services"});
    if (Tables.contains("runtime_services")) {
      Plan.Core.RuntimeServicesTable =
          Flag(Tables["runtime_services"], "smm.tables.runtime_services");
    }
    if (Tables.contains("cpu_index")) {
      Plan.Core.CpuIndexTable = Flag(Tables["cpu_index"], "smm.tables.cpu_index");
    }
    if (Tables.contains("variable_services")) {
      Plan.Core.VariableServicesTable =
          Flag(Tables["variable_services"], "smm.tables.variable_services");
    }
  }
  if (Smm.contains("cpus")) {
    Plan.Core.NumberOfCpus = Number(Smm["cpus"], "smm.cpus", 64);
    if (Plan.Core.NumberOfCpus == 0) {
      Fail("smm.cpus", "at least one processor");
    }
  }
  if (Smm.contains("executing_cpu")) {
    Plan.Core.CurrentlyExecutingCpu = Number(Smm["executing_cpu"], "smm.executing_cpu", 64);
  }
  if (Smm.contains("caller_cpu")) {
    Plan.Core.CallerCpu = Number(Smm["caller_cpu"], "smm.caller_cpu", 63);
  }
  if (Plan.Core.CallerCpu >= Plan.Core.NumberOfCpus) {
    Fail("smm.caller_cpu",
         "beyond the " + std::to_string(Plan.Core.NumberOfCpus) + " processors (counted from 0)");
  }
  if (Smm.contains("cpu_index")) {
    Plan.Core.CpuIndexTableValue = Number(Smm["cpu_index"], "smm.cpu_index", UINT64_MAX);
  }

  const json &Os = Section(Document, "os");
  CheckKeys(Os, "os", {"temperatures", "port_e82", "register_17", "acpi_mode", "software_smis"});
  Plan.Temperatures = DefaultTemperatures;
  if (Os.contains("temperatures")) {
    const json &List = Os["temperatures"];
    if (!List.is_array()) {
      Fail("os.temperatures", "expected an array of readings (0..255, one per timer SMI)");
    }
    boardsim::List(List, "os.temperatures", kMaxTemperatures, "readings");
    Plan.Temperatures.clear();
    for (size_t I = 0; I < List.size(); I++) {
      Plan.Temperatures.push_back(
          (uint8_t)Number(List[I], "os.temperatures[" + std::to_string(I) + "]", 0xFF));
    }
  }
  if (Os.contains("port_e82")) {
    Plan.PortE82 = (uint8_t)Number(Os["port_e82"], "os.port_e82", 0xFF);
  }
  if (Os.contains("register_17")) {
    Plan.Register17 = (uint8_t)Number(Os["register_17"], "os.register_17", 0xFF);
  }
  if (Os.contains("acpi_mode")) {
    Plan.AcpiMode = Flag(Os["acpi_mode"], "os.acpi_mode");
  }
  Plan.SoftwareSmis = DefaultSoftwareSmis;
  if (Os.contains("software_smis")) {
    const json &List = Os["software_smis"];
    if (!List.is_array()) {
      Fail("os.software_smis", "expected an array of {\"value\", \"eax\"}");
    }
    boardsim::List(List, "os.software_smis", kMaxSoftwareSmis, "software SMIs");
    Plan.SoftwareSmis.clear();
    for (size_t I = 0; I < List.size(); I++) {
      std::string Where = "os.software_smis[" + std::to_string(I) + "]";
      if (!List[I].is_object() || !List[I].contains("value") || !List[I].contains("eax")) {
        Fail(Where, "expected {\"value\": ..., \"eax\": ...}");
      }
      CheckKeys(List[I], Where, {"value", "eax"});
      Plan.SoftwareSmis.push_back({Number(List[I]["value"], Where + ".value", 0xFFFFFFFF),
                                   (uint32_t)Number(List[I]["eax"], Where + ".eax", 0xFFFFFFFF)});
    }
  }
  return Plan;
}

bool DispatchSmmDrivers(sim::Board &Board, const SmmPlan &Plan, std::ostream &Out) {
  if (!Plan.Dispatch) {
    return false;
  }
  Board.Smm.Configure(Plan.Core);
  bool Crashed = false;
  for (const char *Name : SmmDrivers) {
    std::string Path = sim::Board::ImagePath(Name);
    if (!std::filesystem::exists(Path)) {
      Out << "\nnote: no image " << Path << ", not dispatched\n";
      continue;
    }
    DriverReport Report;
    Report.Name = Name;
    Report.ImagePath = Path;
    Report.Before = Board.Variables.All();
    size_t TraceStart = Board.Hardware.Trace().size();
    size_t ProblemStart = Board.Problems.size();
    size_t LiveBefore = Board.LivePoolBlocks();
    size_t Registrations = Board.Smm.Registrations().size();
    size_t Callbacks = Board.Smm.Callbacks().size();
    size_t Handlers = Board.Smm.SwHandlers().size();
    Checkpoint(std::string(Name) + "'s entry point and its run in SMM, boot " +
               std::to_string(CurrentBoot()["boot"].get<int>()));
    size_t CallStart = CallMark();
    Report.Result = Board.RunDriver(Name);
    Report.Calls = CallsSince(CallStart);
    Report.After = Board.Variables.All();
    const auto &Trace = Board.Hardware.Trace();
    Report.Accesses.assign(Trace.begin() + (long)TraceStart, Trace.end());
    Report.Problems.assign(Board.Problems.begin() + (long)ProblemStart, Board.Problems.end());
    size_t LiveAfter = Board.LivePoolBlocks();
    Report.LeakedPoolBlocks = LiveAfter > LiveBefore ? LiveAfter - LiveBefore : 0;
    json Driver = PrintDriverReport(Out, Report);
    Crashed |=
        Report.Result.How == sim::Outcome::Crashed || Report.Result.How == sim::Outcome::NotLoaded;
    json Smm = json::object();

    // The second run: the copy the SMM core loaded into SMRAM. Its address depends on where
    // the host put SMRAM, so the report leaves it out.
    if (Board.Smm.Registrations().size() == Registrations) {
      Out << "   no SMM registration: the image did not load itself into SMRAM\n";
      Smm["registered"] = false;
      Driver["smm"] = Smm;
      CurrentBoot()["drivers"].push_back(Driver);
      continue;
    }
    const sim::SmmRegistration &Registered = Board.Smm.Registrations().back();
    Out << "   SMM base Register of \"" << Registered.ImageName << "\" returned "
        << sim::StatusName(Registered.Status) << "\n";
    Smm["registered"] = true;
    PutStatus(Smm, "register_status", Registered.Status);
    const sim::SmmImageRecord *Copy = Board.Smm.Image(Name);
    if (Copy != nullptr && Copy->EntryRun.How == sim::Outcome::Returned) {
      Out << "   second run inside SMM (the copy in SMRAM): entry point returned "
          << sim::StatusName(Copy->EntryRun.Value) << "\n";
      PutStatus(Smm, "second_run_status", Copy->EntryRun.Value);
    }
    json Installed = json::array();
    for (size_t I = Callbacks; I < Board.Smm.Callbacks().size(); I++) {
      bool Save = Board.Smm.Callbacks()[I].FloatingPointSave;
      Out << "   registered: SMI callback, run on every SMI"
          << (Save ? "" : " (no floating-point save)") << "\n";
      Installed.push_back({{"kind", "callback"}, {"floating_point_save", Save}});
    }
    for (size_t I = Handlers; I < Board.Smm.SwHandlers().size(); I++) {
      uint64_t Value = Board.Smm.SwHandlers()[I]->Context.SwSmiInputValue;
      Out << "   registered: software SMI " << Hex(Value, 8) << "\n";
      Installed.push_back({{"kind", "software_smi"}, {"value", Hex(Value, 8)}});
    }
    Smm["registrations"] = Installed;
    Driver["smm"] = Smm;
    CurrentBoot()["drivers"].push_back(Driver);
  }
  return Crashed;
}

bool RunOperatingSystem(sim::Board &Board, const SmmPlan &Plan, std::ostream &Out) {
  PrintHeading(Out, "Operating system: SMIs after the end of boot services");
  json Os = {{"port_e82", Hex(Plan.PortE82, 2)}, {"register_17", Hex(Plan.Register17, 2)},
             {"acpi_mode", Plan.AcpiMode},       {"ticks", json::array()},
             {"software_smis", json::array()},   {"problems", json::array()}};
  size_t ProblemStart = Board.Problems.size();
  Board.EndBootServices();
  Board.Io.InputE82.Value = Plan.PortE82;
  Board.Io.Monitor.Registers[sim::HardwareMonitor::kFanUpdateBlock] = Plan.Register17;
  if (Plan.AcpiMode) {
    Board.Io.Pm.Pm1Control |= sim::AcpiPmBlock::kSciEnable;
  }
  Out << "port 0xE82 = " << Hex(Plan.PortE82, 2) << " (fan table "
      << ((Plan.PortE82 & 0x30) ? "A" : "B")
      << "), hardware-monitor register 0x17 = " << Hex(Plan.Register17, 2) << ", ACPI mode "
      << (Plan.AcpiMode ? "on" : "off") << "\n";

  bool Failed = false;
  Out << "\nSMI timer ticks (" << Plan.Temperatures.size() << " readings):\n";
  if (!Board.Fch.SmiTimerEnabled()) {
    Out << "   the SMI timer is not armed: no timer SMIs\n";
  } else {
    for (size_t Tick = 0; Tick < Plan.Temperatures.size(); Tick++) {
      uint8_t Temperature = Plan.Temperatures[Tick];
      Board.Io.Monitor.SetTemperature(Temperature);
      size_t TraceStart = Board.Hardware.Trace().size();
      json TickJson = {{"tick", Tick + 1}, {"temperature", Temperature}};
      Checkpoint("the SMI handlers at SMI timer tick " + std::to_string(Tick + 1));
      size_t CallStart = CallMark();
      Board.Smm.TimerTick();
      // With --calls the handlers' calls follow the tick's lines, each naming its driver.
      std::ostringstream CallText;
      if (CallsShown()) {
        TickJson["calls"] = PrintCalls(CallText, CallsSince(CallStart), "", "     ", false);
      }
      const auto &Trace = Board.Hardware.Trace();
      std::vector<std::pair<uint8_t, uint8_t>> Writes; // register, value
      for (size_t I = TraceStart + 1; I < Trace.size(); I++) {
        if (Trace[I].IsWrite && Trace[I].Where == sim::Space::Io && Trace[I].Address == 0xF46 &&
            Trace[I - 1].IsWrite && Trace[I - 1].Address == 0xF45) {
          Writes.push_back({(uint8_t)Trace[I - 1].Value, (uint8_t)Trace[I].Value});
        }
      }
      size_t Accesses = Trace.size() - TraceStart;
      std::vector<sim::HardwareAccess> Slice(Trace.begin() + (long)TraceStart, Trace.end());
      Out << "   tick " << Tick + 1 << ": temperature " << int(Temperature) << ", " << Accesses
          << " hardware accesses";
      // With --trace the tick's accesses follow its line.
      std::ostringstream TraceText;
      TickJson["accesses"] = PrintAccesses(TraceText, Slice, "     ");
      if (Writes.empty()) {
        std::string Why = WhyBandUnchanged(Slice);
        Out << ", fan band unchanged: " << Why << "\n"
            << (Options().Trace ? TraceText.str() : "") << CallText.str();
        TickJson["band_change"] = nullptr;
        TickJson["why_unchanged"] = Why;
        Os["ticks"].push_back(TickJson);
        continue;
      }
      uint8_t Marker = Board.Io.Monitor.Registers[sim::HardwareMonitor::kBandMarker];
      const BandInfo *Info = BandOf(Marker);
      Out << "\n     FAN BAND CHANGE: table " << (Info ? Info->Table : "?") << ", "
          << (Info ? Info->Band : "unknown band") << " band, marker " << Hex(Marker, 2) << "; "
          << Writes.size() << " registers written:\n      ";
      for (size_t I = 0; I < Writes.size(); I++) {
        Out << " " << Hex(Writes[I].first, 2).substr(2) << "="
            << Hex(Writes[I].second, 2).substr(2);
        if (I % 9 == 8 && I + 1 < Writes.size()) {
          Out << "\n      ";
        }
      }
      Out << "\n";
      json Registers = json::object();
      for (const auto &[Register, Value] : Writes) {
        Registers[Hex(Register, 2)] = Hex(Value, 2);
      }
      Out << (Options().Trace ? TraceText.str() : "") << CallText.str();
      TickJson["band_change"] = {{"table", Info ? Info->Table : "?"},
                                 {"band", Info ? Info->Band : "unknown"},
                                 {"marker", Hex(Marker, 2)},
                                 {"registers", Registers}};
      Os["ticks"].push_back(TickJson);
    }
  }

  Out << "\nSoftware SMIs (a program under the operating system, answer in EAX):\n";
  for (const SoftwareSmiSpec &Smi : Plan.SoftwareSmis) {
    Checkpoint("the SMI handlers at software SMI " + Hex(Smi.Value, 8));
    size_t CallStart = CallMark();
    size_t ReadStart = Board.Variables.Calls().size();
    uint32_t Answer = Board.Smm.TriggerSoftwareSmi(Smi.Value, Smi.Eax);
    std::string Meaning = DescribeAnswer(Smi.Eax, Answer, ReadsSince(Board, ReadStart));
    json Entry = {{"value", Hex(Smi.Value, 8)},
                  {"eax", Hex(Smi.Eax, 8)},
                  {"answer", Hex(Answer, 8)},
                  {"meaning", Meaning}};
    Out << "   SMI " << Hex(Smi.Value, 8) << ", EAX " << Hex(Smi.Eax, 8) << " -> " << Hex(Answer, 8)
        << ": " << Meaning;
    if (Answer == Smi.Eax) {
      std::string Why = WhyNoAnswer(Board, Smi.Value, Smi.Eax);
      Out << ": " << Why;
      Entry["why"] = Why;
    }
    Out << "\n";
    if (CallsShown()) {
      Entry["calls"] = PrintCalls(Out, CallsSince(CallStart), "", "     ", false);
    }
    Os["software_smis"].push_back(Entry);
  }

  for (size_t I = ProblemStart; I < Board.Problems.size(); I++) {
    Out << "   PROBLEM: " << Board.Problems[I] << "\n";
    Os["problems"].push_back(Board.Problems[I]);
    Failed = true;
  }
  Document()["os"] = Os;
  return Failed;
}

} // namespace boardsim
