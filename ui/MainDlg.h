#pragma once
// The program's one window: a hidden modeless dialog that owns the run-time
// state (tray icon, serial port, receive buffer, device registration), starts
// reader discovery, and turns the serial port's messages into typed digits.
//
// Discovery runs and the dialog's end. A run gets this object as its CReaderHost
// and may use its window handle and serial port until the run's thread ends, so
// the object must outlive every run:
//  - Only the UI thread starts runs (WM_INITDIALOG, a device arrival, a loss, the
//    session coming back, a resume or a reopen, the retry timer), and none once the
//    window goes. Each is
//    counted (DiscoveryRuns) before its thread is created and uncounted as the
//    thread's very last act, after its last use of the dialog. The counter is not
//    part of the dialog, so uncounting touches nothing the dialog owns.
//  - After the message loop has ended the window is gone, so no run can start.
//    RunApp then waits for the count to reach 0 (WaitForDiscoveries) and only
//    then destroys the object. If a run is still busy after the bound, RunApp
//    ends the process without destroying the object: the run is stopped by the
//    process's end and never sees a destroyed dialog.
//  - The wait cannot close a cycle back to the UI thread: the window is already
//    destroyed, so anything sending to it during the wait (a serial event thread
//    that a run's Open is closing) is answered at once, as the wait delivers
//    sent messages.
//
// Runs, the serial port and the UI thread:
//  - Runs are not serialised with each other here. A run that finds the port that
//    is already open and monitored leaves that opening alone (no close, no purge:
//    a card in flight is not cut); a run that finds no reader, or whose query
//    fails, touches nothing. Runs serialise their open step among themselves, and
//    the port object serialises Open, StartEventThread and Close (its lifecycle
//    mutex), so a run's Open never overlaps the UI thread's Close.
//  - WM_SERIAL_LOST is posted by an event thread as its last act, so it can arrive
//    after a newer run has reopened the port. CloseAfterLoss closes only the
//    opening that reported the loss (its thread is then past every send, so the
//    wait for it is short and cannot close a cycle); a report from an earlier
//    opening leaves the live one alone. A loss of the current opening starts a
//    discovery run: the reader may already be back, and its arrival may have come
//    while the old opening still looked alive.
//  - m_rxBuffer belongs to one opening: it is emptied when bytes of a newer
//    opening start to arrive (the port counts openings) and when the opening is
//    lost, so half a card never combines with bytes of another opening. Bytes
//    that completed no frame within a second are dropped too.
//  - Every wait the UI thread makes on the port (its mutex, an ended thread)
//    keeps answering sent messages, so no wait closes a cycle back to it. The
//    dialog counts those waits (m_portWaits): a byte delivered meanwhile belongs to
//    an opening on its way out and is not typed, and what would run a modal loop
//    there (the tray menu, whose callback the shell may send; the "CreateThread
//    fail" box of a run started by a nested handler) is posted to the window and
//    done once the wait is over. Only sent messages are handled inside such a wait,
//    so reports, the timer and posted work never are.
//  - Handlers can nest inside those waits (a resume, an arrival, a session change
//    are sent). A Close asked for inside the port's own Close returns at once and
//    leaves the work to the outer one; FollowPortState nests as below.
//
// Sleep, resume and the device coming back (all on the UI thread, each a
// discovery run like any other: numbered, reported, retried):
//  - A USB serial reader can come back from sleep, selective suspend or a bus reset
//    as a new device instance under the same COM name: the open handle leads to the
//    old one, and nothing ever completes its wait or reports an error. So a resume
//    (PBT_APMRESUMEAUTOMATIC, and PBT_APMRESUMESUSPEND after it when a person is
//    there: one resume) closes the opening whatever it looks like, empties the
//    buffer and starts a run with the retries started over. PBT_APMSUSPEND leaves
//    the port open: where the resume broadcast is late or missing (Modern Standby)
//    a reader that survived sleep goes on typing, and one that did not comes back
//    through its arrival or its handle's removal below.
//  - An arrival of the open port's own name, or of a device interface of the
//    reader, is the reader back as a new instance: reopened the same way. Every
//    other arrival only starts a run, which leaves a live opening alone.
//  - Each opening's handle is registered for handle notifications (the port
//    object registers it as it opens and ends the registration before the handle
//    closes). A query to remove it (a driver update, "safely remove") closes the
//    port and grants; the query failing starts a run that reopens it; the removal
//    itself is the loss of that opening. Only a notification whose handle and
//    registration are the port's own counts.
//  - While the session is away nothing reopens: the port stays disabled, and the
//    session coming back looks for the reader.
//
// The session and the port:
//  - While this logon session is off the screen (fast user switching, a remote
//    session that disconnected) the port is disabled: closed, and no run can open
//    it, so the session on screen can have the reader; nothing is typed. When the
//    session comes back, a run looks for the reader. A lock alone changes nothing.
//  - Disable and Enable wait for the port's mutex (a run may hold it in Open) and
//    answer sent messages meanwhile, so a session change, or the end, can be handled
//    inside that wait. FollowPortState lets such a nested call only record the new
//    state; the outermost call goes round again until the port matches the latest
//    one, so the port follows the session whatever the order of returns.
//
// Runs, reports and retries (all on the UI thread; nothing waits on a retry):
//  - Every run gets a number as it starts and reports what it found with it
//    (WM_READER_SEARCHED): open, busy (listed, port did not open), not listed, or
//    unknown (the device list could not be read). Runs overlap and report in any
//    order, so only the report of the newest run started counts; an older run's is
//    history (its "not listed" may predate the reader, its "open" an opening since
//    lost). Anything that starts a run makes it the newest.
//  - The newest report "busy" or "unknown" asks for a retry: a UI-thread timer, 1 s
//    doubling to 30 s, that starts one run. Its report asks for the next. An arrival,
//    a loss, a resume or the session coming back starts a run at once and starts the
//    timer again from 1 s. The decision is CRetrySchedule's; the dialog only sets
//    and kills the timer. "Open" or "not listed" from the newest run ends the retries; an
//    unreadable list never does, so a reader last seen listed is never given up on.
//  - At most one run started by the timer is in flight: the timer is set again only
//    once that run has reported, even when a newer run (an arrival's) reported first.
//    While the session is away or the dialog ends, no timer is set. Reports and the
//    timer are posted, so neither is ever handled inside a wait on the port.
//  - No timer is set while the port is open (an older run opened it after the newest
//    report, or the list was unreadable while the reader's port is open). That look
//    does not wait: it reads whether the port holds a device; an opening lost later
//    starts a run of its own. A run that finds the port already open and monitored
//    reports "open" and changes nothing.
//
// The end (exit command, session end, a WM_QUIT from elsewhere): the window is
// destroyed before the loop's end is acted on (RunApp destroys a window that is
// still there). WM_DESTROY stops typing first, removes the icon and disables the
// port (a run still busy cannot open it again), so nothing is typed once the
// program is on its way out.

#include <windows.h>
#include <dbt.h>

#include <cstdint>
#include <string>

#include "app/MessageLoop.h"
#include "card/Keystrokes.h"
#include "discovery/FindReader.h"
#include "serial/SerialPort.h"
#include "ui/DialogImpl.h"
#include "ui/ResumeBroadcasts.h"
#include "ui/RetrySchedule.h"
#include "ui/RunCounter.h"
#include "ui/TrayIconImpl.h"
#include "ui/UpdateUI.h"

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CUpdateUI<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler,
                 public CReaderHost,
                 public CTrayIconImpl<CMainDlg> {
 public:
  enum { IDD = 129 };
  static constexpr WORD kIconId = 128;
  static constexpr UINT kTipStringId = 128;
  // How long the end of the program waits for running discoveries: one pass is
  // a single device enumeration that normally takes well under a second; one
  // still busy after this is stuck in the system's device service, and the user
  // who chose Exit should not wait on it any longer.
  static constexpr DWORD kDiscoveryExitWaitMs = 10000;
  // Retrying a reader whose port does not open: first after this, then twice as
  // long each time up to the most. A held port is usually let go within seconds
  // (a terminal closed, another session switched away); half a minute keeps a
  // long-held one from costing anything.
  static constexpr UINT kRetryFirstMs = CRetrySchedule::kFirstMs;
  static constexpr UINT kRetryMostMs = CRetrySchedule::kMostMs;

  explicit CMainDlg(const quillon::TypingOptions& typing = {});
  ~CMainDlg() override;

  BOOL ProcessWindowMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  BOOL FilterMessage(MSG* msg) override;
  BOOL IdleWork() override;

  LRESULT OnInitDialog(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnDestroy(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnTrayIcon(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnSerialRxChar(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnSerialLost(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnDeviceChange(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnCloseCmd(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnQueryEndSession(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnEndSession(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnTaskbarCreated(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnSessionChange(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnReaderSearched(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnTimer(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnPowerBroadcast(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
  LRESULT OnThreadFailedNotice(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);

  // Starts one discovery run on a thread of its own and returns its number; 0 when
  // none may start now, or (after saying "CreateThread fail") none could. `byTimer`:
  // the retry timer starts it.
  UINT StartDiscovery(bool byTimer = false);
  // True when no discovery run is left, within `timeoutMs`. UI thread, after the window is gone.
  static bool WaitForDiscoveries(DWORD timeoutMs);
  // The procedure each run's thread calls with the run's ReaderRun*: FindReaderThreadProc,
  // or one a test build sets before the first run (null restores it). Returns the old one.
  static LPTHREAD_START_ROUTINE SetDiscoveryForTesting(LPTHREAD_START_ROUTINE proc);

 private:
  DEV_BROADCAST_DEVICEINTERFACE_W* m_pDevFilter;
  HDEVNOTIFY m_hDevNotify;
  CSerialPort m_serialPort;
  std::string m_rxBuffer;
  quillon::TypingOptions m_typing;  // how each number is typed
  LONG m_rxOpening;                 // the opening whose bytes m_rxBuffer holds
  uint32_t m_rxLastTick;            // when the newest byte of m_rxBuffer came: older than a second is stale
  bool m_typingOff;                 // set as the window goes: nothing more is typed
  bool m_sessionAway;               // this session is off the screen: no port, no typing
  bool m_followingPort;             // FollowPortState is waiting on the port
  int m_portWaits;                  // how deep the UI thread is in waits on the port
  UINT m_newestRun;                 // the number of the newest run started
  CRetrySchedule m_retry;           // when the retry timer starts a run
  CResumeBroadcasts m_resumes;      // which power broadcasts are a new resume

  // Disables the port while the session is away or the dialog ends, else enables it
  // and looks for the reader; whatever the nesting, the latest state wins.
  void FollowPortState();
  // Sets the retry timer when the newest report asks for it and nothing keeps it off.
  void ArmRetry();
  void ResetRetry();
  // Closes the opening, whatever it looks like, and looks for the reader again.
  void Reopen();
  void ShowThreadFailure();
  HWND ReaderOwner() override { return m_hWnd; }
  CSerialPort& ReaderPort() override { return m_serialPort; }

  static CRunCounter& DiscoveryRuns();
  static DWORD WINAPI DiscoveryThreadProc(LPVOID host);
  void CloseDialog(int code);
};
