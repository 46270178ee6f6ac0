#include "card/Keystrokes.h"

namespace quillon {
namespace {
SendInputFn g_sendInput = ::SendInput;
}

SendInputFn SetSendInputForTesting(SendInputFn fn) {
  SendInputFn old = g_sendInput;
  g_sendInput = fn ? fn : ::SendInput;
  return old;
}

void TypeDigits(std::string text) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  for (char c : text) {
    if (c < '0' || c > '9') continue;
    // wVk 0 with KEYEVENTF_UNICODE: the character itself travels in wScan.
    input.ki.wScan = static_cast<WORD>(static_cast<unsigned char>(c));
    input.ki.dwFlags = KEYEVENTF_UNICODE;
    g_sendInput(1, &input, sizeof(INPUT));
    input.ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
    g_sendInput(1, &input, sizeof(INPUT));
  }
}

}  // namespace quillon
