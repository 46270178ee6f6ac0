#pragma once
// Windows-side client of the fake card reader (fake_reader.py), which the test
// environment starts on the Linux side. It plays the device behind COM ports of
// the test prefix: each plugged port is a pty the reader holds the other end of.
//
//   FakeReader reader;                   // connects; reader.Connected()
//   reader.Plug(21);                     // \\.\COM21 now opens
//   reader.Write(21, std::string("\x01\x02", 2));
//   reader.ReadWritten(21, 3, 10000);    // what the program wrote to COM21
//   reader.Unplug(21);                   // the program sees the device vanish
//
// Calls block until the reader has answered; one client may be shared between
// threads (requests are serialised).

#include <winsock2.h>
#include <windows.h>

#include <mutex>
#include <string>

namespace quillon_test {

class FakeReader {
 public:
  // Connects to the reader whose TCP port is in QUILLON_BUILD_DIR/wine-env/fake-reader.port
  // (QUILLON_FAKE_READER_PORT, when set, names the port directly).
  FakeReader();
  ~FakeReader();
  FakeReader(const FakeReader&) = delete;
  FakeReader& operator=(const FakeReader&) = delete;

  bool Connected() const { return m_socket != INVALID_SOCKET; }
  // Why the last call failed ("" after a success).
  const std::string& LastError() const { return m_lastError; }

  // Maps COM<port> to a new pty (an earlier one of that port is unplugged first); the pty's
  // path ("/dev/pts/3") goes to ptyPath when given.
  bool Plug(int port, std::string* ptyPath = nullptr);
  // Plugs a pty that the modem-status shim leaves alone, so every event wait on it
  // completes at once with nothing queued, as with a misbehaving driver.
  bool PlugWithoutModemLines(int port);
  // Maps COM<port> to /dev/null: it opens, but is no serial line.
  bool PlugNotALine(int port);
  // Closes the pty and removes the mapping: the device is gone.
  bool Unplug(int port);
  bool Replug(int port) { return Unplug(port) && Plug(port); }
  // Maps COM<port> to a new pty and keeps the earlier one open and silent: the device came
  // back as a new instance under the same name, and a handle to the old one never hears of it.
  bool Renew(int port);
  // How many handles of Windows programs still hold the ptys that Renew left behind; -1 on failure.
  int OldOpeners(int port);
  // Sends bytes to the program; returns once the pty took all of them.
  bool Write(int port, const std::string& bytes);
  // Takes the bytes the program wrote to COM<port>, waiting up to timeoutMs for at least
  // atLeast of them. Empty on failure (see LastError).
  std::string ReadWritten(int port, size_t atLeast = 0, DWORD timeoutMs = 0);
  // Bytes sent to COM<port> that the program has not read yet; -1 on failure.
  int Queued(int port);
  // Waits up to timeoutMs until exactly `count` bytes are queued for the program.
  bool WaitQueued(int port, int count, DWORD timeoutMs);
  // How many open handles of Windows programs the line has now; -1 on failure.
  int Openers(int port);
  // Waits up to timeoutMs until exactly `count` handles hold the line.
  bool WaitOpeners(int port, int count, DWORD timeoutMs);
  bool Reset();

 private:
  bool Request(const std::string& line, std::string* answer);

  std::mutex m_mutex;
  SOCKET m_socket;
  std::string m_pending;
  std::string m_lastError;
};

// Whether the modem-status shim (libquillon_tiocm.so) works in this process, seen through
// its effect: on a pty, GetCommModemStatus succeeds only with the shim. The port must be
// plugged and free. 1 active, 0 not, -1 the port did not open. The build's wine-run
// preloads the shim unless QUILLON_NO_TIOCM_SHIM is set.
int TiocmShimActive(int port);

}  // namespace quillon_test
