#pragma once
#include <windows.h>

// Which executable runs: the GUI program Quillon.exe, or its console companion
// Quillon.com, which cmd and PowerShell wait for and pick first for "Quillon".
enum class ProgramImage { kWindows, kConsole };

// Everything the entry point does: COM and the application module set up around
// what the command line asks for (the tray program, --exit, a report). Returns
// the process's exit code.
int ProgramMain(LPWSTR cmdLine, int cmdShow, ProgramImage image = ProgramImage::kWindows);
