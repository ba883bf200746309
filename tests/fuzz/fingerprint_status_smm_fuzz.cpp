// FingerprintStatusSmm on the board: its two-phase start with the SMM core's tables, processors
// and CPU index from the fuzzer, then under the operating system software SMIs with any value
// and EAX, the three variables it reads ("VELTRASetup", "FPExistFlag", "Setup") of any size and
// content, changed between the SMIs. Every SMI must return and the board must stay clean (no
// write outside the processors' save-state records).
#include "fuzz_support.h"

#include "guids.h"
#include "setup_variables.h"
#include "smm_options.h"

namespace {

void PutVariables(FuzzedDataProvider &In, sim::Board &B) {
  fuzz::MaybePut(In, B, u"VELTRASetup", VELTRASETUP_GUID, VELTRA_SETUP_SIZE);
  fuzz::MaybePut(In, B, u"FPExistFlag", EFI_GLOBAL_VARIABLE, 1);
  fuzz::MaybePut(In, B, u"Setup", SETUP_GUID, SETUP_VARIABLE_SIZE);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzedDataProvider In(Data, Size);
  fuzz::FreshBoard B;
  B->Smm.Configure(fuzz::SmmCoreOptions(In));
  PutVariables(In, *B);

  sim::RunResult Result = B->RunDriver("FingerprintStatusSmm");
  fuzz::NoteBehaviour(*B);
  fuzz::ExpectReturned(*B, Result, "FingerprintStatusSmm");

  B->EndBootServices();
  static constexpr uint64_t Values[] = {0x534D1020, 0x534D8420, 0x534D8920};
  int Smis = 16 - In.ConsumeIntegralInRange<int>(0, 15);
  for (int I = 0; I < Smis && In.remaining_bytes() > 0; I++) {
    if (In.ConsumeIntegralInRange<int>(0, 5) == 5) {
      PutVariables(In, *B);
    }
    uint64_t Value = In.ConsumeIntegralInRange<int>(0, 5) == 5 ? In.ConsumeIntegral<uint32_t>()
                                                               : In.PickValueInArray(Values);
    uint32_t Eax = In.ConsumeIntegral<uint32_t>();
    B->Variables.ClearLog();
    uint32_t Answer = B->Smm.TriggerSoftwareSmi(Value, Eax);
    fuzz::NoteValue(20 + Value % 7, Answer);
    fuzz::NoteBehaviour(*B);
    fuzz::ExpectClean(*B, "FingerprintStatusSmm's SMI " + std::to_string(I + 1));
  }
  return 0;
}
