// The calls a driver makes into the firmware: every boot service, runtime service and member of
// a protocol or table the board provides, made by image code, in order, with its arguments
// decoded (names, GUIDs by name, sizes, attributes) and what it returned. Recording is off unless
// asked for (CallLog::Enable); off, a service's entry costs one test of a flag.
//
// A service is recorded by entering it through Recorded<Service, Describe>, which has the
// service's own type: the table gets Recorded<...> (or OffImageStack<Recorded<...>>) where it
// had the service. Describe(ServiceCall &, arguments...) runs twice: before the service (the
// call's Returned is false: it names the service and its arguments) and after it (Returned is
// true: it adds what the service handed back through its pointers).
//
// A call made by the board's own code (not an image) is not recorded; a call is put down to the
// image whose code made it (fault_handler's FindServiceCaller).
#pragma once

#include "efi_types.h"
#include "fault_handler.h"

#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace sim {

struct ServiceCall {
  std::string Driver;  // the image that called, by its file name without ".efi"
  std::string Service; // "GetVariable", "SmmIo.Io.Read", "Legacy BIOS FarCall86", ...
  std::vector<std::string> Arguments;
  std::vector<std::string> Results; // what the service handed back besides its return value
  // What the return value is: a status (the default), another value named in ValueText, or
  // nothing (a VOID service).
  enum class Returns { Status, Value, Nothing } Kind = Returns::Status;
  bool Returned = false; // false: it never returned (the machine halted or the run crashed)
  uint64_t Value = 0;
  std::string ValueText;
  size_t Depth = 0; // how many calls of images were running when it was made (0: none)
  uint64_t Guard = 0;

  EFI_STATUS Status() const { return Value; }
  // "GetVariable("Setup", SETUP_GUID, size 0x0) -> EFI_BUFFER_TOO_SMALL, size 0x296"
  std::string Text() const;
};

class CallLog {
public:
  static void Enable(bool On) { Active = On; }
  static bool Enabled() { return Active; }
  static const std::vector<ServiceCall> &Calls() { return Log; }
  static void Clear();
  // Called with a call's index when it is made (its arguments decoded) and when it returns.
  static void Observe(std::function<void(size_t Index)> Observer);

  // For Recorded: the index of a new call of image code, or kNone when the board itself called.
  static constexpr size_t kNone = ~size_t{0};
  static size_t Begin(const void *ReturnAddress, const void *Frame);
  static ServiceCall &At(size_t Index) { return Log[Index]; }
  static void Made(size_t Index);
  static void End(size_t Index, uint64_t Value);

private:
  static inline bool Active = false;
  static inline std::vector<ServiceCall> Log;
};

template <auto Service, auto Describe> struct RecordedService;
template <typename R, typename... A, R(EFIAPI *Service)(A...), auto Describe>
struct RecordedService<Service, Describe> {
  // A describer that takes no arguments only names the service.
  static void Run(ServiceCall &Call, A... Args) {
    if constexpr (std::is_invocable_v<decltype(Describe), ServiceCall &, A...>) {
      Describe(Call, Args...);
    } else {
      Describe(Call);
    }
  }
  __attribute__((noinline)) static R EFIAPI Enter(A... Args) {
    if (!CallLog::Enabled()) {
      return Service(Args...);
    }
    size_t Index = CallLog::Begin(__builtin_return_address(0), __builtin_frame_address(0));
    if (Index == CallLog::kNone) {
      return Service(Args...);
    }
    Run(CallLog::At(Index), Args...);
    CallLog::Made(Index);
    if constexpr (std::is_void_v<R>) {
      Service(Args...);
      CallLog::At(Index).Kind = ServiceCall::Returns::Nothing;
      CallLog::End(Index, 0);
      Run(CallLog::At(Index), Args...);
      CallLog::Made(Index);
    } else {
      R Result = Service(Args...);
      CallLog::End(Index, (uint64_t)Result);
      Run(CallLog::At(Index), Args...);
      CallLog::Made(Index);
      return Result;
    }
  }
};
template <auto Service, auto Describe>
inline constexpr auto Recorded = &RecordedService<Service, Describe>::Enter;

// ---- decoding, for the describers --------------------------------------------------------------
// A GUID by the name of its constant ("SETUP_GUID", "EFI_SMM_SW_DISPATCH_PROTOCOL" for a
// protocol's), or in registry format ("{12345678-1234-5678-0102-030405060708}") when unknown.
std::string GuidName(const EFI_GUID &Guid);
std::string GuidArgument(const EFI_GUID *Guid); // "NULL" for none
// "0x296"
std::string HexNumber(uint64_t Value);
// A CHAR16 string as a quoted literal (at most 256 characters shown), or "NULL".
std::string TextArgument(const CHAR16 *Text);
// A handle by what the board keeps it for ("handle \"image FanControlSmm\""), "NULL", or "not a
// handle".
std::string HandleArgument(EFI_HANDLE Handle);
// Variable attributes by their names ("NV|BS|RT"), with the value.
std::string AttributesText(UINT32 Attributes);
// "size 0x296" for a size passed by pointer (its value before or after), "size NULL".
std::string SizeArgument(const UINTN *Size);
// The variable services, as the runtime-services table and the SMM tables offer them.
void DescribeGetVariable(ServiceCall &Call, const CHAR16 *Name, const EFI_GUID *Guid,
                         const UINT32 *Attributes, const UINTN *Size);
void DescribeSetVariable(ServiceCall &Call, const CHAR16 *Name, const EFI_GUID *Guid,
                         UINT32 Attributes, UINTN Size);
void DescribeGetNextVariableName(ServiceCall &Call, const UINTN *Size, const CHAR16 *Name,
                                 const EFI_GUID *Guid);
void DescribeResetSystem(ServiceCall &Call, UINT32 Type, EFI_STATUS Status);
// A service a driver has no business calling: named, no arguments decoded.
void DescribeNotOffered(ServiceCall &Call, const char *Service);

} // namespace sim
