#include "card/Keystrokes.h"

#include <cstdio>
#include <vector>

namespace quillon {
namespace {

void SystemErrorSound() { MessageBeep(MB_ICONERROR); }

SendInputFn g_sendInput = ::SendInput;
ErrorSoundFn g_errorSound = SystemErrorSound;
TypingTargetFn g_typingTarget = FindTypingTarget;
CErrorSoundGate g_soundGate;

// The plan of the layout and CapsLock state last typed on: the same layout asks
// the same questions, so they are asked again only when either changes.
const DigitPlan& PlanFor(HKL layout, bool capsLock) {
  static DigitPlan plan;
  static HKL plannedLayout = nullptr;
  static bool plannedCapsLock = false, planned = false;
  if (!planned || layout != plannedLayout || capsLock != plannedCapsLock) {
    plan = PlanDigits(CSystemLayout(layout), capsLock);
    plannedLayout = layout;
    plannedCapsLock = capsLock;
    planned = true;
  }
  return plan;
}

// The integrity level of a process's token; 0 when it cannot be read.
DWORD TokenIntegrity(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return 0;
  // The label and its SID (one sub-authority) fit easily.
  alignas(TOKEN_MANDATORY_LABEL) BYTE buffer[64];
  DWORD size = 0;
  DWORD level = 0;
  if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof(buffer), &size)) {
    PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    if (count > 0) level = *GetSidSubAuthority(sid, count - 1);
  }
  CloseHandle(token);
  return level;
}

DWORD OwnIntegrity() {
  static const DWORD level = TokenIntegrity(GetCurrentProcess());
  return level;
}

}  // namespace

SendInputFn SetSendInputForTesting(SendInputFn fn) {
  SendInputFn old = g_sendInput;
  g_sendInput = fn ? fn : ::SendInput;
  return old;
}

ErrorSoundFn SetErrorSoundForTesting(ErrorSoundFn fn) {
  ErrorSoundFn old = g_errorSound;
  g_errorSound = fn ? fn : SystemErrorSound;
  g_soundGate.Reset();
  return old;
}

TypingTargetFn SetTypingTargetForTesting(TypingTargetFn fn) {
  TypingTargetFn old = g_typingTarget;
  g_typingTarget = fn ? fn : FindTypingTarget;
  return old;
}

TypingTarget FindTypingTarget() {
  TypingTarget target;
  target.ownIntegrity = OwnIntegrity();
  // Null while another desktop has the input: the lock screen, an elevation prompt.
  target.window = GetForegroundWindow();
  if (target.window == nullptr) return target;
  const DWORD thread = GetWindowThreadProcessId(target.window, &target.process);
  target.layout = GetKeyboardLayout(thread);
  if (target.layout == nullptr) target.layout = GetKeyboardLayout(0);
  if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, target.process)) {
    target.integrity = TokenIntegrity(process);
    CloseHandle(process);
  }
  target.verdict = TargetVerdict::kReady;
  if (target.integrity != 0 && target.ownIntegrity != 0) {
    if (target.integrity > target.ownIntegrity) target.verdict = TargetVerdict::kHigherIntegrity;
    return target;
  }
  // The level cannot be read (an elevated process does not show its token to an
  // ordinary one). The rule that drops injected keys (UIPI) also refuses posted
  // messages, and says so: a message of Quillon's own name, which no window acts on.
  static const UINT probe = RegisterWindowMessageW(L"Quillon.InputProbe");
  if (probe != 0 && !PostMessageW(target.window, probe, 0, 0) && GetLastError() == ERROR_ACCESS_DENIED)
    target.verdict = TargetVerdict::kHigherIntegrity;
  return target;
}

std::string IntegrityName(DWORD integrity) {
  switch (integrity) {
    case SECURITY_MANDATORY_LOW_RID:
      return "low";
    case SECURITY_MANDATORY_MEDIUM_RID:
      return "medium";
    case SECURITY_MANDATORY_MEDIUM_RID + 0x100:
      return "medium plus";
    case SECURITY_MANDATORY_HIGH_RID:
      return "high";
    case SECURITY_MANDATORY_SYSTEM_RID:
      return "system";
    case 0:
      return "unknown";
    default: {
      char text[16];
      std::snprintf(text, sizeof(text), "0x%04lX", static_cast<unsigned long>(integrity));
      return text;
    }
  }
}

SHORT CSystemLayout::KeyFor(wchar_t ch) const { return VkKeyScanExW(ch, m_hkl); }

WORD CSystemLayout::ScanOf(WORD vk) const {
  return static_cast<WORD>(MapVirtualKeyExW(vk, MAPVK_VK_TO_VSC, m_hkl));
}

wchar_t CSystemLayout::CharOf(WORD vk, WORD scan, bool shift, bool capsLock) const {
  BYTE state[256] = {};
  if (shift) state[VK_SHIFT] = state[VK_LSHIFT] = 0x80;
  if (capsLock) state[VK_CAPITAL] = 0x01;
  wchar_t out[4] = {};
  // Flag 4: the system's dead-key state is left as it is (Windows 10 1607 and later).
  const int n = ToUnicodeEx(vk, scan, state, out, ARRAYSIZE(out), 4, m_hkl);
  if (n < 0) {
    // A dead key; older systems keep it pending, and the same key again clears it.
    ToUnicodeEx(vk, scan, state, out, ARRAYSIZE(out), 4, m_hkl);
    return 0;
  }
  return n == 1 ? out[0] : 0;
}

bool CapsLockOn() { return (GetKeyState(VK_CAPITAL) & 1) != 0; }

unsigned HeldKeys() {
  unsigned held = 0;
  for (unsigned i = 0; i < kHeldKeyCount; ++i)
    if (GetAsyncKeyState(HeldKeyInfo(i).vk) & 0x8000) held |= 1u << i;
  // A program that injects the generic key may leave the sides unknown: lift the left one.
  const struct {
    int vk;
    unsigned sides, left;
  } generic[] = {{VK_SHIFT, kHeldLeftShift | kHeldRightShift, kHeldLeftShift},
                 {VK_CONTROL, kHeldLeftCtrl | kHeldRightCtrl, kHeldLeftCtrl},
                 {VK_MENU, kHeldLeftAlt | kHeldRightAlt, kHeldLeftAlt}};
  for (const auto& g : generic)
    if (!(held & g.sides) && (GetAsyncKeyState(g.vk) & 0x8000)) held |= g.left;
  return held;
}

TypeOutcome TypeDigits(std::string text, const TypingOptions& options) {
  bool anyDigit = false;
  for (char c : text) anyDigit = anyDigit || (c >= '0' && c <= '9');
  if (!anyDigit) return TypeOutcome::kNothing;

  const TypingTarget target = g_typingTarget();
  TypeOutcome outcome = TypeOutcome::kRefused;
  if (target.verdict == TargetVerdict::kNoWindow) {
    outcome = TypeOutcome::kNoWindow;
  } else if (target.verdict == TargetVerdict::kHigherIntegrity) {
    outcome = TypeOutcome::kHigherIntegrity;
  } else {
    // One call for the whole number: the system injects the records together, so a
    // key pressed meanwhile cannot split it, and a refusal drops the whole number
    // rather than part of it.
    std::vector<INPUT> records =
        options.keys == KeyMode::kLayout
            ? LayoutRecords(text, PlanFor(target.layout, CapsLockOn()), HeldKeys(), options.suffix)
            : UnicodeRecords(text, options.suffix);
    const UINT inserted = g_sendInput(static_cast<UINT>(records.size()), records.data(), sizeof(INPUT));
    if (inserted == records.size()) return TypeOutcome::kTyped;
  }
  // Nothing is shown and nothing kept: the person hears it and presents the card again.
  if (g_soundGate.Allow(GetTickCount())) g_errorSound();
  return outcome;
}

}  // namespace quillon
