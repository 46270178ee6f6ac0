#pragma once
#include <windows.h>

#include <string>

// `Quillon --exit`: the way an installer (or a script) asks every Quillon running
// in this logon session to end before its file is replaced or removed: the tray
// copy, and a report (--diagnose and the like) that still runs.

// The class of the hidden window a report holds while it runs: closing it ends
// the report as the tray menu's Exit ends the tray copy.
extern const wchar_t kReportWindowClass[];

// Asks each of them to end as its own way out does (the tray menu's Exit, a
// report's window closed) and waits up to timeoutMs for those processes to end.
// 0 when none is left running (also when none was running), 1 when one still runs.
// With a folder (ending in a backslash), only the copies whose program lies in it.
int ExitRunning(DWORD timeoutMs, const std::wstring& folder = std::wstring());

// Long enough for a copy whose exit waits for a stuck discovery run (see
// CMainDlg::kDiscoveryExitWaitMs), short enough that an installer never hangs on it.
constexpr DWORD kExitRunningWaitMs = 15000;
