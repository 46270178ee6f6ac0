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

UINT WINAPI RecordingSendInput(UINT count, LPINPUT inputs, int size) {
  g_calls.push_back({count, size, std::vector<INPUT>(inputs, inputs + count)});
  return count;
}

class TypeDigitsRecorded : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    previous_ = SetSendInputForTesting(RecordingSendInput);
  }
  void TearDown() override { SetSendInputForTesting(previous_); }
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
  DestroyWindow(frame);
}

}  // namespace
}  // namespace quillon
