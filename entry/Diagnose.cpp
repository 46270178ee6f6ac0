#include "entry/Diagnose.h"

#include <cwchar>
#include <string>

#include "automation/Automation.h"
#include "card/CardDecoder.h"
#include "entry/DeviceReport.h"
#include "entry/KeysReport.h"
#include "entry/LineWatch.h"
#include "entry/LogonReport.h"
#include "entry/ReportOutput.h"
#include "win/Scoped.h"

// Everything runs on the calling thread, which owns the report's window. The
// port's event thread sends each byte to it and waits; the watch loop and every
// wait on the port (Close) keep answering sent messages, so the event thread
// never waits for long. `--exit` posts the window WM_CLOSE: the watch and the
// wait for a key see it at their next message.

using quillon::FormatString;

namespace {

constexpr char kUsage[] =
    "usage: Quillon [--keys unicode|layout] [--suffix enter|tab] | --diagnose [seconds] | --exit | --version "
    "| "
    "--help   (seconds: 0 to 86400, default 30)";
constexpr const char* kHelp[] = {
    "Quillon " QUILLON_VERSION ": types the card numbers a USB card reader reads into the focused window.",
    "",
    "  Quillon                      run in the notification area (one copy per logon session),",
    "                               typing each card number into the window in front",
    "    --keys unicode             type the digits as Unicode characters (the default): right for",
    "                               ordinary edit fields on any keyboard layout",
    "    --keys layout              type each digit as the key that makes it on the keyboard layout",
    "                               of the window in front, with its scan code, Shift where that",
    "                               layout needs it: for remote desktop (RDP) and VNC viewers, Citrix",
    "                               and other VDI clients, terminals, programs that read raw input",
    "                               and web pages that check key codes. It follows the layout of the",
    "                               window in front, so a layout switch between cards is followed;",
    "                               ordinary edit fields do not need it. Shift, Ctrl, Alt or Windows",
    "                               held while a card arrives are let go for the number",
    "    --suffix enter|tab         press Enter or Tab after each number (default: nothing after it)",
    "  Quillon --diagnose [seconds] report the devices, the reader's port and, for the seconds",
    "                               given (0 to 86400, default 30), what the reader sends",
    "  Quillon --exit               end every Quillon of this logon session (waits up to 15 s)",
    "  Quillon --version            the version",
    "  Quillon --help               this text",
    "",
    "A switch may be written --name or /name, in any case; --diagnose=N is --diagnose N,",
    "--keys=layout is --keys layout. A number that Windows does not let in (the window in front runs",
    "as administrator, the lock screen has the input) is not typed, now or later: Quillon sounds",
    "the error sound instead, at most once every 3 seconds; present the card again.",
    "Exit status of --diagnose: 0 reader found and opened, 1 no reader, 2 its port did not",
    "open, 3 WMI failed, 4 another Quillon holds the reader; 5 a bad command line.",
    "--exit: 0 none runs any more, 1 one still runs.",
};

int Diagnose(CReportOutput& out, CReportWindow& window, int seconds) {
  const bool otherRunning = ReportWhoAndWhere(out);
  ReportStartAtLogon(out);
  ReportKeys(out);
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

  return WatchReaderLine(out, window, port, seconds);
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

int StartTrayProgram(const quillon::TypingOptions& typing) {
  wchar_t path[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
  wchar_t* dot = wcsrchr(path, L'.');
  if (length == 0 || length >= ARRAYSIZE(path) || !dot || dot + 4 >= path + ARRAYSIZE(path)) return -1;
  wcscpy(dot, L".exe");
  std::wstring commandLine = std::wstring(L"\"") + path + L"\"";
  const std::wstring switches = quillon::TypingArguments(typing);
  if (!switches.empty()) commandLine += L" " + switches;
  // Nothing inherited: the tray copy outlives this console and must not hold the
  // file or pipe a script redirected this one's output to. Without standard handles
  // of its own it would get copies of this console's (Wine makes them), so it gets
  // empty ones.
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION pi = {};
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
