#include "fault_handler.h"

#include <dlfcn.h>

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ucontext.h>
#include <vector>

namespace sim {
namespace {

Bus *TargetBus = nullptr;
std::vector<const PeImage *> Images;
std::vector<sigjmp_buf *> Guards;
std::string PendingMessage;

struct Decoded {
  enum Kind { None, In, Out, Load, Store, Halt } What = None;
  uint8_t Width = 0;
  uint8_t Length = 0;
};

Decoded DecodeAt(const uint8_t *Code) {
  // The fixed encodings of the hardware-boundary functions.
  if (Code[0] == 0xEC)
    return {Decoded::In, 1, 1};
  if (Code[0] == 0xED)
    return {Decoded::In, 4, 1};
  if (Code[0] == 0x66 && Code[1] == 0xED)
    return {Decoded::In, 2, 2};
  if (Code[0] == 0xEE)
    return {Decoded::Out, 1, 1};
  if (Code[0] == 0xEF)
    return {Decoded::Out, 4, 1};
  if (Code[0] == 0x66 && Code[1] == 0xEF)
    return {Decoded::Out, 2, 2};
  if (Code[0] == 0x0F && Code[1] == 0xB6 && Code[2] == 0x01)
    return {Decoded::Load, 1, 3};
  if (Code[0] == 0x0F && Code[1] == 0xB7 && Code[2] == 0x01)
    return {Decoded::Load, 2, 3};
  if (Code[0] == 0x8B && Code[1] == 0x01)
    return {Decoded::Load, 4, 2};
  if (Code[0] == 0x88 && Code[1] == 0x11)
    return {Decoded::Store, 1, 2};
  if (Code[0] == 0x66 && Code[1] == 0x89 && Code[2] == 0x11)
    return {Decoded::Store, 2, 3};
  if (Code[0] == 0x89 && Code[1] == 0x11)
    return {Decoded::Store, 4, 2};
  if (Code[0] == 0xFA || Code[0] == 0xF4)
    return {Decoded::Halt, 0, 1};
  return {};
}

uint64_t Mask(uint8_t Width) {
  return Width == 4 ? 0xFFFFFFFFull : (1ull << (8 * Width)) - 1;
}

// Code of this process (the board, the tests, the C and C++ libraries): a fault there is the
// board's own.
bool InHostCode(const void *Address) {
  Dl_info Info;
  return dladdr(Address, &Info) != 0;
}

[[noreturn]] void Unwind(int Code) {
  siglongjmp(*Guards.back(), Code);
}

void Handler(int Signal, siginfo_t *Info, void *Context) {
  auto *Uc = static_cast<ucontext_t *>(Context);
  greg_t *Regs = Uc->uc_mcontext.gregs;
  auto *Rip = reinterpret_cast<const uint8_t *>(Regs[REG_RIP]);
  const PeImage *Image = ImageAt(Rip);
  if (Image == nullptr && !Guards.empty() && !InHostCode(Rip)) {
    // Neither an image nor the board's own code: image code jumped to where no code is (a
    // damaged image or a wild pointer). It ends the innermost guarded call as a crash.
    char Text[160];
    std::snprintf(Text, sizeof Text, "crash: %s at 0x%llx, outside every image (a jump out of ",
                  strsignal(Signal), (unsigned long long)Regs[REG_RIP]);
    PendingMessage = std::string(Text) + "the image's code)";
    Unwind(2);
  }
  if (Image == nullptr || Guards.empty()) {
    // Not image code: a fault of the board itself. Let it take the default action.
    signal(Signal, SIG_DFL);
    return;
  }

  Decoded Op = Signal == SIGSEGV ? DecodeAt(Rip) : Decoded{};
  uint64_t FaultAddress = reinterpret_cast<uint64_t>(Info->si_addr);
  switch (Op.What) {
  case Decoded::In: {
    uint64_t Port = (uint64_t)Regs[REG_RDX] & 0xFFFF;
    uint64_t Value = TargetBus->Read(Space::Io, Port, Op.Width);
    uint64_t Rax = (uint64_t)Regs[REG_RAX];
    Regs[REG_RAX] = (greg_t)(Op.Width == 4 ? Value : ((Rax & ~Mask(Op.Width)) | Value));
    Regs[REG_RIP] += Op.Length;
    return;
  }
  case Decoded::Out: {
    uint64_t Port = (uint64_t)Regs[REG_RDX] & 0xFFFF;
    TargetBus->Write(Space::Io, Port, Op.Width, (uint64_t)Regs[REG_RAX] & Mask(Op.Width));
    Regs[REG_RIP] += Op.Length;
    return;
  }
  case Decoded::Load:
  case Decoded::Store: {
    uint64_t Address = (uint64_t)Regs[REG_RCX];
    if (Address != FaultAddress) {
      break; // the access faulted for another reason: a crash
    }
    if (Op.What == Decoded::Load) {
      Regs[REG_RAX] = (greg_t)TargetBus->Read(Space::Mmio, Address, Op.Width);
    } else {
      TargetBus->Write(Space::Mmio, Address, Op.Width, (uint64_t)Regs[REG_RDX] & Mask(Op.Width));
    }
    Regs[REG_RIP] += Op.Length;
    return;
  }
  case Decoded::Halt:
    PendingMessage = "halted at " + Image->Locate(Rip);
    Unwind(1);
  case Decoded::None:
    break;
  }
  char Text[160];
  std::snprintf(Text, sizeof Text, "%s (fault address 0x%llx) at ", strsignal(Signal),
                (unsigned long long)FaultAddress);
  PendingMessage = std::string("crash: ") + Text + Image->Locate(Rip);
  Unwind(2);
}

} // namespace

void InstallFaultHandler(Bus *Target) {
  TargetBus = Target;
  struct sigaction Action;
  std::memset(&Action, 0, sizeof Action);
  Action.sa_sigaction = Handler;
  Action.sa_flags = SA_SIGINFO;
  sigemptyset(&Action.sa_mask);
  for (int Signal : {SIGSEGV, SIGILL, SIGFPE, SIGBUS, SIGTRAP}) {
    sigaction(Signal, &Action, nullptr);
  }
}

void RegisterImage(const PeImage *Image) {
  Images.push_back(Image);
}

void UnregisterImage(const PeImage *Image) {
  std::erase(Images, Image);
}

const PeImage *ImageAt(const void *Address) {
  for (const PeImage *Image : Images) {
    if (Image->Contains(Address)) {
      return Image;
    }
  }
  return nullptr;
}

GuardedResult RunGuarded(const std::function<uint64_t()> &Body) {
  sigjmp_buf Env;
  GuardedResult Result;
  Guards.push_back(&Env);
  int Code = sigsetjmp(Env, 1);
  if (Code == 0) {
    Result.Value = Body();
    Result.How = Outcome::Returned;
  } else {
    Result.How = Code == 1 ? Outcome::Halted : Outcome::Crashed;
    Result.Message = PendingMessage;
  }
  Guards.pop_back();
  return Result;
}

void HaltGuarded(const char *Where) {
  if (Guards.empty()) {
    std::fprintf(stderr, "halt outside a guarded call: %s\n", Where);
    std::abort();
  }
  PendingMessage = std::string("halted at ") + Where; // the temporaries end with the statement
  Unwind(1);
}

} // namespace sim
