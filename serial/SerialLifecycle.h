#pragma once
// Shared by the serial port's sources: the waits that keep answering messages sent
// to the waiting thread, and the owner of the lifecycle mutex built on them.

#include <windows.h>

namespace serial_internal {

// Waits for the handle while dispatching messages sent to this thread's windows (posted
// messages stay queued).
inline void WaitAnsweringSends(HANDLE handle) {
  for (;;) {
    DWORD result = MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    if (result != WAIT_OBJECT_0 + 1) return;
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

class LifecycleGuard {
 public:
  explicit LifecycleGuard(HANDLE mutex) : m_hMutex(mutex) { WaitAnsweringSends(m_hMutex); }
  ~LifecycleGuard() { ReleaseMutex(m_hMutex); }
  LifecycleGuard(const LifecycleGuard&) = delete;
  LifecycleGuard& operator=(const LifecycleGuard&) = delete;

 private:
  HANDLE m_hMutex;
};

inline void CloseAndClear(HANDLE& handle) {
  if (handle) {
    CloseHandle(handle);
    handle = nullptr;
  }
}

}  // namespace serial_internal
