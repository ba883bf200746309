// The board's console: text output into a screen of cells with a configurable list of text
// modes, text input from a scripted key queue (or the person at the terminal), and the
// Framework console-control switch between text and graphics. Everything the user saw is
// kept as frames, and every output call in a call log, so tests can check screens and order.
#pragma once

#include "console_control.h"
#include "efi_system_table.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class BootServices;

struct ConsoleCell {
  char16_t Char = u' ';
  uint8_t Attribute = 0x07;
  bool operator==(const ConsoleCell &) const = default;
};

struct TextMode {
  uint32_t Columns = 80;
  uint32_t Rows = 25;
  bool Valid = true; // QueryMode and SetMode refuse a mode that is not valid
};

// A screen of cells with its cursor: the live screen and every frame.
struct ScreenImage {
  uint32_t Columns = 0;
  uint32_t Rows = 0;
  std::vector<ConsoleCell> Cells;
  int32_t CursorColumn = 0;
  int32_t CursorRow = 0;
  bool CursorVisible = true;

  const ConsoleCell &At(uint32_t Column, uint32_t Row) const;
  std::u16string RowChars(uint32_t Row) const; // full width
  std::string Row(uint32_t Row) const;         // full width, UTF-8
  // All rows, trailing blanks of each row dropped, joined by '\n'.
  std::string Text() const;
  // The same with ANSI colours (EFI attribute: foreground bits 3:0, background bits 6:4);
  // every row is full width so the colours of the background show.
  std::string Ansi() const;
  // Row and column of the first occurrence of Text, or false.
  bool Find(const std::u16string &Text, uint32_t &Column, uint32_t &Row) const;
  bool Contains(const std::u16string &Text) const;
  bool Blank() const;                               // nothing but spaces
  bool SameContent(const ScreenImage &Other) const; // cells and size, not the cursor
};

struct ConsoleFrame {
  ScreenImage Screen;
  std::string Reason;        // "key wait", "key read", "clear screen", or a caller's reason
  uint64_t Microseconds = 0; // the board's clock when the frame was taken
  size_t CallIndex = 0;      // number of console calls logged before the frame
  bool GraphicsMode = false; // console control was in graphics mode: the text was not visible
};

struct ConsoleCall {
  ConsoleCall() = default;
  explicit ConsoleCall(std::string CallName, uint64_t A = 0, uint64_t B = 0)
      : Name(std::move(CallName)), First(A), Second(B) {}

  std::string Name;    // SetMode, SetAttribute, SetCursorPosition, OutputString, ...
  uint64_t First = 0;  // first numeric argument
  uint64_t Second = 0; // second numeric argument (SetCursorPosition's row)
  std::u16string Text; // OutputString's string; ReadKeyStroke's key as text
  EFI_STATUS Status = EFI_SUCCESS;
  // "SetMode(2)", "SetAttribute(0x1F)", "SetCursorPosition(49, 21)", "OutputString(\" x\\n\\r\")",
  // "ClearScreen", "EnableCursor(FALSE)", "Reset(FALSE)", "ReadKeyStroke -> ESC",
  // "ReadKeyStroke -> none", "WaitForKey", "ConsoleControl.SetMode(Text)".
  std::string Describe() const;
};

struct ScriptedKey {
  uint16_t ScanCode = 0;
  char16_t UnicodeChar = 0;
  // The key is pressed when the board's clock (advanced by Stall) reaches this time; a wait
  // for a key lets the time pass.
  uint64_t NotBeforeMicroseconds = 0;
};

// Keys from somewhere other than the script: the person at the terminal (boardsim
// --interactive). Poll never blocks; Wait blocks and returns false when no key will come.
class KeySource {
public:
  virtual ~KeySource() = default;
  virtual bool Poll(EFI_INPUT_KEY &Key) = 0;
  virtual bool Wait(EFI_INPUT_KEY &Key) = 0;
  // A new frame: the screen changed while the driver waits for or polls the keyboard.
  virtual void Show(const ConsoleFrame &Frame) { (void)Frame; }
  // The board's clock when the driver polls the keyboard, so a source can pace virtual time to
  // real time (a countdown that polls and stalls then takes as long as it would on the notebook).
  virtual void Pace(uint64_t Microseconds) { (void)Microseconds; }
  // No key will come from this source any more (the end of the terminal's input).
  virtual bool Ended() const { return false; }
};

// Names and values of keys for scripts: "ESC", "F1".."F12", "ENTER", "BACKSPACE", "TAB",
// "UP", "DOWN", "RIGHT", "LEFT", "HOME", "END", "INSERT", "DELETE", "PAGEUP", "PAGEDOWN",
// "SPACE".
bool NamedKey(const std::string &Name, EFI_INPUT_KEY &Key);
std::string KeyName(const EFI_INPUT_KEY &Key);

inline constexpr UINT16 SCAN_UP = 0x01;
inline constexpr UINT16 SCAN_DOWN = 0x02;
inline constexpr UINT16 SCAN_RIGHT = 0x03;
inline constexpr UINT16 SCAN_LEFT = 0x04;

class Console {
public:
  Console();
  ~Console();
  Console(const Console &) = delete;
  Console &operator=(const Console &) = delete;

  // Puts the console on new handles of the board's boot services and into the system table.
  // Called by the board at construction and at every reboot (which also brings the screen back
  // to mode 0). The console installed last answers the protocols' members.
  void Install(BootServices &Services, EFI_SYSTEM_TABLE &System);

  // ---- output configuration and state ----
  // The console's modes; mode 0 must exist. Takes effect at once: the console goes to mode 0
  // and the screen is cleared. Default: 80x25, 80x50, 100x31, 128x40.
  void SetModes(const std::vector<TextMode> &Modes);
  const std::vector<TextMode> &Modes() const { return ModeList; }
  const SIMPLE_TEXT_OUTPUT_MODE &ModeRecord() const { return Mode; }
  const ScreenImage &Screen() const { return Live; }
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Output() { return &OutputProtocol; }
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *Input() { return &InputProtocol; }

  // ---- what the user saw ----
  const std::vector<ConsoleFrame> &Frames() const { return FrameList; }
  const std::vector<ConsoleCall> &Calls() const { return CallLog; }
  // The log's descriptions, optionally only the calls with one of the given names.
  std::vector<std::string> CallTexts(const std::vector<std::string> &Names = {}) const;
  // Takes a frame now when the screen differs from the last frame and is not blank.
  void CaptureFrame(const std::string &Reason);
  void ClearRecords();

  // ---- keys ----
  void QueueKey(uint16_t ScanCode, char16_t UnicodeChar, uint64_t NotBeforeMicroseconds = 0);
  // Characters as keys; '\r' and '\n' are Enter, '\b' Backspace, '\t' Tab, '\x1b' ESC.
  void QueueText(const std::u16string &Text, uint64_t NotBeforeMicroseconds = 0);
  // A named key (see NamedKey); false for an unknown name.
  bool QueueNamed(const std::string &Name, uint64_t NotBeforeMicroseconds = 0);
  const std::deque<ScriptedKey> &PendingKeys() const { return Keys; }
  void ClearKeys() { Keys.clear(); }
  // Keys the driver read, in order.
  const std::vector<EFI_INPUT_KEY> &KeysRead() const { return ReadLog; }
  size_t KeyReads() const { return KeyReadCount; } // ReadKeyStroke calls, with or without key
  // Keys from elsewhere once the queue is empty (not owned); nullptr for none.
  void SetKeySource(KeySource *Source) { Keyboard = Source; }
  // A driver that keeps polling ReadKeyStroke (with Stall between the polls) when no key is left
  // in the script and none can come from a source would poll for ever: once this much board time
  // has passed since the first poll that found nothing left, ReadKeyStroke ends the run as
  // stuck. A minute: ten times the longest countdown the drivers show.
  uint64_t IdlePollLimitMicroseconds = 60'000'000;
  // Whether the driver has polled beyond that bound (ReadKeyStroke's caller then halts the run).
  bool PolledPastTheLastKey() const;
  // A new run (or boot) counts its polls afresh.
  void RestartIdleBound() { Idle = false; }

  // ---- console control ----
  bool ConsoleControlPresent() const { return ControlPresent; }
  // Takes EFI_CONSOLE_CONTROL_PROTOCOL off the board (and keeps it off across reboots).
  void RemoveConsoleControl();
  // The console-control mode now, and the one the firmware is in at power-on (graphics: the
  // boot logo is up when the setup engine reaches its password checkpoints).
  EFI_CONSOLE_CONTROL_SCREEN_MODE ControlMode = EfiConsoleControlScreenGraphics;
  EFI_CONSOLE_CONTROL_SCREEN_MODE PowerOnControlMode = EfiConsoleControlScreenGraphics;
  std::vector<EFI_CONSOLE_CONTROL_SCREEN_MODE> ControlSetModes;

  EFI_HANDLE InputHandle = nullptr;
  EFI_HANDLE OutputHandle = nullptr;
  EFI_HANDLE ControlHandle = nullptr;

  // ---- used by the protocol functions ----
  EFI_STATUS Reset(BOOLEAN ExtendedVerification);
  EFI_STATUS OutputString(const CHAR16 *String);
  EFI_STATUS TestString(const CHAR16 *String);
  EFI_STATUS QueryMode(UINTN ModeNumber, UINTN *Columns, UINTN *Rows);
  EFI_STATUS SetMode(UINTN ModeNumber);
  EFI_STATUS SetAttribute(UINTN Attribute);
  EFI_STATUS ClearScreen();
  EFI_STATUS SetCursorPosition(UINTN Column, UINTN Row);
  EFI_STATUS EnableCursor(BOOLEAN Visible);
  EFI_STATUS ReadKeyStroke(EFI_INPUT_KEY *Key);
  EFI_STATUS ResetInput(BOOLEAN ExtendedVerification);
  bool KeyWaiting(); // WaitForKey's poll: a key can be read now
  bool WaitForKey(); // WaitForKey's wait: let time pass until a key is pressed
  EFI_STATUS ControlSetMode(EFI_CONSOLE_CONTROL_SCREEN_MODE NewMode);

private:
  void Log(ConsoleCall Call);
  void Resize(const TextMode &M);
  void Fill(uint8_t Attribute);
  void NewLine();
  void PutChar(char16_t C);
  void SyncCursor();
  bool TakeFrame(const std::string &Reason, bool Force);
  bool FetchFromSource(bool Block);

  BootServices *Owner = nullptr;
  std::vector<TextMode> ModeList;
  SIMPLE_TEXT_OUTPUT_MODE Mode{};
  ScreenImage Live;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL OutputProtocol{};
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL InputProtocol{};
  EFI_CONSOLE_CONTROL_PROTOCOL ControlProtocol{};
  bool ControlPresent = true;

  std::vector<ConsoleFrame> FrameList;
  std::vector<ConsoleCall> CallLog;
  std::deque<ScriptedKey> Keys;
  std::vector<EFI_INPUT_KEY> ReadLog;
  size_t KeyReadCount = 0;
  KeySource *Keyboard = nullptr;
  bool Idle = false;      // the last poll found no key left and no source that could give one
  uint64_t IdleSince = 0; // board time of the first such poll
};

} // namespace sim
