// FanControlSmm: arms the south bridge's periodic SMI timer and, on every timer SMI, matches the
// hardware monitor's two fan channels to the measured temperature. After each timer SMI it
// clears pending power-management status while ACPI mode is off and sets bit 4 of SMI register
// 0x9B. Everything but the first run of the entry point runs inside SMM.
#include "board_addresses.h"
#include "driver_globals.h"
#include "fch_registers.h"
#include "hardware_io.h"
#include "smm_driver.h"

// ---- Port and SMI-register accessors: exactly one access of the stated width each ------------
UINT8 PortIn8(UINT16 Port) {
  return IoRead8(Port);
}
UINT8 PortOut8(UINT16 Port, UINT8 Value) {
  IoWrite8(Port, Value);
  return Value;
}
UINT16 PortIn16(UINT16 Port) {
  return IoRead16(Port);
}
UINT16 PortOut16(UINT16 Port, UINT16 Value) {
  IoWrite16(Port, Value);
  return Value;
}
UINT32 PortOut32(UINT16 Port, UINT32 Value) {
  IoWrite32(Port, Value);
  return Value;
}

// Physical base of the FCH ACPI MMIO block; 0 until the first SMI-register access.
UINT64 AcpiMmioBase = 0;

namespace {

constexpr UINTN SmiRegisterBlock = FCH_SMI_REGISTER_BASE - FCH_ACPI_MMIO_BASE; // 0x200

UINTN SmiRegisterAddress(UINT8 Register) {
  if (AcpiMmioBase == 0) {
    AcpiMmioBase = FCH_ACPI_MMIO_BASE;
  }
  return (UINTN)(AcpiMmioBase + SmiRegisterBlock + Register);
}

} // namespace

UINT8 SmiRegRead8(UINT8 Register) {
  return MmioRead8(SmiRegisterAddress(Register));
}
VOID SmiRegWrite8(UINT8 Register, UINT8 Value) {
  MmioWrite8(SmiRegisterAddress(Register), Value);
}
VOID SmiRegWrite16(UINT8 Register, UINT16 Value) {
  MmioWrite16(SmiRegisterAddress(Register), Value);
}
// One read, one write of (old AND NOT Mask) OR Value; Value is not masked.
VOID SmiRegModify8(UINT8 Register, UINT8 Mask, UINT8 Value) {
  UINT8 Old = SmiRegRead8(Register);
  SmiRegWrite8(Register, (UINT8)((Old & (UINT8)~Mask) | Value));
}

namespace {

// ---- Hardware ---------------------------------------------------------------------------------
constexpr UINT16 HwmIndexPort = 0xF45;
constexpr UINT16 HwmDataPort = 0xF46;
constexpr UINT16 FanTableSelectPort = 0xE82;
constexpr UINT8 FanTableSelectMask = 0x30;
// The PM1 status bits a timer SMI clears while ACPI mode is off.
constexpr UINT16 Pm1StatusClear = ACPI_PM1_STATUS_TMR_STS | ACPI_PM1_STATUS_BM_STS |
                                  ACPI_PM1_STATUS_GBL_STS | ACPI_PM1_STATUS_PWRBTN_STS |
                                  ACPI_PM1_STATUS_RTC_STS | ACPI_PM1_STATUS_PCIEXP_WAKE_STS |
                                  ACPI_PM1_STATUS_WAK_STS;
static_assert(Pm1StatusClear == 0xC531);
// Every GPE0 status bit except bit 10.
constexpr UINT32 Gpe0StatusClear = (UINT32)~ACPI_GPE0_STATUS_BIT10;
static_assert(Gpe0StatusClear == 0xFFFFFBFF);
// RTC register C selected with NMI kept disabled.
constexpr UINT8 RtcRegisterCNmiMasked = RTC_INDEX_NMI_DISABLE | RTC_REGISTER_C;
static_assert(RtcRegisterCNmiMasked == 0x8C);

constexpr UINT8 HwmFanUpdateBlock = 0x17; // nonzero: leave the fan channels alone
constexpr UINT8 HwmTemperature = 0x29;
constexpr UINT8 HwmBandMarker = 0x63;

// ---- Fan tables ---------------------------------------------------------------------------------
constexpr UINTN FanRegisterCount = 18;
enum FanBand : UINTN { LowBand = 0, MiddleBand = 1, HighBand = 2 };

// First channel through 0x60-0x65 and 0x90-0x92, second through 0x68-0x6D and 0x94-0x96.
constexpr UINT8 FanRegisters[FanRegisterCount] = {0x60, 0x61, 0x62, 0x63, 0x64, 0x65,
                                                  0x90, 0x91, 0x92, 0x68, 0x69, 0x6A,
                                                  0x6B, 0x6C, 0x6D, 0x94, 0x95, 0x96};
constexpr UINTN MarkerPosition = 3; // register 0x63
static_assert(FanRegisters[MarkerPosition] == HwmBandMarker);

typedef UINT8 FanTable[3][FanRegisterCount];

// Table A: port 0xE82 bits 5:4 nonzero.
constexpr FanTable FanTableA = {
    {0x00, 0x28, 0x46, 0x40, 0x9A, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x28, 0x48, 0x33, 0xA5, 0x02, 0xFF,
     0x00, 0x00},
    {0x00, 0x28, 0x46, 0x59, 0x9A, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x28, 0x48, 0x4C, 0xA5, 0x02, 0xFF,
     0x00, 0x00},
    {0x00, 0x28, 0x46, 0x73, 0xAD, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x28, 0x46, 0x73, 0xAD, 0x02, 0xFF,
     0x00, 0x00},
};
// Table B: port 0xE82 bits 5:4 zero.
constexpr FanTable FanTableB = {
    {0x00, 0x28, 0x46, 0x33, 0xA0, 0x02, 0x3F, 0x32, 0xA2, 0x00, 0x2D, 0x46, 0x33, 0x94, 0x02, 0xFF,
     0x00, 0x00},
    {0x00, 0x28, 0x46, 0x4C, 0xA9, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x2D, 0x46, 0x40, 0x9D, 0x02, 0xFF,
     0x00, 0x00},
    {0x00, 0x28, 0x46, 0x66, 0xB1, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x2D, 0x46, 0x4C, 0xBD, 0x02, 0xFF,
     0x00, 0x00},
};
// The band markers of a table differ, so the read-back of 0x63 tells the programmed band.
static_assert(FanTableA[LowBand][MarkerPosition] != FanTableA[MiddleBand][MarkerPosition] &&
              FanTableA[MiddleBand][MarkerPosition] != FanTableA[HighBand][MarkerPosition] &&
              FanTableA[LowBand][MarkerPosition] != FanTableA[HighBand][MarkerPosition]);
static_assert(FanTableB[LowBand][MarkerPosition] != FanTableB[MiddleBand][MarkerPosition] &&
              FanTableB[MiddleBand][MarkerPosition] != FanTableB[HighBand][MarkerPosition] &&
              FanTableB[LowBand][MarkerPosition] != FanTableB[HighBand][MarkerPosition]);

// The register number is written to the index port before every access.
UINT8 HwmRead(UINT8 Register) {
  PortOut8(HwmIndexPort, Register);
  return PortIn8(HwmDataPort);
}

VOID HwmWrite(UINT8 Register, UINT8 Value) {
  PortOut8(HwmIndexPort, Register);
  PortOut8(HwmDataPort, Value);
}

// The temperature is an unsigned byte: 0x80..0xFF lie in the high band.
FanBand BandFor(UINT8 Temperature) {
  if (Temperature <= 26) {
    return LowBand;
  }
  if (Temperature <= 31) {
    return MiddleBand;
  }
  return HighBand;
}

VOID ProgramFanTable(const FanTable &Table) {
  UINT8 Marker = HwmRead(HwmBandMarker);
  UINT8 Temperature = HwmRead(HwmTemperature);
  const UINT8 *Column = Table[BandFor(Temperature)];
  if (Marker == Column[MarkerPosition]) {
    return;
  }
  for (UINTN Index = 0; Index < FanRegisterCount; Index++) {
    HwmWrite(FanRegisters[Index], Column[Index]);
  }
}

} // namespace

VOID ProgramFanTableA(VOID) {
  ProgramFanTable(FanTableA);
}
VOID ProgramFanTableB(VOID) {
  ProgramFanTable(FanTableB);
}

VOID UpdateFanCurve(VOID) {
  if (HwmRead(HwmFanUpdateBlock) != 0) {
    return;
  }
  if ((PortIn8(FanTableSelectPort) & FanTableSelectMask) != 0) {
    ProgramFanTableA();
  } else {
    ProgramFanTableB();
  }
}

VOID ClearPmStatus(VOID) {
  if ((PortIn16(ACPI_PM1_CONTROL) & ACPI_PM1_CONTROL_SCI_EN) == 0) {
    if ((PortIn8(ACPI_PM1_ENABLE_HIGH) & ACPI_PM1_ENABLE_HIGH_RTC_EN) != 0 &&
        (PortIn8(ACPI_PM1_STATUS_HIGH) & ACPI_PM1_STATUS_HIGH_RTC_STS) != 0) {
      // Reading RTC register C acknowledges the pending RTC interrupt; the value is dropped.
      // The index port also holds the NMI mask: the operating system's index and mask are read
      // first and given back afterwards, so its RTC access goes on and NMIs are not left masked.
      UINT8 InterruptedRtcIndex = PortIn8(RTC_INDEX_PORT);
      PortOut8(RTC_INDEX_PORT, RtcRegisterCNmiMasked);
      PortIn8(RTC_DATA_PORT);
      PortOut8(RTC_INDEX_PORT, InterruptedRtcIndex);
    }
    PortOut16(ACPI_PM1_STATUS, Pm1StatusClear);
    PortOut32(ACPI_GPE0_STATUS, Gpe0StatusClear);
  }
  UINT8 Value = SmiRegRead8(FCH_SMI_CONTROL_9B);
  SmiRegWrite8(FCH_SMI_CONTROL_9B, (UINT8)(Value | FCH_SMI_CONTROL_9B_BIT4));
}

EFI_STATUS EFIAPI FanTimerCallback(EFI_HANDLE, VOID *, UINTN *) {
  UINT8 Enable = SmiRegRead8(FCH_SMI_TIMER_CONTROL);
  UINT8 Status = SmiRegRead8(FCH_SMI_TIMER_STATUS);
  // The enable and the pending status share bit 7 of their registers.
  static_assert(FCH_SMI_TIMER_CONTROL_ENABLE == FCH_SMI_TIMER_STATUS_PENDING);
  if (((Enable & Status) & FCH_SMI_TIMER_STATUS_PENDING) == 0) {
    return EFI_HANDLER_SUCCESS; // not a timer SMI of this driver
  }
  // The SMI may have interrupted an operating-system driver of the hardware monitor between its
  // index write and its data access: the register number it selected is read before the fan
  // update selects others and written back as the last access, so that driver goes on with
  // its own register.
  UINT8 InterruptedIndex = PortIn8(HwmIndexPort);
  UpdateFanCurve();
  SmiRegModify8(FCH_SMI_TIMER_STATUS, FCH_SMI_TIMER_STATUS_CLEAR, FCH_SMI_TIMER_STATUS_CLEAR);
  ClearPmStatus();
  PortOut8(HwmIndexPort, InterruptedIndex);
  return EFI_HANDLER_SUCCESS;
}

EFI_STATUS EFIAPI FanSmmInit(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *) {
  // The callback is registered before the timer is armed: an SMI source is never armed without
  // the handler that clears its status. When the registration fails nothing is touched, and the
  // SMM core unloads this copy for the error.
  // The callback touches no floating-point or SSE register, so no floating-point save.
  EFI_STATUS Status =
      DriverSmmBase->RegisterCallback(DriverSmmBase, ImageHandle, FanTimerCallback, FALSE, FALSE);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  ClearPmStatus();
  SmiRegModify8(FCH_SMI_CONTROL_C3, FCH_SMI_CONTROL_C3_FIELD, FCH_SMI_CONTROL_C3_FIELD_0100);
  SmiRegModify8(FCH_SMI_CONTROL_9B, FCH_SMI_CONTROL_9B_BIT5, FCH_SMI_CONTROL_9B_BIT5);
  // The period first, then the enable bit on top of the 0x7D it left in register 0x97.
  SmiRegWrite16(FCH_SMI_TIMER_VALUE, FCH_SMI_TIMER_PERIOD_32000);
  SmiRegModify8(FCH_SMI_TIMER_CONTROL, FCH_SMI_TIMER_CONTROL_ENABLE, FCH_SMI_TIMER_CONTROL_ENABLE);
  return Status;
}

extern "C" EFI_STATUS EFIAPI FanControlEntryPoint(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverGlobals(ImageHandle, SystemTable);
  return StartSmmDriver(ImageHandle, SystemTable, FanSmmInit);
}
