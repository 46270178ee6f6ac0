// The real WMI service of the test prefix through its moniker: the query that
// discovery runs, enumerated object by object.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "automation/Automation.h"

namespace quillon {
namespace {

std::wstring Report() {
  WCHAR text[1024];
  FormatErrorText(nullptr, text, 1024, TRUE);
  return text;
}

class Objects : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseThreadState();
    ASSERT_GE(InitializeAutomation(TRUE, TRUE), 0);
  }
  void TearDown() override { UninitializeAutomation(TRUE); }
};

const wchar_t kWineWmiClsid[] = L"{172BDDF8-CEEA-11D1-8B05-00600806D9B6}";

// Another test may register a stand-in WMI provider under this moniker while
// it runs; it should restore Wine's own, but this test does not rely on that
// and puts Wine's class back if it finds another one named.
void EnsureWineWmiMoniker() {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, L"WINMGMTS\\CLSID", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  WCHAR value[64] = {};
  DWORD size = sizeof(value) - sizeof(WCHAR);
  DWORD type = 0;
  LONG rc = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  if (rc != ERROR_SUCCESS || type != REG_SZ || _wcsicmp(value, kWineWmiClsid) != 0) {
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(kWineWmiClsid),
                   sizeof(kWineWmiClsid));
  }
  RegCloseKey(key);
}

// Wine serves the WMI moniker from a surrogate process (dllhost.exe) that the
// first binding starts and that outlives the test. It would inherit this
// process's standard handles and keep the test runner's output pipes open, so
// it is started with the null device as its standard handles.
class NullStdHandles {
 public:
  NullStdHandles() {
    m_null = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    for (int i = 0; i < 3; ++i) {
      m_saved[i] = GetStdHandle(kIds[i]);
      SetStdHandle(kIds[i], m_null);
    }
  }
  ~NullStdHandles() {
    for (int i = 0; i < 3; ++i) SetStdHandle(kIds[i], m_saved[i]);
    CloseHandle(m_null);
  }

 private:
  static constexpr DWORD kIds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  HANDLE m_null;
  HANDLE m_saved[3];
};

bool IsWine8() {
  typedef const char*(CDECL * Version)();
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  Version version =
      reinterpret_cast<Version>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  return version && strncmp(version(), "8.", 2) == 0;
}

TEST_F(Objects, WmiMonikerQueryAndEnumeration) {
  EnsureWineWmiMoniker();
  IDispatch* service = nullptr;
  {
    NullStdHandles quiet;
    ASSERT_EQ(GetObject(L"winmgmts:{impersonationLevel=impersonate}!\\\\.\\root\\cimv2", nullptr, &service),
              S_OK)
        << Report().c_str();
  }
  IDispatch* devices = nullptr;
  ASSERT_EQ(GetValue(L"%o", &devices, service, L".ExecQuery(%S)", L"Select * from Win32_PnPEntity"), S_OK)
      << Report().c_str();
  IEnumVARIANT* e = nullptr;
  ASSERT_EQ(EnumBegin(&e, devices, nullptr), S_OK) << Report().c_str();
  int seen = 0, failures = 0;
  IDispatch* device = nullptr;
  HRESULT hr;
  while ((hr = EnumNextObject(e, &device)) == S_OK) {
    ++seen;
    const wchar_t* members[] = {L".Name", L".PnPDeviceID"};
    for (const wchar_t* member : members) {
      LPSTR text = nullptr;
      HRESULT got = GetValue(L"%s", &text, device, member);
      if (SUCCEEDED(got)) {
        EXPECT_NE(text, nullptr);
        SysFreeString(reinterpret_cast<BSTR>(text));
        continue;
      }
      ++failures;
      EXPECT_EQ(text, nullptr);
      // Wine 8's device objects do not know PnPDeviceID.
      const std::wstring name = member + 1;
      EXPECT_EQ(Report(), L"Member:   " + std::wstring(member) +
                              L"\r\nFunction: GetValue\r\nError In: InvokeArray\r\n"
                              L"Error:    Object doesn't support this property or method: '" +
                              name + L"'\r\nCode:     80020006\r\nSource:   IDispatch Interface");
    }
    device->Release();
  }
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_GT(seen, 0);
  if (IsWine8()) {
    EXPECT_EQ(failures, seen);  // every device, one member each
  }
  e->Release();
  devices->Release();
  service->Release();
}

}  // namespace
}  // namespace quillon
