#include "call_report.h"

#include "report.h"
#include "status_names.h"

#include <algorithm>
#include <cstring>
#include <sys/mman.h>

namespace boardsim {

namespace {
bool Shown = false;

constexpr size_t kMirrorSlots = 512;
constexpr size_t kMirrorLine = 400;
struct CallMirror {
  size_t Base;  // the log's size at the last checkpoint
  size_t Count; // calls made since
  char Lines[kMirrorSlots][kMirrorLine];
};
CallMirror *Mirror = nullptr;

void MirrorCall(size_t Index) {
  if (Mirror == nullptr || Index < Mirror->Base) {
    return;
  }
  const sim::ServiceCall &Call = sim::CallLog::At(Index);
  std::string Line = Call.Driver + ": " + Call.Text();
  size_t Slot = (Index - Mirror->Base) % kMirrorSlots;
  size_t Length = std::min(Line.size(), kMirrorLine - 1);
  std::memcpy(Mirror->Lines[Slot], Line.data(), Length);
  Mirror->Lines[Slot][Length] = 0;
  Mirror->Count = std::max(Mirror->Count, Index - Mirror->Base + 1);
}
} // namespace

void PrepareCallMirror() {
  if (!Shown || Mirror != nullptr) {
    return;
  }
  void *Shared =
      mmap(nullptr, sizeof(CallMirror), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (Shared == MAP_FAILED) {
    return; // the report still lists the calls; only a death loses the last ones
  }
  Mirror = static_cast<CallMirror *>(Shared);
  Mirror->Base = 0;
  Mirror->Count = 0;
  sim::CallLog::Observe(MirrorCall);
}

void CallMirrorCheckpoint() {
  if (Mirror != nullptr) {
    Mirror->Base = sim::CallLog::Calls().size();
    Mirror->Count = 0;
  }
}

std::vector<std::string> MirroredCalls() {
  std::vector<std::string> Lines;
  if (Mirror == nullptr || Mirror->Count == 0) {
    return Lines;
  }
  size_t Count = Mirror->Count;
  size_t First = Count > kMirrorSlots ? Count - kMirrorSlots : 0;
  if (First > 0) {
    Lines.push_back("(" + std::to_string(First) + " earlier call(s) not kept)");
  }
  for (size_t I = First; I < Count; I++) {
    Lines.push_back(Mirror->Lines[I % kMirrorSlots]);
  }
  return Lines;
}

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
