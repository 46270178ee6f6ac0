#pragma once
#include <windows.h>

#include "card/Keystrokes.h"

// The single-instance guard: a named mutex the running copy owns.
extern const wchar_t kInstanceMutexName[];

// Runs the program on the calling (UI) thread: one copy per logon session, the
// hidden main dialog, the message loop; it types as `typing` says. Returns the
// exit code.
int RunApp(LPWSTR cmdLine, int cmdShow, const quillon::TypingOptions& typing = {});
