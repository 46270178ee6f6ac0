#include "entry/RunApp.h"

#include "app/AppModule.h"
#include "app/MessageLoop.h"
#include "ui/MainDlg.h"

// "Local\" scopes the guard to the logon session.
const wchar_t kInstanceMutexName[] = L"Local\\{B65B24D8-E52C-491b-BEC9-54867D402E1D}";

int RunApp(LPWSTR /*cmdLine*/, int /*cmdShow*/, const quillon::TypingOptions& typing) {
  // Owned until the process ends: never released or closed.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  if (mutex == nullptr) return -1;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return 0;

  CMessageLoop loop;
  g_appModule.AddLoop(&loop);

  int result = 0;
  {
    CMainDlg dialog(typing);
    if (dialog.Create(nullptr, 0) != nullptr) {
      result = loop.RunLoop();
      g_appModule.RemoveLoop();
      // A WM_QUIT that did not come from the dialog's own close leaves the window up,
      // still bound to the object and still receiving bytes: it goes before the object.
      if (IsWindow(dialog.m_hWnd)) DestroyWindow(dialog.m_hWnd);
    }
    // The object must outlive every discovery run that was given it; see MainDlg.h.
    if (!CMainDlg::WaitForDiscoveries(CMainDlg::kDiscoveryExitWaitMs)) ExitProcess(static_cast<UINT>(result));
  }
  return result;
}
