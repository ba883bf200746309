// The compatibility support module's EFI_LEGACY_BIOS_PROTOCOL on this board. Only FarCall86 is
// offered: it hands the call to the model of the legacy fingerprint module, the one 16-bit
// program the board's drivers call. Every other member is recorded as a board problem.
#pragma once

#include "legacy_bios.h" // the published protocol

#include "guids.h"
#include "optional_protocol.h"

#include <cstdint>
#include <vector>

namespace sim {

class BootServices;
class FingerprintModuleModel;

struct FarCallRecord {
  uint16_t Segment = 0;
  uint16_t Offset = 0;
  bool HadStack = false;
  UINTN StackSize = 0;
};

class LegacyBios {
public:
  LegacyBios(BootServices &Owner, FingerprintModuleModel &Module);
  ~LegacyBios();
  LegacyBios(const LegacyBios &) = delete;
  LegacyBios &operator=(const LegacyBios &) = delete;

  // Publishes the protocol on a new handle (power-on and every reboot) unless it was taken off;
  // forgets the calls of the previous boot. Does nothing while it is still on the board.
  void Install();
  void SetPresent(bool Present) { Published.SetPresent(Present); }
  bool Present() const { return Published.Present(); }
  EFI_LEGACY_BIOS_PROTOCOL *Protocol() { return &Interface; }
  const std::vector<FarCallRecord> &FarCalls() const { return Calls; }

  BOOLEAN FarCall86(EFI_LEGACY_BIOS_PROTOCOL *This, UINT16 Segment, UINT16 Offset,
                    EFI_IA32_REGISTER_SET *Regs, VOID *Stack, UINTN StackSize);

private:
  BootServices &Owner;
  FingerprintModuleModel &Module;
  EFI_LEGACY_BIOS_PROTOCOL Interface{};
  OptionalProtocol Published{Owner, "Legacy BIOS", EFI_LEGACY_BIOS_PROTOCOL_GUID, &Interface};
  std::vector<FarCallRecord> Calls;
};

} // namespace sim
