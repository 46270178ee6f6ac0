// Randomized soak of the whole chain, black box: the real Quillon.exe, the test
// WMI provider, the fake reader's pty as COM7 and a target window. For a while,
// cards come at random gaps, some written in pieces, while unrelated devices
// arrive and go (sometimes in the middle of a card) and the reader is unplugged
// and plugged again (sometimes in the middle of a card). Afterwards the target
// must hold exactly the numbers of the cards written while the line was open,
// once each and in order, and the program must hold no more handles than early on.
//   QUILLON_SOAK_SECONDS (default 30), QUILLON_SOAK_SEED (default below),
//   QUILLON_SOAK_LOG=1 prints the whole event log.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/fakewmi/FakeWmi.h"
#include "tests/support/handles/HandleCount.h"
#include "tests/support/reader/FakeReader.h"
#include "tests/support/targetwindow/TargetWindow.h"
#include "tests/system/ReaderFixture.h"
#include "tests/system/ReaderTestSupport.h"
#include "tests/system/SystemTestSupport.h"

namespace {

using namespace quillon_system;
using quillon::fakewmi::ScopedFakeWmi;
using quillon_test::FakeReader;

constexpr unsigned kDefaultSeed = 20261208;
// Inside a frame the writer never pauses longer than this in total: bytes that
// complete no frame for a second may be dropped.
constexpr int kFramePauseMs = 200;

unsigned EnvNumber(const char* name, unsigned fallback) {
  const char* text = std::getenv(name);
  return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

class ReaderSoak : public ReaderFixture {
 protected:
  ReaderSoak() : ReaderFixture(L"Quillon soak") {}

  void SetUp() override {
    ReaderFixture::SetUp();
    if (HasFatalFailure()) return;
    // A long run types more than an EDIT takes by default.
    SendMessageW(target_.edit, EM_SETLIMITTEXT, 0, 0);
    start_ = GetTickCount();
  }

  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Pick(0, 99) < percent; }
  void Pause(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
  }

  size_t TypedLength() {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(target_.edit, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 10000, &length);
    return length;
  }

  // One line of the event log: when, how much was typed then, what happened.
  void Note(const char* format, ...) {
    char what[160];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof(what), format, args);
    va_end(args);
    char line[224];
    snprintf(line, sizeof(line), "%7lums typed=%-6u %s", static_cast<unsigned long>(GetTickCount() - start_),
             static_cast<unsigned>(TypedLength()), what);
    log_.push_back(Entry{static_cast<int>(spans_.size()), line});
  }

  // A device change as the system delivers it: sent, not posted.
  void SendDeviceChange(WPARAM event) {
    DEV_BROADCAST_HDR hdr = {sizeof(hdr), DBT_DEVTYP_PORT, 0};
    DWORD_PTR result = 99;
    EXPECT_NE(SendMessageTimeoutW(quillon_.Dialog(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&hdr),
                                  SMTO_NORMAL, kLong, &result),
              0);
  }

  void Write(const std::string& bytes) {
    if (bytes.empty()) return;
    EXPECT_TRUE(reader_.Write(kReaderPort, bytes)) << reader_.LastError();
  }

  // The next card, expected to type: its digits join the expected text.
  std::string NextCard() {
    const size_t from = expected_.size();
    const std::string frame = cards_.Next(&expected_);
    spans_.push_back(from);
    afterSync_ = false;
    return frame;
  }

  void WholeCard() {
    const std::string frame = NextCard();
    if (Chance(75)) {
      Write(frame);
      Note("card #%zu", spans_.size() - 1);
      return;
    }
    // In two or three pieces with short pauses between them.
    const size_t cut1 = Pick(1, 3), cut2 = Chance(50) ? cut1 : Pick(static_cast<int>(cut1) + 1, 4);
    const int pause1 = Pick(0, kFramePauseMs), pause2 = Pick(0, kFramePauseMs - pause1);
    Write(frame.substr(0, cut1));
    Pause(pause1);
    Write(frame.substr(cut1, cut2 - cut1));
    Pause(pause2);
    Write(frame.substr(cut2));
    Note("card #%zu in pieces %zu|%zu|%zu, pauses %d+%d ms", spans_.size() - 1, cut1, cut2 - cut1, 5 - cut2,
         pause1, pause2);
  }

  // A device arrives or goes while a card is half written: some bytes before the
  // message, some while the arrival's discovery runs, the rest after it.
  void CardAroundDeviceChange(WPARAM event) {
    const std::string frame = NextCard();
    const size_t head = Pick(1, 3), middle = Pick(1, static_cast<int>(4 - head));
    const bool arrival = event == DBT_DEVICEARRIVAL;
    const int runsBefore = wmi_->Log().Count("enum-end");
    const DWORD begin = GetTickCount();
    Write(frame.substr(0, head));
    SendDeviceChange(event);
    Write(frame.substr(head, middle));
    // An arrival's run usually ends well within the pause a frame may have.
    const int budget = kFramePauseMs - static_cast<int>(GetTickCount() - begin);
    const bool runEnded =
        arrival && wmi_->Log().WaitForCount("enum-end", runsBefore + 1, std::max(budget, 0));
    if (!arrival) Pause(Pick(0, budget));
    Write(frame.substr(head + middle));
    Note("card #%zu split %zu|%zu|%zu around a %s%s", spans_.size() - 1, head, middle, 5 - head - middle,
         arrival ? "device arrival" : "device removal", arrival && !runEnded ? " (its run still busy)" : "");
    ++(arrival ? arrivals_ : removals_);
    if (arrival) ++(runEnded ? splitAfterRun_ : splitDuringRun_);
  }

  // Unplugs the reader, sometimes with part of a card on the line, plugs it
  // again and waits until the program's new opening of the line takes bytes.
  void Replug() {
    // The whole cards before must have reached the program, or the unplug takes them.
    EXPECT_TRUE(reader_.WaitQueued(kReaderPort, 0, kLong)) << reader_.LastError();
    // Every third one is quick: the reader is back before the program has seen it go, so
    // the arrival finds the old opening still live and only the loss can bring the new one.
    const bool quick = replugs_ % 3 == 0;
    if (Chance(67)) {
      const std::string frame = CutCard();
      const size_t head = Chance(50) ? 4 : Pick(1, 3);
      Write(frame.substr(0, head));
      // Sometimes only once the program has read the head.
      const bool read = Chance(50) && reader_.WaitQueued(kReaderPort, 0, 1000);
      Note("cut card %lu: %zu of 5 bytes%s", FrameNumber(frame), head, read ? ", read" : "");
      ++cut_;
    }
    ASSERT_TRUE(reader_.Unplug(kReaderPort)) << reader_.LastError();
    Note("unplug");
    if (!quick && Chance(50)) SendDeviceChange(DBT_DEVICEREMOVECOMPLETE);
    if (!quick) Pause(Pick(0, 300));
    if (!quick && Chance(25)) {
      SendDeviceChange(DBT_DEVICEARRIVAL);
      Note("device arrival while unplugged");
    }
    ASSERT_TRUE(reader_.Plug(kReaderPort)) << reader_.LastError();
    if (!quick) Pause(Pick(0, 200));
    SendDeviceChange(DBT_DEVICEARRIVAL);
    Note("plug, reader arrival%s", quick ? " (quick)" : "");
    ASSERT_TRUE(reader_.WaitOpeners(kReaderPort, 1, kLong))
        << "never reopened " << reader_.LastError() << "\n"
        << LogLines(log_.size() > 12 ? log_.size() - 12 : 0);
    ASSERT_TRUE(SyncWithOpen(reader_, kReaderPort)) << reader_.LastError();
    Note("line open and synced");
    afterSync_ = true;
    ++replugs_;
    quickReplugs_ += quick;
  }

  // A card that the unplug cuts; it must type nothing. Where no sync zeros can
  // wait in the receive window, its first four bytes XOR to zero: if they
  // outlived the opening, the next opening's first zero byte would complete them
  // into a frame that no card carried.
  std::string CutCard() {
    if (!afterSync_) {
      const int b0 = Pick(0x40, 0x7F), b1 = Pick(1, 255), b2 = Pick(1, 255), b3 = b0 ^ b1 ^ b2;
      return Bytes({b0, b1, b2, b3, 0});
    }
    std::wstring never;
    return cards_.Next(&never);
  }

  static unsigned long FrameNumber(const std::string& frame) {
    unsigned long n = 0;
    for (size_t i = 0; i < 4; ++i) n = n << 8 | static_cast<unsigned char>(frame[i]);
    return n;
  }

  // Waits until the program has read the line and typed every expected digit,
  // or has typed nothing more for ten seconds, and no discovery run is busy.
  void Settle() {
    EXPECT_TRUE(reader_.WaitQueued(kReaderPort, 0, kLong)) << reader_.LastError();
    size_t last = 0;
    DWORD lastChange = GetTickCount();
    WaitFor(kLong, [&] {
      const size_t now = TypedLength();
      if (now != last) last = now, lastChange = GetTickCount();
      return now >= expected_.size() || GetTickCount() - lastChange > 10000;
    });
    WaitFor(kLong,
            [&] { return wmi_->Log().QueriesInProgress() == 0 && wmi_->Log().EnumeratorsAlive() == 0; });
  }

  // The log around the first card whose digits are not where they belong.
  std::string Divergence(const std::wstring& typed) {
    if (spans_.empty()) return "no card was written";
    size_t at = 0;
    while (at < typed.size() && at < expected_.size() && typed[at] == expected_[at]) ++at;
    const size_t card = std::upper_bound(spans_.begin(), spans_.end(), at) - spans_.begin() - 1;
    char head[200];
    snprintf(head, sizeof(head),
             "first difference at digit %zu (card #%zu); typed %zu digits, expected %zu\n", at, card,
             typed.size(), expected_.size());
    std::string out = head;
    const size_t from = at > 30 ? at - 30 : 0;
    out += " expected ..." + Narrow(expected_.substr(from, 60)) + "\n";
    out += " typed    ..." + Narrow(typed.substr(std::min(from, typed.size()), 60)) + "\n";
    size_t first = 0;
    while (first < log_.size() && log_[first].cards + 4 < static_cast<int>(card)) ++first;
    return out + LogLines(first, 24);
  }

  std::string LogLines(size_t first, size_t count = 1000000) {
    std::string out;
    for (size_t i = first; i < log_.size() && i < first + count; ++i) out += log_[i].line + "\n";
    return out;
  }

  static std::string Narrow(const std::wstring& digits) { return std::string(digits.begin(), digits.end()); }

  struct Entry {
    int cards;  // cards expected before this event
    std::string line;
  };

  std::mt19937 rng_;
  DWORD start_ = 0;
  CardMaker cards_;
  std::wstring expected_;
  std::vector<size_t> spans_;  // where each expected card's digits begin
  std::vector<Entry> log_;
  bool afterSync_ = true;  // up to four zero bytes of SyncWithOpen may wait in the window
  int splitAfterRun_ = 0, splitDuringRun_ = 0;  // last piece after or during the arrival's run
  int arrivals_ = 0, removals_ = 0, replugs_ = 0, quickReplugs_ = 0, cut_ = 0;
};

TEST_F(ReaderSoak, EveryCardOnTheOpenLineTypesOnceInOrderAndNothingElse) {
  const unsigned seconds = EnvNumber("QUILLON_SOAK_SECONDS", 30);
  const unsigned seed = EnvNumber("QUILLON_SOAK_SEED", kDefaultSeed);
  std::printf("soak: seed %u, %u s (QUILLON_SOAK_SEED, QUILLON_SOAK_SECONDS)\n", seed, seconds);
  rng_.seed(seed);
  // The reference count is taken after the first minute, or the first quarter of a short run.
  const DWORD durationMs = seconds * 1000, referenceMs = std::min<DWORD>(60000, durationMs / 4);
  DWORD handlesEarly = 0;
  unsigned referenceAt = 0;

  while (GetTickCount() - start_ < durationMs && !HasFatalFailure()) {
    if (!handlesEarly && GetTickCount() - start_ >= referenceMs) {
      Settle();
      handlesEarly = quillon_test::ProcessHandleCount(quillon_.Pid());
      referenceAt = (GetTickCount() - start_) / 1000;
      Note("reference handle count %lu", static_cast<unsigned long>(handlesEarly));
    }
    const int roll = Pick(0, 99);
    if (roll < 70) {
      WholeCard();
    } else if (roll < 78) {
      SendDeviceChange(DBT_DEVICEARRIVAL);
      Note("device arrival");
      ++arrivals_;
    } else if (roll < 86) {
      CardAroundDeviceChange(DBT_DEVICEARRIVAL);
    } else if (roll < 94) {
      if (Chance(50)) {
        SendDeviceChange(DBT_DEVICEREMOVECOMPLETE);
        Note("device removal");
        ++removals_;
      } else {
        CardAroundDeviceChange(DBT_DEVICEREMOVECOMPLETE);
      }
    } else {
      Replug();
    }
    // Often closer than the event thread's half-second pause, sometimes back to back.
    const int kind = Pick(0, 9);
    Pause(kind < 3 ? Pick(0, 40) : kind < 8 ? Pick(40, 500) : Pick(500, 1500));
  }
  Settle();
  const std::wstring typed = Text();
  size_t typedCards = 0;
  while (typedCards < spans_.size()) {
    const size_t end = typedCards + 1 < spans_.size() ? spans_[typedCards + 1] : expected_.size();
    if (typed.size() < end || typed.compare(0, end, expected_, 0, end) != 0) break;
    ++typedCards;
  }
  // Same state as the reference: one opening, every card typed, no run busy.
  // Wine's own transient handles (its services' replies) may add up to 2.
  DWORD handlesEnd = quillon_test::ProcessHandleCount(quillon_.Pid());
  WaitFor(kLong, [&] {
    return (handlesEnd = quillon_test::ProcessHandleCount(quillon_.Pid())) <= handlesEarly + 2;
  });

  std::printf("soak: %zu cards written, %d cut by an unplug\n", spans_.size(), cut_);
  std::printf(
      "soak: %d arrivals (%d inside a card; their run over before its last piece: %d), %d removals, %d "
      "replugs (%d quick)\n",
      arrivals_, splitAfterRun_ + splitDuringRun_, splitAfterRun_, removals_, replugs_, quickReplugs_);
  std::printf("soak: %zu cards typed in order (%zu of %zu digits)\n", typedCards, typed.size(),
              expected_.size());
  std::printf("soak: Quillon's handles after %u s: %lu, at the end: %lu\n", referenceAt,
              static_cast<unsigned long>(handlesEarly), static_cast<unsigned long>(handlesEnd));
  if (std::getenv("QUILLON_SOAK_LOG")) std::printf("%s", LogLines(0).c_str());
  EXPECT_TRUE(typed == expected_) << Divergence(typed);
  ASSERT_GT(handlesEarly, 0u);
  EXPECT_LE(handlesEnd, handlesEarly + 2);
}

}  // namespace
