#pragma once
// Reader discovery: one pass that looks for the card reader's COM port and opens
// the dialog's serial port on it. Runs on a thread of its own.

#include <windows.h>

// Posted to the dialog's window as a run ends: wParam says what it found (a
// ReaderSearch), lParam the port number (0 when none).
constexpr UINT WM_READER_SEARCHED = WM_APP + 1;
enum ReaderSearch : WPARAM {
  kReaderNotFound = 0,  // not listed, or the device list could not be read
  kReaderOpen = 1,      // open and monitored (by this run or an earlier one)
  kReaderBusy = 2,      // listed, but its port did not open (held elsewhere, not ready)
};

// `dialog` is the CMainDlg that started the run. Exit code 0.
DWORD WINAPI FindReaderThreadProc(LPVOID dialog);
