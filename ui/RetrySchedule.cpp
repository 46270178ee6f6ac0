#include "ui/RetrySchedule.h"

void CRetrySchedule::RunStarted(UINT run, bool byTimer) {
  m_newestRun = run;
  m_wanted = false;  // until this run reports
  if (byTimer) m_timerRun = run;
}

bool CRetrySchedule::Reported(UINT run, bool wantsRetry) {
  if (run == m_timerRun) m_timerRun = 0;  // the timer may start the next one
  // An older run's report is history: its "not listed" may predate the reader, its
  // "open" an opening since lost.
  if (run != m_newestRun) return false;
  m_wanted = wantsRetry;
  if (wantsRetry) return false;
  Restart();
  return true;
}

void CRetrySchedule::Restart() {
  m_armed = false;
  m_lastMs = 0;
}

void CRetrySchedule::Fired() { m_armed = false; }

UINT CRetrySchedule::Arm(bool held) {
  if (!m_wanted || m_armed || m_timerRun != 0 || held) return 0;
  m_lastMs = m_lastMs == 0 ? kFirstMs : (m_lastMs >= kMostMs / 2 ? kMostMs : 2 * m_lastMs);
  m_armed = true;
  return m_lastMs;
}
