#include "fault_handler.h"

#include "physical_memory.h"

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <vector>

namespace sim {
namespace {

Bus *TargetBus = nullptr;
// What handled each signal before the board (the C library's default, or a sanitizer's or a
// fuzzer's handler): a fault that is not the images' goes there.
constexpr int kSignals[] = {SIGSEGV, SIGILL, SIGFPE, SIGBUS, SIGTRAP};
struct sigaction Previous[NSIG];
bool Installed = false;
std::vector<const PeImage *> Images;
std::vector<const PeImage *> Retired;
std::vector<sigjmp_buf *> Guards;
std::string PendingMessage;
std::function<void(const std::string &)> FatalFaultNote;
// The image code the board called and that has not returned yet, innermost last.
std::vector<const PeImage *> Running;
// One serial per guarded call, innermost last; a call that ends takes its serial away.
std::vector<uint64_t> GuardSerials;
uint64_t LastGuardSerial = 0;

struct Decoded {
  enum Kind { None, In, Out, Load, Store, Halt } What = None;
  uint8_t Width = 0;
  uint8_t Length = 0;
  // Memory accesses: whether the data goes through AL, AX or EAX with a plain MOV (the
  // accumulator form), whether a load zero-extends into the whole register (MOVZX, and any
  // 32-bit load), and the instruction as written, for a refusal.
  bool Accumulator = false;
  bool ZeroExtends = false;
  const char *Text = "";
};

Decoded DecodeAt(const uint8_t *Code) {
  // The fixed encodings of the hardware-boundary functions: port accesses through AL, AX or EAX
  // and DX; memory-mapped accesses at RCX through AL, AX or EAX, and the MOVZX loads and DL, DX
  // or EDX stores of earlier builds, which only the configuration window refuses.
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
  if (Code[0] == 0x8A && Code[1] == 0x01)
    return {Decoded::Load, 1, 2, true, false, "mov (%rcx),%al (8A 01)"};
  if (Code[0] == 0x66 && Code[1] == 0x8B && Code[2] == 0x01)
    return {Decoded::Load, 2, 3, true, false, "mov (%rcx),%ax (66 8B 01)"};
  if (Code[0] == 0x8B && Code[1] == 0x01)
    return {Decoded::Load, 4, 2, true, true, "mov (%rcx),%eax (8B 01)"};
  if (Code[0] == 0x0F && Code[1] == 0xB6 && Code[2] == 0x01)
    return {Decoded::Load, 1, 3, false, true, "movzx (%rcx),%eax (0F B6 01)"};
  if (Code[0] == 0x0F && Code[1] == 0xB7 && Code[2] == 0x01)
    return {Decoded::Load, 2, 3, false, true, "movzx (%rcx),%eax (0F B7 01)"};
  if (Code[0] == 0x88 && Code[1] == 0x01)
    return {Decoded::Store, 1, 2, true, false, "mov %al,(%rcx) (88 01)"};
  if (Code[0] == 0x66 && Code[1] == 0x89 && Code[2] == 0x01)
    return {Decoded::Store, 2, 3, true, false, "mov %ax,(%rcx) (66 89 01)"};
  if (Code[0] == 0x89 && Code[1] == 0x01)
    return {Decoded::Store, 4, 2, true, false, "mov %eax,(%rcx) (89 01)"};
  if (Code[0] == 0x88 && Code[1] == 0x11)
    return {Decoded::Store, 1, 2, false, false, "mov %dl,(%rcx) (88 11)"};
  if (Code[0] == 0x66 && Code[1] == 0x89 && Code[2] == 0x11)
    return {Decoded::Store, 2, 3, false, false, "mov %dx,(%rcx) (66 89 11)"};
  if (Code[0] == 0x89 && Code[1] == 0x11)
    return {Decoded::Store, 4, 2, false, false, "mov %edx,(%rcx) (89 11)"};
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

// Whether a call instruction ends at Return: call rel32, or an indirect call through a register
// or memory (FF /2 with a register, disp8, disp32 or RIP-relative operand, SIB or not).
bool FollowsCall(uint64_t Return) {
  const uint8_t *End = reinterpret_cast<const uint8_t *>(Return);
  auto IndirectCall = [&](int Length, uint8_t Mod, bool Sib) {
    uint8_t ModRm = End[-Length + 1];
    return End[-Length] == 0xFF && (ModRm & 0x38) == 0x10 && (ModRm >> 6) == Mod &&
           ((ModRm & 7) == 4) == Sib;
  };
  return End[-5] == 0xE8 || IndirectCall(2, 3, false) || IndirectCall(2, 0, false) ||
         IndirectCall(3, 1, false) || IndirectCall(4, 1, true) || IndirectCall(6, 2, false) ||
         IndirectCall(7, 2, true) || IndirectCall(6, 0, false);
}

// The word at Address on the image stack, read a byte at a time and outside the address
// sanitizer's checks: board code under the sanitizer may have run on that stack before and left
// its redzones poisoned there, although the image's own frames are plain memory.
__attribute__((no_sanitize("address"))) uint64_t ImageStackWord(uint64_t Address) {
  const auto *Bytes = reinterpret_cast<const volatile uint8_t *>(Address);
  uint64_t Value = 0;
  for (int Index = 0; Index < 8; ++Index) {
    Value |= uint64_t{Bytes[Index]} << (8 * Index);
  }
  return Value;
}

// ", called from <where>" when the stack pointer StackTop points at a return address into an
// image (the halt routine and the board's services are entered by a call and push nothing
// before they stop), else nothing.
std::string CallerOf(uint64_t StackTop) {
  if (StackTop == 0 || !OnImageStack(reinterpret_cast<const uint8_t *>(StackTop))) {
    return {};
  }
  uint64_t Return = ImageStackWord(StackTop);
  const PeImage *Caller = ImageAt(reinterpret_cast<const void *>(Return));
  if (Caller == nullptr || Return < (uint64_t)Caller->Base + 8 || !FollowsCall(Return)) {
    return {};
  }
  return ", called from " + Caller->Locate(reinterpret_cast<const void *>(Return), true);
}

// What a fault did, for a crash report: the kind of access and what it touched, never a host
// address (those change from run to run).
std::string FaultText(int Signal, const siginfo_t *Info, const greg_t *Regs) {
  uint64_t Address = reinterpret_cast<uint64_t>(Info->si_addr);
  switch (Signal) {
  case SIGSEGV:
  case SIGBUS: {
    uint64_t Error = (uint64_t)Regs[REG_ERR];
    const char *Access = (Error & 0x10)  ? "an instruction fetch from"
                         : (Error & 0x2) ? "a write to"
                                         : "a read of";
    if (Signal == SIGSEGV && Info->si_code == SI_KERNEL) {
      // A general-protection fault: the kernel reports no address (a non-canonical one, or a
      // privileged instruction the hardware boundary does not use).
      return "a general-protection fault (a non-canonical address or a privileged instruction)";
    }
    return std::string(Access) + " " + DescribeAddress(Address);
  }
  case SIGILL:
    return "an invalid instruction";
  case SIGFPE:
    return "a division fault (by zero, or an overflow)";
  case SIGTRAP:
    return "a breakpoint instruction";
  }
  return strsignal(Signal);
}

// Where a jump out of the images came from: a call leaves its return address on the stack.
std::string JumpOrigin(const greg_t *Regs) {
  const auto *Sp = reinterpret_cast<const uint64_t *>(Regs[REG_RSP]);
  if (OnImageStack(Sp) && OnImageStack(Sp + 1)) {
    const auto *Return = reinterpret_cast<const uint8_t *>(ImageStackWord((uint64_t)Sp));
    if (const PeImage *Caller = ImageAt(Return)) {
      return "by a call that returns to " + Caller->Locate(Return, true);
    }
  }
  return "from a place not known (no return address of an image on the stack)";
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
    // damaged image or a wild pointer). It ends the innermost guarded call as a crash, named by
    // where the jump went and, when it was a call, where it came from.
    for (const PeImage *Gone : Retired) {
      if (Gone->Contains(Rip)) {
        PendingMessage =
            "a jump into code of the unloaded image " + Gone->Locate(Rip) + ", " + JumpOrigin(Regs);
        Unwind(2);
      }
    }
    PendingMessage = "a jump to " + DescribeAddress((uint64_t)Regs[REG_RIP]) +
                     ", outside every image's code, " + JumpOrigin(Regs);
    Unwind(2);
  }
  if (Image == nullptr || Guards.empty()) {
    // Not image code: a fault of the board itself. The handler before the board's takes it (a
    // sanitizer reports it, libFuzzer keeps the input); returning runs the instruction again.
    // While image code runs, the board's code faults on what a driver did to it (a jump into the
    // board, memory a stray write damaged, a pointer handed to a service): say so first.
    // A runner that reports such a death itself (its parent process does) ends here.
    if (!Guards.empty() && FatalFaultNote) {
      FatalFaultNote(FaultText(Signal, Info, Regs) +
                     " in the board's own code, while image code ran");
      signal(Signal, SIG_DFL);
      return;
    }
    sigaction(Signal, &Previous[Signal], nullptr);
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
    bool IsWrite = Op.What == Decoded::Store;
    uint64_t Data = (uint64_t)Regs[Op.Accumulator ? REG_RAX : REG_RDX] & Mask(Op.Width);
    uint64_t Value = Mask(Op.Width); // a refused read returns all ones
    if (!Op.Accumulator && TargetBus->RequiresAccumulatorForm(Space::Mmio, Address)) {
      // The configuration window carries out no other form: the access does not happen.
      char Text[200];
      std::snprintf(Text, sizeof Text,
                    "%u-bit %s of 0x%llx by %s refused: the PCI Express configuration window "
                    "takes only a plain MOV through AL, AX or EAX; at ",
                    Op.Width * 8u, IsWrite ? "write" : "read", (unsigned long long)Address,
                    Op.Text);
      TargetBus->Refuse(std::string(Text) + Image->Locate(Rip));
    } else if (IsWrite) {
      TargetBus->Write(Space::Mmio, Address, Op.Width, Data);
    } else {
      Value = TargetBus->Read(Space::Mmio, Address, Op.Width);
    }
    if (!IsWrite) {
      uint64_t Rax = (uint64_t)Regs[REG_RAX];
      Regs[REG_RAX] = (greg_t)(Op.ZeroExtends ? Value : ((Rax & ~Mask(Op.Width)) | Value));
    }
    Regs[REG_RIP] += Op.Length;
    return;
  }
  case Decoded::Halt:
    PendingMessage = "halted at " + Image->Locate(Rip) + CallerOf(Regs[REG_RSP]);
    Unwind(1);
  case Decoded::None:
    break;
  }
  PendingMessage = FaultText(Signal, Info, Regs) + " at " + Image->Locate(Rip);
  Unwind(2);
}

// Calls Fn(Arg) with the stack pointer set to Top, and returns its result on the caller's stack.
// The frame pointer keeps the way back (and lets debuggers and unwinders walk through).
extern "C" uint64_t BoardCallOnStack(uint8_t *Top, uint64_t (*Fn)(void *), void *Arg);
asm(R"(
    .text
    .p2align 4
    .globl BoardCallOnStack
    .hidden BoardCallOnStack
    .type BoardCallOnStack, @function
BoardCallOnStack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq %rdi, %rsp
    movq %rdx, %rdi
    callq *%rsi
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    retq
    .cfi_endproc
    .size BoardCallOnStack, .-BoardCallOnStack
)");

uint64_t CallBody(void *Body) {
  return (*static_cast<const std::function<uint64_t()> *>(Body))();
}

uint64_t CallWork(void *Work) {
  (*static_cast<const std::function<void()> *>(Work))();
  return 0;
}

// Board code that images call runs on a stack of its own, so that it neither leaves copies of
// what it handled on the image stack nor overwrites what the images left there.
constexpr size_t kServiceStackSize = 1u << 20;
uint8_t *ServiceStack() {
  static uint8_t *Base = nullptr;
  if (Base == nullptr) {
    void *Memory = mmap(nullptr, kServiceStackSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (Memory == MAP_FAILED) {
      std::fprintf(stderr, "board: cannot map the service stack\n");
      std::abort();
    }
    Base = static_cast<uint8_t *>(Memory);
  }
  return Base;
}

bool OnServiceStack(const uint8_t *Pointer) {
  return Pointer >= ServiceStack() && Pointer < ServiceStack() + kServiceStackSize;
}

uint8_t *StackPointer() {
  uint8_t *Sp;
  asm volatile("movq %%rsp, %0" : "=r"(Sp));
  return Sp;
}

// Under the live frames of a stack that code left for the other one: room for a red zone of
// host code, 16-byte aligned for the call.
uint8_t *Below(uint8_t *Live) {
  return reinterpret_cast<uint8_t *>((reinterpret_cast<uintptr_t>(Live) - 512) & ~uintptr_t{15});
}

// ---- the dead-stack watch
// -------------------------------------------------------------------------
constexpr size_t kWatchedDepth = 16u << 10;
std::vector<std::vector<uint8_t>> Watched;
std::vector<std::pair<size_t, uint64_t>> WatchHits; // pattern index, address

} // namespace

// Shared with the service thunk below (assembly): the image stack's bounds, the lowest live
// image-stack address while a service runs (null when none does), the top the next service
// switch uses, and whether the dead stack is watched.
extern "C" {
__attribute__((visibility("hidden"))) uint8_t *BoardImageStackLow = nullptr;
__attribute__((visibility("hidden"))) uint8_t *BoardImageStackHigh = nullptr;
__attribute__((visibility("hidden"))) uint8_t *BoardImageSpLive = nullptr;
__attribute__((visibility("hidden"))) uint8_t *BoardNextServiceTop = nullptr;
__attribute__((visibility("hidden"))) uint32_t BoardWatching = 0;

// Called by the thunk on the service stack with the image's stack pointer at the call: the
// dead part of the image stack just below it is searched for the watched bytes.
__attribute__((visibility("hidden"))) void EFIAPI BoardDeadStackCheck(const uint8_t *Sp) {
  const uint8_t *Low =
      Sp - kWatchedDepth < BoardImageStackLow ? BoardImageStackLow : Sp - kWatchedDepth;
  for (size_t Index = 0; Index < Watched.size(); Index++) {
    const std::vector<uint8_t> &Bytes = Watched[Index];
    const uint8_t *At = Low;
    while (At < Sp) {
      const void *Found = memmem(At, (size_t)(Sp - At), Bytes.data(), Bytes.size());
      if (Found == nullptr) {
        break;
      }
      std::pair<size_t, uint64_t> Hit{Index, reinterpret_cast<uint64_t>(Found)};
      if (std::find(WatchHits.begin(), WatchHits.end(), Hit) == WatchHits.end()) {
        WatchHits.push_back(Hit);
      }
      At = static_cast<const uint8_t *>(Found) + 1;
    }
  }
}
}

// Where the thunk's call of a service returns to: a service whose own return address is this
// was called from the image stack.
extern "C" void BoardServiceThunkReturn();

// A service called from the image stack: switch to the service stack before anything is
// written, so that only the return address lands below the caller. R11 holds the service.
// The service stack gets the old stack pointer, the previous BoardImageSpLive, the four
// register arguments' home area and a copy of eight stack-argument slots (the services take at
// most seven arguments).
asm(R"(
    .text
    .p2align 4
    .globl BoardServiceThunk
    .hidden BoardServiceThunk
    .type BoardServiceThunk, @function
BoardServiceThunk:
    cmpq BoardImageStackLow(%rip), %rsp
    jb 1f
    cmpq BoardImageStackHigh(%rip), %rsp
    jae 1f
    movq %rsp, %r10
    movq BoardNextServiceTop(%rip), %rax
    movq %r10, -8(%rax)
    leaq -16(%rax), %rsp
    pushq BoardImageSpLive(%rip)
    movq %r10, BoardImageSpLive(%rip)
    subq $152, %rsp
    cmpl $0, BoardWatching(%rip)
    je 2f
    movq %rcx, 96(%rsp)
    movq %rdx, 104(%rsp)
    movq %r8, 112(%rsp)
    movq %r9, 120(%rsp)
    movq %r10, 128(%rsp)
    movq %r11, 136(%rsp)
    movq %r10, %rcx
    callq BoardDeadStackCheck
    movq 96(%rsp), %rcx
    movq 104(%rsp), %rdx
    movq 112(%rsp), %r8
    movq 120(%rsp), %r9
    movq 128(%rsp), %r10
    movq 136(%rsp), %r11
2:
    movq 40(%r10), %rax
    movq %rax, 32(%rsp)
    movq 48(%r10), %rax
    movq %rax, 40(%rsp)
    movq 56(%r10), %rax
    movq %rax, 48(%rsp)
    movq 64(%r10), %rax
    movq %rax, 56(%rsp)
    movq 72(%r10), %rax
    movq %rax, 64(%rsp)
    movq 80(%r10), %rax
    movq %rax, 72(%rsp)
    movq 88(%r10), %rax
    movq %rax, 80(%rsp)
    movq 96(%r10), %rax
    movq %rax, 88(%rsp)
    callq *%r11
    .globl BoardServiceThunkReturn
    .hidden BoardServiceThunkReturn
BoardServiceThunkReturn:
    addq $152, %rsp
    popq BoardImageSpLive(%rip)
    movq 8(%rsp), %rsp
    retq
1:
    jmpq *%r11
    .size BoardServiceThunk, .-BoardServiceThunk
)");

namespace {

void SetServiceSpLive(uint8_t *Live) {
  BoardNextServiceTop = Live == nullptr ? ServiceStack() + kServiceStackSize : Below(Live);
}

} // namespace

void InstallFaultHandler(Bus *Target) {
  TargetBus = Target;
  BoardImageStackLow = ImageStackBase();
  BoardImageStackHigh = ImageStackBase() + kImageStackSize;
  BoardImageSpLive = nullptr;
  SetServiceSpLive(nullptr);
  // The handler runs on a stack of its own: the signal frames (registers and vector state of
  // whatever host code ran last) do not land on the image stack, which memory searches read.
  static void *HandlerStack = nullptr;
  if (HandlerStack == nullptr) {
    constexpr size_t HandlerStackSize = 256u << 10;
    HandlerStack =
        mmap(nullptr, HandlerStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    stack_t Alternate;
    std::memset(&Alternate, 0, sizeof Alternate);
    Alternate.ss_sp = HandlerStack;
    Alternate.ss_size = HandlerStackSize;
    if (HandlerStack == MAP_FAILED || sigaltstack(&Alternate, nullptr) != 0) {
      std::fprintf(stderr, "board: cannot set up the fault handler's stack\n");
      std::abort();
    }
  }
  struct sigaction Action;
  std::memset(&Action, 0, sizeof Action);
  Action.sa_sigaction = Handler;
  Action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&Action.sa_mask);
  for (int Signal : kSignals) {
    if (Installed) {
      sigaction(Signal, &Action, nullptr);
    } else {
      sigaction(Signal, &Action, &Previous[Signal]);
    }
  }
  Installed = true;
}

// A host debugger learns here where each image lies: a breakpoint on BoardImageLoaded gets the
// image's debug twin and the offset to add to the twin's addresses (load address minus link
// address), one on BoardImageUnloaded the base of an image whose pages go back to the board
// (scripts/boardsim-gdb.py loads and drops the symbols). Both do nothing; they are kept out of
// line and visible so that a debugger finds them by name.
extern "C" {
__attribute__((noinline, used, visibility("default"))) void
BoardImageLoaded(const char *DebugFile, const char *Name, uint64_t Base, uint64_t Offset) {
  asm volatile("" ::"r"(DebugFile), "r"(Name), "r"(Base), "r"(Offset) : "memory");
}
__attribute__((noinline, used, visibility("default"))) void BoardImageUnloaded(uint64_t Base) {
  asm volatile("" ::"r"(Base) : "memory");
}
}

void RegisterImage(const PeImage *Image) {
  Images.push_back(Image);
  if (!Image->DebugPath.empty()) {
    BoardImageLoaded(Image->DebugPath.c_str(), Image->Name.c_str(), (uint64_t)Image->Base,
                     (uint64_t)Image->Base - Image->PreferredBase);
  }
}

void UnregisterImage(const PeImage *Image) {
  if (std::find(Images.begin(), Images.end(), Image) != Images.end() && !Image->DebugPath.empty()) {
    BoardImageUnloaded((uint64_t)Image->Base);
  }
  std::erase(Images, Image);
  std::erase(Retired, Image);
}

void RetireImage(const PeImage *Image) {
  std::erase(Images, Image);
  if (std::find(Retired.begin(), Retired.end(), Image) == Retired.end()) {
    Retired.push_back(Image);
  }
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
  // A halt unwinds past the stack switches below: what they noted is put back from here.
  uint8_t *volatile ImageLiveBefore = BoardImageSpLive;
  uint8_t *volatile NextServiceTopBefore = BoardNextServiceTop;
  const size_t RunningBefore = Running.size();
  Guards.push_back(&Env);
  GuardSerials.push_back(++LastGuardSerial);
  int Code = sigsetjmp(Env, 1);
  if (Code == 0) {
    // Images run on the board's image stack, as on the DXE core's. A nested call stays there;
    // one made by a service that an image called continues below that image's frames.
    uint8_t *Sp = StackPointer();
    if (OnImageStack(Sp)) {
      Result.Value = Body();
    } else {
      if (OnServiceStack(Sp)) {
        SetServiceSpLive(Sp);
      }
      uint8_t *Top = BoardImageSpLive != nullptr ? Below(BoardImageSpLive)
                                                 : ImageStackBase() + kImageStackSize;
      Result.Value =
          BoardCallOnStack(Top, CallBody, const_cast<std::function<uint64_t()> *>(&Body));
    }
    Result.How = Outcome::Returned;
  } else {
    Result.How = Code == 1 ? Outcome::Halted : Outcome::Crashed;
    Result.Message = PendingMessage;
  }
  BoardImageSpLive = ImageLiveBefore;
  BoardNextServiceTop = NextServiceTopBefore;
  Running.resize(RunningBefore);
  Guards.pop_back();
  GuardSerials.pop_back();
  return Result;
}

void RunOffImageStack(const std::function<void()> &Work) {
  uint8_t *Sp = StackPointer();
  if (!OnImageStack(Sp)) {
    Work();
    return;
  }
  uint8_t *ImageLiveBefore = BoardImageSpLive;
  BoardImageSpLive = Sp;
  BoardCallOnStack(BoardNextServiceTop, CallWork, const_cast<std::function<void()> *>(&Work));
  BoardImageSpLive = ImageLiveBefore;
}

void EnterImageCode(const void *Code) {
  Running.push_back(ImageAt(Code));
}

void LeaveImageCode() {
  if (!Running.empty()) {
    Running.pop_back();
  }
}

ServiceCaller FindServiceCaller(const void *ReturnAddress, const void *Frame) {
  ServiceCaller Caller;
  uint64_t Return = reinterpret_cast<uint64_t>(ReturnAddress);
  const uint8_t *CallerSp = nullptr;
  if (ReturnAddress == reinterpret_cast<const void *>(&BoardServiceThunkReturn)) {
    // Entered through the thunk from the image stack: the caller's stack pointer points at its
    // return address.
    if (BoardImageSpLive == nullptr) {
      return Caller;
    }
    CallerSp = BoardImageSpLive;
    Return = ImageStackWord(reinterpret_cast<uint64_t>(CallerSp));
  } else {
    // Entered directly: above the service's frame pointer lie the return address and then the
    // caller's stack.
    CallerSp = static_cast<const uint8_t *>(Frame) + 16;
  }
  Caller.ReturnAddress = Return;
  Caller.Image = ImageAt(reinterpret_cast<const void *>(Return));
  if (Caller.Image == nullptr && OnImageStack(CallerSp) && !Running.empty()) {
    // Image code that jumps to a service as its last act (a tail call) leaves the return
    // address of the board's call into the image: the call is the image's all the same.
    Caller.Image = Running.back();
  }
  Caller.Guard = GuardSerials.empty() ? 0 : GuardSerials.back();
  return Caller;
}

bool GuardedCallLive(uint64_t Serial) {
  return Serial == 0 ||
         std::find(GuardSerials.begin(), GuardSerials.end(), Serial) != GuardSerials.end();
}

void WatchDeadImageStack(const std::vector<uint8_t> &Bytes) {
  if (!Bytes.empty()) {
    Watched.push_back(Bytes);
    BoardWatching = 1;
  }
}

std::vector<uint64_t> DeadImageStackHits(const std::vector<uint8_t> &Bytes) {
  std::vector<uint64_t> Found;
  for (const auto &[Index, Address] : WatchHits) {
    if (Watched[Index] == Bytes) {
      Found.push_back(Address);
    }
  }
  return Found;
}

void ForgetDeadImageStackWatch() {
  Watched.clear();
  WatchHits.clear();
  BoardWatching = 0;
}

void HaltGuarded(const char *Where) {
  if (Guards.empty()) {
    std::fprintf(stderr, "halt outside a guarded call: %s\n", Where);
    std::abort();
  }
  // The temporaries end with the statement. A board service that stops the machine was called
  // by an image: its return address lies where the image's stack pointer was at the call.
  PendingMessage =
      std::string("halted at ") + Where + CallerOf(reinterpret_cast<uint64_t>(BoardImageSpLive));
  Unwind(1);
}

void SetFatalFaultNote(std::function<void(const std::string &)> Note) {
  FatalFaultNote = std::move(Note);
}

// ---- naming addresses in crash reports ------------------------------------------------------

namespace {
std::function<std::string(uint64_t)> Namer;
} // namespace

void SetAddressNamer(std::function<std::string(uint64_t)> Name) {
  Namer = std::move(Name);
}

std::string DescribeAddress(uint64_t Address) {
  char Text[160];
  const void *Pointer = reinterpret_cast<const void *>(Address);
  if (Address < 0x10000) {
    std::snprintf(Text, sizeof Text, "address 0x%llx (a null pointer%s)",
                  (unsigned long long)Address, Address == 0 ? "" : " plus an offset");
    return Text;
  }
  if (const PeImage *Image = ImageAt(Pointer)) {
    return Image->Locate(Pointer);
  }
  if (Address >= kLowWindowBase && Address < kLowWindowBase + kLowWindowSize) {
    std::snprintf(Text, sizeof Text, "low memory 0x%llx", (unsigned long long)Address);
    return Text;
  }
  if (InDeviceWindow(Address)) {
    std::snprintf(Text, sizeof Text,
                  "device register 0x%llx (by an instruction that is none of the hardware "
                  "boundary's)",
                  (unsigned long long)Address);
    return Text;
  }
  const uint8_t *Stack = ImageStackBase();
  if (OnImageStack(Pointer)) {
    std::snprintf(Text, sizeof Text, "the image stack, 0x%llx bytes below its top",
                  (unsigned long long)(Stack + kImageStackSize - (const uint8_t *)Pointer));
    return Text;
  }
  if ((const uint8_t *)Pointer < Stack && (const uint8_t *)Pointer >= Stack - 4096) {
    return "the guard page below the image stack (a stack overflow)";
  }
  if (Namer) {
    std::string Name = Namer(Address);
    if (!Name.empty()) {
      return Name;
    }
  }
  if (Address >= 0x0000800000000000ull && Address < 0xFFFF800000000000ull) {
    std::snprintf(Text, sizeof Text, "address 0x%llx (not canonical)", (unsigned long long)Address);
    return Text;
  }
  if (InArena(Pointer)) {
    return "board memory below 4 GiB that was never handed out";
  }
  if (InHostCode(Pointer)) {
    return "the board's own code (no driver's)";
  }
  return "memory no driver was handed (the board's own, or nothing at all)";
}

} // namespace sim
