// The no-password notice of FingerprintAuthDxe, from its image on the board: text mode, box,
// countdown timing in polls, pause and resume, ESC, F1, F3 and ignored keys.
#include "fingerprint_board.h"

namespace sim::test {
namespace {

constexpr uint64_t Poll = 10000; // each poll stalls 10 ms

// A run that shows the notice: a reader, no password, no drive, "UPEKFLAG" not set.
struct NoticeRun {
  Notebook N;
  AuthRun R;
  void Start(uint32_t ControlFlags = 0) { R = N.Run(0, ControlFlags); }
  // The countdown digits the run wrote, in order.
  std::u16string Digits() const {
    std::u16string Out;
    for (const ConsoleCall &Call : N.B.Console.Calls()) {
      if (Call.Name == "OutputString" && Call.Text.size() == 1 && Call.Text[0] >= u'0' &&
          Call.Text[0] <= u'9') {
        Out += Call.Text[0];
      }
    }
    return Out;
  }
  // The key read at poll P (1-based) is pressed at this time.
  static uint64_t AtPoll(uint64_t P) { return (P - 1) * Poll; }
};

std::u16string Runs(std::initializer_list<std::pair<char16_t, size_t>> Parts) {
  std::u16string Out;
  for (auto [Digit, Count] : Parts) {
    Out.append(Count, Digit);
  }
  return Out;
}

// The digits of a countdown: "9" for 201 polls, "8" for the given number of polls (more when a
// pause held it), then 7 down to 0 for 100 polls each.
std::u16string CountdownDigits(size_t PollsOfEight) {
  std::u16string Out = Runs({{u'9', 201}, {u'8', PollsOfEight}});
  for (char16_t Digit = u'7'; Digit >= u'0'; Digit--) {
    Out.append(100, Digit);
  }
  return Out;
}

// Every exit of the notice disables the cursor, sets white on black and clears the screen.
void ExpectScreenRestored(const Notebook &N) {
  std::vector<std::string> Calls = N.B.Console.CallTexts();
  ASSERT_GE(Calls.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(Calls.end() - 3, Calls.end()),
            (std::vector<std::string>{"EnableCursor(FALSE)", "SetAttribute(0x0F)", "ClearScreen"}));
}

TEST(Notice, CountsDownElevenStepsAndCloses) {
  NoticeRun T;
  T.Start();
  T.N.ExpectCleanReturn(T.R);
  EXPECT_EQ(T.R.Status, EFI_ABORTED);
  // 1101 polls of 10 ms: "9" for 201 polls, then 8 down to 0 for 100 polls each.
  EXPECT_EQ(T.R.Microseconds, 1101 * Poll);
  EXPECT_EQ(T.Digits(), CountdownDigits(100));
  // The run returns at the caller's task priority level and leaves a cleared white-on-black
  // screen.
  EXPECT_EQ(T.R.TplAfter, TPL_APPLICATION);
  ExpectScreenRestored(T.N);
  EXPECT_TRUE(T.N.B.Console.Screen().Blank());
  EXPECT_EQ(T.N.B.Console.ControlSetModes.front(), EfiConsoleControlScreenText);
}

TEST(Notice, TheBoxInTheFirstLargeEnoughMode) {
  NoticeRun T;
  T.N.B.Console.SetModes({{80, 25}, {80, 50}, {100, 31}, {128, 40}});
  T.N.B.Console.QueueNamed("ESC", NoticeRun::AtPoll(2));
  T.Start();
  T.N.ExpectCleanReturn(T.R);
  EXPECT_EQ(T.N.B.Console.ModeRecord().Mode, 2);
  // The frame taken while the notice waits for keys.
  ASSERT_FALSE(T.N.Screens(T.R).empty());
  const ScreenImage &Screen = T.N.B.Console.Frames()[T.R.FirstFrame].Screen;
  EXPECT_EQ(Screen.Columns, 100u);
  // Column 22, row 8 at 100 x 31; 57 cells wide, 14 rows high, white on blue.
  EXPECT_EQ(Screen.At(22, 8).Char, 0x250C);
  EXPECT_EQ(Screen.At(78, 8).Char, 0x2510);
  EXPECT_EQ(Screen.At(22, 21).Char, 0x2514);
  EXPECT_EQ(Screen.At(78, 21).Char, 0x2518);
  EXPECT_EQ(Screen.At(22, 10).Char, 0x2502); // the rule under the title ends in plain lines
  EXPECT_EQ(Screen.At(23, 10).Char, 0x2500);
  EXPECT_EQ(Screen.At(78, 10).Char, 0x2502);
  EXPECT_EQ(Screen.At(22 + 27, 21).Char, u'9');
  EXPECT_EQ(Screen.At(40, 12).Attribute, 0x1F);
  EXPECT_EQ(Screen.RowChars(9).substr(23, 55),
            u"              Fingerprint Authentication               ");
  EXPECT_EQ(Screen.RowChars(19).substr(23, 55),
            u" Press ENTER to pause ...                              ");
  EXPECT_EQ(Screen.RowChars(15).substr(23, 55),
            u"   F1 to enter BIOS Setup Utility to set passwords     ");
}

TEST(Notice, ConsolesWithoutA100By31ModeFallBackTo80By24) {
  NoticeRun T;
  T.N.B.Console.SetModes({{80, 25}, {90, 30}});
  T.N.B.Console.QueueNamed("ESC", NoticeRun::AtPoll(2));
  T.Start();
  T.N.ExpectCleanReturn(T.R);
  EXPECT_EQ(T.N.B.Console.ModeRecord().Mode, 0);
  const ScreenImage &Screen = T.N.B.Console.Frames()[T.R.FirstFrame].Screen;
  EXPECT_EQ(Screen.At(12, 5).Char, 0x250C); // (80 - 55) / 2, (24 - 14) / 2
  EXPECT_EQ(Screen.At(12 + 27, 18).Char, u'9');
}

TEST(Notice, EnterPausesAndResumesTheCountdown) {
  NoticeRun T;
  // Paused at poll 301 (digit 8), resumed at poll 501: two steps are lost.
  T.N.B.Console.QueueNamed("ENTER", NoticeRun::AtPoll(301));
  T.N.B.Console.QueueNamed("ENTER", NoticeRun::AtPoll(501));
  T.Start();
  T.N.ExpectCleanReturn(T.R);
  EXPECT_EQ(T.R.Microseconds, 1301 * Poll);
  EXPECT_EQ(T.Digits(), CountdownDigits(300));
  EXPECT_TRUE(T.N.AnyScreenContains(T.R, " Press ENTER to continue ...  "));
  EXPECT_FALSE(T.N.AnyScreenContains(T.R, "contuine"));
}

TEST(Notice, APauseAtZeroDoesNotKeepTheBoxOpen) {
  NoticeRun T;
  T.N.B.Console.QueueNamed("ENTER", NoticeRun::AtPoll(1050));
  T.Start();
  T.N.ExpectCleanReturn(T.R);
  EXPECT_EQ(T.R.Microseconds, 1101 * Poll);
  EXPECT_EQ(T.R.TplAfter, TPL_APPLICATION);
}

struct KeyCase {
  const char *Name;
  std::vector<std::string> Keys; // one per poll from poll 1
  uint32_t ControlIn, ControlOut;
  std::vector<uint8_t> Upek; // "UPEKFLAG" after the run (empty: none)
  uint64_t Polls;            // polls until the notice closed
};

class NoticeKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(NoticeKeys, EndTheNoticeOrAreIgnored) {
  const KeyCase &Case = GetParam();
  NoticeRun T;
  for (size_t I = 0; I < Case.Keys.size(); I++) {
    uint64_t At = NoticeRun::AtPoll(I + 1);
    if (!T.N.B.Console.QueueNamed(Case.Keys[I], At)) {
      T.N.B.Console.QueueText(Widen(Case.Keys[I]), At);
    }
  }
  T.Start(Case.ControlIn);
  T.N.ExpectCleanReturn(T.R);
  EXPECT_EQ(T.R.Status, EFI_ABORTED);
  EXPECT_EQ(T.R.ControlFlags, Case.ControlOut);
  EXPECT_EQ(T.N.Variable(u"UPEKFLAG"), Case.Upek);
  if (!Case.Upek.empty()) {
    EXPECT_EQ(T.N.B.Variables.Find(u"UPEKFLAG", EFI_GLOBAL_VARIABLE)->Attributes, 7u);
  }
  // A key that ends the notice ends it at the poll that read it, before that poll's stall.
  EXPECT_EQ(T.R.Microseconds, (Case.Polls - 1) * Poll);
  EXPECT_EQ(T.R.TplAfter, TPL_APPLICATION);
  ExpectScreenRestored(T.N);
  // Ignored keys never redraw the box: its top row was written once.
  size_t TopRows = 0;
  for (const ConsoleCall &Call : T.N.B.Console.Calls()) {
    TopRows += Call.Name == "OutputString" && !Call.Text.empty() && Call.Text[0] == 0x250C;
  }
  EXPECT_EQ(TopRows, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, NoticeKeys,
    ::testing::Values(
        KeyCase{"Esc", {"ESC"}, 0x100, 0x100 | CONTROL_READER_FOUND, {}, 1},
        KeyCase{"F1AddsTheSetupBit",
                {"F1"},
                0x1000,
                0x1000 | CONTROL_READER_FOUND | CONTROL_ENTER_SETUP,
                {},
                1},
        KeyCase{
            "F3SuppressesTheNotice", {"F3"}, 0, CONTROL_READER_FOUND, {0xAA, 0x55, 0xAA, 0x55}, 1},
        KeyCase{"LettersAndOtherFunctionKeysAreIgnored",
                {"a", "F2", "F4", "UP", "ESC"},
                0,
                CONTROL_READER_FOUND,
                {},
                5}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(Notice, NotShownWithoutConsoleControl) {
  NoticeRun T;
  T.N.B.Console.RemoveConsoleControl();
  T.Start();
  T.N.ExpectCleanReturn(T.R);
  EXPECT_EQ(T.R.Status, EFI_ABORTED);
  EXPECT_EQ(T.N.B.Console.KeyReads(), 0u);
  EXPECT_TRUE(T.N.Screens(T.R).empty());
}

} // namespace
} // namespace sim::test
