#include "tests/support/reader/FakeReader.h"

#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace quillon_test {
namespace {

const char kHex[] = "0123456789abcdef";

std::string ToHex(const std::string& bytes) {
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex.push_back(kHex[c >> 4]);
    hex.push_back(kHex[c & 15]);
  }
  return hex;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool FromHex(const std::string& hex, std::string* bytes) {
  if (hex.size() % 2) return false;
  bytes->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

// The reader's TCP port: QUILLON_FAKE_READER_PORT, else the file the test environment wrote.
int ReaderTcpPort(std::string* error) {
  if (const char* direct = getenv("QUILLON_FAKE_READER_PORT")) return atoi(direct);
  const char* build = getenv("QUILLON_BUILD_DIR");
  if (!build || !*build) {
    *error = "QUILLON_BUILD_DIR is not set (run under the build's wine-run)";
    return 0;
  }
  // A Unix path reaches Windows through drive Z:.
  std::string path = std::string("Z:") + build + "/wine-env/fake-reader.port";
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    *error = "cannot read " + path + " (is the test environment started?)";
    return 0;
  }
  int port = 0;
  if (fscanf(f, "%d", &port) != 1) port = 0;
  fclose(f);
  if (!port) *error = "no port number in " + path;
  return port;
}

}  // namespace

FakeReader::FakeReader() : m_socket(INVALID_SOCKET) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    m_lastError = "WSAStartup failed";
    return;
  }
  int port = ReaderTcpPort(&m_lastError);
  if (!port) return;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    m_lastError = "socket failed";
    return;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    m_lastError = "cannot connect to the fake reader on port " + std::to_string(port);
    closesocket(s);
    return;
  }
  BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  m_socket = s;
}

FakeReader::~FakeReader() {
  if (m_socket != INVALID_SOCKET) closesocket(m_socket);
  WSACleanup();
}

bool FakeReader::Request(const std::string& line, std::string* answer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lastError.clear();
  if (m_socket == INVALID_SOCKET) {
    m_lastError = "not connected to the fake reader";
    return false;
  }
  std::string out = line + "\n";
  for (size_t sent = 0; sent < out.size();) {
    int n = send(m_socket, out.data() + sent, static_cast<int>(out.size() - sent), 0);
    if (n <= 0) {
      m_lastError = "send to the fake reader failed";
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  size_t end;
  while ((end = m_pending.find('\n')) == std::string::npos) {
    char buffer[4096];
    int n = recv(m_socket, buffer, sizeof buffer, 0);
    if (n <= 0) {
      m_lastError = "the fake reader closed the connection";
      return false;
    }
    m_pending.append(buffer, static_cast<size_t>(n));
  }
  std::string reply = m_pending.substr(0, end);
  m_pending.erase(0, end + 1);
  if (reply.compare(0, 2, "OK") != 0) {
    m_lastError = reply;
    return false;
  }
  if (answer) *answer = reply.size() > 3 ? reply.substr(3) : std::string();
  return true;
}

bool FakeReader::Plug(int port, std::string* ptyPath) {
  std::string path;
  if (!Request("PLUG " + std::to_string(port), &path)) return false;
  if (ptyPath) *ptyPath = path;
  return true;
}

bool FakeReader::PlugWithoutModemLines(int port) {
  return Request("PLUGRAW " + std::to_string(port), nullptr);
}

bool FakeReader::PlugNotALine(int port) { return Request("PLUGNULL " + std::to_string(port), nullptr); }

bool FakeReader::Renew(int port) { return Request("RENEW " + std::to_string(port), nullptr); }

int FakeReader::OldOpeners(int port) {
  std::string count;
  if (!Request("OLDOPENERS " + std::to_string(port), &count)) return -1;
  return atoi(count.c_str());
}

bool FakeReader::Unplug(int port) { return Request("UNPLUG " + std::to_string(port), nullptr); }

bool FakeReader::Write(int port, const std::string& bytes) {
  std::string count;
  if (!Request("WRITE " + std::to_string(port) + " " + ToHex(bytes), &count)) return false;
  if (count != std::to_string(bytes.size())) {
    m_lastError = "the reader wrote " + count + " of " + std::to_string(bytes.size()) + " bytes";
    return false;
  }
  return true;
}

std::string FakeReader::ReadWritten(int port, size_t atLeast, DWORD timeoutMs) {
  std::string hex, bytes;
  if (!Request(
          "READ " + std::to_string(port) + " " + std::to_string(atLeast) + " " + std::to_string(timeoutMs),
          &hex)) {
    return std::string();
  }
  if (!FromHex(hex, &bytes)) m_lastError = "bad hex from the fake reader";
  return bytes;
}

int FakeReader::Queued(int port) {
  std::string count;
  if (!Request("QUEUED " + std::to_string(port), &count)) return -1;
  return atoi(count.c_str());
}

bool FakeReader::WaitQueued(int port, int count, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    int queued = Queued(port);
    if (queued == count) return true;
    if (queued < 0 || GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

int FakeReader::Openers(int port) {
  std::string count;
  if (!Request("OPENERS " + std::to_string(port), &count)) return -1;
  return atoi(count.c_str());
}

bool FakeReader::WaitOpeners(int port, int count, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    int openers = Openers(port);
    if (openers == count) return true;
    if (openers < 0 || GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

bool FakeReader::Reset() { return Request("RESET", nullptr); }

int TiocmShimActive(int port) {
  wchar_t name[32];
  swprintf(name, 32, L"\\\\.\\COM%d", port);
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  DWORD status = 0;
  BOOL answered = GetCommModemStatus(h, &status);
  CloseHandle(h);
  return answered ? 1 : 0;
}

}  // namespace quillon_test
