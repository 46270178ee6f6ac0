#include "tests/support/fakewmi/FakeWmiLog.h"

#include <cstdio>

namespace quillon {
namespace fakewmi {

namespace {

// One lock for every process of the prefix that writes or empties a log.
class LogLock {
 public:
  LogLock() : m_mutex(CreateMutexW(nullptr, FALSE, L"Local\\QuillonFakeWmiLog")) {
    // WAIT_ABANDONED (a writer died mid-line) still gives us the lock.
    if (m_mutex) WaitForSingleObject(m_mutex, 10000);
  }
  ~LogLock() {
    if (m_mutex) {
      ReleaseMutex(m_mutex);
      CloseHandle(m_mutex);
    }
  }
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;

 private:
  HANDLE m_mutex;
};

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

void AppendLog(const std::wstring& path, const char* event, const std::string& rest) {
  if (path.empty()) return;
  char head[96];
  snprintf(head, sizeof head, "%s pid=%lu tid=%lu", event, GetCurrentProcessId(), GetCurrentThreadId());
  std::string line = head;
  if (!rest.empty()) line += " " + rest;
  line += "\n";
  LogLock lock;
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written;
  SetFilePointer(file, 0, nullptr, FILE_END);
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

std::vector<std::string> FakeWmiLog::Lines() const {
  std::string text;
  {
    LogLock lock;
    HANDLE file = CreateFileW(m_path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    char buf[65536];
    DWORD got;
    while (ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got);
    CloseHandle(file);
  }
  std::vector<std::string> lines;
  size_t pos = 0, eol;
  while ((eol = text.find('\n', pos)) != std::string::npos) {
    lines.push_back(text.substr(pos, eol - pos));
    pos = eol + 1;
  }
  return lines;
}

int FakeWmiLog::Count(const char* event) const {
  const std::string prefix = std::string(event) + " ";
  int n = 0;
  for (const std::string& line : Lines())
    if (line.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

bool FakeWmiLog::WaitForCount(const char* event, int count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (Count(event) >= count) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

void FakeWmiLog::Clear() const {
  LogLock lock;
  HANDLE file = CreateFileW(m_path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace fakewmi
}  // namespace quillon
