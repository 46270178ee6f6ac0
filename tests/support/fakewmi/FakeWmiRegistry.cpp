#include "tests/support/fakewmi/FakeWmiRegistry.h"

namespace quillon {
namespace fakewmi {

const CLSID kProviderClsid = {0x7CC402FE, 0xBF9D, 0x49DF, {0x86, 0xAD, 0x7C, 0xCD, 0x5F, 0x15, 0x61, 0x6E}};

namespace {

const std::wstring kClasses = L"Software\\Classes\\";

LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Sets one value under HKLM\Software\Classes\subKey, creating the key.
LSTATUS WriteClassValue(const std::wstring& subKey, const wchar_t* name, const std::wstring& value) {
  HKEY key;
  LSTATUS st = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kClasses + subKey).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, &key, nullptr);
  if (st != ERROR_SUCCESS) return st;
  st = SetString(key, name, value);
  RegCloseKey(key);
  return st;
}

bool ReadClassValue(const std::wstring& subKey, const wchar_t* name, std::wstring* out) {
  wchar_t buf[1024];
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, (kClasses + subKey).c_str(), name, RRF_RT_REG_SZ, nullptr, buf,
                   &size) != ERROR_SUCCESS)
    return false;
  *out = buf;
  return true;
}

}  // namespace

HRESULT RegisterProvider(const std::wstring& dllPath, const std::wstring* configPath,
                         const std::wstring* logPath) {
  const std::wstring clsidKey = std::wstring(L"CLSID\\") + kProviderClsidText;
  LSTATUS st = WriteClassValue(clsidKey, nullptr, L"Quillon test WMI provider");
  if (st == ERROR_SUCCESS && configPath) st = WriteClassValue(clsidKey, L"ConfigFile", *configPath);
  if (st == ERROR_SUCCESS && logPath) st = WriteClassValue(clsidKey, L"LogFile", *logPath);
  if (st == ERROR_SUCCESS) st = WriteClassValue(clsidKey + L"\\InprocServer32", nullptr, dllPath);
  if (st == ERROR_SUCCESS) st = WriteClassValue(clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Both");
  // Last, so "winmgmts:" never points at a half-written class.
  if (st == ERROR_SUCCESS) st = WriteClassValue(L"WINMGMTS\\CLSID", nullptr, kProviderClsidText);
  return HRESULT_FROM_WIN32(st);
}

HRESULT UnregisterProvider() {
  LSTATUS st = WriteClassValue(L"WINMGMTS\\CLSID", nullptr, kWineWmiClsidText);
  if (st != ERROR_SUCCESS) return HRESULT_FROM_WIN32(st);
  st = RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kClasses + L"CLSID\\" + kProviderClsidText).c_str());
  return st == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(st);
}

bool ReadProviderPaths(ProviderPaths* paths) {
  const std::wstring clsidKey = std::wstring(L"CLSID\\") + kProviderClsidText;
  ProviderPaths p;
  if (!ReadClassValue(clsidKey + L"\\InprocServer32", nullptr, &p.dll)) return false;
  ReadClassValue(clsidKey, L"ConfigFile", &p.config);
  ReadClassValue(clsidKey, L"LogFile", &p.log);
  *paths = std::move(p);
  return true;
}

std::wstring WinmgmtsClsid() {
  std::wstring v;
  ReadClassValue(L"WINMGMTS\\CLSID", nullptr, &v);
  return v;
}

}  // namespace fakewmi
}  // namespace quillon
