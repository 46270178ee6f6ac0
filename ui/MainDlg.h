#pragma once
// The program's one window: a hidden modeless dialog that owns the run-time
// state (tray icon, serial port, receive buffer, device registration), starts
// reader discovery, and turns the serial port's messages into typed digits.
//
// Discovery runs and the dialog's end. A run gets this object and may use its
// window handle and serial port until the run's thread ends, so the object must
// outlive every run:
//  - Only the UI thread starts runs (WM_INITDIALOG, device arrival). Each is
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
//    keeps answering sent messages, so no wait closes a cycle back to it.
//
// The session and a busy port:
//  - While this logon session is off the screen (fast user switching, a remote
//    session that disconnected) the port is disabled: closed, and no run can open
//    it, so the session on screen can have the reader; nothing is typed. When the
//    session comes back, a run looks for the reader. A lock alone changes nothing.
//  - Each run reports what it found (WM_READER_SEARCHED). The reader listed but its
//    port not opening (another program or session holds it) is tried again on a
//    UI-thread timer, 1 s doubling to 30 s, for as long as runs find it listed; an
//    arrival, a loss or the session coming back starts again from 1 s. Nothing
//    waits on a retry: the timer only starts a run.
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
#include "serial/SerialPort.h"
#include "ui/DialogImpl.h"
#include "ui/RunCounter.h"
#include "ui/TrayIconImpl.h"
#include "ui/UpdateUI.h"

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CUpdateUI<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler,
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
  static constexpr UINT kRetryFirstMs = 1000;
  static constexpr UINT kRetryMostMs = 30000;

  CMainDlg();
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

  // Starts one discovery run on a thread of its own; says "CreateThread fail" if it can't.
  void StartDiscovery();
  // True when no discovery run is left, within `timeoutMs`. UI thread, after the window is gone.
  static bool WaitForDiscoveries(DWORD timeoutMs);

  DEV_BROADCAST_DEVICEINTERFACE_W* m_pDevFilter;
  HDEVNOTIFY m_hDevNotify;
  CSerialPort m_serialPort;
  std::string m_rxBuffer;

 private:
  LONG m_rxOpening;      // the opening whose bytes m_rxBuffer holds
  uint32_t m_rxLastTick;  // when the newest byte of m_rxBuffer came: older than a second is stale
  bool m_typingOff;   // set as the window goes: nothing more is typed
  bool m_sessionAway;  // this session is off the screen: no port, no typing
  UINT m_retryMs;      // the retry timer's last interval; 0 when none is set

  void ResetRetry();

  static CRunCounter& DiscoveryRuns();
  static DWORD WINAPI DiscoveryThreadProc(LPVOID dialog);
  void CloseDialog(int code);
};
