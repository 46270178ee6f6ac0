#pragma once
// The target window helper (TargetWindow.exe): a separate process whose focused
// EDIT control receives typed keys. Test side: start it, wait until it is the
// foreground window with the focus in its EDIT, read the text back.

#include <windows.h>

#include <string>

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

// Starts `exe` with `title` and waits (up to `timeoutMs`) until its frame is the
// foreground window. False if it never gets there.
inline bool StartTargetWindow(const std::wstring& exe, const std::wstring& title, TargetWindow& target,
                              DWORD timeoutMs = 30000) {
  std::wstring cmd = L"\"" + exe + L"\" \"" + title + L"\"";
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
