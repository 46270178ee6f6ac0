#pragma once
// Reader discovery: one pass that looks for the card reader's COM port and opens
// the dialog's serial port on it. Runs on a thread of its own.

#include <windows.h>

// `dialog` is the CMainDlg that started the run. Exit code 0.
DWORD WINAPI FindReaderThreadProc(LPVOID dialog);
