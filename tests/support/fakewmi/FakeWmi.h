#pragma once
// Test support: puts the test WMI provider (fakewmi.dll) behind "winmgmts:" in
// the test prefix, so that any process there that binds the WMI moniker (the
// real Quillon.exe included) gets the devices the test chose.
//
//   FakeWmiConfig config;
//   config.AddFiller(3).Add(L"USB Serial Port (COM7)", L"USBSER\\VID_0403+PID_8288+A1B2\\0000");
//   ScopedFakeWmi wmi(config);              // installed until the end of the scope
//   ASSERT_EQ(wmi.Result(), S_OK);
//   ... start the program, wmi.Log().WaitForCount("query-end", 1, 30000) ...
//   wmi.SetConfig(other);                   // the next parse/bind/query sees it
//
// Only one provider installation is live in a prefix at a time, and while it is
// installed Wine's own WMI is not reachable through the moniker: tests that use
// it run one at a time (CTest's default).

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "tests/support/fakewmi/FakeWmiConfig.h"
#include "tests/support/fakewmi/FakeWmiLog.h"
#include "tests/support/fakewmi/FakeWmiRegistry.h"

namespace quillon {
namespace fakewmi {

constexpr const wchar_t* kWmiMoniker = L"winmgmts:{impersonationLevel=impersonate}!\\\\.\\root\\cimv2";
constexpr const wchar_t* kWmiQuery = L"Select * from Win32_PnPEntity";

// The provider DLL of this build tree, as a Windows path.
std::wstring ProviderDllPath();
// "/a/b" (a Linux path) becomes "Z:\a\b"; any other path is returned unchanged.
std::wstring ToWindowsPath(const std::wstring& path);

// Writes the configuration's text form to `path`.
bool WriteConfig(const std::wstring& path, const FakeWmiConfig& config);
// Registers the provider with its configuration and log files and points
// "winmgmts:" at it. The configuration file must exist and parse.
HRESULT Install(const std::wstring& configPath, const std::wstring& logPath,
                const std::wstring& dllPath = ProviderDllPath());
// Points "winmgmts:" back at Wine's own WMI and removes the provider's key.
HRESULT Uninstall();

// An installation for the length of a scope, with its own configuration and
// log files in the temporary folder (removed again at the end).
class ScopedFakeWmi {
 public:
  explicit ScopedFakeWmi(const FakeWmiConfig& config = FakeWmiConfig());
  ~ScopedFakeWmi();
  ScopedFakeWmi(const ScopedFakeWmi&) = delete;
  ScopedFakeWmi& operator=(const ScopedFakeWmi&) = delete;

  HRESULT Result() const { return m_result; }
  bool SetConfig(const FakeWmiConfig& config) { return WriteConfig(m_configPath, config); }
  const std::wstring& ConfigPath() const { return m_configPath; }
  const FakeWmiLog& Log() const { return m_log; }

 private:
  std::wstring m_configPath;
  FakeWmiLog m_log;
  HRESULT m_result;
};

// Calls one member by name through IDispatch (GetIDsOfNames, then Invoke with
// LOCALE_USER_DEFAULT), arguments in DISPPARAMS order (last first). Exception
// texts are freed; the result is the caller's to clear.
HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT argCount,
                     VARIANT* result);

// What a scripting client sees of the moniker: bind with CoGetObject, ExecQuery,
// walk _NewEnum, read Name and PnPDeviceID of each device. The caller has
// initialised COM.
struct WmiValue {
  HRESULT hr = E_PENDING;
  VARTYPE vt = VT_EMPTY;
  std::wstring text;  // when vt is VT_BSTR
};
struct WmiDevice {
  WmiValue name, pnpDeviceId;
};
struct WmiListing {
  HRESULT bind = E_PENDING, query = E_PENDING, enumerate = E_PENDING, last = E_PENDING;
  std::vector<WmiDevice> devices;  // in enumeration order; `last` is the final Next's result
};
WmiListing ListWmiDevices(const wchar_t* moniker = kWmiMoniker, const wchar_t* query = kWmiQuery,
                          size_t maxDevices = 100000);

}  // namespace fakewmi
}  // namespace quillon
