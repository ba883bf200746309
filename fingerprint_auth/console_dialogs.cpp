// Text-console dialogs: the text-mode choice, the boxed notice shown when the reader is set up
// but no BIOS password is set (ten-step countdown, pause, ESC/F1/F3), masked password entry and
// the drive-number text of the hard-disk prompt.
#include "console_control.h"
#include "driver_globals.h"
#include "fingerprint_auth.h"
#include "guids.h"
#include "memory.h"

UINTN ScreenRows = 31;
UINTN ScreenColumns = 100;
UINTN ScreenTextMode = 0;

namespace {

constexpr CHAR16 BoxTopLeft = 0x250C;
constexpr CHAR16 BoxTopRight = 0x2510;
constexpr CHAR16 BoxBottomLeft = 0x2514;
constexpr CHAR16 BoxBottomRight = 0x2518;
constexpr CHAR16 BoxHorizontal = 0x2500;
constexpr CHAR16 BoxVertical = 0x2502;
constexpr CHAR16 MaskCharacter[] = {0x2591, 0};

constexpr UINT16 KeyPollsPerStep = 100;
constexpr UINT16 CountdownSteps = 10;
constexpr UINTN PollStallMicroseconds = 10000;
constexpr UINT16 ScanIgnored = SCAN_F4; // acted on by no branch of the key loop
constexpr EFI_TPL NoticeEndTpl = 6;

// The row texts; each is padded with blanks to the box's 55 characters.
constexpr CHAR16 TitleRow[] = u"              Fingerprint Authentication";
constexpr CHAR16 Line1Row[] = u" Fingerprint reader has been set up to support";
constexpr CHAR16 Line2Row[] = u" BIOS passwords but no BIOS passwords are set.";
constexpr CHAR16 Line3Row[] = u" Press one of the following keys to continue:";
constexpr CHAR16 BlankRow[] = u"";
constexpr CHAR16 F1Row[] = u"   F1 to enter BIOS Setup Utility to set passwords";
constexpr CHAR16 F3Row[] = u"   F3 to not show this message again and continue";
constexpr CHAR16 EscRow[] = u"   ESC to continue";
constexpr CHAR16 RunningRow[] = u" Press ENTER to pause ...";
constexpr CHAR16 PausedRow[] = u" Press ENTER to continue ...";

UINTN DialogLeft() {
  return (ScreenColumns - DIALOG_TEXT_WIDTH) / 2;
}
UINTN DialogTop() {
  return (ScreenRows - DIALOG_ROWS) / 2;
}

} // namespace

UINTN FindTextMode(UINTN Rows, UINTN Columns) {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Out = DialogConsoleOut;
  INT32 MaxMode = Out->Mode->MaxMode;
  if (MaxMode <= 0) {
    return 0;
  }
  for (UINTN Mode = 0; Mode < (UINTN)MaxMode; Mode++) {
    UINTN ModeColumns = 0;
    UINTN ModeRows = 0;
    if (EFI_ERROR(Out->QueryMode(Out, Mode, &ModeColumns, &ModeRows))) {
      continue;
    }
    if (ModeColumns >= Columns && ModeRows >= Rows) {
      return Mode;
    }
  }
  // No mode qualifies: SetMode refuses this number, which sends the caller to its fallback.
  return (UINTN)MaxMode;
}

VOID SelectDialogTextMode() {
  ScreenTextMode = FindTextMode(ScreenRows, ScreenColumns);
  if (EFI_ERROR(DialogConsoleOut->SetMode(DialogConsoleOut, ScreenTextMode))) {
    ScreenTextMode = 0;
    ScreenRows = 24;
    ScreenColumns = 80;
    DialogConsoleOut->SetMode(DialogConsoleOut, 0);
  }
}

VOID FormatDialogRow(const CHAR16 *Text, CHAR16 Left, CHAR16 Right, CHAR16 *Row) {
  FillBytes(Row, DIALOG_ROW_ELEMENTS * sizeof(CHAR16), 0);
  Row[0] = Left;
  // A rule (no text) is a line of horizontals; a text is padded with blanks.
  CHAR16 Fill = Text == nullptr ? BoxHorizontal : u' ';
  for (UINTN Index = 1; Index <= DIALOG_TEXT_WIDTH; Index++) {
    Row[Index] = (Text != nullptr && *Text != 0) ? *Text++ : Fill;
  }
  Row[DIALOG_TEXT_WIDTH + 1] = Right;
}

VOID PrintDialogRow(UINT16 Index, const CHAR16 *Row) {
  DialogConsoleOut->SetCursorPosition(DialogConsoleOut, DialogLeft(), DialogTop() + Index);
  DialogConsoleOut->SetAttribute(DialogConsoleOut, DIALOG_ATTRIBUTE);
  DialogConsoleOut->OutputString(DialogConsoleOut, Row);
}

EFI_STATUS DrawNoPasswordNotice(BOOLEAN Running) {
  CHAR16 *Row = nullptr;
  EFI_STATUS Status = DriverBootServices->AllocatePool(
      EfiBootServicesData, DIALOG_ROW_ELEMENTS * sizeof(CHAR16), (VOID **)&Row);
  if (EFI_ERROR(Status) || Row == nullptr) {
    return EFI_ERROR(Status) ? Status : EFI_OUT_OF_RESOURCES;
  }
  // Rows without text are rules; the one under the title ends in plain vertical lines, not in
  // T-pieces.
  struct NoticeRow {
    const CHAR16 *Text;
    CHAR16 Left;
    CHAR16 Right;
  };
  const NoticeRow Rows[DIALOG_ROWS] = {
      {nullptr, BoxTopLeft, BoxTopRight},
      {TitleRow, BoxVertical, BoxVertical},
      {nullptr, BoxVertical, BoxVertical},
      {Line1Row, BoxVertical, BoxVertical},
      {Line2Row, BoxVertical, BoxVertical},
      {Line3Row, BoxVertical, BoxVertical},
      {BlankRow, BoxVertical, BoxVertical},
      {F1Row, BoxVertical, BoxVertical},
      {F3Row, BoxVertical, BoxVertical},
      {EscRow, BoxVertical, BoxVertical},
      {BlankRow, BoxVertical, BoxVertical},
      {Running ? RunningRow : PausedRow, BoxVertical, BoxVertical},
      {BlankRow, BoxVertical, BoxVertical},
      {nullptr, BoxBottomLeft, BoxBottomRight},
  };
  for (UINT16 Index = 0; Index < DIALOG_ROWS; Index++) {
    FormatDialogRow(Rows[Index].Text, Rows[Index].Left, Rows[Index].Right, Row);
    PrintDialogRow(Index, Row);
  }
  DriverBootServices->FreePool(Row);
  return Status;
}

VOID RestoreTextScreen(UINT8 Attribute) {
  DialogConsoleOut->EnableCursor(DialogConsoleOut, FALSE);
  DialogConsoleOut->SetAttribute(DialogConsoleOut, Attribute);
  DialogConsoleOut->ClearScreen(DialogConsoleOut);
}

EFI_STATUS ShowNoPasswordNotice(UINT32 *ControlFlags) {
  EFI_CONSOLE_CONTROL_PROTOCOL *ConsoleControl = nullptr;
  EFI_STATUS Status = DriverBootServices->LocateProtocol(&EFI_CONSOLE_CONTROL_PROTOCOL_GUID,
                                                         nullptr, (VOID **)&ConsoleControl);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  if (DialogConsoleOut == nullptr) {
    return EFI_NOT_FOUND; // no console output to show the notice on
  }
  ConsoleControl->SetMode(ConsoleControl, EfiConsoleControlScreenText);
  DialogConsoleOut->Reset(DialogConsoleOut, FALSE);
  SelectDialogTextMode();
  DialogConsoleOut->EnableCursor(DialogConsoleOut, FALSE);
  DrawNoPasswordNotice(TRUE);
  DriverBootServices->RestoreTPL(TPL_APPLICATION);

  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn = DriverSystemTable->ConIn;
  CHAR16 CountdownText[2] = {u'9', 0};
  UINT16 Countdown = CountdownSteps;
  UINT16 PollsLeft = KeyPollsPerStep;
  BOOLEAN Running = TRUE;
  UINT8 EnterCount = 0;
  EFI_INPUT_KEY Key = {0, 0};

  for (;;) {
    DialogConsoleOut->SetCursorPosition(DialogConsoleOut, DialogLeft() + 27,
                                        DialogTop() + DIALOG_ROWS - 1);
    DialogConsoleOut->SetAttribute(DialogConsoleOut, DIALOG_ATTRIBUTE);
    DialogConsoleOut->OutputString(DialogConsoleOut, CountdownText);

    // Without a waiting key the record keeps what it held.
    ConIn->ReadKeyStroke(ConIn, &Key);
    if (Key.UnicodeChar == 0) {
      if (Key.ScanCode == SCAN_ESC) {
        RestoreTextScreen(NORMAL_ATTRIBUTE);
        return EFI_ABORTED;
      }
      if (Key.ScanCode == SCAN_F1) {
        FingerprintFlags |= FINGERPRINT_SETUP_CHOSEN;
        *ControlFlags |= CONTROL_ENTER_SETUP;
        RestoreTextScreen(NORMAL_ATTRIBUTE);
        return EFI_ABORTED;
      }
      if (Key.ScanCode == SCAN_F3) {
        UpekFlagValue = UPEK_NOTICE_SUPPRESSED;
        SetGlobalVariable(UPEK_FLAG_NAME, EFI_VARIABLE_NV_BS_RT, sizeof(UpekFlagValue),
                          &UpekFlagValue);
        RestoreTextScreen(NORMAL_ATTRIBUTE);
        return EFI_ABORTED;
      }
    }
    if (Key.UnicodeChar == CHAR_CARRIAGE_RETURN && Key.ScanCode == SCAN_NULL) {
      EnterCount++;
      Running = (EnterCount % 2) == 0;
      DrawNoPasswordNotice(Running);
    }
    // A poll that finds no key must not act on the last keystroke again.
    Key.ScanCode = ScanIgnored;
    DriverBootServices->Stall(PollStallMicroseconds);

    BOOLEAN Finished = FALSE;
    if (PollsLeft == 0) {
      PollsLeft = KeyPollsPerStep;
      if (Countdown == 0) {
        Finished = TRUE;
      } else if (Running) {
        Countdown--;
        CountdownText[0] = (Countdown >= 1 && Countdown <= 9) ? (CHAR16)(u'0' + Countdown) : u'0';
      }
    }
    PollsLeft--;
    if (Finished) {
      DriverBootServices->RaiseTPL(NoticeEndTpl);
      RestoreTextScreen(NORMAL_ATTRIBUTE);
      return EFI_SUCCESS;
    }
  }
}

BOOLEAN ReadMaskedLine(CHAR16 *Line) {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut = DriverSystemTable->ConOut;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn = DriverSystemTable->ConIn;
  UINTN Count = 0;
  for (;;) {
    UINTN Index = 0;
    DriverBootServices->WaitForEvent(1, &ConIn->WaitForKey, &Index);
    EFI_INPUT_KEY Key = {0, 0};
    ConIn->ReadKeyStroke(ConIn, &Key);
    CHAR16 Character = Key.UnicodeChar;
    FillBytes(&Key, sizeof(Key), 0);

    if (Character == CHAR_CARRIAGE_RETURN) {
      if (Count == 0) {
        return FALSE;
      }
      FillBytes(Line + Count, (TYPED_LINE_LENGTH + 1 - Count) * sizeof(CHAR16), 0);
      return TRUE;
    }
    if (Character == CHAR_BACKSPACE) {
      // The i-th character was echoed in column i of the input row.
      UINTN Column = Count >= 1 ? Count : 1;
      ConOut->SetCursorPosition(ConOut, Column, PASSWORD_INPUT_ROW);
      ConOut->OutputString(ConOut, u" ");
      ConOut->SetCursorPosition(ConOut, Column, PASSWORD_INPUT_ROW);
      if (Count >= 1) {
        Count--;
        Line[Count] = 0;
      }
      continue;
    }
    if (Character > 0x20) {
      ConOut->OutputString(ConOut, MaskCharacter);
      Line[Count] = Character;
      Count++;
      if (Count == TYPED_LINE_LENGTH) {
        Line[TYPED_LINE_LENGTH] = 0;
        return TRUE;
      }
    }
    // Anything else (controls, space, keys without a character) is ignored.
  }
}

VOID FormatDriveNumber(CHAR16 *Buffer, UINT8 Value) {
  Buffer[0] = u'0';
  Buffer[1] = 0;
  if (Value >= 100) {
    return;
  }
  if (Value <= 9) {
    Buffer[0] = (CHAR16)(u'0' + Value);
    return;
  }
  Buffer[0] = (CHAR16)(u'0' + Value / 10);
  Buffer[1] = (CHAR16)(u'0' + Value % 10);
}

VOID OutputLines(const CHAR16 *const *Lines, UINTN Count) {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut = DriverSystemTable->ConOut;
  for (UINTN Index = 0; Index < Count; Index++) {
    ConOut->OutputString(ConOut, Lines[Index]);
  }
}

VOID ClearConsoleToRow(UINTN Row) {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut = DriverSystemTable->ConOut;
  ConOut->ClearScreen(ConOut);
  ConOut->SetCursorPosition(ConOut, 0, Row);
}

VOID ShowPasswordIncorrect() {
  ClearConsoleToRow(2);
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut = DriverSystemTable->ConOut;
  ConOut->OutputString(ConOut, u" Password Incorrect.  Try again.\n\r");
}
