// Runs image code under a fault handler. The hardware-boundary functions of an image fault on
// every access (ports need privileges, device windows are mapped without access, cli and hlt
// are privileged); the handler decodes their fixed instructions, hands the access to the bus,
// writes the result into the saved registers and steps past the instruction. A halt, or any
// other fault inside an image, ends the guarded call.
#pragma once

#include "efi_types.h"
#include "hardware.h"
#include "pe_image.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
// An image its loader unloaded while the board still holds it: its code no longer runs, and a
// jump into it is named as one into unloaded code. UnregisterImage forgets it.
void RetireImage(const PeImage *Image);
const PeImage *ImageAt(const void *Address);

// Names what an address holds, for reports, without a host address (those change from run to
// run): a null pointer, an image offset and symbol, low memory, a device register, the image
// stack, what the namer knows (the board names its pool blocks, pages, tables and handles),
// or only the kind of memory.
std::string DescribeAddress(uint64_t Address);
void SetAddressNamer(std::function<std::string(uint64_t)> Name);
// Called with what the fault was when the board's own code faults while image code runs (the
// process ends then: what a driver did damaged the board); a parent process can report it.
void SetFatalFaultNote(std::function<void(const std::string &)> Note);

// Calls Body; nested guarded calls unwind to the innermost one.
GuardedResult RunGuarded(const std::function<uint64_t()> &Body);

// Runs Work, board code that an image called, on the board's service stack: the board's own
// frames leave no copies of what they handled (passwords, keys) on the image stack, and what the
// image left in its dead stack stays there for a memory search to find. Off the image stack it
// only runs Work.
void RunOffImageStack(const std::function<void()> &Work);

// The same for a service of the firmware interface, without a frame of its own on the image
// stack: OffImageStack<Function> has the function's type and enters it through a thunk that
// switches to the service stack before anything but the return address is written (and, while
// the dead stack is watched, searches it first).
extern "C" void BoardServiceThunk();
// Enter is declared with the Microsoft convention of the services it stands for (it is naked, so
// the convention changes no instruction), so that clang sees no cast between conventions.
template <auto Function> struct ServiceEntry {
  __attribute__((naked, ms_abi)) static void Enter() {
    asm volatile("leaq %c0(%%rip), %%r11\n\tjmp BoardServiceThunk" ::"i"(Function));
  }
};
template <auto Function>
inline const decltype(Function)
    OffImageStack = reinterpret_cast<decltype(Function)>(&ServiceEntry<Function>::Enter);

// Board code that calls into an image names the code it calls (EnterImageCode before the call,
// LeaveImageCode after it): a service the image reaches by a tail call, a jump whose return
// address is the board's own, is still put down to that image. A halt or crash that ends a
// guarded call forgets what was entered inside it.
void EnterImageCode(const void *Code);
void LeaveImageCode();

// Who called a board service, from the service's own return address and frame address (the
// thunk's return when the service was entered off the image stack): the image whose code made
// the call, or null when the board itself called. Guard names the innermost guarded call at the
// time (0: none); a call made inside a guarded call that has ended will never return.
struct ServiceCaller {
  const PeImage *Image = nullptr;
  uint64_t ReturnAddress = 0;
  uint64_t Guard = 0;
};
ServiceCaller FindServiceCaller(const void *ReturnAddress, const void *Frame);
bool GuardedCallLive(uint64_t Guard);

// While the images run, every service call searches the dead part of the image stack below the
// caller for these bytes (a buffer a function did not wipe before it returned is found even
// when later frames overwrite it). The hits are the addresses where the bytes were seen.
void WatchDeadImageStack(const std::vector<uint8_t> &Bytes);
std::vector<uint64_t> DeadImageStackHits(const std::vector<uint8_t> &Bytes);
void ForgetDeadImageStackWatch();

// Ends the innermost guarded call as halted (used by the native hardware boundary and by board
// services that stop the machine). The long jump skips the destructors of every frame between
// the guard and the caller, so Where is plain text: a std::string built for it, or any other
// object with a destructor alive in the calling frames, would never be destroyed.
[[noreturn]] void HaltGuarded(const char *Where);

} // namespace sim
