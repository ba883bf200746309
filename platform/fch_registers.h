// Registers of the board's FCH (south bridge) that the drivers program, laid out register first
// and its bits indented under it: the SMI registers of the ACPI MMIO block (byte offsets from
// FCH_SMI_REGISTER_BASE) and the ACPI power-management and RTC registers in I/O space.
#pragma once

#include "efi_types.h"

// clang-format off

// ---- SMI registers: offsets from FCH_SMI_REGISTER_BASE ----------------------------------------
inline constexpr UINT8 FCH_SMI_TIMER_STATUS = 0x91;
inline constexpr UINT8   FCH_SMI_TIMER_STATUS_PENDING = 0x80; // bit 7: the timer's SMI is pending
inline constexpr UINT8   FCH_SMI_TIMER_STATUS_CLEAR   = 0xC0; // bits 7:6, write ones to clear
inline constexpr UINT8 FCH_SMI_TIMER_VALUE = 0x96;            // 16 bits: the period in 0x96/0x97
inline constexpr UINT16  FCH_SMI_TIMER_PERIOD_32000   = 0x7D00;
inline constexpr UINT8 FCH_SMI_TIMER_CONTROL = 0x97;          // high byte of the timer value
inline constexpr UINT8   FCH_SMI_TIMER_CONTROL_ENABLE = 0x80; // bit 7 (bit 15 of the value)
inline constexpr UINT8 FCH_SMI_CONTROL_9B = 0x9B;
inline constexpr UINT8   FCH_SMI_CONTROL_9B_BIT4      = 0x10; // set at start and after each timer SMI
inline constexpr UINT8   FCH_SMI_CONTROL_9B_BIT5      = 0x20; // set once at start
inline constexpr UINT8 FCH_SMI_CONTROL_C3 = 0xC3;
inline constexpr UINT8   FCH_SMI_CONTROL_C3_FIELD     = 0xF0; // bits 7:4
inline constexpr UINT8   FCH_SMI_CONTROL_C3_FIELD_0100 = 0x40; //   0100b, set at start

// ---- ACPI power-management registers: I/O ports -----------------------------------------------
inline constexpr UINT16 ACPI_PM1_STATUS = 0x800;              // 16 bits, write ones to clear
inline constexpr UINT16   ACPI_PM1_STATUS_TMR_STS         = 0x0001; // bit 0
inline constexpr UINT16   ACPI_PM1_STATUS_BM_STS          = 0x0010; // bit 4
inline constexpr UINT16   ACPI_PM1_STATUS_GBL_STS         = 0x0020; // bit 5
inline constexpr UINT16   ACPI_PM1_STATUS_PWRBTN_STS      = 0x0100; // bit 8
inline constexpr UINT16   ACPI_PM1_STATUS_RTC_STS         = 0x0400; // bit 10
inline constexpr UINT16   ACPI_PM1_STATUS_PCIEXP_WAKE_STS = 0x4000; // bit 14
inline constexpr UINT16   ACPI_PM1_STATUS_WAK_STS         = 0x8000; // bit 15
inline constexpr UINT16 ACPI_PM1_STATUS_HIGH = 0x801;         // bits 15:8 of PM1 status
inline constexpr UINT8    ACPI_PM1_STATUS_HIGH_RTC_STS    = 0x04;   // bit 2 = RTC_STS
inline constexpr UINT16 ACPI_PM1_ENABLE_HIGH = 0x803;         // bits 15:8 of PM1 enable
inline constexpr UINT8    ACPI_PM1_ENABLE_HIGH_RTC_EN     = 0x04;   // bit 2 = RTC_EN (bit 10)
inline constexpr UINT16 ACPI_PM1_CONTROL = 0x804;             // 16 bits
inline constexpr UINT16   ACPI_PM1_CONTROL_SCI_EN         = 0x0001; // bit 0: ACPI mode on
inline constexpr UINT16 ACPI_GPE0_STATUS = 0x820;             // 32 bits, write ones to clear
inline constexpr UINT32   ACPI_GPE0_STATUS_BIT10          = 0x00000400;

// ---- RTC: index and data ports ----------------------------------------------------------------
inline constexpr UINT16 RTC_INDEX_PORT = 0x70;
inline constexpr UINT8    RTC_INDEX_NMI_DISABLE           = 0x80;   // bit 7 of an index write
inline constexpr UINT8    RTC_REGISTER_C                  = 0x0C;   // reading it acknowledges
inline constexpr UINT16 RTC_DATA_PORT = 0x71;

// clang-format on

static_assert(ACPI_PM1_STATUS_HIGH_RTC_STS << 8 == ACPI_PM1_STATUS_RTC_STS);
