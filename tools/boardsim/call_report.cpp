#include "call_report.h"

#include "report.h"
#include "status_names.h"

#include <algorithm>

namespace boardsim {

namespace {
bool Shown = false;
} // namespace

bool CallsShown() {
  return Shown;
}

void ShowCalls() {
  Shown = true;
  sim::CallLog::Enable(true);
}

size_t CallMark() {
  return sim::CallLog::Calls().size();
}

std::vector<sim::ServiceCall> CallsSince(size_t Mark) {
  const auto &Calls = sim::CallLog::Calls();
  if (Mark >= Calls.size()) {
    return {};
  }
  return {Calls.begin() + (long)Mark, Calls.end()};
}

nlohmann::json CallJson(const sim::ServiceCall &Call) {
  nlohmann::json Json = {{"driver", Call.Driver},       {"service", Call.Service},
                         {"arguments", Call.Arguments}, {"returned", Call.Returned},
                         {"depth", Call.Depth},         {"text", Call.Text()}};
  if (Call.Returned) {
    if (Call.Kind == sim::ServiceCall::Returns::Status) {
      PutStatus(Json, "status", Call.Status());
    } else if (Call.Kind == sim::ServiceCall::Returns::Value) {
      Json["value"] = Call.ValueText;
    }
    Json["results"] = Call.Results;
  }
  return Json;
}

nlohmann::json PrintCalls(std::ostream &Out, const std::vector<sim::ServiceCall> &Calls,
                          const std::string &Driver, const std::string &Indent, bool SayNone) {
  nlohmann::json List = nlohmann::json::array();
  if (Calls.empty()) {
    Out << (SayNone ? Indent + "calls: none\n" : "");
    return List;
  }
  Out << Indent << "calls (" << Calls.size() << "):\n";
  size_t Base = Calls.front().Depth;
  for (const sim::ServiceCall &Call : Calls) {
    Base = std::min(Base, Call.Depth);
  }
  // A run of the same line (a poll loop) is printed once with its count.
  std::string Previous;
  size_t Repeats = 0;
  auto Flush = [&] {
    if (Repeats > 1) {
      Out << Indent << "  ... the line above " << Repeats - 1 << " more time(s)\n";
    }
  };
  for (const sim::ServiceCall &Call : Calls) {
    List.push_back(CallJson(Call));
    std::string Line = std::string(2 * (Call.Depth - Base), ' ') +
                       (Call.Driver == Driver ? "" : Call.Driver + ": ") + Call.Text();
    if (Line == Previous) {
      Repeats++;
      continue;
    }
    Flush();
    Out << Indent << "  " << Line << "\n";
    Previous = Line;
    Repeats = 1;
  }
  Flush();
  return List;
}

} // namespace boardsim
