// The SMM core as the fuzzer configures it for the SMM drivers: which configuration-table entries
// exist, how many processors, which one executes and which one called, what the CPU index table
// says.
#pragma once

#include "smm_core.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace fuzz {

inline sim::SmmOptions SmmCoreOptions(FuzzedDataProvider &In) {
  sim::SmmOptions Options;
  // An input that runs out of bytes reads zeros: zero means the core as the board has it.
  Options.RuntimeServicesTable = In.ConsumeIntegralInRange<int>(0, 7) != 7;
  Options.CpuIndexTable = In.ConsumeIntegralInRange<int>(0, 3) != 3;
  Options.VariableServicesTable = In.ConsumeIntegralInRange<int>(0, 7) != 7;
  Options.NumberOfCpus = In.ConsumeBool() ? 1 + In.ConsumeIntegralInRange<size_t>(0, 7) : 2;
  // Counted from 1; 0 and one beyond the processors are what a broken core could say.
  size_t Executing = In.ConsumeIntegralInRange<size_t>(0, Options.NumberOfCpus + 1);
  Options.CurrentlyExecutingCpu = Executing == 0                          ? 1
                                  : Executing == Options.NumberOfCpus + 1 ? 0
                                                                          : Executing;
  Options.CallerCpu = In.ConsumeIntegralInRange<size_t>(0, Options.NumberOfCpus - 1);
  if (In.ConsumeBool()) {
    Options.CpuIndexTableValue = In.ConsumeBool()
                                     ? In.ConsumeIntegralInRange<uint64_t>(0, Options.NumberOfCpus)
                                     : In.ConsumeIntegral<uint64_t>();
  }
  return Options;
}

} // namespace fuzz
