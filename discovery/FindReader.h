#pragma once
// Reader discovery: one pass that looks for the card reader's COM port and opens
// the given serial port on it. Runs on a thread of its own.

#include <windows.h>

// Posted to the owner window as a run ends: wParam says what it found (a
// ReaderSearch), lParam the run's number (ReaderRun::id).
constexpr UINT WM_READER_SEARCHED = WM_APP + 1;
enum ReaderSearch : WPARAM {
  kReaderNotFound = 0,  // the device list was read and does not hold the reader
  kReaderOpen = 1,      // open and monitored (by this run or an earlier one)
  kReaderBusy = 2,      // listed, but its port did not open (held elsewhere, not ready)
  kReaderUnknown = 3,   // the device list could not be read: the reader may be there
};

class CSerialPort;

// What a run uses of whoever started it (the main dialog), which outlives the run.
class CReaderHost {
 public:
  // The window that receives the port's messages and the run's WM_READER_SEARCHED.
  virtual HWND ReaderOwner() = 0;
  // The port a run opens on the reader.
  virtual CSerialPort& ReaderPort() = 0;

 protected:
  ~CReaderHost() = default;
};

// One run as its host starts it. The host numbers its runs, so it can tell the
// report of its newest run from the late report of an older one.
struct ReaderRun {
  CReaderHost* host;
  UINT id;
};

// Posts the run's report to the host's window; a window already gone ignores it.
void ReportReaderSearch(const ReaderRun& run, ReaderSearch outcome);

// `run` is the ReaderRun* of this run, valid until the routine returns. Exit code 0.
DWORD WINAPI FindReaderThreadProc(LPVOID run);
