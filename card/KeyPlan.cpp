#include "card/KeyPlan.h"

namespace quillon {
namespace {

// Set-1 scan codes of the modifiers, the same on every PC layout; the right-hand
// Ctrl and Alt and both Windows keys are extended (E0) keys.
constexpr ModifierKey kHeldKeys[kHeldKeyCount] = {
    {VK_LSHIFT, 0x2A, false}, {VK_RSHIFT, 0x36, false}, {VK_LCONTROL, 0x1D, false}, {VK_RCONTROL, 0x1D, true},
    {VK_LMENU, 0x38, false},  {VK_RMENU, 0x38, true},   {VK_LWIN, 0x5B, true},      {VK_RWIN, 0x5C, true},
};
constexpr unsigned kHeldAltOrWin = kHeldLeftAlt | kHeldRightAlt | kHeldLeftWin | kHeldRightWin;

INPUT Key(WORD vk, WORD scan, DWORD flags) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = scan;
  input.ki.dwFlags = flags;
  return input;
}

void PressAndRelease(std::vector<INPUT>& records, WORD vk, WORD scan, DWORD flags = 0) {
  records.push_back(Key(vk, scan, flags));
  records.push_back(Key(vk, scan, flags | KEYEVENTF_KEYUP));
}

// wVk 0 with KEYEVENTF_UNICODE: the character itself travels in wScan.
void UnicodeCharacter(std::vector<INPUT>& records, char c) {
  PressAndRelease(records, 0, static_cast<WORD>(static_cast<unsigned char>(c)), KEYEVENTF_UNICODE);
}

// There is no Unicode event for Enter or Tab: in either mode the key itself.
void Suffix(std::vector<INPUT>& records, KeySuffix suffix) {
  if (suffix == KeySuffix::kEnter) PressAndRelease(records, VK_RETURN, kEnterScan);
  if (suffix == KeySuffix::kTab) PressAndRelease(records, VK_TAB, kTabScan);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

DigitKey PlanDigit(const CKeyLayout& layout, wchar_t digit, bool capsLock) {
  DigitKey key;
  const SHORT found = layout.KeyFor(digit);
  if (found == -1) return key;
  const WORD vk = LOBYTE(found);
  const BYTE state = HIBYTE(found);
  if (state & ~1u) return key;  // Ctrl, Alt (AltGr) or a layout's own shift key: not Shift alone
  const WORD scan = layout.ScanOf(vk);
  if (scan == 0) return key;  // a key no keyboard has: a remote session would get nothing
  // VkKeyScanExW does not know CapsLock; the layout's answer for the key does.
  const bool shift = state & 1;
  for (const bool tryShift : {shift, !shift}) {
    if (layout.CharOf(vk, scan, tryShift, capsLock) != digit) continue;
    key.unicode = false;
    key.shift = tryShift;
    key.vk = vk;
    key.scan = scan;
    return key;
  }
  return key;
}

DigitPlan PlanDigits(const CKeyLayout& layout, bool capsLock) {
  DigitPlan plan;
  for (int d = 0; d <= 9; ++d) plan.digits[d] = PlanDigit(layout, static_cast<wchar_t>(L'0' + d), capsLock);
  return plan;
}

ModifierKey HeldKeyInfo(unsigned index) { return kHeldKeys[index % kHeldKeyCount]; }

std::vector<INPUT> UnicodeRecords(const std::string& text, KeySuffix suffix) {
  std::vector<INPUT> records;
  records.reserve(2 * text.size() + 2);
  for (char c : text)
    if (IsDigit(c)) UnicodeCharacter(records, c);
  if (!records.empty()) Suffix(records, suffix);
  return records;
}

std::vector<INPUT> LayoutRecords(const std::string& text, const DigitPlan& plan, unsigned heldKeys,
                                 KeySuffix suffix) {
  std::vector<INPUT> records;
  size_t digits = 0;
  for (char c : text) digits += IsDigit(c);
  if (digits == 0) return records;

  records.reserve(4 * digits + 2 * kHeldKeyCount + 4);
  // A lone Alt release opens the window's menu, a lone Windows-key release Start:
  // another key in between makes it a combination, which does neither.
  if (heldKeys & kHeldAltOrWin) PressAndRelease(records, kMaskVk, 0);
  for (unsigned i = 0; i < kHeldKeyCount; ++i) {
    if (!(heldKeys & (1u << i))) continue;
    const ModifierKey& m = kHeldKeys[i];
    records.push_back(Key(m.vk, m.scan, KEYEVENTF_KEYUP | (m.extended ? KEYEVENTF_EXTENDEDKEY : 0)));
  }
  const ModifierKey& shift = kHeldKeys[0];
  for (char c : text) {
    if (!IsDigit(c)) continue;
    const DigitKey& key = plan.digits[c - '0'];
    if (key.unicode) {
      UnicodeCharacter(records, c);
      continue;
    }
    if (key.shift) records.push_back(Key(shift.vk, shift.scan, 0));
    PressAndRelease(records, key.vk, key.scan);
    if (key.shift) records.push_back(Key(shift.vk, shift.scan, KEYEVENTF_KEYUP));
  }
  Suffix(records, suffix);
  return records;
}

bool CErrorSoundGate::Allow(DWORD nowMs) {
  if (m_heard && nowMs - m_lastMs < kGapMs) return false;
  m_heard = true;
  m_lastMs = nowMs;
  return true;
}

}  // namespace quillon
