// Error recording and reporting: per-thread operation depth and failure
// record, the process-wide options, and the report texts.
//
// Operations nest; each brackets itself with EnterOperation/LeaveOperation.
// The innermost failure of a call chain is recorded; the outermost operation
// completes the record and shows or hands it on, once, before it returns.

#include <atomic>
#include <cwchar>

#include "automation/AutomationInternal.h"

namespace quillon {

namespace {

ErrorOptions g_options = {};
bool g_wideStrings = false;

// Set-up: the first thread through allocates both TLS slots; any other thread
// arriving while that is under way waits for it.
std::atomic<LONG> g_setupCounter{-1};
std::atomic<bool> g_setupPending{true};
DWORD g_depthSlot = TLS_OUT_OF_INDEXES;
DWORD g_recordSlot = TLS_OUT_OF_INDEXES;

const UINT kMessageBoxStyle = MB_SETFOREGROUND | MB_ICONERROR;

const WCHAR kLayoutBox[] =
    L"Member:\t  %s\r\nFunction:\t  %s\t\t\r\nError In:\t  %s\r\nError:\t  %s\r\nCode:\t  %x\r\n"
    L"Source:\t  %s";
const WCHAR kLayoutFixed[] =
    L"Member:   %s\r\nFunction: %s\r\nError In: %s\r\nError:    %s\r\nCode:     %x\r\nSource:   %s";

void SetupIfPending() {
  if (!g_setupPending.load(std::memory_order_acquire)) return;
  if (g_setupCounter.fetch_add(1) + 1 == 0) {
    g_depthSlot = TlsAlloc();
    g_recordSlot = TlsAlloc();
    g_setupPending.store(false, std::memory_order_release);
    return;
  }
  while (g_setupPending.load(std::memory_order_acquire)) Sleep(5);
}

LONG GetDepth() { return static_cast<LONG>(reinterpret_cast<INT_PTR>(TlsGetValue(g_depthSlot))); }

void SetDepth(LONG depth) { TlsSetValue(g_depthSlot, reinterpret_cast<LPVOID>(static_cast<INT_PTR>(depth))); }

ErrorRecord* ThreadRecord() { return static_cast<ErrorRecord*>(TlsGetValue(g_recordSlot)); }

void FreeRecordStrings(ErrorRecord* record) {
  SysFreeString(record->description);
  SysFreeString(record->source);
  SysFreeString(record->helpFile);
  record->description = record->source = record->helpFile = nullptr;
}

void FreeExceptionStrings(EXCEPINFO* exception) {
  SysFreeString(exception->bstrDescription);
  SysFreeString(exception->bstrSource);
  SysFreeString(exception->bstrHelpFile);
  exception->bstrDescription = exception->bstrSource = exception->bstrHelpFile = nullptr;
}

void CopyText(WCHAR* dest, size_t capacity, LPCWSTR text) {
  size_t i = 0;
  for (; i + 1 < capacity && text[i]; ++i) dest[i] = text[i];
  dest[i] = 0;
}

void ReleaseRecord() {
  SetupIfPending();
  ErrorRecord* record = ThreadRecord();
  if (!record) return;
  FreeRecordStrings(record);
  HeapFree(GetProcessHeap(), 0, record);
  TlsSetValue(g_recordSlot, nullptr);
}

// Removes one trailing line break ("\r\n" or "\n") in place.
void TrimLineBreak(BSTR text) {
  size_t n = wcslen(text);
  if (n >= 2 && text[n - 2] == L'\r' && text[n - 1] == L'\n') {
    text[n - 2] = 0;
  } else if (n >= 1 && text[n - 1] == L'\n') {
    text[n - 1] = 0;
  }
}

BSTR ComposeDescription(const ErrorRecord* record, HRESULT code) {
  WCHAR text[256];
  if (code == DISP_E_UNKNOWNNAME || code == DISP_E_MEMBERNOTFOUND) {
    detail::FormatText(text, ARRAYSIZE(text), L"Object doesn't support this property or method: '%s'",
                       record->itemName);
  } else if (code == DISP_E_TYPEMISMATCH && record->itemName[0]) {
    detail::FormatText(text, ARRAYSIZE(text), L"Type mismatch: '%s'. Argument Index: %d", record->itemName,
                       static_cast<int>(record->argError));
  } else if (code == E_NOINTERFACE) {
    detail::FormatText(text, ARRAYSIZE(text), L"Object required");
  } else {
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), detail::kLocale, text, ARRAYSIZE(text), nullptr);
    if (n == 0) detail::FormatText(text, ARRAYSIZE(text), L"Unknown runtime error");
  }
  return SysAllocString(text);
}

}  // namespace

namespace detail {

bool WideStringMode() { return g_wideStrings; }

void AbandonOperation() {
  SetupIfPending();
  SetDepth(GetDepth() - 1);
}

void FormatText(LPWSTR buffer, size_t capacity, LPCWSTR format, ...) {
  if (capacity == 0) return;
  size_t used = 0;
  auto put = [&](WCHAR c) {
    if (used + 1 < capacity) buffer[used++] = c;
  };
  va_list args;
  va_start(args, format);
  for (LPCWSTR f = format; *f; ++f) {
    if (*f != L'%' || !f[1]) {
      put(*f);
      continue;
    }
    WCHAR spec = *++f;
    if (spec == L's') {
      LPCWSTR s = va_arg(args, LPCWSTR);
      for (; s && *s; ++s) put(*s);
    } else if (spec == L'd' || spec == L'x') {
      unsigned value;
      bool negative = false;
      if (spec == L'd') {
        int v = va_arg(args, int);
        negative = v < 0;
        value = negative ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
      } else {
        value = va_arg(args, unsigned);
      }
      const unsigned base = spec == L'd' ? 10 : 16;
      WCHAR digits[12];
      int n = 0;
      do {
        digits[n++] = L"0123456789abcdef"[value % base];
        value /= base;
      } while (value);
      if (negative) put(L'-');
      while (n) put(digits[--n]);
    } else {
      put(spec);
    }
  }
  va_end(args);
  buffer[used] = 0;
}

}  // namespace detail

void EnterOperation() {
  SetupIfPending();
  SetDepth(GetDepth() + 1);
}

HRESULT LeaveOperation(HRESULT outcome, BOOL dispatchFailure, LPCWSTR itemName, LPCWSTR memberText,
                       EXCEPINFO* exception, UINT argError, LPCWSTR operationName) {
  SetupIfPending();
  const LONG depth = GetDepth();
  SetDepth(depth - 1);

  const bool exceptionStrings = outcome == DISP_E_EXCEPTION && exception;
  if (SUCCEEDED(outcome) || g_options.recordingOff) {
    if (exceptionStrings) FreeExceptionStrings(exception);
    return outcome;
  }

  ErrorRecord* record = ThreadRecord();
  if (!record) {
    record = static_cast<ErrorRecord*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ErrorRecord)));
    if (!record || !TlsSetValue(g_recordSlot, record)) {
      if (record) HeapFree(GetProcessHeap(), 0, record);
      if (exceptionStrings) FreeExceptionStrings(exception);
      return outcome;
    }
  } else if (record->reported) {
    // A new call chain starts.
    FreeRecordStrings(record);
    ZeroMemory(record, sizeof(*record));
  }

  if (record->result == 0) {
    record->argError = argError;
    record->failedOperation = operationName;
    record->dispatchFailure = dispatchFailure;
    record->result = outcome;
    if (itemName) CopyText(record->itemName, ARRAYSIZE(record->itemName), itemName);
    if (exceptionStrings) {
      // Through void*: the two routine types differ on purpose.
      if (exception->pfnDeferredFillIn &&
          !IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<void*>(exception->pfnDeferredFillIn)))) {
        exception->pfnDeferredFillIn(exception);
      }
      record->description = exception->bstrDescription;
      record->source = exception->bstrSource;
      record->helpFile = exception->bstrHelpFile;
      exception->bstrDescription = exception->bstrSource = exception->bstrHelpFile = nullptr;
      record->helpContext = exception->dwHelpContext;
      record->serverCode = exception->wCode ? exception->wCode : exception->scode;
    }
  } else if (exceptionStrings) {
    // The innermost failure has already been recorded.
    FreeExceptionStrings(exception);
  }

  if (depth == 1) {
    record->outerOperation = operationName;
    record->reported = TRUE;
    if (memberText) CopyText(record->memberText, ARRAYSIZE(record->memberText), memberText);
    // Both happen before the outermost operation returns to its caller.
    if (g_options.showMessageBox) ShowError(record);
    if (g_options.callback) g_options.callback(record);
  }
  return outcome;
}

HRESULT InitializeAutomation(BOOL initializeCom, BOOL wideStrings) {
  g_wideStrings = wideStrings != FALSE;
  if (initializeCom) return CoInitialize(nullptr);
  return S_OK;
}

void UninitializeAutomation(BOOL uninitializeCom) {
  ReleaseRecord();
  if (uninitializeCom) CoUninitialize();
}

void ReleaseThreadState() { ReleaseRecord(); }

HRESULT SetErrorOptions(const ErrorOptions* options) {
  if (!options) return E_INVALIDARG;
  g_options = *options;
  return S_OK;
}

HRESULT GetErrorOptions(ErrorOptions* options) {
  if (!options) return E_INVALIDARG;
  *options = g_options;
  return S_OK;
}

HRESULT EnableErrorDisplay(BOOL show) {
  g_options.showMessageBox = show;
  if (show) g_options.recordingOff = FALSE;
  return S_OK;
}

HRESULT ShowError(ErrorRecord* record) {
  WCHAR text[512];
  FormatErrorText(record, text, ARRAYSIZE(text), FALSE);
  MessageBoxW(g_options.ownerWindow, text, g_options.caption, kMessageBoxStyle);
  return S_OK;
}

HRESULT FormatErrorText(ErrorRecord* record, LPWSTR buffer, UINT capacity, BOOL fixedLayout) {
  if (!buffer && capacity != 0) return E_INVALIDARG;
  if (!record) {
    SetupIfPending();
    record = ThreadRecord();
    if (!record) {
      if (capacity > 0) detail::FormatText(buffer, capacity, L"No error information available.");
      return S_OK;
    }
  }

  HRESULT code = record->result;
  if (code == DISP_E_EXCEPTION && record->serverCode != 0) code = record->serverCode;

  if (!record->source) {
    record->source = SysAllocString(record->dispatchFailure ? L"IDispatch Interface" : L"Application");
  }
  if (!record->description) record->description = ComposeDescription(record, code);
  if (record->description) TrimLineBreak(record->description);

  if (capacity > 0) {
    detail::FormatText(buffer, capacity, fixedLayout ? kLayoutFixed : kLayoutBox, record->memberText,
                       record->outerOperation, record->failedOperation, record->description,
                       static_cast<unsigned>(code), record->source);
  }
  return S_OK;
}

HRESULT FormatErrorTextAnsi(ErrorRecord* record, LPSTR buffer, UINT capacity, BOOL fixedLayout) {
  WCHAR text[1024];
  FormatErrorText(record, text, ARRAYSIZE(text), fixedLayout);
  if (!WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, static_cast<int>(capacity), nullptr, nullptr)) {
    return detail::HresultFromError(GetLastError());
  }
  return S_OK;
}

HRESULT GetErrorRecord(ErrorRecord** record) {
  if (!record) return E_INVALIDARG;
  SetupIfPending();
  *record = ThreadRecord();
  return S_OK;
}

}  // namespace quillon
