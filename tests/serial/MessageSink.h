#pragma once
// An owner window for a CSerialPort under test: a message-only window on a thread of
// its own (as the UI thread is in the program), recording every serial message with
// the time it was handled.

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SinkMessage {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LONGLONG ticks;  // QueryPerformanceCounter when handled
};

class MessageSink {
 public:
  MessageSink();
  ~MessageSink();
  MessageSink(const MessageSink&) = delete;
  MessageSink& operator=(const MessageSink&) = delete;

  HWND Window() const { return m_hwnd; }
  std::vector<SinkMessage> Messages();
  size_t Count(UINT message);
  // The wParams of every WM_SERIAL_RXCHAR so far, as bytes.
  std::string Bytes();
  void Clear();
  // Waits until `count` messages of this number have been handled.
  bool WaitForCount(UINT message, size_t count, DWORD timeoutMs);
  // Waits until every message posted to the window before this call has been handled.
  bool Flush(DWORD timeoutMs = 30000);
  // Posts `task` to run on the window's thread, as a handler of a posted message would.
  void Post(std::function<void()> task);
  // The same as a sent message (SendNotifyMessage): it runs inside any wait of the window's
  // thread that answers sent messages, and the caller does not wait for it.
  void SendNotify(std::function<void()> task);
  // Runs on the window's thread inside each WM_SERIAL_RXCHAR, after it is recorded.
  void SetRxCharHook(std::function<void(BYTE)> hook);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void Run();

  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<SinkMessage> m_messages;
  std::function<void(BYTE)> m_hook;
  unsigned m_flushesDone = 0;
  HWND m_hwnd = nullptr;
  bool m_ready = false;
};
