#include "entry/Diagnose.h"

#include <cwchar>
#include <string>

#include "automation/Automation.h"
#include "card/CardDecoder.h"
#include "discovery/ReaderLine.h"
#include "discovery/ReaderMatch.h"
#include "discovery/ReaderWalk.h"
#include "entry/ExitRunning.h"
#include "entry/RunApp.h"
#include "serial/SerialMessages.h"
#include "serial/SerialPort.h"
#include "win/Scoped.h"

// Everything runs on the calling thread, which owns the report's window. The
// port's event thread sends each byte to it and waits; the watch loop and every
// wait on the port (Close) keep answering sent messages, so the event thread
// never waits for long. `--exit` posts the window WM_CLOSE: the watch and the
// wait for a key see it at their next message.

using quillon::FormatString;

namespace {

constexpr char kUsage[] =
    "usage: Quillon [--diagnose [seconds] | --exit | --version | --help]   (seconds: 0 to 86400, default 30)";
constexpr const char* kHelp[] = {
    "Quillon " QUILLON_VERSION ": types the card numbers a USB card reader reads into the focused window.",
    "",
    "  Quillon                      run in the notification area (one copy per logon session)",
    "  Quillon --diagnose [seconds] report the devices, the reader's port and, for the seconds",
    "                               given (0 to 86400, default 30), what the reader sends",
    "  Quillon --exit               end every Quillon of this logon session (waits up to 15 s)",
    "  Quillon --version            the version",
    "  Quillon --help               this text",
    "",
    "A switch may be written --name or /name, in any case; --diagnose=N is --diagnose N.",
    "Exit status of --diagnose: 0 reader found and opened, 1 no reader, 2 its port did not",
    "open, 3 WMI failed, 4 another Quillon holds the reader; 5 a bad command line.",
    "--exit: 0 none runs any more, 1 one still runs.",
};
// Received bytes further apart than this go on separate lines of the live view.
constexpr ULONGLONG kBurstGapMs = 50;
constexpr int kBytesPerLine = 16;

// Hidden and top level, so that `--exit` finds it as it finds the tray dialog and
// the session's end reaches it; while the line is watched it also takes the
// port's messages.
class CReportWindow {
 public:
  class CSerialSink {
   public:
    virtual void OnRxChar(WPARAM wParam) = 0;
    virtual void OnLost() = 0;

   protected:
    ~CSerialSink() = default;
  };

  CReportWindow() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kReportWindowClass;
    RegisterClassExW(&wc);
    m_hWnd = CreateWindowExW(WS_EX_TOOLWINDOW, kReportWindowClass, L"Quillon", WS_POPUP, 0, 0, 0, 0, nullptr,
                             nullptr, wc.hInstance, this);
  }
  ~CReportWindow() {
    if (m_hWnd) DestroyWindow(m_hWnd);
  }
  CReportWindow(const CReportWindow&) = delete;
  CReportWindow& operator=(const CReportWindow&) = delete;

  HWND Handle() const { return m_hWnd; }
  void SetSink(CSerialSink* sink) { m_sink = sink; }
  bool StopAsked() const { return m_stopAsked; }

  // Dispatches the thread's pending messages.
  static void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }

 private:
  static LRESULT CALLBACK WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
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

  HWND m_hWnd = nullptr;
  CSerialSink* m_sink = nullptr;
  bool m_stopAsked = false;
};

// The report's destination: the standard output when it is anything but a console
// (a file, a pipe, nul), else the console it was started from, else a console of
// its own that stays until a key is pressed or the report is asked to end.
class CReportOutput {
 public:
  explicit CReportOutput(CReportWindow& window) : m_window(window) {
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

  ~CReportOutput() {
    if (m_ownConsole && m_hConsole.IsValid()) {
      Line("Press any key to close this window.");
      WaitForKey();
    }
  }

  CReportOutput(const CReportOutput&) = delete;
  CReportOutput& operator=(const CReportOutput&) = delete;

  // One line of text in the ANSI code page (the one device names arrive in).
  void Line(const std::string& text) {
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

 private:
  static HANDLE OpenConsoleFile(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  }

  // Until a key goes down, or `--exit` or the session's end asks the report to end.
  void WaitForKey() {
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

  CReportWindow& m_window;
  HANDLE m_hFile = nullptr;
  CScopedHandle m_hConsole;
  bool m_ownConsole = false;
};

// In the ANSI code page, as the report's other text.
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

std::string WindowsVersion() {
  // RtlGetVersion tells the real version; GetVersionEx says what the manifest claims to know.
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using RtlGetVersionProc = LONG(WINAPI*)(OSVERSIONINFOW*);
  using WineVersionProc = const char*(CDECL*)();
  auto rtlGetVersion =
      reinterpret_cast<RtlGetVersionProc>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  auto wineVersion =
      reinterpret_cast<WineVersionProc>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  std::string text = "Windows, version unknown";
  if (rtlGetVersion && rtlGetVersion(&info) == 0) {
    text = FormatString("Windows %lu.%lu, build %lu", info.dwMajorVersion, info.dwMinorVersion,
                        info.dwBuildNumber);
  }
  if (wineVersion) text += FormatString(" (Wine %s)", wineVersion());
  return text;
}

// True when another copy holds the single-instance guard. Only looks: the guard is never created here.
bool ReportWhoAndWhere(CReportOutput& out) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  out.Line(FormatString("Quillon %s diagnostic report, %04u-%02u-%02u %02u:%02u:%02u local time",
                        QUILLON_VERSION, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                        now.wSecond));
  out.Line(WindowsVersion());
  HANDLE guard = OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutexName);
  // Denied: the guard exists, made by a copy that runs with other rights.
  const bool running = guard != nullptr || GetLastError() == ERROR_ACCESS_DENIED;
  if (guard) CloseHandle(guard);
  out.Line(running ? "Another Quillon is running in this logon session."
                   : "No other Quillon is running in this logon session.");
  return running;
}

// The calling thread's automation error record, one field a line.
void ReportAutomationFailure(CReportOutput& out, const char* what, HRESULT hr) {
  out.Line(FormatString("  %s: error 0x%08lX", what, static_cast<unsigned long>(hr)));
  char text[1024];
  if (FAILED(quillon::FormatErrorTextAnsi(nullptr, text, ARRAYSIZE(text), TRUE))) return;
  std::string record = text;
  for (size_t start = 0; start < record.size();) {
    const size_t end = record.find("\r\n", start);
    out.Line("    " + record.substr(start, end - start));
    start = end == std::string::npos ? record.size() : end + 2;
  }
}

// Lists every device with a COM port as the walk judges it, the walk going on past the reader.
class CDeviceReport : public quillon::CReaderWalkObserver {
 public:
  explicit CDeviceReport(CReportOutput& out) : m_out(out) {}

  void OnWalkFailed(HRESULT hr) override {
    m_failed = true;
    ReportAutomationFailure(m_out, "The device query failed", hr);
  }

  bool OnDevice(const char* name, const char* deviceId, bool isReader, int port) override {
    if (!quillon::HasPortMarker(name)) return true;
    ++m_listed;
    m_out.Line(FormatString("  %s", name));
    m_out.Line(FormatString("    device id: %s", deviceId ? deviceId : "(could not be read)"));
    if (!deviceId) {
      m_out.Line("    not the reader: its id could not be read");
    } else if (!isReader) {
      m_out.Line(FormatString("    not the reader: the id does not carry %s", quillon::g_readerDeviceIds[0]));
    } else if (m_readers++ > 0) {
      m_out.Line(
          FormatString("    also matches the reader (COM%d), but Quillon uses the first one only", port));
    } else if (port == 0) {
      m_out.Line("    matches the reader, but its name carries no COM number");
    } else {
      m_out.Line(FormatString("    the reader, on COM%d", port));
    }
    return true;
  }

  bool Failed() const { return m_failed; }
  int Listed() const { return m_listed; }

 private:
  CReportOutput& m_out;
  bool m_failed = false;
  int m_listed = 0;
  int m_readers = 0;
};

// The discovery's pass, made on this thread. The port Quillon would open, 0 for
// none, -1 when the management service failed.
int ReportDevices(CReportOutput& out) {
  out.Line("");
  out.Line("Devices whose name holds \"(COM\":");
  quillon::InitializeAutomation(FALSE, TRUE);
  quillon::EnableErrorDisplay(FALSE);
  CDeviceReport report(out);
  IDispatch* service = nullptr;
  const HRESULT bound = quillon::GetObject(quillon::kWmiMoniker, nullptr, &service);
  int port = 0;
  if (FAILED(bound)) {
    ReportAutomationFailure(out, "Connecting to WMI failed", bound);
  } else {
    port = quillon::FindReaderPort(service, &report);
  }
  if (service) service->Release();
  quillon::UninitializeAutomation(FALSE);

  if (port == 0 && (FAILED(bound) || report.Failed())) {
    out.Line("While WMI fails this way, Quillon finds no reader either.");
    return -1;
  }
  if (report.Listed() == 0) out.Line("  (none)");
  if (port != 0) {
    out.Line(FormatString("Quillon would open COM%d.", port));
  } else {
    out.Line(FormatString(
        "No reader found. Check that the reader is plugged in, that its driver presents it as a COM port "
        "(Device Manager, \"Ports (COM & LPT)\", a name ending in \"(COMn)\"), and that its device id "
        "carries %s.",
        quillon::g_readerDeviceIds[0]));
  }
  return port;
}

// The live view: the port opened as discovery opens it, its bytes in hex, and each
// card as the number the main dialog's decoder gives for them.
class CLineWatch : public CReportWindow::CSerialSink {
 public:
  CLineWatch(CReportOutput& out, CReportWindow& window, int portNumber)
      : m_out(out), m_window(window), m_portNumber(portNumber) {
    m_window.SetSink(this);
  }
  ~CLineWatch() {
    m_serialPort.Close();
    m_window.SetSink(nullptr);
  }
  CLineWatch(const CLineWatch&) = delete;
  CLineWatch& operator=(const CLineWatch&) = delete;

  // Opens the port; false with the system's error when it did not open.
  bool Open(DWORD* error) {
    if (!m_window.Handle()) {
      *error = GetLastError();
      return false;
    }
    // Open leaves CreateFile's error in place when the device does not open.
    if (m_serialPort.Open(m_window.Handle(), m_portNumber, quillon::kReaderBaudRate, quillon::kReaderParity,
                          quillon::kReaderDataBits, quillon::kReaderStopBits, quillon::kReaderEventMask)) {
      return true;
    }
    *error = GetLastError();
    return false;
  }

  void Watch(int seconds) {
    m_serialPort.StartEventThread();
    SYSTEMTIME now;
    GetLocalTime(&now);
    m_start = GetTickCount64();
    m_out.Line("");
    m_out.Line(
        FormatString("Watching COM%d for %d s from %02u:%02u:%02u local time (times below count from then); "
                     "present a card now.",
                     m_portNumber, seconds, now.wHour, now.wMinute, now.wSecond));
    const ULONGLONG total = static_cast<ULONGLONG>(seconds) * 1000;
    // A close asked before the watch began (during a slow device query) is a message waiting here.
    CReportWindow::Pump();
    while (!m_lost && !m_window.StopAsked()) {
      const ULONGLONG elapsed = Elapsed();
      if (elapsed >= total) break;
      DWORD wait = static_cast<DWORD>(total - elapsed);
      if (m_lineBytes > 0 && wait > kBurstGapMs) wait = kBurstGapMs;
      MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      CReportWindow::Pump();
      if (m_lineBytes > 0 && Elapsed() - m_lastByteAt >= kBurstGapMs) FlushBytes();
    }
    const ULONGLONG watched = Elapsed();
    // Bytes the event thread is sending meanwhile are still taken in.
    m_serialPort.Close();
    FlushBytes();
    if (m_window.StopAsked() && !m_lost)
      m_out.Line(Stamp(watched) + "  asked to end (Quillon --exit, or the session ends): stopped watching");
    m_out.Line(FormatString("Watched COM%d for %llu s: %llu bytes, %llu cards.", m_portNumber,
                            (watched + 500) / 1000, m_bytes, m_cards));
  }

 private:
  void OnRxChar(WPARAM wParam) override {
    const ULONGLONG now = Elapsed();
    if (m_lineBytes > 0 && (now - m_lastByteAt >= kBurstGapMs || m_lineBytes == kBytesPerLine)) FlushBytes();
    if (m_lineBytes == 0) m_lineStart = now;
    m_line += FormatString(" %02X", static_cast<unsigned>(wParam & 0xFF));
    ++m_lineBytes;
    ++m_bytes;
    m_lastByteAt = now;
    std::string text;
    if (quillon::DecodeRxByte(m_rxBuffer, m_rxLastTick, GetTickCount(), wParam, text)) {
      FlushBytes();
      ++m_cards;
      // The number zero comes out as no digits at all.
      m_out.Line(Stamp(now) + "  card " + (text.empty() ? "0 (types nothing)" : text));
    }
  }

  void OnLost() override {
    m_lost = true;
    m_serialPort.Close();
    FlushBytes();
    m_out.Line(Stamp(Elapsed()) + "  the port has gone (reader unplugged?): stopped watching");
  }

  void FlushBytes() {
    if (m_lineBytes == 0) return;
    m_out.Line(Stamp(m_lineStart) + "  bytes" + m_line);
    m_line.clear();
    m_lineBytes = 0;
  }

  static std::string Stamp(ULONGLONG ms) { return FormatString("%8.3f s", static_cast<double>(ms) / 1000.0); }
  ULONGLONG Elapsed() const { return GetTickCount64() - m_start; }

  CReportOutput& m_out;
  CReportWindow& m_window;
  int m_portNumber;
  CSerialPort m_serialPort;
  std::string m_rxBuffer;
  uint32_t m_rxLastTick = 0;
  ULONGLONG m_start = 0;
  bool m_lost = false;
  unsigned long long m_bytes = 0;
  unsigned long long m_cards = 0;
  std::string m_line;  // hex of the bytes not yet written out
  int m_lineBytes = 0;
  ULONGLONG m_lineStart = 0;
  ULONGLONG m_lastByteAt = 0;
};

int Diagnose(CReportOutput& out, CReportWindow& window, int seconds) {
  const bool otherRunning = ReportWhoAndWhere(out);
  const int port = ReportDevices(out);
  if (port < 0) return kDiagnoseWmiFailed;
  if (port == 0) return kDiagnoseNoReader;
  if (otherRunning) {
    // Windows would refuse a second opening, and the running copy must not lose bytes to this one.
    out.Line(
        "The running Quillon holds the reader, so this report leaves the port alone. To watch the line, "
        "end that Quillon (its tray icon's menu: Exit) and run this again.");
    return kDiagnoseHeldByQuillon;
  }

  out.Line("");
  const std::string line =
      FormatString("COM%d at %d %d%c%d", port, quillon::kReaderBaudRate, quillon::kReaderDataBits,
                   quillon::kReaderParity, quillon::kReaderStopBits);
  CLineWatch watch(out, window, port);
  DWORD error = 0;
  if (!watch.Open(&error)) {
    out.Line(
        FormatString("Opening %s failed: error %lu, %s", line.c_str(), error, SystemText(error).c_str()));
    if (error == ERROR_ACCESS_DENIED) {
      out.Line(
          "Another program holds the port: end it (a terminal, another card program, a Quillon of "
          "another user) and run this again.");
    }
    return kDiagnoseOpenFailed;
  }
  out.Line(FormatString("Opened %s.", line.c_str()));
  watch.Watch(seconds);
  return kDiagnoseReaderOpened;
}

}  // namespace

int RunReport(const quillon::Command& command) {
  CReportWindow window;
  CReportOutput out(window);
  switch (command.kind) {
    case quillon::CommandKind::kDiagnose:
      return Diagnose(out, window, command.seconds);
    case quillon::CommandKind::kVersion:
      out.Line("Quillon " QUILLON_VERSION);
      return 0;
    case quillon::CommandKind::kHelp:
      for (const char* line : kHelp) out.Line(line);
      return 0;
    default:
      out.Line(kUsage);
      return kDiagnoseUsage;
  }
}

int StartTrayProgram() {
  wchar_t path[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
  wchar_t* dot = wcsrchr(path, L'.');
  if (length == 0 || length >= ARRAYSIZE(path) || !dot || dot + 4 >= path + ARRAYSIZE(path)) return -1;
  wcscpy(dot, L".exe");
  std::wstring commandLine = std::wstring(L"\"") + path + L"\"";
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  // Nothing inherited: the tray copy outlives this console and must not hold the
  // file a script redirected this one's output to.
  if (!CreateProcessW(path, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    const DWORD error = GetLastError();
    CReportWindow window;
    CReportOutput out(window);
    char name[MAX_PATH * 2];
    WideCharToMultiByte(CP_ACP, 0, path, -1, name, ARRAYSIZE(name), nullptr, nullptr);
    out.Line(FormatString("Starting %s failed: error %lu, %s", name, error, SystemText(error).c_str()));
    return -1;
  }
  CScopedHandle thread(pi.hThread), process(pi.hProcess);
  return 0;
}
