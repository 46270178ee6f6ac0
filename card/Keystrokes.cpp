#include "card/Keystrokes.h"

#include <vector>

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
  // One call for the whole number: the system injects the records together, so a
  // key pressed meanwhile cannot split it, and a refusal (secure desktop, a window
  // of higher integrity) drops the whole number rather than part of it.
  std::vector<INPUT> inputs;
  inputs.reserve(2 * text.size());
  for (char c : text) {
    if (c < '0' || c > '9') continue;
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    // wVk 0 with KEYEVENTF_UNICODE: the character itself travels in wScan.
    input.ki.wScan = static_cast<WORD>(static_cast<unsigned char>(c));
    input.ki.dwFlags = KEYEVENTF_UNICODE;
    inputs.push_back(input);
    input.ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
    inputs.push_back(input);
  }
  if (inputs.empty()) return;
  g_sendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

}  // namespace quillon
