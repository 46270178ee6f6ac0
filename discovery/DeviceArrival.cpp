#include "discovery/DeviceArrival.h"

#include <cstddef>
#include <cwchar>

namespace quillon {
namespace {

wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// `length` characters of `text` equal `upperText` in any case (ASCII only).
bool SameUpper(const wchar_t* text, const wchar_t* upperText, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (Upper(text[i]) != upperText[i]) return false;
  return true;
}

// The length of the text in a record's trailing name field, bounded by the record's end.
size_t BoundedLength(const wchar_t* name, size_t maxChars) {
  size_t n = 0;
  while (n < maxChars && name[n]) ++n;
  return n;
}

bool PortNameBounded(const wchar_t* name, size_t length, int portNumber) {
  if (portNumber <= 0 || length < 4 || !SameUpper(name, L"COM", 3)) return false;
  long long value = 0;
  for (size_t i = 3; i < length; ++i) {
    if (name[i] < L'0' || name[i] > L'9') return false;
    value = value * 10 + (name[i] - L'0');
    if (value > portNumber) return false;
  }
  return name[3] != L'0' && value == portNumber;
}

bool PathBounded(const wchar_t* path, size_t length) {
  static const wchar_t kVid[] = L"VID_0403";
  static const wchar_t kPid[] = L"PID_8288";
  const size_t part = ARRAYSIZE(kVid) - 1;
  for (size_t i = 0; i + 2 * part + 1 <= length; ++i) {
    if (!SameUpper(path + i, kVid, part)) continue;
    const wchar_t joint = path[i + part];
    if ((joint == L'&' || joint == L'+') && SameUpper(path + i + part + 1, kPid, part)) return true;
  }
  return false;
}

}  // namespace

bool IsPortName(const wchar_t* name, int portNumber) {
  return name && PortNameBounded(name, wcslen(name), portNumber);
}

bool PathCarriesReaderIds(const wchar_t* path) { return path && PathBounded(path, wcslen(path)); }

bool IsReaderArrival(const DEV_BROADCAST_HDR* header, int openPort) {
  if (!header) return false;
  const size_t size = header->dbch_size;
  switch (header->dbch_devicetype) {
    case DBT_DEVTYP_PORT: {
      const size_t at = offsetof(DEV_BROADCAST_PORT_W, dbcp_name);
      if (size <= at) return false;
      const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_W*>(header);
      const size_t chars = (size - at) / sizeof(wchar_t);
      return PortNameBounded(port->dbcp_name, BoundedLength(port->dbcp_name, chars), openPort);
    }
    case DBT_DEVTYP_DEVICEINTERFACE: {
      const size_t at = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
      if (size <= at) return false;
      const auto* device = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
      const size_t chars = (size - at) / sizeof(wchar_t);
      return PathBounded(device->dbcc_name, BoundedLength(device->dbcc_name, chars));
    }
    default:
      return false;
  }
}

}  // namespace quillon
