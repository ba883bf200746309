// Fixed addresses of the board's hardware (FCH ACPI MMIO block, PCI Express configuration
// window, TPM), shared by the drivers and the simulated board.
#pragma once

#include "efi_types.h"

inline constexpr UINTN FCH_ACPI_MMIO_BASE = 0xFED80000;
inline constexpr UINTN FCH_SMI_REGISTER_BASE = FCH_ACPI_MMIO_BASE + 0x200;
inline constexpr UINTN FCH_COM2_STRAP = FCH_ACPI_MMIO_BASE + 0x134;   // bit 7
inline constexpr UINTN FCH_LPT_STRAP = FCH_ACPI_MMIO_BASE + 0x135;    // bit 7
inline constexpr UINTN FCH_OPTION_STRAP = FCH_ACPI_MMIO_BASE + 0x1E0; // bit 7

inline constexpr UINTN PCIE_CONFIG_BASE = 0xE0000000;
constexpr UINTN PcieConfigAddress(UINTN Bus, UINTN Device, UINTN Function, UINTN Register) {
  return PCIE_CONFIG_BASE + (Bus << 20) + (Device << 15) + (Function << 12) + Register;
}

inline constexpr UINTN TPM_BASE = 0xFED40000;
inline constexpr UINTN TPM_DID_VID = TPM_BASE + 0xF00; // locality 0, four bytes
