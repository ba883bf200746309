// Keys from the person at the terminal for the board's console (boardsim --interactive): the
// terminal goes into raw mode, the bytes it sends become EFI keys (escape sequences for the
// function and cursor keys, Enter, Backspace), and every new screen of the console is drawn in
// colour. Ctrl-C or Ctrl-D (or the end of a piped input) means no more keys: a driver waiting
// for one then ends its run as stuck.
#pragma once

#include "console.h"

#include <termios.h>

#include <cstdint>
#include <deque>
#include <string>

namespace sim {

// Turns the bytes a terminal sends into keys. A lone ESC is ambiguous (the start of a sequence
// or the ESC key); Flush decides it is the key when no more bytes followed in time.
class TerminalKeyDecoder {
public:
  void Feed(uint8_t Byte);
  void Flush();         // a pending ESC (or a cut sequence) becomes the ESC key
  bool Pending() const; // bytes of an unfinished sequence are waiting
  bool Next(EFI_INPUT_KEY &Key);
  bool Ended() const { return EndOfInput; } // Ctrl-C or Ctrl-D seen

private:
  void Finish(const std::string &Sequence);
  void Emit(uint16_t ScanCode, char16_t UnicodeChar);

  std::string Sequence; // an escape sequence in progress, ESC included
  uint32_t Utf8Value = 0;
  int Utf8Left = 0;
  bool LastWasCarriageReturn = false;
  bool EndOfInput = false;
  std::deque<EFI_INPUT_KEY> Keys;
};

class TerminalKeys : public KeySource {
public:
  // Reads InFd (raw mode when it is a terminal) and draws on OutFd when that is a terminal.
  explicit TerminalKeys(int InFd = 0, int OutFd = 1);
  ~TerminalKeys() override;
  TerminalKeys(const TerminalKeys &) = delete;
  TerminalKeys &operator=(const TerminalKeys &) = delete;

  bool Poll(EFI_INPUT_KEY &Key) override;
  bool Wait(EFI_INPUT_KEY &Key) override;
  void Show(const ConsoleFrame &Frame) override;
  void Pace(uint64_t Microseconds) override;

  // Back to the terminal's normal screen (the drawing uses the alternate screen), for the
  // report between runs.
  void Leave();
  bool Ended() const override { return Decoder.Ended() || InputClosed; }

private:
  bool ReadAvailable(int TimeoutMilliseconds);
  bool Take(EFI_INPUT_KEY &Key, int TimeoutMilliseconds);

  int In;
  int Out;
  bool InIsTerminal = false;
  bool OutIsTerminal = false;
  bool RawMode = false;
  bool OnAlternateScreen = false;
  bool InputClosed = false;
  bool Paced = false;
  uint64_t LastPacedMicroseconds = 0;
  struct termios Saved {};
  TerminalKeyDecoder Decoder;
};

} // namespace sim
