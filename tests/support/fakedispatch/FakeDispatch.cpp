#include "FakeDispatch.h"

#include <cwchar>
#include <set>

extern "C" __declspec(dllimport) void SetOaNoCache(void);

namespace fakedispatch {

namespace {

HRESULT PutResult(VARIANT* result, const VARIANT& value) {
  if (result) return VariantCopy(result, const_cast<VARIANT*>(&value));
  return S_OK;
}

// The deferred fill-in routine: the fields wait in pvReserved until asked.
HRESULT STDAPICALLTYPE FillInException(EXCEPINFO* info) {
  const Exception* e = static_cast<const Exception*>(info->pvReserved);
  info->wCode = e->wCode;
  info->scode = e->scode;
  info->bstrDescription = e->description ? SysAllocString(e->description) : nullptr;
  info->bstrSource = e->source ? SysAllocString(e->source) : nullptr;
  info->bstrHelpFile = e->helpFile ? SysAllocString(e->helpFile) : nullptr;
  info->dwHelpContext = e->helpContext;
  info->pfnDeferredFillIn = nullptr;
  info->pvReserved = nullptr;
  return S_OK;
}

class FakeEnum final : public quillon_test::ComObject<quillon_test::Lifetime::kDeleteAtZero, IEnumVARIANT> {
 public:
  FakeEnum(const std::vector<VARIANT>& items, size_t next) : m_items(items), m_next(next) {}

  STDMETHODIMP Next(ULONG count, VARIANT* out, ULONG* fetched) override {
    ULONG got = 0;
    for (; got < count && m_next < m_items.size(); ++got, ++m_next) {
      VariantInit(&out[got]);
      VariantCopy(&out[got], const_cast<VARIANT*>(&m_items[m_next]));
    }
    if (fetched) *fetched = got;
    return got == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    m_next += count;
    return m_next <= m_items.size() ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    m_next = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumVARIANT** out) override {
    *out = new FakeEnum(m_items, m_next);
    return S_OK;
  }

 private:
  const std::vector<VARIANT>& m_items;
  size_t m_next;
};

}  // namespace

Handler ReturnsInt(LONG value) {
  return [value](const DISPPARAMS&, VARIANT* result, EXCEPINFO*, UINT*) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return PutResult(result, v);
  };
}

Handler ReturnsBool(bool value) {
  return [value](const DISPPARAMS&, VARIANT* result, EXCEPINFO*, UINT*) {
    VARIANT v;
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
    return PutResult(result, v);
  };
}

Handler ReturnsDouble(double value) {
  return [value](const DISPPARAMS&, VARIANT* result, EXCEPINFO*, UINT*) {
    VARIANT v;
    V_VT(&v) = VT_R8;
    V_R8(&v) = value;
    return PutResult(result, v);
  };
}

Handler ReturnsDate(DATE value) {
  return [value](const DISPPARAMS&, VARIANT* result, EXCEPINFO*, UINT*) {
    VARIANT v;
    V_VT(&v) = VT_DATE;
    V_DATE(&v) = value;
    return PutResult(result, v);
  };
}

Handler ReturnsString(const wchar_t* text) {
  std::wstring copy = text;
  return [copy](const DISPPARAMS&, VARIANT* result, EXCEPINFO*, UINT*) {
    if (!result) return S_OK;
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = SysAllocString(copy.c_str());
    return S_OK;
  };
}

Handler ReturnsObject(IDispatch* object) {
  return [object](const DISPPARAMS&, VARIANT* result, EXCEPINFO*, UINT*) {
    if (!result) return S_OK;
    object->AddRef();
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = object;
    return S_OK;
  };
}

Handler ReturnsNullObject() {
  return [](const DISPPARAMS&, VARIANT* result, EXCEPINFO*, UINT*) {
    if (!result) return S_OK;
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = nullptr;
    return S_OK;
  };
}

Handler ReturnsEmpty() {
  return [](const DISPPARAMS&, VARIANT*, EXCEPINFO*, UINT*) { return S_OK; };
}

Handler Fails(HRESULT hr, UINT argError) {
  return [hr, argError](const DISPPARAMS&, VARIANT*, EXCEPINFO*, UINT* argErr) {
    if (argErr) *argErr = argError;
    return hr;
  };
}

Handler Throws(const Exception& exception) {
  // The handler owns its copy, which the deferred routine reads later.
  auto kept = std::make_shared<Exception>(exception);
  return [kept](const DISPPARAMS&, VARIANT*, EXCEPINFO* info, UINT*) {
    if (!info) return DISP_E_EXCEPTION;
    ZeroMemory(info, sizeof(*info));
    info->pvReserved = kept.get();
    if (kept->deferred) {
      info->pfnDeferredFillIn = FillInException;
    } else {
      FillInException(info);
    }
    return DISP_E_EXCEPTION;
  };
}

void FakeDispatch::Add(const wchar_t* name, DISPID dispid, Handler handler) {
  m_members.push_back({name, dispid, std::move(handler)});
}

STDMETHODIMP FakeDispatch::GetTypeInfoCount(UINT* count) {
  *count = 0;
  return S_OK;
}

STDMETHODIMP FakeDispatch::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  *info = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP FakeDispatch::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) {
    namesAsked.push_back(names[i]);
    ids[i] = DISPID_UNKNOWN;
    bool found = false;
    for (const Member& m : m_members) {
      if (_wcsicmp(m.name.c_str(), names[i]) == 0) {
        ids[i] = m.dispid;
        found = true;
        break;
      }
    }
    if (!found) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

STDMETHODIMP FakeDispatch::Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* exception, UINT* argError) {
  RecordedCall call;
  call.dispid = dispid;
  call.kind = flags;
  call.wantsResult = result != nullptr;
  const Member* member = nullptr;
  for (const Member& m : m_members) {
    if (m.dispid == dispid) member = &m;
  }
  if (member) call.name = member->name;
  for (UINT i = 0; i < params->cArgs; ++i) {
    RecordedArg arg;
    arg.raw = params->rgvarg[i];
    if (V_VT(&arg.raw) == VT_BSTR) {
      arg.nullBstr = V_BSTR(&arg.raw) == nullptr;
      if (!arg.nullBstr) arg.text.assign(V_BSTR(&arg.raw), SysStringLen(V_BSTR(&arg.raw)));
    }
    call.args.push_back(arg);
  }
  for (UINT i = 0; i < params->cNamedArgs; ++i) call.named.push_back(params->rgdispidNamedArgs[i]);
  calls.push_back(call);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  if (!member->handler) return S_OK;
  return member->handler(*params, result, exception, argError);
}

FakeCollection::FakeCollection(std::vector<VARIANT> items) : m_items(std::move(items)) {
  Add(L"_NewEnum", DISPID_NEWENUM, [this](const DISPPARAMS&, VARIANT* result, EXCEPINFO*, UINT*) {
    if (!result) return E_INVALIDARG;
    V_VT(result) = VT_UNKNOWN;
    V_UNKNOWN(result) = new FakeEnum(m_items, 0);
    return S_OK;
  });
}

FakeCollection::~FakeCollection() {
  for (VARIANT& v : m_items) VariantClear(&v);
}

// ---- BSTR ledger ------------------------------------------------------------

namespace {

// Registered once and never freed.
class Spy : public quillon_test::ComObject<quillon_test::Lifetime::kCountOnly, IMallocSpy> {
 public:
  Spy() { InitializeCriticalSection(&m_lock); }

  void Begin() {
    EnterCriticalSection(&m_lock);
    m_thread = GetCurrentThreadId();
    m_live.clear();
    m_allocations = 0;
    LeaveCriticalSection(&m_lock);
  }
  void End() {
    EnterCriticalSection(&m_lock);
    m_thread = 0;
    LeaveCriticalSection(&m_lock);
  }
  long Outstanding() {
    EnterCriticalSection(&m_lock);
    long n = static_cast<long>(m_live.size());
    LeaveCriticalSection(&m_lock);
    return n;
  }
  long Allocations() const { return m_allocations; }

  STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cb) override { return cb; }
  STDMETHODIMP_(void*) PostAlloc(void* p) override {
    Track(p, true);
    return p;
  }
  STDMETHODIMP_(void*) PreFree(void* p, BOOL) override {
    Track(p, false);
    return p;
  }
  STDMETHODIMP_(void) PostFree(BOOL) override {}
  STDMETHODIMP_(SIZE_T) PreRealloc(void* p, SIZE_T cb, void** pNew, BOOL) override {
    Track(p, false);
    *pNew = p;
    return cb;
  }
  STDMETHODIMP_(void*) PostRealloc(void* p, BOOL) override {
    Track(p, true);
    return p;
  }
  STDMETHODIMP_(void*) PreGetSize(void* p, BOOL) override { return p; }
  STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cb, BOOL) override { return cb; }
  STDMETHODIMP_(void*) PreDidAlloc(void* p, BOOL) override { return p; }
  STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  STDMETHODIMP_(void) PreHeapMinimize() override {}
  STDMETHODIMP_(void) PostHeapMinimize() override {}

 private:
  void Track(void* p, bool allocated) {
    if (!p) return;
    EnterCriticalSection(&m_lock);
    if (m_thread == GetCurrentThreadId()) {
      if (allocated) {
        m_live.insert(p);
        ++m_allocations;
      } else {
        m_live.erase(p);
      }
    }
    LeaveCriticalSection(&m_lock);
  }

  CRITICAL_SECTION m_lock;
  DWORD m_thread = 0;
  std::set<void*> m_live;
  long m_allocations = 0;
};

Spy& TheSpy() {
  static Spy* spy = [] {
    SetOaNoCache();
    Spy* s = new Spy;
    CoRegisterMallocSpy(s);
    return s;
  }();
  return *spy;
}

}  // namespace

BstrLedger::BstrLedger() { TheSpy().Begin(); }
BstrLedger::~BstrLedger() { TheSpy().End(); }
long BstrLedger::Outstanding() const { return TheSpy().Outstanding(); }
long BstrLedger::Allocations() const { return TheSpy().Allocations(); }

}  // namespace fakedispatch
