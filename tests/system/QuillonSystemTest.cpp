// Black-box tests of Quillon.exe under Wine on the test display: a test starts
// the program, finds its hidden dialog, talks to it only with window messages
// and watches what the program does (windows, tray icon, typed keys, exit code).
#include <windows.h>
#include <dbt.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fakewmi/FakeWmi.h"
#include "tests/support/targetwindow/TargetWindow.h"
#include "tests/system/ProbeControl.h"
#include "tests/system/ProbeDiscovery.h"
#include "tests/system/SystemTestSupport.h"

namespace {

using namespace quillon_system;

// Quillon.exe's discovery binds "winmgmts:". Wine's own WMI answers it from an
// out-of-process host that outlives the program and keeps the test runner's
// output pipe open, so these tests give it the test provider with no devices.
class NoDevicesWmi : public ::testing::Environment {
 public:
  void SetUp() override {
    wmi_.reset(new quillon::fakewmi::ScopedFakeWmi());
    ASSERT_EQ(wmi_->Result(), S_OK);
  }
  void TearDown() override { wmi_.reset(); }

 private:
  std::unique_ptr<quillon::fakewmi::ScopedFakeWmi> wmi_;
};
[[maybe_unused]] const auto* const g_noDevicesWmi = ::testing::AddGlobalTestEnvironment(new NoDevicesWmi);

constexpr UINT kRxChar = WM_USER + 7;

UINT TrayMessage() { return RegisterWindowMessageW(L"WM_TRAYICON"); }

HWND OpenMenuOf(Program& p) { return FindTopLevel(p.Pid(), L"#32768", nullptr, true); }

bool WaitForMenu(Program& p, bool open) {
  return WaitFor(kLong, [&] { return (OpenMenuOf(p) != nullptr) == open; });
}

// Out-of-context window events of one process, counted per event. Each watch
// has its own hook; the callback finds the watch by its hook.
struct EventWatch {
  static std::map<HWINEVENTHOOK, std::vector<std::pair<DWORD, HWND>>*>& Routes() {
    static std::map<HWINEVENTHOOK, std::vector<std::pair<DWORD, HWND>>*> routes;
    return routes;
  }
  static void CALLBACK Hook(HWINEVENTHOOK hook, DWORD event, HWND hWnd, LONG idObject, LONG, DWORD, DWORD) {
    auto route = Routes().find(hook);
    if (idObject == OBJID_WINDOW && route != Routes().end()) route->second->push_back({event, hWnd});
  }
  std::vector<std::pair<DWORD, HWND>> seen;
  HWINEVENTHOOK hook = nullptr;
  void Watch(DWORD pid) {
    hook =
        SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_SHOW, nullptr, Hook, pid, 0, WINEVENT_OUTOFCONTEXT);
    if (hook) Routes()[hook] = &seen;
  }
  int Count(DWORD event, HWND hWnd = nullptr) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    int n = 0;
    for (auto& e : seen)
      if (e.first == event && (!hWnd || e.second == hWnd)) ++n;
    return n;
  }
  ~EventWatch() {
    if (!hook) return;
    UnhookWinEvent(hook);
    Routes().erase(hook);
  }
};

TEST(Quillon, ASecondCopyEndsAtOnceWithZeroAndCreatesNoWindow) {
  Program first, second;
  EventWatch firstEvents, secondEvents;
  ASSERT_TRUE(first.Launch(
      QUILLON_EXE, [](DWORD pid, void* w) { static_cast<EventWatch*>(w)->Watch(pid); }, &firstEvents));
  ASSERT_TRUE(WaitFor(kLong, [&] { return first.FindDialog() != nullptr && IconExists(first.Dialog()); }));
  EXPECT_GT(firstEvents.Count(EVENT_OBJECT_CREATE), 0);  // the watch sees a copy that does create windows

  ASSERT_TRUE(second.Launch(
      QUILLON_EXE, [](DWORD pid, void* w) { static_cast<EventWatch*>(w)->Watch(pid); }, &secondEvents));
  EXPECT_EQ(second.Wait(), 0u);
  EXPECT_EQ(secondEvents.Count(EVENT_OBJECT_CREATE), 0);
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(IconExists(first.Dialog()));
  EXPECT_EQ(FindTopLevel(second.Pid(), L"#32770", L"Quillon", false), nullptr);
}

TEST(Quillon, HiddenDialogTrayIconAndMenu) {
  Program q;
  EventWatch events;
  ASSERT_TRUE(q.Launch(
      QUILLON_EXE, [](DWORD pid, void* w) { static_cast<EventWatch*>(w)->Watch(pid); }, &events));
  WaitForInputIdle(q.Process(), kLong);
  ASSERT_TRUE(WaitFor(kLong, [&] { return q.FindDialog() != nullptr && IconExists(q.Dialog()); }));
  HWND dlg = q.Dialog();
  EXPECT_FALSE(IsWindowVisible(dlg));

  // Presses, a double click and a mouse move over the icon show nothing: the
  // send returns at once (an open menu would keep it waiting).
  for (LPARAM lp : {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONDBLCLK, WM_MOUSEMOVE, WM_MBUTTONUP}) {
    SCOPED_TRACE(lp);
    DWORD_PTR result = 99;
    EXPECT_NE(SendMessageTimeoutW(dlg, TrayMessage(), 1, lp, SMTO_NORMAL, 10000, &result), 0);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(OpenMenuOf(q), nullptr);
  }

  // A left-button release opens the menu; Escape closes it and nothing else happens.
  PostMessageW(dlg, TrayMessage(), 1, WM_LBUTTONUP);
  ASSERT_TRUE(WaitForMenu(q, true));
  PressKey(VK_ESCAPE);
  ASSERT_TRUE(WaitForMenu(q, false));
  EXPECT_TRUE(q.Running());
  EXPECT_TRUE(IconExists(dlg));

  // A right-button release opens it again; clicking its one item ends the program with 1.
  PostMessageW(dlg, TrayMessage(), 7, WM_RBUTTONUP);
  ASSERT_TRUE(WaitForMenu(q, true));
  HWND menu = OpenMenuOf(q);
  RECT rc;
  ASSERT_TRUE(GetWindowRect(menu, &rc));
  EXPECT_FALSE(IsWindowVisible(dlg));
  EXPECT_EQ(events.Count(EVENT_OBJECT_SHOW, dlg), 0);  // never shown, not even for a moment
  SetCursorPos((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2);
  INPUT click[2] = {};
  click[0].type = click[1].type = INPUT_MOUSE;
  click[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  click[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, click, sizeof(INPUT));
  EXPECT_EQ(q.Wait(), 1u);
  EXPECT_FALSE(IconExists(dlg));
}

TEST(Quillon, CommandsAndCloseEndWithTheirCodesOtherCommandsDoNothing) {
  struct Case {
    UINT msg;
    WPARAM wParam;
    DWORD exitCode;
  } cases[] = {{WM_CLOSE, 0, 2}, {WM_COMMAND, 1, 1}, {WM_COMMAND, MAKEWPARAM(2, BN_CLICKED), 2}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.msg * 100 + k.wParam);
    Program q;
    ASSERT_TRUE(q.Start(QUILLON_EXE));
    for (WPARAM other : {WPARAM(0), WPARAM(3), WPARAM(128), WPARAM(0x10000)}) {
      DWORD_PTR result;
      EXPECT_NE(SendMessageTimeoutW(q.Dialog(), WM_COMMAND, other, 0, SMTO_NORMAL, 10000, &result), 0);
    }
    EXPECT_TRUE(q.Running());
    EXPECT_TRUE(IconExists(q.Dialog()));
    PostMessageW(q.Dialog(), k.msg, k.wParam, 0);
    EXPECT_EQ(q.Wait(), k.exitCode);
    EXPECT_FALSE(IconExists(q.Dialog()));
  }
}

TEST(Quillon, ReceivedFrameBytesAreTypedIntoTheFocusedWindow) {
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_EXE));
  TargetWindow target;
  ASSERT_TRUE(StartTargetWindow(WinePath(TARGET_WINDOW_EXE), L"Quillon typing test", target));
  // noise, a 5-byte frame, a 9-byte frame, a frame of zero (types nothing), a
  // wrong check byte pushed out by a last 5-byte frame that marks the end.
  const std::vector<int> bytes = {0xAA, 0x12, 0x34, 0x56, 0x78, 0x08, 0x01, 0x02, 0x03, 0x04,
                                  0x05, 0x06, 0x07, 0x08, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00,
                                  0x12, 0x34, 0x56, 0x78, 0xF7, 0x00, 0x00, 0x30, 0x39, 0x09};
  for (int b : bytes) {
    DWORD_PTR result = 99;
    ASSERT_NE(SendMessageTimeoutW(q.Dialog(), kRxChar, b, 7, SMTO_NORMAL, kLong, &result), 0);
    EXPECT_EQ(result, 0u);
  }
  const std::wstring expected =
      L"305419896"
      L"72623859790382856"
      L"12345";
  WaitFor(kLong, [&] { return GetTargetText(target.edit).size() >= expected.size(); });
  EXPECT_EQ(GetTargetText(target.edit), expected);
  StopTargetWindow(target);
}

// --- discovery runs, seen through the probe build --------------------------

TEST(QuillonDiscovery, OneRunAtStartAndOnePerDeviceArrivalOnly) {
  ProbeObjects probe;
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));
  DEV_BROADCAST_HDR hdr = {sizeof(hdr), DBT_DEVTYP_PORT, 0};
  for (WPARAM other : {WPARAM(DBT_DEVICEREMOVECOMPLETE), WPARAM(DBT_DEVNODES_CHANGED),
                       WPARAM(DBT_DEVICEQUERYREMOVE), WPARAM(0x8001), WPARAM(0)}) {
    DWORD_PTR result = 99;
    EXPECT_NE(SendMessageTimeoutW(q.Dialog(), WM_DEVICECHANGE, other, (other & 0x8000) ? LPARAM(&hdr) : 0,
                                  SMTO_NORMAL, kLong, &result),
              0);
    EXPECT_EQ(result, 0u) << other;
  }
  EXPECT_EQ(ProbeObjects::Extra(probe.started), 0);
  for (int i = 0; i < 3; ++i) {
    DWORD_PTR result = 99;
    EXPECT_NE(SendMessageTimeoutW(q.Dialog(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, LPARAM(&hdr), SMTO_NORMAL,
                                  kLong, &result),
              0);
    EXPECT_EQ(result, 0u);
  }
  EXPECT_TRUE(ProbeObjects::Take(probe.started, 3));
  EXPECT_EQ(ProbeObjects::Extra(probe.started), 0);
  PostMessageW(q.Dialog(), WM_COMMAND, 1, 0);
  EXPECT_EQ(q.Wait(), 1u);
  EXPECT_TRUE(ProbeObjects::Take(probe.ended, 4));
}

// The dialog object outlives the runs it handed out: the end of the program
// waits for a run that is still busy, and goes on once it is over.
TEST(QuillonDiscovery, ExitWaitsForARunningDiscovery) {
  ProbeObjects probe;
  probe.Hold();
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));
  SendArrival(q.Dialog());
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));

  HWND dlg = q.Dialog();
  PostMessageW(dlg, WM_COMMAND, 1, 0);
  ASSERT_TRUE(WaitFor(kLong, [dlg] { return !IsWindow(dlg); }));
  EXPECT_FALSE(IconExists(dlg));
  // The window and icon are gone, the process is not: it waits for the two runs.
  EXPECT_EQ(WaitForSingleObject(q.Process(), 2000), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(probe.hold);
  EXPECT_EQ(q.Wait(), 1u);
  EXPECT_TRUE(ProbeObjects::Take(probe.ended, 2));
  // The window's end disabled the port: neither run could open it any more.
  EXPECT_EQ(ProbeObjects::Extra(probe.refused, 0), 2);
}

// A run that never ends does not keep the program alive: after the bounded wait
// the process ends with its exit code, without destroying what the run holds.
TEST(QuillonDiscovery, ExitGivesUpOnAStuckDiscoveryAfterTheBound) {
  ProbeObjects probe;
  probe.Hold();
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));
  PostMessageW(q.Dialog(), WM_COMMAND, 2, 0);
  EXPECT_EQ(q.Wait(120000), 2u);
  EXPECT_EQ(WaitForSingleObject(probe.ended, 0),
            static_cast<DWORD>(WAIT_TIMEOUT));  // it was stopped, not ended
}

// --- the end and the session while a run holds the port's open step ------

// Types 'x' and returns the target's text once the 'x' is in: whatever was typed
// before it has been handled by then.
std::wstring TypeMarker(const TargetWindow& target) {
  const size_t before = GetTargetText(target.edit).size();
  INPUT key[2] = {};
  key[0].type = key[1].type = INPUT_KEYBOARD;
  key[0].ki.wScan = key[1].ki.wScan = L'x';
  key[0].ki.dwFlags = KEYEVENTF_UNICODE;
  key[1].ki.dwFlags = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;
  SendInput(2, key, sizeof(INPUT));
  WaitFor(kLong, [&] {
    const std::wstring text = GetTargetText(target.edit);
    return text.size() > before && text.back() == L'x';
  });
  return GetTargetText(target.edit);
}

// The exit command while run 1 holds the port's open step and run 2 never ends: the
// window's end waits for the port with the icon already deleted, a card that
// completes meanwhile (as the closing port's event thread delivers it) types
// nothing, and the program gives up on run 2 after the bound.
TEST(QuillonEnd, WhileTheExitWaitsForThePortTheIconIsGoneAndNothingTypes) {
  ProbeObjects probe;
  HANDLE holdOpen = probe.HoldOpen(1);
  probe.HoldRun(2);
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  TargetWindow target;
  ASSERT_TRUE(StartTargetWindow(WinePath(TARGET_WINDOW_EXE), L"Quillon end test", target));
  const HWND dialog = q.Dialog();
  SendArrival(dialog);
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 2));
  const std::vector<int> card = {0x12, 0x34, 0x56, 0x78, 0x08};
  auto sendCard = [&] {
    for (int b : card) {
      DWORD_PTR result;
      ASSERT_NE(SendMessageTimeoutW(dialog, kRxChar, b, 7, SMTO_NORMAL, kLong, &result), 0);
    }
  };
  sendCard();
  EXPECT_EQ(TypeMarker(target), L"305419896x");

  ASSERT_TRUE(PostMessageW(dialog, WM_COMMAND, 1, 0));
  EXPECT_TRUE(WaitFor(kLong, [&] { return !IconExists(dialog); })) << "the icon outlives the window's end";
  EXPECT_TRUE(IsWindow(dialog));  // still waiting for the port
  sendCard();
  EXPECT_EQ(TypeMarker(target), L"305419896xx");
  SetEvent(holdOpen);
  EXPECT_EQ(q.Wait(120000), 1u);
  StopTargetWindow(target);
}

// Windows does not say how it delivers session changes, so a connect may be handled
// inside the wait of a disconnect for the port: the port still follows the latest.
TEST(QuillonSession, ThePortFollowsTheLatestSessionChangeWhateverTheNesting) {
  ProbeObjects probe;
  HANDLE holdOpen = probe.HoldOpen(1);
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));
  const HWND dialog = q.Dialog();
  const DWORD session = WTSGetActiveConsoleSessionId();
  DWORD_PTR result;
  ASSERT_TRUE(SendNotifyMessageW(dialog, WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT, session));
  ASSERT_TRUE(SendNotifyMessageW(dialog, WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT, session));
  // Answered once the connect has been handled inside the disconnect's wait.
  ASSERT_NE(SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kLong, &result), 0);
  SetEvent(holdOpen);
  ASSERT_TRUE(ProbeObjects::Take(probe.ended, 1));
  ASSERT_NE(SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kLong, &result), 0);
  // One run for the session's return, however the two changes nested.
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));
  EXPECT_EQ(ProbeObjects::Extra(probe.started), 0);
  // The session is on screen: a run may open the port.
  SendArrival(dialog);
  ASSERT_TRUE(ProbeObjects::Take(probe.ended, 2));  // the connect's run and the arrival's
  EXPECT_EQ(ProbeObjects::Extra(probe.refused), 0) << "the port stays disabled with the session on screen";

  // The same changes in turn, with a run that reaches the port between them: it is
  // refused while the session is away.
  probe.Hold();
  SendArrival(dialog);
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 2));  // the arrival's above, and this one
  ASSERT_NE(SendMessageTimeoutW(dialog, WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT, session, SMTO_NORMAL,
                                kLong, &result),
            0);
  SetEvent(probe.hold);
  ASSERT_TRUE(ProbeObjects::Take(probe.ended, 1));
  EXPECT_EQ(ProbeObjects::Extra(probe.refused), 1);
  ASSERT_NE(SendMessageTimeoutW(dialog, WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT, session, SMTO_NORMAL,
                                kLong, &result),
            0);
  ASSERT_TRUE(ProbeObjects::Take(probe.ended, 1));
  EXPECT_EQ(ProbeObjects::Extra(probe.refused), 0);
}

}  // namespace
