// The test WMI provider: an in-process COM server that stands in for Wine's WMI
// scripting library behind "winmgmts:". Wine resolves the moniker's prefix to
// this class, asks the class object for IParseDisplayName, and binds the moniker
// it returns; the service that the bind yields answers ExecQuery with devices
// taken from the test's configuration (FakeWmiConfig.h), read again at every
// parse, bind and query. Calls are recorded in the log (FakeWmiLog.h).
//
// ThreadingModel Both: objects are created in the caller's apartment and may be
// called from any thread, so reference counts are interlocked and the only
// mutable state (an enumerator's position) is locked.

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/com/ComObject.h"
#include "tests/support/fakewmi/FakeWmiConfig.h"
#include "tests/support/fakewmi/FakeWmiLog.h"
#include "tests/support/fakewmi/FakeWmiRegistry.h"

namespace quillon {
namespace fakewmi {
namespace {

HMODULE g_module;
LONG g_objects;  // live objects that the DLL handed out
LONG g_locks;    // IClassFactory::LockServer

using DeviceList = std::shared_ptr<const std::vector<FakeDevice>>;
using quillon_test::ComObject;
using quillon_test::Lifetime;

// A member of every object the DLL hands out, so DllCanUnloadNow sees them all.
struct LiveObject {
  LiveObject() { InterlockedIncrement(&g_objects); }
  ~LiveObject() { InterlockedDecrement(&g_objects); }
  LiveObject(const LiveObject&) = delete;
  LiveObject& operator=(const LiveObject&) = delete;
};

std::string HrText(HRESULT hr) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

std::string GuidText(REFGUID g) {
  wchar_t buf[40];
  StringFromGUID2(g, buf, 40);
  return WideToUtf8(buf);
}

// The configuration and log path as they are now. On failure the reason is
// logged and the caller fails its call with E_UNEXPECTED.
HRESULT LoadConfig(FakeWmiConfig* config, std::wstring* logPath) {
  *config = FakeWmiConfig();
  ProviderPaths paths;
  if (!ReadProviderPaths(&paths)) return S_OK;  // registered without a test: no devices
  *logPath = paths.log;
  if (paths.config.empty()) return S_OK;

  std::string why;
  HANDLE file =
      CreateFileW(paths.config.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    why = "cannot open " + WideToUtf8(paths.config);
  } else {
    std::string text;
    char buf[65536];
    DWORD got;
    while (ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got);
    CloseHandle(file);
    if (FakeWmiConfig::FromText(text, config, &why)) return S_OK;
  }
  AppendLog(*logPath, "config-error", "why=" + why);
  return E_UNEXPECTED;
}

// The result of a failing member call. DISP_E_EXCEPTION comes with the
// EXCEPINFO that a scripting client expects from WMI.
HRESULT FailInvoke(HRESULT hr, EXCEPINFO* excep) {
  if (hr == DISP_E_EXCEPTION && excep) {
    ZeroMemory(excep, sizeof *excep);
    excep->scode = kWbemFailed;
    excep->bstrSource = SysAllocString(L"SWbemServicesEx");
    excep->bstrDescription = SysAllocString(L"Generic failure ");
  }
  return hr;
}

// IDispatch without type information: members are looked up by name
// (case-insensitively, as automation names are) and dispatched by DISPID.
class CDispatchBase : public ComObject<Lifetime::kDeleteAtZero, IDispatch> {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      // Names after the first would be named arguments; none are known.
      ids[i] = (i == 0 && names[0]) ? Lookup(names[0]) : DISPID_UNKNOWN;
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!params) return E_INVALIDARG;
    if (params->cNamedArgs) return DISP_E_NONAMEDARGS;
    if (result) VariantInit(result);
    return InvokeMember(id, flags, *params, result, excep, argErr);
  }

 protected:
  virtual DISPID Lookup(const wchar_t* name) = 0;
  virtual HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result,
                               EXCEPINFO* excep, UINT* argErr) = 0;

  static bool Is(const wchar_t* name, const wchar_t* member) { return _wcsicmp(name, member) == 0; }
  // A property read: a get, no arguments.
  static HRESULT CheckGet(WORD flags, const DISPPARAMS& params) {
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    return params.cArgs ? DISP_E_BADPARAMCOUNT : S_OK;
  }

 private:
  LiveObject m_live;
};

class CDevice : public CDispatchBase {
 public:
  CDevice(const FakeDevice& device, DWORD readDelayMs) : m_device(device), m_readDelayMs(readDelayMs) {}

 protected:
  enum { kName = 1, kPnpDeviceId = 2 };
  DISPID Lookup(const wchar_t* name) override {
    if (Is(name, L"Name")) return kName;
    if (Is(name, L"PnPDeviceID")) return kPnpDeviceId;
    return DISPID_UNKNOWN;
  }
  HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result, EXCEPINFO* excep,
                       UINT*) override {
    if (id != kName && id != kPnpDeviceId) return DISP_E_MEMBERNOTFOUND;
    HRESULT hr = CheckGet(flags, params);
    if (FAILED(hr)) return hr;
    if (m_readDelayMs) Sleep(m_readDelayMs);
    const FakeValue& v = id == kName ? m_device.name : m_device.pnpDeviceId;
    if (v.kind == FakeValue::kFail) return FailInvoke(v.failure, excep);
    if (!result) return S_OK;
    if (v.kind == FakeValue::kNull) {
      V_VT(result) = VT_NULL;
      return S_OK;
    }
    BSTR text = SysAllocStringLen(v.text.data(), static_cast<UINT>(v.text.size()));
    if (!text) return E_OUTOFMEMORY;
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = text;
    return S_OK;
  }

 private:
  const FakeDevice m_device;
  const DWORD m_readDelayMs;
};

class CEnumDevices : public ComObject<Lifetime::kDeleteAtZero, IEnumVARIANT> {
 public:
  CEnumDevices(DeviceList devices, DWORD readDelayMs, std::wstring logPath, ULONG position)
      : m_devices(std::move(devices)),
        m_readDelayMs(readDelayMs),
        m_logPath(std::move(logPath)),
        m_position(position) {
    InitializeCriticalSection(&m_lock);
    AppendLog(m_logPath, "enum-begin", "");
  }
  ~CEnumDevices() override {
    AppendLog(m_logPath, "enum-end", "fetched=" + std::to_string(m_fetched));
    DeleteCriticalSection(&m_lock);
  }

  STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override {
    if (!items) return E_POINTER;
    if (count > 1 && !fetched) return E_INVALIDARG;
    ULONG got = 0;
    EnterCriticalSection(&m_lock);
    while (got < count && m_position < m_devices->size()) {
      VariantInit(&items[got]);
      V_VT(&items[got]) = VT_DISPATCH;
      V_DISPATCH(&items[got]) = new CDevice((*m_devices)[m_position], m_readDelayMs);
      ++m_position;
      ++got;
    }
    m_fetched += got;
    LeaveCriticalSection(&m_lock);
    if (fetched) *fetched = got;
    return got == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    EnterCriticalSection(&m_lock);
    ULONG left = static_cast<ULONG>(m_devices->size()) - m_position;
    ULONG n = std::min(count, left);
    m_position += n;
    LeaveCriticalSection(&m_lock);
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    EnterCriticalSection(&m_lock);
    m_position = 0;
    LeaveCriticalSection(&m_lock);
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    EnterCriticalSection(&m_lock);
    ULONG position = m_position;
    LeaveCriticalSection(&m_lock);
    *out = new CEnumDevices(m_devices, m_readDelayMs, m_logPath, position);
    return S_OK;
  }

 private:
  LiveObject m_live;
  const DeviceList m_devices;
  const DWORD m_readDelayMs;
  const std::wstring m_logPath;
  CRITICAL_SECTION m_lock;
  ULONG m_position;
  ULONG m_fetched = 0;
};

// The query's result: what ExecQuery found when it ran, however the
// configuration changes afterwards.
class CDeviceSet : public CDispatchBase {
 public:
  CDeviceSet(DeviceList devices, DWORD readDelayMs, std::wstring logPath)
      : m_devices(std::move(devices)), m_readDelayMs(readDelayMs), m_logPath(std::move(logPath)) {}

 protected:
  enum { kCount = 1 };
  DISPID Lookup(const wchar_t* name) override {
    if (Is(name, L"_NewEnum")) return DISPID_NEWENUM;
    if (Is(name, L"Count")) return kCount;
    return DISPID_UNKNOWN;
  }
  HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result, EXCEPINFO*,
                       UINT*) override {
    if (id == kCount) {
      HRESULT hr = CheckGet(flags, params);
      if (SUCCEEDED(hr) && result) {
        V_VT(result) = VT_I4;
        V_I4(result) = static_cast<LONG>(m_devices->size());
      }
      return hr;
    }
    if (id != DISPID_NEWENUM) return DISP_E_MEMBERNOTFOUND;
    if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    if (params.cArgs) return DISP_E_BADPARAMCOUNT;
    if (!result) return E_POINTER;
    V_VT(result) = VT_UNKNOWN;
    V_UNKNOWN(result) = new CEnumDevices(m_devices, m_readDelayMs, m_logPath, 0);
    return S_OK;
  }

 private:
  const DeviceList m_devices;
  const DWORD m_readDelayMs;
  const std::wstring m_logPath;
};

class CService : public CDispatchBase {
 public:
  // Logs its birth and end, so a test can see every service a program got released.
  explicit CService(std::wstring logPath) : m_logPath(std::move(logPath)) { AppendLog(m_logPath, "service-begin", ""); }
  ~CService() override { AppendLog(m_logPath, "service-end", ""); }

 protected:
  enum { kExecQuery = 1 };
  DISPID Lookup(const wchar_t* name) override { return Is(name, L"ExecQuery") ? kExecQuery : DISPID_UNKNOWN; }
  HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result, EXCEPINFO* excep,
                       UINT* argErr) override {
    if (id != kExecQuery || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    // ExecQuery(strQuery [, strQueryLanguage [, iFlags]]): arguments come last first.
    if (params.cArgs < 1 || params.cArgs > 3) return DISP_E_BADPARAMCOUNT;
    VARIANT query;
    VariantInit(&query);
    if (FAILED(VariantChangeType(&query, &params.rgvarg[params.cArgs - 1], 0, VT_BSTR))) {
      if (argErr) *argErr = params.cArgs - 1;
      return DISP_E_TYPEMISMATCH;
    }
    const std::wstring queryText = V_BSTR(&query) ? V_BSTR(&query) : L"";
    VariantClear(&query);

    FakeWmiConfig config;
    std::wstring logPath;
    HRESULT hr = LoadConfig(&config, &logPath);
    AppendLog(logPath, "query-begin", "query=" + WideToUtf8(queryText));
    const size_t count = config.devices.size();
    if (SUCCEEDED(hr)) hr = Run(config, logPath, result, excep);
    AppendLog(logPath, "query-end",
              "hr=" + HrText(hr) + " devices=" + std::to_string(SUCCEEDED(hr) ? count : 0));
    return hr;
  }

 private:
  static HRESULT Run(FakeWmiConfig& config, const std::wstring& logPath, VARIANT* result, EXCEPINFO* excep) {
    if (!config.queryHoldEvent.empty()) {
      // Manual-reset, so one signal releases every query that waits on it.
      HANDLE hold = CreateEventW(nullptr, TRUE, FALSE, config.queryHoldEvent.c_str());
      if (hold) {
        WaitForSingleObject(hold, 5 * 60 * 1000);
        CloseHandle(hold);
      }
    }
    if (config.queryDelayMs) Sleep(config.queryDelayMs);
    if (FAILED(config.queryFailure)) return FailInvoke(config.queryFailure, excep);
    if (result) {
      auto devices = std::make_shared<const std::vector<FakeDevice>>(std::move(config.devices));
      V_VT(result) = VT_DISPATCH;
      V_DISPATCH(result) = new CDeviceSet(devices, config.readDelayMs, logPath);
    }
    return S_OK;
  }

  std::wstring m_logPath;
};

// The parsed "winmgmts:..." name. Binding it is where the service connects.
class CServiceMoniker : public ComObject<Lifetime::kDeleteAtZero, IMoniker> {
 public:
  explicit CServiceMoniker(std::wstring displayName) : m_displayName(std::move(displayName)) {}

  STDMETHODIMP GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = kProviderClsid;
    return S_OK;
  }
  STDMETHODIMP IsDirty() override { return S_FALSE; }
  STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
  STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

  STDMETHODIMP BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    FakeWmiConfig config;
    std::wstring logPath;
    HRESULT hr = LoadConfig(&config, &logPath);
    if (SUCCEEDED(hr) && FAILED(config.bindFailure)) hr = config.bindFailure;
    if (SUCCEEDED(hr)) {
      CService* service = new CService(logPath);
      hr = service->QueryInterface(riid, ppv);
      service->Release();
    }
    AppendLog(logPath, "bind", "hr=" + HrText(hr) + " iid=" + GuidText(riid));
    return hr;
  }
  STDMETHODIMP BindToStorage(IBindCtx*, IMoniker*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP Reduce(IBindCtx*, DWORD, IMoniker** left, IMoniker** reduced) override {
    if (left) *left = nullptr;
    if (!reduced) return E_POINTER;
    *reduced = this;
    AddRef();
    return MK_S_REDUCED_TO_SELF;
  }
  STDMETHODIMP ComposeWith(IMoniker*, BOOL, IMoniker** composite) override {
    if (composite) *composite = nullptr;
    return MK_E_NEEDGENERIC;
  }
  STDMETHODIMP Enum(BOOL, IEnumMoniker** e) override {
    if (!e) return E_POINTER;
    *e = nullptr;
    return S_OK;
  }
  STDMETHODIMP IsEqual(IMoniker* other) override { return other == this ? S_OK : S_FALSE; }
  STDMETHODIMP Hash(DWORD* hash) override {
    if (!hash) return E_POINTER;
    DWORD h = 0;
    for (wchar_t c : m_displayName) h = h * 31 + c;
    *hash = h;
    return S_OK;
  }
  STDMETHODIMP IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return S_FALSE; }
  STDMETHODIMP GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return MK_E_UNAVAILABLE; }
  STDMETHODIMP Inverse(IMoniker** inverse) override {
    if (inverse) *inverse = nullptr;
    return MK_E_NOINVERSE;
  }
  STDMETHODIMP CommonPrefixWith(IMoniker*, IMoniker** prefix) override {
    if (prefix) *prefix = nullptr;
    return MK_E_NOPREFIX;
  }
  STDMETHODIMP RelativePathTo(IMoniker*, IMoniker** path) override {
    if (path) *path = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* name) override {
    if (!name) return E_POINTER;
    size_t bytes = (m_displayName.size() + 1) * sizeof(wchar_t);
    *name = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (!*name) return E_OUTOFMEMORY;
    memcpy(*name, m_displayName.c_str(), bytes);
    return S_OK;
  }
  STDMETHODIMP ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG* eaten, IMoniker** out) override {
    if (eaten) *eaten = 0;
    if (out) *out = nullptr;
    return MK_E_SYNTAX;
  }
  STDMETHODIMP IsSystemMoniker(DWORD* kind) override {
    if (!kind) return E_POINTER;
    *kind = MKSYS_NONE;
    return S_FALSE;
  }

 private:
  LiveObject m_live;
  const std::wstring m_displayName;
};

// The class object. It parses "winmgmts:" names itself (what Wine asks for
// first) and, through the factory, hands itself out as the parser. A static
// object: references to it only keep the DLL loaded.
class CProviderClass : public ComObject<Lifetime::kCountOnly, IClassFactory, IParseDisplayName> {
 public:
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (riid != IID_IUnknown && riid != IID_IParseDisplayName) return E_NOINTERFACE;
    return QueryInterface(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      InterlockedIncrement(&g_locks);
    else
      InterlockedDecrement(&g_locks);
    return S_OK;
  }

  STDMETHODIMP ParseDisplayName(IBindCtx*, LPOLESTR name, ULONG* eaten, IMoniker** out) override {
    if (!name || !eaten || !out) return E_POINTER;
    *eaten = 0;
    *out = nullptr;
    FakeWmiConfig config;
    std::wstring logPath;
    HRESULT hr = LoadConfig(&config, &logPath);
    if (SUCCEEDED(hr) && FAILED(config.parseFailure)) hr = config.parseFailure;
    if (SUCCEEDED(hr) && _wcsnicmp(name, L"winmgmts:", 9) != 0) hr = MK_E_SYNTAX;
    if (SUCCEEDED(hr)) {
      // The whole rest of the name is the service path: nothing is left for
      // another moniker to parse.
      *out = new CServiceMoniker(name);
      *eaten = static_cast<ULONG>(wcslen(name));
    }
    AppendLog(logPath, "parse", "hr=" + HrText(hr) + " name=" + WideToUtf8(name));
    return hr;
  }
};

CProviderClass g_providerClass;

}  // namespace
}  // namespace fakewmi
}  // namespace quillon

using namespace quillon::fakewmi;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (clsid != kProviderClsid) return CLASS_E_CLASSNOTAVAILABLE;
  ProviderPaths paths;
  ReadProviderPaths(&paths);
  HRESULT hr = g_providerClass.QueryInterface(riid, ppv);
  AppendLog(paths.log, "classobject", "hr=" + HrText(hr) + " iid=" + GuidText(riid));
  return hr;
}

// The class object holds one reference of its own.
STDAPI DllCanUnloadNow() {
  return (g_objects == 0 && g_locks == 0 && g_providerClass.RefCount() == 1) ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return E_UNEXPECTED;
  return RegisterProvider(path, nullptr, nullptr);
}

STDAPI DllUnregisterServer() { return UnregisterProvider(); }
