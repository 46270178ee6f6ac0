#pragma once
#include <windows.h>

// Runs the program on the calling (UI) thread: one copy per logon session, the
// hidden main dialog, the message loop. Returns the exit code.
int RunApp(LPWSTR cmdLine, int cmdShow);
