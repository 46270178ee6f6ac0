#pragma once
// When to look for the reader again while it is listed but its port does not
// open, or while the device list cannot be read: the decision behind the main
// dialog's retry timer. Pure logic: the dialog sets and kills the timer and
// starts the runs.
//
// Only the report of the newest run started counts (runs overlap and report in
// any order). Its "busy" or "unknown" asks for a retry, 1 s doubling to 30 s; its
// "open" or "not listed" ends the retries. At most one run that the timer started
// is in flight: the timer is set again only once that run has reported. Anything
// that starts over (an arrival, a loss, the session back, a resume) starts the
// intervals again from the first.

#include <windows.h>

class CRetrySchedule {
 public:
  static constexpr UINT kFirstMs = 1000;
  static constexpr UINT kMostMs = 30000;

  // A run started and is now the newest; `byTimer` when the retry timer started it.
  void RunStarted(UINT run, bool byTimer);
  // A run's report: whether it asks for a retry (listed but busy, or the list
  // unreadable). True when the timer must be killed: the newest report ends the retries.
  bool Reported(UINT run, bool wantsRetry);
  // Starts over from the first interval; the timer must be killed.
  void Restart();
  // The timer fired and must be killed: it starts one run an interval.
  void Fired();
  // The interval to set the timer to now, 0 for none. `held`: something keeps
  // retries off for now (the port is open, the session is away, the dialog ends).
  UINT Arm(bool held);
  // The timer could not be set after all.
  void ArmFailed() { m_armed = false; }

  bool Armed() const { return m_armed; }

 private:
  UINT m_newestRun = 0;
  bool m_wanted = false;  // the newest run's report asked for a retry
  bool m_armed = false;   // the timer is set
  UINT m_lastMs = 0;      // the last interval set; 0 after a restart
  UINT m_timerRun = 0;    // the run the timer started, until it reports
};
