#include "ui/MainDlg.h"

#include <wtsapi32.h>

#include <memory>

#include "app/AppModule.h"
#include "card/CardDecoder.h"
#include "card/Keystrokes.h"
#include "serial/SerialMessages.h"
#include "ui/PortWait.h"

namespace {
constexpr UINT_PTR kRetryTimerId = 1;
// Posted to itself: "CreateThread fail", when it had to wait for the port's wait to end.
constexpr UINT WM_THREAD_FAILED_NOTICE = WM_APP + 8;

LPTHREAD_START_ROUTINE g_findReader = FindReaderThreadProc;

// Kept as the program registers it. It is not the USB setup class
// (...-444553540000), so the registration matches no interface of its own; port
// arrivals reach every top-level window without one.
constexpr GUID kDeviceInterfaceClass = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x35, 0x40, 0x00, 0x00}};

void CenterInWorkArea(HWND hWnd) {
  RECT rc;
  if (!GetWindowRect(hWnd, &rc)) return;
  MONITORINFO info = {};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(MonitorFromWindow(hWnd, MONITOR_DEFAULTTONEAREST), &info)) return;
  const RECT& work = info.rcWork;
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  int x = work.left + ((work.right - work.left) - w) / 2;
  int y = work.top + ((work.bottom - work.top) - h) / 2;
  if (x + w > work.right) x = work.right - w;
  if (y + h > work.bottom) y = work.bottom - h;
  if (x < work.left) x = work.left;
  if (y < work.top) y = work.top;
  SetWindowPos(hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

CMainDlg::CMainDlg(const quillon::TypingOptions& typing)
    : m_pDevFilter(nullptr),
      m_hDevNotify(nullptr),
      m_typing(typing),
      m_rxOpening(0),
      m_rxLastTick(0),
      m_typingOff(false),
      m_sessionAway(false),
      m_followingPort(false),
      m_portWaits(0),
      m_newestRun(0) {}

CMainDlg::~CMainDlg() = default;

BOOL CMainDlg::ProcessWindowMessage(HWND /*hWnd*/, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  // Commands other than OK and Cancel, and timers other than the retry, are the
  // dialog manager's.
  if (msg == WM_COMMAND && LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL) return FALSE;
  if (msg == WM_TIMER && wParam != kRetryTimerId) return FALSE;
  using Handler = LRESULT (CMainDlg::*)(UINT, WPARAM, LPARAM, BOOL&);
  const struct {
    UINT msg;
    Handler handler;
  } map[] = {
      {WM_INITDIALOG, &CMainDlg::OnInitDialog},
      {WM_DESTROY, &CMainDlg::OnDestroy},
      {TrayCallbackMessage(), &CMainDlg::OnTrayIcon},
      {WM_SERIAL_RXCHAR, &CMainDlg::OnSerialRxChar},
      {WM_SERIAL_LOST, &CMainDlg::OnSerialLost},
      {WM_DEVICECHANGE, &CMainDlg::OnDeviceChange},
      {WM_COMMAND, &CMainDlg::OnCloseCmd},
      {WM_QUERYENDSESSION, &CMainDlg::OnQueryEndSession},
      {WM_ENDSESSION, &CMainDlg::OnEndSession},
      {TaskbarCreatedMessage(), &CMainDlg::OnTaskbarCreated},
      {WM_WTSSESSION_CHANGE, &CMainDlg::OnSessionChange},
      {WM_READER_SEARCHED, &CMainDlg::OnReaderSearched},
      {WM_TIMER, &CMainDlg::OnTimer},
      {WM_POWERBROADCAST, &CMainDlg::OnPowerBroadcast},
      {WM_THREAD_FAILED_NOTICE, &CMainDlg::OnThreadFailedNotice},
  };
  // The first entry for the message handles it; no handler clears `handled`.
  for (const auto& entry : map) {
    if (entry.msg != msg) continue;
    BOOL handled = TRUE;
    result = (this->*entry.handler)(msg, wParam, lParam, handled);
    return handled;
  }
  return FALSE;
}

BOOL CMainDlg::FilterMessage(MSG* msg) { return IsDialogMessageW(m_hWnd, msg); }

BOOL CMainDlg::IdleWork() { return FALSE; }

LRESULT CMainDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  CenterInWorkArea(m_hWnd);

  HINSTANCE module = GetModuleHandleW(nullptr);
  auto bigIcon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                               LR_DEFAULTCOLOR));
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
  auto smallIcon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                 LR_DEFAULTCOLOR));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));

  wchar_t tip[128] = {};
  LoadStringW(module, kTipStringId, tip, ARRAYSIZE(tip));
  InstallTrayIcon(m_hWnd, bigIcon, tip);
  // Explorer's restart broadcast must reach the icon's owner even when it runs elevated.
  ChangeWindowMessageFilterEx(m_hWnd, TaskbarCreatedMessage(), MSGFLT_ALLOW, nullptr);

  if (CMessageLoop* loop = g_appModule.FindLoop()) {
    loop->AddFilter(this);
    loop->AddIdleHandler(this);
  }
  UIAddChildWindowContainer(m_hWnd);

  m_pDevFilter = new DEV_BROADCAST_DEVICEINTERFACE_W();
  static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "device filter size");
  m_pDevFilter->dbcc_size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_W);
  m_pDevFilter->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  m_pDevFilter->dbcc_reserved = 0;
  m_pDevFilter->dbcc_classguid = kDeviceInterfaceClass;
  m_hDevNotify = RegisterDeviceNotificationW(m_hWnd, m_pDevFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
  // Without it the reader stays with a session that left the screen; not fatal.
  WTSRegisterSessionNotification(m_hWnd, NOTIFY_FOR_THIS_SESSION);

  StartDiscovery();
  return TRUE;
}

LRESULT CMainDlg::OnDestroy(UINT, WPARAM, LPARAM, BOOL&) {
  // First: removing the icon and closing the port both answer messages sent meanwhile.
  m_typingOff = true;
  if (CMessageLoop* loop = g_appModule.FindLoop()) {
    loop->RemoveFilter(this);
    loop->RemoveIdleHandler(this);
  }
  RemoveTrayIcon();
  WTSUnRegisterSessionNotification(m_hWnd);
  FollowPortState();  // no retry, and the port disabled: a run still busy cannot open it
  return 0;
}

LRESULT CMainDlg::OnTrayIcon(UINT msg, WPARAM wParam, LPARAM lParam, BOOL&) {
  if (lParam != WM_LBUTTONUP && lParam != WM_RBUTTONUP) return 0;
  // The shell may send the callback; inside a wait on the port the menu's modal loop
  // would run reports and timers there. It comes back as a posted message.
  if (m_portWaits > 0)
    PostMessageW(m_hWnd, msg, wParam, lParam);
  else
    ShowTrayMenu();
  return 0;
}

LRESULT CMainDlg::OnSerialRxChar(UINT, WPARAM wParam, LPARAM, BOOL&) {
  // While the UI thread waits on the port, bytes come only from an opening on its way
  // out (closed for a reopen, a removal, the session or the end): none of it is typed.
  if (m_typingOff || m_sessionAway || m_portWaits > 0) return 0;
  // Every byte of an earlier opening was handled before this one opened (Open ends
  // the old event thread first), so a new id means a new opening's first byte.
  const LONG opening = m_serialPort.OpeningId();
  if (opening != m_rxOpening) {
    m_rxBuffer.clear();
    m_rxOpening = opening;
  }
  std::string text;
  if (quillon::DecodeRxByte(m_rxBuffer, m_rxLastTick, GetTickCount(), wParam, text))
    quillon::TypeDigits(text, m_typing);
  return 0;
}

LRESULT CMainDlg::OnSerialLost(UINT, WPARAM, LPARAM, BOOL&) {
  bool closed;
  {
    CPortWait wait(m_portWaits);
    closed = m_serialPort.CloseAfterLoss();
  }
  if (closed) m_rxBuffer.clear();
  if (closed || !m_serialPort.IsOpen()) {
    ResetRetry();
    StartDiscovery();
  }
  return 0;
}

LRESULT CMainDlg::OnSessionChange(UINT, WPARAM wParam, LPARAM, BOOL&) {
  if (wParam == WTS_CONSOLE_DISCONNECT || wParam == WTS_REMOTE_DISCONNECT) {
    m_sessionAway = true;
  } else if (wParam == WTS_CONSOLE_CONNECT || wParam == WTS_REMOTE_CONNECT) {
    m_sessionAway = false;
  } else {
    return 0;  // a lock alone changes nothing
  }
  FollowPortState();
  return 0;
}

void CMainDlg::FollowPortState() {
  // Disable and Enable wait for the port's mutex while answering sent messages, so a
  // session change or the end can be handled inside that wait. Such a nested call only
  // records its state; the outermost one goes round again until the port matches the
  // latest.
  if (m_followingPort) return;
  m_followingPort = true;
  CPortWait wait(m_portWaits);
  bool disabled;
  do {
    disabled = m_sessionAway || m_typingOff;
    ResetRetry();
    if (disabled) {
      m_serialPort.Disable();
      m_rxBuffer.clear();
    } else {
      m_serialPort.Enable();
      StartDiscovery();
    }
  } while (disabled != (m_sessionAway || m_typingOff));
  m_followingPort = false;
}

LRESULT CMainDlg::OnReaderSearched(UINT, WPARAM wParam, LPARAM lParam, BOOL&) {
  if (m_retry.Reported(static_cast<UINT>(lParam), wParam == kReaderBusy || wParam == kReaderUnknown))
    KillTimer(m_hWnd, kRetryTimerId);
  ArmRetry();
  return 0;
}

LRESULT CMainDlg::OnTimer(UINT, WPARAM, LPARAM, BOOL&) {
  KillTimer(m_hWnd, kRetryTimerId);  // one run per interval; its report arms the next
  m_retry.Fired();
  StartDiscovery(true);
  return 0;
}

void CMainDlg::ArmRetry() {
  // Not while the port is open: an older run opened it, or only the list was unreadable.
  // The look does not wait; an opening lost later starts a run of its own.
  const UINT ms = m_retry.Arm(m_sessionAway || m_typingOff || m_serialPort.IsOpen());
  if (ms != 0 && !SetTimer(m_hWnd, kRetryTimerId, ms, nullptr)) m_retry.ArmFailed();
}

void CMainDlg::ResetRetry() {
  KillTimer(m_hWnd, kRetryTimerId);
  m_retry.Restart();
}

LRESULT CMainDlg::OnCloseCmd(UINT, WPARAM wParam, LPARAM, BOOL&) {
  CloseDialog(LOWORD(wParam));
  return 0;
}

LRESULT CMainDlg::OnQueryEndSession(UINT, WPARAM, LPARAM, BOOL&) {
  return TRUE;  // nothing to save: the session may end
}

// Logoff, shutdown, or an installer closing programs through the Restart Manager
// (ENDSESSION_CLOSEAPP): end as the exit command does, before the system ends us.
LRESULT CMainDlg::OnEndSession(UINT, WPARAM wParam, LPARAM, BOOL&) {
  if (wParam) CloseDialog(IDOK);
  return 0;
}

LRESULT CMainDlg::OnTaskbarCreated(UINT, WPARAM, LPARAM, BOOL&) {
  RestoreTrayIcon();  // Explorer restarted and forgot every icon
  return 0;
}

void CMainDlg::CloseDialog(int code) {
  DestroyWindow(m_hWnd);
  PostQuitMessage(code);
}

CRunCounter& CMainDlg::DiscoveryRuns() {
  // Never destroyed: a run uncounts itself as it ends, possibly while the process
  // is already on its way out.
  static CRunCounter* runs = new CRunCounter;
  return *runs;
}

LPTHREAD_START_ROUTINE CMainDlg::SetDiscoveryForTesting(LPTHREAD_START_ROUTINE proc) {
  LPTHREAD_START_ROUTINE old = g_findReader;
  g_findReader = proc ? proc : FindReaderThreadProc;
  return old;
}

DWORD WINAPI CMainDlg::DiscoveryThreadProc(LPVOID param) {
  {
    std::unique_ptr<ReaderRun> run(static_cast<ReaderRun*>(param));
    g_findReader(run.get());
  }
  DiscoveryRuns().End();
  return 0;
}

UINT CMainDlg::StartDiscovery(bool byTimer) {
  // The session on screen has the reader; a dialog on its way out starts nothing.
  if (m_sessionAway || m_typingOff) return 0;
  const UINT id = m_newestRun + 1;
  auto* run = new ReaderRun{this, id};
  DiscoveryRuns().Begin();
  HANDLE thread = CreateThread(nullptr, 0, DiscoveryThreadProc, run, 0, nullptr);
  if (thread != nullptr) {
    CloseHandle(thread);  // detached: the run counter tracks it
    m_newestRun = id;
    m_retry.RunStarted(id, byTimer);
    return id;
  }
  delete run;
  DiscoveryRuns().End();
  // A message box's modal loop must not run inside a wait on the port.
  if (m_portWaits > 0)
    PostMessageW(m_hWnd, WM_THREAD_FAILED_NOTICE, 0, 0);
  else
    ShowThreadFailure();
  return 0;
}

LRESULT CMainDlg::OnThreadFailedNotice(UINT, WPARAM, LPARAM, BOOL&) {
  ShowThreadFailure();
  return 0;
}

void CMainDlg::ShowThreadFailure() { MessageBoxW(m_hWnd, L"CreateThread fail", nullptr, MB_OK); }

bool CMainDlg::WaitForDiscoveries(DWORD timeoutMs) { return DiscoveryRuns().WaitIdle(timeoutMs); }
