#include "app/ExitRunning.h"

#include <memory>
#include <vector>

namespace {

constexpr wchar_t kSwitch[] = L"--exit";
constexpr wchar_t kImageName[] = L"Quillon.exe";
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kDialogTitle[] = L"Quillon";
constexpr WORD kExitCommand = 1;  // the tray menu's only item

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t'; }

struct HandleCloser {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
using ProcessHandle = std::unique_ptr<void, HandleCloser>;

struct RunningCopy {
  HWND dialog;
  ProcessHandle process;
};

// Only a copy of this program: another program's dialog may carry the same title.
bool IsQuillonImage(HANDLE process) {
  wchar_t path[MAX_PATH * 2];
  DWORD size = ARRAYSIZE(path);
  if (!QueryFullProcessImageNameW(process, 0, path, &size)) return false;
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  return lstrcmpiW(name, kImageName) == 0;
}

struct FindContext {
  DWORD selfPid;
  DWORD session;
  std::vector<RunningCopy>* copies;
};

BOOL CALLBACK FindProc(HWND hWnd, LPARAM lParam) {
  auto* ctx = reinterpret_cast<FindContext*>(lParam);
  wchar_t cls[16] = {}, title[16] = {};
  if (!GetClassNameW(hWnd, cls, ARRAYSIZE(cls)) || lstrcmpW(cls, kDialogClass) != 0) return TRUE;
  if (!GetWindowTextW(hWnd, title, ARRAYSIZE(title)) || lstrcmpW(title, kDialogTitle) != 0) return TRUE;
  DWORD pid = 0, session = 0;
  GetWindowThreadProcessId(hWnd, &pid);
  if (pid == 0 || pid == ctx->selfPid) return TRUE;
  if (!ProcessIdToSessionId(pid, &session) || session != ctx->session) return TRUE;
  ProcessHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process || !IsQuillonImage(process.get())) return TRUE;
  ctx->copies->push_back(RunningCopy{hWnd, std::move(process)});
  return TRUE;
}

std::vector<RunningCopy> FindRunningCopies() {
  std::vector<RunningCopy> copies;
  FindContext ctx = {GetCurrentProcessId(), 0, &copies};
  if (!ProcessIdToSessionId(ctx.selfPid, &ctx.session)) return copies;
  EnumWindows(FindProc, reinterpret_cast<LPARAM>(&ctx));
  return copies;
}

}  // namespace

bool IsExitSwitch(LPCWSTR cmdLine) {
  if (cmdLine == nullptr) return false;
  while (IsSpace(*cmdLine)) ++cmdLine;
  const size_t n = ARRAYSIZE(kSwitch) - 1;
  return wcsncmp(cmdLine, kSwitch, n) == 0 && (cmdLine[n] == L'\0' || IsSpace(cmdLine[n]));
}

int ExitRunning(DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  // Scanned again after each wait: a copy that started meanwhile is asked too.
  for (;;) {
    std::vector<RunningCopy> copies = FindRunningCopies();
    if (copies.empty()) return 0;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return 1;
    // Posted, not sent: a copy whose UI thread hangs must not hang the installer.
    for (const RunningCopy& copy : copies) PostMessageW(copy.dialog, WM_COMMAND, kExitCommand, 0);
    for (const RunningCopy& copy : copies) {
      const DWORD spent = GetTickCount() - start;
      if (spent >= timeoutMs || WaitForSingleObject(copy.process.get(), timeoutMs - spent) != WAIT_OBJECT_0)
        return 1;
    }
  }
}
