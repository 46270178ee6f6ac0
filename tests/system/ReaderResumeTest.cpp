// Sleep, resume and re-enumeration, and the reader's removal, black box. A reader
// that comes back from sleep or a bus reset is a new device instance under the
// same COM name: the fake reader maps COM7 to a new pty and keeps the old one
// open and silent, as the old device object stays behind. The real Quillon.exe is
// sent the broadcasts Windows would send; QuillonProbe.exe is used where a test
// must see the port's handles or hold its runs.
#include <windows.h>
#include <dbt.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tests/support/fakewmi/FakeWmi.h"
#include "tests/support/reader/FakeReader.h"
#include "tests/system/ProbeControl.h"
#include "tests/system/ProbeDiscovery.h"
#include "tests/system/ReaderFixture.h"
#include "tests/system/ReaderTestSupport.h"
#include "tests/system/SystemTestSupport.h"

namespace {

using namespace quillon_system;
using quillon::fakewmi::FakeWmiConfig;
using quillon::fakewmi::ScopedFakeWmi;

class ReaderResume : public ReaderFixture {
 protected:
  ReaderResume() : ReaderFixture(L"Quillon resume") {}

  void SendPower(WPARAM event) {
    EXPECT_EQ(SendAsSystem(quillon_.Dialog(), WM_POWERBROADCAST, event, 0), 1u);
  }

  // The program holds the new line and let go of the old one, and its opening's purge is over.
  ::testing::AssertionResult OnTheNewLine() {
    if (!reader_.WaitOpeners(kReaderPort, 1, kLong))
      return ::testing::AssertionFailure() << "new line not opened";
    if (!WaitFor(kLong, [&] { return reader_.OldOpeners(kReaderPort) == 0; }))
      return ::testing::AssertionFailure() << "the old line is still held";
    if (!SyncWithOpen(reader_, kReaderPort)) return ::testing::AssertionFailure() << reader_.LastError();
    return ::testing::AssertionSuccess();
  }

  // Two cards on the new line: the first types exactly once, and nothing comes between.
  void ExpectCardsTypeOnce() {
    CardMaker cards;
    std::wstring expected = Text();
    ASSERT_TRUE(reader_.Write(kReaderPort, cards.Next(&expected)));
    ASSERT_TRUE(reader_.Write(kReaderPort, cards.Next(&expected)));
    WaitFor(kLong, [&] { return Text().size() >= expected.size(); });
    EXPECT_EQ(Text(), expected);
  }

  // Once `queries` device queries have started, no further one starts for a while.
  bool NoMoreQueriesThan(int queries) { return !wmi_->Log().WaitForCount("query-begin", queries + 1, 2000); }
};

// The PC slept and the reader came back as a new instance: nothing ever reaches the
// old handle. The resume reopens the port, and the next card types once. Prints the
// time from the broadcast to the new line's opening.
TEST_F(ReaderResume, AResumeAfterTheReaderCameBackAsANewInstanceTypesTheNextCard) {
  ASSERT_TRUE(reader_.Renew(kReaderPort)) << reader_.LastError();
  const DWORD sent = GetTickCount();
  SendPower(PBT_APMRESUMEAUTOMATIC);
  ASSERT_TRUE(reader_.WaitOpeners(kReaderPort, 1, kLong)) << LogText();
  std::printf("resume broadcast to port open: %lu ms\n", static_cast<unsigned long>(GetTickCount() - sent));
  ASSERT_TRUE(OnTheNewLine());
  ExpectCardsTypeOnce();
}

// Suspend, re-enumeration, then both broadcasts of one resume (the automatic one, and
// the one for a person at the desk): one reopen, one run, and the next card types once.
TEST_F(ReaderResume, BothBroadcastsOfOneResumeReopenOnce) {
  SendPower(PBT_APMSUSPEND);
  EXPECT_EQ(reader_.Openers(kReaderPort), 1);  // the port stays open across the sleep
  ASSERT_TRUE(reader_.Renew(kReaderPort)) << reader_.LastError();
  const int queries = wmi_->Log().Count("query-begin");
  SendPower(PBT_APMRESUMEAUTOMATIC);
  SendPower(PBT_APMRESUMESUSPEND);
  ASSERT_TRUE(OnTheNewLine()) << LogText();
  EXPECT_TRUE(NoMoreQueriesThan(queries + 1)) << LogText();
  ExpectCardsTypeOnce();
}

// The reader's own port arrives again while it is open (any case): reopened. Another
// port's arrival in the middle of a card leaves the card whole (the end-to-end tests'
// split card).
TEST_F(ReaderResume, TheReadersOwnPortArrivingAgainReopensIt) {
  ASSERT_TRUE(reader_.Renew(kReaderPort)) << reader_.LastError();
  PortRecord again(L"com7");
  EXPECT_EQ(SendAsSystem(quillon_.Dialog(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, again.Param()), 0u);
  ASSERT_TRUE(OnTheNewLine()) << LogText();
  ExpectCardsTypeOnce();
}

// --- through the probe build: the port's handles, held runs --------------

// QuillonProbe.exe whose runs are the program's own discovery, and what they leave in
// the port: the rig's reader on COM7 listed by the test provider.
class ProbeRig : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(reader_.Connected()) << reader_.LastError();
    ASSERT_TRUE(reader_.Plug(kReaderPort)) << reader_.LastError();
    wmi_.reset(new ScopedFakeWmi(ReaderDevices()));
    ASSERT_EQ(wmi_->Result(), S_OK);
    ASSERT_NE(real_, nullptr);
    ASSERT_NE(published_, nullptr);
    ASSERT_TRUE(q_.Start(QUILLON_PROBE_EXE));
    ASSERT_TRUE(ProbeObjects::Take(probe_.started, 1));
    ASSERT_TRUE(ProbeObjects::Take(probe_.ended, 1));
    ASSERT_TRUE(reader_.WaitOpeners(kReaderPort, 1, kLong));
  }
  void TearDown() override {
    q_.Stop();
    reader_.Unplug(kReaderPort);
    wmi_.reset();
  }
  ~ProbeRig() override {
    if (published_) UnmapViewOfFile(published_);
    CloseHandle(mapping_);
    CloseHandle(real_);
  }

  // As the probe's last run left it (it writes the mapping before it counts the run as ended).
  ProbePort Port() const {
    MemoryBarrier();
    ProbePort port;
    memcpy(&port, published_, sizeof(port));
    return port;
  }
  DWORD_PTR SendHandleEvent(WPARAM event, const ProbePort& port) {
    DEV_BROADCAST_HANDLE record = HandleRecord(port.comm, port.notify);
    return SendAsSystem(q_.Dialog(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&record));
  }

  ProbeObjects probe_;
  HANDLE real_ = CreateEventW(nullptr, TRUE, FALSE, kProbeReal);
  HANDLE mapping_ =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ProbePort), kProbePort);
  ProbePort* published_ =
      static_cast<ProbePort*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, sizeof(ProbePort)));
  quillon_test::FakeReader reader_;
  std::unique_ptr<ScopedFakeWmi> wmi_;
  Program q_;
};

// A driver update or "safely remove": the query to remove closes the port and grants
// the removal; its failure opens the port again; the removal itself (the reader no
// longer listed) closes the new opening. Notifications whose handles are not the
// port's, or whose registration has ended, change nothing.
TEST_F(ProbeRig, TheDevicesRemovalTakesThePortAndItsFailureGivesItBack) {
  const ProbePort first = Port();
  ASSERT_NE(first.comm, 0u);
  ASSERT_NE(first.notify, 0u);
  ProbePort other = first;
  other.comm += 4;
  EXPECT_EQ(SendHandleEvent(DBT_DEVICEQUERYREMOVE, other), 0u);  // not its handle: no guess
  other = first;
  other.notify += 8;
  EXPECT_EQ(SendHandleEvent(DBT_DEVICEREMOVECOMPLETE, other), 0u);
  EXPECT_EQ(ProbeObjects::Extra(probe_.started), 0);
  EXPECT_EQ(reader_.Openers(kReaderPort), 1);

  EXPECT_EQ(SendHandleEvent(DBT_DEVICEQUERYREMOVE, first), static_cast<DWORD_PTR>(TRUE));
  EXPECT_TRUE(reader_.WaitOpeners(kReaderPort, 0, kLong));
  EXPECT_EQ(ProbeObjects::Extra(probe_.started), 0);  // nothing reopens while the removal is pending

  EXPECT_EQ(SendHandleEvent(DBT_DEVICEQUERYREMOVEFAILED, first), 0u);
  ASSERT_TRUE(ProbeObjects::Take(probe_.started, 1));
  ASSERT_TRUE(ProbeObjects::Take(probe_.ended, 1));
  EXPECT_TRUE(reader_.WaitOpeners(kReaderPort, 1, kLong));
  const ProbePort second = Port();
  EXPECT_GT(second.opening, first.opening);
  EXPECT_EQ(SendHandleEvent(DBT_DEVICEQUERYREMOVEFAILED, first), 0u);  // that registration has ended
  EXPECT_EQ(ProbeObjects::Extra(probe_.started), 0);

  FakeWmiConfig gone;
  gone.Add(L"Communications Port (COM1)", L"ACPI\\PNP0501\\1");
  ASSERT_TRUE(wmi_->SetConfig(gone));
  EXPECT_EQ(SendHandleEvent(DBT_DEVICEREMOVECOMPLETE, second), 0u);
  EXPECT_TRUE(reader_.WaitOpeners(kReaderPort, 0, kLong));
  ASSERT_TRUE(ProbeObjects::Take(probe_.ended, 1));  // the loss looks for the reader once
  EXPECT_EQ(ProbeObjects::Extra(probe_.started), 1);
  EXPECT_EQ(reader_.Openers(kReaderPort), 0);
  EXPECT_TRUE(q_.Running());
}

// The device list cannot be read while the reader's port is open: nothing is tried
// again, and the opening stays.
TEST_F(ProbeRig, AnUnreadableListWhileThePortIsOpenIsNotTriedAgain) {
  FakeWmiConfig failing = ReaderDevices();
  failing.queryFailure = quillon::fakewmi::kWbemFailed;
  ASSERT_TRUE(wmi_->SetConfig(failing));
  SendArrival(q_.Dialog());
  ASSERT_TRUE(ProbeObjects::Take(probe_.started, 1));
  ASSERT_TRUE(ProbeObjects::Take(probe_.ended, 1));
  EXPECT_EQ(ProbeObjects::Extra(probe_.started, 3000), 0) << "a retry while the port is open";
  EXPECT_EQ(reader_.Openers(kReaderPort), 1);
}

void SendSession(HWND dialog, WPARAM change) {
  EXPECT_NE(SendAsSystem(dialog, WM_WTSSESSION_CHANGE, change, WTSGetActiveConsoleSessionId()), 99u);
}

// A resume while this session is off the screen opens nothing; the session coming back
// looks for the reader once; a resume on screen looks again.
TEST(QuillonResume, AResumeWhileTheSessionIsAwayOpensNothingUntilItComesBack) {
  ProbeObjects probe;
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));
  SendSession(q.Dialog(), WTS_CONSOLE_DISCONNECT);
  EXPECT_EQ(SendAsSystem(q.Dialog(), WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0), 1u);
  EXPECT_EQ(ProbeObjects::Extra(probe.started), 0);
  SendSession(q.Dialog(), WTS_CONSOLE_CONNECT);
  EXPECT_TRUE(ProbeObjects::Take(probe.started, 1));
  EXPECT_EQ(ProbeObjects::Extra(probe.started), 0);
  EXPECT_EQ(SendAsSystem(q.Dialog(), WM_POWERBROADCAST, PBT_APMSUSPEND, 0), 1u);
  EXPECT_EQ(SendAsSystem(q.Dialog(), WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0), 1u);
  EXPECT_TRUE(ProbeObjects::Take(probe.started, 1));
  EXPECT_EQ(ProbeObjects::Extra(probe.started), 0);
}

// The shell may send the tray icon's callback. One that arrives while the UI thread
// waits for the port (here: a session change waits for a run's open step) must not run
// the menu's modal loop inside that wait; the menu opens once the wait is over.
TEST(QuillonNesting, ATrayClickDuringAWaitOnThePortOpensTheMenuAfterIt) {
  ProbeObjects probe;
  HANDLE holdOpen = probe.HoldOpen(1);
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));
  const HWND dialog = q.Dialog();
  ASSERT_TRUE(SendNotifyMessageW(dialog, WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT,
                                 WTSGetActiveConsoleSessionId()));
  ASSERT_TRUE(SendNotifyMessageW(dialog, RegisterWindowMessageW(L"WM_TRAYICON"), 1, WM_RBUTTONUP));
  // Answered inside the wait, after the callback.
  EXPECT_NE(SendAsSystem(dialog, WM_NULL, 0, 0), 99u);
  auto menuOpen = [&] { return FindTopLevel(q.Pid(), L"#32768", nullptr, true) != nullptr; };
  EXPECT_FALSE(WaitFor(1000, menuOpen)) << "the menu opened inside the wait";
  SetEvent(holdOpen);
  ASSERT_TRUE(WaitFor(kLong, menuOpen));
  PressKey(VK_ESCAPE);
  EXPECT_TRUE(WaitFor(kLong, [&] { return !menuOpen(); }));
  EXPECT_TRUE(q.Running());
}

}  // namespace
