// The terminal key source of boardsim --interactive: bytes a terminal sends become EFI keys,
// and a piped input feeds the console until it ends.
#include "board.h"
#include "terminal_keys.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace sim {
namespace {

std::vector<std::string> Decode(const std::string &Bytes, bool Flush = true) {
  TerminalKeyDecoder Decoder;
  for (char C : Bytes) {
    Decoder.Feed((uint8_t)C);
  }
  if (Flush) {
    Decoder.Flush();
  }
  std::vector<std::string> Names;
  EFI_INPUT_KEY Key;
  while (Decoder.Next(Key)) {
    Names.push_back(KeyName(Key));
  }
  return Names;
}

using Names = std::vector<std::string>;

TEST(TerminalKeyDecoder, TurnsTerminalBytesIntoKeys) {
  struct Case {
    const char *What;
    std::string Bytes;
    Names Keys;
  };
  const Case Cases[] = {
      {"letters and Enter", "ab\r", {"'a'", "'b'", "ENTER"}},
      {"a piped line ends in one Enter", "x\r\ny\n", {"'x'", "ENTER", "'y'", "ENTER"}},
      {"DEL and ^H are Backspace", "\x7f\x08", {"BACKSPACE", "BACKSPACE"}},
      {"xterm F1 to F4", "\x1bOP\x1bOQ\x1bOR\x1bOS", {"F1", "F2", "F3", "F4"}},
      {"vt220 F1 and F3", "\x1b[11~\x1b[13~", {"F1", "F3"}},
      {"Linux console F1", "\x1b[[A", {"F1"}},
      {"arrows", "\x1b[A\x1b[B\x1b[C\x1b[D", {"UP", "DOWN", "RIGHT", "LEFT"}},
      {"a lone ESC", "\x1b", {"ESC"}},
      {"ESC ESC F1", "\x1b\x1b\x1bOP", {"ESC", "ESC", "F1"}},
      {"ESC then a letter", "\x1bq", {"ESC", "'q'"}},
      {"a sequence with modifiers means nothing", "\x1b[1;5A!", {"'!'"}},
      {"UTF-8", "\xc3\xa9\xe2\x94\x80", {"'\u00e9'", "'\u2500'"}},
      {"other control characters are dropped",
       "\x01\x1a"
       "z",
       {"'z'"}},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(Decode(C.Bytes), C.Keys) << C.What;
  }
  // Without the flush a lone ESC waits for the rest of a possible sequence.
  EXPECT_EQ(Decode("\x1b", false), Names{});
}

TEST(TerminalKeyDecoder, CtrlCAndCtrlDEndTheInput) {
  for (const char *Bytes : {"a\x03", "a\x04"}) {
    TerminalKeyDecoder Decoder;
    for (const char *P = Bytes; *P; P++) {
      Decoder.Feed((uint8_t)*P);
    }
    EXPECT_TRUE(Decoder.Ended());
  }
}

TEST(TerminalKeys, PipedKeysReachTheDriverAndTheEndOfInputLeavesItStuck) {
  Board B;
  int Pipe[2];
  ASSERT_EQ(pipe(Pipe), 0);
  const std::string Bytes = "ok\r\x1bOR\x1b";
  ASSERT_EQ(write(Pipe[1], Bytes.data(), Bytes.size()), (ssize_t)Bytes.size());
  close(Pipe[1]);
  TerminalKeys Terminal(Pipe[0], -1);
  B.Console.SetKeySource(&Terminal);

  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *In = B.SystemTable.ConIn;
  Names Read;
  RunResult Result = B.RunGuardedCall("reader", [&]() -> uint64_t {
    for (;;) {
      UINTN Index;
      B.BootServices.WaitForEvent(1, &In->WaitForKey, &Index);
      EFI_INPUT_KEY Key;
      if (In->ReadKeyStroke(In, &Key) == EFI_SUCCESS) {
        Read.push_back(KeyName(Key));
      }
    }
  });
  B.Console.SetKeySource(nullptr);
  close(Pipe[0]);
  EXPECT_EQ(Read, (Names{"'o'", "'k'", "ENTER", "F3", "ESC"}));
  EXPECT_EQ(Result.How, Outcome::Halted);
  EXPECT_NE(Result.Message.find("stuck"), std::string::npos) << Result.Message;
}

} // namespace
} // namespace sim
