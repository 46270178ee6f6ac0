#include "entry/ReportOutput.h"

#include "entry/ExitRunning.h"
#include "serial/SerialMessages.h"

CReportWindow::CReportWindow() {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kReportWindowClass;
  RegisterClassExW(&wc);
  m_hWnd = CreateWindowExW(WS_EX_TOOLWINDOW, kReportWindowClass, L"Quillon", WS_POPUP, 0, 0, 0, 0, nullptr,
                           nullptr, wc.hInstance, this);
}

CReportWindow::~CReportWindow() {
  if (m_hWnd) DestroyWindow(m_hWnd);
}

void CReportWindow::Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

LRESULT CALLBACK CReportWindow::WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<CReportWindow*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hWnd, msg, wParam, lParam);
  switch (msg) {
    case WM_SERIAL_RXCHAR:
      if (self->m_sink) self->m_sink->OnRxChar(wParam);
      return 0;
    case WM_SERIAL_LOST:
      if (self->m_sink) self->m_sink->OnLost();
      return 0;
    case WM_POWERBROADCAST:
      if (self->m_sink) self->m_sink->OnPower(wParam);
      return TRUE;
    case WM_DEVICECHANGE:
      if (wParam == DBT_DEVICEARRIVAL && self->m_sink)
        self->m_sink->OnArrival(reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
      return TRUE;
    case WM_CLOSE:  // the window stays until the report ends
      self->m_stopAsked = true;
      return 0;
    case WM_ENDSESSION:
      if (wParam) self->m_stopAsked = true;
      return 0;
    default:
      return DefWindowProcW(hWnd, msg, wParam, lParam);
  }
}

CReportOutput::CReportOutput(CReportWindow& window) : m_window(window) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out && out != INVALID_HANDLE_VALUE && !GetConsoleMode(out, &mode) &&
      GetFileType(out) != FILE_TYPE_UNKNOWN) {
    m_hFile = out;  // the process's, not ours to close
    return;
  }
  // The console companion has a console already; the GUI program attaches to its
  // parent's or makes one. A console with no other process in it (the companion
  // started from Explorer) closes when this ends: it is kept until a key too.
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) m_ownConsole = AllocConsole() != FALSE;
  DWORD processes[2];
  if (GetConsoleProcessList(processes, ARRAYSIZE(processes)) == 1) m_ownConsole = true;
  m_hConsole.Reset(OpenConsoleFile(L"CONOUT$"));
}

CReportOutput::~CReportOutput() {
  if (m_ownConsole && m_hConsole.IsValid()) {
    Line("Press any key to close this window.");
    WaitForKey();
  }
}

void CReportOutput::Line(const std::string& text) {
  const std::string line = text + "\r\n";
  DWORD written = 0;
  if (m_hFile) {
    WriteFile(m_hFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  } else if (m_hConsole.IsValid()) {
    const int length = static_cast<int>(line.size());
    std::wstring wide(MultiByteToWideChar(CP_ACP, 0, line.data(), length, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, line.data(), length, &wide[0], static_cast<int>(wide.size()));
    WriteConsoleW(m_hConsole.Get(), wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  }
}

HANDLE CReportOutput::OpenConsoleFile(const wchar_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

void CReportOutput::WaitForKey() {
  CScopedHandle in(OpenConsoleFile(L"CONIN$"));
  if (!in.IsValid()) return;
  FlushConsoleInputBuffer(in.Get());
  HANDLE input = in.Get();
  for (;;) {
    m_window.Pump();
    if (m_window.StopAsked()) return;
    const DWORD woken = MsgWaitForMultipleObjects(1, &input, FALSE, INFINITE, QS_ALLINPUT);
    if (woken == WAIT_OBJECT_0 + 1) continue;
    if (woken != WAIT_OBJECT_0) return;
    INPUT_RECORD record;
    DWORD read = 0;
    if (!ReadConsoleInputW(input, &record, 1, &read)) return;
    if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
  }
}

std::string SystemText(DWORD error) {
  char text[512];
  if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                      ARRAYSIZE(text), nullptr)) {
    return "(the system has no text for it)";
  }
  std::string line = text;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line;
}
