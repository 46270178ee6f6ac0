#pragma once
// A test automation object: an IDispatch whose members come from a table and
// that records every call (names asked, DISPIDs, kinds, arguments in rgvarg
// order, named arguments). Members answer with values, failures or
// exceptions. Also a BSTR ledger that counts the OLE allocations made on the
// testing thread, so tests can check that every string made is freed.
//
// The object lives on the test's stack; its reference count is only counted,
// never acted on, so a test can check that a call left it unchanged.

#include <windows.h>
#include <ole2.h>
#include <oaidl.h>

#include "tests/support/com/ComObject.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fakedispatch {

struct RecordedArg {
  VARIANT raw;        // bitwise copy, for identity checks (same BSTR, same object)
  std::wstring text;  // contents of a VT_BSTR at call time
  bool nullBstr = false;
};

struct RecordedCall {
  std::wstring name;
  DISPID dispid = 0;
  WORD kind = 0;
  std::vector<RecordedArg> args;  // rgvarg order: element 0 is the last argument
  std::vector<DISPID> named;
  bool wantsResult = false;
};

using Handler =
    std::function<HRESULT(const DISPPARAMS& params, VARIANT* result, EXCEPINFO* exception, UINT* argError)>;

// What a member throws: Invoke fills EXCEPINFO and returns DISP_E_EXCEPTION.
struct Exception {
  WORD wCode = 0;
  SCODE scode = 0;
  const wchar_t* description = nullptr;
  const wchar_t* source = nullptr;
  const wchar_t* helpFile = nullptr;
  DWORD helpContext = 0;
  bool deferred = false;  // leave the fields to a pfnDeferredFillIn routine
};

Handler ReturnsInt(LONG value);
Handler ReturnsBool(bool value);
Handler ReturnsDouble(double value);
Handler ReturnsDate(DATE value);
Handler ReturnsString(const wchar_t* text);  // a fresh BSTR on every call
Handler ReturnsObject(IDispatch* object);    // adds a reference for the caller
Handler ReturnsNullObject();
Handler ReturnsEmpty();
Handler Fails(HRESULT hr, UINT argError = 0);
Handler Throws(const Exception& exception);

class FakeDispatch : public quillon_test::ComObject<quillon_test::Lifetime::kCountOnly, IDispatch> {
 public:
  FakeDispatch() = default;
  ~FakeDispatch() override = default;

  // Member names match case-insensitively, as automation names do.
  void Add(const wchar_t* name, DISPID dispid, Handler handler = nullptr);

  std::vector<std::wstring> namesAsked;  // every GetIDsOfNames, in order
  std::vector<RecordedCall> calls;       // every Invoke, in order

  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* argError) override;

 private:
  struct Member {
    std::wstring name;
    DISPID dispid;
    Handler handler;
  };
  std::vector<Member> m_members;
};

// A collection for enumeration tests: _NewEnum (DISPID_NEWENUM) hands out an
// IEnumVARIANT over copies of the given items.
class FakeCollection : public FakeDispatch {
 public:
  explicit FakeCollection(std::vector<VARIANT> items);
  ~FakeCollection() override;

 private:
  std::vector<VARIANT> m_items;
};

// Counts the OLE task-memory allocations (which hold BSTRs) made on the
// calling thread between Begin and the checks. The string cache is switched
// off so that every BSTR is a real allocation.
class BstrLedger {
 public:
  BstrLedger();   // begins counting on this thread
  ~BstrLedger();  // stops counting
  // Blocks allocated since the start and not yet freed.
  long Outstanding() const;
  long Allocations() const;
};

}  // namespace fakedispatch
