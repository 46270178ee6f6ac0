#pragma once
// Where a report's lines go, and the hidden window that a running report holds.

#include <windows.h>
#include <dbt.h>

#include <string>

#include "win/Scoped.h"

// Hidden and top level, so that `--exit` finds it as it finds the tray dialog and
// the session's end reaches it; while the line is watched it also takes the
// port's messages.
class CReportWindow {
 public:
  class CSerialSink {
   public:
    virtual void OnRxChar(WPARAM wParam) = 0;
    virtual void OnLost() = 0;
    // The system's power broadcast (PBT_...), and a device arrival's record (may be null).
    virtual void OnPower(WPARAM event) = 0;
    virtual void OnArrival(const DEV_BROADCAST_HDR* header) = 0;

   protected:
    ~CSerialSink() = default;
  };

  CReportWindow();
  ~CReportWindow();
  CReportWindow(const CReportWindow&) = delete;
  CReportWindow& operator=(const CReportWindow&) = delete;

  HWND Handle() const { return m_hWnd; }
  void SetSink(CSerialSink* sink) { m_sink = sink; }
  bool StopAsked() const { return m_stopAsked; }

  // Dispatches the thread's pending messages.
  static void Pump();

 private:
  static LRESULT CALLBACK WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

  HWND m_hWnd = nullptr;
  CSerialSink* m_sink = nullptr;
  bool m_stopAsked = false;
};

// The report's destination: the standard output when it is anything but a console
// (a file, a pipe, nul), else the console it was started from, else a console of
// its own that stays until a key is pressed or the report is asked to end.
class CReportOutput {
 public:
  explicit CReportOutput(CReportWindow& window);
  ~CReportOutput();
  CReportOutput(const CReportOutput&) = delete;
  CReportOutput& operator=(const CReportOutput&) = delete;

  // One line of text in the ANSI code page (the one device names arrive in).
  void Line(const std::string& text);

 private:
  static HANDLE OpenConsoleFile(const wchar_t* name);
  // Until a key goes down, or `--exit` or the session's end asks the report to end.
  void WaitForKey();

  CReportWindow& m_window;
  HANDLE m_hFile = nullptr;
  CScopedHandle m_hConsole;
  bool m_ownConsole = false;
};

// The system's text for a Win32 error, in the ANSI code page as the report's other text.
std::string SystemText(DWORD error);
