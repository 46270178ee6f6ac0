// Value conversion between the automation value forms (DATE, BSTR) and the
// forms callers hold (FILETIME, SYSTEMTIME, 64-bit time values, ANSI text).
// Pure conversions: no operation depth, nothing recorded.

#include <cmath>
#include <ctime>

#include "automation/AutomationInternal.h"

namespace quillon {

namespace {

const double kTicksPerDay = 864000000000.0;
const unsigned long long kFileTimeOfDateZero = 94353120000000000ull;  // 30 Dec 1899
const unsigned long long kFileTimeOfYear10000 = 2650467744000000000ull;
const double kDate1601 = -109205.0;
const double kDate1970 = 25569.0;
const double kLastTimeDate = 50424.1348;  // 19 Jan 2038 03:14:06.72
const double kSecondsPerDay = 86400.0;
// FILETIMEs are 64-bit: any tick count from here up does not fit.
const double kTwoTo64 = 18446744073709551616.0;

}  // namespace

HRESULT AnsiToBstr(LPCSTR text, BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!text) return S_OK;
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n == 0) return detail::LastErrorHresult();
  BSTR bstr = SysAllocStringLen(nullptr, static_cast<UINT>(n - 1));
  if (!bstr) return E_OUTOFMEMORY;
  if (!MultiByteToWideChar(CP_ACP, 0, text, -1, bstr, n)) {
    HRESULT hr = detail::LastErrorHresult();
    SysFreeString(bstr);
    return hr;
  }
  *out = bstr;
  return S_OK;
}

HRESULT BstrToAnsi(LPCWSTR text, LPSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!text) return S_OK;
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n == 0) return detail::LastErrorHresult();
  BSTR bytes = SysAllocStringByteLen(nullptr, static_cast<UINT>(n - 1));
  if (!bytes) return E_OUTOFMEMORY;
  LPSTR ansi = reinterpret_cast<LPSTR>(bytes);
  if (!WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, n, nullptr, nullptr)) {
    HRESULT hr = detail::LastErrorHresult();
    SysFreeString(bytes);
    return hr;
  }
  *out = ansi;
  return S_OK;
}

HRESULT FileTimeToDate(const FILETIME* fileTime, DATE* out) {
  if (!fileTime || !out) return E_INVALIDARG;
  unsigned long long ticks =
      (static_cast<unsigned long long>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
  // 500 ticks are added before the conversion; the test is written so that
  // values near the top of the range cannot wrap round.
  if (ticks >= kFileTimeOfYear10000 - 500) return E_INVALIDARG;
  ticks += 500;
  long long offset = static_cast<long long>(ticks - kFileTimeOfDateZero);
  double d = static_cast<double>(offset) / kTicksPerDay;
  // Before 30 Dec 1899 the day counts backwards while the time of day still
  // counts forwards.
  *out = d < 0 ? 2 * std::floor(d) - d : d;
  return S_OK;
}

HRESULT SystemTimeToDate(const SYSTEMTIME* systemTime, DATE* out) {
  if (!systemTime || !out) return E_INVALIDARG;
  FILETIME fileTime;
  if (!SystemTimeToFileTime(systemTime, &fileTime)) return detail::LastErrorHresult();
  return FileTimeToDate(&fileTime, out);
}

HRESULT TimeToDate(__int64 time, DATE* out) {
  if (!out) return E_INVALIDARG;
  __time64_t t = time;
  struct tm local, utc;
  if (_localtime64_s(&local, &t) != 0 || _gmtime64_s(&utc, &t) != 0) return E_FAIL;
  local.tm_isdst = 0;
  utc.tm_isdst = 0;
  __time64_t l = _mktime64(&local);
  __time64_t u = _mktime64(&utc);
  if (l == -1 || u == -1) return E_FAIL;
  // l - u is the zone's offset at t, daylight saving included.
  *out = static_cast<double>(time + l - u) / kSecondsPerDay + kDate1970;
  return S_OK;
}

HRESULT DateToFileTime(DATE date, FILETIME* out) {
  if (!out) return E_INVALIDARG;
  double x = date < 0 ? 2 * std::ceil(date) - date : date;
  // Written to refuse NaN as well.
  if (!(x >= kDate1601)) return E_INVALIDARG;
  double ticks = x * kTicksPerDay + static_cast<double>(kFileTimeOfDateZero);
  if (!(ticks < kTwoTo64)) return E_INVALIDARG;
  unsigned long long value = static_cast<unsigned long long>(ticks);
  out->dwLowDateTime = static_cast<DWORD>(value);
  out->dwHighDateTime = static_cast<DWORD>(value >> 32);
  return S_OK;
}

HRESULT DateToSystemTime(DATE date, SYSTEMTIME* out) {
  if (!out) return E_INVALIDARG;
  FILETIME fileTime;
  HRESULT hr = DateToFileTime(date, &fileTime);
  if (FAILED(hr)) return hr;
  if (!FileTimeToSystemTime(&fileTime, out)) return detail::LastErrorHresult();
  return S_OK;
}

HRESULT DateToTime(DATE date, __int64* out) {
  if (!out) return E_INVALIDARG;
  if (!(date >= kDate1970 && date <= kLastTimeDate)) return E_INVALIDARG;
  __time64_t t0 = static_cast<__time64_t>((date - kDate1970) * kSecondsPerDay + 0.5);
  *out = t0;
  struct tm fields;
  if (_gmtime64_s(&fields, &t0) != 0) return E_FAIL;
  // The DATE's calendar fields, read as local wall-clock time.
  fields.tm_isdst = -1;
  __time64_t local = _mktime64(&fields);
  if (local == -1) return E_FAIL;
  *out = local;
  return S_OK;
}

}  // namespace quillon
