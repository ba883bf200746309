// FanControlSmm on the board: its two-phase start with the SMM core's tables and processors from
// the fuzzer and the south bridge's SMI registers and ACPI ports as the fuzzer leaves them, then
// under the operating system timer SMIs and other SMIs with temperatures, band markers, port
// 0xE82, hardware-monitor register 0x17 and the ACPI mode from the fuzzer. Every SMI must return,
// and the board must stay clean.
#include "fuzz_support.h"

#include "smm_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  fuzz::FreshBoard B;
  B->Smm.Configure(fuzz::SmmCoreOptions(In));
  int Registers = In.ConsumeIntegralInRange<int>(0, 8);
  for (int I = 0; I < Registers; I++) {
    B->Fch.SetSmiRegister(In.ConsumeIntegral<uint8_t>(), In.ConsumeIntegral<uint8_t>());
  }
  B->Io.Pm.Pm1Status = In.ConsumeIntegral<uint16_t>();
  B->Io.Pm.Pm1Enable = In.ConsumeIntegral<uint16_t>();
  B->Io.Pm.Gpe0Status = In.ConsumeIntegral<uint32_t>();

  sim::RunResult Result = B->RunDriver("FanControlSmm");
  fuzz::NoteBehaviour(*B);
  fuzz::ExpectReturned(*B, Result, "FanControlSmm");

  B->EndBootServices();
  B->Io.InputE82.Value = In.ConsumeIntegral<uint8_t>();
  B->Io.Monitor.Registers[sim::HardwareMonitor::kFanUpdateBlock] = In.ConsumeIntegral<uint8_t>();
  if (In.ConsumeBool()) {
    B->Io.Pm.Pm1Control |= sim::AcpiPmBlock::kSciEnable;
  }
  int Ticks = 24 - In.ConsumeIntegralInRange<int>(0, 23);
  for (int Tick = 0; Tick < Ticks && In.remaining_bytes() > 0; Tick++) {
    B->Io.Monitor.SetTemperature(In.ConsumeIntegral<uint8_t>());
    if (In.ConsumeIntegralInRange<int>(0, 7) == 7) {
      B->Io.Monitor.Registers[sim::HardwareMonitor::kBandMarker] = In.ConsumeIntegral<uint8_t>();
    }
    B->Hardware.ClearTrace();
    if (In.ConsumeIntegralInRange<int>(0, 7) == 7) {
      B->Smm.TriggerSoftwareSmi(In.ConsumeIntegral<uint32_t>(), In.ConsumeIntegral<uint32_t>());
    } else {
      B->Smm.TimerTick();
    }
    fuzz::NoteBehaviour(*B);
    fuzz::ExpectClean(*B, "FanControlSmm's SMI " + std::to_string(Tick + 1));
  }
  return 0;
}
