#pragma once
// Owners for what a function holds only while it runs: a critical section it has
// entered, a kernel handle, a COM reference, an ANSI string from the automation
// client. Each frees what it holds when it goes out of scope; none can be copied,
// so every handle and reference has exactly one owner.

#include <windows.h>
#include <oleauto.h>

#include <utility>

// Holds the critical section for the guard's scope.
class CScopedLock {
 public:
  explicit CScopedLock(CRITICAL_SECTION& lock) : m_lock(lock) { EnterCriticalSection(&m_lock); }
  ~CScopedLock() { LeaveCriticalSection(&m_lock); }
  CScopedLock(const CScopedLock&) = delete;
  CScopedLock& operator=(const CScopedLock&) = delete;

 private:
  CRITICAL_SECTION& m_lock;
};

// A move-only owner of one value that `Traits::Free` gives back, unless
// `Traits::IsValid` says the value holds nothing.
template <typename T, typename Traits>
class CScoped {
 public:
  CScoped() = default;
  // Takes over a value the caller already owns.
  explicit CScoped(T value) : m_value(value) {}
  ~CScoped() { Reset(); }
  CScoped(CScoped&& other) noexcept : m_value(other.Detach()) {}
  CScoped& operator=(CScoped&& other) noexcept {
    if (this != &other) Reset(other.Detach());
    return *this;
  }
  CScoped(const CScoped&) = delete;
  CScoped& operator=(const CScoped&) = delete;

  bool IsValid() const { return Traits::IsValid(m_value); }
  T Get() const { return m_value; }
  T Detach() { return std::exchange(m_value, T()); }
  // Frees what was held before handing out the slot, so filling the same owner
  // twice cannot leak the first value.
  T* Put() {
    Reset();
    return &m_value;
  }
  void Reset(T value = T()) {
    if (IsValid()) Traits::Free(m_value);
    m_value = value;
  }

 private:
  T m_value = T();
};

// Both null and INVALID_HANDLE_VALUE mean "no handle": CreateFile fails with the
// one, most other creators with the other.
struct HandleTraits {
  static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Free(HANDLE handle) { CloseHandle(handle); }
};
using CScopedHandle = CScoped<HANDLE, HandleTraits>;

struct RegKeyTraits {
  static bool IsValid(HKEY key) { return key != nullptr; }
  static void Free(HKEY key) { RegCloseKey(key); }
};
using CScopedRegKey = CScoped<HKEY, RegKeyTraits>;

template <typename T>
struct ComTraits {
  static bool IsValid(T* p) { return p != nullptr; }
  static void Free(T* p) { p->Release(); }
};

// One COM reference.
template <typename T>
class CScopedComPtr : public CScoped<T*, ComTraits<T>> {
 public:
  using CScoped<T*, ComTraits<T>>::CScoped;
  T* operator->() const { return this->Get(); }
  explicit operator bool() const { return this->IsValid(); }
  // For the creators that hand out through void** (QueryInterface, CoGetClassObject).
  void** PutVoid() { return reinterpret_cast<void**>(this->Put()); }
};

// An ANSI string that the automation client hands out in a byte-length BSTR.
struct AnsiBstrTraits {
  static bool IsValid(LPSTR text) { return text != nullptr; }
  static void Free(LPSTR text) { SysFreeString(reinterpret_cast<BSTR>(text)); }
};
using CScopedAnsiString = CScoped<LPSTR, AnsiBstrTraits>;
