// PciBridgeProbeDxe on the board with its outside inputs from the fuzzer: "Setup" of any size and
// content, the device behind the south bridge's bridge 0:14.4 (none, or any vendor and device),
// the bridge's register 0x42 at power-on and the bus-number bits the bridge implements. The image
// must return and leave the board clean.
#include "fuzz_support.h"

#include "guids.h"
#include "setup_variables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  fuzz::FreshBoard B;
  fuzz::MaybePut(In, *B, u"Setup", SETUP_GUID, SETUP_VARIABLE_SIZE);
  sim::PcieConfigSpace::Location Bridge{0, 0x14, 4};
  // An input that runs out of bytes reads zeros: zero means the device the notebook has.
  if (In.ConsumeIntegralInRange<int>(0, 5) != 5) {
    uint8_t Device = In.ConsumeBool() ? In.ConsumeIntegralInRange<uint8_t>(0, 31) : 5;
    uint8_t Function = In.ConsumeBool() ? In.ConsumeIntegralInRange<uint8_t>(0, 7) : 0;
    uint16_t Vendor = In.ConsumeBool() ? In.ConsumeIntegral<uint16_t>() : 0x14E4;
    B->Pcie.AttachBehind(Bridge, Device, Function, Vendor, In.ConsumeIntegral<uint16_t>());
  }
  (*B->Pcie.Function(Bridge))[0x42] = In.ConsumeIntegral<uint8_t>();
  if (In.ConsumeBool()) {
    B->Pcie.LimitBusNumbers(Bridge, In.ConsumeIntegral<uint8_t>());
  }

  sim::RunResult Result = B->RunDriver("PciBridgeProbeDxe");
  fuzz::NoteBehaviour(*B);
  fuzz::ExpectReturned(*B, Result, "PciBridgeProbeDxe");
  return 0;
}
