#include "entry/ExitRunning.h"

#include <vector>

#include "win/Scoped.h"

const wchar_t kReportWindowClass[] = L"QuillonReport";

namespace {

// The GUI program and its console companion; a test build under another name is never asked.
constexpr const wchar_t* kImageNames[] = {L"Quillon.exe", L"Quillon.com"};
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kTitle[] = L"Quillon";
constexpr WORD kExitCommand = 1;  // the tray menu's only item

struct RunningCopy {
  HWND window;
  UINT message;  // what asks it to end
  WPARAM wParam;
  CScopedHandle process;
};

// Only a copy of this program: another program's window may carry the same title.
// With a folder, only one run from there.
bool IsQuillonImage(HANDLE process, const std::wstring& folder) {
  wchar_t path[MAX_PATH * 2];
  DWORD size = ARRAYSIZE(path);
  if (!QueryFullProcessImageNameW(process, 0, path, &size)) return false;
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  if (!folder.empty() && (static_cast<size_t>(name - path) != folder.size() ||
                          CompareStringOrdinal(path, static_cast<int>(folder.size()), folder.c_str(),
                                               static_cast<int>(folder.size()), TRUE) != CSTR_EQUAL))
    return false;
  for (const wchar_t* image : kImageNames)
    if (lstrcmpiW(name, image) == 0) return true;
  return false;
}

struct FindContext {
  DWORD selfPid;
  DWORD session;
  const std::wstring* folder;
  std::vector<RunningCopy>* copies;
};

BOOL CALLBACK FindProc(HWND hWnd, LPARAM lParam) {
  auto* ctx = reinterpret_cast<FindContext*>(lParam);
  wchar_t cls[32] = {}, title[16] = {};
  if (!GetClassNameW(hWnd, cls, ARRAYSIZE(cls))) return TRUE;
  if (!GetWindowTextW(hWnd, title, ARRAYSIZE(title)) || lstrcmpW(title, kTitle) != 0) return TRUE;
  RunningCopy copy = {hWnd, 0, 0, CScopedHandle()};
  if (lstrcmpW(cls, kDialogClass) == 0) {
    copy.message = WM_COMMAND;
    copy.wParam = kExitCommand;
  } else if (lstrcmpW(cls, kReportWindowClass) == 0) {
    copy.message = WM_CLOSE;
  } else {
    return TRUE;
  }
  DWORD pid = 0, session = 0;
  GetWindowThreadProcessId(hWnd, &pid);
  if (pid == 0 || pid == ctx->selfPid) return TRUE;
  if (!ProcessIdToSessionId(pid, &session) || session != ctx->session) return TRUE;
  copy.process.Reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!copy.process.IsValid() || !IsQuillonImage(copy.process.Get(), *ctx->folder)) return TRUE;
  ctx->copies->push_back(std::move(copy));
  return TRUE;
}

std::vector<RunningCopy> FindRunningCopies(const std::wstring& folder) {
  std::vector<RunningCopy> copies;
  FindContext ctx = {GetCurrentProcessId(), 0, &folder, &copies};
  if (!ProcessIdToSessionId(ctx.selfPid, &ctx.session)) return copies;
  EnumWindows(FindProc, reinterpret_cast<LPARAM>(&ctx));
  return copies;
}

}  // namespace

int ExitRunning(DWORD timeoutMs, const std::wstring& folderGiven) {
  std::wstring folder = folderGiven;
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  const DWORD start = GetTickCount();
  // Scanned again after each wait: a copy that started meanwhile is asked too.
  for (;;) {
    std::vector<RunningCopy> copies = FindRunningCopies(folder);
    if (copies.empty()) return 0;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return 1;
    // Posted, not sent: a copy whose UI thread hangs must not hang the installer.
    for (const RunningCopy& copy : copies) PostMessageW(copy.window, copy.message, copy.wParam, 0);
    for (const RunningCopy& copy : copies) {
      const DWORD spent = GetTickCount() - start;
      if (spent >= timeoutMs || WaitForSingleObject(copy.process.Get(), timeoutMs - spent) != WAIT_OBJECT_0)
        return 1;
    }
  }
}
