// Generic PCI configuration-space offsets (PCI Local Bus and PCI-to-PCI Bridge specifications),
// the same on every board.
#pragma once

#include "efi_types.h"

inline constexpr UINTN PCI_VENDOR_ID_OFFSET = 0x00; // two bytes

// Type 1 (PCI-to-PCI bridge) header
inline constexpr UINTN PCI_BRIDGE_SECONDARY_BUS = 0x19;
inline constexpr UINTN PCI_BRIDGE_SUBORDINATE_BUS = 0x1A;
