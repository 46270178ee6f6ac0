#pragma once
// Typing a card number into the window in front, injected with SendInput: as
// Unicode character events (the default) or as the keys of that window's
// keyboard layout (--keys layout, planned in card/KeyPlan.h), with an Enter or a
// Tab after the digits when asked (--suffix). A number the system would not let
// in is heard, never kept: the error sound, at most once every few seconds.
//
// TypeDigits runs on the dialog's UI thread only; its state (when the error sound
// was last made, the digits' plan for the last layout) belongs to that thread.

#include <windows.h>

#include <string>

#include "card/KeyPlan.h"

namespace quillon {

struct TypingOptions {
  KeyMode keys = KeyMode::kUnicode;
  KeySuffix suffix = KeySuffix::kNone;
};

// Where the keys of a number would go, and whether the system lets them.
enum class TargetVerdict {
  kReady,            // a window of this desktop is in front and takes injected input
  kNoWindow,         // none is: another desktop (lock screen, an elevation prompt) has the input
  kHigherIntegrity,  // its process runs at a higher integrity level (as administrator, for one):
                     // the system would drop the keys without saying so
};
struct TypingTarget {
  TargetVerdict verdict = TargetVerdict::kNoWindow;
  HWND window = nullptr;   // the foreground window
  DWORD process = 0;       // its process
  HKL layout = nullptr;    // the keyboard layout of its thread
  DWORD integrity = 0;     // its process's integrity level (SECURITY_MANDATORY_*_RID); 0 unreadable
  DWORD ownIntegrity = 0;  // this process's
};
// The foreground window and the verdict on it, from the system.
TypingTarget FindTypingTarget();
// "low", "medium", "high", "system", "unknown" for 0, or the number in hex.
std::string IntegrityName(DWORD integrity);

// A keyboard layout as the system answers for it (VkKeyScanExW, MapVirtualKeyExW,
// ToUnicodeEx on a key state of its own, so the person's keys change nothing).
class CSystemLayout final : public CKeyLayout {
 public:
  explicit CSystemLayout(HKL layout) : m_hkl(layout) {}
  SHORT KeyFor(wchar_t ch) const override;
  WORD ScanOf(WORD vk) const override;
  wchar_t CharOf(WORD vk, WORD scan, bool shift, bool capsLock) const override;

 private:
  HKL m_hkl;
};

// Whether CapsLock is on, and the modifiers held now (HeldKey bits).
bool CapsLockOn();
unsigned HeldKeys();

enum class TypeOutcome {
  kTyped,     // every event went in
  kNothing,   // no digit in the text: nothing typed, nothing heard
  kNoWindow,  // not typed (TargetVerdict); the error sound unless one was made just before
  kHigherIntegrity,
  kRefused,  // SendInput inserted fewer events than given; the error sound likewise
};

// Types every '0'..'9' in `text` (all of it, 0x00 included, is visited; other
// characters are skipped) as `options` say, all events of the number in one
// SendInput call, so it goes in whole or not at all and no key pressed meanwhile
// lands inside it. In Unicode mode the digits' records are exactly those of a
// press and a release per digit with the character in wScan.
TypeOutcome TypeDigits(std::string text, const TypingOptions& options = {});

// Test seams. The injection call, so tests can see the exact records or refuse them:
using SendInputFn = UINT(WINAPI*)(UINT count, LPINPUT inputs, int size);
SendInputFn SetSendInputForTesting(SendInputFn fn);
// The error sound (MessageBeep(MB_ICONERROR)); setting it also forgets when the
// last sound was made, so the next refusal is heard:
using ErrorSoundFn = void (*)();
ErrorSoundFn SetErrorSoundForTesting(ErrorSoundFn fn);
// Where the keys go (FindTypingTarget):
using TypingTargetFn = TypingTarget (*)();
TypingTargetFn SetTypingTargetForTesting(TypingTargetFn fn);
// Each null restores the system's own.

}  // namespace quillon
