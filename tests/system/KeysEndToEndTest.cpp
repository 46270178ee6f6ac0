// Black box: what the window in front gets from Quillon.exe, key message by key
// message. Cards come from the fake reader on COM7 and go to a target window that
// logs every WM_KEYDOWN/WM_KEYUP (virtual key, scan code), WM_CHAR and WM_INPUT;
// after the cards the test presses a sentinel key of its own, so the log is known
// to hold all that Quillon sent and nothing can follow unseen. The refused cases
// use QuillonProbe.exe, whose SendInput can be made to refuse and whose error
// sound is counted.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/targetwindow/TargetWindow.h"
#include "tests/system/ProbeDiscovery.h"
#include "tests/system/ReaderFixture.h"
#include "tests/system/ReaderTestSupport.h"
#include "tests/system/SystemTestSupport.h"

void PrintTo(const KeyEvent& e, std::ostream* os) {
  char text[48];
  snprintf(text, sizeof(text), "%s%s %02X scan %04X", e.sys ? "sys" : "", e.down ? "down" : "up", e.vk,
           e.scan);
  *os << text;
}

namespace {

using namespace quillon_system;

constexpr UINT kSerialRxChar = WM_USER + 7;
constexpr unsigned kVkPacket = 0xE7;

// The target's log, one file for every test (each run starts it anew).
std::wstring LogPath() {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir) + L"quillon-keys-log.txt";
}
std::wstring TargetOptions(bool multiline) {
  return L"--log \"" + LogPath() + L"\"" + (multiline ? L" --multiline" : L"");
}

// The digit row's scan codes on a US keyboard: 0x02 to 0x0A for 1 to 9, 0x0B for 0.
unsigned UsScan(wchar_t digit) { return digit == L'0' ? 0x0B : 0x01 + (digit - L'0'); }

// A press and a release of each digit's key, with its scan code.
std::vector<KeyEvent> DigitKeys(const std::wstring& digits) {
  std::vector<KeyEvent> keys;
  for (wchar_t c : digits) {
    if (c == L'\r') {
      keys.push_back({true, false, VK_RETURN, 0x1C});
      keys.push_back({false, false, VK_RETURN, 0x1C});
      continue;
    }
    keys.push_back({true, false, static_cast<unsigned>(c), UsScan(c)});
    keys.push_back({false, false, static_cast<unsigned>(c), UsScan(c)});
  }
  return keys;
}

// Presses or releases one key as another program would, with its scan code.
void InjectKey(WORD vk, WORD scan, bool down) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = scan;
  input.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
  ASSERT_EQ(SendInput(1, &input, sizeof(INPUT)), 1u);
}

class KeysEndToEnd : public ReaderFixture {
 protected:
  KeysEndToEnd(const wchar_t* quillonArgs, bool multiline)
      : ReaderFixture(L"Quillon keys", quillonArgs, TargetOptions(multiline)) {}
  void TearDown() override {
    ReaderFixture::TearDown();
    DeleteFileW(LogPath().c_str());
  }

  // Presents the next card and waits until the target has its characters (the
  // number, and "\r" after it with `enter`); they are appended to `chars`.
  ::testing::AssertionResult Present(CardMaker& cards, std::wstring* chars, bool enter = false) {
    std::wstring number;
    const std::string frame = cards.Next(&number);
    *chars += number + (enter ? L"\r" : L"");
    if (!reader_.Write(kReaderPort, frame)) return ::testing::AssertionFailure() << reader_.LastError();
    if (!WaitFor(kLong, [&] { return ReadKeyLog(LogPath()).chars.size() >= chars->size(); }))
      return ::testing::AssertionFailure()
             << "typed only: " << testing::PrintToString(ReadKeyLog(LogPath()).chars);
    return ::testing::AssertionSuccess();
  }
};

class LayoutKeys : public KeysEndToEnd {
 protected:
  LayoutKeys() : KeysEndToEnd(L"--keys layout", false) {}
};

class UnicodeKeys : public KeysEndToEnd {
 protected:
  UnicodeKeys() : KeysEndToEnd(nullptr, false) {}
};

// --keys layout: every press is the digit's key of the layout (US here) with its
// scan code, raw input carries the same keys, the characters are exactly the
// numbers, every press has its release, and nothing else arrives.
TEST_F(LayoutKeys, EveryPressIsTheLayoutsDigitKeyWithItsScanCode) {
  CardMaker cards;
  std::wstring chars;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Present(cards, &chars));
  KeyLog log;
  ASSERT_TRUE(ReadKeyLogAfterSentinel(LogPath(), &log));
  EXPECT_EQ(log.chars, chars);
  EXPECT_EQ(log.sysChars, L"");
  EXPECT_EQ(log.keys, DigitKeys(chars));
  EXPECT_EQ(log.raw, DigitKeys(chars));
  EXPECT_EQ(Text(), chars);
}

// Without the switch, as Quillon has always typed: every press is VK_PACKET, and
// the characters are exactly the numbers.
TEST_F(UnicodeKeys, EveryPressIsAUnicodeCharacterEvent) {
  CardMaker cards;
  std::wstring chars;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Present(cards, &chars));
  KeyLog log;
  ASSERT_TRUE(ReadKeyLogAfterSentinel(LogPath(), &log));
  EXPECT_EQ(log.chars, chars);
  ASSERT_EQ(log.keys.size(), 2 * chars.size());
  for (size_t i = 0; i < log.keys.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(log.keys[i].vk, kVkPacket);
    EXPECT_EQ(log.keys[i].down, i % 2 == 0);
    EXPECT_FALSE(log.keys[i].sys);
  }
  ASSERT_EQ(log.raw.size(), 2 * chars.size());
  // What a program that reads raw input makes of it.
  std::printf("raw input of the Unicode event for '%c': virtual key 0x%02X, make code 0x%04X\n",
              static_cast<char>(chars[0]), log.raw[0].vk, log.raw[0].scan);
  EXPECT_EQ(Text(), chars);
}

// Shift, Ctrl or Alt held by another program while a card arrives: the target still
// gets the digits as plain key presses (no "!@#", no Ctrl shortcut, no Alt key
// messages), and a lifted Alt does not put the window into its menu, which would
// swallow the digits.
TEST_F(LayoutKeys, ShiftCtrlOrAltHeldByAnotherProgramStillTypeTheDigits) {
  CardMaker cards;
  std::wstring chars;
  const struct {
    WORD vk;
    WORD scan;
  } held[] = {{VK_LSHIFT, 0x2A}, {VK_LCONTROL, 0x1D}, {VK_LMENU, 0x38}, {VK_LSHIFT, 0x2A}};
  for (const auto& h : held) {
    SCOPED_TRACE(h.vk);
    InjectKey(h.vk, h.scan, true);
    ASSERT_NE(GetAsyncKeyState(h.vk) & 0x8000, 0);
    const bool typed = Present(cards, &chars);
    InjectKey(h.vk, h.scan, false);
    ASSERT_TRUE(typed);
  }
  KeyLog log;
  ASSERT_TRUE(ReadKeyLogAfterSentinel(LogPath(), &log));
  EXPECT_EQ(log.chars, chars);
  EXPECT_EQ(log.sysChars, L"");
  // The digits' own messages, in order, each a plain press or release.
  std::vector<KeyEvent> digits;
  for (const KeyEvent& e : log.keys)
    if (e.vk >= '0' && e.vk <= '9') digits.push_back(e);
  EXPECT_EQ(digits, DigitKeys(chars));
  EXPECT_EQ(Text(), chars);
}

// --suffix enter / tab, in both modes: one Enter (or Tab) key with its scan code after
// each number and nothing else; an edit field that takes them shows a line break (or
// a tab) after each number.
struct SuffixCase {
  const char* name;
  const wchar_t* args;
  bool layout;
  WORD vk;
  WORD scan;
  const wchar_t* shown;  // what the EDIT shows after each number
};
class SuffixKeys : public KeysEndToEnd, public ::testing::WithParamInterface<SuffixCase> {
 protected:
  SuffixKeys() : KeysEndToEnd(GetParam().args, true) {}
};

TEST_P(SuffixKeys, OneSuffixKeyAfterEachNumber) {
  const SuffixCase& c = GetParam();
  const wchar_t suffixChar = c.vk == VK_RETURN ? L'\r' : L'\t';
  CardMaker cards;
  std::wstring chars, shown;
  for (int i = 0; i < 2; ++i) {
    const size_t from = chars.size();
    ASSERT_TRUE(Present(cards, &chars));
    shown += chars.substr(from) + c.shown;
    chars += suffixChar;
    ASSERT_TRUE(WaitFor(kLong, [&] { return Text() == shown; })) << testing::PrintToString(Text());
  }
  KeyLog log;
  ASSERT_TRUE(ReadKeyLogAfterSentinel(LogPath(), &log));
  EXPECT_EQ(log.chars, chars);
  ASSERT_EQ(log.keys.size(), 2 * chars.size());
  for (size_t i = 0; i < chars.size(); ++i) {
    SCOPED_TRACE(i);
    const KeyEvent& down = log.keys[2 * i];
    const KeyEvent& up = log.keys[2 * i + 1];
    EXPECT_TRUE(down.down);
    EXPECT_FALSE(up.down);
    EXPECT_EQ(down.vk, up.vk);
    if (chars[i] == suffixChar) {
      EXPECT_EQ(down.vk, c.vk);
      EXPECT_EQ(down.scan, c.scan);
      EXPECT_EQ(up.scan, c.scan);
    } else {
      EXPECT_EQ(down.vk, c.layout ? chars[i] : kVkPacket);
    }
  }
  EXPECT_EQ(Text(), shown);
}

INSTANTIATE_TEST_SUITE_P(
    BothModes, SuffixKeys,
    ::testing::Values(SuffixCase{"UnicodeEnter", L"--suffix enter", false, VK_RETURN, 0x1C, L"\r\n"},
                      SuffixCase{"LayoutEnter", L"--keys layout --suffix=enter", true, VK_RETURN, 0x1C,
                                 L"\r\n"},
                      SuffixCase{"UnicodeTab", L"--suffix tab", false, VK_TAB, 0x0F, L"\t"},
                      SuffixCase{"LayoutTab", L"--suffix=tab --keys=layout", true, VK_TAB, 0x0F, L"\t"}),
    [](const ::testing::TestParamInfo<SuffixCase>& info) { return std::string(info.param.name); });

// A number the system refuses (QuillonProbe.exe's SendInput inserting nothing) is
// heard once, with the error sound, and never typed later; the next card, once the
// system takes the keys again, types. A second refusal right after the first is
// not heard again.
class RefusedTyping : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override {
    refuse_ = CreateEventW(nullptr, TRUE, TRUE, kProbeRefuseInput);
    sounds_ = CreateSemaphoreW(nullptr, 0, 100, kProbeSounds);
    ASSERT_NE(refuse_, nullptr);
    ASSERT_NE(sounds_, nullptr);
    ASSERT_TRUE(StartTargetWindow(WinePath(TARGET_WINDOW_EXE), L"Quillon refused", target_, kLong,
                                  TargetOptions(false)));
    ASSERT_TRUE(probe_.Start(QUILLON_PROBE_EXE, GetParam()));
  }
  void TearDown() override {
    probe_.Stop();
    StopTargetWindow(target_);
    DeleteFileW(LogPath().c_str());
    if (refuse_) CloseHandle(refuse_);
    if (sounds_) CloseHandle(sounds_);
  }
  // The card's bytes to the dialog, sent as the serial event thread sends them: when
  // this returns, the card has been typed or refused.
  void Present(const std::string& frame) {
    for (char b : frame) {
      DWORD_PTR result = 0;
      ASSERT_NE(SendMessageTimeoutW(probe_.Dialog(), kSerialRxChar, static_cast<unsigned char>(b),
                                    kReaderPort, SMTO_NORMAL, kLong, &result),
                0);
    }
  }

  HANDLE refuse_ = nullptr;
  HANDLE sounds_ = nullptr;
  TargetWindow target_;
  Program probe_;
};

TEST_P(RefusedTyping, IsHeardOnceAndTheNextCardTypes) {
  CardMaker cards;
  std::wstring refused, typed;
  Present(cards.Next(&refused));
  ASSERT_EQ(WaitForSingleObject(sounds_, 0), WAIT_OBJECT_0) << "no error sound";
  Present(cards.Next(&refused));  // refused as well, within the gap: not heard again
  ResetEvent(refuse_);
  Present(cards.Next(&typed));
  ASSERT_TRUE(WaitFor(kLong, [&] { return GetTargetText(target_.edit).size() >= typed.size(); }));
  KeyLog log;
  ASSERT_TRUE(ReadKeyLogAfterSentinel(LogPath(), &log));
  EXPECT_EQ(log.chars, typed);  // nothing of the refused cards, then or later
  EXPECT_EQ(GetTargetText(target_.edit), typed);
  EXPECT_EQ(WaitForSingleObject(sounds_, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "more than one sound";
  EXPECT_TRUE(probe_.Running());
}

INSTANTIATE_TEST_SUITE_P(BothModes, RefusedTyping, ::testing::Values(L"--keys unicode", L"--keys layout"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return std::string(info.index == 0 ? "Unicode" : "Layout");
                         });

}  // namespace
