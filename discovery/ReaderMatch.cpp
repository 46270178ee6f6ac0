#include "discovery/ReaderMatch.h"

#include <cctype>
#include <climits>
#include <cstring>

namespace quillon {

const char* const g_readerDeviceIds[] = {"VID_0403+PID_8288", nullptr};

namespace {
const char kPortMarker[] = "(COM";
}

bool HasPortMarker(const char* name) { return name && strstr(name, kPortMarker); }

bool IsReaderDevice(const char* name, const char* deviceId) {
  if (!HasPortMarker(name) || !deviceId) return false;
  for (const char* const* id = g_readerDeviceIds; *id; ++id) {
    if (strstr(deviceId, *id)) return true;
  }
  return false;
}

int PortNumberFromName(const char* name) {
  const char* token = name ? strstr(name, kPortMarker) : nullptr;
  if (!token) return 0;
  // Past "(" and the three letters "COM"; the token ends at "(" or ")".
  const char* p = token + 4;
  const char* end = p + strcspn(p, "()");
  while (p < end && isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = (*p++ == '-');
  long long value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    // A number that does not fit names no port.
    if (value > INT_MAX) return 0;
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace quillon
