#pragma once
// The test's side of QuillonProbe.exe's named objects (ProbeDiscovery.h): the
// semaphores its runs count on, and the events that hold them.

#include <windows.h>
#include <dbt.h>

#include <vector>

#include <gtest/gtest.h>

#include "tests/system/ProbeDiscovery.h"
#include "tests/system/SystemTestSupport.h"

namespace quillon_system {

struct ProbeObjects {
  HANDLE started = CreateSemaphoreW(nullptr, 0, 1000, kProbeStarted);
  HANDLE ended = CreateSemaphoreW(nullptr, 0, 1000, kProbeEnded);
  HANDLE refused = CreateSemaphoreW(nullptr, 0, 1000, kProbeRefused);
  HANDLE hold = nullptr;
  std::vector<HANDLE> runHolds;
  void Hold() { hold = CreateEventW(nullptr, TRUE, FALSE, kProbeHold); }
  // Holds run `n` (HoldRun) or its open step (HoldOpen) until the event returned is set.
  HANDLE HoldRun(int n) { return Keep(CreateEventW(nullptr, TRUE, FALSE, ProbeHoldRun(n).c_str())); }
  HANDLE HoldOpen(int n) { return Keep(CreateEventW(nullptr, TRUE, FALSE, ProbeHoldOpen(n).c_str())); }
  HANDLE Keep(HANDLE event) {
    runHolds.push_back(event);
    return event;
  }
  ~ProbeObjects() {
    if (hold) runHolds.push_back(hold);
    for (HANDLE h : runHolds) {
      SetEvent(h);
      CloseHandle(h);
    }
    CloseHandle(started);
    CloseHandle(ended);
    CloseHandle(refused);
  }
  // Takes `n` counts, waiting as long as needed (bounded); false if they never came.
  static bool Take(HANDLE sem, int n, DWORD eachMs = kLong) {
    for (int i = 0; i < n; ++i)
      if (WaitForSingleObject(sem, eachMs) != WAIT_OBJECT_0) return false;
    return true;
  }
  // Takes whatever is there after a pause that lets stray runs show up.
  static int Extra(HANDLE sem, DWORD pauseMs = 500) {
    Sleep(pauseMs);
    int n = 0;
    while (WaitForSingleObject(sem, 0) == WAIT_OBJECT_0) ++n;
    return n;
  }
};

// A device arrival as the system delivers it: sent (the system refuses to post it).
inline void SendArrival(HWND dialog) {
  DEV_BROADCAST_HDR hdr = {sizeof(hdr), DBT_DEVTYP_PORT, 0};
  DWORD_PTR result;
  EXPECT_NE(SendMessageTimeoutW(dialog, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, LPARAM(&hdr), SMTO_NORMAL, kLong,
                                &result),
            0);
}

}  // namespace quillon_system
