// Runs image code under a fault handler. The hardware-boundary functions of an image fault on
// every access (ports need privileges, device windows are mapped without access, cli and hlt
// are privileged); the handler decodes their fixed instructions, hands the access to the bus,
// writes the result into the saved registers and steps past the instruction. A halt, or any
// other fault inside an image, ends the guarded call.
#pragma once

#include "hardware.h"
#include "pe_image.h"

#include <cstdint>
#include <functional>
#include <string>

namespace sim {

// How a run of image code ended. NotLoaded: the image never ran, its file could not be read or
// is not a loadable image (only a load reports it).
enum class Outcome { Returned, Halted, Crashed, NotLoaded };

struct GuardedResult {
  Outcome How = Outcome::Returned;
  uint64_t Value = 0;  // the call's result when it returned
  std::string Message; // where it halted or crashed
};

void InstallFaultHandler(Bus *Target);
void RegisterImage(const PeImage *Image);
void UnregisterImage(const PeImage *Image);
const PeImage *ImageAt(const void *Address);

// Calls Body; nested guarded calls unwind to the innermost one.
GuardedResult RunGuarded(const std::function<uint64_t()> &Body);

// Ends the innermost guarded call as halted (used by the native hardware boundary and by board
// services that stop the machine). The long jump skips the destructors of every frame between
// the guard and the caller, so Where is plain text: a std::string built for it, or any other
// object with a destructor alive in the calling frames, would never be destroyed.
[[noreturn]] void HaltGuarded(const char *Where);

} // namespace sim
