#pragma once
// Typing a card number into whichever window has the keyboard focus, as
// Unicode key presses and releases injected with SendInput.

#include <windows.h>

#include <string>

namespace quillon {

// How the tray program types a number: which key events carry the digits, and
// which key, if any, follows them. The defaults type Unicode characters and
// nothing after the digits.
enum class KeyMode { kUnicode, kLayout };
enum class KeySuffix { kNone, kEnter, kTab };
struct TypingOptions {
  KeyMode keys = KeyMode::kUnicode;
  KeySuffix suffix = KeySuffix::kNone;
};

// Types every '0'..'9' in `text` (all of it, 0x00 included, is visited; other
// characters are skipped): per digit one press and one release, all of them in
// one SendInput call, so the number goes in whole or not at all. Nothing else is
// typed.
void TypeDigits(std::string text);

// The injection call, replaceable so tests can see the exact records.
using SendInputFn = UINT(WINAPI*)(UINT count, LPINPUT inputs, int size);
SendInputFn SetSendInputForTesting(SendInputFn fn);

}  // namespace quillon
