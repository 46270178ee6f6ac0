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
//  - Runs are not serialised with each other here: the port object serialises
//    Open, StartEventThread and Close (its lifecycle mutex), so two runs that
//    find the reader at once leave one opening with one event thread, and a
//    run's Open never overlaps the UI thread's Close.
//  - WM_SERIAL_LOST is posted by an event thread as it ends, so it can arrive
//    after a newer run has reopened the port. The UI thread answers it with
//    CloseAfterLoss, which closes only a port whose event thread has ended; it
//    never waits for a live event thread (which may be sending to this thread).
//  - Every wait the UI thread makes on the port (its mutex, an ended thread)
//    keeps answering sent messages, so no wait closes a cycle back to it.

#include <windows.h>
#include <dbt.h>

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

  // Starts one discovery run on a thread of its own; says "CreateThread fail" if it can't.
  void StartDiscovery();
  // True when no discovery run is left, within `timeoutMs`. UI thread, after the window is gone.
  static bool WaitForDiscoveries(DWORD timeoutMs);

  DEV_BROADCAST_DEVICEINTERFACE_W* m_pDevFilter;
  HDEVNOTIFY m_hDevNotify;
  CSerialPort m_serialPort;
  std::string m_rxBuffer;

 private:
  static CRunCounter& DiscoveryRuns();
  static DWORD WINAPI DiscoveryThreadProc(LPVOID dialog);
  void CloseDialog(int code);
};
