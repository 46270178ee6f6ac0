#include "ui/RunCounter.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(RunCounter, WaitsUntilTheLastRunEnds) {
  CRunCounter runs;
  EXPECT_TRUE(runs.WaitIdle(0));
  runs.Begin();
  runs.Begin();
  EXPECT_EQ(runs.Count(), 2);
  EXPECT_FALSE(runs.WaitIdle(0));
  HANDLE oneEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread first([&] {
    runs.End();
    SetEvent(oneEnded);
  });
  ASSERT_EQ(WaitForSingleObject(oneEnded, 30000), WAIT_OBJECT_0);
  EXPECT_FALSE(runs.WaitIdle(50));  // one run is still counted
  std::thread second([&] { runs.End(); });
  EXPECT_TRUE(runs.WaitIdle(30000));
  EXPECT_EQ(runs.Count(), 0);
  first.join();
  second.join();
  runs.Begin();  // counting again after idle
  EXPECT_FALSE(runs.WaitIdle(0));
  runs.End();
  EXPECT_TRUE(runs.WaitIdle(0));
  CloseHandle(oneEnded);
}

// A run that, before it can end, waits for a thread that is sending to the
// waiting thread's window (the shape of a discovery closing a serial port whose
// event thread is mid-send): the wait must answer the send, not deadlock.
TEST(RunCounter, TheWaitAnswersMessagesSentToItsThread) {
  HWND hWnd = CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(hWnd, nullptr);
  CRunCounter runs;
  runs.Begin();
  DWORD_PTR answer = 0;
  std::thread run([&] {
    std::thread sender(
        [&] { SendMessageTimeoutW(hWnd, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 60000, &answer); });
    sender.join();
    runs.End();
  });
  EXPECT_TRUE(runs.WaitIdle(60000));
  run.join();
  DestroyWindow(hWnd);
}

}  // namespace
