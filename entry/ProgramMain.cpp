#include "entry/ProgramMain.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/AppModule.h"
#include "entry/CommandLine.h"
#include "entry/Diagnose.h"
#include "entry/ExitRunning.h"
#include "entry/RunApp.h"

namespace {

// The arguments after the program's name, split as the C runtime splits them.
quillon::Command ParseOwnCommandLine() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args;
  for (int i = 1; argv && i < argc; ++i) args.emplace_back(argv[i]);
  if (argv) LocalFree(argv);
  return quillon::ParseCommandLine(args);
}

}  // namespace

int ProgramMain(LPWSTR cmdLine, int cmdShow, ProgramImage image) {
  const quillon::Command command = ParseOwnCommandLine();

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
  switch (command.kind) {
    case quillon::CommandKind::kTray:
      // The tray copy never belongs to a console: closing that console would end it without its cleanup.
      result = image == ProgramImage::kConsole ? StartTrayProgram(command.typing)
                                               : RunApp(cmdLine, cmdShow, command.typing);
      break;
    case quillon::CommandKind::kExit:
      // Asks the running copies to end; this process never becomes one.
      result = ExitRunning(kExitRunningWaitMs);
      break;
    default:
      result = RunReport(command);
      break;
  }
  g_appModule.Term();

  CoUninitialize();
  return result;
}
