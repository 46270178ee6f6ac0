#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "app/AppModule.h"
#include "app/Diagnose.h"
#include "app/RunApp.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*prevInstance*/, LPWSTR cmdLine, int cmdShow) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const HRESULT hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(hr)) {
    CoUninitialize();
    return -1;
  }
  // Makes sure user32 is set up before the first window exists.
  DefWindowProcW(nullptr, WM_NULL, 0, 0);
  INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);

  g_appModule.Init();
  int result = 0;
  if (!RunDiagnoseIfAsked(&result)) result = RunApp(cmdLine, cmdShow);
  g_appModule.Term();

  CoUninitialize();
  return result;
}
