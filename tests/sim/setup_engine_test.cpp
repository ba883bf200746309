// The setup engine's side of FINGERPRINT_AUTH_PROTOCOL, against a native stand-in of the
// authentication that does what a test asks: the answers to query codes 2 and 1, the records
// of the queries, the flags words after the run, and how the run ended.
#include "board.h"
#include "setup_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace sim {
namespace {

// What the stand-in authentication does in its run.
std::function<EFI_STATUS(UINT32 *, FINGERPRINT_QUERY_CALLBACK, UINT32 *)> RunBody;

EFI_STATUS EFIAPI StandInAuthenticate(UINT32 *AuthFlags, FINGERPRINT_QUERY_CALLBACK Query,
                                      UINT32 *ControlFlags) {
  return RunBody(AuthFlags, Query, ControlFlags);
}

class SetupEngineTest : public ::testing::Test {
protected:
  Board B;
  SetupEngine Engine{B};
  FINGERPRINT_AUTH_PROTOCOL Protocol{StandInAuthenticate};

  void InstallStandIn() {
    EFI_HANDLE Handle = nullptr;
    ASSERT_EQ(B.Install(&Handle, FINGERPRINT_AUTH_PROTOCOL_GUID, &Protocol), EFI_SUCCESS);
  }
};

std::array<uint8_t, PASSWORD_FORM_SIZE> Form(uint8_t Seed) {
  std::array<uint8_t, PASSWORD_FORM_SIZE> Bytes;
  for (size_t I = 0; I < Bytes.size(); I++) {
    Bytes[I] = (uint8_t)(Seed + I);
  }
  return Bytes;
}

TEST_F(SetupEngineTest, AnswersBothQueryCodesAndRecordsThemInOrder) {
  InstallStandIn();
  Engine.Answers.Stop = 0;
  Engine.Answers.AnswerFlag = 1;
  Engine.Answers.Administrator = Form(0x10);
  Engine.Answers.User = Form(0x30);
  for (size_t I = 0; I < 4; I++) {
    Engine.Answers.DiskCandidates[I] = Form((uint8_t)(0x50 + 0x10 * I));
  }
  uint8_t Answer[CALLER_ANSWER_SIZE];
  RunBody = [&](UINT32 *Auth, FINGERPRINT_QUERY_CALLBACK Query, UINT32 *Control) {
    std::memset(Answer, 0xEE, sizeof Answer);
    Query(QUERY_GO_ON, Answer);
    EXPECT_EQ(Answer[0], 0);
    EXPECT_EQ(Answer[1], 0xEE) << "code 2 writes byte 0 only";
    B.BootServices.Stall(500);
    Query(QUERY_PASSWORDS, Answer);
    *Auth |= AUTH_ADMIN_VERIFIED | AUTH_CONSOLE_RESTORED;
    *Control |= CONTROL_READER_FOUND;
    return EFI_SUCCESS;
  };
  AuthRun Run = Engine.Authenticate(AUTH_USER_ALONE_NOT_ENOUGH, CONTROL_RESET_MAPPING);

  ASSERT_EQ(Run.How, AuthOutcome::Returned) << Run.Message;
  EXPECT_EQ(Run.Status, EFI_SUCCESS);
  EXPECT_EQ(Run.AuthFlagsBefore, AUTH_USER_ALONE_NOT_ENOUGH);
  EXPECT_EQ(Run.AuthFlags,
            AUTH_USER_ALONE_NOT_ENOUGH | AUTH_ADMIN_VERIFIED | AUTH_CONSOLE_RESTORED);
  EXPECT_EQ(Run.ControlFlags, CONTROL_RESET_MAPPING | CONTROL_READER_FOUND);
  EXPECT_TRUE(Run.Problems.empty());

  EXPECT_EQ(Answer[0], 1);
  EXPECT_EQ(0, std::memcmp(Answer + 1, Form(0x10).data(), 12));
  EXPECT_EQ(0, std::memcmp(Answer + 13, Form(0x30).data(), 12));
  for (size_t I = 0; I < 4; I++) {
    EXPECT_EQ(0, std::memcmp(Answer + 25 + 12 * I, Form((uint8_t)(0x50 + 0x10 * I)).data(), 12))
        << "candidate " << I;
  }
  for (size_t I = 73; I < CALLER_ANSWER_SIZE; I++) {
    EXPECT_EQ(Answer[I], 0xEE) << "byte " << I << " is not the engine's to write";
  }

  ASSERT_EQ(Run.Queries.size(), 2u);
  EXPECT_EQ(Run.Queries[0].Code, QUERY_GO_ON);
  EXPECT_EQ(Run.Queries[0].Order, 0u);
  EXPECT_EQ(Run.Queries[0].Answer, std::vector<uint8_t>{0});
  EXPECT_EQ(Run.Queries[1].Code, QUERY_PASSWORDS);
  EXPECT_EQ(Run.Queries[1].Order, 1u);
  EXPECT_EQ(Run.Queries[1].Microseconds, 500u);
  EXPECT_EQ(Run.Queries[1].Answer, std::vector<uint8_t>(Answer, Answer + 73));
}

TEST_F(SetupEngineTest, StopAnswerToCodeTwo) {
  InstallStandIn();
  Engine.Answers.Stop = 1;
  RunBody = [](UINT32 *, FINGERPRINT_QUERY_CALLBACK Query, UINT32 *) {
    UINT8 Answer[CALLER_ANSWER_SIZE] = {};
    Query(QUERY_GO_ON, Answer);
    return Answer[0] != 0 ? EFI_ABORTED : EFI_SUCCESS;
  };
  AuthRun Run = Engine.Authenticate(0);
  EXPECT_EQ(Run.How, AuthOutcome::Returned);
  EXPECT_EQ(Run.Status, EFI_ABORTED);
}

TEST_F(SetupEngineTest, TellsHowTheRunEnded) {
  struct Case {
    const char *Name;
    std::function<EFI_STATUS(UINT32 *, FINGERPRINT_QUERY_CALLBACK, UINT32 *)> Body;
    AuthOutcome How;
  };
  Board *Board = &B;
  const Case Cases[] = {
      {"returns", [](UINT32 *, FINGERPRINT_QUERY_CALLBACK, UINT32 *) { return EFI_ABORTED; },
       AuthOutcome::Returned},
      {"halts",
       [](UINT32 *, FINGERPRINT_QUERY_CALLBACK, UINT32 *) -> EFI_STATUS {
         HaltGuarded("CpuDeadLoop");
       },
       AuthOutcome::Halted},
      {"waits for a key that never comes",
       [Board](UINT32 *, FINGERPRINT_QUERY_CALLBACK, UINT32 *) {
         UINTN Index;
         return Board->BootServices.WaitForEvent(1, &Board->SystemTable.ConIn->WaitForKey, &Index);
       },
       AuthOutcome::Stuck},
  };
  InstallStandIn();
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    RunBody = C.Body;
    AuthRun Run = Engine.Authenticate(0);
    EXPECT_EQ(Run.How, C.How) << OutcomeName(Run.How) << ": " << Run.Message;
    if (C.How == AuthOutcome::Returned) {
      EXPECT_EQ(Run.Status, EFI_ABORTED);
    }
  }
}

TEST_F(SetupEngineTest, WithoutTheProtocolNothingRuns) {
  AuthRun Run = Engine.Authenticate(AUTH_SYSTEM_PASSWORD_RUN);
  EXPECT_EQ(Run.How, AuthOutcome::NoProtocol);
  EXPECT_TRUE(Run.Queries.empty());
}

TEST_F(SetupEngineTest, CallerBitsAndUnknownQueriesAreProblems) {
  InstallStandIn();
  RunBody = [](UINT32 *Auth, FINGERPRINT_QUERY_CALLBACK Query, UINT32 *Control) {
    UINT8 Answer[CALLER_ANSWER_SIZE] = {};
    Query(7, Answer);
    *Auth &= ~AUTH_SYSTEM_PASSWORD_RUN; // the caller's bit
    *Control |= 0x100;                  // not a bit the driver reports
    *Auth |= AUTH_USER_VERIFIED;        // allowed
    return EFI_SUCCESS;
  };
  AuthRun Run = Engine.Authenticate(AUTH_SYSTEM_PASSWORD_RUN);
  ASSERT_EQ(Run.Problems.size(), 3u);
  EXPECT_NE(Run.Problems[0].find("query code 7"), std::string::npos) << Run.Problems[0];
  EXPECT_NE(Run.Problems[1].find("AuthFlags bits that belong to the caller: 0x00000002"),
            std::string::npos)
      << Run.Problems[1];
  EXPECT_NE(Run.Problems[2].find("ControlFlags"), std::string::npos) << Run.Problems[2];
  EXPECT_EQ(Run.AuthFlags, AUTH_USER_VERIFIED);
}

TEST_F(SetupEngineTest, TheLastScreenOfAHaltIsAFrameOfTheRun) {
  InstallStandIn();
  B.Console.QueueText(u"x");
  RunBody = [this](UINT32 *, FINGERPRINT_QUERY_CALLBACK, UINT32 *) -> EFI_STATUS {
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Out = B.SystemTable.ConOut;
    Out->OutputString(Out, u"prompt");
    EFI_INPUT_KEY Key;
    B.SystemTable.ConIn->ReadKeyStroke(B.SystemTable.ConIn, &Key);
    Out->ClearScreen(Out);
    Out->OutputString(Out, u" Fatal Error... System Halted");
    HaltGuarded("CpuDeadLoop");
  };
  AuthRun Run = Engine.Authenticate(0);
  EXPECT_EQ(Run.How, AuthOutcome::Halted);
  const auto &Frames = B.Console.Frames();
  ASSERT_EQ(Frames.size() - Run.FirstFrame, 2u);
  EXPECT_TRUE(Frames[Run.FirstFrame].Screen.Contains(u"prompt"));
  EXPECT_EQ(Frames.back().Reason, "end of run");
  EXPECT_TRUE(Frames.back().Screen.Contains(u"System Halted"));
}

TEST(SetupEngineFlags, NamesTheBits) {
  EXPECT_EQ(AuthFlagsText(0xC0000004),
            "0xC0000004 (console restored, user verified, administrator verified)");
  EXPECT_EQ(ControlFlagsText(0x22), "0x00000022 (reader found, reset drive mapping)");
  EXPECT_EQ(ControlFlagsText(0x101), "0x00000101 (other bits 0x101)");
  EXPECT_EQ(AuthFlagsText(0), "0x00000000");
}

} // namespace
} // namespace sim
