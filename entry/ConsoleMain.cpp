#include <windows.h>

#include "entry/ProgramMain.h"

// Quillon.com, the console companion: the same program for cmd, PowerShell and
// scripts, which wait for a console program and take its exit status.
int wmain(int /*argc*/, wchar_t** /*argv*/) {
  return ProgramMain(GetCommandLineW(), SW_SHOWDEFAULT, ProgramImage::kConsole);
}
