#pragma once
// Shared by the black-box tests of Quillon.exe: start the program, find its
// hidden dialog, wait for things to happen with generous bounds.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <utility>

namespace quillon_system {

constexpr DWORD kLong = 30000;  // generous upper bound for anything to happen

inline std::wstring WinePath(const char* unixPath) {
  std::wstring p = L"Z:";
  for (const char* c = unixPath; *c; ++c) p += (*c == '/') ? L'\\' : static_cast<wchar_t>(*c);
  return p;
}

// Polls `cond` until it holds or `timeoutMs` has passed, dispatching the
// calling thread's messages meanwhile (a test's own windows keep answering).
template <class Cond>
bool WaitFor(DWORD timeoutMs, Cond cond) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (cond()) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(20);
  }
}

// A key pressed and released, as the keyboard would give it.
inline void PressKey(WORD vk) {
  INPUT key[2] = {};
  key[0].type = key[1].type = INPUT_KEYBOARD;
  key[0].ki.wVk = key[1].ki.wVk = vk;
  key[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, key, sizeof(INPUT));
}

// True while the shell holds an icon for (hWnd, 1): a modify that changes
// nothing is accepted only for an icon that exists.
inline bool IconExists(HWND hWnd) {
  NOTIFYICONDATAW nid = {};
  nid.cbSize = NOTIFYICONDATAW_V3_SIZE;
  nid.hWnd = hWnd;
  nid.uID = 1;
  return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

struct FindCtx {
  DWORD pid;
  const wchar_t* cls;
  const wchar_t* title;  // null: any
  bool visibleOnly;
  HWND found;
};

inline BOOL CALLBACK FindProc(HWND hWnd, LPARAM lParam) {
  auto* c = reinterpret_cast<FindCtx*>(lParam);
  DWORD pid = 0;
  GetWindowThreadProcessId(hWnd, &pid);
  wchar_t cls[64] = {}, title[64] = {};
  GetClassNameW(hWnd, cls, 64);
  GetWindowTextW(hWnd, title, 64);
  if (pid == c->pid && wcscmp(cls, c->cls) == 0 && (!c->title || wcscmp(title, c->title) == 0) &&
      (!c->visibleOnly || IsWindowVisible(hWnd))) {
    c->found = hWnd;
    return FALSE;
  }
  return TRUE;
}

inline HWND FindTopLevel(DWORD pid, const wchar_t* cls, const wchar_t* title, bool visibleOnly) {
  FindCtx c = {pid, cls, title, visibleOnly, nullptr};
  EnumWindows(FindProc, reinterpret_cast<LPARAM>(&c));
  return c.found;
}

// One running copy of the program.
class Program {
 public:
  ~Program() { Stop(); }

  // Starts `exe` suspended (so a test can watch it from its first instruction),
  // `beforeResume` runs with the pid, then the program runs.
  bool Launch(const char* exe, void (*beforeResume)(DWORD pid, void* ctx) = nullptr, void* ctx = nullptr) {
    return LaunchWith(exe, nullptr, nullptr, beforeResume, ctx);
  }

  // Launch with `args` after the program's name and, when given, `stdOut` (an
  // inheritable handle) as its standard output.
  bool LaunchWith(const char* exe, const wchar_t* args, HANDLE stdOut,
                  void (*beforeResume)(DWORD pid, void* ctx) = nullptr, void* ctx = nullptr) {
    std::wstring path = WinePath(exe);
    std::wstring cmd = L"\"" + path + L"\"";
    if (args) cmd += std::wstring(L" ") + args;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    if (stdOut) {
      si.dwFlags = STARTF_USESTDHANDLES;
      si.hStdOutput = stdOut;
    }
    if (!CreateProcessW(path.c_str(), &cmd[0], nullptr, nullptr, stdOut != nullptr, CREATE_SUSPENDED, nullptr,
                        nullptr, &si, &pi_))
      return false;
    if (beforeResume) beforeResume(pi_.dwProcessId, ctx);
    ResumeThread(pi_.hThread);
    return true;
  }

  // Launches (with `args` after the program's name, when given) and waits until the
  // dialog has finished its initialisation.
  bool Start(const char* exe, const wchar_t* args = nullptr) {
    if (!LaunchWith(exe, args, nullptr)) return false;
    WaitForInputIdle(pi_.hProcess, kLong);
    return WaitFor(kLong, [this] { return FindDialog() != nullptr; }) &&
           WaitFor(kLong, [this] { return IconExists(dialog_); });
  }

  HWND FindDialog() { return dialog_ = FindTopLevel(pi_.dwProcessId, L"#32770", L"Quillon", false); }
  HWND Dialog() const { return dialog_; }
  DWORD Pid() const { return pi_.dwProcessId; }
  DWORD Tid() const { return pi_.dwThreadId; }
  HANDLE Process() const { return pi_.hProcess; }

  bool Running() { return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }

  // Waits for the end; the exit code, or STILL_ACTIVE if it did not end in time.
  DWORD Wait(DWORD timeoutMs = kLong) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(pi_.hProcess, timeoutMs) == WAIT_OBJECT_0)
      GetExitCodeProcess(pi_.hProcess, &code);
    return code;
  }

  void Stop() {
    if (pi_.hProcess == nullptr) return;
    if (Running() && dialog_) PostMessageW(dialog_, WM_COMMAND, 1, 0);
    if (WaitForSingleObject(pi_.hProcess, kLong) != WAIT_OBJECT_0) TerminateProcess(pi_.hProcess, 99);
    WaitForSingleObject(pi_.hProcess, kLong);
    CloseHandle(pi_.hProcess);
    CloseHandle(pi_.hThread);
    pi_ = PROCESS_INFORMATION();
  }

 private:
  PROCESS_INFORMATION pi_ = {};
  HWND dialog_ = nullptr;
};

// A temporary file the program writes its report into, readable while it grows.
class ReportFile {
 public:
  ReportFile() {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"qdg", 0, path);
    path_ = path;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    handle_ =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS, 0, nullptr);
  }
  ~ReportFile() {
    CloseHandle(handle_);
    DeleteFileW(path_.c_str());
  }
  HANDLE Handle() const { return handle_; }
  std::string Text() const {
    HANDLE h = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (h != INVALID_HANDLE_VALUE && ReadFile(h, buffer, sizeof(buffer), &read, nullptr) && read > 0)
      text.append(buffer, read);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return text;
  }

 private:
  std::wstring path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// A pipe for a program's standard output: the program inherits the write end, the
// test reads what comes out.
class OutputPipe {
 public:
  OutputPipe() {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    if (!CreatePipe(&read_, &write_, &sa, 0)) read_ = write_ = nullptr;
    if (read_) SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
  }
  ~OutputPipe() {
    CloseWriteEnd();
    if (read_) CloseHandle(read_);
  }
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  bool Created() const { return read_ != nullptr; }
  HANDLE WriteEnd() const { return write_; }
  // Once the program has its copy: from then on only the program's copies hold the pipe.
  void CloseWriteEnd() {
    if (write_) CloseHandle(write_);
    write_ = nullptr;
  }
  // Blocks until every write end is closed; all that was written.
  std::string ReadToEnd() {
    char buffer[512];
    DWORD read = 0;
    while (ReadFile(read_, buffer, sizeof(buffer), &read, nullptr) && read > 0) text_.append(buffer, read);
    return text_;
  }
  // Without blocking: true once every write end is closed (what was written is kept).
  bool Ended() {
    char buffer[512];
    DWORD available = 0, read = 0;
    while (PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr)) {
      if (available == 0 || !ReadFile(read_, buffer, sizeof(buffer), &read, nullptr)) return false;
      text_.append(buffer, read);
    }
    return GetLastError() == ERROR_BROKEN_PIPE;
  }

 private:
  HANDLE read_ = nullptr, write_ = nullptr;
  std::string text_;
};

// Runs `exe args` to its end with its standard output on a pipe:
// {exit code or STILL_ACTIVE when it outlived kLong, all it wrote}.
inline std::pair<DWORD, std::string> RunCaptured(const char* exe, const wchar_t* args) {
  OutputPipe pipe;
  if (!pipe.Created()) return {~0u, "(no pipe)"};
  Program program;
  const bool started = program.LaunchWith(exe, args, pipe.WriteEnd());
  pipe.CloseWriteEnd();
  if (!started) return {~0u, ""};
  const std::string output = pipe.ReadToEnd();
  return {program.Wait(), output};
}

// An interactive cmd (cmd /k) fed one command at a time on its standard input,
// as a person types them: each command is written once the prompt is back.
class CmdSession {
 public:
  static constexpr char kPrompt[] = "QPROMPT>";

  CmdSession() {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &in_, &sa, 0) || !CreatePipe(&out_, &childOut, &sa, 0)) return;
    SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = childIn;
    si.hStdOutput = childOut;
    si.hStdError = childOut;
    std::wstring cmd = L"cmd.exe /k prompt QPROMPT$G";
    started_ = CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi_) &&
               WaitForPrompts(1);
    CloseHandle(childIn);
    CloseHandle(childOut);
  }
  ~CmdSession() {
    if (pi_.hProcess) {
      Type("exit");
      if (WaitForSingleObject(pi_.hProcess, kLong) != WAIT_OBJECT_0) TerminateProcess(pi_.hProcess, 99);
      CloseHandle(pi_.hProcess);
      CloseHandle(pi_.hThread);
    }
    if (in_) CloseHandle(in_);
    if (out_) CloseHandle(out_);
  }
  CmdSession(const CmdSession&) = delete;
  CmdSession& operator=(const CmdSession&) = delete;

  bool Started() const { return started_; }

  // Types `command` and gives what cmd wrote until its next prompt, without
  // line ends around it; "(no prompt)" when none came.
  std::string Run(const std::string& command) {
    const size_t from = all_.size();
    if (!Type(command) || !WaitForPrompts(prompts_ + 1)) return "(no prompt)";
    std::string text = all_.substr(from, all_.rfind(kPrompt) - from);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) text.erase(0, 1);
    return text;
  }

 private:
  bool Type(const std::string& command) {
    const std::string line = command + "\r\n";
    DWORD written = 0;
    return WriteFile(in_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) != FALSE;
  }

  bool WaitForPrompts(int count) {
    const bool came = WaitFor(kLong, [&] {
      DWORD available = 0;
      char buffer[4096];
      DWORD read = 0;
      while (PeekNamedPipe(out_, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
             ReadFile(out_, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        all_.append(buffer, read);
      int seen = 0;
      for (size_t at = all_.find(kPrompt); at != std::string::npos; at = all_.find(kPrompt, at + 1)) ++seen;
      return seen >= count;
    });
    if (came) prompts_ = count;
    return came;
  }

  HANDLE in_ = nullptr, out_ = nullptr;
  PROCESS_INFORMATION pi_ = {};
  std::string all_;
  int prompts_ = 0;
  bool started_ = false;
};

}  // namespace quillon_system
