#pragma once
// The automation client: drives COM automation (IDispatch) objects through
// member strings with printf-like specifiers, binds and enumerates objects,
// converts values, and keeps the last failure of each thread for a report.
//
// All operations return an HRESULT (negative is failure). Interface pointers
// and strings handed out belong to the caller.
//
// Member strings: ".Item(%d).Name", ".ExecQuery(%S)", ".Value = %e". Every "."
// separates path segments; in a segment the name ends at "(", " ", "=" or "%",
// and each "%x" after it takes one argument from the list, left to right
// across the whole string. Argument specifiers (exact widths, 32-bit target):
//   d int32  p pointer(32)  u uint32  e double  b int32 -> VARIANT_BOOL
//   v VARIANT* (copied bitwise, not owned)  B BSTR (not copied)  S wide string
//   s ANSI string  T S or s by the wide-string mode  o IDispatch*  O IUnknown*
//   D DATE  t int64 seconds since 1970  W SYSTEMTIME*  f FILETIME*  m omitted
// Result specifiers of GetValue ("%d" or "d"): d p u e b v B S T s o O D W f t,
// stored as int32, uint32, double, int32 boolean (-1/0), VARIANT, BSTR, ANSI
// string in a BSTR, IDispatch*, IUnknown*, DATE, SYSTEMTIME, FILETIME, int64.
//
// GetObject: <windows.h> defines GetObject as a macro for the GDI function
// (GetObjectW/GetObjectA). This header removes the macro so that
// quillon::GetObject is reachable by its name, and puts an inline GDI
// GetObject overload in the global namespace in its place, so existing GDI
// calls such as GetObject(hBitmap, sizeof(bm), &bm) still compile. The two
// overloads cannot be confused: the GDI one takes (HGDIOBJ, int, void*), this
// one (const wchar_t*, const wchar_t*, IDispatch**).

#include <windows.h>
#include <ole2.h>
#include <oaidl.h>

#include <cstdarg>

#ifdef GetObject
#undef GetObject
#endif

inline int GetObject(HANDLE h, int c, LPVOID pv) {
#ifdef UNICODE
  return GetObjectW(h, c, pv);
#else
  return GetObjectA(h, c, pv);
#endif
}

namespace quillon {

// ---- Error recording and reporting ----------------------------------------

// The calling thread's last failure. Zero-filled from the process heap; the
// three BSTRs are owned by the record.
struct ErrorRecord {
  LPCWSTR outerOperation;   // "Function:"; not owned
  LPCWSTR failedOperation;  // "Error In:"; not owned
  HRESULT result;           // 0: nothing recorded since the last reset
  WCHAR itemName[64];       // member name given to GetIDsOfNames, or "_NewEnum"
  WCHAR memberText[256];    // the outermost operation's member string or ProgID
  LONG serverCode;          // exception wCode, or its scode when wCode is 0
  BSTR description;
  BSTR source;
  BSTR helpFile;
  DWORD helpContext;
  UINT argError;         // argument error index from IDispatch::Invoke
  BOOL dispatchFailure;  // the failure came from an IDispatch call
  BOOL reported;         // the outermost operation has finished with it
};

typedef HRESULT (*ErrorCallback)(ErrorRecord* record);

// Process-wide reporting options; all zero at start.
struct ErrorOptions {
  HWND ownerWindow;
  LPCWSTR caption;  // kept by the caller, not copied
  BOOL showMessageBox;
  BOOL recordingOff;
  ErrorCallback callback;
};

void EnterOperation();
HRESULT LeaveOperation(HRESULT outcome, BOOL dispatchFailure, LPCWSTR itemName, LPCWSTR memberText,
                       EXCEPINFO* exception, UINT argError, LPCWSTR operationName);
HRESULT InitializeAutomation(BOOL initializeCom, BOOL wideStrings);
void UninitializeAutomation(BOOL uninitializeCom);
void ReleaseThreadState();
HRESULT SetErrorOptions(const ErrorOptions* options);
HRESULT GetErrorOptions(ErrorOptions* options);
HRESULT EnableErrorDisplay(BOOL show);
HRESULT ShowError(ErrorRecord* record);
HRESULT FormatErrorText(ErrorRecord* record, LPWSTR buffer, UINT capacity, BOOL fixedLayout);
HRESULT FormatErrorTextAnsi(ErrorRecord* record, LPSTR buffer, UINT capacity, BOOL fixedLayout);
HRESULT GetErrorRecord(ErrorRecord** record);

// ---- Value conversion -----------------------------------------------------

// ANSI strings handed out live in byte-length BSTRs: free with SysFreeString.
HRESULT AnsiToBstr(LPCSTR text, BSTR* out);
HRESULT BstrToAnsi(LPCWSTR text, LPSTR* out);
HRESULT FileTimeToDate(const FILETIME* fileTime, DATE* out);
HRESULT SystemTimeToDate(const SYSTEMTIME* systemTime, DATE* out);
HRESULT TimeToDate(__int64 time, DATE* out);
HRESULT DateToFileTime(DATE date, FILETIME* out);
HRESULT DateToSystemTime(DATE date, SYSTEMTIME* out);
HRESULT DateToTime(DATE date, __int64* out);

// ---- Member-string invocation ---------------------------------------------

// Invocation kinds (IDispatch::Invoke wFlags).
constexpr int kKindMethod = DISPATCH_METHOD;
constexpr int kKindGet = DISPATCH_PROPERTYGET;
constexpr int kKindMethodOrGet = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
constexpr int kKindPut = DISPATCH_PROPERTYPUT;
constexpr int kKindPutRef = DISPATCH_PROPERTYPUTREF;

// The V forms take a list the caller started and leave it advanced past what
// they consumed.
HRESULT CallMethod(IDispatch* object, LPCWSTR member, ...);
HRESULT CallMethodV(IDispatch* object, LPCWSTR member, va_list* args);
HRESULT PutValue(IDispatch* object, LPCWSTR member, ...);
HRESULT PutValueV(IDispatch* object, LPCWSTR member, va_list* args);
HRESULT PutRef(IDispatch* object, LPCWSTR member, ...);
HRESULT PutRefV(IDispatch* object, LPCWSTR member, va_list* args);
HRESULT GetValue(LPCWSTR resultSpec, void* result, IDispatch* object, LPCWSTR member, ...);
HRESULT GetValueV(LPCWSTR resultSpec, void* result, IDispatch* object, LPCWSTR member, va_list* args);
HRESULT Invoke(int kind, VARTYPE resultType, VARIANT* result, IDispatch* object, LPCWSTR member, ...);
HRESULT InvokeV(int kind, VARTYPE resultType, VARIANT* result, IDispatch* object, LPCWSTR member,
                va_list* args);
// args[0] is the last argument, as in DISPPARAMS.
HRESULT InvokeArray(int kind, VARIANT* result, UINT argCount, IDispatch* object, LPCWSTR memberName,
                    VARIANT* args);

// ---- Object creation and enumeration --------------------------------------

HRESULT CreateObject(LPCWSTR progId, LPCWSTR machine, IDispatch** out);
HRESULT CreateObjectEx(LPCWSTR progId, const IID* iid, DWORD context, COSERVERINFO* server, void** out);
HRESULT GetObject(LPCWSTR path, LPCWSTR progId, IDispatch** out);
HRESULT GetObjectEx(LPCWSTR path, LPCWSTR progId, const IID* iid, DWORD context, void* reserved, void** out);
HRESULT EnumBegin(IEnumVARIANT** out, IDispatch* object, LPCWSTR member, ...);
HRESULT EnumBeginV(IEnumVARIANT** out, IDispatch* object, LPCWSTR member, va_list* args);
// S_OK: an item was delivered; S_FALSE: the enumeration is exhausted.
HRESULT EnumNextObject(IEnumVARIANT* enumerator, IDispatch** out);
HRESULT EnumNextVariant(IEnumVARIANT* enumerator, VARIANT* out);

}  // namespace quillon
