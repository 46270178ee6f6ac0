#include "card/KeyPlan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

// One key of a layout as its table gives it: what it types plain and with Shift,
// whether CapsLock shifts it (the layout's CAPLOK), and what AltGr gives.
struct TableKey {
  WORD vk;
  WORD scan;
  wchar_t plain, shifted;
  bool capsShifts;
  wchar_t altGr;
};

// A layout answering as the system does: VkKeyScanExW knows nothing of CapsLock
// and prefers the plain character, then Shift, then AltGr (Ctrl+Alt, 6).
class CTableLayout final : public CKeyLayout {
 public:
  explicit CTableLayout(std::vector<TableKey> keys) : m_keys(std::move(keys)) {}
  SHORT KeyFor(wchar_t ch) const override {
    for (const TableKey& k : m_keys)
      if (k.plain == ch) return static_cast<SHORT>(k.vk);
    for (const TableKey& k : m_keys)
      if (k.shifted == ch) return static_cast<SHORT>(0x100 | k.vk);
    for (const TableKey& k : m_keys)
      if (k.altGr == ch) return static_cast<SHORT>(0x600 | k.vk);
    return -1;
  }
  WORD ScanOf(WORD vk) const override {
    const TableKey* k = Find(vk);
    return k ? k->scan : 0;
  }
  wchar_t CharOf(WORD vk, WORD scan, bool shift, bool capsLock) const override {
    const TableKey* k = Find(vk);
    if (!k || k->scan != scan) return 0;
    return (shift != (capsLock && k->capsShifts)) ? k->shifted : k->plain;
  }

 private:
  const TableKey* Find(WORD vk) const {
    for (const TableKey& k : m_keys)
      if (k.vk == vk) return &k;
    return nullptr;
  }
  std::vector<TableKey> m_keys;
};

// The digit row's scan codes, 1 to 9 then 0, on every PC keyboard.
WORD RowScan(int digit) { return static_cast<WORD>(digit == 0 ? 0x0B : 0x01 + digit); }
WORD RowVk(int digit) { return static_cast<WORD>('0' + digit); }

// US: digits plain, CapsLock leaves them alone; a few letters beside them.
CTableLayout UsLayout() {
  const wchar_t shifted[] = L")!@#$%^&*(";
  std::vector<TableKey> keys;
  for (int d = 0; d <= 9; ++d)
    keys.push_back({RowVk(d), RowScan(d), static_cast<wchar_t>(L'0' + d), shifted[d], false, 0});
  keys.push_back({'Q', 0x10, L'q', L'Q', true, 0});
  keys.push_back({'Y', 0x15, L'y', L'Y', true, 0});
  keys.push_back({'Z', 0x2C, L'z', L'Z', true, 0});
  return CTableLayout(keys);
}

// French AZERTY: the digits need Shift, and CapsLock shifts the digit row (CAPLOK),
// so with it on they come without Shift.
CTableLayout AzertyLayout() {
  const wchar_t plain[] = L"\u00E0&\u00E9\"'(-\u00E8_\u00E7";
  const wchar_t altGr[] = L"@\0~#{[|`\\^";
  std::vector<TableKey> keys;
  for (int d = 0; d <= 9; ++d)
    keys.push_back({RowVk(d), RowScan(d), plain[d], static_cast<wchar_t>(L'0' + d), true, altGr[d]});
  keys.push_back({'A', 0x10, L'a', L'A', true, 0});
  return CTableLayout(keys);
}

// German QWERTZ: digits plain as on US, other symbols above them, Y and Z swapped.
CTableLayout QwertzLayout() {
  const wchar_t shifted[] = L"=!\"\u00A7$%&/()";
  std::vector<TableKey> keys;
  for (int d = 0; d <= 9; ++d)
    keys.push_back({RowVk(d), RowScan(d), static_cast<wchar_t>(L'0' + d), shifted[d], false, 0});
  keys.push_back({'Z', 0x15, L'z', L'Z', true, 0});
  keys.push_back({'Y', 0x2C, L'y', L'Y', true, 0});
  return CTableLayout(keys);
}

// No key types a digit with Shift alone: the row holds letters, and the digits are
// on AltGr (3 to 9) or nowhere (0 to 2).
CTableLayout NoDigitKeysLayout() {
  const wchar_t plain[] = L"abcdefghij";
  std::vector<TableKey> keys;
  for (int d = 0; d <= 9; ++d)
    keys.push_back({RowVk(d), RowScan(d), plain[d], static_cast<wchar_t>(L'A' + d), true,
                    d >= 3 ? static_cast<wchar_t>(L'0' + d) : L'\0'});
  return CTableLayout(keys);
}

// A digit key without a scan code (a layout DLL's virtual key no keyboard has).
CTableLayout NoScanLayout() {
  std::vector<TableKey> keys;
  for (int d = 0; d <= 9; ++d)
    keys.push_back({RowVk(d), static_cast<WORD>(d == 5 ? 0 : RowScan(d)), static_cast<wchar_t>(L'0' + d),
                    L'!', false, 0});
  return CTableLayout(keys);
}

// Per digit 0 to 9: 'k' its row key plain, 'S' its row key with Shift, 'u' a Unicode event.
std::string PlanOfEveryDigit(const CKeyLayout& layout, bool capsLock) {
  std::string plan;
  const DigitPlan all = PlanDigits(layout, capsLock);
  for (int d = 0; d <= 9; ++d) {
    const DigitKey key = all.digits[d];
    const DigitKey alone = PlanDigit(layout, static_cast<wchar_t>(L'0' + d), capsLock);
    EXPECT_EQ(alone.unicode, key.unicode);
    EXPECT_EQ(alone.shift, key.shift);
    if (key.unicode) {
      plan += 'u';
      EXPECT_EQ(key.vk, 0) << d;
      continue;
    }
    plan += key.shift ? 'S' : 'k';
    EXPECT_EQ(key.vk, RowVk(d)) << d;
    EXPECT_EQ(key.scan, RowScan(d)) << d;
  }
  return plan;
}

TEST(PlanDigit, EveryDigitOnEachLayoutWithCapsLockOffAndOn) {
  const struct {
    const char* name;
    CTableLayout layout;
    bool capsLock;
    const char* plan;
  } cases[] = {
      {"US", UsLayout(), false, "kkkkkkkkkk"},
      {"US, CapsLock on", UsLayout(), true, "kkkkkkkkkk"},
      {"AZERTY", AzertyLayout(), false, "SSSSSSSSSS"},
      {"AZERTY, CapsLock on", AzertyLayout(), true, "kkkkkkkkkk"},
      {"QWERTZ", QwertzLayout(), false, "kkkkkkkkkk"},
      {"QWERTZ, CapsLock on", QwertzLayout(), true, "kkkkkkkkkk"},
      {"no digit keys", NoDigitKeysLayout(), false, "uuuuuuuuuu"},
      {"no digit keys, CapsLock on", NoDigitKeysLayout(), true, "uuuuuuuuuu"},
      {"a digit key without a scan code", NoScanLayout(), false, "kkkkkukkkk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PlanOfEveryDigit(c.layout, c.capsLock), c.plan);
  }
}

// The records as text: "31:02+" a press of virtual key 0x31 with scan code 0x02, "-" its
// release, "e" extended, "u5+" a Unicode press of '5'.
std::string Describe(const std::vector<INPUT>& records) {
  std::string text;
  for (const INPUT& r : records) {
    EXPECT_EQ(r.type, static_cast<DWORD>(INPUT_KEYBOARD));
    EXPECT_EQ(r.ki.time, 0u);
    EXPECT_EQ(r.ki.dwExtraInfo, 0u);
    const DWORD flags = r.ki.dwFlags;
    EXPECT_EQ(flags & ~static_cast<DWORD>(KEYEVENTF_KEYUP | KEYEVENTF_UNICODE | KEYEVENTF_EXTENDEDKEY), 0u);
    char item[24];
    if (flags & KEYEVENTF_UNICODE) {
      EXPECT_EQ(r.ki.wVk, 0);
      snprintf(item, sizeof(item), "u%c", static_cast<char>(r.ki.wScan));
    } else {
      snprintf(item, sizeof(item), "%02X:%02X%s", r.ki.wVk, r.ki.wScan,
               (flags & KEYEVENTF_EXTENDEDKEY) ? "e" : "");
    }
    if (!text.empty()) text += ' ';
    text += item;
    text += (flags & KEYEVENTF_KEYUP) ? '-' : '+';
  }
  return text;
}

TEST(LayoutRecords, DigitsHeldModifiersAndSuffixOnEachLayout) {
  const struct {
    const char* name;
    CTableLayout layout;
    bool capsLock;
    unsigned held;
    KeySuffix suffix;
    std::string text;
    const char* records;
  } cases[] = {
      {"US", UsLayout(), false, 0, KeySuffix::kNone, "3050",
       "33:04+ 33:04- 30:0B+ 30:0B- 35:06+ 35:06- 30:0B+ 30:0B-"},
      {"US, other characters skipped", UsLayout(), false, 0, KeySuffix::kNone, std::string("1 a\0009", 5),
       "31:02+ 31:02- 39:0A+ 39:0A-"},
      {"AZERTY: Shift around each digit", AzertyLayout(), false, 0, KeySuffix::kNone, "12",
       "A0:2A+ 31:02+ 31:02- A0:2A- A0:2A+ 32:03+ 32:03- A0:2A-"},
      {"AZERTY, CapsLock on: no Shift", AzertyLayout(), true, 0, KeySuffix::kNone, "12",
       "31:02+ 31:02- 32:03+ 32:03-"},
      {"QWERTZ", QwertzLayout(), false, 0, KeySuffix::kNone, "90", "39:0A+ 39:0A- 30:0B+ 30:0B-"},
      {"no digit keys: Unicode events", NoDigitKeysLayout(), false, 0, KeySuffix::kNone, "42",
       "u4+ u4- u2+ u2-"},
      {"held Shift lifted first", UsLayout(), false, kHeldLeftShift | kHeldRightShift, KeySuffix::kNone, "7",
       "A0:2A- A1:36- 37:08+ 37:08-"},
      {"held Ctrl lifted", UsLayout(), false, kHeldLeftCtrl | kHeldRightCtrl, KeySuffix::kNone, "7",
       "A2:1D- A3:1De- 37:08+ 37:08-"},
      {"held Alt: the mask key first", UsLayout(), false, kHeldLeftAlt, KeySuffix::kNone, "7",
       "E8:00+ E8:00- A4:38- 37:08+ 37:08-"},
      {"held AltGr (Ctrl and right Alt)", UsLayout(), false, kHeldLeftCtrl | kHeldRightAlt, KeySuffix::kNone,
       "7", "E8:00+ E8:00- A2:1D- A5:38e- 37:08+ 37:08-"},
      {"held Windows keys", UsLayout(), false, kHeldLeftWin | kHeldRightWin, KeySuffix::kNone, "7",
       "E8:00+ E8:00- 5B:5Be- 5C:5Ce- 37:08+ 37:08-"},
      {"held Shift on AZERTY", AzertyLayout(), false, kHeldLeftShift, KeySuffix::kNone, "7",
       "A0:2A- A0:2A+ 37:08+ 37:08- A0:2A-"},
      {"Enter after the digits", UsLayout(), false, 0, KeySuffix::kEnter, "12",
       "31:02+ 31:02- 32:03+ 32:03- 0D:1C+ 0D:1C-"},
      {"Tab after the digits", AzertyLayout(), true, 0, KeySuffix::kTab, "1", "31:02+ 31:02- 09:0F+ 09:0F-"},
      {"no digit: nothing, not even the suffix", UsLayout(), false, kHeldLeftAlt, KeySuffix::kEnter, "x-",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Describe(LayoutRecords(c.text, PlanDigits(c.layout, c.capsLock), c.held, c.suffix)), c.records);
  }
}

TEST(LayoutRecords, ANumberWithEveryDigitPairsEveryPressWithItsRelease) {
  const std::string number = "12345678901234567890";
  for (bool capsLock : {false, true}) {
    const std::vector<INPUT> records =
        LayoutRecords(number, PlanDigits(AzertyLayout(), capsLock), 0, KeySuffix::kEnter);
    std::vector<WORD> down;
    std::string typed;
    for (const INPUT& r : records) {
      if (!(r.ki.dwFlags & KEYEVENTF_KEYUP)) {
        down.push_back(r.ki.wVk);
        continue;
      }
      ASSERT_FALSE(down.empty());
      EXPECT_EQ(down.back(), r.ki.wVk);  // released innermost first: Shift last
      down.pop_back();
      if (r.ki.wVk >= '0' && r.ki.wVk <= '9') typed += static_cast<char>(r.ki.wVk);
    }
    EXPECT_TRUE(down.empty());
    EXPECT_EQ(typed, number);
    EXPECT_EQ(records.size(), 2 * number.size() * (capsLock ? 1 : 2) + 2);
  }
}

TEST(UnicodeRecords, DigitsAsTodayThenTheSuffixAsAKeyWithItsScanCode) {
  EXPECT_EQ(Describe(UnicodeRecords("305", KeySuffix::kNone)), "u3+ u3- u0+ u0- u5+ u5-");
  EXPECT_EQ(Describe(UnicodeRecords("305", KeySuffix::kEnter)), "u3+ u3- u0+ u0- u5+ u5- 0D:1C+ 0D:1C-");
  EXPECT_EQ(Describe(UnicodeRecords("9", KeySuffix::kTab)), "u9+ u9- 09:0F+ 09:0F-");
  EXPECT_EQ(Describe(UnicodeRecords("", KeySuffix::kEnter)), "");
  EXPECT_EQ(Describe(UnicodeRecords(std::string("\0", 1), KeySuffix::kTab)), "");
  // The digits' records are the Unicode mode's as ever: flags 4 and 6, wVk 0.
  for (const INPUT& r : UnicodeRecords("0123456789", KeySuffix::kNone))
    EXPECT_EQ(r.ki.dwFlags, (r.ki.dwFlags & KEYEVENTF_KEYUP) ? 6u : 4u);
}

TEST(ErrorSoundGate, OnceInEachGapAcrossTheTickWrap) {
  CErrorSoundGate gate;
  const struct {
    DWORD now;
    bool allowed;
  } steps[] = {
      {1000, true},
      {1001, false},
      {3999, false},
      {4000, true},
      {6999, false},
      {0xFFFFFF00u, true},
      {0x00000100u, false},  // 512 ms later, across the wrap
      {0xFFFFFF00u + 3000u, true},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.now);
    EXPECT_EQ(gate.Allow(s.now), s.allowed);
  }
  gate.Reset();
  EXPECT_TRUE(gate.Allow(0xFFFFFF00u + 3001u));
}

}  // namespace
}  // namespace quillon
