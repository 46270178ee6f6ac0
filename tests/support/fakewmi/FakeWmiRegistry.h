#pragma once
// Where the test WMI provider is registered in the prefix, and how "winmgmts:"
// is pointed at it and given back to Wine's own WMI.
//
//   HKCR\CLSID\{7CC402FE-BF9D-49DF-86AD-7CCD5F15616E}
//       ConfigFile = Windows path of the configuration text (FakeWmiConfig.h)
//       LogFile    = Windows path of the call log (FakeWmiLog.h); absent: no log
//     \InprocServer32 = the DLL's Windows path, ThreadingModel = Both
//   HKCR\WINMGMTS\CLSID = {7CC402FE-...} while installed,
//                         {172BDDF8-CEEA-11D1-8B05-00600806D9B6} (Wine's) after
//
// HKCR here is HKLM\Software\Classes: Wine resolves the moniker's ProgID from
// there and ignores HKCU\Software\Classes.

#include <windows.h>

#include <string>

namespace quillon {
namespace fakewmi {

extern const CLSID kProviderClsid;
constexpr const wchar_t* kProviderClsidText = L"{7CC402FE-BF9D-49DF-86AD-7CCD5F15616E}";
constexpr const wchar_t* kWineWmiClsidText = L"{172BDDF8-CEEA-11D1-8B05-00600806D9B6}";

// Registers the DLL and points "winmgmts:" at it. A null path leaves that value
// as it is (DllRegisterServer does not know the test's files).
HRESULT RegisterProvider(const std::wstring& dllPath, const std::wstring* configPath,
                         const std::wstring* logPath);
// Points "winmgmts:" back at Wine's WMI and removes the provider's class key.
HRESULT UnregisterProvider();

struct ProviderPaths {
  std::wstring dll, config, log;
};
// The provider's registered paths; false when it is not registered.
bool ReadProviderPaths(ProviderPaths* paths);
// The class that "winmgmts:" resolves to now, as registry text.
std::wstring WinmgmtsClsid();

}  // namespace fakewmi
}  // namespace quillon
