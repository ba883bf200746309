// The board's console through its protocols, called natively as a driver calls them: modes,
// the screen of cells, wrapping and scrolling, the key queue and the stuck wait, frames, the
// call log and console control.
#include "board.h"
#include "guids.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

class ConsoleTest : public ::testing::Test {
protected:
  Board B;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Out = B.SystemTable.ConOut;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *In = B.SystemTable.ConIn;

  void Print(const char16_t *Text) { ASSERT_EQ(Out->OutputString(Out, Text), EFI_SUCCESS); }
  void MoveTo(UINTN Column, UINTN Row) {
    ASSERT_EQ(Out->SetCursorPosition(Out, Column, Row), EFI_SUCCESS);
  }
  std::string Row(uint32_t R) const { return B.Console.Screen().Row(R); }
  std::pair<int, int> Cursor() const { return {Out->Mode->CursorColumn, Out->Mode->CursorRow}; }
  // A small screen keeps the wrapping and scrolling cases readable.
  void UseSmallScreen() {
    B.Console.SetModes({{10, 3, true}});
    ASSERT_EQ(Out->SetMode(Out, 0), EFI_SUCCESS);
  }
};

TEST_F(ConsoleTest, SystemTableAndConsoleOutHandleReachTheConsole) {
  EFI_SYSTEM_TABLE &St = B.SystemTable;
  ASSERT_NE(St.ConIn, nullptr);
  ASSERT_NE(St.ConOut, nullptr);
  EXPECT_EQ(St.StdErr, St.ConOut);
  void *Interface = nullptr;
  ASSERT_EQ(B.BootServices.HandleProtocol(St.ConsoleOutHandle,
                                          &EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID, &Interface),
            EFI_SUCCESS);
  EXPECT_EQ(Interface, St.ConOut);
  ASSERT_EQ(B.BootServices.HandleProtocol(St.ConsoleInHandle, &EFI_SIMPLE_TEXT_INPUT_PROTOCOL_GUID,
                                          &Interface),
            EFI_SUCCESS);
  EXPECT_EQ(Interface, St.ConIn);

  // A reboot puts the console on new handles and back into mode 0 with a clear screen.
  ASSERT_EQ(Out->SetMode(Out, 2), EFI_SUCCESS);
  Print(u"before");
  B.Reboot();
  ASSERT_EQ(B.SystemTable.ConOut, Out);
  EXPECT_EQ(Out->Mode->Mode, 0);
  EXPECT_TRUE(B.Console.Screen().Blank());
  ASSERT_EQ(B.BootServices.HandleProtocol(B.SystemTable.ConsoleOutHandle,
                                          &EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID, &Interface),
            EFI_SUCCESS);
  EXPECT_EQ(Interface, Out);
  ASSERT_EQ(B.Console.Frames().size(), 1u);
  EXPECT_EQ(B.Console.Frames()[0].Screen.Row(0).substr(0, 6), "before");
}

TEST_F(ConsoleTest, ModeListDecidesQueryAndSetMode) {
  B.Console.SetModes({{80, 25, true}, {80, 50, false}, {100, 31, true}});
  EXPECT_EQ(Out->Mode->MaxMode, 3);
  Print(u"text");

  struct Case {
    UINTN Mode;
    EFI_STATUS Query;
    UINTN Columns, Rows;
    EFI_STATUS Set;
  };
  const Case Cases[] = {
      {0, EFI_SUCCESS, 80, 25, EFI_SUCCESS},
      {1, EFI_UNSUPPORTED, 0, 0, EFI_UNSUPPORTED}, // flagged invalid
      {2, EFI_SUCCESS, 100, 31, EFI_SUCCESS},
      {3, EFI_UNSUPPORTED, 0, 0, EFI_UNSUPPORTED}, // MaxMode
      {~UINTN{0}, EFI_UNSUPPORTED, 0, 0, EFI_UNSUPPORTED},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE("mode " + std::to_string(C.Mode));
    UINTN Columns = 0, Rows = 0;
    EXPECT_EQ(Out->QueryMode(Out, C.Mode, &Columns, &Rows), C.Query);
    if (C.Query == EFI_SUCCESS) {
      EXPECT_EQ(Columns, C.Columns);
      EXPECT_EQ(Rows, C.Rows);
    }
    MoveTo(3, 2);
    Print(u"x");
    int32_t ModeBefore = Out->Mode->Mode;
    EXPECT_EQ(Out->SetMode(Out, C.Mode), C.Set);
    if (C.Set == EFI_SUCCESS) {
      EXPECT_EQ(Out->Mode->Mode, (int32_t)C.Mode);
      EXPECT_EQ(B.Console.Screen().Columns, C.Columns);
      EXPECT_EQ(B.Console.Screen().Rows, C.Rows);
      EXPECT_TRUE(B.Console.Screen().Blank()) << "SetMode clears the screen";
      EXPECT_EQ(Cursor(), std::make_pair(0, 0));
    } else {
      EXPECT_EQ(Out->Mode->Mode, ModeBefore);
      EXPECT_EQ(B.Console.Screen().At(3, 2).Char, u'x') << "a refused SetMode keeps the screen";
      EXPECT_EQ(Cursor(), std::make_pair(4, 2));
    }
  }
}

TEST_F(ConsoleTest, OutputStringWritesCellsWithTheAttributeAtTheCursor) {
  ASSERT_EQ(Out->SetAttribute(Out, 0x1F), EFI_SUCCESS);
  MoveTo(5, 2);
  Print(u"AB\x2500");
  const ScreenImage &S = B.Console.Screen();
  EXPECT_EQ(S.At(4, 2), (ConsoleCell{u' ', 0x07}));
  EXPECT_EQ(S.At(5, 2), (ConsoleCell{u'A', 0x1F}));
  EXPECT_EQ(S.At(6, 2), (ConsoleCell{u'B', 0x1F}));
  EXPECT_EQ(S.At(7, 2), (ConsoleCell{u'\x2500', 0x1F}));
  EXPECT_EQ(S.At(8, 2), (ConsoleCell{u' ', 0x07}));
  EXPECT_EQ(Cursor(), std::make_pair(8, 2));
  EXPECT_EQ(Out->Mode->Attribute, 0x1F);

  // \n goes down one row in the same column, \r back to column 0.
  Print(u"\nC");
  EXPECT_EQ(S.At(8, 3).Char, u'C');
  Print(u"\rD\n\r");
  EXPECT_EQ(S.At(0, 3).Char, u'D');
  EXPECT_EQ(Cursor(), std::make_pair(0, 4));

  EXPECT_EQ(Out->SetAttribute(Out, 0x80), EFI_UNSUPPORTED);
  EXPECT_EQ(Out->Mode->Attribute, 0x1F);
}

TEST_F(ConsoleTest, WrapsAtTheRightEdgeAndScrollsAtTheBottom) {
  UseSmallScreen();
  Print(u"0123456789ab");
  EXPECT_EQ(Row(0), "0123456789");
  EXPECT_EQ(Row(1), "ab        ");
  EXPECT_EQ(Cursor(), std::make_pair(2, 1));

  ASSERT_EQ(Out->SetAttribute(Out, 0x4E), EFI_SUCCESS);
  Print(u"\r\nline3\r\nline4");
  EXPECT_EQ(Row(0), "ab        ");
  EXPECT_EQ(Row(1), "line3     ");
  EXPECT_EQ(Row(2), "line4     ");
  EXPECT_EQ(Cursor(), std::make_pair(5, 2));
  // The row that scrolled in is blank in the attribute of the moment.
  EXPECT_EQ(B.Console.Screen().At(9, 2), (ConsoleCell{u' ', 0x4E}));

  // Filling the last row to its end wraps, which scrolls once more.
  Print(u"56789");
  EXPECT_EQ(Row(0), "line3     ");
  EXPECT_EQ(Row(1), "line456789");
  EXPECT_EQ(Row(2), "          ");
  EXPECT_EQ(Cursor(), std::make_pair(0, 2));
}

TEST_F(ConsoleTest, CursorPositionOutsideTheModeIsRefused) {
  UseSmallScreen();
  MoveTo(9, 2);
  const std::pair<UINTN, UINTN> Refused[] = {{10, 0}, {0, 3}, {10, 3}, {~UINTN{0}, 0}};
  for (auto [Column, Row] : Refused) {
    EXPECT_EQ(Out->SetCursorPosition(Out, Column, Row), EFI_UNSUPPORTED) << Column << ", " << Row;
    EXPECT_EQ(Cursor(), std::make_pair(9, 2));
  }
}

TEST_F(ConsoleTest, ClearScreenFillsWithTheCurrentAttributeAndHomesTheCursor) {
  Print(u"something");
  ASSERT_EQ(Out->SetAttribute(Out, 0x0F), EFI_SUCCESS);
  ASSERT_EQ(Out->ClearScreen(Out), EFI_SUCCESS);
  EXPECT_EQ(Cursor(), std::make_pair(0, 0));
  for (const ConsoleCell &Cell : B.Console.Screen().Cells) {
    ASSERT_EQ(Cell, (ConsoleCell{u' ', 0x0F}));
  }
}

TEST_F(ConsoleTest, ResetGoesToModeZeroInLightGreyOnBlack) {
  ASSERT_EQ(Out->SetMode(Out, 3), EFI_SUCCESS);
  ASSERT_EQ(Out->SetAttribute(Out, 0x1F), EFI_SUCCESS);
  Print(u"x");
  ASSERT_EQ(Out->Reset(Out, FALSE), EFI_SUCCESS);
  EXPECT_EQ(Out->Mode->Mode, 0);
  EXPECT_EQ(Out->Mode->Attribute, 0x07);
  EXPECT_EQ(B.Console.Screen().Columns, 80u);
  EXPECT_TRUE(B.Console.Screen().Blank());
}

TEST_F(ConsoleTest, RendersPlainTextAndAnsiColoursWithBoxCharactersAsUtf8) {
  UseSmallScreen();
  ASSERT_EQ(Out->SetAttribute(Out, 0x1F), EFI_SUCCESS);
  Print(u"\x250C\x2500\x2510 \x2591");
  ASSERT_EQ(Out->SetAttribute(Out, 0x07), EFI_SUCCESS);
  MoveTo(0, 2);
  Print(u"ok");
  EXPECT_EQ(B.Console.Screen().Text(), "\u250C\u2500\u2510 \u2591\n\nok");
  std::string Ansi = B.Console.Screen().Ansi();
  const std::string FirstCells = "\x1b[97;44m\u250C\u2500\u2510 \u2591\x1b[37;40m     \x1b[0m\n";
  EXPECT_EQ(Ansi.substr(0, FirstCells.size()), FirstCells);
  EXPECT_NE(Ansi.find("\x1b[37;40mok        \x1b[0m\n"), std::string::npos) << Ansi;
}

TEST_F(ConsoleTest, CallLogKeepsTheOrderOfOutputCalls) {
  ASSERT_EQ(Out->SetMode(Out, 2), EFI_SUCCESS);
  ASSERT_EQ(Out->EnableCursor(Out, FALSE), EFI_SUCCESS);
  MoveTo(49, 21);
  ASSERT_EQ(Out->SetAttribute(Out, 0x1F), EFI_SUCCESS);
  Print(u"9");
  ASSERT_EQ(Out->ClearScreen(Out), EFI_SUCCESS);
  EXPECT_EQ(Out->SetCursorPosition(Out, 100, 0), EFI_UNSUPPORTED);
  Print(u" a\n\r");
  EXPECT_EQ(
      B.Console.CallTexts(),
      (std::vector<std::string>{"SetMode(2)", "EnableCursor(FALSE)", "SetCursorPosition(49, 21)",
                                "SetAttribute(0x1F)", "OutputString(\"9\")", "ClearScreen",
                                "SetCursorPosition(100, 0) -> EFI_UNSUPPORTED (0x8000000000000003)",
                                "OutputString(\" a\\n\\r\")"}));
  EXPECT_EQ(B.Console.CallTexts({"OutputString"}),
            (std::vector<std::string>{"OutputString(\"9\")", "OutputString(\" a\\n\\r\")"}));
  EXPECT_FALSE(Out->Mode->CursorVisible);
  EXPECT_TRUE(B.Problems.empty());
}

TEST_F(ConsoleTest, CallsThroughAnotherThisPointerAreProblems) {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL Copy = *Out;
  Copy.OutputString(&Copy, u"x");
  EXPECT_EQ(B.Problems.size(), 1u);
}

TEST_F(ConsoleTest, KeyQueueGivesKeysInOrderAndNotReadyWhenEmpty) {
  EFI_INPUT_KEY Key{0x0E, 0};
  EXPECT_EQ(In->ReadKeyStroke(In, &Key), EFI_NOT_READY);
  EXPECT_EQ(Key.ScanCode, 0x0E) << "a read without a key leaves the record alone";

  B.Console.QueueText(u"a\b\r");
  ASSERT_TRUE(B.Console.QueueNamed("F3"));
  ASSERT_TRUE(B.Console.QueueNamed("esc"));
  EXPECT_FALSE(B.Console.QueueNamed("F99"));
  const EFI_INPUT_KEY Expected[] = {{0, u'a'}, {0, 8}, {0, 13}, {SCAN_F3, 0}, {SCAN_ESC, 0}};
  for (const EFI_INPUT_KEY &E : Expected) {
    ASSERT_EQ(In->ReadKeyStroke(In, &Key), EFI_SUCCESS);
    EXPECT_EQ(Key.ScanCode, E.ScanCode);
    EXPECT_EQ(Key.UnicodeChar, E.UnicodeChar);
  }
  EXPECT_EQ(In->ReadKeyStroke(In, &Key), EFI_NOT_READY);
  EXPECT_EQ(B.Console.KeysRead().size(), 5u);
  EXPECT_EQ(B.Console.KeyReads(), 7u);
  EXPECT_EQ(B.Console.CallTexts({"ReadKeyStroke"}).back(), "ReadKeyStroke -> none");
  EXPECT_EQ(B.Console.CallTexts({"ReadKeyStroke"})[4], "ReadKeyStroke -> F3");
}

TEST_F(ConsoleTest, TimedKeyComesWhenTheClockReachesItsTime) {
  // Enter pressed after 150 polls of 10 ms.
  B.Console.QueueNamed("ENTER", 1500000);
  B.Console.QueueText(u"x");
  EFI_INPUT_KEY Key{};
  int Polls = 0;
  while (In->ReadKeyStroke(In, &Key) == EFI_NOT_READY) {
    B.BootServices.Stall(10000);
    ASSERT_LT(++Polls, 1000);
  }
  EXPECT_EQ(Polls, 150);
  EXPECT_EQ(Key.UnicodeChar, 13);
  ASSERT_EQ(In->ReadKeyStroke(In, &Key), EFI_SUCCESS) << "the keys behind it come at once";
  EXPECT_EQ(Key.UnicodeChar, u'x');
}

TEST_F(ConsoleTest, WaitForKeyLetsTimePassUntilTheKeyAndEndsStuckWithoutOne) {
  B.Console.QueueText(u"k", 2000000);
  RunResult Result = B.RunGuardedCall("wait", [&]() -> uint64_t {
    UINTN Index = 99;
    EFI_STATUS Status = B.BootServices.WaitForEvent(1, &In->WaitForKey, &Index);
    EXPECT_EQ(Index, 0u);
    EXPECT_EQ(B.ClockMicroseconds, 2000000u);
    EFI_INPUT_KEY Key{};
    EXPECT_EQ(In->ReadKeyStroke(In, &Key), EFI_SUCCESS);
    EXPECT_EQ(Key.UnicodeChar, u'k');
    return Status;
  });
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_SUCCESS);

  Print(u"Type the password");
  Result = B.RunGuardedCall("wait", [&]() -> uint64_t {
    UINTN Index;
    B.BootServices.WaitForEvent(1, &In->WaitForKey, &Index);
    return 0x1234; // never reached
  });
  EXPECT_EQ(Result.How, Outcome::Halted);
  EXPECT_NE(Result.Message.find("stuck"), std::string::npos) << Result.Message;
  // The screen the user was left with is a frame.
  ASSERT_FALSE(B.Console.Frames().empty());
  EXPECT_EQ(B.Console.Frames().back().Reason, "key wait");
  EXPECT_TRUE(B.Console.Frames().back().Screen.Contains(u"Type the password"));
}

// A driver that polls ReadKeyStroke with a 10 ms Stall between polls (as the notice's countdown
// does) and ends at the key 'q': with no key left in the script it would poll for ever, so the
// board ends its run as stuck once the bound of board time has passed since the last key.
struct PollingCase {
  const char *Name;
  std::vector<std::pair<char16_t, uint64_t>> Keys; // key, pressed at (board microseconds)
  uint64_t Limit;                                  // the console's bound
  bool Stuck;                                      // else the loop read 'q' and returned
  uint64_t EndsAt; // board time at the end, within two polls (the bound counts from the first
                   // poll that finds nothing left, one poll after the last key)
};

class PollingTest : public ConsoleTest, public ::testing::WithParamInterface<PollingCase> {};

TEST_P(PollingTest, PollingPastTheLastKeyEndsTheRunAsStuck) {
  const PollingCase &C = GetParam();
  B.Console.IdlePollLimitMicroseconds = C.Limit;
  for (const auto &[Char, At] : C.Keys) {
    B.Console.QueueKey(0, Char, At);
  }
  Print(u"Press a key");
  RunResult Result = B.RunGuardedCall("poll", [&]() -> uint64_t {
    for (int Poll = 0; Poll < 100000; Poll++) { // 1000 s: a board that never ends the loop
      EFI_INPUT_KEY Key{};
      if (In->ReadKeyStroke(In, &Key) == EFI_SUCCESS && Key.UnicodeChar == u'q') {
        return B.ClockMicroseconds;
      }
      B.BootServices.Stall(10000);
    }
    return 0;
  });
  EXPECT_EQ(Result.How, C.Stuck ? Outcome::Halted : Outcome::Returned) << Result.Message;
  if (C.Stuck) {
    EXPECT_NE(Result.Message.find("stuck"), std::string::npos) << Result.Message;
  }
  EXPECT_GE(B.ClockMicroseconds, C.EndsAt);
  EXPECT_LE(B.ClockMicroseconds, C.EndsAt + 20000);
  EXPECT_EQ(B.Console.KeysRead().size(), C.Keys.size()) << "every scripted key was read";
  EXPECT_TRUE(B.Console.Frames().back().Screen.Contains(u"Press a key"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PollingTest,
    ::testing::Values(PollingCase{"NoKeyAtAll", {}, 60000000, true, 60000000},
                      PollingCase{"CountedFromTheLastKey",
                                  {{u'a', 30000000}, {u'a', 70000000}},
                                  60000000,
                                  true,
                                  130000000},
                      PollingCase{
                          "AKeyWithinTheBound", {{u'q', 59000000}}, 60000000, false, 59000000},
                      PollingCase{"TheBoundIsTheConsoles", {}, 1000000, true, 1000000}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(ConsoleTest, FramesAreTakenAtKeyReadsAndClearsWhenTheScreenChanged) {
  EFI_INPUT_KEY Key;
  In->ReadKeyStroke(In, &Key); // blank screen: nothing to record
  ASSERT_EQ(Out->ClearScreen(Out), EFI_SUCCESS);
  EXPECT_TRUE(B.Console.Frames().empty());

  Print(u"9");
  In->ReadKeyStroke(In, &Key);
  In->ReadKeyStroke(In, &Key); // unchanged
  MoveTo(0, 0);
  Print(u"9"); // rewritten with the same text: still unchanged
  In->ReadKeyStroke(In, &Key);
  ASSERT_EQ(B.Console.Frames().size(), 1u);
  B.BootServices.Stall(10000);
  MoveTo(0, 0);
  Print(u"8");
  In->ReadKeyStroke(In, &Key);
  ASSERT_EQ(Out->ClearScreen(Out), EFI_SUCCESS); // held "8" already recorded
  Print(u"bye");
  ASSERT_EQ(Out->ClearScreen(Out), EFI_SUCCESS);

  const auto &Frames = B.Console.Frames();
  ASSERT_EQ(Frames.size(), 3u);
  EXPECT_EQ(Frames[0].Reason, "key read");
  EXPECT_EQ(Frames[0].Screen.Row(0)[0], '9');
  EXPECT_EQ(Frames[1].Screen.Row(0)[0], '8');
  EXPECT_EQ(Frames[1].Microseconds, 10000u);
  EXPECT_EQ(Frames[2].Reason, "clear screen");
  EXPECT_EQ(Frames[2].Screen.Row(0).substr(0, 3), "bye");
  EXPECT_TRUE(Frames[2].GraphicsMode) << "console control is still in graphics mode";
}

TEST_F(ConsoleTest, ConsoleControlRecordsModesAndCanBeTakenAway) {
  EFI_CONSOLE_CONTROL_PROTOCOL *Control = nullptr;
  ASSERT_EQ(
      B.BootServices.LocateProtocol(&EFI_CONSOLE_CONTROL_PROTOCOL_GUID, nullptr, (void **)&Control),
      EFI_SUCCESS);
  EFI_CONSOLE_CONTROL_SCREEN_MODE Mode;
  ASSERT_EQ(Control->GetMode(Control, &Mode, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Mode, EfiConsoleControlScreenGraphics);
  ASSERT_EQ(Control->SetMode(Control, EfiConsoleControlScreenText), EFI_SUCCESS);
  EXPECT_EQ(Control->SetMode(Control, EfiConsoleControlScreenMaxValue), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Control->GetMode(Control, &Mode, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Mode, EfiConsoleControlScreenText);
  EXPECT_EQ(B.Console.ControlSetModes,
            std::vector<EFI_CONSOLE_CONTROL_SCREEN_MODE>{EfiConsoleControlScreenText});

  B.Console.RemoveConsoleControl();
  B.Reboot();
  EXPECT_EQ(
      B.BootServices.LocateProtocol(&EFI_CONSOLE_CONTROL_PROTOCOL_GUID, nullptr, (void **)&Control),
      EFI_NOT_FOUND);
  EXPECT_NE(B.SystemTable.ConOut, nullptr) << "the text console stays";
}

TEST(ConsoleKeys, NamesAndScriptTextMapToEfiKeys) {
  struct Case {
    const char *Name;
    EFI_INPUT_KEY Key;
  };
  const Case Cases[] = {{"ESC", {SCAN_ESC, 0}}, {"F1", {SCAN_F1, 0}},  {"F3", {SCAN_F3, 0}},
                        {"Enter", {0, 13}},     {"BACKSPACE", {0, 8}}, {"UP", {SCAN_UP, 0}},
                        {"F12", {0x16, 0}}};
  for (const Case &C : Cases) {
    EFI_INPUT_KEY Key{};
    ASSERT_TRUE(NamedKey(C.Name, Key)) << C.Name;
    EXPECT_EQ(Key.ScanCode, C.Key.ScanCode) << C.Name;
    EXPECT_EQ(Key.UnicodeChar, C.Key.UnicodeChar) << C.Name;
  }
  EXPECT_EQ(KeyName({0, u'q'}), "'q'");
  EXPECT_EQ(KeyName({SCAN_F1, 0}), "F1");
}

} // namespace
} // namespace sim
