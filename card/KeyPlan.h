#pragma once
// Which key events type a number: pure planning over a small view of a keyboard
// layout, and the INPUT records of both typing modes. Nothing here calls the
// system; card/Keystrokes.cpp asks the real layout and sends the records.
//
// Layout mode types each digit as the key that makes it on the layout of the
// window in front, as a keyboard would: virtual key and scan code both set, Shift
// pressed around it where that layout needs Shift (AZERTY's digit row), CapsLock
// taken into account where the layout lets it shift digits. A digit that no key
// of the layout types with Shift alone is a Unicode event, as in Unicode mode.

#include <windows.h>

#include <string>
#include <vector>

namespace quillon {

// How the tray program types a number: which key events carry the digits, and
// which key, if any, follows them (--keys, --suffix). The defaults type Unicode
// characters and nothing after the digits.
enum class KeyMode { kUnicode, kLayout };
enum class KeySuffix { kNone, kEnter, kTab };

// What the planning needs to know of a keyboard layout. The system's answers
// (VkKeyScanExW, MapVirtualKeyExW, ToUnicodeEx) in CSystemLayout; tables in tests.
class CKeyLayout {
 public:
  // The key that types `ch` and the state it needs, as VkKeyScanExW answers: the
  // virtual key in the low byte, in the high byte 1 Shift, 2 Ctrl, 4 Alt (and
  // higher bits for other shift keys); -1 when no key types it.
  virtual SHORT KeyFor(wchar_t ch) const = 0;
  // The scan code of a virtual key, 0 when it has none.
  virtual WORD ScanOf(WORD vk) const = 0;
  // The one character the key types with Shift down or up, CapsLock on or off and
  // no other key held; 0 when it types none, several, or is a dead key.
  virtual wchar_t CharOf(WORD vk, WORD scan, bool shift, bool capsLock) const = 0;

 protected:
  ~CKeyLayout() = default;
};

// How one digit is typed in layout mode.
struct DigitKey {
  bool unicode = true;  // no key types it with Shift alone: a Unicode event for the character
  bool shift = false;   // Shift goes down before the key and up after it
  WORD vk = 0;
  WORD scan = 0;
};

// The key for `digit` ('0'..'9') on `layout` with CapsLock as given: the key
// VkKeyScanExW names, checked with the layout's own answer for that key, with
// Shift the other way round when CapsLock turns it (AZERTY with CapsLock on types
// digits without Shift), and a Unicode event when neither gives the digit.
DigitKey PlanDigit(const CKeyLayout& layout, wchar_t digit, bool capsLock);

// The keys of all ten digits, '0' first: what a number needs of one layout with
// CapsLock as given. The typing keeps it while the layout and CapsLock stay.
struct DigitPlan {
  DigitKey digits[10];
};
DigitPlan PlanDigits(const CKeyLayout& layout, bool capsLock);

// The modifier keys that can be held while a card arrives, each a bit.
enum HeldKey : unsigned {
  kHeldLeftShift = 1u << 0,
  kHeldRightShift = 1u << 1,
  kHeldLeftCtrl = 1u << 2,
  kHeldRightCtrl = 1u << 3,
  kHeldLeftAlt = 1u << 4,
  kHeldRightAlt = 1u << 5,
  kHeldLeftWin = 1u << 6,
  kHeldRightWin = 1u << 7,
};
constexpr unsigned kHeldKeyCount = 8;
// The virtual key, scan code and extended flag of held key `index` (0..7, the bit's number).
struct ModifierKey {
  WORD vk;
  WORD scan;
  bool extended;
};
ModifierKey HeldKeyInfo(unsigned index);

// The key pressed and released before a held Alt or Windows key is lifted, so
// that the lone release opens neither the window's menu nor Start: a virtual key
// that Windows leaves unassigned.
constexpr WORD kMaskVk = 0xE8;
// The key after the digits, with its scan code (the same on every PC layout).
constexpr WORD kEnterScan = 0x1C;
constexpr WORD kTabScan = 0x0F;

// Unicode mode: per digit of `text` ('0'..'9'; everything else, 0x00 included, is
// skipped) a KEYEVENTF_UNICODE press and release with the character in wScan and
// wVk 0, then the suffix's key, if any, as a virtual key with its scan code.
std::vector<INPUT> UnicodeRecords(const std::string& text, KeySuffix suffix);

// Layout mode: the held modifiers lifted (after the mask key when Alt or Windows
// is among them), every digit of `text` as `plan` has it, then the suffix's key.
// The lifted modifiers are not pressed again: a key still held comes back with the
// keyboard's own repeat or the next press, and nothing can be left pressed that
// the person has already let go.
std::vector<INPUT> LayoutRecords(const std::string& text, const DigitPlan& plan, unsigned heldKeys,
                                 KeySuffix suffix);

// The error sound for refused typing at most once per gap: a card presented again
// and again while the wrong window is in front is heard once every few seconds,
// not once per card.
class CErrorSoundGate {
 public:
  static constexpr DWORD kGapMs = 3000;
  // True when a sound may be made at `nowMs` (a GetTickCount value; wraps are fine).
  bool Allow(DWORD nowMs);
  void Reset() { m_heard = false; }

 private:
  bool m_heard = false;
  DWORD m_lastMs = 0;
};

}  // namespace quillon
