#pragma once
// Which power broadcasts are a new resume. Windows broadcasts every resume as
// PBT_APMRESUMEAUTOMATIC and, once a person is at the desk, again as
// PBT_APMRESUMESUSPEND: the second of such a pair is the same resume. Pure logic.

#include <windows.h>

class CResumeBroadcasts {
 public:
  // The partner of a resume comes within this of it (the system sleeps again after
  // two minutes of an unattended wake).
  static constexpr ULONGLONG kPairMs = 2 * 60 * 1000;

  // A power broadcast at `nowMs`; true when it is a resume not handled yet.
  bool IsNewResume(WPARAM event, ULONGLONG nowMs) {
    if (event == PBT_APMSUSPEND) m_suspended = true;
    if (event != PBT_APMRESUMEAUTOMATIC && event != PBT_APMRESUMESUSPEND && event != PBT_APMRESUMECRITICAL)
      return false;
    const bool partner = m_resumed && !m_suspended && nowMs - m_lastResumeMs < kPairMs;
    m_suspended = false;
    if (partner) return false;
    m_resumed = true;
    m_lastResumeMs = nowMs;
    return true;
  }

 private:
  bool m_suspended = false;  // a suspend came since the last resume
  bool m_resumed = false;
  ULONGLONG m_lastResumeMs = 0;
};
