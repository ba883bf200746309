#include "runtime_services.h"

#include "fault_handler.h"
#include "service_calls.h"

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

// ---- what --calls shows of each service -------------------------------------------------------
void DescribeRtGetVariable(ServiceCall &Call, const CHAR16 *Name, const EFI_GUID *Guid,
                           UINT32 *Attributes, UINTN *Size, VOID *) {
  DescribeGetVariable(Call, Name, Guid, Attributes, Size);
}

void DescribeRtSetVariable(ServiceCall &Call, const CHAR16 *Name, const EFI_GUID *Guid,
                           UINT32 Attributes, UINTN Size, const VOID *) {
  DescribeSetVariable(Call, Name, Guid, Attributes, Size);
}

void DescribeRtGetNextVariableName(ServiceCall &Call, UINTN *Size, CHAR16 *Name, EFI_GUID *Guid) {
  DescribeGetNextVariableName(Call, Size, Name, Guid);
}

void DescribeRtNotOffered(ServiceCall &Call) {
  DescribeNotOffered(Call, "a runtime service");
}

void DescribeRtResetSystem(ServiceCall &Call, UINT32 Type, EFI_STATUS Status, UINTN, VOID *) {
  DescribeResetSystem(Call, Type, Status);
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
  Rt.GetTime = Recorded<RtNotOffered, DescribeRtNotOffered>;
  Rt.SetTime = Recorded<RtNotOffered, DescribeRtNotOffered>;
  Rt.GetWakeupTime = Recorded<RtNotOffered, DescribeRtNotOffered>;
  Rt.SetWakeupTime = Recorded<RtNotOffered, DescribeRtNotOffered>;
  Rt.SetVirtualAddressMap = Recorded<RtNotOffered, DescribeRtNotOffered>;
  Rt.ConvertPointer = Recorded<RtNotOffered, DescribeRtNotOffered>;
  Rt.GetVariable = OffImageStack<Recorded<RtGetVariable, DescribeRtGetVariable>>;
  Rt.GetNextVariableName =
      OffImageStack<Recorded<RtGetNextVariableName, DescribeRtGetNextVariableName>>;
  Rt.SetVariable = OffImageStack<Recorded<RtSetVariable, DescribeRtSetVariable>>;
  Rt.GetNextHighMonotonicCount = Recorded<RtNotOffered, DescribeRtNotOffered>;
  Rt.ResetSystem = OffImageStack<Recorded<RtResetSystem, DescribeRtResetSystem>>;
  Rt.UpdateCapsule = Recorded<RtNotOffered, DescribeRtNotOffered>;
  Rt.QueryCapsuleCapabilities = Recorded<RtNotOffered, DescribeRtNotOffered>;
  Rt.QueryVariableInfo = Recorded<RtNotOffered, DescribeRtNotOffered>;
}

} // namespace sim
