// Member-string invocation: splits a member string into a path of segments,
// turns each "%" specifier into one VARIANT argument, and calls
// GetIDsOfNames/Invoke segment by segment.
//
// The engine uses no heap beyond BSTRs: the working copy of the member string
// and each segment's argument slots are fixed arrays on the stack. The caller's
// objects and strings are never retained or released.

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "automation/AutomationInternal.h"

namespace quillon {

namespace {

const size_t kMemberCapacity = 512;
const int kSlotCount = 25;
using detail::kLocale;

// "v" copies the whole VARIANT: 16 bytes on 32-bit Windows, 24 on 64-bit, where
// its record form (two pointers) makes the value part 16 bytes long.
#ifdef _WIN64
static_assert(sizeof(VARIANT) == 24, "the \"v\" specifier copies 24 bytes");
#else
static_assert(sizeof(VARIANT) == 16, "the \"v\" specifier copies 16 bytes");
#endif

// The type each result specifier coerces the result to; 0 takes it as it comes.
struct ResultType {
  WCHAR letter;
  VARTYPE type;
};
const ResultType kResultTypes[] = {
    {L'd', VT_I4},      {L'p', VT_I4},   {L'u', VT_UI4},  {L'e', VT_R8},   {L'b', VT_BOOL},
    {L'v', 0},          {L'B', VT_BSTR}, {L'S', VT_BSTR}, {L's', VT_BSTR}, {L'o', VT_DISPATCH},
    {L'O', VT_UNKNOWN}, {L'D', VT_DATE}, {L'W', VT_DATE}, {L'f', VT_DATE}, {L't', VT_DATE},
};

// Builds one argument from the list by its specifier. Consumes nothing for an
// unknown specifier.
HRESULT BuildArgument(WCHAR spec, VARIANT* slot, BOOL* release, va_list* args) {
  *release = FALSE;
  if (spec == L'T') spec = detail::WideStringMode() ? L'S' : L's';
  switch (spec) {
    case L'd':
      V_VT(slot) = VT_I4;
      V_I4(slot) = va_arg(*args, LONG);
      return S_OK;
    case L'p':
      V_VT(slot) = VT_I4;
      V_I4(slot) = static_cast<LONG>(va_arg(*args, INT_PTR));
      return S_OK;
    case L'u':
      V_VT(slot) = VT_UI4;
      V_UI4(slot) = va_arg(*args, ULONG);
      return S_OK;
    case L'e':
      V_VT(slot) = VT_R8;
      V_R8(slot) = va_arg(*args, double);
      return S_OK;
    case L'b':
      V_VT(slot) = VT_BOOL;
      V_BOOL(slot) = va_arg(*args, LONG) ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case L'v': {
      const VARIANT* value = va_arg(*args, const VARIANT*);
      if (!value) return E_INVALIDARG;
      // A bitwise copy: no reference added, no string duplicated.
      std::memcpy(slot, value, sizeof(VARIANT));
      return S_OK;
    }
    case L'B':
      V_VT(slot) = VT_BSTR;
      V_BSTR(slot) = va_arg(*args, BSTR);
      return S_OK;
    case L'S': {
      LPCWSTR text = va_arg(*args, LPCWSTR);
      *release = TRUE;
      V_VT(slot) = VT_BSTR;
      V_BSTR(slot) = text ? SysAllocString(text) : nullptr;
      return text && !V_BSTR(slot) ? E_OUTOFMEMORY : S_OK;
    }
    case L's': {
      LPCSTR text = va_arg(*args, LPCSTR);
      *release = TRUE;
      V_VT(slot) = VT_BSTR;
      return AnsiToBstr(text, &V_BSTR(slot));
    }
    case L'o':
      V_VT(slot) = VT_DISPATCH;
      V_DISPATCH(slot) = va_arg(*args, IDispatch*);
      return S_OK;
    case L'O':
      V_VT(slot) = VT_UNKNOWN;
      V_UNKNOWN(slot) = va_arg(*args, IUnknown*);
      return S_OK;
    case L'D':
      V_VT(slot) = VT_DATE;
      V_DATE(slot) = va_arg(*args, DATE);
      return S_OK;
    case L't': {
      __int64 time = va_arg(*args, __int64);
      V_VT(slot) = VT_DATE;
      return TimeToDate(time, &V_DATE(slot));
    }
    case L'W': {
      const SYSTEMTIME* systemTime = va_arg(*args, const SYSTEMTIME*);
      V_VT(slot) = VT_DATE;
      return SystemTimeToDate(systemTime, &V_DATE(slot));
    }
    case L'f': {
      const FILETIME* fileTime = va_arg(*args, const FILETIME*);
      V_VT(slot) = VT_DATE;
      return FileTimeToDate(fileTime, &V_DATE(slot));
    }
    case L'm':
      V_VT(slot) = VT_ERROR;
      V_ERROR(slot) = DISP_E_PARAMNOTFOUND;
      return S_OK;
    default:
      return E_INVALIDARG;
  }
}

// One segment: its arguments, the call, and the coercion of the result.
HRESULT InternalInvokeV(int kind, VARTYPE resultType, VARIANT* result, IDispatch* object, LPWSTR segment,
                        va_list* args) {
  EnterOperation();

  EnterOperation();  // CreateArgumentArray
  VARIANT slots[kSlotCount];
  BOOL release[kSlotCount];
  int freeSlots = kSlotCount;
  int firstFilled = kSlotCount;  // lowest slot that holds a built argument
  bool nameEnded = false;
  HRESULT hr = S_OK;
  WCHAR* p = segment;
  for (; *p; ++p) {
    if (!nameEnded && (*p == L'(' || *p == L' ' || *p == L'=')) {
      *p = 0;
      nameEnded = true;
      continue;
    }
    if (*p != L'%') continue;
    if (!nameEnded) {
      *p = 0;
      nameEnded = true;
    }
    if (freeSlots == 0) {
      hr = E_INVALIDARG;
      break;
    }
    const int slot = --freeSlots;
    ++p;  // the specifier
    hr = BuildArgument(*p, &slots[slot], &release[slot], args);
    if (FAILED(hr)) break;
    firstFilled = slot;
  }
  if (FAILED(hr)) {
    for (int i = firstFilled; i < kSlotCount; ++i) {
      if (release[i]) VariantClear(&slots[i]);
    }
  }
  hr = LeaveOperation(hr, p, L"CreateArgumentArray");

  if (SUCCEEDED(hr)) {
    const UINT count = static_cast<UINT>(kSlotCount - freeSlots);
    hr = InvokeArray(kind, result, count, object, segment, &slots[freeSlots]);
    for (int i = freeSlots; i < kSlotCount; ++i) {
      if (release[i]) VariantClear(&slots[i]);
    }
    if (SUCCEEDED(hr) && result && resultType != 0 && V_VT(result) != resultType) {
      HRESULT coerced = VariantChangeType(result, result, VARIANT_LOCALBOOL, resultType);
      if (FAILED(coerced)) {
        VariantClear(result);
        hr = coerced;
      }
    }
  }
  return LeaveOperation(hr, segment, L"InternalInvokeV");
}

}  // namespace

HRESULT InvokeArray(int kind, VARIANT* result, UINT argCount, IDispatch* object, LPCWSTR memberName,
                    VARIANT* args) {
  EnterOperation();
  if (!object || !memberName || (argCount != 0 && !args)) {
    return LeaveOperation(E_INVALIDARG, memberName, L"InvokeArray");
  }
  LPOLESTR names[1] = {const_cast<LPOLESTR>(memberName)};
  DISPID dispid = DISPID_UNKNOWN;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, kLocale, &dispid);
  if (FAILED(hr)) return LeaveOperation(hr, TRUE, memberName, memberName, nullptr, 0, L"InvokeArray");
  if (result) VariantInit(result);

  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params = {args, nullptr, argCount, 0};
  if (kind & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    // The value being assigned is element 0, the last argument of the string.
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  EXCEPINFO exception = {};
  UINT argError = 0;
  hr = object->Invoke(dispid, IID_NULL, kLocale, static_cast<WORD>(kind), &params, result, &exception,
                      &argError);
  return LeaveOperation(hr, FAILED(hr), memberName, memberName, &exception, argError, L"InvokeArray");
}

HRESULT InvokeV(int kind, VARTYPE resultType, VARIANT* result, IDispatch* object, LPCWSTR member,
                va_list* args) {
  EnterOperation();
  if (!object || !member || !args) return LeaveOperation(E_INVALIDARG, member, L"InvokeV");
  WCHAR copy[kMemberCapacity];
  const size_t length = wcsnlen(member, kMemberCapacity);
  if (length == kMemberCapacity) return LeaveOperation(E_INVALIDARG, member, L"InvokeV");
  std::memcpy(copy, member, (length + 1) * sizeof(WCHAR));

  // TraverseSubObjects: every segment before the last yields the next object.
  EnterOperation();
  WCHAR* walk = copy[0] == L'.' ? copy + 1 : copy;
  object->AddRef();
  CScopedComPtr<IDispatch> working(object);
  WCHAR* dot = wcschr(walk, L'.');
  HRESULT hr = S_OK;
  if (!dot) {
    detail::AbandonOperation();
  } else {
    for (;;) {
      *dot = 0;
      VARIANT sub;
      VariantInit(&sub);
      hr = InternalInvokeV(kKindMethodOrGet, VT_DISPATCH, &sub, working.Get(), walk, args);
      working.Reset();
      if (SUCCEEDED(hr) && !V_DISPATCH(&sub)) hr = E_NOINTERFACE;
      if (FAILED(hr)) break;
      working.Reset(V_DISPATCH(&sub));  // the reference passes to the walk
      walk = dot + 1;
      dot = wcschr(walk, L'.');
      if (!dot) break;
    }
    hr = LeaveOperation(hr, walk, L"TraverseSubObjects");
  }

  if (SUCCEEDED(hr)) {
    hr = InternalInvokeV(kind, resultType, result, working.Get(), walk, args);
    working.Reset();
  }
  return LeaveOperation(hr, member, L"InvokeV");
}

HRESULT Invoke(int kind, VARTYPE resultType, VARIANT* result, IDispatch* object, LPCWSTR member, ...) {
  EnterOperation();
  va_list args;
  va_start(args, member);
  HRESULT hr = InvokeV(kind, resultType, result, object, member, &args);
  va_end(args);
  return LeaveOperation(hr, member, L"Invoke");
}

namespace {

HRESULT KindV(int kind, LPCWSTR operation, IDispatch* object, LPCWSTR member, va_list* args) {
  EnterOperation();
  HRESULT hr = InvokeV(kind, 0, nullptr, object, member, args);
  return LeaveOperation(hr, member, operation);
}

}  // namespace

HRESULT CallMethodV(IDispatch* object, LPCWSTR member, va_list* args) {
  return KindV(kKindMethod, L"CallMethodV", object, member, args);
}

HRESULT PutValueV(IDispatch* object, LPCWSTR member, va_list* args) {
  return KindV(kKindPut, L"PutValueV", object, member, args);
}

HRESULT PutRefV(IDispatch* object, LPCWSTR member, va_list* args) {
  return KindV(kKindPutRef, L"PutRefV", object, member, args);
}

HRESULT CallMethod(IDispatch* object, LPCWSTR member, ...) {
  EnterOperation();
  va_list args;
  va_start(args, member);
  HRESULT hr = CallMethodV(object, member, &args);
  va_end(args);
  return LeaveOperation(hr, member, L"CallMethod");
}

HRESULT PutValue(IDispatch* object, LPCWSTR member, ...) {
  EnterOperation();
  va_list args;
  va_start(args, member);
  HRESULT hr = PutValueV(object, member, &args);
  va_end(args);
  return LeaveOperation(hr, member, L"PutValue");
}

HRESULT PutRef(IDispatch* object, LPCWSTR member, ...) {
  EnterOperation();
  va_list args;
  va_start(args, member);
  HRESULT hr = PutRefV(object, member, &args);
  va_end(args);
  return LeaveOperation(hr, member, L"PutRef");
}

HRESULT GetValueV(LPCWSTR resultSpec, void* result, IDispatch* object, LPCWSTR member, va_list* args) {
  EnterOperation();
  if (!result || !resultSpec) return LeaveOperation(E_INVALIDARG, member, L"GetValueV");
  WCHAR spec = resultSpec[0] == L'%' ? resultSpec[1] : resultSpec[0];
  if (spec == L'T') spec = detail::WideStringMode() ? L'S' : L's';
  const ResultType* entry = std::find_if(std::begin(kResultTypes), std::end(kResultTypes),
                                         [spec](const ResultType& r) { return r.letter == spec; });
  if (entry == std::end(kResultTypes)) return LeaveOperation(E_INVALIDARG, member, L"GetValueV");
  const VARTYPE type = entry->type;

  VARIANT value;
  VariantInit(&value);
  HRESULT hr = InvokeV(kKindMethodOrGet, type, &value, object, member, args);
  if (SUCCEEDED(hr)) {
    switch (spec) {
      case L'd':
      case L'p':
        *static_cast<LONG*>(result) = V_I4(&value);
        break;
      case L'u':
        *static_cast<ULONG*>(result) = V_UI4(&value);
        break;
      case L'e':
        *static_cast<double*>(result) = V_R8(&value);
        break;
      case L'b':
        *static_cast<LONG*>(result) = V_BOOL(&value);
        break;  // sign-widened: true is -1
      case L'v':
        *static_cast<VARIANT*>(result) = value;
        break;
      case L'B':
      case L'S':
        *static_cast<BSTR*>(result) = V_BSTR(&value);
        break;
      case L's':
        hr = BstrToAnsi(V_BSTR(&value), static_cast<LPSTR*>(result));
        SysFreeString(V_BSTR(&value));
        break;
      case L'o':
        *static_cast<IDispatch**>(result) = V_DISPATCH(&value);
        if (!V_DISPATCH(&value)) hr = E_NOINTERFACE;
        break;
      case L'O':
        *static_cast<IUnknown**>(result) = V_UNKNOWN(&value);
        if (!V_UNKNOWN(&value)) hr = E_NOINTERFACE;
        break;
      case L'D':
        *static_cast<DATE*>(result) = V_DATE(&value);
        break;
      case L'W':
        hr = DateToSystemTime(V_DATE(&value), static_cast<SYSTEMTIME*>(result));
        break;
      case L'f':
        hr = DateToFileTime(V_DATE(&value), static_cast<FILETIME*>(result));
        break;
      case L't':
        hr = DateToTime(V_DATE(&value), static_cast<__int64*>(result));
        break;
    }
  }
  return LeaveOperation(hr, member, L"GetValueV");
}

HRESULT GetValue(LPCWSTR resultSpec, void* result, IDispatch* object, LPCWSTR member, ...) {
  EnterOperation();
  va_list args;
  va_start(args, member);
  HRESULT hr = GetValueV(resultSpec, result, object, member, &args);
  va_end(args);
  return LeaveOperation(hr, member, L"GetValue");
}

}  // namespace quillon
