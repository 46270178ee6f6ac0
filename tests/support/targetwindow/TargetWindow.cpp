// A window for keystroke tests and demos: a top-level frame with one EDIT
// control that holds the keyboard focus. Tests find it by class and title and
// read the control's text back (GetTargetText in TargetWindow.h).
//   TargetWindow.exe [title [textfile [gapMs]]]   (default title "Quillon target")
//   TargetWindow.exe title [--log FILE] [--multiline]
// It makes itself the foreground window, keeps the focus in its EDIT control
// and, when closed, prints the text it received to stdout as UTF-8. With a
// text file (demos), every change of the text is written there as UTF-8; with
// a gap, a space is added after typing has paused that long, so the numbers of
// successive cards stand apart on screen.
// With --log, every key message the EDIT gets (WM_KEYDOWN, WM_KEYUP and their
// WM_SYS forms: virtual key, scan code), every WM_CHAR and WM_SYSCHAR, and the
// keyboard's raw input (WM_INPUT: virtual key, make code) is a line of FILE, as
// it arrives (KeyLog in TargetWindow.h reads it). --multiline makes the EDIT one
// that takes Enter (and Tab) as a person's keyboard gives them.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/support/targetwindow/TargetWindow.h"

namespace {
HWND g_edit = nullptr;
std::wstring g_finalText;
const wchar_t* g_textFile = nullptr;
UINT g_gapMs = 0;
const UINT_PTR kGapTimer = 1;
HANDLE g_log = INVALID_HANDLE_VALUE;
WNDPROC g_editProc = nullptr;

void LogLine(const char* format, unsigned a, unsigned b) {
  if (g_log == INVALID_HANDLE_VALUE) return;
  char line[64];
  const int n = std::snprintf(line, sizeof(line), format, a, b);
  DWORD written = 0;
  if (n > 0) WriteFile(g_log, line, static_cast<DWORD>(n), &written, nullptr);
}

// The scan code as the message carries it: bits 16 to 23, and 0xE000 for an extended key.
unsigned ScanOf(LPARAM lParam) { return ((lParam >> 16) & 0xFF) | ((lParam & (1 << 24)) ? 0xE000 : 0); }

LRESULT CALLBACK LoggingEditProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_KEYDOWN:
      LogLine("down %02X %04X\n", static_cast<unsigned>(wParam), ScanOf(lParam));
      break;
    case WM_KEYUP:
      LogLine("up %02X %04X\n", static_cast<unsigned>(wParam), ScanOf(lParam));
      break;
    case WM_SYSKEYDOWN:
      LogLine("sysdown %02X %04X\n", static_cast<unsigned>(wParam), ScanOf(lParam));
      break;
    case WM_SYSKEYUP:
      LogLine("sysup %02X %04X\n", static_cast<unsigned>(wParam), ScanOf(lParam));
      break;
    case WM_CHAR:
      LogLine("char %04X %u\n", static_cast<unsigned>(wParam), 0);
      break;
    case WM_SYSCHAR:
      LogLine("syschar %04X %u\n", static_cast<unsigned>(wParam), 0);
      break;
  }
  return CallWindowProcW(g_editProc, hWnd, msg, wParam, lParam);
}

void LogRawInput(LPARAM lParam) {
  RAWINPUT raw = {};
  UINT size = sizeof(raw);
  if (GetRawInputData(reinterpret_cast<HRAWINPUT>(lParam), RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)) ==
          static_cast<UINT>(-1) ||
      raw.header.dwType != RIM_TYPEKEYBOARD)
    return;
  const RAWKEYBOARD& k = raw.data.keyboard;
  LogLine((k.Flags & RI_KEY_BREAK) ? "rawup %02X %04X\n" : "rawdown %02X %04X\n", k.VKey,
          k.MakeCode | ((k.Flags & RI_KEY_E0) ? 0xE000u : 0u));
}

std::string ToUtf8(const std::wstring& text) {
  std::string utf8(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], static_cast<int>(utf8.size()), nullptr,
                      nullptr);
  utf8.resize(utf8.size() - 1);
  return utf8;
}

void SaveText() {
  const std::wstring temp = std::wstring(g_textFile) + L".tmp";
  FILE* f = _wfopen(temp.c_str(), L"wb");
  if (!f) return;
  const std::string utf8 = ToUtf8(GetTargetText(g_edit));
  fwrite(utf8.data(), 1, utf8.size(), f);
  fclose(f);
  MoveFileExW(temp.c_str(), g_textFile, MOVEFILE_REPLACE_EXISTING);
}

LRESULT CALLBACK FrameProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INPUT:
      LogRawInput(lParam);
      break;
    case WM_SETFOCUS:
    case WM_ACTIVATE:
      if (g_edit != nullptr && (msg == WM_SETFOCUS || LOWORD(wParam) != WA_INACTIVE)) SetFocus(g_edit);
      break;
    case WM_COMMAND:
      if (HIWORD(wParam) == EN_CHANGE && reinterpret_cast<HWND>(lParam) == g_edit) {
        if (g_textFile) SaveText();
        if (g_gapMs) SetTimer(hWnd, kGapTimer, g_gapMs, nullptr);
      }
      break;
    case WM_TIMER:
      if (wParam == kGapTimer) {
        KillTimer(hWnd, kGapTimer);
        const std::wstring text = GetTargetText(g_edit);
        if (!text.empty() && text.back() >= L'0' && text.back() <= L'9') {
          SendMessageW(g_edit, EM_SETSEL, text.size(), text.size());
          SendMessageW(g_edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L" "));
        }
      }
      break;
    case WM_SIZE:
      if (g_edit != nullptr) {
        RECT rc;
        GetWindowRect(g_edit, &rc);
        MoveWindow(g_edit, 8, 8, LOWORD(lParam) - 16, rc.bottom - rc.top, TRUE);
      }
      break;
    case WM_DESTROY:  // the EDIT control still exists here
      g_finalText = GetTargetText(g_edit);
      PostQuitMessage(0);
      break;
  }
  return DefWindowProcW(hWnd, msg, wParam, lParam);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* title = argc > 1 ? argv[1] : kTargetDefaultTitle;
  const wchar_t* logFile = nullptr;
  bool multiline = false;
  if (argc > 2 && wcsncmp(argv[2], L"--", 2) == 0) {
    for (int i = 2; i < argc; ++i) {
      if (wcscmp(argv[i], L"--log") == 0 && i + 1 < argc)
        logFile = argv[++i];
      else if (wcscmp(argv[i], L"--multiline") == 0)
        multiline = true;
      else
        return 2;
    }
  } else {
    if (argc > 2) g_textFile = argv[2];
    if (argc > 3) g_gapMs = static_cast<UINT>(_wtoi(argv[3]));
  }
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc = {};
  wc.lpfnWndProc = FrameProc;
  wc.hInstance = instance;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.lpszClassName = kTargetClassName;
  if (!RegisterClassW(&wc)) return 2;
  HWND frame = CreateWindowExW(0, kTargetClassName, title, WS_OVERLAPPEDWINDOW, 40, 40, 700,
                               multiline ? 260 : 90, nullptr, nullptr, instance, nullptr);
  if (frame == nullptr) return 2;
  const DWORD editStyle = multiline ? ES_MULTILINE | ES_WANTRETURN | WS_VSCROLL : ES_AUTOHSCROLL;
  g_edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | editStyle, 8, 8, 380,
                           multiline ? 200 : 28, frame, nullptr, instance, nullptr);
  if (g_edit == nullptr) return 2;
  if (logFile) {
    g_log = CreateFileW(logFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, CREATE_ALWAYS, 0, nullptr);
    if (g_log == INVALID_HANDLE_VALUE) return 2;
    g_editProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(g_edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LoggingEditProc)));
    // The keyboard's raw input while this window is in front.
    RAWINPUTDEVICE keyboard = {0x01, 0x06, 0, frame};
    if (!RegisterRawInputDevices(&keyboard, 1, sizeof(keyboard))) return 2;
  }
  ShowWindow(frame, SW_SHOWNORMAL);
  SetForegroundWindow(frame);
  SetFocus(g_edit);
  if (g_textFile) SaveText();  // the file's existence says the window is up

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (g_log != INVALID_HANDLE_VALUE) CloseHandle(g_log);
  std::printf("%s\n", ToUtf8(g_finalText).c_str());
  return 0;
}
