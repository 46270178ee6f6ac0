#pragma once
// Helpers shared by the automation client's sources; not part of its interface.

#include "automation/Automation.h"
#include "win/Scoped.h"

namespace quillon {

// The leave of an operation that failed, if at all, on its own: no dispatch call, item
// name, exception or argument index to record.
inline HRESULT LeaveOperation(HRESULT outcome, LPCWSTR memberText, LPCWSTR operationName) {
  return LeaveOperation(outcome, FALSE, nullptr, memberText, nullptr, 0, operationName);
}

namespace detail {

// The locale of every call into an automation object, and the language of the
// system's error texts.
constexpr LCID kLocale = LOCALE_USER_DEFAULT;

// The "T" specifier's meaning: wide strings when set.
bool WideStringMode();

// A positive Windows error code as an HRESULT: 0x80070000 plus its low 16 bits.
inline HRESULT HresultFromError(DWORD error) { return static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu)); }

inline HRESULT LastErrorHresult() {
  DWORD error = GetLastError();
  // A failing call that left no error still has to read as a failure.
  return error ? HresultFromError(error) : E_FAIL;
}

// Lowers the operation depth without a report (an operation that turned out
// not to run after its EnterOperation).
void AbandonOperation();

// printf-like formatting into a fixed buffer, truncated to capacity - 1
// characters and always terminated. Understands %s (wide string, null as
// empty), %d (int) and %x (unsigned, lower-case hex).
void FormatText(LPWSTR buffer, size_t capacity, LPCWSTR format, ...);

}  // namespace detail
}  // namespace quillon
