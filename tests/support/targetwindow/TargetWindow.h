#pragma once
// The target window helper (TargetWindow.exe): a separate process whose focused
// EDIT control receives typed keys. Test side: start it, wait until it is the
// foreground window with the focus in its EDIT, read the text back.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

constexpr wchar_t kTargetClassName[] = L"QuillonTargetWindow";
constexpr wchar_t kTargetDefaultTitle[] = L"Quillon target";

// The text of an EDIT control of any process (WM_GETTEXT is marshalled).
inline std::wstring GetTargetText(HWND edit) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(edit, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 10000, &length)) return L"<no answer>";
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(edit, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_NORMAL, 10000,
                      &copied);
  text.resize(copied);
  return text;
}

struct TargetWindow {
  PROCESS_INFORMATION process = {};
  HWND frame = nullptr;
  HWND edit = nullptr;
};

// Starts `exe` with `title` (and `options`, such as L"--log FILE --multiline") and
// waits (up to `timeoutMs`) until its frame is the foreground window. False if it
// never gets there.
inline bool StartTargetWindow(const std::wstring& exe, const std::wstring& title, TargetWindow& target,
                              DWORD timeoutMs = 30000, const std::wstring& options = std::wstring()) {
  std::wstring cmd = L"\"" + exe + L"\" \"" + title + L"\"";
  if (!options.empty()) cmd += L" " + options;
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &target.process))
    return false;
  WaitForInputIdle(target.process.hProcess, timeoutMs);
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    target.frame = FindWindowW(kTargetClassName, title.c_str());
    if (target.frame != nullptr) {
      target.edit = FindWindowExW(target.frame, nullptr, L"EDIT", nullptr);
      if (GetForegroundWindow() == target.frame && target.edit != nullptr) return true;
      SetForegroundWindow(target.frame);
    }
    Sleep(50);
  }
  return false;
}

// Closes the window and waits for the process; the process handles are closed.
inline void StopTargetWindow(TargetWindow& target) {
  if (target.frame != nullptr) PostMessageW(target.frame, WM_CLOSE, 0, 0);
  if (target.process.hProcess != nullptr) {
    if (WaitForSingleObject(target.process.hProcess, 10000) != WAIT_OBJECT_0)
      TerminateProcess(target.process.hProcess, 1);
    CloseHandle(target.process.hProcess);
    CloseHandle(target.process.hThread);
  }
  target = TargetWindow();
}

// What the target window logged with --log FILE, one stream per kind of message,
// each in the order of arrival.
struct KeyEvent {
  bool down;
  bool sys;  // WM_SYSKEYDOWN / WM_SYSKEYUP
  unsigned vk;
  unsigned scan;  // 0xE0xx for an extended key
  bool operator==(const KeyEvent& o) const {
    return down == o.down && sys == o.sys && vk == o.vk && scan == o.scan;
  }
};
struct KeyLog {
  std::vector<KeyEvent> keys;  // WM_KEYDOWN, WM_KEYUP and their WM_SYS forms
  std::vector<KeyEvent> raw;   // WM_INPUT (sys is false)
  std::wstring chars;          // WM_CHAR
  std::wstring sysChars;       // WM_SYSCHAR
};

// The key a test presses after the program's keys, so the log shows when all of
// them have arrived: F24, which no program here types and the EDIT ignores.
constexpr unsigned kSentinelVk = VK_F24;
constexpr unsigned kSentinelScan = 0x76;

// Reads the log as it stands; with `untilSentinel`, each stream ends before its
// first sentinel event, and `complete` says whether both streams reached one.
inline KeyLog ReadKeyLog(const std::wstring& path, bool untilSentinel = false, bool* complete = nullptr) {
  KeyLog log;
  std::string text;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(h, buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
    CloseHandle(h);
  }
  bool keysDone = false, rawDone = false;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // a line still being written
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    char kind[16] = {};
    unsigned a = 0, b = 0;
    if (std::sscanf(line.c_str(), "%15s %x %x", kind, &a, &b) != 3) continue;
    const std::string k = kind;
    if (k == "char") {
      if (!keysDone) log.chars += static_cast<wchar_t>(a);
    } else if (k == "syschar") {
      if (!keysDone) log.sysChars += static_cast<wchar_t>(a);
    } else if (k == "rawdown" || k == "rawup") {
      if (untilSentinel && a == kSentinelVk) rawDone = true;
      if (!rawDone) log.raw.push_back({k == "rawdown", false, a, b});
    } else {
      if (untilSentinel && a == kSentinelVk) keysDone = true;
      if (!keysDone) log.keys.push_back({k == "down" || k == "sysdown", k.compare(0, 3, "sys") == 0, a, b});
    }
  }
  if (complete) *complete = keysDone && rawDone;
  return log;
}

// Presses and releases the sentinel key, then reads the log once both streams
// have it: everything injected before the sentinel is in the result.
inline bool ReadKeyLogAfterSentinel(const std::wstring& path, KeyLog* log, DWORD timeoutMs = 30000) {
  INPUT keys[2] = {};
  for (INPUT& k : keys) {
    k.type = INPUT_KEYBOARD;
    k.ki.wVk = static_cast<WORD>(kSentinelVk);
    k.ki.wScan = static_cast<WORD>(kSentinelScan);
  }
  keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
  if (SendInput(2, keys, sizeof(INPUT)) != 2) return false;
  const DWORD start = GetTickCount();
  for (;;) {
    bool complete = false;
    *log = ReadKeyLog(path, true, &complete);
    if (complete) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(20);
  }
}
