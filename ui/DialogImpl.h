#pragma once
// A modeless dialog bound to a C++ object: every message of the window goes
// through the object's message map.
//
// Binding: the object being created is handed to the first message of its new
// window through a thread-local slot (creation is synchronous on the creating
// thread, so nothing else can take it); that first message stores the object in
// the window's DWLP_USER slot and installs the dispatching dialog procedure.

#include <windows.h>

class CWindow {
 public:
  HWND m_hWnd = nullptr;
};

template <class T>
class CDialogImpl : public CWindow {
 public:
  CDialogImpl() = default;
  CDialogImpl(const CDialogImpl&) = delete;
  CDialogImpl& operator=(const CDialogImpl&) = delete;

  // Returns TRUE when the message was handled; `result` is then its result.
  virtual BOOL ProcessWindowMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;
  virtual ~CDialogImpl() = default;
  virtual DLGPROC GetDialogProc() { return DialogProc; }
  // Called with the old handle after the window's last message.
  virtual void OnFinalMessage(HWND /*hWnd*/) {}

  HWND Create(HWND parent, LPARAM initParam = 0) {
    t_creating = this;
    HWND hWnd = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(T::IDD), parent,
                                   StartDialogProc, initParam);
    t_creating = nullptr;
    return hWnd;
  }

  const MSG* m_pCurrentMsg = nullptr;
  enum { kWindowDestroyed = 1 };
  DWORD m_dwState = 0;

 private:
  static INT_PTR CALLBACK StartDialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    CDialogImpl* self = t_creating;
    if (self == nullptr) return FALSE;
    t_creating = nullptr;
    self->m_hWnd = hWnd;
    SetWindowLongPtrW(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    SetWindowLongPtrW(hWnd, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(self->GetDialogProc()));
    return DialogProc(hWnd, msg, wParam, lParam);
  }

  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CDialogImpl*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    if (self == nullptr) return FALSE;
    MSG current = {hWnd, msg, wParam, lParam, 0, {0, 0}};
    const MSG* outer = self->m_pCurrentMsg;
    self->m_pCurrentMsg = &current;
    LRESULT result = 0;
    const BOOL handled = self->ProcessWindowMessage(hWnd, msg, wParam, lParam, result);
    self->m_pCurrentMsg = outer;

    INT_PTR ret = FALSE;
    if (handled) {
      switch (msg) {
        // These return their result directly instead of through DWLP_MSGRESULT.
        case WM_INITDIALOG:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
          return static_cast<INT_PTR>(result);
        default:
          if (!(self->m_dwState & kWindowDestroyed)) SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
          ret = TRUE;
          break;
      }
    } else if (msg == WM_NCDESTROY) {
      self->m_dwState |= kWindowDestroyed;
    }
    if (outer == nullptr && (self->m_dwState & kWindowDestroyed)) {
      // The window is gone: unbind before the object may go too.
      SetWindowLongPtrW(hWnd, DWLP_USER, 0);
      self->m_hWnd = nullptr;
      self->m_dwState &= ~kWindowDestroyed;
      self->OnFinalMessage(hWnd);
    }
    return ret;
  }

  static thread_local CDialogImpl* t_creating;
};

template <class T>
thread_local CDialogImpl<T>* CDialogImpl<T>::t_creating = nullptr;
