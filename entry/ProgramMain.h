#pragma once
#include <windows.h>

// Everything the entry point does: COM and the application module set up around
// the --diagnose report or RunApp. Returns the process's exit code.
int ProgramMain(LPWSTR cmdLine, int cmdShow);
