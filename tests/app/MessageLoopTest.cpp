#include "app/MessageLoop.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> g_trace;

class RecordingFilter : public CMessageFilter {
 public:
  RecordingFilter(const char* name, BOOL result) : name_(name), result_(result) {}
  BOOL FilterMessage(MSG*) override {
    g_trace.push_back(name_);
    return result_;
  }

 private:
  const char* name_;
  BOOL result_;
};

class RecordingIdle : public CIdleHandler {
 public:
  explicit RecordingIdle(const char* name) : name_(name) {}
  BOOL IdleWork() override {
    g_trace.push_back(name_);
    return TRUE;  // ignored by the loop
  }

 private:
  const char* name_;
};

std::string Joined() {
  std::string s;
  for (const auto& t : g_trace) s += t + " ";
  return s;
}

TEST(MessageLoopFilters, AskedNewestFirstAndTheFirstThatConsumesEndsTheWalk) {
  struct Case {
    BOOL a, b, c;
    const char* trace;
    BOOL result;
  } cases[] = {
      {FALSE, FALSE, FALSE, "c b a ", FALSE},
      {FALSE, TRUE, FALSE, "c b ", TRUE},
      {TRUE, TRUE, TRUE, "c ", TRUE},
      {TRUE, FALSE, FALSE, "c b a ", TRUE},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.trace);
    RecordingFilter a("a", k.a), b("b", k.b), c("c", k.c);
    CMessageLoop loop;
    loop.AddFilter(&a);
    loop.AddFilter(nullptr);  // skipped
    loop.AddFilter(&b);
    loop.AddFilter(&c);
    g_trace.clear();
    MSG msg = {};
    EXPECT_EQ(loop.FilterMessage(&msg), k.result);
    EXPECT_EQ(Joined(), k.trace);
  }
}

TEST(MessageLoopFilters, RemoveTakesOutTheFirstEqualEntryAndIgnoresAbsentOnes) {
  RecordingFilter a("a", FALSE), b("b", FALSE), absent("x", FALSE);
  CMessageLoop loop;
  loop.AddFilter(&a);
  loop.AddFilter(&b);
  loop.AddFilter(&a);
  loop.RemoveFilter(&absent);
  loop.RemoveFilter(&a);  // the first a: b, a remain
  g_trace.clear();
  MSG msg = {};
  loop.FilterMessage(&msg);
  EXPECT_EQ(Joined(), "a b ");
  loop.RemoveFilter(&a);
  loop.RemoveFilter(&a);
  g_trace.clear();
  loop.FilterMessage(&msg);
  EXPECT_EQ(Joined(), "b ");
}

TEST(MessageLoopIdle, HandlersRunInOrderOnceAndRemoveTakesTheFirstEqual) {
  RecordingIdle a("a"), b("b"), absent("x");
  CMessageLoop loop;
  loop.AddIdleHandler(&a);
  loop.AddIdleHandler(nullptr);
  loop.AddIdleHandler(&b);
  loop.AddIdleHandler(&a);
  g_trace.clear();
  EXPECT_FALSE(loop.IdleWork(0));  // FALSE although every handler said TRUE
  EXPECT_EQ(Joined(), "a b a ");
  loop.RemoveIdleHandler(&absent);
  loop.RemoveIdleHandler(&a);
  g_trace.clear();
  loop.IdleWork(0);
  EXPECT_EQ(Joined(), "b a ");
}

LRESULT CALLBACK TracingWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg != WM_NULL) g_trace.push_back("msg" + std::to_string(msg));
  return msg == WM_PAINT ? 0 : DefWindowProcW(hWnd, msg, wParam, lParam);
}

class IdleTracer : public CIdleHandler {
 public:
  BOOL IdleWork() override {
    g_trace.push_back("idle");
    SetEvent(idled);
    return TRUE;
  }
  HANDLE idled = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

// Another thread feeds the loop one message at a time and lets the queue run
// dry after each: after a stream message, two synchronous sends (handled only
// inside the loop's peek and get calls) let the loop pass its idle check; after
// real work, the feeder waits for the idle work itself.
TEST(MessageLoopRun, IdleWorkOncePerIdlePeriodAndStreamMessagesDoNotRearmIt) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = TracingWndProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QuillonIdleTest";
  RegisterClassW(&wc);
  HWND hWnd =
      CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(hWnd, nullptr);
  IdleTracer idle;
  CMessageLoop loop;
  loop.AddIdleHandler(&idle);
  g_trace.clear();
  std::thread feeder([&] {
    auto feed = [&](UINT m) {
      PostMessageW(hWnd, m, 0, 0);
      if (m == WM_APP) {  // real work: idle work must follow
        WaitForSingleObject(idle.idled, 30000);
        return;
      }
      DWORD_PTR r;
      SendMessageTimeoutW(hWnd, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &r);
      SendMessageTimeoutW(hWnd, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &r);
    };
    WaitForSingleObject(idle.idled, 30000);
    for (UINT m :
         std::vector<UINT>{WM_MOUSEMOVE, WM_NCMOUSEMOVE, WM_PAINT, 0x0118, WM_APP, WM_MOUSEMOVE, WM_PAINT})
      feed(m);
    PostMessageW(hWnd, WM_QUIT, 5, 0);
  });
  EXPECT_EQ(loop.RunLoop(), 5);
  feeder.join();
  EXPECT_EQ(Joined(), "idle msg512 msg160 msg15 msg280 msg32768 idle msg512 msg15 ");
  DestroyWindow(hWnd);
}

// Overriding IdleWork shows the loop's own protocol: repeat while it returns
// TRUE and the queue stays empty, counting up; any real message starts over at 0.
class CountingLoop : public CMessageLoop {
 public:
  BOOL IdleWork(int idleCount) override {
    counts.push_back(idleCount);
    if (idleCount == 2 && ++periods == 1) PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0);
    if (idleCount == 2 && periods == 2) PostQuitMessage(7);
    return idleCount < 2;
  }
  std::vector<int> counts;
  int periods = 0;
};

TEST(MessageLoopRun, IdleCountRisesWhileIdleWorkAsksForMoreAndRestartsAfterAMessage) {
  CountingLoop loop;
  EXPECT_EQ(loop.RunLoop(), 7);
  EXPECT_EQ(loop.counts, (std::vector<int>{0, 1, 2, 0, 1, 2}));
}

LRESULT CALLBACK RecordingWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg >= WM_APP) g_trace.push_back("dispatched" + std::to_string(msg - WM_APP));
  return DefWindowProcW(hWnd, msg, wParam, lParam);
}

class ConsumeApp1 : public CMessageFilter {
 public:
  BOOL FilterMessage(MSG* msg) override { return msg->message == WM_APP + 1; }
};

TEST(MessageLoopRun, AConsumedMessageIsNotDispatchedOthersAreAndGetMessageErrorsAreSkipped) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = RecordingWndProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QuillonLoopTest";
  RegisterClassW(&wc);
  HWND hWnd =
      CreateWindowW(L"QuillonLoopTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(hWnd, nullptr);
  ConsumeApp1 filter;
  CMessageLoop loop;
  loop.AddFilter(&filter);
  g_trace.clear();
  PostMessageW(hWnd, WM_APP + 0, 0, 0);
  PostMessageW(hWnd, WM_APP + 1, 0, 0);
  PostMessageW(hWnd, WM_APP + 2, 0, 0);
  PostQuitMessage(3);
  EXPECT_EQ(loop.RunLoop(), 3);
  EXPECT_EQ(Joined(), "dispatched0 dispatched2 ");
  DestroyWindow(hWnd);
}

}  // namespace
