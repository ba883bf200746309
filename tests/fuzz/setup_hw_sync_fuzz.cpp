// SetupHwSyncDxe on the board with every outside input from the fuzzer: "Setup" and the port
// records of any size and content, the detect data, the three straps, the graphics device behind
// bridge 0:2.0 and the TPM identity. The image must return and leave the board clean.
#include "fuzz_support.h"

#include "guids.h"
#include "setup_variables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  fuzz::FreshBoard B;
  fuzz::MaybePut(In, *B, u"Setup", SETUP_GUID, SETUP_VARIABLE_SIZE);
  for (const char16_t *Name : {u"PNP0400_0_NV", u"PNP0501_0_NV", u"PNP0501_1_NV"}) {
    fuzz::MaybePut(In, *B, Name, PNP_NV_GUID, 3);
  }
  fuzz::MaybePut(In, *B, u"SetupCom1DetectData", SETUP_COM1_DETECT_GUID, 2);
  fuzz::MaybePut(In, *B, u"SetupCom2DetectData", SETUP_COM2_DETECT_GUID, 2);
  B->Fch.SetStrap(0xFED80134, In.ConsumeBool());
  B->Fch.SetStrap(0xFED80135, In.ConsumeBool());
  B->Fch.SetStrap(0xFED801E0, In.ConsumeBool());
  if (In.ConsumeBool()) {
    static constexpr uint16_t Vendors[] = {0x10DE, 0x1002, 0x8086, 0xFFFF, 0x0000};
    uint16_t Vendor =
        In.ConsumeBool() ? In.PickValueInArray(Vendors) : In.ConsumeIntegral<uint16_t>();
    B->Pcie.AttachBehind({0, 2, 0}, 0, 0, Vendor, In.ConsumeIntegral<uint16_t>());
  }
  if (In.ConsumeBool()) {
    for (uint8_t &Byte : B->Tpm.Identity) {
      Byte = In.ConsumeIntegral<uint8_t>();
    }
  }

  sim::RunResult Result = B->RunDriver("SetupHwSyncDxe");
  fuzz::NoteBehaviour(*B);
  fuzz::ExpectReturned(*B, Result, "SetupHwSyncDxe");
  return 0;
}
