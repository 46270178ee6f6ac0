#include "ui/RunCounter.h"

#include "win/Scoped.h"

CRunCounter::CRunCounter() : m_count(0), m_hIdle(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  InitializeCriticalSection(&m_lock);
}

CRunCounter::~CRunCounter() {
  if (m_hIdle != nullptr) CloseHandle(m_hIdle);
  DeleteCriticalSection(&m_lock);
}

void CRunCounter::Begin() {
  CScopedLock lock(m_lock);
  if (m_count++ == 0) ResetEvent(m_hIdle);
}

void CRunCounter::End() {
  CScopedLock lock(m_lock);
  if (--m_count == 0) SetEvent(m_hIdle);
}

LONG CRunCounter::Count() {
  CScopedLock lock(m_lock);
  return m_count;
}

bool CRunCounter::WaitIdle(DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return WaitForSingleObject(m_hIdle, 0) == WAIT_OBJECT_0;
    const DWORD r = MsgWaitForMultipleObjects(1, &m_hIdle, FALSE, timeoutMs - elapsed, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0) return true;
    if (r == WAIT_OBJECT_0 + 1) {
      // Delivers the pending sent messages; posted ones stay queued.
      MSG msg;
      PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      continue;
    }
    if (r != WAIT_TIMEOUT) return false;
  }
}
