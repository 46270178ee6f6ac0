// Discovery of the probe build: no device search, only an observable run.
#include "discovery/FindReader.h"
#include "tests/system/ProbeDiscovery.h"

namespace {
void Count(const wchar_t* name) {
  if (HANDLE sem = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, name)) {
    ReleaseSemaphore(sem, 1, nullptr);
    CloseHandle(sem);
  }
}
}  // namespace

DWORD WINAPI FindReaderThreadProc(LPVOID /*dialog*/) {
  Count(kProbeStarted);
  if (HANDLE hold = OpenEventW(SYNCHRONIZE, FALSE, kProbeHold)) {
    WaitForSingleObject(hold, INFINITE);
    CloseHandle(hold);
  }
  Count(kProbeEnded);
  return 0;
}
