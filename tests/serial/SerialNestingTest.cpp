// The owner's thread waits on the port while answering sent messages, so a handler
// can ask for a Close inside Close's own wait for the event thread.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "MessageSink.h"
#include "SerialPortAccess.h"
#include "serial/SerialMessages.h"
#include "tests/support/reader/FakeReader.h"

namespace {

constexpr DWORD kLong = 60000;
constexpr int kNestingPort = 61;  // apart from the other serial tests' ports

template <class Cond>
bool WaitFor(Cond cond) {
  for (const ULONGLONG end = GetTickCount64() + kLong; !cond(); Sleep(10))
    if (GetTickCount64() > end) return false;
  return true;
}

struct Event {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Event() { CloseHandle(h); }
  bool Wait(DWORD ms = kLong) const { return WaitForSingleObject(h, ms) == WAIT_OBJECT_0; }
};

// The outer Close waits for an event thread that the test keeps from ending (it holds
// the port's lock, so the thread stops outside any send); a Close asked for by a sent
// message then runs inside that wait, and takes fresh handles afterwards, as a handler
// that starts a discovery would. The outer Close must still end, and the port be closed:
// a wait left on a thread handle that the nested call closed (and the system handed out
// again) would never end.
TEST(SerialNesting, ACloseAskedForInsideACloseWaitLetsBothEnd) {
  quillon_test::FakeReader reader;
  ASSERT_TRUE(reader.Connected()) << reader.LastError();
  ASSERT_TRUE(reader.Plug(kNestingPort)) << reader.LastError();
  // Left behind when the outer Close hangs, rather than hanging the test in their destructors.
  auto sink = std::make_unique<MessageSink>();
  auto owned = std::make_unique<CSerialPort>();
  CSerialPort& port = *owned;
  ASSERT_TRUE(port.Open(sink->Window(), kNestingPort, 9600, 'N', 8, 1, EV_RXCHAR | EV_RXFLAG));
  ASSERT_TRUE(port.StartEventThread());

  // The thread delivers "a"; while the owner handles it, the test takes the lock, so the
  // thread's next queue check ("b" waits) blocks outside any send.
  Event inFirst, releaseFirst;
  sink->SetRxCharHook([&](BYTE b) {
    if (b != 'a') return;
    SetEvent(inFirst.h);
    WaitForSingleObject(releaseFirst.h, kLong);
  });
  ASSERT_TRUE(reader.Write(kNestingPort, "ab"));
  ASSERT_TRUE(inFirst.Wait());
  EnterCriticalSection(&Access::Lock(port));
  SetEvent(releaseFirst.h);

  Event outerDone, nestedIn, nestedDone;
  std::vector<HANDLE> taken;
  sink->Post([&] {
    port.Close();
    SetEvent(outerDone.h);
  });
  // The outer Close has signalled the thread to end and waits for it.
  ASSERT_TRUE(WaitFor([&] { return WaitForSingleObject(Access::ShutdownEvent(port), 0) == WAIT_OBJECT_0; }));
  sink->SendNotify([&] {
    SetEvent(nestedIn.h);
    port.Close();
    for (int i = 0; i < 16; ++i) taken.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    SetEvent(nestedDone.h);
  });
  ASSERT_TRUE(nestedIn.Wait());
  LeaveCriticalSection(&Access::Lock(port));

  EXPECT_TRUE(nestedDone.Wait());
  if (!outerDone.Wait()) {
    ADD_FAILURE() << "the outer Close never ended";
    sink.release();
    owned.release();
    return;
  }
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(Access::Thread(port), nullptr);
  sink->SetRxCharHook(nullptr);
  for (HANDLE h : taken) CloseHandle(h);
  reader.Unplug(kNestingPort);
}

}  // namespace
