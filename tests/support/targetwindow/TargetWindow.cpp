// A window for keystroke tests and demos: a top-level frame with one EDIT
// control that holds the keyboard focus. Tests find it by class and title and
// read the control's text back (GetTargetText in TargetWindow.h).
//   TargetWindow.exe [title [textfile [gapMs]]]   (default title "Quillon target")
// It makes itself the foreground window, keeps the focus in its EDIT control
// and, when closed, prints the text it received to stdout as UTF-8. With a
// text file (demos), every change of the text is written there as UTF-8; with
// a gap, a space is added after typing has paused that long, so the numbers of
// successive cards stand apart on screen.

#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/support/targetwindow/TargetWindow.h"

namespace {
HWND g_edit = nullptr;
std::wstring g_finalText;
const wchar_t* g_textFile = nullptr;
UINT g_gapMs = 0;
const UINT_PTR kGapTimer = 1;

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
      if (g_edit != nullptr) MoveWindow(g_edit, 8, 8, LOWORD(lParam) - 16, 28, TRUE);
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
  if (argc > 2) g_textFile = argv[2];
  if (argc > 3) g_gapMs = static_cast<UINT>(_wtoi(argv[3]));
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc = {};
  wc.lpfnWndProc = FrameProc;
  wc.hInstance = instance;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.lpszClassName = kTargetClassName;
  if (!RegisterClassW(&wc)) return 2;
  HWND frame = CreateWindowExW(0, kTargetClassName, title, WS_OVERLAPPEDWINDOW, 40, 40, 700, 90, nullptr,
                               nullptr, instance, nullptr);
  if (frame == nullptr) return 2;
  g_edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 8, 8, 380,
                           28, frame, nullptr, instance, nullptr);
  if (g_edit == nullptr) return 2;
  ShowWindow(frame, SW_SHOWNORMAL);
  SetForegroundWindow(frame);
  SetFocus(g_edit);
  if (g_textFile) SaveText();  // the file's existence says the window is up

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  std::printf("%s\n", ToUtf8(g_finalText).c_str());
  return 0;
}
