#include "legacy_bios_model.h"

#include "boot_services.h"
#include "fingerprint_module_model.h"
#include "guids.h"
#include "service_calls.h"

namespace sim {
namespace {

// The board's one LegacyBios, for the members of the interface it publishes.
LegacyBios *Active = nullptr;

BOOLEAN EFIAPI FarCall86Member(EFI_LEGACY_BIOS_PROTOCOL *This, UINT16 Segment, UINT16 Offset,
                               EFI_IA32_REGISTER_SET *Regs, VOID *Stack, UINTN StackSize) {
  return Active->FarCall86(This, Segment, Offset, Regs, Stack, StackSize);
}

BOOLEAN EFIAPI Int86Member(EFI_LEGACY_BIOS_PROTOCOL *, UINT8 BiosInt, EFI_IA32_REGISTER_SET *) {
  BootServices::Current().Problem("Legacy BIOS Int86(" + std::to_string(BiosInt) +
                                  ") called: only FarCall86 is offered");
  return TRUE;
}

// What --calls shows of FarCall86: the far address, the registers handed over and, after the
// call, AX and the carry flag the module left.
void DescribeFarCall86(ServiceCall &Call, EFI_LEGACY_BIOS_PROTOCOL *, UINT16 Segment, UINT16 Offset,
                       EFI_IA32_REGISTER_SET *Regs, VOID *Stack, UINTN StackSize) {
  char Text[96];
  Call.Kind = ServiceCall::Returns::Value;
  Call.ValueText = Call.Value ? "TRUE" : "FALSE";
  if (Call.Returned) {
    if (Regs != nullptr) {
      std::snprintf(Text, sizeof Text, "AX 0x%04X, carry %s", Regs->X.AX,
                    (Regs->X.Flags & 1) ? "set" : "clear");
      Call.Results.push_back(Text);
    }
    return;
  }
  Call.Service = "LegacyBios->FarCall86";
  std::snprintf(Text, sizeof Text, "%04X:%04X", Segment, Offset);
  Call.Arguments = {Text};
  if (Regs == nullptr) {
    Call.Arguments.push_back("registers NULL");
  } else {
    std::snprintf(Text, sizeof Text, "AX 0x%04X, BX 0x%04X, DS 0x%04X, ES 0x%04X", Regs->X.AX,
                  Regs->X.BX, Regs->X.DS, Regs->X.ES);
    Call.Arguments.push_back(Text);
  }
  Call.Arguments.push_back(Stack == nullptr ? "no stack"
                                            : "stack of " + HexNumber(StackSize) + " bytes");
}

template <int Member> EFI_STATUS EFIAPI UnusedMember() {
  static const char *const Names[] = {
      "CheckPciRom",      "InstallPciRom",           "LegacyBoot",       "UpdateKeyboardLedStatus",
      "GetBbsInfo",       "ShadowAllLegacyOproms",   "PrepareToBootEfi", "GetLegacyRegion",
      "CopyLegacyRegion", "BootUnconventionalDevice"};
  BootServices::Current().Problem(std::string("Legacy BIOS ") + Names[Member] +
                                  " called: only FarCall86 is offered");
  return EFI_UNSUPPORTED;
}

} // namespace

LegacyBios::LegacyBios(BootServices &Owner, FingerprintModuleModel &Module)
    : Owner(Owner), Module(Module) {
  Active = this;
  Interface.Int86 = Int86Member;
  Interface.FarCall86 = OffImageStack<Recorded<FarCall86Member, DescribeFarCall86>>;
  Interface.CheckPciRom = UnusedMember<0>;
  Interface.InstallPciRom = UnusedMember<1>;
  Interface.LegacyBoot = UnusedMember<2>;
  Interface.UpdateKeyboardLedStatus = UnusedMember<3>;
  Interface.GetBbsInfo = UnusedMember<4>;
  Interface.ShadowAllLegacyOproms = UnusedMember<5>;
  Interface.PrepareToBootEfi = UnusedMember<6>;
  Interface.GetLegacyRegion = UnusedMember<7>;
  Interface.CopyLegacyRegion = UnusedMember<8>;
  Interface.BootUnconventionalDevice = UnusedMember<9>;
}

void LegacyBios::Install() {
  if (Published.Installed()) {
    return; // already on the board in this boot
  }
  Calls.clear();
  Published.Publish();
}

BOOLEAN LegacyBios::FarCall86(EFI_LEGACY_BIOS_PROTOCOL *This, UINT16 Segment, UINT16 Offset,
                              EFI_IA32_REGISTER_SET *Regs, VOID *Stack, UINTN StackSize) {
  if (This != &Interface) {
    Owner.Problem("Legacy BIOS FarCall86 called with a foreign This pointer");
  }
  Calls.push_back({Segment, Offset, Stack != nullptr, StackSize});
  Module.FarCall(Segment, Offset, Regs, Stack, StackSize);
  return FALSE; // the module returns with the carry flag clear
}

LegacyBios::~LegacyBios() {
  Active = nullptr;
}

} // namespace sim
