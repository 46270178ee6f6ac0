// QuillonProbe.exe: the program whose discovery runs search for no device and
// only report to the test (see ProbeDiscovery.h).
#include <windows.h>

#include "entry/ProgramMain.h"
#include "tests/system/ProbeDiscovery.h"
#include "ui/MainDlg.h"

namespace {
void Count(const wchar_t* name) {
  if (HANDLE sem = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, name)) {
    ReleaseSemaphore(sem, 1, nullptr);
    CloseHandle(sem);
  }
}

DWORD WINAPI ProbeRun(LPVOID /*host*/) {
  Count(kProbeStarted);
  if (HANDLE hold = OpenEventW(SYNCHRONIZE, FALSE, kProbeHold)) {
    WaitForSingleObject(hold, INFINITE);
    CloseHandle(hold);
  }
  Count(kProbeEnded);
  return 0;
}
}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*prevInstance*/, LPWSTR cmdLine, int cmdShow) {
  CMainDlg::SetDiscoveryForTesting(ProbeRun);
  return ProgramMain(cmdLine, cmdShow);
}
