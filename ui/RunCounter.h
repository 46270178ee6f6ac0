#pragma once
// Counts threads that are still using an object, so its owner can wait for
// them before the object goes.

#include <windows.h>

class CRunCounter {
 public:
  CRunCounter();
  ~CRunCounter();
  CRunCounter(const CRunCounter&) = delete;
  CRunCounter& operator=(const CRunCounter&) = delete;

  void Begin();
  // The run's last act; it must not touch the guarded object afterwards.
  void End();
  LONG Count();
  // Waits until no run is counted, at most `timeoutMs`. Messages sent to this
  // thread's windows are delivered meanwhile, so a run whose work waits on a
  // thread that is sending to us cannot wait for us in a circle.
  bool WaitIdle(DWORD timeoutMs);

 private:
  CRITICAL_SECTION m_lock;
  LONG m_count;
  HANDLE m_hIdle;  // manual-reset; set while m_count is 0
};
