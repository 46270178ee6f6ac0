// The retries, through the real dialog of QuillonProbe.exe: what its runs report,
// in every order that matters, and when the retry timer starts the next run.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/system/ProbeControl.h"
#include "tests/system/ProbeDiscovery.h"
#include "tests/system/SystemTestSupport.h"

namespace {

using namespace quillon_system;

// What the probe's runs report, shared with it for the length of a test.
class ProbeScript {
 public:
  ProbeScript(const char* first, char then)
      : mapping_(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ProbeAnswers),
                                    kProbeAnswers)),
        answers_(
            static_cast<ProbeAnswers*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, sizeof(ProbeAnswers)))) {
    strncpy(answers_->first, first, sizeof(answers_->first) - 1);
    answers_->then = then;
  }
  ~ProbeScript() {
    UnmapViewOfFile(answers_);
    CloseHandle(mapping_);
  }
  bool Ready() const { return answers_ != nullptr; }
  void Then(char then) {
    *static_cast<volatile char*>(&answers_->then) = then;
    MemoryBarrier();
  }

 private:
  HANDLE mapping_;
  ProbeAnswers* answers_;
};

// The longest interval between two retries, and what a run adds to it.
constexpr DWORD kRetryMostMs = 30000;
constexpr DWORD kRetryBoundMs = kRetryMostMs + 15000;

struct ReportOrder {
  const char* name;
  const char* first;  // the answers of runs 1, 2, ... (run 1 starts with the program)
  char then;          // every later run's answer, until the port is free
  bool oldReport;     // run 1 is held until run 2, an arrival's, has reported
  DWORD thenMs;       // how long `then` is answered at least
};

void PrintTo(const ReportOrder& order, std::ostream* os) { *os << order.name; }

class ReportOrders : public ::testing::TestWithParam<ReportOrder> {};

// The reader is listed and its port held elsewhere, or the device list cannot be
// read: whatever order the reports come in, the program keeps trying until the
// port is free, opens it within the longest retry interval, and then stops.
TEST_P(ReportOrders, RetriesGoOnUntilThePortOpens) {
  const ReportOrder& order = GetParam();
  ProbeObjects probe;
  ProbeScript script(order.first, order.then);
  ASSERT_TRUE(script.Ready());
  HANDLE holdFirst = order.oldReport ? probe.HoldRun(1) : nullptr;
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  size_t reported = 0;
  if (order.oldReport) {
    ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));
    SendArrival(q.Dialog());
    ASSERT_TRUE(ProbeObjects::Take(probe.ended, 1));  // run 2 first, then run 1's old report
    SetEvent(holdFirst);
    ASSERT_TRUE(ProbeObjects::Take(probe.ended, 1));
    reported = 2;
  }
  for (; reported < strlen(order.first); ++reported)
    ASSERT_TRUE(ProbeObjects::Take(probe.ended, 1, kRetryBoundMs)) << "no run after answer " << reported;
  int thenRuns = 0;
  for (const DWORD since = GetTickCount(); GetTickCount() - since < order.thenMs;)
    if (WaitForSingleObject(probe.ended, 1000) == WAIT_OBJECT_0) ++thenRuns;
  if (order.thenMs) {
    EXPECT_GE(thenRuns, 4) << "the retries stopped";
    // The worst moment to come back: just after a retry, with the longest interval next.
    ASSERT_TRUE(ProbeObjects::Take(probe.ended, 1, kRetryBoundMs));
  }

  // From now on the port is free; the first run to report finds it open.
  script.Then('o');
  const DWORD freed = GetTickCount();
  ASSERT_TRUE(ProbeObjects::Take(probe.ended, 1, kRetryBoundMs)) << "the port was not opened again";
  std::printf("%s: port free again to port open: %lu ms\n", order.name,
              static_cast<unsigned long>(GetTickCount() - freed));
  ProbeObjects::Extra(probe.started, 0);  // every run so far
  EXPECT_EQ(ProbeObjects::Extra(probe.started, 3000), 0) << "retries go on after the port opened";
}

const ReportOrder kReportOrders[] = {
    // One failed query amid the retries of a busy port.
    {"FailedQueryAmidRetries", "bbub", 'b', false, 0},
    // A run that started before the reader was listed reports "not listed" late.
    {"OldNotListedAfterNewerBusy", "nb", 'o', true, 0},
    // A run that found the port open before it was lost reports "open" late.
    {"OldOpenAfterNewerBusy", "ob", 'o', true, 0},
    // The device service fails until the intervals have grown (retries at 1, 3, 7 and
    // 15 s; the schedule's table test follows them to 30 s), then lists the reader
    // with its port free.
    {"DeviceListUnreadableForLong", "", 'u', false, 20000},
};
INSTANTIATE_TEST_SUITE_P(Quillon, ReportOrders, ::testing::ValuesIn(kReportOrders),
                         [](const ::testing::TestParamInfo<ReportOrder>& info) {
                           return std::string(info.param.name);
                         });

// The timer starts one run an interval and waits for its report: while that run is
// in flight the timer fires no more, and a newer run's report (an arrival's) does
// not set it again. Once the timer's run has reported, the next retry comes.
TEST(QuillonRetry, WhileTheTimersRunIsInFlightNoOtherRunStarts) {
  ProbeObjects probe;
  ProbeScript script("", 'b');
  ASSERT_TRUE(script.Ready());
  HANDLE holdTimerRun = probe.HoldRun(2);
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 2));  // the start's run, then the timer's (held)
  EXPECT_EQ(ProbeObjects::Extra(probe.started, 3000), 0) << "the timer fired again";
  SendArrival(q.Dialog());
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));
  ASSERT_TRUE(ProbeObjects::Take(probe.ended, 2));  // the start's and the arrival's: busy
  EXPECT_EQ(ProbeObjects::Extra(probe.started, 3000), 0) << "set again while its run is in flight";
  SetEvent(holdTimerRun);
  EXPECT_TRUE(ProbeObjects::Take(probe.started, 1, kRetryBoundMs)) << "no retry after the timer's run";
}

// An arrival starts the intervals over: after four retries the next is 16 s away, and
// a busy report of the arrival's run brings the next retry 1 s after it.
TEST(QuillonRetry, AnArrivalStartsTheIntervalsOver) {
  ProbeObjects probe;
  ProbeScript script("", 'b');
  ASSERT_TRUE(script.Ready());
  Program q;
  ASSERT_TRUE(q.Start(QUILLON_PROBE_EXE));
  ASSERT_TRUE(ProbeObjects::Take(probe.ended, 5, kRetryBoundMs));  // at 0, 1, 3, 7 and 15 s
  ProbeObjects::Extra(probe.started, 0);
  SendArrival(q.Dialog());
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1));  // the arrival's run
  ASSERT_TRUE(ProbeObjects::Take(probe.ended, 1));
  // The next retry is 1 s away; without starting over it would be 16 s, twice this bound.
  const DWORD reported = GetTickCount();
  ASSERT_TRUE(ProbeObjects::Take(probe.started, 1, 8000)) << "the intervals did not start over";
  std::printf("arrival's report to the next retry: %lu ms\n",
              static_cast<unsigned long>(GetTickCount() - reported));
}

}  // namespace
