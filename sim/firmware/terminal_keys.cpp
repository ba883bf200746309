#include "terminal_keys.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace sim {
namespace {

struct SequenceKey {
  const char *Sequence; // after the ESC
  uint16_t ScanCode;
};

// What xterm-like terminals and the Linux console send for the keys a firmware dialog knows.
constexpr SequenceKey Sequences[] = {
    {"[A", SCAN_UP},   {"[B", SCAN_DOWN},  {"[C", SCAN_RIGHT}, {"[D", SCAN_LEFT}, {"OA", SCAN_UP},
    {"OB", SCAN_DOWN}, {"OC", SCAN_RIGHT}, {"OD", SCAN_LEFT},  {"[H", 0x05},      {"[F", 0x06},
    {"OH", 0x05},      {"OF", 0x06},       {"[1~", 0x05},      {"[2~", 0x07},     {"[3~", 0x08},
    {"[4~", 0x06},     {"[5~", 0x09},      {"[6~", 0x0A},      {"[7~", 0x05},     {"[8~", 0x06},
    {"OP", SCAN_F1},   {"OQ", SCAN_F2},    {"OR", SCAN_F3},    {"OS", SCAN_F4},   {"[[A", SCAN_F1},
    {"[[B", SCAN_F2},  {"[[C", SCAN_F3},   {"[[D", SCAN_F4},   {"[[E", 0x0F},     {"[11~", SCAN_F1},
    {"[12~", SCAN_F2}, {"[13~", SCAN_F3},  {"[14~", SCAN_F4},  {"[15~", 0x0F},    {"[17~", 0x10},
    {"[18~", 0x11},    {"[19~", 0x12},     {"[20~", 0x13},     {"[21~", 0x14},    {"[23~", 0x15},
    {"[24~", 0x16},
};

void WriteAll(int Fd, const std::string &Text) {
  size_t Done = 0;
  while (Done < Text.size()) {
    ssize_t N = write(Fd, Text.data() + Done, Text.size() - Done);
    if (N <= 0) {
      return;
    }
    Done += (size_t)N;
  }
}

} // namespace

// ---- decoder -----------------------------------------------------------------------------------
void TerminalKeyDecoder::Emit(uint16_t ScanCode, char16_t UnicodeChar) {
  Keys.push_back({ScanCode, UnicodeChar});
}

void TerminalKeyDecoder::Finish(const std::string &Done) {
  for (const SequenceKey &S : Sequences) {
    if (Done.compare(1, std::string::npos, S.Sequence) == 0) {
      Emit(S.ScanCode, 0);
      return;
    }
  }
  // Any other sequence (a key with modifiers, a mouse report) means nothing to the dialogs.
}

void TerminalKeyDecoder::Feed(uint8_t Byte) {
  if (Utf8Left > 0) {
    if ((Byte & 0xC0) == 0x80) {
      Utf8Value = (Utf8Value << 6) | (Byte & 0x3F);
      if (--Utf8Left == 0 && Utf8Value <= 0xFFFF) {
        Emit(0, (char16_t)Utf8Value);
      }
      return;
    }
    Utf8Left = 0; // a cut character: take the byte afresh
  }
  if (!Sequence.empty()) {
    Sequence += (char)Byte;
    if (Sequence.size() == 2) {
      if (Byte == 0x1B) { // ESC ESC: the first was the key
        Emit(SCAN_ESC, 0);
        Sequence = "\x1b";
      } else if (Byte != '[' && Byte != 'O') { // ESC and a character (Alt+key)
        Sequence.clear();
        Emit(SCAN_ESC, 0);
        Feed(Byte);
      }
      return;
    }
    bool Complete = Sequence[1] == 'O' ? Sequence.size() == 3
                    : Sequence.size() == 3 && Byte == '['
                        ? false // the Linux console's "ESC [ [ letter"
                        : Byte >= 0x40 && Byte <= 0x7E;
    if (Complete) {
      std::string Done;
      Done.swap(Sequence);
      Finish(Done);
    } else if (Sequence.size() > 8) {
      Sequence.clear();
    }
    return;
  }
  bool CarriageReturn = false;
  switch (Byte) {
  case 0x1B:
    Sequence = "\x1b";
    break;
  case '\r':
    Emit(0, CHAR_CARRIAGE_RETURN);
    CarriageReturn = true;
    break;
  case '\n':
    if (!LastWasCarriageReturn) { // "\r\n" of a piped line is one Enter
      Emit(0, CHAR_CARRIAGE_RETURN);
    }
    break;
  case 0x7F:
  case 0x08:
    Emit(0, CHAR_BACKSPACE);
    break;
  case 0x09:
    Emit(0, CHAR_TAB);
    break;
  case 0x03: // Ctrl-C
  case 0x04: // Ctrl-D
    EndOfInput = true;
    break;
  default:
    if (Byte < 0x20) {
      break;
    }
    if (Byte < 0x80) {
      Emit(0, (char16_t)Byte);
    } else if ((Byte & 0xE0) == 0xC0) {
      Utf8Value = Byte & 0x1F;
      Utf8Left = 1;
    } else if ((Byte & 0xF0) == 0xE0) {
      Utf8Value = Byte & 0x0F;
      Utf8Left = 2;
    } else if ((Byte & 0xF8) == 0xF0) {
      Utf8Value = Byte & 0x07;
      Utf8Left = 3;
    }
  }
  LastWasCarriageReturn = CarriageReturn;
}

void TerminalKeyDecoder::Flush() {
  if (Sequence.empty()) {
    return;
  }
  std::string Rest = Sequence.substr(1);
  Sequence.clear();
  Emit(SCAN_ESC, 0);
  for (char C : Rest) {
    Feed((uint8_t)C);
  }
}

bool TerminalKeyDecoder::Pending() const {
  return !Sequence.empty();
}

bool TerminalKeyDecoder::Next(EFI_INPUT_KEY &Key) {
  if (Keys.empty()) {
    return false;
  }
  Key = Keys.front();
  Keys.pop_front();
  return true;
}

// ---- the terminal ------------------------------------------------------------------------------
TerminalKeys::TerminalKeys(int InFd, int OutFd) : In(InFd), Out(OutFd) {
  InIsTerminal = isatty(In) == 1;
  OutIsTerminal = Out >= 0 && isatty(Out) == 1;
  if (InIsTerminal && tcgetattr(In, &Saved) == 0) {
    struct termios Raw = Saved;
    Raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
    Raw.c_iflag &= ~(IXON | ICRNL | INLCR | ISTRIP);
    Raw.c_cc[VMIN] = 1;
    Raw.c_cc[VTIME] = 0;
    RawMode = tcsetattr(In, TCSAFLUSH, &Raw) == 0;
  }
}

TerminalKeys::~TerminalKeys() {
  Leave();
  if (RawMode) {
    tcsetattr(In, TCSAFLUSH, &Saved);
  }
}

bool TerminalKeys::ReadAvailable(int TimeoutMilliseconds) {
  if (InputClosed) {
    return false;
  }
  struct pollfd Ready = {In, POLLIN, 0};
  if (poll(&Ready, 1, TimeoutMilliseconds) <= 0) {
    return false;
  }
  uint8_t Bytes[64];
  ssize_t N = read(In, Bytes, sizeof Bytes);
  if (N <= 0) {
    InputClosed = true;
    return false;
  }
  for (ssize_t I = 0; I < N; I++) {
    Decoder.Feed(Bytes[I]);
  }
  return true;
}

bool TerminalKeys::Take(EFI_INPUT_KEY &Key, int TimeoutMilliseconds) {
  if (Decoder.Next(Key)) {
    return true;
  }
  ReadAvailable(TimeoutMilliseconds);
  // The rest of an escape sequence follows at once; a lone ESC is the key.
  while (Decoder.Pending() && ReadAvailable(40)) {
  }
  if (Decoder.Pending()) {
    Decoder.Flush();
  }
  return Decoder.Next(Key);
}

bool TerminalKeys::Poll(EFI_INPUT_KEY &Key) {
  return !Ended() && Take(Key, 0);
}

bool TerminalKeys::Wait(EFI_INPUT_KEY &Key) {
  while (true) {
    if (Decoder.Next(Key)) {
      return true;
    }
    if (Ended()) {
      return false;
    }
    if (Take(Key, -1)) {
      return true;
    }
  }
}

void TerminalKeys::Show(const ConsoleFrame &Frame) {
  if (!OutIsTerminal) {
    return;
  }
  std::string Text;
  if (!OnAlternateScreen) {
    Text += "\x1b[?1049h";
    OnAlternateScreen = true;
  }
  Text += "\x1b[H\x1b[2J" + Frame.Screen.Ansi();
  Text += "\x1b[0m-- the notebook's console";
  Text += Frame.GraphicsMode ? " (in graphics mode: the user would not see this text)" : "";
  Text += "; Ctrl-C: no more keys --";
  if (Frame.Screen.CursorVisible) {
    Text += "\x1b[" + std::to_string(Frame.Screen.CursorRow + 1) + ";" +
            std::to_string(Frame.Screen.CursorColumn + 1) + "H\x1b[?25h";
  } else {
    Text += "\x1b[?25l";
  }
  WriteAll(Out, Text);
}

void TerminalKeys::Pace(uint64_t Microseconds) {
  if (!InIsTerminal) {
    return; // a script on a pipe runs at full speed
  }
  if (Paced && Microseconds > LastPacedMicroseconds) {
    uint64_t Step = std::min<uint64_t>(Microseconds - LastPacedMicroseconds, 200000);
    usleep((useconds_t)Step);
  }
  Paced = true;
  LastPacedMicroseconds = Microseconds;
}

void TerminalKeys::Leave() {
  if (OnAlternateScreen) {
    WriteAll(Out, "\x1b[0m\x1b[?25h\x1b[?1049l");
    OnAlternateScreen = false;
  }
}

} // namespace sim
