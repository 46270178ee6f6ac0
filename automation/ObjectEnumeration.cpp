// Object creation and binding (by ProgID, CLSID string, moniker display name
// or running object) and walking collections through _NewEnum/IEnumVARIANT.
// Every temporary interface is released before the operation returns.

#include "automation/AutomationInternal.h"

namespace quillon {

namespace {

const DWORD kLocalContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

HRESULT ResolveClsid(LPCWSTR text, CLSID* clsid) {
  if (text[0] == L'{') return CLSIDFromString(const_cast<LPOLESTR>(text), clsid);
  return CLSIDFromProgID(text, clsid);
}

}  // namespace

HRESULT CreateObjectEx(LPCWSTR progId, const IID* iid, DWORD context, COSERVERINFO* server, void** out) {
  EnterOperation();
  if (!progId || !iid || !out) return LeaveOperation(E_INVALIDARG, progId, L"CreateObjectEx");
  CLSID clsid;
  HRESULT hr = ResolveClsid(progId, &clsid);
  CScopedComPtr<IClassFactory> factory;
  if (SUCCEEDED(hr)) hr = CoGetClassObject(clsid, context, server, IID_IClassFactory, factory.PutVoid());
  if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, *iid, out);
  factory.Reset();  // before the report, which may wait on a message box
  return LeaveOperation(hr, progId, L"CreateObjectEx");
}

HRESULT CreateObject(LPCWSTR progId, LPCWSTR machine, IDispatch** out) {
  EnterOperation();
  COSERVERINFO server = {};
  server.pwszName = const_cast<LPWSTR>(machine);
  HRESULT hr =
      machine ? CreateObjectEx(progId, &IID_IDispatch, CLSCTX_REMOTE_SERVER, &server,
                               reinterpret_cast<void**>(out))
              : CreateObjectEx(progId, &IID_IDispatch, kLocalContext, nullptr, reinterpret_cast<void**>(out));
  return LeaveOperation(hr, progId, L"CreateObject");
}

HRESULT GetObjectEx(LPCWSTR path, LPCWSTR progId, const IID* iid, DWORD context, void* reserved, void** out) {
  EnterOperation();
  if ((!path && !progId) || !iid || !out || reserved) {
    return LeaveOperation(E_INVALIDARG, progId, L"GetObjectEx");
  }
  HRESULT hr;
  if (!progId) {
    hr = CoGetObject(path, nullptr, *iid, out);
  } else if (path) {
    CScopedComPtr<IPersistFile> file;
    hr = CreateObjectEx(progId, &IID_IPersistFile, context, nullptr, file.PutVoid());
    if (SUCCEEDED(hr)) hr = file->Load(path, 0);
    if (SUCCEEDED(hr)) hr = file->QueryInterface(*iid, out);
  } else {
    CLSID clsid;
    CScopedComPtr<IUnknown> running;
    hr = ResolveClsid(progId, &clsid);
    if (SUCCEEDED(hr)) hr = GetActiveObject(clsid, nullptr, running.Put());
    if (SUCCEEDED(hr)) hr = running->QueryInterface(*iid, out);
  }
  return LeaveOperation(hr, progId, L"GetObjectEx");
}

HRESULT GetObject(LPCWSTR path, LPCWSTR progId, IDispatch** out) {
  EnterOperation();
  HRESULT hr =
      GetObjectEx(path, progId, &IID_IDispatch, kLocalContext, nullptr, reinterpret_cast<void**>(out));
  return LeaveOperation(hr, progId, L"GetObject");
}

HRESULT EnumBeginV(IEnumVARIANT** out, IDispatch* object, LPCWSTR member, va_list* args) {
  EnterOperation();
  EXCEPINFO exception = {};
  DISPPARAMS noArgs = {};
  if (!out || !object) return LeaveOperation(E_INVALIDARG, member, L"EnumBeginV");
  IDispatch* collection = object;
  if (member) {
    HRESULT hr = GetValueV(L"%o", &collection, object, member, args);
    if (FAILED(hr)) return LeaveOperation(hr, member, L"EnumBeginV");
  }
  VARIANT result;
  VariantInit(&result);
  HRESULT hr =
      collection->Invoke(DISPID_NEWENUM, IID_NULL, detail::kLocale, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                         &noArgs, &result, &exception, nullptr);
  if (member) collection->Release();
  if (FAILED(hr)) return LeaveOperation(hr, TRUE, L"_NewEnum", member, &exception, 0, L"EnumBeginV");
  if ((V_VT(&result) == VT_DISPATCH || V_VT(&result) == VT_UNKNOWN) && V_UNKNOWN(&result)) {
    hr = V_UNKNOWN(&result)->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(out));
  } else {
    hr = E_NOINTERFACE;
  }
  VariantClear(&result);
  return LeaveOperation(hr, member, L"EnumBeginV");
}

HRESULT EnumBegin(IEnumVARIANT** out, IDispatch* object, LPCWSTR member, ...) {
  EnterOperation();
  va_list args;
  va_start(args, member);
  HRESULT hr = EnumBeginV(out, object, member, &args);
  va_end(args);
  return LeaveOperation(hr, member, L"EnumBegin");
}

HRESULT EnumNextObject(IEnumVARIANT* enumerator, IDispatch** out) {
  EnterOperation();
  if (!enumerator || !out) return LeaveOperation(E_INVALIDARG, L"Enumerator", L"EnumNextObject");
  VARIANT item;
  VariantInit(&item);
  HRESULT hr = enumerator->Next(1, &item, nullptr);
  if (hr == S_OK) {
    if (V_VT(&item) != VT_DISPATCH) {
      HRESULT coerced = VariantChangeType(&item, &item, 0, VT_DISPATCH);
      if (FAILED(coerced)) {
        VariantClear(&item);
        hr = coerced;
      }
    }
    if (hr == S_OK) *out = V_DISPATCH(&item);  // the reference passes to the caller
  }
  return LeaveOperation(hr, L"Enumerator", L"EnumNextObject");
}

HRESULT EnumNextVariant(IEnumVARIANT* enumerator, VARIANT* out) {
  EnterOperation();
  HRESULT hr = enumerator && out ? enumerator->Next(1, out, nullptr) : E_INVALIDARG;
  return LeaveOperation(hr, L"Enumerator", L"EnumNextVariant");
}

}  // namespace quillon
