#pragma once
#include <windows.h>

// `Quillon.exe --exit`: the way an installer (or a script) asks the copy running
// in this logon session to end before its file is replaced or removed.

// True when the command line (without the program name) starts with --exit.
bool IsExitSwitch(LPCWSTR cmdLine);

// Sends every running Quillon of this session the tray menu's Exit command and
// waits up to timeoutMs for those processes to end. 0 when none is left running
// (also when none was running), 1 when one still runs.
int ExitRunning(DWORD timeoutMs);

// Long enough for a copy whose exit waits for a stuck discovery run (see
// CMainDlg::kDiscoveryExitWaitMs), short enough that an installer never hangs on it.
constexpr DWORD kExitRunningWaitMs = 15000;
