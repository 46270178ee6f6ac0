#pragma once
// IUnknown for the tests' own COM objects, written once. A fake derives from
// ComObject<lifetime, Interfaces...> and writes only its interfaces' methods:
//
//   class CEnum : public ComObject<Lifetime::kDeleteAtZero, IEnumVARIANT> { ... };
//
// QueryInterface answers IUnknown (through the first interface, so identity
// holds) and each listed interface with the interfaces it derives from.
// References are interlocked: providers are called from any thread.

#include <windows.h>
#include <objidl.h>

namespace quillon_test {

enum class Lifetime {
  kDeleteAtZero,  // made with new; the last Release deletes it
  kCountOnly,     // on the stack or never freed: references are only counted
};

// The IIDs that a pointer to I answers for: I's own, and its bases' where a
// client asks for them.
template <class I>
struct InterfaceIds {
  static bool Has(REFIID riid) { return riid == __uuidof(I); }
};
template <>
struct InterfaceIds<IMoniker> {
  static bool Has(REFIID riid) {
    return riid == __uuidof(IMoniker) || riid == __uuidof(IPersistStream) || riid == __uuidof(IPersist);
  }
};

template <Lifetime kLifetime, class First, class... More>
class ComObject : public First, public More... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = riid == IID_IUnknown ? static_cast<First*>(this) : Find<First, More...>(riid);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG refs = InterlockedDecrement(&m_refs);
    if constexpr (kLifetime == Lifetime::kDeleteAtZero) {
      if (refs == 0) delete this;
    }
    return refs;
  }

  ULONG RefCount() const { return m_refs; }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;

 private:
  template <class I, class... Rest>
  void* Find(REFIID riid) {
    if (InterfaceIds<I>::Has(riid)) return static_cast<I*>(this);
    if constexpr (sizeof...(Rest) > 0) {
      return Find<Rest...>(riid);
    } else {
      return nullptr;
    }
  }

  LONG m_refs = 1;
};

}  // namespace quillon_test
