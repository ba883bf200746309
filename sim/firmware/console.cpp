#include "console.h"

#include "boot_services.h"
#include "guids.h"
#include "service_calls.h"
#include "status_names.h"
#include "variable_store.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {
namespace {

// OutputString's warning for a character the console has no glyph for.
constexpr EFI_STATUS EFI_WARN_UNKNOWN_GLYPH = 1;
constexpr uint8_t DefaultAttribute = 0x07; // EFI_LIGHTGRAY on EFI_BLACK

// The console installed last: the one whose protocols the images call.
Console *Active = nullptr;

bool HasGlyph(char16_t C) {
  return C >= 0x20 && (C < 0xD800 || C > 0xDFFF) && C < 0xFFFE;
}

void AppendUtf8(std::string &Out, char16_t C) {
  if (!HasGlyph(C)) {
    Out += '?';
  } else if (C < 0x80) {
    Out += (char)C;
  } else if (C < 0x800) {
    Out += (char)(0xC0 | (C >> 6));
    Out += (char)(0x80 | (C & 0x3F));
  } else {
    Out += (char)(0xE0 | (C >> 12));
    Out += (char)(0x80 | ((C >> 6) & 0x3F));
    Out += (char)(0x80 | (C & 0x3F));
  }
}

std::string Utf8(const std::u16string &Text) {
  std::string Out;
  for (char16_t C : Text) {
    AppendUtf8(Out, C);
  }
  return Out;
}

// The text of a string as a C literal: control characters escaped, the rest as UTF-8.
std::string Quoted(const std::u16string &Text) {
  std::string Out = "\"";
  for (char16_t C : Text) {
    switch (C) {
    case u'\n':
      Out += "\\n";
      break;
    case u'\r':
      Out += "\\r";
      break;
    case u'\b':
      Out += "\\b";
      break;
    case u'\t':
      Out += "\\t";
      break;
    case u'"':
      Out += "\\\"";
      break;
    case u'\\':
      Out += "\\\\";
      break;
    default:
      if (C < 0x20) {
        char Hex[8];
        std::snprintf(Hex, sizeof Hex, "\\x%02X", (unsigned)C);
        Out += Hex;
      } else {
        AppendUtf8(Out, C);
      }
    }
  }
  return Out + "\"";
}

// EFI colour numbers (bits 2:0) to ANSI colour numbers.
constexpr int AnsiColour[8] = {0, 4, 2, 6, 1, 5, 3, 7};

std::string AnsiAttribute(uint8_t Attribute) {
  int Foreground = Attribute & 0x0F;
  int Background = (Attribute >> 4) & 0x07;
  int Fg = (Foreground & 8 ? 90 : 30) + AnsiColour[Foreground & 7];
  int Bg = 40 + AnsiColour[Background];
  return "\x1b[" + std::to_string(Fg) + ";" + std::to_string(Bg) + "m";
}

struct KeyNameEntry {
  const char *Name;
  uint16_t ScanCode;
  char16_t UnicodeChar;
};
constexpr KeyNameEntry KeyNames[] = {
    {"UP", 0x01, 0},     {"DOWN", 0x02, 0},     {"RIGHT", 0x03, 0},  {"LEFT", 0x04, 0},
    {"HOME", 0x05, 0},   {"END", 0x06, 0},      {"INSERT", 0x07, 0}, {"DELETE", 0x08, 0},
    {"PAGEUP", 0x09, 0}, {"PAGEDOWN", 0x0A, 0}, {"F1", 0x0B, 0},     {"F2", 0x0C, 0},
    {"F3", 0x0D, 0},     {"F4", 0x0E, 0},       {"F5", 0x0F, 0},     {"F6", 0x10, 0},
    {"F7", 0x11, 0},     {"F8", 0x12, 0},       {"F9", 0x13, 0},     {"F10", 0x14, 0},
    {"F11", 0x15, 0},    {"F12", 0x16, 0},      {"ESC", 0x17, 0},    {"ENTER", 0, 13},
    {"BACKSPACE", 0, 8}, {"TAB", 0, 9},         {"SPACE", 0, 32},
};

// ---- protocol functions: reach the board's console --------------------------------------------
Console &Out(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, const char *Service) {
  Console &C = *Active;
  if (This != C.Output()) {
    BootServices::Current().Problem(std::string("console output ") + Service +
                                    " called with a This pointer that is not the console's");
  }
  if (BootServices::Current().Tpl > TPL_NOTIFY) {
    BootServices::Current().Problem(std::string("console output ") + Service +
                                    " called above TPL_NOTIFY");
  }
  return C;
}

EFI_STATUS EFIAPI OutReset(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, BOOLEAN Extended) {
  return Out(This, "Reset").Reset(Extended);
}
EFI_STATUS EFIAPI OutString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, const CHAR16 *String) {
  return Out(This, "OutputString").OutputString(String);
}
EFI_STATUS EFIAPI OutTestString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, const CHAR16 *String) {
  return Out(This, "TestString").TestString(String);
}
EFI_STATUS EFIAPI OutQueryMode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Number, UINTN *Columns,
                               UINTN *Rows) {
  return Out(This, "QueryMode").QueryMode(Number, Columns, Rows);
}
EFI_STATUS EFIAPI OutSetMode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Number) {
  return Out(This, "SetMode").SetMode(Number);
}
EFI_STATUS EFIAPI OutSetAttribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Attribute) {
  return Out(This, "SetAttribute").SetAttribute(Attribute);
}
EFI_STATUS EFIAPI OutClearScreen(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This) {
  return Out(This, "ClearScreen").ClearScreen();
}
EFI_STATUS EFIAPI OutSetCursorPosition(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Column,
                                       UINTN Row) {
  return Out(This, "SetCursorPosition").SetCursorPosition(Column, Row);
}
EFI_STATUS EFIAPI OutEnableCursor(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, BOOLEAN Visible) {
  return Out(This, "EnableCursor").EnableCursor(Visible);
}

Console &In(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, const char *Service) {
  Console &C = *Active;
  if (This != C.Input()) {
    BootServices::Current().Problem(std::string("console input ") + Service +
                                    " called with a This pointer that is not the console's");
  }
  if (BootServices::Current().Tpl > TPL_NOTIFY) {
    BootServices::Current().Problem(std::string("console input ") + Service +
                                    " called above TPL_NOTIFY");
  }
  return C;
}

EFI_STATUS EFIAPI InReset(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, BOOLEAN Extended) {
  return In(This, "Reset").ResetInput(Extended);
}
EFI_STATUS EFIAPI InReadKeyStroke(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, EFI_INPUT_KEY *Key) {
  EFI_STATUS Status = In(This, "ReadKeyStroke").ReadKeyStroke(Key);
  if (Active->PolledPastTheLastKey()) {
    // Nothing with a destructor is alive in this frame: the halt long-jumps out of it.
    char Text[160];
    std::snprintf(Text, sizeof Text,
                  "ReadKeyStroke, still polled %llu s of board time after the last key (stuck)",
                  (unsigned long long)(Active->IdlePollLimitMicroseconds / 1000000));
    HaltGuarded(Text);
  }
  return Status;
}

Console &Control(EFI_CONSOLE_CONTROL_PROTOCOL *This, const char *Service) {
  Console &C = *Active;
  if (!C.ConsoleControlPresent()) {
    BootServices::Current().Problem(std::string("console control ") + Service +
                                    " called although the protocol was taken off the board");
  }
  (void)This;
  return C;
}

EFI_STATUS EFIAPI ControlGetMode(EFI_CONSOLE_CONTROL_PROTOCOL *This,
                                 EFI_CONSOLE_CONTROL_SCREEN_MODE *Mode, BOOLEAN *GopUgaExists,
                                 BOOLEAN *StdInLocked) {
  Console &C = Control(This, "GetMode");
  if (Mode == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Mode = C.ControlMode;
  if (GopUgaExists != nullptr) {
    *GopUgaExists = TRUE;
  }
  if (StdInLocked != nullptr) {
    *StdInLocked = FALSE;
  }
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI ControlSetMode(EFI_CONSOLE_CONTROL_PROTOCOL *This,
                                 EFI_CONSOLE_CONTROL_SCREEN_MODE Mode) {
  return Control(This, "SetMode").ControlSetMode(Mode);
}
EFI_STATUS EFIAPI ControlLockStdIn(EFI_CONSOLE_CONTROL_PROTOCOL *This, CHAR16 *) {
  Control(This, "LockStdIn");
  return EFI_UNSUPPORTED; // the board's keyboard has no lock
}

// ---- what --calls shows of each member -------------------------------------------------------
template <const char *Name>
void DescribeOutReset(ServiceCall &Call, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, BOOLEAN Extended) {
  Call.Service = Name;
  Call.Arguments = {Extended ? "extended verification" : "no extended verification"};
}
constexpr char kOutReset[] = "ConOut->Reset";

template <const char *Name>
void DescribeOutString(ServiceCall &Call, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, const CHAR16 *String) {
  Call.Service = Name;
  if (!Call.Returned) {
    Call.Arguments = {TextArgument(String)};
  }
}
constexpr char kOutputString[] = "ConOut->OutputString";
constexpr char kTestString[] = "ConOut->TestString";

void DescribeOutQueryMode(ServiceCall &Call, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, UINTN Number,
                          UINTN *Columns, UINTN *Rows) {
  Call.Service = "ConOut->QueryMode";
  if (!Call.Returned) {
    Call.Arguments = {"mode " + std::to_string(Number)};
  } else if (Call.Value == EFI_SUCCESS && Columns != nullptr && Rows != nullptr) {
    Call.Results.push_back(std::to_string(*Columns) + " x " + std::to_string(*Rows));
  }
}

void DescribeOutSetMode(ServiceCall &Call, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, UINTN Number) {
  Call.Service = "ConOut->SetMode";
  Call.Arguments = {"mode " + std::to_string(Number)};
}

void DescribeOutSetAttribute(ServiceCall &Call, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *,
                             UINTN Attribute) {
  Call.Service = "ConOut->SetAttribute";
  Call.Arguments = {"attribute " + HexNumber(Attribute)};
}

void DescribeOutClearScreen(ServiceCall &Call, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *) {
  Call.Service = "ConOut->ClearScreen";
}

void DescribeOutSetCursorPosition(ServiceCall &Call, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *,
                                  UINTN Column, UINTN Row) {
  Call.Service = "ConOut->SetCursorPosition";
  Call.Arguments = {"column " + std::to_string(Column), "row " + std::to_string(Row)};
}

void DescribeOutEnableCursor(ServiceCall &Call, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *,
                             BOOLEAN Visible) {
  Call.Service = "ConOut->EnableCursor";
  Call.Arguments = {Visible ? "visible" : "hidden"};
}

void DescribeInReset(ServiceCall &Call, EFI_SIMPLE_TEXT_INPUT_PROTOCOL *, BOOLEAN Extended) {
  Call.Service = "ConIn->Reset";
  Call.Arguments = {Extended ? "extended verification" : "no extended verification"};
}

void DescribeInReadKeyStroke(ServiceCall &Call, EFI_SIMPLE_TEXT_INPUT_PROTOCOL *,
                             EFI_INPUT_KEY *Key) {
  Call.Service = "ConIn->ReadKeyStroke";
  if (Call.Returned && Call.Value == EFI_SUCCESS && Key != nullptr) {
    Call.Results.push_back("key " + KeyName(*Key));
  }
}

std::string ScreenModeName(EFI_CONSOLE_CONTROL_SCREEN_MODE Mode) {
  switch (Mode) {
  case EfiConsoleControlScreenText:
    return "EfiConsoleControlScreenText";
  case EfiConsoleControlScreenGraphics:
    return "EfiConsoleControlScreenGraphics";
  default:
    return "screen mode " + std::to_string(Mode);
  }
}

void DescribeControlGetMode(ServiceCall &Call, EFI_CONSOLE_CONTROL_PROTOCOL *,
                            EFI_CONSOLE_CONTROL_SCREEN_MODE *Mode, BOOLEAN *, BOOLEAN *) {
  Call.Service = "ConsoleControl->GetMode";
  if (Call.Returned && Call.Value == EFI_SUCCESS && Mode != nullptr) {
    Call.Results.push_back(ScreenModeName(*Mode));
  }
}

void DescribeControlSetMode(ServiceCall &Call, EFI_CONSOLE_CONTROL_PROTOCOL *,
                            EFI_CONSOLE_CONTROL_SCREEN_MODE Mode) {
  Call.Service = "ConsoleControl->SetMode";
  Call.Arguments = {ScreenModeName(Mode)};
}

void DescribeControlLockStdIn(ServiceCall &Call) {
  Call.Service = "ConsoleControl->LockStdIn";
}

} // namespace

// ---- keys
// ----------------------------------------------------------------------------------------
bool NamedKey(const std::string &Name, EFI_INPUT_KEY &Key) {
  std::string Upper = Name;
  std::transform(Upper.begin(), Upper.end(), Upper.begin(), ::toupper);
  if (Upper == "ESCAPE") {
    Upper = "ESC";
  } else if (Upper == "RETURN") {
    Upper = "ENTER";
  }
  for (const KeyNameEntry &E : KeyNames) {
    if (Upper == E.Name) {
      Key.ScanCode = E.ScanCode;
      Key.UnicodeChar = E.UnicodeChar;
      return true;
    }
  }
  return false;
}

std::string KeyName(const EFI_INPUT_KEY &Key) {
  for (const KeyNameEntry &E : KeyNames) {
    if (Key.ScanCode == E.ScanCode && Key.UnicodeChar == E.UnicodeChar) {
      return E.Name;
    }
  }
  char Text[48];
  if (Key.ScanCode == 0 && HasGlyph(Key.UnicodeChar)) {
    std::string Char;
    AppendUtf8(Char, Key.UnicodeChar);
    return "'" + Char + "'";
  }
  std::snprintf(Text, sizeof Text, "scan 0x%02X char 0x%04X", Key.ScanCode,
                (unsigned)Key.UnicodeChar);
  return Text;
}

// ---- ScreenImage -----------------------------------------------------------------------------
const ConsoleCell &ScreenImage::At(uint32_t Column, uint32_t Row) const {
  return Cells.at((size_t)Row * Columns + Column);
}

std::u16string ScreenImage::RowChars(uint32_t Row) const {
  std::u16string Text;
  for (uint32_t Column = 0; Column < Columns; Column++) {
    Text += At(Column, Row).Char;
  }
  return Text;
}

std::string ScreenImage::Row(uint32_t Row) const {
  return Utf8(RowChars(Row));
}

std::string ScreenImage::Text() const {
  std::string Out;
  for (uint32_t R = 0; R < Rows; R++) {
    std::u16string Line = RowChars(R);
    Line.erase(Line.find_last_not_of(u' ') + 1);
    Out += Utf8(Line);
    if (R + 1 < Rows) {
      Out += '\n';
    }
  }
  return Out;
}

std::string ScreenImage::Ansi() const {
  std::string Out;
  for (uint32_t R = 0; R < Rows; R++) {
    int Current = -1;
    for (uint32_t C = 0; C < Columns; C++) {
      const ConsoleCell &Cell = At(C, R);
      if (Cell.Attribute != Current) {
        Out += AnsiAttribute(Cell.Attribute);
        Current = Cell.Attribute;
      }
      AppendUtf8(Out, Cell.Char);
    }
    Out += "\x1b[0m\n";
  }
  return Out;
}

bool ScreenImage::Find(const std::u16string &Text, uint32_t &Column, uint32_t &Row) const {
  for (uint32_t R = 0; R < Rows; R++) {
    size_t At = RowChars(R).find(Text);
    if (At != std::u16string::npos) {
      Column = (uint32_t)At;
      Row = R;
      return true;
    }
  }
  return false;
}

bool ScreenImage::Contains(const std::u16string &Text) const {
  uint32_t Column, Row;
  return Find(Text, Column, Row);
}

bool ScreenImage::Blank() const {
  return std::all_of(Cells.begin(), Cells.end(),
                     [](const ConsoleCell &C) { return C.Char == u' '; });
}

bool ScreenImage::SameContent(const ScreenImage &Other) const {
  return Columns == Other.Columns && Rows == Other.Rows && Cells == Other.Cells;
}

// ---- ConsoleCall -----------------------------------------------------------------------------
std::string ConsoleCall::Describe() const {
  char Buffer[64];
  std::string Result;
  if (Name == "SetMode" || Name == "QueryMode") {
    Result = Name + "(" + std::to_string(First) + ")";
  } else if (Name == "SetAttribute") {
    std::snprintf(Buffer, sizeof Buffer, "SetAttribute(0x%02llX)", (unsigned long long)First);
    Result = Buffer;
  } else if (Name == "SetCursorPosition") {
    Result = Name + "(" + std::to_string(First) + ", " + std::to_string(Second) + ")";
  } else if (Name == "OutputString" || Name == "TestString") {
    Result = Name + "(" + Quoted(Text) + ")";
  } else if (Name == "EnableCursor" || Name == "Reset" || Name == "ConIn.Reset") {
    Result = Name + (First ? "(TRUE)" : "(FALSE)");
  } else if (Name == "ReadKeyStroke") {
    Result = Name + " -> " + (Text.empty() ? std::string("none") : Utf8(Text));
  } else if (Name == "ConsoleControl.SetMode") {
    Result =
        Name + (First == EfiConsoleControlScreenText       ? "(Text)"
                : First == EfiConsoleControlScreenGraphics ? "(Graphics)"
                                                           : "(" + std::to_string(First) + ")");
  } else {
    Result = Name;
  }
  if (EFI_ERROR(Status) && !(Name == "ReadKeyStroke" && Status == EFI_NOT_READY)) {
    Result += " -> " + StatusName(Status);
  }
  return Result;
}

// ---- Console ---------------------------------------------------------------------------------
Console::Console() {
  ModeList = {{80, 25, true}, {80, 50, true}, {100, 31, true}, {128, 40, true}};
  OutputProtocol.Reset = OffImageStack<Recorded<OutReset, DescribeOutReset<kOutReset>>>;
  OutputProtocol.OutputString =
      OffImageStack<Recorded<OutString, DescribeOutString<kOutputString>>>;
  OutputProtocol.TestString =
      OffImageStack<Recorded<OutTestString, DescribeOutString<kTestString>>>;
  OutputProtocol.QueryMode = OffImageStack<Recorded<OutQueryMode, DescribeOutQueryMode>>;
  OutputProtocol.SetMode = OffImageStack<Recorded<OutSetMode, DescribeOutSetMode>>;
  OutputProtocol.SetAttribute = OffImageStack<Recorded<OutSetAttribute, DescribeOutSetAttribute>>;
  OutputProtocol.ClearScreen = OffImageStack<Recorded<OutClearScreen, DescribeOutClearScreen>>;
  OutputProtocol.SetCursorPosition =
      OffImageStack<Recorded<OutSetCursorPosition, DescribeOutSetCursorPosition>>;
  OutputProtocol.EnableCursor = OffImageStack<Recorded<OutEnableCursor, DescribeOutEnableCursor>>;
  OutputProtocol.Mode = &Mode;
  InputProtocol.Reset = OffImageStack<Recorded<InReset, DescribeInReset>>;
  InputProtocol.ReadKeyStroke = OffImageStack<Recorded<InReadKeyStroke, DescribeInReadKeyStroke>>;
  ControlProtocol.GetMode = OffImageStack<Recorded<sim::ControlGetMode, DescribeControlGetMode>>;
  ControlProtocol.SetMode = OffImageStack<Recorded<sim::ControlSetMode, DescribeControlSetMode>>;
  ControlProtocol.LockStdIn = OffImageStack<Recorded<ControlLockStdIn, DescribeControlLockStdIn>>;
  Mode.MaxMode = (int32_t)ModeList.size();
  Mode.Attribute = DefaultAttribute;
  Mode.CursorVisible = TRUE;
  Resize(ModeList[0]);
}

Console::~Console() {
  if (Active == this) {
    Active = nullptr;
  }
}

void Console::Install(BootServices &Target, EFI_SYSTEM_TABLE &System) {
  Idle = false;
  if (Owner != nullptr) {
    TakeFrame("reboot", false);
  }
  Owner = &Target;
  Active = this;
  Mode.MaxMode = (int32_t)ModeList.size();
  Mode.Mode = 0;
  Mode.Attribute = DefaultAttribute;
  Mode.CursorVisible = TRUE;
  Resize(ModeList[0]);
  ControlMode = PowerOnControlMode;

  InputHandle = Target.NewHandle("console in");
  Target.Install(&InputHandle, EFI_SIMPLE_TEXT_INPUT_PROTOCOL_GUID, &InputProtocol);
  InputProtocol.WaitForKey = Target.NewEvent([this] { return KeyWaiting(); });
  Target.Event(InputProtocol.WaitForKey)->Block = [this] { return WaitForKey(); };

  OutputHandle = Target.NewHandle("console out");
  Target.Install(&OutputHandle, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID, &OutputProtocol);

  ControlHandle = nullptr;
  if (ControlPresent) {
    ControlHandle = Target.NewHandle("console control");
    Target.Install(&ControlHandle, EFI_CONSOLE_CONTROL_PROTOCOL_GUID, &ControlProtocol);
  }

  EFI_SYSTEM_TABLE &St = System;
  St.ConsoleInHandle = InputHandle;
  St.ConIn = &InputProtocol;
  St.ConsoleOutHandle = OutputHandle;
  St.ConOut = &OutputProtocol;
  St.StandardErrorHandle = OutputHandle;
  St.StdErr = &OutputProtocol;
}

void Console::SetModes(const std::vector<TextMode> &Modes) {
  if (Modes.empty()) {
    return; // a console has at least mode 0
  }
  ModeList = Modes;
  Mode.MaxMode = (int32_t)ModeList.size();
  Mode.Mode = 0;
  Resize(ModeList[0]);
}

void Console::RemoveConsoleControl() {
  ControlPresent = false;
  if (Owner != nullptr && ControlHandle != nullptr) {
    Owner->Uninstall(ControlHandle, EFI_CONSOLE_CONTROL_PROTOCOL_GUID);
  }
  ControlHandle = nullptr;
}

std::vector<std::string> Console::CallTexts(const std::vector<std::string> &Names) const {
  std::vector<std::string> Texts;
  for (const ConsoleCall &Call : CallLog) {
    if (Names.empty() || std::find(Names.begin(), Names.end(), Call.Name) != Names.end()) {
      Texts.push_back(Call.Describe());
    }
  }
  return Texts;
}

void Console::ClearRecords() {
  FrameList.clear();
  CallLog.clear();
  ReadLog.clear();
  KeyReadCount = 0;
  ControlSetModes.clear();
}

void Console::CaptureFrame(const std::string &Reason) {
  TakeFrame(Reason, false);
}

bool Console::TakeFrame(const std::string &Reason, bool Force) {
  if (!Force &&
      (Live.Blank() || (!FrameList.empty() && FrameList.back().Screen.SameContent(Live)))) {
    return false;
  }
  ConsoleFrame Frame;
  Frame.Screen = Live;
  Frame.Reason = Reason;
  Frame.Microseconds = Owner != nullptr ? Owner->ClockMicroseconds : 0;
  Frame.CallIndex = CallLog.size();
  Frame.GraphicsMode = ControlMode != EfiConsoleControlScreenText;
  FrameList.push_back(std::move(Frame));
  if (Keyboard != nullptr) {
    Keyboard->Show(FrameList.back());
  }
  return true;
}

void Console::Log(ConsoleCall Call) {
  CallLog.push_back(std::move(Call));
}

// ---- screen ----------------------------------------------------------------------------------
void Console::Resize(const TextMode &M) {
  Live.Columns = M.Columns;
  Live.Rows = M.Rows;
  Live.Cells.assign((size_t)M.Columns * M.Rows, ConsoleCell{u' ', (uint8_t)Mode.Attribute});
  Mode.CursorColumn = 0;
  Mode.CursorRow = 0;
  SyncCursor();
}

void Console::Fill(uint8_t Attribute) {
  std::fill(Live.Cells.begin(), Live.Cells.end(), ConsoleCell{u' ', Attribute});
  Mode.CursorColumn = 0;
  Mode.CursorRow = 0;
  SyncCursor();
}

void Console::SyncCursor() {
  Live.CursorColumn = Mode.CursorColumn;
  Live.CursorRow = Mode.CursorRow;
  Live.CursorVisible = Mode.CursorVisible != 0;
}

// Down one row; at the bottom the screen scrolls up and the new row is blank in the current
// attribute.
void Console::NewLine() {
  if (Live.Rows == 0) {
    return;
  }
  if ((uint32_t)Mode.CursorRow + 1 < Live.Rows) {
    Mode.CursorRow++;
    return;
  }
  std::copy(Live.Cells.begin() + Live.Columns, Live.Cells.end(), Live.Cells.begin());
  std::fill(Live.Cells.end() - Live.Columns, Live.Cells.end(),
            ConsoleCell{u' ', (uint8_t)Mode.Attribute});
}

// Writes one character at the cursor; past the right edge the cursor goes to the start of the
// next row at once, as the firmware's text consoles do.
void Console::PutChar(char16_t C) {
  if (Live.Columns == 0 || Live.Rows == 0) {
    return;
  }
  Live.Cells[(size_t)Mode.CursorRow * Live.Columns + Mode.CursorColumn] =
      ConsoleCell{C, (uint8_t)Mode.Attribute};
  Mode.CursorColumn++;
  if ((uint32_t)Mode.CursorColumn >= Live.Columns) {
    Mode.CursorColumn = 0;
    NewLine();
  }
}

EFI_STATUS Console::OutputString(const CHAR16 *String) {
  ConsoleCall Call("OutputString");
  if (String == nullptr) {
    Owner->Problem("console OutputString with a NULL string");
    Call.Status = EFI_INVALID_PARAMETER;
    Log(Call);
    return Call.Status;
  }
  for (const CHAR16 *P = String; *P != 0; P++) {
    Call.Text += *P;
  }
  for (char16_t C : Call.Text) {
    switch (C) {
    case u'\n':
      NewLine();
      break;
    case u'\r':
      Mode.CursorColumn = 0;
      break;
    case u'\b':
      // Back one cell (to the end of the previous row at the left edge) and erase it.
      if (Mode.CursorColumn > 0 || Mode.CursorRow > 0) {
        if (Mode.CursorColumn == 0) {
          Mode.CursorRow--;
          Mode.CursorColumn = (int32_t)Live.Columns - 1;
        } else {
          Mode.CursorColumn--;
        }
        Live.Cells[(size_t)Mode.CursorRow * Live.Columns + Mode.CursorColumn] =
            ConsoleCell{u' ', (uint8_t)Mode.Attribute};
      }
      break;
    default:
      if (C < 0x20) {
        break; // other control characters move nothing
      }
      if (!HasGlyph(C)) {
        Call.Status = EFI_WARN_UNKNOWN_GLYPH;
      }
      PutChar(C);
    }
  }
  SyncCursor();
  Log(Call);
  return Call.Status;
}

EFI_STATUS Console::TestString(const CHAR16 *String) {
  if (String == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (const CHAR16 *P = String; *P != 0; P++) {
    if (*P >= 0x20 && !HasGlyph(*P)) {
      return EFI_UNSUPPORTED;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS Console::QueryMode(UINTN Number, UINTN *Columns, UINTN *Rows) {
  if (Columns == nullptr || Rows == nullptr) {
    Owner->Problem("console QueryMode with a NULL result pointer");
    return EFI_INVALID_PARAMETER;
  }
  if (Number >= ModeList.size() || !ModeList[Number].Valid) {
    return EFI_UNSUPPORTED;
  }
  *Columns = ModeList[Number].Columns;
  *Rows = ModeList[Number].Rows;
  return EFI_SUCCESS;
}

EFI_STATUS Console::SetMode(UINTN Number) {
  ConsoleCall Call("SetMode", Number);
  if (Number >= ModeList.size() || !ModeList[Number].Valid) {
    Call.Status = EFI_UNSUPPORTED;
    Log(Call);
    return Call.Status;
  }
  TakeFrame("set mode", false);
  Mode.Mode = (int32_t)Number;
  Resize(ModeList[Number]);
  Log(Call);
  return EFI_SUCCESS;
}

EFI_STATUS Console::SetAttribute(UINTN Attribute) {
  ConsoleCall Call("SetAttribute", Attribute);
  if ((Attribute | 0x7F) != 0x7F) {
    Call.Status = EFI_UNSUPPORTED;
  } else {
    Mode.Attribute = (int32_t)Attribute;
  }
  Log(Call);
  return Call.Status;
}

EFI_STATUS Console::ClearScreen() {
  TakeFrame("clear screen", false);
  Fill((uint8_t)Mode.Attribute);
  Log(ConsoleCall("ClearScreen"));
  return EFI_SUCCESS;
}

EFI_STATUS Console::SetCursorPosition(UINTN Column, UINTN Row) {
  ConsoleCall Call("SetCursorPosition", Column, Row);
  if (Column >= Live.Columns || Row >= Live.Rows) {
    Call.Status = EFI_UNSUPPORTED;
  } else {
    Mode.CursorColumn = (int32_t)Column;
    Mode.CursorRow = (int32_t)Row;
    SyncCursor();
  }
  Log(Call);
  return Call.Status;
}

EFI_STATUS Console::EnableCursor(BOOLEAN Visible) {
  Mode.CursorVisible = Visible ? TRUE : FALSE;
  SyncCursor();
  Log(ConsoleCall("EnableCursor", Visible ? 1u : 0u));
  return EFI_SUCCESS;
}

EFI_STATUS Console::Reset(BOOLEAN ExtendedVerification) {
  // As the firmware's console splitter does: light grey on black, mode 0, a clear screen.
  TakeFrame("reset", false);
  Mode.Attribute = DefaultAttribute;
  Mode.Mode = 0;
  Resize(ModeList[0]);
  Log(ConsoleCall("Reset", ExtendedVerification ? 1u : 0u));
  return EFI_SUCCESS;
}

// ---- keys ------------------------------------------------------------------------------------
void Console::QueueKey(uint16_t ScanCode, char16_t UnicodeChar, uint64_t NotBefore) {
  Keys.push_back({ScanCode, UnicodeChar, NotBefore});
  Idle = false;
}

bool Console::PolledPastTheLastKey() const {
  return Idle && Owner != nullptr &&
         Owner->ClockMicroseconds - IdleSince > IdlePollLimitMicroseconds;
}

void Console::QueueText(const std::u16string &Text, uint64_t NotBefore) {
  for (char16_t C : Text) {
    switch (C) {
    case u'\n':
    case u'\r':
      QueueKey(0, CHAR_CARRIAGE_RETURN, NotBefore);
      break;
    case u'\x1b':
      QueueKey(SCAN_ESC, 0, NotBefore);
      break;
    default:
      QueueKey(0, C, NotBefore);
    }
  }
}

bool Console::QueueNamed(const std::string &Name, uint64_t NotBefore) {
  EFI_INPUT_KEY Key{};
  if (!NamedKey(Name, Key)) {
    return false;
  }
  QueueKey(Key.ScanCode, Key.UnicodeChar, NotBefore);
  return true;
}

bool Console::FetchFromSource(bool Block) {
  if (Keyboard == nullptr) {
    return false;
  }
  EFI_INPUT_KEY Key{};
  if (!(Block ? Keyboard->Wait(Key) : Keyboard->Poll(Key))) {
    return false;
  }
  QueueKey(Key.ScanCode, Key.UnicodeChar, 0);
  return true;
}

EFI_STATUS Console::ReadKeyStroke(EFI_INPUT_KEY *Key) {
  KeyReadCount++;
  uint64_t Now = Owner->ClockMicroseconds;
  if (Keyboard != nullptr) {
    Keyboard->Pace(Now);
  }
  TakeFrame("key read", false);
  ConsoleCall Call("ReadKeyStroke");
  if (Key == nullptr) {
    Owner->Problem("console ReadKeyStroke with a NULL key pointer");
    Call.Status = EFI_INVALID_PARAMETER;
    Log(Call);
    return Call.Status;
  }
  if (Keys.empty()) {
    FetchFromSource(false);
  }
  if (Keys.empty() || Keys.front().NotBeforeMicroseconds > Now) {
    if (Keys.empty() && (Keyboard == nullptr || Keyboard->Ended()) && !Idle) {
      Idle = true; // the script is used up: from now on the driver polls for nothing
      IdleSince = Now;
    }
    Call.Status = EFI_NOT_READY;
    Log(Call);
    return Call.Status; // the caller's key record keeps what it held
  }
  Idle = false;
  Key->ScanCode = Keys.front().ScanCode;
  Key->UnicodeChar = Keys.front().UnicodeChar;
  Keys.pop_front();
  ReadLog.push_back(*Key);
  Call.Text = Widen(KeyName(*Key));
  Log(Call);
  return EFI_SUCCESS;
}

EFI_STATUS Console::ResetInput(BOOLEAN ExtendedVerification) {
  // Keys already pressed are flushed; keys still to come stay in the script.
  uint64_t Now = Owner->ClockMicroseconds;
  while (!Keys.empty() && Keys.front().NotBeforeMicroseconds <= Now) {
    Keys.pop_front();
  }
  Log(ConsoleCall("ConIn.Reset", ExtendedVerification ? 1u : 0u));
  return EFI_SUCCESS;
}

bool Console::KeyWaiting() {
  TakeFrame("key wait", false);
  Log(ConsoleCall("WaitForKey"));
  if (Keys.empty()) {
    FetchFromSource(false);
  }
  return !Keys.empty() && Keys.front().NotBeforeMicroseconds <= Owner->ClockMicroseconds;
}

bool Console::WaitForKey() {
  if (Keys.empty() && !FetchFromSource(true)) {
    return false; // no key will ever come: the wait would never end
  }
  // The user presses the next key when the script says; the wait lasts until then.
  Owner->ClockMicroseconds = std::max(Owner->ClockMicroseconds, Keys.front().NotBeforeMicroseconds);
  return true;
}

EFI_STATUS Console::ControlSetMode(EFI_CONSOLE_CONTROL_SCREEN_MODE NewMode) {
  ConsoleCall Call("ConsoleControl.SetMode", (uint64_t)NewMode);
  if (NewMode >= EfiConsoleControlScreenMaxValue) {
    Call.Status = EFI_INVALID_PARAMETER;
  } else {
    ControlSetModes.push_back(NewMode);
    ControlMode = NewMode;
  }
  Log(Call);
  return Call.Status;
}

} // namespace sim
