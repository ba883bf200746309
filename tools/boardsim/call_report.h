// --calls: the boot-service, runtime-service and protocol calls of each driver, in order, with
// their arguments decoded and what they returned, in the driver's section of the report (and of
// each fingerprint run, timer tick and software SMI), and in the JSON report as "calls".
#pragma once

#include "service_calls.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace boardsim {

// Whether --calls was given (the call log records only then).
bool CallsShown();
void ShowCalls();

// Where the call log stands now; the calls made since a mark.
size_t CallMark();
std::vector<sim::ServiceCall> CallsSince(size_t Mark);

// Prints the calls under a section (Driver: the section's driver; a call of another image names
// it), nested calls indented, and returns them as JSON. An empty list prints "calls: none" when
// SayNone, else nothing.
nlohmann::json PrintCalls(std::ostream &Out, const std::vector<sim::ServiceCall> &Calls,
                          const std::string &Driver, const std::string &Indent,
                          bool SayNone = true);
nlohmann::json CallJson(const sim::ServiceCall &Call);

// The simulation runs in a child process (see main.cpp): the calls made since its last
// checkpoint are mirrored into memory the parent shares, so that when the child dies the parent
// can still name them. Prepare before the fork; Checkpoint when the report is written out.
void PrepareCallMirror();
void CallMirrorCheckpoint();
// The mirrored calls ("Driver: Text"), oldest first; the first line says how many were dropped
// when more were made than the mirror holds.
std::vector<std::string> MirroredCalls();

} // namespace boardsim
