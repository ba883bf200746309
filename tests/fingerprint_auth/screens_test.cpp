// Every screen FingerprintAuthDxe draws, from its image on the board, cell for cell: the
// no-password notice (running, paused, in each text mode it can choose), the user and
// administrator prompts with their masked echo, the wrong-entry screen, the hard-disk prompt and
// the three halt screens. One table holds the expected screens; each row names the run, the
// moment (the key the driver read, or the end of the run) and the screen the user saw then.
#include "fingerprint_board.h"

#include <functional>
#include <sstream>

namespace sim::test {
namespace {

constexpr uint64_t Poll = 10000; // each poll of the notice stalls 10 ms
constexpr uint8_t Box = 0x1F;    // white on blue
constexpr uint8_t Plain = 0x07;  // the console's light grey on black

// The key read at poll P (1-based) of the notice is pressed at this time.
uint64_t AtPoll(uint64_t P) {
  return (P - 1) * Poll;
}

struct Span {
  uint32_t Column, Row;
  std::u16string Text;
  uint8_t Attribute;
};

struct ExpectedScreen {
  uint32_t Columns, Rows;
  std::vector<Span> Spans; // painted in order over blank cells of the attribute Plain
  int32_t CursorColumn, CursorRow;
  bool CursorVisible;
  uint8_t Background = Plain; // the attribute of the blank cells
};

// ---- the notice box ---------------------------------------------------------------------------
template <size_t N> std::u16string Boxed(const char16_t (&Text)[N]) {
  static_assert(N == 56, "a box row holds 55 characters");
  return u"\u2502" + std::u16string(Text) + u"\u2502";
}

std::u16string Rule(char16_t Left, char16_t Right) {
  return Left + std::u16string(55, u'\u2500') + Right;
}

enum class Row11 { Running, Paused };

// The box with its top left corner at (L, T) and the countdown digit on its bottom border.
std::vector<Span> NoticeBox(uint32_t L, uint32_t T, Row11 State, char16_t Digit) {
  const std::u16string Rows[14] = {
      Rule(u'\u250C', u'\u2510'),
      Boxed(u"              Fingerprint Authentication               "),
      Rule(u'\u2502', u'\u2502'),
      Boxed(u" Fingerprint reader has been set up to support         "),
      Boxed(u" BIOS passwords but no BIOS passwords are set.         "),
      Boxed(u" Press one of the following keys to continue:          "),
      Boxed(u"                                                       "),
      Boxed(u"   F1 to enter BIOS Setup Utility to set passwords     "),
      Boxed(u"   F3 to not show this message again and continue      "),
      Boxed(u"   ESC to continue                                     "),
      Boxed(u"                                                       "),
      State == Row11::Running ? Boxed(u" Press ENTER to pause ...                              ")
                              : Boxed(u" Press ENTER to continue ...                           "),
      Boxed(u"                                                       "),
      Rule(u'\u2514', u'\u2518'),
  };
  std::vector<Span> Spans;
  for (uint32_t R = 0; R < 14; R++) {
    Spans.push_back({L, T + R, Rows[R], Box});
  }
  Spans.push_back({L + 27, T + 13, std::u16string(1, Digit), Box});
  return Spans;
}

// The notice as the poll loop leaves it: the cursor after the digit, hidden.
ExpectedScreen Notice(uint32_t Columns, uint32_t Rows, uint32_t L, uint32_t T, Row11 State,
                      char16_t Digit) {
  return {Columns, Rows, NoticeBox(L, T, State, Digit), (int32_t)L + 28, (int32_t)T + 13, false};
}

// ---- the text screens -------------------------------------------------------------------------
// Lines from a row down, from column 0, in the console's own attribute.
std::vector<Span> Lines(uint32_t FirstRow, const std::vector<std::u16string> &Texts) {
  std::vector<Span> Spans;
  uint32_t Row = FirstRow;
  for (const std::u16string &Text : Texts) {
    Spans.push_back({0, Row++, Text, Plain});
  }
  return Spans;
}

const std::vector<std::u16string> UserPrompt = {
    u" Fingerprint reader has an either incorrect or",
    u" missing User Password.",
    u" Type the User Password followed by the <Enter> key.",
    u" If you do not know the User Password,",
    u" press the <Enter> key.",
};

const std::vector<std::u16string> AdministratorPrompt = {
    u" Fingerprint reader has an either incorrect or",
    u" missing Administrator Password.",
    u" Type the Administrator Password followed by the",
    u" <Enter> key. If you do not know the Administrator Password",
    u" press the <Enter> key.",
};

const std::vector<std::u16string> DiskPromptForDrive3 = {
    u" Fingerprint reader has an either incorrect or",
    u" missing Hard Disk Password for SATA Drive: 3",
    u"  Type the Hard Disk Password followed by the",
    u" <Enter> key. If you do not know the Hard Disk Password",
    u" press the <Enter> key.",
};

// A prompt on the 100 x 31 screen of the run: its lines from row 3 (after the wrong-entry line
// on row 2 when there is one), the masked echo from column 1 of row 9, the cursor after it.
ExpectedScreen Prompt(const std::vector<std::u16string> &Texts, size_t Shades,
                      bool AfterWrongEntry = false) {
  std::vector<Span> Spans = Lines(3, Texts);
  if (AfterWrongEntry) {
    Spans.push_back({0, 2, u" Password Incorrect.  Try again.", Plain});
  }
  Spans.push_back({1, 9, std::u16string(Shades, u'\u2591'), Plain});
  return {100, 31, Spans, 1 + (int32_t)Shades, 9, false};
}

ExpectedScreen TextScreen(uint32_t FirstRow, const std::vector<std::u16string> &Texts) {
  std::vector<Span> Spans = Lines(FirstRow, Texts);
  const Span &Last = Spans.back();
  return {100, 31, Spans, (int32_t)Last.Text.size(), (int32_t)Last.Row, false};
}

// ---- comparing screens ------------------------------------------------------------------------
std::string CellText(const ConsoleCell &Cell) {
  std::ostringstream Out;
  if (Cell.Char >= 0x20 && Cell.Char < 0x7F) {
    Out << "'" << (char)Cell.Char << "'";
  } else {
    Out << "U+" << std::hex << std::uppercase << (int)Cell.Char;
  }
  Out << " in 0x" << std::hex << (int)Cell.Attribute;
  return Out.str();
}

void ExpectScreen(const ScreenImage &Actual, const ExpectedScreen &Want) {
  ASSERT_EQ(Actual.Columns, Want.Columns);
  ASSERT_EQ(Actual.Rows, Want.Rows);
  std::vector<ConsoleCell> Cells((size_t)Want.Columns * Want.Rows,
                                 ConsoleCell{u' ', Want.Background});
  for (const Span &S : Want.Spans) {
    ASSERT_LE(S.Column + S.Text.size(), Want.Columns) << "span beyond the right edge";
    for (size_t I = 0; I < S.Text.size(); I++) {
      Cells[(size_t)S.Row * Want.Columns + S.Column + I] = ConsoleCell{S.Text[I], S.Attribute};
    }
  }
  size_t RowsWrong = 0;
  for (uint32_t Row = 0; Row < Want.Rows; Row++) {
    for (uint32_t Column = 0; Column < Want.Columns; Column++) {
      const ConsoleCell &Expected = Cells[(size_t)Row * Want.Columns + Column];
      const ConsoleCell &Got = Actual.At(Column, Row);
      if (Got == Expected) {
        continue;
      }
      ADD_FAILURE() << "row " << Row << ", column " << Column << ": " << CellText(Got)
                    << " instead of " << CellText(Expected) << "\n  row shows \"" << Actual.Row(Row)
                    << "\"";
      RowsWrong++;
      break;
    }
    if (RowsWrong == 4) {
      ADD_FAILURE() << "...\nthe whole screen:\n" << Actual.Text();
      break;
    }
  }
  EXPECT_EQ(Actual.CursorColumn, Want.CursorColumn);
  EXPECT_EQ(Actual.CursorRow, Want.CursorRow);
  EXPECT_EQ(Actual.CursorVisible, Want.CursorVisible);
}

// ---- the table --------------------------------------------------------------------------------
constexpr int EndOfRun = -1;

struct ScreenCase {
  const char *Name;
  std::function<void(Notebook &)> Arrange; // passwords, drives, console modes, keys
  uint32_t AuthFlags;
  int Key; // the screen shown when the driver read this key (0-based), or EndOfRun: the screen
           // the run left behind
  ExpectedScreen Screen;
};

// The screen as the user saw it when the driver read key K of the script: the last frame the
// console took before that read.
const ScreenImage *ScreenAtKey(const Notebook &N, const AuthRun &R, int K) {
  const std::vector<ConsoleCall> &Calls = N.B.Console.Calls();
  size_t ReadAt = Calls.size();
  int Seen = 0;
  for (size_t I = R.FirstCall; I < Calls.size(); I++) {
    if (Calls[I].Name == "ReadKeyStroke" && !Calls[I].Text.empty() && Seen++ == K) {
      ReadAt = I;
      break;
    }
  }
  if (ReadAt == Calls.size()) {
    return nullptr;
  }
  const ScreenImage *Shown = nullptr;
  for (size_t I = R.FirstFrame; I < N.B.Console.Frames().size(); I++) {
    if (N.B.Console.Frames()[I].CallIndex <= ReadAt) {
      Shown = &N.B.Console.Frames()[I].Screen;
    }
  }
  return Shown;
}

class Screens : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(Screens, AreDrawnCellForCell) {
  const ScreenCase &Case = GetParam();
  Notebook N;
  Case.Arrange(N);
  AuthRun R = N.Run(Case.AuthFlags);
  ASSERT_NE(R.How, AuthOutcome::Crashed) << R.Message;
  ASSERT_NE(R.How, AuthOutcome::Stuck) << R.Message;
  const ScreenImage *Shown = nullptr;
  if (Case.Key == EndOfRun) {
    Shown = &N.B.Console.Screen();
  } else {
    Shown = ScreenAtKey(N, R, Case.Key);
  }
  ASSERT_NE(Shown, nullptr) << "no screen before key " << Case.Key;
  ExpectScreen(*Shown, Case.Screen);
}

// Keys the notice reads at the given polls.
void NoticeKeys(Notebook &N, std::initializer_list<std::pair<const char *, uint64_t>> Keys) {
  for (auto [Name, AtPollNumber] : Keys) {
    ASSERT_TRUE(N.B.Console.QueueNamed(Name, AtPoll(AtPollNumber))) << Name;
  }
}

// Enter at polls 2 to 5 and ESC at poll 6: key K is read with K Enters behind it.
void FourEnters(Notebook &N) {
  NoticeKeys(N, {{"ENTER", 2}, {"ENTER", 3}, {"ENTER", 4}, {"ENTER", 5}, {"ESC", 6}});
}

void UserPassword(Notebook &N, const std::u16string &Keys) {
  N.SetPasswords("user", "");
  N.B.Console.QueueText(Keys);
}

SataDrive &LockedDrive3(Notebook &N, const std::u16string &Keys) {
  N.B.Console.QueueText(Keys);
  return N.B.Sata.AddLockedDrive("disk", 1, 1, 0, ModuleForm("disk")); // channel 1, device 1
}

INSTANTIATE_TEST_SUITE_P(
    Table, Screens,
    ::testing::Values(
        // The notice at 100 x 31 (the first mode large enough): column 22, row 8.
        ScreenCase{"NoticeRunning", FourEnters, 0, 0, Notice(100, 31, 22, 8, Row11::Running, u'9')},
        ScreenCase{"NoticePausedAfterOneEnter", FourEnters, 0, 1,
                   Notice(100, 31, 22, 8, Row11::Paused, u'9')},
        ScreenCase{"NoticeRunningAfterTwoEnters", FourEnters, 0, 2,
                   Notice(100, 31, 22, 8, Row11::Running, u'9')},
        ScreenCase{"NoticePausedAfterThreeEnters", FourEnters, 0, 3,
                   Notice(100, 31, 22, 8, Row11::Paused, u'9')},
        ScreenCase{"NoticeRunningAfterFourEnters", FourEnters, 0, 4,
                   Notice(100, 31, 22, 8, Row11::Running, u'9')},
        ScreenCase{"NoticeCountingAtEight",
                   [](Notebook &N) {
                     NoticeKeys(N, {{"ESC", 250}});
                   },
                   0, 0, Notice(100, 31, 22, 8, Row11::Running, u'8')},
        // No mode of 100 x 31: mode 0 (80 x 25 here), laid out for 80 x 24.
        ScreenCase{"NoticeInTheFallbackMode",
                   [](Notebook &N) {
                     N.B.Console.SetModes({{80, 25}, {90, 30}});
                     NoticeKeys(N, {{"ESC", 2}});
                   },
                   0, 0, Notice(80, 25, 12, 5, Row11::Running, u'9')},
        // A mode whose QueryMode fails is passed over, not taken and not the end of the search.
        // The box stays centred for the 100 x 31 it asked for, in the larger mode.
        ScreenCase{"NoticeSkipsAModeQueryModeRefuses",
                   [](Notebook &N) {
                     N.B.Console.SetModes({{80, 25}, {100, 31, false}, {128, 40}});
                     NoticeKeys(N, {{"ESC", 2}});
                   },
                   0, 0, Notice(128, 40, 22, 8, Row11::Running, u'9')},

        // Every way out of the notice leaves a cleared screen in white on black.
        ScreenCase{"NoticeClosed",
                   [](Notebook &N) {
                     NoticeKeys(N, {{"ESC", 2}});
                   },
                   0, EndOfRun, ExpectedScreen{100, 31, {}, 0, 0, false, 0x0F}},

        // The power-on password prompts of a boot run with a user password.
        ScreenCase{"UserPrompt", [](Notebook &N) { UserPassword(N, u"user\r"); }, 0, 0,
                   Prompt(UserPrompt, 0)},
        ScreenCase{"UserPromptEchoesAShadePerCharacter",
                   [](Notebook &N) { UserPassword(N, u"user\r"); }, 0, 4, Prompt(UserPrompt, 4)},
        ScreenCase{"BackspaceErasesTheLastShade",
                   [](Notebook &N) { UserPassword(N, u"usex\br\r"); }, 0, 5, Prompt(UserPrompt, 3)},
        // Backspace with nothing typed leaves the cursor at column 1.
        ScreenCase{"BackspaceAtTheStartOfTheLine",
                   [](Notebook &N) { UserPassword(N, u"\b\buser\r"); }, 0, 6,
                   Prompt(UserPrompt, 4)},
        ScreenCase{"WrongUserPassword", [](Notebook &N) { UserPassword(N, u"bad\ruser\r"); }, 0, 4,
                   Prompt(UserPrompt, 0, true)},
        ScreenCase{"AdministratorPrompt",
                   [](Notebook &N) {
                     N.SetPasswords("user", "admin");
                     N.B.Console.QueueText(u"user\radmin\r");
                   },
                   AUTH_SYSTEM_PASSWORD_RUN, 5, Prompt(AdministratorPrompt, 0)},
        ScreenCase{"WrongAdministratorPassword",
                   [](Notebook &N) {
                     N.SetPasswords("", "admin");
                     N.B.Console.QueueText(u"bad\radmin\r");
                   },
                   AUTH_SYSTEM_PASSWORD_RUN, 4, Prompt(AdministratorPrompt, 0, true)},
        ScreenCase{"SystemPasswordHalt", [](Notebook &N) { UserPassword(N, u"a\rb\rc\r"); }, 0,
                   EndOfRun,
                   TextScreen(2, {u" Password check failed", u" Fatal Error... System Halted"})},

        // The hard-disk prompt of a boot run with a locked drive and no system password.
        ScreenCase{"DiskPrompt", [](Notebook &N) { LockedDrive3(N, u"disk\r"); }, 0, 0,
                   Prompt(DiskPromptForDrive3, 0)},
        ScreenCase{"DiskPromptEcho", [](Notebook &N) { LockedDrive3(N, u"disk\r"); }, 0, 4,
                   Prompt(DiskPromptForDrive3, 4)},
        ScreenCase{"WrongDiskPassword", [](Notebook &N) { LockedDrive3(N, u"bad\rdisk\r"); }, 0, 4,
                   Prompt(DiskPromptForDrive3, 0, true)},
        // A drive that never stops counting: three wrong entries halt as at the user prompt.
        ScreenCase{"DiskHalt", [](Notebook &N) { LockedDrive3(N, u"a\rb\rc\r").AttemptLimit = 0; },
                   0, EndOfRun,
                   TextScreen(2, {u" Password check failed", u" Fatal Error... System Halted"})},
        // A drive that refuses every password until it is powered off.
        ScreenCase{"DiskAttemptsUsedUp",
                   [](Notebook &N) {
                     SataDrive &D = LockedDrive3(N, u"disk\r");
                     D.WrongAttempts = D.AttemptLimit;
                   },
                   0, EndOfRun,
                   TextScreen(2, {u" Hard Disk Password attempts used up for SATA Drive: 3",
                                  u" The drive refuses every password until the machine",
                                  u" is powered off.", u" Fatal Error... System Halted"})}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// Before the notice draws its first row the console is in text mode, reset (without the long
// check), in the chosen mode and without a cursor.
TEST(NoticeConsole, IsResetAndLosesItsCursorBeforeTheFirstRow) {
  Notebook N;
  NoticeKeys(N, {{"ESC", 2}});
  AuthRun R = N.Run(0);
  N.ExpectCleanReturn(R);
  std::vector<std::string> Calls;
  for (size_t I = R.FirstCall; I < N.B.Console.Calls().size() && Calls.size() < 7; I++) {
    Calls.push_back(N.B.Console.Calls()[I].Describe());
  }
  ASSERT_EQ(Calls.size(), 7u);
  EXPECT_EQ(Calls[6].rfind("OutputString(\"\u250C", 0), 0u) << Calls[6];
  Calls.pop_back();
  EXPECT_EQ(Calls, (std::vector<std::string>{"ConsoleControl.SetMode(Text)", "Reset(FALSE)",
                                             "SetMode(2)", "EnableCursor(FALSE)",
                                             "SetCursorPosition(22, 8)", "SetAttribute(0x1F)"}));
}

} // namespace
} // namespace sim::test
