#include "discovery/DeviceArrival.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cwchar>
#include <vector>

namespace {

using quillon::IsReaderArrival;

// A broadcast record as the system builds it: the header, then the name, its size
// counting the name and its terminator (or `size` when given, to cut it short).
std::vector<BYTE> Record(DWORD type, size_t nameAt, const wchar_t* name, size_t size = 0) {
  const size_t full = nameAt + (wcslen(name) + 1) * sizeof(wchar_t);
  std::vector<BYTE> bytes(full + 16, 0);
  auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(bytes.data());
  header->dbch_size = static_cast<DWORD>(size ? size : full);
  header->dbch_devicetype = type;
  memcpy(bytes.data() + nameAt, name, (wcslen(name) + 1) * sizeof(wchar_t));
  return bytes;
}

std::vector<BYTE> Port(const wchar_t* name, size_t size = 0) {
  return Record(DBT_DEVTYP_PORT, offsetof(DEV_BROADCAST_PORT_W, dbcp_name), name, size);
}
std::vector<BYTE> Interface(const wchar_t* path) {
  return Record(DBT_DEVTYP_DEVICEINTERFACE, offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name), path);
}

const DEV_BROADCAST_HDR* Header(const std::vector<BYTE>& bytes) {
  return reinterpret_cast<const DEV_BROADCAST_HDR*>(bytes.data());
}

// Only the open port's own name, or the reader's ids in an interface path, mean the
// reader came back; every other arrival leaves the opening alone.
TEST(DeviceArrival, TheReadersPortOrInterfaceAndNothingElse) {
  const size_t nameAt = offsetof(DEV_BROADCAST_PORT_W, dbcp_name);
  const struct {
    const char* what;
    std::vector<BYTE> record;
    int openPort;
    bool reader;
  } cases[] = {
      {"its port", Port(L"COM7"), 7, true},
      {"its port in lower case", Port(L"com7"), 7, true},
      {"two digits", Port(L"COM12"), 12, true},
      {"another port", Port(L"COM3"), 7, false},
      {"a longer number", Port(L"COM71"), 7, false},
      {"a shorter number", Port(L"COM1"), 12, false},
      {"a leading zero", Port(L"COM07"), 7, false},
      {"trailing text", Port(L"COM7x"), 7, false},
      {"no number", Port(L"COM"), 7, false},
      {"a printer port", Port(L"LPT7"), 7, false},
      {"no name at all", Port(L""), 7, false},
      {"a record cut before the number", Port(L"COM7", nameAt + 3 * sizeof(wchar_t)), 7, false},
      {"a record as long as its header", Port(L"COM7", sizeof(DEV_BROADCAST_HDR)), 7, false},
      {"the reader's USB interface", Interface(L"\\\\?\\USB#VID_0403&PID_8288#A1B2#{a5dcbf10-6530-11d2}"), 7,
       true},
      {"the converter's bus", Interface(L"\\\\?\\FTDIBUS#VID_0403+PID_8288+A1B2A#0000#{86e0d1e0}"), 7, true},
      {"lower case ids", Interface(L"\\\\?\\usb#vid_0403&pid_8288#x"), 7, true},
      {"another product", Interface(L"\\\\?\\USB#VID_0403&PID_6001#A1B2#{guid}"), 7, false},
      {"another joint", Interface(L"\\\\?\\USB#VID_0403_PID_8288#x"), 7, false},
      {"ids cut short", Interface(L"\\\\?\\USB#VID_0403&PID_828"), 7, false},
      {"a volume", Record(DBT_DEVTYP_VOLUME, nameAt, L"COM7"), 7, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(IsReaderArrival(Header(c.record), c.openPort), c.reader);
  }
  EXPECT_FALSE(IsReaderArrival(nullptr, 7));
  EXPECT_FALSE(IsReaderArrival(Header(Port(L"COM7")), 0));  // nothing open
}

}  // namespace
