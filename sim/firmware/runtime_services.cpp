#include "runtime_services.h"

#include "fault_handler.h"

#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

RuntimeServices *Active = nullptr;

RuntimeServices &R() {
  return *Active;
}

// ---- the services ------------------------------------------------------------------------
EFI_STATUS EFIAPI RtGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                UINTN *Size, VOID *Data) {
  return R().Variables.Get(Name, Guid, Attributes, Size, Data);
}

EFI_STATUS EFIAPI RtSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                                UINTN Size, const VOID *Data) {
  return R().Variables.Set(Name, Guid, Attributes, Size, Data);
}

EFI_STATUS EFIAPI RtGetNextVariableName(UINTN *Size, CHAR16 *Name, EFI_GUID *Guid) {
  return R().Variables.GetNextName(Size, Name, Guid);
}

EFI_STATUS EFIAPI RtNotOffered() {
  R().Problems.push_back("runtime service not offered by the board");
  return EFI_UNSUPPORTED;
}

VOID EFIAPI RtResetSystem(UINT32, EFI_STATUS, UINTN, VOID *) {
  HaltGuarded("ResetSystem");
}

} // namespace

RuntimeServices::RuntimeServices(VariableStore &Variables, std::vector<std::string> &Problems)
    : Variables(Variables), Problems(Problems) {
  if (Active != nullptr) {
    std::fprintf(stderr, "only one set of runtime services at a time\n");
    std::abort();
  }
  Active = this;
}

RuntimeServices::~RuntimeServices() {
  Active = nullptr;
}

void RuntimeServices::BuildTable() {
  EFI_RUNTIME_SERVICES &Rt = Table;
  Rt = {};
  Rt.Hdr = {EFI_RUNTIME_SERVICES_SIGNATURE, (2 << 16) | 31, sizeof(EFI_RUNTIME_SERVICES), 0, 0};
  Rt.GetTime = RtNotOffered;
  Rt.SetTime = RtNotOffered;
  Rt.GetWakeupTime = RtNotOffered;
  Rt.SetWakeupTime = RtNotOffered;
  Rt.SetVirtualAddressMap = RtNotOffered;
  Rt.ConvertPointer = RtNotOffered;
  Rt.GetVariable = OffImageStack<RtGetVariable>;
  Rt.GetNextVariableName = OffImageStack<RtGetNextVariableName>;
  Rt.SetVariable = OffImageStack<RtSetVariable>;
  Rt.GetNextHighMonotonicCount = RtNotOffered;
  Rt.ResetSystem = OffImageStack<RtResetSystem>;
  Rt.UpdateCapsule = RtNotOffered;
  Rt.QueryCapsuleCapabilities = RtNotOffered;
  Rt.QueryVariableInfo = RtNotOffered;
}

} // namespace sim
