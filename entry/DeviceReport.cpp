#include "entry/DeviceReport.h"

#include "automation/Automation.h"
#include "card/CardDecoder.h"
#include "discovery/ReaderMatch.h"
#include "discovery/ReaderWalk.h"
#include "entry/RunApp.h"

using quillon::FormatString;

namespace {

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

}  // namespace

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
