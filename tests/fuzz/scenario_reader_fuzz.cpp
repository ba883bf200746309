// boardsim's scenario reader with any text: it either refuses the scenario with a message that
// names the field (or says the text is no JSON), or accepts it; no other exception, no crash, no
// stack overflow, nothing a sanitizer reports. An accepted scenario is put on a board (variables,
// hardware of every boot, the fingerprint section's drives, reader, module and console, the SMM
// core's options): the board must take whatever the reader lets through.
#include "fuzz_support.h"

#include "auth_phase.h"
#include "expectations.h"
#include "scenario.h"
#include "smm_phase.h"

#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  std::string Text(reinterpret_cast<const char *>(Data), Size);
  boardsim::Scenario S;
  boardsim::SmmPlan Plan;
  try {
    S = boardsim::ParseScenarioText(Text, "input");
    Plan = boardsim::ParseSmmPlan(S.Raw);
    boardsim::ParseExpectations(S.Raw, S.Boots.size());
  } catch (const boardsim::ScenarioError &Error) {
    std::string Message = Error.what();
    if (Message.rfind("scenario field '", 0) != 0 &&
        Message.rfind("input is not valid JSON", 0) != 0) {
      fuzz::Finding("a refusal that names no field: " + Message);
    }
    fuzz::NoteValue(30, std::hash<std::string>{}(Message.substr(0, Message.find(':'))));
    return 0;
  }
  // Any other exception leaves this function: libFuzzer reports it as a finding.

  fuzz::FreshBoard B;
  boardsim::ApplyVariables(*B, S);
  for (const boardsim::HardwareSpec &Boot : S.Boots) {
    boardsim::ApplyHardware(*B, S.Hardware);
    boardsim::ApplyHardware(*B, Boot);
  }
  B->Smm.Configure(Plan.Core);
  std::ostringstream Out;
  boardsim::AuthPhase Authentication(*B, S, false, Out);
  Authentication.Prepare();
  fuzz::ExpectClean(*B, "the board with an accepted scenario", 0, false);
  return 0;
}
