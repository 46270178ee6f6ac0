#pragma once
// Shared by the end-to-end tests and benchmark: the reader's device list, card
// frames, and the step that makes sure the program's opening of the line is
// complete before cards are presented.

#include <windows.h>
#include <dbt.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "tests/support/fakewmi/FakeWmi.h"
#include "tests/support/reader/FakeReader.h"

namespace quillon_system {

constexpr int kReaderPort = 7;  // outside the serial tests' 20..60

inline std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// A few ordinary devices, then the reader as the system names it.
inline quillon::fakewmi::FakeWmiConfig ReaderDevices(unsigned filler = 0) {
  quillon::fakewmi::FakeWmiConfig config;
  config.AddFiller(filler)
      .Add(L"Communications Port (COM1)", L"ACPI\\PNP0501\\1")
      .Add(L"USB Input Device", L"USB\\VID_046D+PID_C52B+MI_00\\7&2A1B&0&0000")
      .Add(L"Standard PS/2 Keyboard", L"ACPI\\PNP0303\\4&1D401FB5&0")
      .Add(L"USB Serial Port (COM7)", L"USBSER\\VID_0403+PID_8288+A1B2\\0000");
  return config;
}

// A port's device notification as the system builds one: the header and the port's name.
class PortRecord {
 public:
  explicit PortRecord(const wchar_t* name) : m_bytes(offsetof(DEV_BROADCAST_PORT_W, dbcp_name) + 64, 0) {
    const size_t nameBytes = (wcslen(name) + 1) * sizeof(wchar_t);
    auto* port = reinterpret_cast<DEV_BROADCAST_PORT_W*>(m_bytes.data());
    port->dbcp_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_PORT_W, dbcp_name) + nameBytes);
    port->dbcp_devicetype = DBT_DEVTYP_PORT;
    memcpy(port->dbcp_name, name, nameBytes);
  }
  LPARAM Param() { return reinterpret_cast<LPARAM>(m_bytes.data()); }

 private:
  std::vector<BYTE> m_bytes;
};

// A handle notification for the handle and registration a program's port holds.
inline DEV_BROADCAST_HANDLE HandleRecord(ULONGLONG handle, ULONGLONG notify) {
  DEV_BROADCAST_HANDLE record = {};
  record.dbch_size = sizeof(record);
  record.dbch_devicetype = DBT_DEVTYP_HANDLE;
  record.dbch_handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handle));
  record.dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(static_cast<ULONG_PTR>(notify));
  return record;
}

// Sends a window message as the system sends device and power broadcasts (it refuses
// to post them); the handler's result, or 99 when the send failed.
inline DWORD_PTR SendAsSystem(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 99;
  if (!SendMessageTimeoutW(window, msg, wParam, lParam, SMTO_NORMAL, 30000, &result)) return 99;
  return result;
}

// 5-byte card frames with distinct numbers, each of which types exactly its own
// number and leaves the receive window empty even when up to four zero bytes
// wait in the window before it (what SyncWithOpen can leave behind): no window
// that mixes those zeros with the card's first bytes may pass the check byte.
class CardMaker {
 public:
  explicit CardMaker(uint32_t first = 0x31000000u) : m_next(first) {}
  // The next frame; its digits are appended to `digits`.
  std::string Next(std::wstring* digits) {
    for (;;) {
      const uint32_t n = m_next;
      m_next += 0x00010307u;
      const unsigned char b[4] = {static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                                  static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
      if (b[0] == 0 || b[0] == b[1] || (b[0] ^ b[1]) == b[2] || (b[0] ^ b[1] ^ b[2]) == b[3]) continue;
      wchar_t text[16];
      swprintf(text, 16, L"%lu", static_cast<unsigned long>(n));
      *digits += text;
      return Bytes({b[0], b[1], b[2], b[3], b[0] ^ b[1] ^ b[2] ^ b[3]});
    }
  }

 private:
  uint32_t m_next;
};

// Call once the program holds the line (Openers == 1). Its opening purges the line
// after the device is open, so bytes written in between are dropped, possibly in the
// middle of a frame. This writes a zero frame (it types nothing) and waits until the
// line has taken it: either the purge dropped it (whole or a head of it) or the
// program read it, and the program reads only after its purge. Either way the purge
// is over. At most four zero bytes can stay in the receive window; a CardMaker card
// clears them.
inline bool SyncWithOpen(quillon_test::FakeReader& reader, int port, DWORD timeoutMs = 30000) {
  return reader.Write(port, std::string(5, '\0')) && reader.WaitQueued(port, 0, timeoutMs);
}

// Thread handles (SYNCHRONIZE) of the discovery runs of process `pid` that entered
// the WMI query, after the first `skip` queries of the log. The runs must still be
// alive (held in the query), or an ended thread's id could name another thread.
inline std::vector<HANDLE> OpenDiscoveryThreads(const quillon::fakewmi::FakeWmiLog& log, DWORD pid,
                                                int skip) {
  std::vector<HANDLE> threads;
  int seen = 0;
  for (const std::string& line : log.Lines()) {
    if (line.compare(0, 12, "query-begin ") != 0 || seen++ < skip) continue;
    const size_t p = line.find(" pid="), t = line.find(" tid=");
    if (p == std::string::npos || t == std::string::npos) continue;
    if (strtoul(line.c_str() + p + 5, nullptr, 10) != pid) continue;
    const DWORD tid = strtoul(line.c_str() + t + 5, nullptr, 10);
    if (HANDLE h = OpenThread(SYNCHRONIZE, FALSE, tid)) threads.push_back(h);
  }
  return threads;
}

}  // namespace quillon_system
