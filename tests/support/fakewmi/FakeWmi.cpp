#include "tests/support/fakewmi/FakeWmi.h"

#include <oleauto.h>

namespace quillon {
namespace fakewmi {

namespace {

template <class T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (m_p) m_p->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* get() const { return m_p; }
  T** put() {
    if (m_p) m_p->Release();
    m_p = nullptr;
    return &m_p;
  }

 private:
  T* m_p = nullptr;
};

WmiValue ReadProperty(IDispatch* device, const wchar_t* name) {
  WmiValue v;
  VARIANT result;
  VariantInit(&result);
  v.hr = InvokeByName(device, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, nullptr, 0, &result);
  v.vt = V_VT(&result);
  if (v.vt == VT_BSTR && V_BSTR(&result)) v.text.assign(V_BSTR(&result), SysStringLen(V_BSTR(&result)));
  VariantClear(&result);
  return v;
}

}  // namespace

std::wstring ToWindowsPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  std::wstring w = L"Z:" + path;
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  return w;
}

std::wstring ProviderDllPath() {
  // The build places the DLL here; the define is its path on the build machine.
  return ToWindowsPath(Utf8ToWide(QUILLON_FAKEWMI_DLL));
}

bool WriteConfig(const std::wstring& path, const FakeWmiConfig& config) {
  const std::string text = config.ToText();
  // Written to a side file and moved into place, so a provider that reads it
  // at the same moment sees the old or the new text, never half of one.
  const std::wstring temp = path + L".new";
  HANDLE file =
      CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != text.size()) return false;
  return MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

HRESULT Install(const std::wstring& configPath, const std::wstring& logPath, const std::wstring& dllPath) {
  if (GetFileAttributesW(dllPath.c_str()) == INVALID_FILE_ATTRIBUTES)
    return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  HANDLE file =
      CreateFileW(configPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
  std::string text;
  char buf[65536];
  DWORD got;
  while (ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got);
  CloseHandle(file);
  FakeWmiConfig config;
  if (!FakeWmiConfig::FromText(text, &config, nullptr)) return E_INVALIDARG;
  return RegisterProvider(dllPath, &configPath, &logPath);
}

HRESULT Uninstall() { return UnregisterProvider(); }

ScopedFakeWmi::ScopedFakeWmi(const FakeWmiConfig& config) : m_log(L"") {
  static LONG s_serial;
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  wchar_t base[MAX_PATH + 64];
  swprintf(base, MAX_PATH + 64, L"%lsquillon-fakewmi-%lu-%ld", dir, GetCurrentProcessId(),
           InterlockedIncrement(&s_serial));
  m_configPath = std::wstring(base) + L".txt";
  m_log = FakeWmiLog(std::wstring(base) + L".log");
  DeleteFileW(m_log.Path().c_str());
  m_result = WriteConfig(m_configPath, config) ? Install(m_configPath, m_log.Path()) : E_FAIL;
}

ScopedFakeWmi::~ScopedFakeWmi() {
  Uninstall();
  DeleteFileW(m_configPath.c_str());
  DeleteFileW(m_log.Path().c_str());
}

HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT argCount,
                     VARIANT* result) {
  if (!object) return E_POINTER;
  DISPID id;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS params = {args, nullptr, argCount, 0};
  EXCEPINFO excep = {};
  UINT argErr = 0;
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &excep, &argErr);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  return hr;
}

WmiListing ListWmiDevices(const wchar_t* moniker, const wchar_t* query, size_t maxDevices) {
  WmiListing out;
  ComRef<IDispatch> service;
  out.bind = CoGetObject(moniker, nullptr, IID_IDispatch, reinterpret_cast<void**>(service.put()));
  if (FAILED(out.bind)) return out;

  VARIANT arg, result;
  VariantInit(&result);
  V_VT(&arg) = VT_BSTR;
  V_BSTR(&arg) = SysAllocString(query);
  out.query =
      InvokeByName(service.get(), L"ExecQuery", DISPATCH_METHOD | DISPATCH_PROPERTYGET, &arg, 1, &result);
  VariantClear(&arg);
  if (SUCCEEDED(out.query) && V_VT(&result) != VT_DISPATCH) out.query = DISP_E_TYPEMISMATCH;
  if (FAILED(out.query)) {
    VariantClear(&result);
    return out;
  }
  ComRef<IDispatch> collection;
  *collection.put() = V_DISPATCH(&result);  // the reference passes over

  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VariantInit(&result);
  out.enumerate =
      collection.get()->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT,
                               DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  ComRef<IEnumVARIANT> items;
  if (SUCCEEDED(out.enumerate)) {
    out.enumerate =
        (V_VT(&result) == VT_UNKNOWN || V_VT(&result) == VT_DISPATCH) && V_UNKNOWN(&result)
            ? V_UNKNOWN(&result)->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(items.put()))
            : E_NOINTERFACE;
  }
  VariantClear(&result);
  if (FAILED(out.enumerate)) return out;

  while (out.devices.size() < maxDevices) {
    VARIANT item;
    VariantInit(&item);
    out.last = items.get()->Next(1, &item, nullptr);
    if (out.last != S_OK) break;
    WmiDevice d;
    if (V_VT(&item) == VT_DISPATCH) {
      d.name = ReadProperty(V_DISPATCH(&item), L"Name");
      d.pnpDeviceId = ReadProperty(V_DISPATCH(&item), L"PnPDeviceID");
    } else {
      d.name.hr = d.pnpDeviceId.hr = DISP_E_TYPEMISMATCH;
    }
    VariantClear(&item);
    out.devices.push_back(std::move(d));
  }
  return out;
}

}  // namespace fakewmi
}  // namespace quillon
