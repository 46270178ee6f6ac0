// Date and string conversions at their exact edges.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "automation/Automation.h"

namespace quillon {
namespace {

FILETIME Ft(unsigned long long ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

unsigned long long Ticks(const FILETIME& ft) {
  return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST(Conversion, FileTimeToDateEdges) {
  struct {
    unsigned long long ticks;
    HRESULT hr;
    double date;
  } cases[] = {
      {94353120000000000ull, S_OK, 500.0 / 864000000000.0},  // 500 ticks of rounding
      {94353120000000000ull + 864000000000ull * 3 / 2, S_OK, 1.5 + 500.0 / 864000000000.0},
      {0, S_OK, -109205.0 - 500.0 / 864000000000.0 * -1},
      {2650467743999999499ull, S_OK, 2958466.0 - 1.0 / 864000000000.0},
      {2650467743999999500ull, E_INVALIDARG, 0},
      {0xFFFFFFFFFFFFFF00ull, E_INVALIDARG, 0},  // would wrap round when rounded
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ticks);
    FILETIME ft = Ft(c.ticks);
    DATE d = -7;
    EXPECT_EQ(FileTimeToDate(&ft, &d), c.hr);
    if (c.hr == S_OK) {
      EXPECT_NEAR(d, c.date, 1e-6);
    }
  }
  // Before 1899 the day counts backwards, the time of day forwards.
  FILETIME ft = Ft(94352472000000000ull);
  DATE d;
  ASSERT_EQ(FileTimeToDate(&ft, &d), S_OK);
  EXPECT_LT(d, -1.25);
  EXPECT_GT(d, -1.25 - 1e-8);
  EXPECT_EQ(FileTimeToDate(nullptr, &d), E_INVALIDARG);
  EXPECT_EQ(FileTimeToDate(&ft, nullptr), E_INVALIDARG);
}

TEST(Conversion, DateToFileTimeEdges) {
  struct {
    double date;
    HRESULT hr;
    unsigned long long ticks;
  } cases[] = {
      {0.0, S_OK, 94353120000000000ull},
      {-1.25, S_OK, 94352472000000000ull},  // 29 Dec 1899 06:00
      {-109205.0, S_OK, 0},                 // 1 Jan 1601 00:00
      {-109205.5, S_OK, 432000000000ull},   // 1 Jan 1601 12:00
      {-109206.0, E_INVALIDARG, 0},
      {25569.0, S_OK, 116444736000000000ull},  // 1 Jan 1970
      {1e300, E_INVALIDARG, 0},                // no 64-bit tick count
      {std::nan(""), E_INVALIDARG, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.date);
    FILETIME ft = Ft(0x1234);
    EXPECT_EQ(DateToFileTime(c.date, &ft), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(Ticks(ft), c.ticks);
    }
  }
  EXPECT_EQ(DateToFileTime(0.0, nullptr), E_INVALIDARG);
}

TEST(Conversion, SystemTimeRoundTripsAndInvalidMonthFails) {
  SYSTEMTIME st = {1999, 12, 5, 31, 23, 59, 30, 0};
  DATE d;
  ASSERT_EQ(SystemTimeToDate(&st, &d), S_OK);
  SYSTEMTIME back = {};
  ASSERT_EQ(DateToSystemTime(d, &back), S_OK);
  EXPECT_EQ(back.wYear, 1999);
  EXPECT_EQ(back.wMonth, 12);
  EXPECT_EQ(back.wDay, 31);
  EXPECT_EQ(back.wHour, 23);
  EXPECT_EQ(back.wMinute, 59);
  EXPECT_EQ(back.wSecond, 30);
  st.wMonth = 13;
  SetLastError(0);
  HRESULT hr = SystemTimeToDate(&st, &d);
  EXPECT_LT(hr, 0);
  EXPECT_EQ(hr & 0xFFFF0000, static_cast<HRESULT>(0x80070000));
  EXPECT_EQ(SystemTimeToDate(nullptr, &d), E_INVALIDARG);
  EXPECT_EQ(DateToSystemTime(-109206.0, &back), E_INVALIDARG);
}

class ZoneScope {
 public:
  explicit ZoneScope(const char* tz) {
    _putenv(tz);
    _tzset();
  }
  ~ZoneScope() {
    _putenv("TZ=UTC0");
    _tzset();
  }
};

TEST(Conversion, DateToTimeBoundsInUtc) {
  struct {
    double date;
    HRESULT hr;
    __int64 time;
  } cases[] = {
      {25569.0, S_OK, 0},
      {25569.5, S_OK, 43200},
      {25569.0 + 0.4 / 86400, S_OK, 0},  // nearest whole second
      {25569.0 + 0.6 / 86400, S_OK, 1},
      {50424.1348, S_OK, 2147483647ll},  // 03:14:06.72 rounds up
      {25568.99, E_INVALIDARG, 0},
      {50424.1349, E_INVALIDARG, 0},
      {std::nan(""), E_INVALIDARG, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.date);
    __int64 t = -7;
    EXPECT_EQ(DateToTime(c.date, &t), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(t, c.time);
    }
  }
  EXPECT_EQ(DateToTime(25569.0, nullptr), E_INVALIDARG);
}

TEST(Conversion, TimeAndDateFollowTheLocalZone) {
  DATE d;
  __int64 t;
  ASSERT_EQ(TimeToDate(0, &d), S_OK);
  EXPECT_DOUBLE_EQ(d, 25569.0);
  ASSERT_EQ(TimeToDate(43200, &d), S_OK);
  EXPECT_DOUBLE_EQ(d, 25569.5);
  {
    // Five hours west of UTC: local midnight of 1 Jan 1970 is 05:00 UTC.
    ZoneScope est("TZ=EST5");
    ASSERT_EQ(DateToTime(25569.0, &t), S_OK);
    EXPECT_EQ(t, 5 * 3600);
    ASSERT_EQ(TimeToDate(5 * 3600, &d), S_OK);
    EXPECT_NEAR(d, 25569.0, 1e-9);
  }
  ASSERT_EQ(DateToTime(25569.0, &t), S_OK);
  EXPECT_EQ(t, 0);
  EXPECT_EQ(TimeToDate(0, nullptr), E_INVALIDARG);
}

TEST(Conversion, AnsiAndBstr) {
  BSTR b = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(AnsiToBstr(nullptr, &b), S_OK);
  EXPECT_EQ(b, nullptr);
  ASSERT_EQ(AnsiToBstr("", &b), S_OK);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 0u);
  SysFreeString(b);
  ASSERT_EQ(AnsiToBstr("Quillon", &b), S_OK);
  EXPECT_STREQ(b, L"Quillon");
  EXPECT_EQ(SysStringLen(b), 7u);

  LPSTR a = reinterpret_cast<LPSTR>(1);
  EXPECT_EQ(BstrToAnsi(nullptr, &a), S_OK);
  EXPECT_EQ(a, nullptr);
  ASSERT_EQ(BstrToAnsi(b, &a), S_OK);
  EXPECT_STREQ(a, "Quillon");
  EXPECT_EQ(SysStringByteLen(reinterpret_cast<BSTR>(a)), 7u);
  SysFreeString(reinterpret_cast<BSTR>(a));
  SysFreeString(b);
  ASSERT_EQ(BstrToAnsi(L"", &a), S_OK);
  EXPECT_STREQ(a, "");
  SysFreeString(reinterpret_cast<BSTR>(a));
  EXPECT_EQ(AnsiToBstr("x", nullptr), E_INVALIDARG);
  EXPECT_EQ(BstrToAnsi(L"x", nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace quillon
