#pragma once
// The notification-area icon of a dialog and its one popup menu. The icon is
// added once and deleted at the end; the shell calls back with the registered
// "WM_TRAYICON" message, the mouse message in lParam (first-version callbacks:
// the icon never asks for a newer shell version).

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

// The record's form that ends with guidItem: older shells accept it, and nothing
// here needs the balloon icon that the full form adds.
constexpr DWORD kTrayIconDataSize = NOTIFYICONDATAW_V3_SIZE;
// The shell tells the forms apart by their size, which follows the pointer width.
#ifdef _WIN64
static_assert(kTrayIconDataSize == 968, "icon data form");
#else
static_assert(kTrayIconDataSize == 952, "icon data form");
#endif
constexpr UINT kTrayIconId = 1;
constexpr WORD kTrayMenuId = 128;

template <class T>
class CTrayIconImpl {
 public:
  CTrayIconImpl() : m_hTrayMenu(nullptr) {
    ZeroMemory(&m_nid, sizeof(m_nid));
    m_nid.cbSize = kTrayIconDataSize;
    m_uTrayCallbackMsg = RegisterWindowMessageW(L"WM_TRAYICON");
    m_uTaskbarCreatedMsg = RegisterWindowMessageW(L"TaskbarCreated");
  }
  CTrayIconImpl(const CTrayIconImpl&) = delete;
  CTrayIconImpl& operator=(const CTrayIconImpl&) = delete;

  virtual BOOL ShowTrayMenu();
  virtual void PrepareTrayMenu(HMENU /*popup*/) {}
  virtual ~CTrayIconImpl() { RemoveTrayIcon(); }

  void InstallTrayIcon(HWND hWnd, HICON hIcon, const wchar_t* tip) {
    m_nid.hWnd = hWnd;
    m_nid.uID = kTrayIconId;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = m_uTrayCallbackMsg;
    m_nid.hIcon = hIcon;
    if (tip != nullptr) wcsncpy(m_nid.szTip, tip, ARRAYSIZE(m_nid.szTip) - 1);
    m_hTrayMenu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTrayMenuId));
    Shell_NotifyIconW(NIM_ADD, &m_nid);
  }

  // Safe to repeat: a second delete is refused by the shell and changes nothing.
  void RemoveTrayIcon() {
    m_nid.uFlags = 0;
    if (m_hTrayMenu != nullptr) {
      DestroyMenu(m_hTrayMenu);
      m_hTrayMenu = nullptr;
    }
    Shell_NotifyIconW(NIM_DELETE, &m_nid);
  }

  // Adds the icon again after the shell lost it (Explorer restarted); nothing once removed.
  void RestoreTrayIcon() {
    if (m_nid.uFlags != 0) Shell_NotifyIconW(NIM_ADD, &m_nid);
  }

  UINT TrayCallbackMessage() const { return m_uTrayCallbackMsg; }
  // What the shell broadcasts to every top-level window when the taskbar is created anew.
  UINT TaskbarCreatedMessage() const { return m_uTaskbarCreatedMsg; }

 protected:
  NOTIFYICONDATAW m_nid;
  HMENU m_hTrayMenu;
  UINT m_uTrayCallbackMsg;
  UINT m_uTaskbarCreatedMsg;
};

template <class T>
BOOL CTrayIconImpl<T>::ShowTrayMenu() {
  HWND hWnd = static_cast<T*>(this)->m_hWnd;
  HMENU popup = GetSubMenu(m_hTrayMenu, 0);
  PrepareTrayMenu(popup);
  POINT pt = {0, 0};
  GetCursorPos(&pt);
  // The owner must be the foreground window, or the menu does not close when
  // the user clicks elsewhere.
  SetForegroundWindow(hWnd);
  SetMenuDefaultItem(popup, 0, TRUE);
  // A point off every monitor (a stale cursor position) is pulled into the
  // nearest work area horizontally so the menu can be seen.
  if (MonitorFromPoint(pt, MONITOR_DEFAULTTONULL) == nullptr) {
    HMONITOR monitor = MonitorFromPoint(pt, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (monitor != nullptr && GetMonitorInfoW(monitor, &info)) {
      if (pt.x < info.rcWork.left) {
        pt.x = info.rcWork.left;
      } else if (pt.x > info.rcWork.right) {
        pt.x = info.rcWork.right;
      }
    }
  }
  TrackPopupMenu(popup, 0, pt.x, pt.y, 0, hWnd, nullptr);
  // Lets the menu's modal loop see a message before the next click, so a second
  // showing works at once.
  PostMessageW(hWnd, WM_NULL, 0, 0);
  return TRUE;
}
