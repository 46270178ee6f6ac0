#include "card/Keystrokes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

struct Call {
  UINT count;
  int size;
  std::vector<INPUT> records;
};
std::vector<Call> g_calls;
UINT g_inserted = ~0u;  // what the recording SendInput answers; ~0: all of them
int g_sounds = 0;
TargetVerdict g_verdict = TargetVerdict::kReady;

UINT WINAPI RecordingSendInput(UINT count, LPINPUT inputs, int size) {
  g_calls.push_back({count, size, std::vector<INPUT>(inputs, inputs + count)});
  return g_inserted == ~0u ? count : g_inserted;
}
void CountingSound() { ++g_sounds; }
TypingTarget ScriptedTarget() {
  TypingTarget target;
  target.verdict = g_verdict;
  target.layout = GetKeyboardLayout(0);
  return target;
}

class TypeDigitsRecorded : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    g_inserted = ~0u;
    g_sounds = 0;
    g_verdict = TargetVerdict::kReady;
    previous_ = SetSendInputForTesting(RecordingSendInput);
    previousSound_ = SetErrorSoundForTesting(CountingSound);
    previousTarget_ = SetTypingTargetForTesting(ScriptedTarget);
  }
  void TearDown() override {
    SetSendInputForTesting(previous_);
    SetErrorSoundForTesting(previousSound_);
    SetTypingTargetForTesting(previousTarget_);
    EXPECT_EQ(HeldKeys(), 0u) << "a test left a modifier down";
  }
  // The characters typed, '+' for a press and '-' for a release: "3+3-0+0-".
  static std::string Trace() {
    std::string t;
    for (const Call& c : g_calls) {
      for (const INPUT& r : c.records) {
        t.push_back(static_cast<char>(r.ki.wScan));
        t.push_back((r.ki.dwFlags & KEYEVENTF_KEYUP) ? '-' : '+');
      }
    }
    return t;
  }
  SendInputFn previous_ = nullptr;
  ErrorSoundFn previousSound_ = nullptr;
  TypingTargetFn previousTarget_ = nullptr;
};

// The whole number in one call: a key pressed meanwhile cannot land inside it, and a
// refused injection cannot leave half of it typed.
TEST_F(TypeDigitsRecorded, OneCallCarriesEveryPressAndReleaseInOrder) {
  TypeDigits("305419896");
  EXPECT_EQ(Trace(), "3+3-0+0-5+5-4+4-1+1-9+9-8+8-9+9-6+6-");
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].count, 18u);
  EXPECT_EQ(g_calls[0].size, static_cast<int>(sizeof(INPUT)));
  for (const INPUT& r : g_calls[0].records) {
    EXPECT_EQ(r.type, static_cast<DWORD>(INPUT_KEYBOARD));
    EXPECT_EQ(r.ki.wVk, 0);
    EXPECT_EQ(r.ki.time, 0u);
    EXPECT_EQ(r.ki.dwExtraInfo, 0u);
    const bool up = r.ki.dwFlags & KEYEVENTF_KEYUP;
    EXPECT_EQ(r.ki.dwFlags, up ? 6u : 4u);
  }
}

TEST_F(TypeDigitsRecorded, SkipsEverythingButDigitsAndKeepsLeadingZeros) {
  TypeDigits("");
  EXPECT_TRUE(g_calls.empty());
  TypeDigits(std::string("12 3\0", 5));
  EXPECT_EQ(Trace(), "1+1-2+2-3+3-");
  g_calls.clear();
  TypeDigits(
      std::string("\0"
                  "9",
                  2));  // a 0x00 does not end the text
  EXPECT_EQ(Trace(), "9+9-");
  g_calls.clear();
  TypeDigits("0012");
  EXPECT_EQ(Trace(), "0+0-0+0-1+1-2+2-");
  g_calls.clear();
  TypeDigits("/:a\n");  // the neighbours of '0' and '9' are not digits
  EXPECT_TRUE(g_calls.empty());
}

// Unicode mode's digits stay exactly as they are; the suffix is a key with its scan
// code, in the same call.
TEST_F(TypeDigitsRecorded, TheSuffixFollowsTheDigitsInTheSameCall) {
  for (KeySuffix suffix : {KeySuffix::kEnter, KeySuffix::kTab}) {
    g_calls.clear();
    EXPECT_EQ(TypeDigits("305", {KeyMode::kUnicode, suffix}), TypeOutcome::kTyped);
    ASSERT_EQ(g_calls.size(), 1u);
    ASSERT_EQ(g_calls[0].count, 8u);
    const std::vector<INPUT>& r = g_calls[0].records;
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(r[i].ki.wVk, 0);
      EXPECT_EQ(r[i].ki.dwFlags, (i % 2) ? 6u : 4u);
      EXPECT_EQ(r[i].ki.wScan, static_cast<WORD>("330055"[i]));
    }
    const WORD vk = suffix == KeySuffix::kEnter ? VK_RETURN : VK_TAB;
    const WORD scan = suffix == KeySuffix::kEnter ? 0x1C : 0x0F;
    EXPECT_EQ(r[6].ki.wVk, vk);
    EXPECT_EQ(r[6].ki.wScan, scan);
    EXPECT_EQ(r[6].ki.dwFlags, 0u);
    EXPECT_EQ(r[7].ki.wVk, vk);
    EXPECT_EQ(r[7].ki.wScan, scan);
    EXPECT_EQ(r[7].ki.dwFlags, static_cast<DWORD>(KEYEVENTF_KEYUP));
  }
  g_calls.clear();
  EXPECT_EQ(TypeDigits("-", {KeyMode::kUnicode, KeySuffix::kEnter}), TypeOutcome::kNothing);
  EXPECT_TRUE(g_calls.empty());  // no lone Enter for a text without digits
}

// Layout mode on the test display's layout (US): the digit row's keys with their
// scan codes, nothing else, in one call.
TEST_F(TypeDigitsRecorded, LayoutModeTypesTheDigitRowKeysOfTheLayoutInFront) {
  EXPECT_EQ(TypeDigits("3051", {KeyMode::kLayout, KeySuffix::kEnter}), TypeOutcome::kTyped);
  ASSERT_EQ(g_calls.size(), 1u);
  const WORD expected[][2] = {{'3', 0x04}, {'0', 0x0B}, {'5', 0x06}, {'1', 0x02}, {VK_RETURN, 0x1C}};
  ASSERT_EQ(g_calls[0].count, 10u);
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    const KEYBDINPUT& k = g_calls[0].records[i].ki;
    EXPECT_EQ(k.wVk, expected[i / 2][0]);
    EXPECT_EQ(k.wScan, expected[i / 2][1]);
    EXPECT_EQ(k.dwFlags, (i % 2) ? static_cast<DWORD>(KEYEVENTF_KEYUP) : 0u);
  }
}

// A refusal is heard once, not once per card; nothing is typed later.
TEST_F(TypeDigitsRecorded, ARefusedNumberIsHeardOnceInTheGap) {
  g_inserted = 0;
  EXPECT_EQ(TypeDigits("12"), TypeOutcome::kRefused);
  EXPECT_EQ(g_sounds, 1);
  EXPECT_EQ(TypeDigits("34", {KeyMode::kLayout, KeySuffix::kNone}), TypeOutcome::kRefused);
  EXPECT_EQ(g_sounds, 1) << "a second sound within the gap";
  g_inserted = 3;  // part of a number is a refusal too
  EXPECT_EQ(TypeDigits("56"), TypeOutcome::kRefused);
  g_inserted = ~0u;
  g_calls.clear();
  EXPECT_EQ(TypeDigits("78"), TypeOutcome::kTyped);
  EXPECT_EQ(Trace(), "7+7-8+8-");  // only the new card: nothing was kept
  EXPECT_EQ(g_sounds, 1);
  SetErrorSoundForTesting(CountingSound);  // forgets the last sound
  g_inserted = 0;
  TypeDigits("9");
  EXPECT_EQ(g_sounds, 2);
}

// No window to take the keys, or one the system would drop them for: nothing is
// sent, the sound is made.
TEST_F(TypeDigitsRecorded, NoWindowOrAHigherOneIsHeardAndNothingIsSent) {
  const struct {
    TargetVerdict verdict;
    TypeOutcome outcome;
  } cases[] = {{TargetVerdict::kNoWindow, TypeOutcome::kNoWindow},
               {TargetVerdict::kHigherIntegrity, TypeOutcome::kHigherIntegrity}};
  for (const auto& c : cases) {
    for (KeyMode keys : {KeyMode::kUnicode, KeyMode::kLayout}) {
      SetErrorSoundForTesting(CountingSound);
      g_sounds = 0;
      g_verdict = c.verdict;
      EXPECT_EQ(TypeDigits("12", {keys, KeySuffix::kEnter}), c.outcome);
      EXPECT_TRUE(g_calls.empty());
      EXPECT_EQ(g_sounds, 1);
      EXPECT_EQ(TypeDigits(""), TypeOutcome::kNothing);  // no number, nothing heard
      EXPECT_EQ(g_sounds, 1);
    }
  }
}

// Shift and Alt held by another program while a card arrives: lifted for the
// number (Alt after the mask key), and not pressed again.
TEST_F(TypeDigitsRecorded, HeldModifiersAreLiftedInLayoutMode) {
  INPUT down[2] = {};
  down[0].type = down[1].type = INPUT_KEYBOARD;
  down[0].ki.wVk = VK_LSHIFT;
  down[0].ki.wScan = 0x2A;
  down[1].ki.wVk = VK_LMENU;
  down[1].ki.wScan = 0x38;
  ASSERT_EQ(::SendInput(2, down, sizeof(INPUT)), 2u);
  ASSERT_EQ(HeldKeys(), static_cast<unsigned>(kHeldLeftShift | kHeldLeftAlt));
  EXPECT_EQ(TypeDigits("4", {KeyMode::kLayout, KeySuffix::kNone}), TypeOutcome::kTyped);
  for (INPUT& i : down) i.ki.dwFlags = KEYEVENTF_KEYUP;
  ::SendInput(2, down, sizeof(INPUT));
  ASSERT_EQ(g_calls.size(), 1u);
  const WORD expected[][3] = {{kMaskVk, 0, 0},
                              {kMaskVk, 0, KEYEVENTF_KEYUP},
                              {VK_LSHIFT, 0x2A, KEYEVENTF_KEYUP},
                              {VK_LMENU, 0x38, KEYEVENTF_KEYUP},
                              {'4', 0x05, 0},
                              {'4', 0x05, KEYEVENTF_KEYUP}};
  ASSERT_EQ(g_calls[0].count, 6u);
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const KEYBDINPUT& k = g_calls[0].records[i].ki;
    EXPECT_EQ(k.wVk, expected[i][0]);
    EXPECT_EQ(k.wScan, expected[i][1]);
    EXPECT_EQ(k.dwFlags, expected[i][2]);
  }
}

// The real thing: SendInput under the test display reaches a focused EDIT.
TEST(TypeDigitsReal, TypesIntoTheFocusedEditControl) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HWND frame = CreateWindowExW(0, L"STATIC", L"target", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 120,
                               nullptr, nullptr, instance, nullptr);
  ASSERT_NE(frame, nullptr);
  HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL, 5, 5, 280,
                              24, frame, nullptr, instance, nullptr);
  ASSERT_NE(edit, nullptr);
  SetForegroundWindow(frame);
  SetFocus(edit);

  auto pump = [](DWORD ms, HWND edit, int wantLength) {
    DWORD start = GetTickCount();
    MSG msg;
    while (GetTickCount() - start < ms) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (wantLength >= 0 && GetWindowTextLengthW(edit) >= wantLength) return;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
  };
  pump(300, edit, -1);
  ASSERT_EQ(GetFocus(), edit);

  TypeDigits("305419896");
  pump(10000, edit, 9);
  pump(300, edit, -1);  // anything typed after the digits would arrive now

  wchar_t text[64] = {};
  GetWindowTextW(edit, text, 64);
  EXPECT_STREQ(text, L"305419896");

  // The window in front is this process's own: it takes the keys.
  const TypingTarget target = FindTypingTarget();
  EXPECT_EQ(target.verdict, TargetVerdict::kReady);
  EXPECT_EQ(target.window, frame);
  EXPECT_EQ(target.process, GetCurrentProcessId());
  EXPECT_EQ(target.integrity, target.ownIntegrity);
  EXPECT_EQ(target.layout, GetKeyboardLayout(0));
  DestroyWindow(frame);
}

// Layout mode and Enter, for real: a multiline EDIT shows a line break after each number.
TEST(TypeDigitsReal, LayoutModeAndEnterReachAMultilineEdit) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HWND frame = CreateWindowExW(0, L"STATIC", L"target", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 160,
                               nullptr, nullptr, instance, nullptr);
  ASSERT_NE(frame, nullptr);
  HWND edit =
      CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER | ES_MULTILINE | ES_WANTRETURN, 5, 5,
                      280, 120, frame, nullptr, instance, nullptr);
  ASSERT_NE(edit, nullptr);
  SetForegroundWindow(frame);
  SetFocus(edit);
  auto pump = [&](DWORD ms, const wchar_t* want) {
    DWORD start = GetTickCount();
    MSG msg;
    wchar_t text[64] = {};
    while (GetTickCount() - start < ms) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      GetWindowTextW(edit, text, 64);
      if (want && wcscmp(text, want) == 0) return;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
  };
  pump(300, nullptr);
  ASSERT_EQ(GetFocus(), edit);
  EXPECT_EQ(TypeDigits("305", {KeyMode::kLayout, KeySuffix::kEnter}), TypeOutcome::kTyped);
  EXPECT_EQ(TypeDigits("42", {KeyMode::kUnicode, KeySuffix::kEnter}), TypeOutcome::kTyped);
  pump(10000, L"305\r\n42\r\n");
  pump(300, nullptr);
  wchar_t text[64] = {};
  GetWindowTextW(edit, text, 64);
  EXPECT_STREQ(text, L"305\r\n42\r\n");
  DestroyWindow(frame);
}

}  // namespace
}  // namespace quillon
