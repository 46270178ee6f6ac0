// End-to-end benchmark (not a test; scripts/bench-e2e.sh runs it): the real
// Quillon.exe, the test WMI provider, the fake reader's pty as COM7, and a
// focused EDIT of this process that timestamps every typed character. Both
// typing modes (Unicode, --keys layout) in the same run, then side by side.
//   e2e_bench.exe [latencyCards] [backToBackCards] [discoveryRepeats]
#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fakewmi/FakeWmi.h"
#include "tests/support/reader/FakeReader.h"
#include "tests/system/ReaderTestSupport.h"
#include "tests/system/SystemTestSupport.h"

namespace {

using namespace quillon_system;
using quillon::fakewmi::ScopedFakeWmi;
using quillon_test::FakeReader;

constexpr size_t kMaxChars = 1 << 16;

// Written by the UI thread as characters arrive, read by the driver thread.
std::vector<LONGLONG> g_charTime(kMaxChars);
std::vector<wchar_t> g_chars(kMaxChars);
std::atomic<size_t> g_count{0};
WNDPROC g_editProc = nullptr;
LONGLONG g_freq = 1;

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}
double Ms(LONGLONG ticks) { return ticks * 1000.0 / g_freq; }

LRESULT CALLBACK EditProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CHAR) {
    const size_t i = g_count.load(std::memory_order_relaxed);
    if (i < kMaxChars) {
      g_charTime[i] = Now();
      g_chars[i] = static_cast<wchar_t>(wParam);
      g_count.store(i + 1, std::memory_order_release);
    }
    return 0;  // the EDIT's own text is not needed
  }
  return CallWindowProcW(g_editProc, hWnd, msg, wParam, lParam);
}

bool WaitChars(size_t n, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (g_count.load(std::memory_order_acquire) < n) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(1);
  }
  return true;
}

std::wstring Typed(size_t from) {
  const size_t n = g_count.load(std::memory_order_acquire);
  return std::wstring(g_chars.begin() + from, g_chars.begin() + n);
}

// 9-byte frames with a nonzero first byte whose own bytes form no 5-byte frame
// before the ninth arrives, so each types exactly its number from an empty window.
std::string NineByteCard(unsigned long long& next, std::wstring* digits) {
  for (;;) {
    const unsigned long long n = next;
    next += 0x0000010203040507ull;
    unsigned char b[9];
    unsigned char x = 0;
    for (int i = 0; i < 8; ++i) x ^= b[i] = static_cast<unsigned char>(n >> (56 - 8 * i));
    b[8] = x;
    bool early = b[0] == 0;
    for (int s = 0; s + 4 < 8 && !early; ++s) early = (b[s] ^ b[s + 1] ^ b[s + 2] ^ b[s + 3]) == b[s + 4];
    if (early) continue;
    wchar_t text[32];
    swprintf(text, 32, L"%llu", n);
    *digits += text;
    return std::string(reinterpret_cast<char*>(b), 9);
  }
}

struct Stats {
  double p50, p95, max;
};
Stats Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) {
    return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))];
  };
  return {at(0.5), at(0.95), v.back()};
}

struct Options {
  int latencyCards = 60;
  int backToBack = 1000;
  int discoveryRepeats = 5;
};

// One typing mode's samples over its rounds, for the table that sets the modes side by side.
struct TypingFigures {
  std::vector<double> idle, after;
  bool exact = true;
  double backToBackMs = 0;
  int backToBackCards = 0;
};

// With Quillon holding the line: latency of single cards and the back-to-back run.
int MeasureTyping(const Options& opt, FakeReader& reader, TypingFigures* figures) {
  const double wire9 = 9 * 10 * 1000.0 / 9600, wire5 = 5 * 10 * 1000.0 / 9600;
  if (!SyncWithOpen(reader, kReaderPort))
    return std::printf("no connection: %s\n", reader.LastError().c_str()), 1;
  CardMaker cards;
  std::wstring expected;
  const size_t first = g_count.load(std::memory_order_acquire);
  reader.Write(kReaderPort, cards.Next(&expected));  // clears what the sync may leave
  if (!WaitChars(first + expected.size(), 30000)) return std::printf("the first card never typed\n"), 1;

  // 1. Latency of single cards: from handing the frame to the line to its last digit.
  // "idle": the reader was quiet for 700 ms first; "right after": the next card
  // follows the moment the previous one is typed.
  unsigned long long next9 = 0x0123456789ABCDEFull;
  for (int pause : {700, 0}) {
    const int count = pause ? opt.latencyCards : std::max(20, opt.latencyCards / 3);
    std::vector<double> latency;
    bool inOrder = true;
    for (int i = 0; i < count; ++i) {
      if (pause) Sleep(pause);
      std::wstring digits;
      const std::string frame = NineByteCard(next9, &digits);
      const size_t before = g_count.load(std::memory_order_acquire);
      const LONGLONG t0 = Now();
      if (!reader.Write(kReaderPort, frame) || !WaitChars(before + digits.size(), 30000))
        return std::printf("card %d did not type\n", i), 1;
      latency.push_back(Ms(g_charTime[before + digits.size() - 1] - t0));
      inOrder = inOrder && Typed(before) == digits;
    }
    const Stats s = Summarise(latency);
    std::vector<double>& pooled = pause ? figures->idle : figures->after;
    pooled.insert(pooled.end(), latency.begin(), latency.end());
    figures->exact = figures->exact && inOrder;
    std::printf(
        "card-to-last-digit latency, 9-byte cards, %s (%d cards): p50 %.1f ms, p95 %.1f ms, max %.1f ms"
        "; wire time of the frame at 9600 8N1: %.3f ms; typed exactly: %s\n",
        pause ? "reader idle 700 ms before each" : "each right after the previous one typed", count, s.p50,
        s.p95, s.max, wire9, inOrder ? "yes" : "NO");
  }

  // 2. Back to back: every frame handed to the line at once, in chunks of 100.
  {
    std::wstring digits;
    std::string all;
    for (int i = 0; i < opt.backToBack; ++i) all += cards.Next(&digits);
    const size_t before = g_count.load(std::memory_order_acquire);
    const LONGLONG t0 = Now();
    for (size_t off = 0; off < all.size(); off += 500)
      if (!reader.Write(kReaderPort, all.substr(off, 500))) return std::printf("write failed\n"), 1;
    const LONGLONG written = Now();
    if (!WaitChars(before + digits.size(), 600000))
      return std::printf("back to back: only %zu of %zu digits typed\n", g_count.load() - before,
                         digits.size()),
             1;
    const double total = Ms(g_charTime[before + digits.size() - 1] - t0);
    const bool exact = Typed(before) == digits;
    figures->backToBackMs += total;
    figures->backToBackCards += opt.backToBack;
    figures->exact = figures->exact && exact;
    std::printf(
        "%d 5-byte cards back to back: %s; total %.0f ms (%.1f cards/s, %.0f digits/s); the line took them"
        " in %.0f ms; wire time at 9600 8N1 would be %.0f ms\n",
        opt.backToBack, exact ? "all typed once, in order" : "NOT typed exactly", total,
        opt.backToBack * 1000.0 / total, digits.size() * 1000.0 / total, Ms(written - t0),
        opt.backToBack * wire5);
    if (!exact) return 1;
  }
  return 0;
}

// 3. Discovery: device arrival to the reader's line being open, with the reader
// after 3 or 1,003 other devices; and to the end of the device walk (the provider's
// log). Both are seen by polling, a few ms per step. The open includes closing the
// unplugged reader's connection, whose event thread may be in its 500 ms pause.
int MeasureDiscovery(const Options& opt, FakeReader& reader, ScopedFakeWmi& wmi, HWND dialog) {
  for (unsigned filler : {0u, 1000u}) {
    wmi.SetConfig(ReaderDevices(filler));
    std::vector<double> took, walk;
    for (int i = 0; i < opt.discoveryRepeats; ++i) {
      const int walksBefore = wmi.Log().Count("enum-end");
      if (!reader.Unplug(kReaderPort) || !reader.Plug(kReaderPort)) return std::printf("replug failed\n"), 1;
      DEV_BROADCAST_HDR hdr = {sizeof(hdr), DBT_DEVTYP_PORT, 0};
      DWORD_PTR result;
      const LONGLONG t0 = Now();
      SendMessageTimeoutW(dialog, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&hdr),
                          SMTO_NORMAL, 30000, &result);
      double walked = 0;
      while (reader.Openers(kReaderPort) != 1) {
        if (!walked && wmi.Log().Count("enum-end") > walksBefore) walked = Ms(Now() - t0);
        if (Ms(Now() - t0) > 120000) return std::printf("discovery never opened the port\n"), 1;
      }
      took.push_back(Ms(Now() - t0));
      if (!walked && wmi.Log().Count("enum-end") > walksBefore) walked = Ms(Now() - t0);
      walk.push_back(walked);
    }
    const Stats s = Summarise(took), w = Summarise(walk);
    std::printf(
        "discovery, reader after %u other devices (%d runs): arrival to port open median %.0f ms,"
        " max %.0f ms; arrival to the end of the device walk median %.0f ms, max %.0f ms\n",
        filler + 3, opt.discoveryRepeats, s.p50, s.max, w.p50, w.max);
  }
  return 0;
}

// Both typing modes in the same run, one Quillon.exe after the other on the same
// line and target, in the order unicode, layout, layout, unicode with half the cards
// each time, so a load that drifts during the run weighs on both alike; then their
// pooled figures side by side. Discovery once, with the last.
int Drive(const Options& opt, FakeReader& reader, ScopedFakeWmi& wmi) {
  const struct {
    const char* name;
    const wchar_t* args;
  } modes[] = {{"unicode", nullptr}, {"layout", L"--keys layout"}};
  Options half = opt;
  half.latencyCards = std::max(1, opt.latencyCards / 2);
  half.backToBack = std::max(1, opt.backToBack / 2);
  TypingFigures figures[2];
  const int order[] = {0, 1, 1, 0};
  for (size_t round = 0; round < 4; ++round) {
    const int m = order[round];
    std::printf("== round %zu, %s mode: Quillon.exe%s%ls\n", round + 1, modes[m].name,
                modes[m].args ? " " : "", modes[m].args ? modes[m].args : L"");
    Program quillon;
    if (!quillon.Start(QUILLON_EXE, modes[m].args)) return std::printf("Quillon.exe did not start\n"), 1;
    if (!reader.WaitOpeners(kReaderPort, 1, 60000)) return std::printf("Quillon never opened COM7\n"), 1;
    if (const int rc = MeasureTyping(half, reader, &figures[m])) return rc;
    if (round == 3) {
      if (const int rc = MeasureDiscovery(opt, reader, wmi, quillon.Dialog())) return rc;
    }
    quillon.Stop();
    if (!reader.WaitOpeners(kReaderPort, 0, 60000)) return std::printf("Quillon kept COM7 open\n"), 1;
  }
  std::printf("== both modes, all rounds: card to last digit (p50 / p95 / max, ms), cards back to back\n");
  std::printf("%-34s %-24s %-24s\n", "", "unicode", "layout");
  auto row = [](const char* what, const std::vector<double>& a, const std::vector<double>& b) {
    const Stats x = Summarise(a), y = Summarise(b);
    char left[48], right[48];
    std::snprintf(left, sizeof(left), "%.1f / %.1f / %.1f (%zu)", x.p50, x.p95, x.max, a.size());
    std::snprintf(right, sizeof(right), "%.1f / %.1f / %.1f (%zu)", y.p50, y.p95, y.max, b.size());
    std::printf("%-34s %-24s %-24s\n", what, left, right);
  };
  row("reader idle 700 ms before each", figures[0].idle, figures[1].idle);
  row("right after the previous card", figures[0].after, figures[1].after);
  char left[48], right[48];
  std::snprintf(left, sizeof(left), "%.1f cards/s (%d)",
                figures[0].backToBackCards * 1000.0 / figures[0].backToBackMs, figures[0].backToBackCards);
  std::snprintf(right, sizeof(right), "%.1f cards/s (%d)",
                figures[1].backToBackCards * 1000.0 / figures[1].backToBackMs, figures[1].backToBackCards);
  std::printf("%-34s %-24s %-24s\n", "back to back", left, right);
  std::printf("%-34s %-24s %-24s\n", "typed exactly", figures[0].exact ? "yes" : "NO",
              figures[1].exact ? "yes" : "NO");
  return figures[0].exact && figures[1].exact ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (argc > 1) opt.latencyCards = std::max(1, atoi(argv[1]));
  if (argc > 2) opt.backToBack = std::max(1, atoi(argv[2]));
  if (argc > 3) opt.discoveryRepeats = std::max(1, atoi(argv[3]));
  setvbuf(stdout, nullptr, _IONBF, 0);
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  g_freq = f.QuadPart;

  FakeReader reader;
  if (!reader.Connected() || !reader.Plug(kReaderPort))
    return std::printf("fake reader: %s\n", reader.LastError().c_str()), 1;
  ScopedFakeWmi wmi(ReaderDevices());
  if (wmi.Result() != S_OK) return std::printf("test WMI provider not installed\n"), 1;

  HWND frame = CreateWindowExW(0, L"STATIC", L"Quillon bench target", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50,
                               50, 400, 120, nullptr, nullptr, nullptr, nullptr);
  HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 10, 10, 360, 24, frame,
                              nullptr, nullptr, nullptr);
  g_editProc =
      reinterpret_cast<WNDPROC>(SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(EditProc)));
  for (int i = 0; i < 200 && GetForegroundWindow() != frame; ++i) {
    SetForegroundWindow(frame);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(20);
  }
  SetFocus(edit);

  int rc = 1;
  const DWORD uiThread = GetCurrentThreadId();
  // The UI thread only runs the target's messages (layout mode's characters come
  // from its TranslateMessage); the driver starts each Quillon.exe.
  std::thread driver([&] {
    rc = Drive(opt, reader, wmi);
    PostThreadMessageW(uiThread, WM_QUIT, 0, 0);
  });
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  driver.join();
  DestroyWindow(frame);
  reader.Unplug(kReaderPort);
  return rc;
}
