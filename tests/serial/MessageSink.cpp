#include "MessageSink.h"

#include <chrono>

#include "serial/SerialMessages.h"

namespace {
const UINT kFlush = WM_APP + 1;
const UINT kQuit = WM_APP + 2;
const UINT kTask = WM_APP + 3;
const wchar_t kClassName[] = L"QuillonSerialTestSink";

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}
}  // namespace

MessageSink::MessageSink() {
  m_thread = std::thread([this] { Run(); });
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait(lock, [this] { return m_ready; });
}

MessageSink::~MessageSink() {
  if (m_hwnd) PostMessageW(m_hwnd, kQuit, 0, 0);
  m_thread.join();
}

void MessageSink::Run() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kClassName;
  RegisterClassW(&wc);  // fails harmlessly when an earlier sink registered it
  HWND hwnd =
      CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hwnd = hwnd;
    m_ready = true;
  }
  m_changed.notify_all();
  if (!hwnd) return;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == kQuit) break;
    DispatchMessageW(&msg);
  }
  DestroyWindow(hwnd);
}

LRESULT CALLBACK MessageSink::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* sink = reinterpret_cast<MessageSink*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!sink) return DefWindowProcW(hwnd, message, wParam, lParam);
  if (message == kTask) {
    auto* task = reinterpret_cast<std::function<void()>*>(lParam);
    (*task)();
    delete task;
    return 0;
  }
  if (message == kFlush) {
    {
      std::lock_guard<std::mutex> lock(sink->m_mutex);
      ++sink->m_flushesDone;
    }
    sink->m_changed.notify_all();
    return 0;
  }
  if (message > WM_USER && message <= WM_SERIAL_LOST) {
    std::function<void(BYTE)> hook;
    {
      std::lock_guard<std::mutex> lock(sink->m_mutex);
      sink->m_messages.push_back({message, wParam, lParam, Now()});
      if (message == WM_SERIAL_RXCHAR) hook = sink->m_hook;
    }
    sink->m_changed.notify_all();
    if (hook) hook(static_cast<BYTE>(wParam));
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

std::vector<SinkMessage> MessageSink::Messages() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_messages;
}

size_t MessageSink::Count(UINT message) {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t n = 0;
  for (const SinkMessage& m : m_messages) n += m.message == message;
  return n;
}

std::string MessageSink::Bytes() {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string bytes;
  for (const SinkMessage& m : m_messages) {
    if (m.message == WM_SERIAL_RXCHAR) bytes.push_back(static_cast<char>(m.wParam));
  }
  return bytes;
}

void MessageSink::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_messages.clear();
}

bool MessageSink::WaitForCount(UINT message, size_t count, DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    size_t n = 0;
    for (const SinkMessage& m : m_messages) n += m.message == message;
    return n >= count;
  });
}

bool MessageSink::Flush(DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  unsigned target = m_flushesDone + 1;
  lock.unlock();
  PostMessageW(m_hwnd, kFlush, 0, 0);
  lock.lock();
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_flushesDone >= target; });
}

void MessageSink::SendNotify(std::function<void()> task) {
  SendNotifyMessageW(m_hwnd, kTask, 0, reinterpret_cast<LPARAM>(new std::function<void()>(std::move(task))));
}

void MessageSink::Post(std::function<void()> task) {
  PostMessageW(m_hwnd, kTask, 0, reinterpret_cast<LPARAM>(new std::function<void()>(std::move(task))));
}

void MessageSink::SetRxCharHook(std::function<void(BYTE)> hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_hook = std::move(hook);
}
